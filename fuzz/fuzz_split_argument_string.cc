// Splits arbitrary text and compares the vector with a direct reading of the
// quoting rules.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "argv.h"

namespace {

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool escapable_in_double_quotes(char c) { return c != '\0' && strchr("$`\"\\\n", c); }

// The reading rules, one argument per non-blank start, written for clarity
// rather than speed.
std::vector<std::string> reference_split(const char *text) {
  std::vector<std::string> args;
  const char *p = text;
  for (;;) {
    while (is_space(*p)) ++p;
    if (!*p) return args;
    std::string arg;
    enum class quote { none, single, double_ } state = quote::none;
    for (; *p; ++p) {
      char c = *p;
      if (state == quote::single) {
        if (c == '\'')
          state = quote::none;
        else
          arg += c;
      } else if (state == quote::double_) {
        if (c == '"') {
          state = quote::none;
        } else if (c == '\\' && escapable_in_double_quotes(p[1])) {
          ++p;
          if (*p != '\n') arg += *p;
        } else if (c == '\\' && p[1] == '\0') {
          // dropped at the end of the text
        } else {
          arg += c;
        }
      } else if (is_space(c)) {
        break;
      } else if (c == '\\') {
        if (p[1] == '\0') continue;
        ++p;
        if (*p != '\n') arg += *p;
      } else if (c == '\'') {
        state = quote::single;
      } else if (c == '"') {
        state = quote::double_;
      } else {
        arg += c;
      }
    }
    args.push_back(arg);
  }
}

[[noreturn]] void fail(const char *what) {
  fprintf(stderr, "fuzz_split_argument_string: %s\n", what);
  __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string text(reinterpret_cast<const char *>(data), size);
  argv_vector argv = split_argument_string(text.c_str());
  if (!argv) fail("null vector for a non-null text");
  std::vector<std::string> expected = reference_split(text.c_str());
  int count = count_argv(argv);
  if (count < 0 || static_cast<size_t>(count) != expected.size()) fail("wrong argument count");
  size_t total = 0;
  for (int i = 0; i < count; ++i) {
    if (expected[static_cast<size_t>(i)] != argv[i]) fail("argument differs from the rules");
    total += strlen(argv[i]);
  }
  // Every stored byte comes from a distinct byte of the text.
  if (total > strlen(text.c_str())) fail("more argument bytes than text");
  free_argv(argv);
  return 0;
}
