#include "prefix_list.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

using kiv_test::ScopedTempDir;

// Lists are never freed by the library (they live as long as the program);
// the tests release theirs.
struct scoped_list : prefix_list {
  scoped_list() : prefix_list{} {}
  scoped_list(const scoped_list &) = delete;
  ~scoped_list() {
    while (prefix_entry *e = head) {
      head = e->next;
      free(e->text);
      free(e);
    }
  }
};

std::vector<std::string> texts(const prefix_list &list) {
  std::vector<std::string> out;
  for (const prefix_entry *e = list.head; e; e = e->next) out.push_back(e->text);
  return out;
}

TEST(PrefixList, FromStringSplitsAtColons) {
  struct Case {
    const char *input;
    std::vector<std::string> expected;
  } cases[] = {
      {"", {"./"}},
      {":", {"./", "./"}},
      {"a:", {"a/", "./"}},
      {":a", {"./", "a/"}},
      {"a::b", {"a/", "./", "b/"}},
      {"a/", {"a/"}},
      {"a//", {"a//"}},
      {"/", {"/"}},
      {"/usr/local/bin:/usr/bin:/bin", {"/usr/local/bin/", "/usr/bin/", "/bin/"}},
  };
  for (const Case &c : cases) {
    scoped_list list;
    prefix_list_from_string(c.input, &list);
    EXPECT_EQ(texts(list), c.expected) << "input '" << c.input << "'";
  }
}

TEST(PrefixList, LongestLengthCountsTheAddedSlashAndOnlyGrows) {
  scoped_list list;
  prefix_list_from_string("bin", &list);
  EXPECT_EQ(list.longest_len, 4);
  prefix_list_add(&list, "a");
  prefix_list_add_front(&list, "/much/longer/prefix/");
  EXPECT_EQ(list.longest_len, 20);
  EXPECT_EQ(texts(list), (std::vector<std::string>{"/much/longer/prefix/", "bin/", "a"}));
}

TEST(PrefixList, FromEnv) {
  scoped_list list;
  unsetenv("KIV_TEST_UNSET_VARIABLE");
  prefix_list_from_env("KIV_TEST_UNSET_VARIABLE", &list);
  EXPECT_EQ(list.head, nullptr);
  setenv("KIV_TEST_EMPTY_VARIABLE", "", 1);
  prefix_list_from_env("KIV_TEST_EMPTY_VARIABLE", &list);
  EXPECT_EQ(texts(list), std::vector<std::string>{"./"});
}

class Lookup : public testing::Test {
 protected:
  void SetUp() override {
    first = dir / "first/";
    second = dir / "second/";
    kiv_test::make_dir(first);
    kiv_test::make_dir(second);
  }
  ScopedTempDir dir;
  std::string first, second;
};

TEST_F(Lookup, FirstMatchingPrefixWinsAndAddFrontOvertakes) {
  kiv_test::write_file(first + "tool", "", 0755);
  kiv_test::write_file(second + "tool", "", 0755);
  scoped_list list;
  prefix_list_add(&list, first.c_str());
  prefix_list_add(&list, second.c_str());
  char *found = find_file_in_prefixes(&list, "tool", X_OK);
  EXPECT_EQ(std::string(found), first + "tool");
  free(found);  // a fresh copy: the list stays intact
  prefix_list_add_front(&list, second.c_str());
  found = find_file_in_prefixes(&list, "tool", X_OK);
  EXPECT_EQ(std::string(found), second + "tool");
  free(found);
  EXPECT_EQ(list.head->text, second);
}

TEST_F(Lookup, SkipsDirectoriesDanglingLinksAndMissingAccess) {
  kiv_test::make_dir(first + "a");                                  // a directory
  ASSERT_EQ(symlink((dir / "nowhere").c_str(), (first + "b").c_str()), 0);  // dangling
  kiv_test::write_file(first + "c", "", 0644);                      // not executable
  for (const char *name : {"a", "b", "c"}) kiv_test::write_file(second + name, "", 0755);
  scoped_list list;
  prefix_list_add(&list, first.c_str());
  prefix_list_add(&list, second.c_str());
  for (const char *name : {"a", "b", "c"}) {
    char *found = find_file_in_prefixes(&list, name, X_OK);
    ASSERT_NE(found, nullptr) << name;
    EXPECT_EQ(std::string(found), second + name);
    free(found);
  }
  // Read access is enough for the plugin's mode.
  char *readable = find_file_in_prefixes(&list, "c", R_OK);
  EXPECT_EQ(std::string(readable), first + "c");
  free(readable);
  EXPECT_EQ(find_file_in_prefixes(&list, "none", R_OK), nullptr);
}

TEST_F(Lookup, AbsoluteNamesBypassTheListAndTheTypeTest) {
  scoped_list list;
  prefix_list_add(&list, first.c_str());
  char *found = find_file_in_prefixes(&list, second.c_str(), R_OK);  // a directory
  EXPECT_EQ(std::string(found), second);
  free(found);
  std::string missing = dir / "missing";
  EXPECT_EQ(find_file_in_prefixes(&list, missing.c_str(), R_OK), nullptr);
  // The same directory reached through a prefix is skipped.
  scoped_list parent;
  prefix_list_add(&parent, (dir.path() + "/").c_str());
  EXPECT_EQ(find_file_in_prefixes(&parent, "second", R_OK), nullptr);
}

// Runs the lookups of the trace test, releasing what they return.
void traced_lookups(const std::string &missing) {
  scoped_list empty;
  scoped_list one;
  auto lookup = [](const prefix_list &list, const char *name, int mode) {
    free(find_file_in_prefixes(&list, name, mode));
  };
  set_find_debug(true);
  lookup(empty, "tool", X_OK);
  lookup(empty, missing.c_str(), X_OK);
  prefix_list_from_string("/nonexistent-kiv-test:", &one);
  lookup(one, missing.c_str(), X_OK);
  lookup(one, "tool", X_OK);
  lookup(one, "/", R_OK);
  set_find_debug(false);
  lookup(one, "tool", X_OK);
}

TEST(LookupTrace, LinesByteForByte) {
  std::string missing = "/nonexistent-kiv-test/x";
  EXPECT_EXIT(
      {
        traced_lookups(missing);
        exit(0);
      },
      testing::ExitedWithCode(0),
      "^Looking for 'tool'\n"
      "  - failed: no entries in prefix list\n"
      "Looking for '/nonexistent-kiv-test/x'\n"
      "  - failed to locate using absolute path\n"
      "  - failed: no entries in prefix list\n"
      "Convert string '/nonexistent-kiv-test:' into prefixes, separator = ':'\n"
      "  - add prefix: /nonexistent-kiv-test/\n"
      "  - add prefix: \\./\n"
      "Looking for '/nonexistent-kiv-test/x'\n"
      "  - failed to locate using absolute path\n"
      "Looking for 'tool'\n"
      "Looking for '/'\n"
      "  - found: absolute path\n$");
}

}  // namespace
