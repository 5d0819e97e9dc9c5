#include "path.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "c_api_helpers.h"
#include "test_util.h"

namespace {

using kiv_test::make_dir;
using kiv_test::ScopedTempDir;
using kiv_test::write_file;

constexpr const char *bin = "/usr/local/bin/";
constexpr const char *lib = "/usr/local/lib/kiv15/kiv/";

using kiv_test::take_string;

std::string real(const std::string &path) {
  std::optional<std::string> resolved = take_string(realpath(path.c_str(), nullptr));
  EXPECT_TRUE(resolved) << path;
  return resolved.value_or(path);
}

TEST(SplitPathComponents, Cases) {
  struct Case {
    const char *path;
    std::vector<std::string> expected;
  } cases[] = {
      {"/", {"/"}},
      {"///", {"///"}},
      {"//x", {"//", "x"}},
      {"kiv-ar", {"kiv-ar"}},
      {"/usr/local/bin/", {"/", "usr/", "local/", "bin/"}},
      {"/opt/kv/bin/kiv-ar", {"/", "opt/", "kv/", "bin/", "kiv-ar"}},
      {"a//b", {"a//", "b"}},
      {"/usr//bin/x", {"/", "usr//", "bin/", "x"}},
  };
  for (const Case &c : cases) {
    int count = -1;
    char **components = split_path_components(c.path, &count);
    ASSERT_NE(components, nullptr) << c.path;
    std::vector<std::string> got = kiv_test::take_argv(components);
    EXPECT_EQ(got, c.expected) << c.path;
    EXPECT_EQ(count, static_cast<int>(got.size())) << c.path;
  }
  int count = 42;
  EXPECT_EQ(split_path_components("", &count), nullptr);
  EXPECT_EQ(count, 42);
}

TEST(PathBasename, Cases) {
  struct Case {
    const char *path;
    const char *plain;
    const char *dos;
  } cases[] = {
      {"/a/b", "b", "b"},
      {"a/", "", ""},
      {"name", "name", "name"},
      {"C:\\dir\\file.o", "C:\\dir\\file.o", "file.o"},
      {"c:file", "c:file", "file"},
      {"C:", "C:", ""},
      {"1:x", "1:x", "1:x"},
      {"dir/sub\\x", "sub\\x", "x"},
      {"Cx:y", "Cx:y", "Cx:y"},
      {"\xe9:x", "\xe9:x", "\xe9:x"},  // no letter in the character classes
  };
  for (const Case &c : cases) {
    EXPECT_STREQ(path_basename(c.path), c.plain) << c.path;
    EXPECT_STREQ(path_basename_dos(c.path), c.dos) << c.path;
    // Pointers into the argument, not copies.
    const char *p = path_basename_dos(c.path);
    EXPECT_TRUE(p >= c.path && p <= c.path + strlen(c.path));
  }
}

// Programs named with a '/' that do not exist: neither PATH nor links matter,
// so both variants must agree.
TEST(RelocatePrefix, TextualCases) {
  struct Case {
    const char *progname;
    const char *bin_prefix;
    const char *prefix;
    const char *expected;  // null: no relocation
  } cases[] = {
      {"/opt/kv/bin/kiv-ar", bin, lib, "/opt/kv/bin/../lib/kiv15/kiv/"},
      {"/opt/kv/bin/kiv-ar", bin, "/usr/local/libexec/kiv15/kiv/",
       "/opt/kv/bin/../libexec/kiv15/kiv/"},
      {"/usr/local/bin/kiv-ar-absent", bin, lib, nullptr},
      {"/kiv-ar", bin, lib, "/../lib/kiv15/kiv/"},
      {"/opt/kv/bin/kiv-ar", bin, "/usr/local/", "/opt/kv/bin/../"},
      {"/opt/kv/bin/kiv-ar", bin, "lib/kiv15/kiv/", nullptr},
      {"/opt/kv/bin/kiv-ar", "usr/local/bin/", lib, nullptr},
      {"/usr/local/bin/kiv-ar-absent", "/usr/local/bin", lib, "/usr/local/bin/../lib/kiv15/kiv/"},
      {"/opt//kv/bin/kiv-ar", bin, lib, "/opt//kv/bin/../lib/kiv15/kiv/"},
      {"/opt/kv/bin/kiv-ar", "/usr//local/bin/", "/usr/local/lib/",
       "/opt/kv/bin/../../../usr/local/lib/"},
      {"/opt/kv/bin/kiv-ar", bin, "", nullptr},
      {"", bin, lib, nullptr},
  };
  for (const Case &c : cases) {
    std::optional<std::string> expected;
    if (c.expected) expected = c.expected;
    EXPECT_EQ(take_string(relocate_prefix(c.progname, c.bin_prefix, c.prefix)), expected)
        << c.progname << " " << c.bin_prefix << " " << c.prefix;
    EXPECT_EQ(take_string(relocate_prefix_ignoring_links(c.progname, c.bin_prefix, c.prefix)), expected)
        << c.progname << " " << c.bin_prefix << " " << c.prefix;
  }
  EXPECT_EQ(relocate_prefix(nullptr, bin, lib), nullptr);
  EXPECT_EQ(relocate_prefix("/a/b", nullptr, lib), nullptr);
  EXPECT_EQ(relocate_prefix("/a/b", bin, nullptr), nullptr);
}

// Each case sets PATH and the working directory as it needs; both come back.
class RelocateOnPath : public testing::Test {
 protected:
  void SetUp() override {
    char *cwd = getcwd(nullptr, 0);
    ASSERT_NE(cwd, nullptr);
    saved_cwd_ = take_string(cwd).value();
    root_ = real(dir_.path());
  }
  void TearDown() override { EXPECT_EQ(chdir(saved_cwd_.c_str()), 0); }
  // An executable file at root_/relative.
  std::string program(const std::string &relative, int mode = 0755) {
    std::string path = root_ + "/" + relative;
    make_dir(path.substr(0, path.rfind('/')));
    write_file(path, "#!/bin/sh\n", mode);
    return path;
  }
  ScopedTempDir dir_;
  std::string root_;
  kiv_test::ScopedEnv path_{"PATH", getenv("PATH")};
  std::string saved_cwd_;
};

TEST_F(RelocateOnPath, BareNameNotOnPathIsRelativeToHere) {
  ASSERT_EQ(chdir(root_.c_str()), 0);
  make_dir(root_ + "/empty");
  path_.set((root_ + "/empty").c_str());
  EXPECT_EQ(take_string(relocate_prefix("kiv-ar", bin, lib)), "../lib/kiv15/kiv/");
  path_.set(nullptr);
  EXPECT_EQ(take_string(relocate_prefix("kiv-ar", bin, lib)), "../lib/kiv15/kiv/");
  EXPECT_EQ(take_string(relocate_prefix_ignoring_links("kiv-ar", bin, lib)), "../lib/kiv15/kiv/");
  // With links resolved, a file of that name here is found by its real path.
  program("kiv-ar");
  EXPECT_EQ(take_string(relocate_prefix("kiv-ar", bin, lib)), root_ + "/../lib/kiv15/kiv/");
}

TEST_F(RelocateOnPath, BareNameFoundOnPath) {
  make_dir(root_ + "/a/kiv-ar");       // a directory is passed over
  program("b/kiv-ar", 0644);           // so is a file that cannot be run
  program("c/kiv-ar");
  program("d/kiv-ar");
  path_.set(("/nonexistent:" + root_ + "/a:" + root_ + "/b/:" + root_ + "/c:" + root_ + "/d")
                .c_str());
  EXPECT_EQ(take_string(relocate_prefix("kiv-ar", bin, lib)), root_ + "/c/../lib/kiv15/kiv/");
  EXPECT_EQ(take_string(relocate_prefix_ignoring_links("kiv-ar", bin, lib)),
            root_ + "/c/../lib/kiv15/kiv/");
}

TEST_F(RelocateOnPath, EmptyPathElementIsTheCurrentDirectory) {
  program("kiv-ar");
  ASSERT_EQ(chdir(root_.c_str()), 0);
  path_.set("/nonexistent:");
  EXPECT_EQ(take_string(relocate_prefix_ignoring_links("kiv-ar", bin, lib)), "./../lib/kiv15/kiv/");
  EXPECT_EQ(take_string(relocate_prefix("kiv-ar", bin, lib)), root_ + "/../lib/kiv15/kiv/");
}

// Longer than the candidate buffer kept on the stack.
TEST_F(RelocateOnPath, LongPathValue) {
  program("bin2/kiv-ar");
  std::string value;
  while (value.size() < 5000) value += "/nonexistent/directory/entry:";
  path_.set((value + root_ + "/bin2").c_str());
  EXPECT_EQ(take_string(relocate_prefix("kiv-ar", bin, lib)), root_ + "/bin2/../lib/kiv15/kiv/");
}

TEST_F(RelocateOnPath, SymlinkIntoTheBinPrefix) {
  program("bin/kiv-ar");
  make_dir(root_ + "/elsewhere");
  ASSERT_EQ(symlink("../bin/kiv-ar", (root_ + "/elsewhere/kiv-ar").c_str()), 0);
  std::string bin_prefix = root_ + "/bin/";
  std::string target = root_ + "/lib/kiv15/kiv/";
  std::string link = root_ + "/elsewhere/kiv-ar";
  EXPECT_EQ(relocate_prefix(link.c_str(), bin_prefix.c_str(), target.c_str()), nullptr);
  EXPECT_EQ(take_string(relocate_prefix_ignoring_links(link.c_str(), bin_prefix.c_str(), target.c_str())),
            root_ + "/elsewhere/../lib/kiv15/kiv/");
  // The same through a bare name on PATH.
  path_.set((root_ + "/elsewhere").c_str());
  EXPECT_EQ(relocate_prefix("kiv-ar", bin_prefix.c_str(), target.c_str()), nullptr);
}

// The wrappers look their program up once and relocate from that path.
TEST_F(RelocateOnPath, FindProgramPathIsWhatRelocationStartsFrom) {
  program("bin/kiv-ar");
  make_dir(root_ + "/elsewhere");
  ASSERT_EQ(symlink("../bin/kiv-ar", (root_ + "/elsewhere/kiv-ar").c_str()), 0);
  path_.set(("/nonexistent:" + root_ + "/elsewhere").c_str());
  ASSERT_EQ(chdir(root_.c_str()), 0);
  std::string other_bin = root_ + "/other/bin/";
  for (const char *name : {"kiv-ar", "elsewhere/kiv-ar", "bin/kiv-ar", "missing", "/missing/x"}) {
    std::optional<std::string> found = take_string(find_program_path(name));
    ASSERT_TRUE(found) << name;
    found = take_string(resolve_real_path(found->c_str()));
    EXPECT_EQ(take_string(relocate_prefix_ignoring_links(found->c_str(), other_bin.c_str(), lib)),
              take_string(relocate_prefix(name, other_bin.c_str(), lib)))
        << name;
  }
  // As found: the link on PATH, not yet resolved; relative under a relative element.
  EXPECT_EQ(take_string(find_program_path("kiv-ar")), root_ + "/elsewhere/kiv-ar");
  EXPECT_EQ(take_string(find_program_path("missing")), "missing");
  path_.set("elsewhere");
  EXPECT_EQ(take_string(find_program_path("kiv-ar")), "elsewhere/kiv-ar");
  EXPECT_EQ(find_program_path(nullptr), nullptr);
}

TEST(ResolveRealPath, MissingNameGivesACopy) {
  const char *name = "/nonexistent/kiv/../path";
  char *copy = resolve_real_path(name);
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy, name);
  EXPECT_EQ(take_string(copy), name);
}

TEST(ResolveRealPath, ResolvesLinksAndDots) {
  ScopedTempDir dir;
  std::string root = real(dir.path());
  make_dir(root + "/d");
  ASSERT_EQ(symlink("d", (root + "/link").c_str()), 0);
  EXPECT_EQ(take_string(resolve_real_path((root + "/link/../link/.").c_str())), root + "/d");
}

// Real paths may exceed 1024 bytes; PATH_MAX on Linux is 4096.
TEST(ResolveRealPath, PathLongerThan1024Bytes) {
  ScopedTempDir dir;
  std::string deep = real(dir.path());
  while (deep.size() < 2500) deep += "/" + std::string(100, 'x');
  make_dir(deep);
  write_file(deep + "/f", "");
  std::string twisted = deep + "/./../" + std::string(100, 'x') + "/f";
  EXPECT_EQ(take_string(resolve_real_path(twisted.c_str())), deep + "/f");
}

}  // namespace
