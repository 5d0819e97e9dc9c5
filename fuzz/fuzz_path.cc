// Path components, ':'-separated prefix lists, base names and the relocation
// of a directory, each checked against its rule on arbitrary text.
//
// The input is cut at its NUL bytes: the first piece is the path for the
// splitter, the prefix list and the base names; the first three pieces are
// the build-time program directory, the target directory and the program
// name for the relocation ("/opt/x/bin/prog" unless the third piece holds a
// '/': a bare name would be looked up in PATH).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "path.h"
#include "prefix_list.h"

namespace {

[[noreturn]] void fail(const char *what) {
  fprintf(stderr, "fuzz_path: %s\n", what);
  __builtin_trap();
}

// Pieces ending in their whole run of '/', the last one possibly without.
std::vector<std::string> reference_components(const std::string &path) {
  std::vector<std::string> components;
  size_t start = 0;
  while (start < path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) {
      components.push_back(path.substr(start));
      break;
    }
    size_t end = path.find_first_not_of('/', slash);
    if (end == std::string::npos) end = path.size();
    components.push_back(path.substr(start, end - start));
    start = end;
  }
  return components;
}

void check_components(const std::string &path) {
  int count = -7;
  char **components = split_path_components(path.c_str(), &count);
  if (path.empty()) {
    if (components || count != -7) fail("an empty path gave components");
    return;
  }
  if (!components) fail("no components for a non-empty path");
  std::vector<std::string> expected = reference_components(path);
  if (count < 0 || static_cast<size_t>(count) != expected.size()) fail("wrong component count");
  std::string joined;
  for (int i = 0; i < count; ++i) {
    if (!components[i]) fail("null component");
    if (expected[static_cast<size_t>(i)] != components[i]) fail("component differs");
    joined += components[i];
    free(components[i]);
  }
  if (components[count]) fail("component array not null-terminated");
  free(components);
  if (joined != path) fail("the components do not join to the path");
}

void check_prefix_list(const std::string &text) {
  prefix_list list{};
  prefix_list_from_string(text.c_str(), &list);
  std::vector<std::string> expected;
  size_t start = 0;
  for (;;) {
    size_t colon = text.find(':', start);
    std::string part = text.substr(start, colon == std::string::npos ? colon : colon - start);
    if (part.empty())
      part = "./";
    else if (part.back() != '/')
      part += '/';
    expected.push_back(part);
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  size_t longest = 0;
  size_t n = 0;
  for (prefix_entry *entry = list.head; entry;) {
    if (n >= expected.size() || expected[n] != entry->text) fail("prefix entry differs");
    if (entry->text[strlen(entry->text) - 1] != '/') fail("prefix entry without a trailing '/'");
    if (strlen(entry->text) > longest) longest = strlen(entry->text);
    ++n;
    // Lists are never freed in the library; this one is released here to
    // keep the leak checker's attention on the library's own blocks.
    prefix_entry *next = entry->next;
    free(entry->text);
    free(entry);
    entry = next;
  }
  if (n != expected.size()) fail("wrong number of prefix entries");
  if (static_cast<size_t>(list.longest_len) != longest) fail("wrong longest_len");
}

void check_basenames(const std::string &path) {
  const char *s = path.c_str();
  const char *base = path_basename(s);
  if (base < s || base > s + path.size() || strchr(base, '/') ||
      (base != s && base[-1] != '/'))
    fail("path_basename is not behind the last '/'");
  const char *dos = path_basename_dos(s);
  if (dos < s || dos > s + path.size() || strchr(dos, '/') || strchr(dos, '\\'))
    fail("path_basename_dos is not behind the last separator");
}

std::string joined(const std::vector<std::string> &components, size_t from, size_t to) {
  std::string text;
  for (size_t i = from; i < to; ++i) text += components[i];
  return text;
}

// Null as an empty optional; the rules as stated for the relocation.
bool reference_relocation(const std::string &progname, const std::string &bin_prefix,
                          const std::string &prefix, std::string &result) {
  std::vector<std::string> program = reference_components(progname);
  std::vector<std::string> bin = reference_components(bin_prefix);
  std::vector<std::string> target = reference_components(prefix);
  if (program.empty() || bin.empty() || target.empty()) return false;
  size_t program_dir = program.size() - 1;
  if (program_dir == bin.size() &&
      std::equal(bin.begin(), bin.end(), program.begin()))
    return false;
  size_t common = 0;
  while (common < bin.size() && common < target.size() && bin[common] == target[common])
    ++common;
  if (common == 0) return false;
  result = joined(program, 0, program_dir);
  for (size_t i = common; i < bin.size(); ++i) result += "../";
  result += joined(target, common, target.size());
  return true;
}

void check_relocation(const std::vector<std::string> &pieces) {
  std::string bin_prefix = pieces.size() > 1 ? pieces[0] : "/usr/local/bin/";
  std::string prefix = pieces.size() > 1 ? pieces[1] : pieces[0];
  std::string progname = "/opt/x/bin/prog";
  if (pieces.size() > 2 && pieces[2].find('/') != std::string::npos) progname = pieces[2];
  char *result =
      relocate_prefix_ignoring_links(progname.c_str(), bin_prefix.c_str(), prefix.c_str());
  std::string expected;
  bool relocated = reference_relocation(progname, bin_prefix, prefix, expected);
  if (relocated != (result != nullptr)) fail("relocation null where the rules say otherwise");
  if (result && expected != result) fail("relocated prefix differs");
  free(result);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<std::string> pieces;
  const char *p = reinterpret_cast<const char *>(data);
  const char *end = p + size;
  for (;;) {
    const char *nul = static_cast<const char *>(memchr(p, '\0', static_cast<size_t>(end - p)));
    pieces.emplace_back(p, nul ? nul : end);
    if (!nul) break;
    p = nul + 1;
  }
  check_components(pieces[0]);
  check_prefix_list(pieces[0]);
  check_basenames(pieces[0]);
  check_relocation(pieces);
  return 0;
}
