// Writes a vector of arbitrary arguments as a response file and reads it
// back: the same vector must come back. The input is split at its NUL bytes
// into the arguments, so any byte from 1 to 255 can stand in one.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "argv.h"
#include "test_util.h"

namespace {

[[noreturn]] void fail(const char *what) {
  fprintf(stderr, "fuzz_argv_round_trip: %s\n", what);
  __builtin_trap();
}

bool same_vector(const char *const *a, const char *const *b) {
  for (; *a && *b; ++a, ++b) {
    if (strcmp(*a, *b) != 0) return false;
  }
  return !*a && !*b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // An empty input is the empty vector; otherwise n NUL bytes make n + 1
  // arguments, empty ones included.
  std::vector<std::string> args;
  if (size > 0) args = kiv_test::split_at_nul({reinterpret_cast<const char *>(data), size});
  std::vector<const char *> vector;
  for (const std::string &arg : args) vector.push_back(arg.c_str());
  vector.push_back(nullptr);

  char *text = nullptr;
  size_t text_size = 0;
  FILE *stream = open_memstream(&text, &text_size);
  if (!stream) {
    perror("open_memstream");
    abort();
  }
  int written = write_argv_to_file(vector.data(), stream);
  if (fclose(stream) != 0) {
    perror("fclose");
    abort();
  }
  if (written != 0) fail("write_argv_to_file failed on a memory stream");
  if (strlen(text) != text_size) fail("NUL byte in the written text");

  argv_vector back = split_argument_string(text);
  if (!back) fail("null vector read back");
  if (static_cast<size_t>(count_argv(back)) != args.size()) fail("argument count changed");
  if (!same_vector(vector.data(), back)) fail("vector changed in the round trip");

  argv_vector copy = copy_argv(back);
  if (!same_vector(back, copy)) fail("copy_argv differs from its source");
  free_argv(copy);
  free_argv(back);
  free(text);
  return 0;
}
