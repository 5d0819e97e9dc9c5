#include "response_file.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "alloc.h"
#include "argv.h"
#include "handles.h"

namespace {

// Meeting this many @-arguments in one call is taken for a file that
// (directly or not) names itself.
constexpr int at_file_budget = 2000;

// The whole text of an opened file, NUL-terminated; null when its length
// cannot be found or it cannot be read.
unique_cstr read_whole_file(FILE *f) {
  if (fseek(f, 0, SEEK_END) == -1) return nullptr;
  long length = ftell(f);
  if (length == -1 || fseek(f, 0, SEEK_SET) == -1) return nullptr;
  size_t size = static_cast<size_t>(length);
  unique_cstr text{static_cast<char *>(checked_malloc(size + 1))};
  size_t got = fread(text.get(), 1, size, f);
  // A file that shrank since ftell is read as far as it goes.
  if (got < size && ferror(f)) return nullptr;
  text.get()[got] = '\0';
  return text;
}

// The arguments held by the named file, or null when it is to be left as an
// argument. A directory ends the process.
unique_argv read_response_file(const char *name, const char *program) {
  struct stat st;
  if (stat(name, &st) != 0) return nullptr;
  if (S_ISDIR(st.st_mode)) {
    fprintf(stderr, "%s: error: @-file refers to a directory\n", program);
    exit_with_cleanup(1);
  }
  // Only read from: a failed close loses nothing.
  unique_file f{fopen(name, "r")};
  if (!f) return nullptr;
  unique_cstr text = read_whole_file(f.get());
  if (!text) return nullptr;
  return unique_argv{split_argument_string(text.get())};
}

}  // namespace

void expand_response_files(int *argcp, char ***argvp) {
  if (*argcp <= 1) return;
  char **const original = *argvp;
  int budget = at_file_budget;
  int i = 1;
  while (i < *argcp) {
    const char *arg = (*argvp)[i];
    if (arg[0] != '@') {
      ++i;
      continue;
    }
    if (--budget == 0) {
      fprintf(stderr, "%s: error: too many @-files encountered\n", (*argvp)[0]);
      exit_with_cleanup(1);
    }
    unique_argv inserted = read_response_file(arg + 1, (*argvp)[0]);
    if (!inserted) {
      ++i;
      continue;
    }
    // The caller's vector is never written to; the first change goes to a copy.
    if (*argvp == original) *argvp = copy_argv(original);
    char **argv = *argvp;
    int count = *argcp;
    int n = count_argv(inserted.get());
    // The @-argument's own string leaves the vector.
    unique_cstr replaced{argv[i]};
    argv = static_cast<char **>(
        checked_realloc(argv, (static_cast<size_t>(count) + n + 1) * sizeof(char *)));
    // Everything behind the @-argument, the terminating null included.
    memmove(argv + i + n, argv + i + 1, static_cast<size_t>(count - i) * sizeof(char *));
    memcpy(argv + i, inserted.get(), static_cast<size_t>(n) * sizeof(char *));
    // The strings belong to the expanded vector now: emptied, the split
    // vector releases only its array.
    inserted.get()[0] = nullptr;
    *argvp = argv;
    *argcp = count + n - 1;
    // The same index next: inserted @-arguments are expanded in turn.
  }
}

unique_argv expanded_arguments(int *argcp, char **argv) {
  char **result = argv;
  expand_response_files(argcp, &result);
  return unique_argv{result != argv ? result : nullptr};
}
