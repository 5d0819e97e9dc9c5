// Path components, ':'-separated lists, base names and the relocation of a
// directory, each checked on arbitrary text against a second, plain
// computation over std::string.
//
// The input is cut at its NUL bytes. The first piece is the path for the
// component splitter and the base names, and the ':'-separated list for
// colon_list, the prefix lists and the PATH search. The first three pieces
// are the build-time program directory, the target directory and the
// program name for the relocation ("/opt/x/bin/prog" unless the third piece
// holds a '/': a bare name would be looked up in PATH).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "c_api_helpers.h"
#include "colon_list.h"
#include "path.h"
#include "prefix_list.h"
#include "test_util.h"

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

// The prefixes of a ':'-separated text, computed here over std::string.
std::vector<std::string> reference_prefixes(const std::string &text) {
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
    if (colon == std::string::npos) return expected;
    start = colon + 1;
  }
}

// The ':' rule as its two users apply it: the prefix lists, and the PATH
// search of the relocation, which must find nothing for a name that no
// directory holds, whatever PATH is.
void check_colon_list(const std::string &text) {
  std::vector<std::string> expected = reference_prefixes(text);

  // Exactly the room promised, so that the sanitizer sees a write past it.
  std::vector<char> buffer(colon_list::prefix_room(text.c_str()));
  colon_list elements(text.c_str());
  size_t n = 0;
  for (size_t len; (len = elements.next(buffer.data())) != 0; ++n) {
    if (n >= expected.size() || expected[n] != buffer.data() || len != expected[n].size())
      fail("colon_list element differs");
  }
  if (n != expected.size()) fail("wrong number of colon_list elements");

  kiv_test::ScopedPrefixList list;
  prefix_list_from_string(text.c_str(), &list);
  if (list.texts() != expected) fail("prefix entries differ");
  size_t longest = 0;
  for (const std::string &prefix : expected) longest = std::max(longest, prefix.size());
  if (static_cast<size_t>(list.longest_len) != longest) fail("wrong longest_len");

  // Every element costs an access(): long lists are left to the checks above.
  if (expected.size() > 32) return;
  const char *absent = "kiv-fuzz-no-such-program";
  kiv_test::ScopedEnv path("PATH", text.c_str());
  if (kiv_test::take_string(relocate_prefix_ignoring_links(absent, "/usr/local/bin/", "/usr/local/lib/")) !=
      "../lib/")
    fail("the PATH search found a program that does not exist");
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

// The relocation computed a second way, over std::string: false where the
// library must return null, else the relocated prefix in result.
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
  std::vector<std::string> pieces =
      kiv_test::split_at_nul({reinterpret_cast<const char *>(data), size});
  check_components(pieces[0]);
  check_colon_list(pieces[0]);
  check_basenames(pieces[0]);
  check_relocation(pieces);
  return 0;
}
