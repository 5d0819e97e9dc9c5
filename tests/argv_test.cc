#include "argv.h"

#include <gtest/gtest.h>
#if __has_include(<malloc.h>)
#include <malloc.h>
#define KIV_HAVE_MALLOC_USABLE_SIZE 1
#elif __has_include(<malloc_np.h>)
#include <malloc_np.h>
#define KIV_HAVE_MALLOC_USABLE_SIZE 1
#endif

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "c_api_helpers.h"

namespace {

using Args = std::vector<std::string>;

using kiv_test::take_argv;

Args split(const std::string &text) {
  argv_vector argv = split_argument_string(text.c_str());
  EXPECT_NE(argv, nullptr) << text;
  return argv ? take_argv(argv) : Args{};
}

// Null-terminated view of strings that the caller keeps alive.
std::vector<const char *> view(const Args &args) {
  std::vector<const char *> v;
  for (const std::string &a : args) v.push_back(a.c_str());
  v.push_back(nullptr);
  return v;
}

// What write_argv_to_file produces for args.
std::string written(const Args &args) {
  char *buf = nullptr;
  size_t size = 0;
  FILE *f = open_memstream(&buf, &size);
  EXPECT_NE(f, nullptr);
  EXPECT_EQ(write_argv_to_file(view(args).data(), f), 0);
  fclose(f);
  std::string text(buf, size);
  free(buf);
  return text;
}

TEST(SplitArgumentString, ReadingRules) {
  struct Case {
    std::string text;
    Args expected;
  } cases[] = {
      {"", {}},
      {" \t\n ", {}},
      {"\v\f\r", {}},
      {"a  b\tc\n", {"a", "b", "c"}},
      {"  lead\r\ntrail  ", {"lead", "trail"}},
      {"''", {""}},
      {"\"\"", {""}},
      {"a '' b", {"a", "", "b"}},
      {"a\\ b", {"a b"}},
      {"\\'x\\\" \\\\", {"'x\"", "\\"}},
      {"x\\\ty", {"x\ty"}},
      {"\"x\\$y\"", {"x$y"}},
      {"\"a\\`b\\\"c\\\\d\"", {"a`b\"c\\d"}},
      {"\"a\\nb\"", {"a\\nb"}},
      {"\"it's here\"", {"it's here"}},
      {"'a\\b \"c\"'", {"a\\b \"c\""}},
      {"'a\nb'", {"a\nb"}},
      {"ab\\\ncd", {"abcd"}},
      {"\"ab\\\ncd\"", {"abcd"}},
      {"a\"b c\"'d'", {"ab cd"}},
      {"'abc def", {"abc def"}},
      {"\"abc def", {"abc def"}},
      {"abc\\", {"abc"}},
      {"\"abc\\", {"abc"}},
      {"'abc\\", {"abc\\"}},
      // Bytes outside the whitespace class never separate.
      {"a\x01" "b \xa0x", {"a\x01" "b", "\xa0x"}},
  };
  for (const Case &c : cases) EXPECT_EQ(split(c.text), c.expected) << "text: " << c.text;
}

TEST(SplitArgumentString, NullGivesNull) { EXPECT_EQ(split_argument_string(nullptr), nullptr); }

TEST(SplitArgumentString, EmptyTextGivesEmptyVectorNotNull) {
  argv_vector argv = split_argument_string("  ");
  ASSERT_NE(argv, nullptr);
  EXPECT_EQ(argv[0], nullptr);
  free_argv(argv);
}

// Around the growth points of the vector: 8 slots hold 7 arguments and the
// null, and the array doubles only when another argument is there.
TEST(SplitArgumentString, ManyArguments) {
  struct Case {
    int arguments;
    size_t slots;
  } cases[] = {{0, 8}, {7, 8}, {8, 16}, {9, 16}, {15, 16}, {16, 32}, {17, 32}, {1000, 1024}};
  for (const Case &c : cases) {
    std::string text;
    Args expected;
    for (int i = 0; i < c.arguments; ++i) {
      expected.push_back("arg" + std::to_string(i));
      text += expected.back() + " ";
    }
    argv_vector argv = split_argument_string(text.c_str());
    ASSERT_NE(argv, nullptr);
#if KIV_HAVE_MALLOC_USABLE_SIZE
    // The block may be rounded up, but never to the next doubling.
    size_t usable = malloc_usable_size(argv);
    EXPECT_GE(usable, c.slots * sizeof(char *)) << c.arguments;
    EXPECT_LT(usable, 2 * c.slots * sizeof(char *)) << c.arguments;
#endif
    EXPECT_EQ(take_argv(argv), expected) << c.arguments;
  }
}

TEST(WriteArgvToFile, EscapesWithBackslashes) {
  Args args = {"a b", "", "it's", "c\\d"};
  std::string text = written(args);
  EXPECT_EQ(text, "a\\ b\n\"\"\nit\\'s\nc\\\\d\n");
  EXPECT_EQ(split(text), args);
  EXPECT_EQ(written({"\t\"x\"\v\f\r"}), "\\\t\\\"x\\\"\\\v\\\f\\\r\n");
  EXPECT_EQ(written({}), "");
}

TEST(WriteArgvToFile, NewlineIsWrittenBetweenSingleQuotes) {
  EXPECT_EQ(written({"x\ny"}), "x'\n'y\n");
  EXPECT_EQ(split(written({"x\ny", "\n", "a\n\nb"})), (Args{"x\ny", "\n", "a\n\nb"}));
}

TEST(WriteArgvToFile, RoundTrip) {
  Args args = {"plain",   "with space", "tab\there", "\"double\"", "'single'", "back\\slash",
               "",        "ends\\",     "\\",        "line\nbreak", "$`x",   " \t\n\v\f\r",
               "\xa0\x01", "'\"\\\n"};
  EXPECT_EQ(split(written(args)), args);
}

TEST(WriteArgvToFile, NullStreamFails) {
  const char *args[] = {"a", nullptr};
  EXPECT_EQ(write_argv_to_file(args, nullptr), 1);
}

TEST(WriteArgvToFile, FailedWritesFail) {
  FILE *full = fopen("/dev/full", "w");
  if (!full) GTEST_SKIP() << "no /dev/full";
  ASSERT_EQ(setvbuf(full, nullptr, _IONBF, 0), 0);
  for (const Args &args : {Args{"a"}, Args{""}, Args{" "}, Args{"\n"}})
    EXPECT_EQ(write_argv_to_file(view(args).data(), full), 1) << args[0];
  // Nothing to write, nothing to fail.
  EXPECT_EQ(write_argv_to_file(view({}).data(), full), 0);
  fclose(full);

  FILE *read_only = fopen("/dev/null", "r");
  ASSERT_NE(read_only, nullptr);
  EXPECT_EQ(write_argv_to_file(view({"a"}).data(), read_only), 1);
  fclose(read_only);
}

TEST(CopyArgv, DeepCopy) {
  char a[] = "one";
  char b[] = "";
  const char *source[] = {a, b, nullptr};
  argv_vector copy = copy_argv(source);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(count_argv(copy), 2);
  EXPECT_NE(copy[0], a);
  a[0] = 'X';
  EXPECT_EQ(take_argv(copy), (Args{"one", ""}));

  const char *empty[] = {nullptr};
  argv_vector empty_copy = copy_argv(empty);
  ASSERT_NE(empty_copy, nullptr);
  EXPECT_EQ(empty_copy[0], nullptr);
  free_argv(empty_copy);
  EXPECT_EQ(copy_argv(nullptr), nullptr);
}

TEST(CountAndFreeArgv, AcceptNull) {
  EXPECT_EQ(count_argv(nullptr), 0);
  free_argv(nullptr);
}

}  // namespace
