#include "prefix_list.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "c_api_helpers.h"
#include "colon_list.h"
#include "test_util.h"

namespace {

using kiv_test::ScopedPrefixList;
using kiv_test::ScopedTempDir;
using Texts = std::vector<std::string>;

// Both users of the ':' rule, the prefix lists and the PATH search of the
// relocation, walk the elements with colon_list.
TEST(ColonList, ElementsBecomePrefixes) {
  struct Case {
    const char *input;
    Texts expected;
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
    // Exactly the room promised, so that the sanitizer sees a write past it.
    std::vector<char> buffer(colon_list::prefix_room(c.input));
    colon_list elements(c.input);
    Texts walked;
    for (size_t len; (len = elements.next(buffer.data())) != 0;) {
      walked.emplace_back(buffer.data());
      EXPECT_EQ(walked.back().size(), len) << c.input;
    }
    EXPECT_EQ(elements.next(buffer.data()), 0u) << "input '" << c.input << "'";
    EXPECT_EQ(walked, c.expected) << "input '" << c.input << "'";

    ScopedPrefixList list;
    prefix_list_from_string(c.input, &list);
    EXPECT_EQ(list.texts(), c.expected) << "input '" << c.input << "'";
  }
}

TEST(PrefixList, LongestLengthCountsTheAddedSlashAndOnlyGrows) {
  ScopedPrefixList list;
  prefix_list_from_string("bin", &list);
  EXPECT_EQ(list.longest_len, 4);
  prefix_list_add(&list, "a");
  prefix_list_add_front(&list, "/much/longer/prefix/");
  EXPECT_EQ(list.longest_len, 20);
  EXPECT_EQ(list.texts(), (Texts{"/much/longer/prefix/", "bin/", "a"}));
}

TEST(PrefixList, FromEnv) {
  ScopedPrefixList list;
  kiv_test::ScopedEnv unset("KIV_TEST_UNSET_VARIABLE", nullptr);
  prefix_list_from_env("KIV_TEST_UNSET_VARIABLE", &list);
  EXPECT_EQ(list.head, nullptr);
  kiv_test::ScopedEnv empty("KIV_TEST_EMPTY_VARIABLE", "");
  prefix_list_from_env("KIV_TEST_EMPTY_VARIABLE", &list);
  EXPECT_EQ(list.texts(), Texts{"./"});
}

std::optional<std::string> find(const prefix_list &list, const char *name, int mode) {
  return kiv_test::take_string(find_file_in_prefixes(&list, name, mode));
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
  ScopedPrefixList list;
  prefix_list_add(&list, first.c_str());
  prefix_list_add(&list, second.c_str());
  // A fresh copy each time: freeing it leaves the list intact.
  EXPECT_EQ(find(list, "tool", X_OK), first + "tool");
  prefix_list_add_front(&list, second.c_str());
  EXPECT_EQ(find(list, "tool", X_OK), second + "tool");
  EXPECT_EQ(list.head->text, second);
}

TEST_F(Lookup, SkipsDirectoriesDanglingLinksAndMissingAccess) {
  kiv_test::make_dir(first + "a");                                  // a directory
  ASSERT_EQ(symlink((dir / "nowhere").c_str(), (first + "b").c_str()), 0);  // dangling
  kiv_test::write_file(first + "c", "", 0644);                      // not executable
  for (const char *name : {"a", "b", "c"}) kiv_test::write_file(second + name, "", 0755);
  ScopedPrefixList list;
  prefix_list_add(&list, first.c_str());
  prefix_list_add(&list, second.c_str());
  for (const char *name : {"a", "b", "c"}) EXPECT_EQ(find(list, name, X_OK), second + name);
  // Read access is enough for the plugin's mode.
  EXPECT_EQ(find(list, "c", R_OK), first + "c");
  EXPECT_EQ(find(list, "none", R_OK), std::nullopt);
}

TEST_F(Lookup, AbsoluteNamesBypassTheListAndTheTypeTest) {
  ScopedPrefixList list;
  prefix_list_add(&list, first.c_str());
  EXPECT_EQ(find(list, second.c_str(), R_OK), second);  // a directory
  EXPECT_EQ(find(list, (dir / "missing").c_str(), R_OK), std::nullopt);
  // The same directory reached through a prefix is skipped.
  ScopedPrefixList parent;
  prefix_list_add(&parent, (dir.path() + "/").c_str());
  EXPECT_EQ(find(parent, "second", R_OK), std::nullopt);
}

// Runs the lookups of the trace test, releasing what they return.
void traced_lookups(const std::string &missing) {
  ScopedPrefixList empty;
  ScopedPrefixList one;
  set_find_debug(true);
  find(empty, "tool", X_OK);
  find(empty, missing.c_str(), X_OK);
  prefix_list_from_string("/nonexistent-kiv-test:", &one);
  find(one, missing.c_str(), X_OK);
  find(one, "tool", X_OK);
  find(one, "/", R_OK);
  set_find_debug(false);
  find(one, "tool", X_OK);
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
