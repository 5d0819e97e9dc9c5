#include "alloc.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

// Under AddressSanitizer an impossible request must come back as null, as
// from the C library, rather than end the test.
extern "C" const char *__asan_default_options() { return "allocator_may_return_null=1"; }

namespace {

TEST(Alloc, OutOfMemoryLineWithoutProgramName) {
  EXPECT_EXIT(report_alloc_failure(1024), testing::ExitedWithCode(1),
              "^\nout of memory allocating 1024 bytes\n$");
}

TEST(Alloc, OutOfMemoryLineWithProgramName) {
  EXPECT_EXIT(
      {
        set_alloc_program_name("kiv-ar");
        report_alloc_failure(1024);
      },
      testing::ExitedWithCode(1), "^\nkiv-ar: out of memory allocating 1024 bytes\n$");
}

TEST(Alloc, FailedRequestsEndTheProcess) {
  // Sizes no allocator can serve reach the real failure path of each function.
  constexpr size_t huge = SIZE_MAX / 2;
  EXPECT_EXIT(checked_malloc(huge), testing::ExitedWithCode(1), "out of memory allocating");
  EXPECT_EXIT(checked_realloc(nullptr, huge), testing::ExitedWithCode(1),
              "out of memory allocating");
  EXPECT_EXIT(checked_calloc(huge, 1), testing::ExitedWithCode(1), "out of memory allocating");
  EXPECT_EXIT(
      {
        void *p = checked_malloc(16);
        checked_realloc(p, huge);
      },
      testing::ExitedWithCode(1), "out of memory allocating");
}

TEST(Alloc, ZeroSizesGiveDistinctUsableBlocks) {
  char *a = static_cast<char *>(checked_malloc(0));
  char *b = static_cast<char *>(checked_calloc(0, 8));
  char *c = static_cast<char *>(checked_calloc(8, 0));
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);
  EXPECT_NE(b, c);
  a[0] = 'x';  // one byte each; the sanitizer build checks the bounds
  EXPECT_EQ(b[0], 0);
  EXPECT_EQ(c[0], 0);
  char *shrunk = static_cast<char *>(checked_realloc(checked_strdup("long text"), 0));
  ASSERT_NE(shrunk, nullptr);
  EXPECT_EQ(shrunk[0], 'l');
  free(a);
  free(b);
  free(c);
  free(shrunk);
}

TEST(Alloc, ReallocKeepsContentsAndStrdupCopies) {
  char *p = static_cast<char *>(checked_realloc(nullptr, 4));
  memcpy(p, "abc", 4);
  p = static_cast<char *>(checked_realloc(p, 1 << 20));
  EXPECT_STREQ(p, "abc");
  char *copy = checked_strdup(p);
  EXPECT_NE(copy, p);
  EXPECT_STREQ(copy, "abc");
  free(p);
  free(copy);
}

// The header marks the joiners as needing a null sentinel after the first
// argument; a list that is empty from the start is valid all the same, so
// those calls go through pointers that do not carry the attribute.
char *(*const concat_any)(const char *, ...) = concat_strings;
size_t (*const length_any)(const char *, ...) = concat_strings_length;
char *(*const into_any)(char *, const char *, ...) = concat_strings_into;

TEST(Concat, ListCases) {
  struct Case {
    char *result;
    const char *expected;
  } cases[] = {
      {concat_any(nullptr), ""},
      {concat_strings("a", "", "bc", nullptr), "abc"},
      {concat_strings("a", nullptr, "b", nullptr), "a"},  // the list ends at the first null
      {concat_strings("", nullptr), ""},
      {concat_strings("/usr/", "lib", "/", nullptr), "/usr/lib/"},
      {concat_strings_replacing(nullptr, "x", nullptr), "x"},
  };
  for (const Case &c : cases) {
    EXPECT_STREQ(c.result, c.expected);
    free(c.result);
  }
  EXPECT_EQ(concat_strings_length("a", "", "bc", nullptr), 3u);
  EXPECT_EQ(length_any(nullptr), 0u);
  EXPECT_EQ(concat_strings_length("abc", nullptr, "zz", nullptr), 3u);
}

TEST(Concat, ReplacingMayListTheOldString) {
  char *s = checked_strdup("dir");
  s = concat_strings_replacing(s, s, "/", nullptr);  // the old block is freed afterwards
  EXPECT_STREQ(s, "dir/");
  s = concat_strings_replacing(s, "a", s, s, nullptr);
  EXPECT_STREQ(s, "adir/dir/");
  free(s);
}

TEST(Concat, IntoAndStaticWriteTheCallersBuffer) {
  char buf[16];
  memset(buf, 'z', sizeof buf);
  EXPECT_EQ(concat_strings_into(buf, "ab", "cd", nullptr), buf);
  EXPECT_STREQ(buf, "abcd");
  EXPECT_STREQ(into_any(buf, nullptr), "");
  char other[8];
  concat_static_buffer = other;
  EXPECT_EQ(concat_strings_static("x", "y", nullptr), other);
  EXPECT_STREQ(other, "xy");
  concat_static_buffer = nullptr;
}

void record_status(int status) { fprintf(stderr, "hook %d\n", status); }

TEST(ExitWithCleanup, CallsTheHookWithTheStatus) {
  EXPECT_EXIT(
      {
        exit_cleanup_hook = record_status;
        exit_with_cleanup(3);
      },
      testing::ExitedWithCode(3), "^hook 3\n$");
  EXPECT_EXIT(exit_with_cleanup(0), testing::ExitedWithCode(0), "^$");
  // The out-of-memory exit goes through the hook too.
  EXPECT_EXIT(
      {
        exit_cleanup_hook = record_status;
        report_alloc_failure(7);
      },
      testing::ExitedWithCode(1), "out of memory allocating 7 bytes\nhook 1\n$");
}

}  // namespace
