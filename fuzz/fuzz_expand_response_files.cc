// Expands "@file" arguments over response files made from the input and
// compares the result with a direct recursive expansion.
//
// The input is cut at 0xFF bytes into the texts of up to ten files f0..f9 in
// a scratch directory of this process (removed at a normal exit). Inside a text, '@' and the byte after
// it become a reference "@<dir>/fN" with N from that byte (f10 and f11, and
// the files beyond the last text, never exist); no other '@' reaches a file,
// so no argument can name a directory or a file outside the scratch
// directory. References may form cycles: an input whose expansion would meet
// 2000 @-arguments is skipped, since the library ends the process there,
// taking such a count for a file that names itself.
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "alloc.h"
#include "argv.h"
#include "response_file.h"

namespace {

constexpr int max_files = 10;
constexpr int reference_range = 12;
constexpr int at_file_budget = 2000;
constexpr unsigned char file_separator = 0xFF;

std::string scratch_dir;
// The paths of f0 up to f11, made once.
std::vector<std::string> file_paths;

[[noreturn]] void fail(const char *what) {
  fprintf(stderr, "fuzz_expand_response_files: %s\n", what);
  __builtin_trap();
}

const std::string &file_path(int index) { return file_paths[static_cast<size_t>(index)]; }

void remove_scratch_dir() {
  for (int i = 0; i < max_files; ++i) unlink(file_path(i).c_str());
  rmdir(scratch_dir.c_str());
}

// The inputs are built to stay below the budget and away from directories,
// so an exit from the library is a failure to be kept as a crash.
void unexpected_exit(int status) {
  fprintf(stderr, "fuzz_expand_response_files: expand_response_files ended the process "
                  "with status %d\n", status);
  __builtin_trap();
}

// TMPDIR when it is a plain absolute name, else /tmp: the references are
// pasted into response-file text, where a blank, a quote, a backslash or an
// '@' in the directory name would change their meaning.
std::string scratch_base() {
  const char *tmpdir = getenv("TMPDIR");
  if (!tmpdir || tmpdir[0] != '/') return "/tmp";
  for (const char *p = tmpdir; *p; ++p) {
    if (!isalnum(static_cast<unsigned char>(*p)) && !strchr("/._-", *p)) return "/tmp";
  }
  return tmpdir;
}

void make_scratch_dir() {
  std::string name = scratch_base() + "/kiv-fuzz-XXXXXX";
  if (!mkdtemp(name.data())) {
    perror("mkdtemp");
    abort();
  }
  scratch_dir = name;
  for (int i = 0; i < reference_range; ++i)
    file_paths.push_back(scratch_dir + "/f" + std::to_string(i));
  atexit(remove_scratch_dir);
  exit_cleanup_hook = unexpected_exit;
}

void write_file(const std::string &path, const std::string &text) {
  FILE *f = fopen(path.c_str(), "w");
  if (!f) {
    perror(path.c_str());
    abort();
  }
  if (fwrite(text.data(), 1, text.size(), f) != text.size() || fclose(f) != 0) {
    perror(path.c_str());
    abort();
  }
}

std::vector<std::string> split_to_strings(const char *text) {
  argv_vector argv = split_argument_string(text);
  std::vector<std::string> args(argv, argv + count_argv(argv));
  free_argv(argv);
  return args;
}

// Depth-first expansion in the order the library promises, counting every
// @-argument met.
struct reference_expansion {
  std::vector<std::vector<std::string>> file_args;  // per existing file
  int at_arguments = 0;
  bool over_budget = false;

  // The file an "@name" argument names, or -1 when it names none of ours.
  int existing_file(const std::string &arg) const {
    for (size_t i = 0; i < file_args.size(); ++i) {
      if (arg.compare(1, std::string::npos, file_path(static_cast<int>(i))) == 0)
        return static_cast<int>(i);
    }
    return -1;
  }

  void expand(const std::vector<std::string> &args, std::vector<std::string> &out) {
    for (const std::string &arg : args) {
      if (over_budget) return;
      if (arg.empty() || arg[0] != '@') {
        out.push_back(arg);
        continue;
      }
      if (++at_arguments >= at_file_budget) {
        over_budget = true;
        return;
      }
      int index = existing_file(arg);
      if (index < 0)
        out.push_back(arg);
      else
        expand(file_args[static_cast<size_t>(index)], out);
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (scratch_dir.empty()) make_scratch_dir();

  std::vector<std::string> texts(1);
  for (size_t i = 0; i < size; ++i) {
    unsigned char c = data[i];
    if (c == file_separator && texts.size() < max_files) {
      texts.emplace_back();
    } else if (c == '@') {
      if (i + 1 < size) texts.back() += "@" + file_path(data[++i] % reference_range);
    } else {
      texts.back() += static_cast<char>(c);
    }
  }
  for (int i = 0; i < max_files; ++i) {
    if (static_cast<size_t>(i) < texts.size()) {
      write_file(file_path(i), texts[static_cast<size_t>(i)]);
    } else if (unlink(file_path(i).c_str()) != 0 && errno != ENOENT) {
      perror("unlink");
      abort();
    }
  }

  reference_expansion reference;
  // The reader stops at a NUL byte, as the C string it splits does.
  for (const std::string &text : texts) reference.file_args.push_back(split_to_strings(text.c_str()));
  std::string first_at = "@" + file_path(0);
  std::vector<std::string> expected{"prog"};
  reference.expand({first_at, "x"}, expected);
  if (reference.over_budget) return 0;

  std::string prog = "prog";
  std::string x = "x";
  char *original[] = {prog.data(), first_at.data(), x.data(), nullptr};
  int argc = 3;
  char **argv = original;
  expand_response_files(&argc, &argv);

  if (original[0] != prog.data() || original[1] != first_at.data() || original[2] != x.data() ||
      original[3] != nullptr || prog != "prog" || first_at != "@" + file_path(0) || x != "x")
    fail("the caller's vector was changed");
  // f0 always exists, so there is always a new vector.
  if (argv == original) fail("no new vector after an expansion");
  if (argc != count_argv(argv)) fail("count does not match the vector");
  if (static_cast<size_t>(argc) != expected.size()) fail("wrong argument count");
  for (int i = 0; i < argc; ++i) {
    if (expected[static_cast<size_t>(i)] != argv[i]) fail("argument differs from the expansion");
  }
  free_argv(argv);
  return 0;
}
