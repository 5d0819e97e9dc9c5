#include "response_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "argv.h"
#include "handles.h"
#include "test_util.h"

namespace {

using Args = std::vector<std::string>;
using kiv_test::ScopedTempDir;
using kiv_test::write_file;

// A caller's vector: strings and array owned by the test, as main's are.
struct CallerArgs {
  Args strings;
  std::vector<char *> pointers;
  explicit CallerArgs(Args args) : strings(std::move(args)) {
    for (std::string &s : strings) pointers.push_back(s.data());
    pointers.push_back(nullptr);
  }
  char **argv() { return pointers.data(); }
  Args current() const {
    Args out;
    for (char *const *p = pointers.data(); *p; ++p) out.emplace_back(*p);
    return out;
  }
};

struct Result {
  bool changed;
  Args args;
};

// Expands args and checks that the caller's vector was left as it was.
Result expand(const Args &args) {
  CallerArgs caller(args);
  int argc = static_cast<int>(args.size());
  char **argv = caller.argv();
  expand_response_files(&argc, &argv);
  EXPECT_EQ(caller.current(), args);
  Result result{argv != caller.argv(), {}};
  // A new vector is the caller's to free.
  unique_argv expanded{result.changed ? argv : nullptr};
  for (int i = 0; i < argc; ++i) result.args.emplace_back(argv[i]);
  EXPECT_EQ(argv[argc], nullptr);
  return result;
}

class ExpandResponseFiles : public testing::Test {
 protected:
  std::string file(const std::string &name, const std::string &content) {
    write_file(dir / name, content);
    return "@" + dir / name;
  }
  ScopedTempDir dir;
};

TEST_F(ExpandResponseFiles, ExpandsInPlace) {
  std::string f = file("f", "a b");
  Result r = expand({"prog", f, "x"});
  EXPECT_TRUE(r.changed);
  EXPECT_EQ(r.args, (Args{"prog", "a", "b", "x"}));
}

TEST_F(ExpandResponseFiles, ReadsTheQuotingRules) {
  std::string f = file("f", "'a b' c\\ d\n\"e\"\n");
  EXPECT_EQ(expand({"prog", f}).args, (Args{"prog", "a b", "c d", "e"}));
}

TEST_F(ExpandResponseFiles, NestedFilesDepthFirstInOrder) {
  std::string inner2 = file("inner2", "e");
  std::string inner1 = file("inner1", "c " + inner2 + " f");
  std::string outer = file("outer", "b " + inner1 + " g " + inner2);
  Result r = expand({"prog", "a", outer, "h", inner2});
  EXPECT_EQ(r.args, (Args{"prog", "a", "b", "c", "e", "f", "g", "e", "h", "e"}));
}

TEST_F(ExpandResponseFiles, EmptyFileRemovesItsArgument) {
  std::string empty = file("empty", "");
  std::string blank = file("blank", " \n\t ");
  std::string f = file("f", "a");
  Result r = expand({"prog", empty, blank, f, empty});
  EXPECT_TRUE(r.changed);
  EXPECT_EQ(r.args, (Args{"prog", "a"}));
}

TEST_F(ExpandResponseFiles, NulEndsTheText) {
  std::string f = file("f", std::string("a b\0c d", 7));
  EXPECT_EQ(expand({"prog", f}).args, (Args{"prog", "a", "b"}));
}

TEST_F(ExpandResponseFiles, UnusableArgumentsStayAsTheyAre) {
  Args args = {"prog", "@" + dir / "missing", "@", "plain", "@"};
  Result r = expand(args);
  EXPECT_FALSE(r.changed);
  EXPECT_EQ(r.args, args);
}

TEST_F(ExpandResponseFiles, UnreadableFileStays) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads files regardless of their mode";
  std::string f = file("f", "a");
  ASSERT_EQ(chmod((dir / "f").c_str(), 0), 0);
  Result r = expand({"prog", f});
  EXPECT_FALSE(r.changed);
  EXPECT_EQ(r.args, (Args{"prog", f}));
}

TEST_F(ExpandResponseFiles, ProgramNameIsNeverExamined) {
  std::string f = file("f", "a");
  Result alone = expand({f});
  EXPECT_FALSE(alone.changed);
  EXPECT_EQ(alone.args, (Args{f}));
  Result first = expand({f, "x"});
  EXPECT_FALSE(first.changed);
  EXPECT_EQ(first.args, (Args{f, "x"}));
  int argc = 0;
  char *empty[] = {nullptr};
  char **argv = empty;
  expand_response_files(&argc, &argv);
  EXPECT_EQ(argv, empty);
}

TEST_F(ExpandResponseFiles, ManyMissingFilesAreKept) {
  Args args = {"prog"};
  for (int i = 0; i < 1999; ++i) args.push_back("@" + dir / "missing");
  Result r = expand(args);
  EXPECT_FALSE(r.changed);
  EXPECT_EQ(r.args, args);
}

TEST_F(ExpandResponseFiles, TwoThousandthAtFileEndsTheProcess) {
  Args args = {"prog"};
  for (int i = 0; i < 2000; ++i) args.push_back("@" + dir / "missing");
  EXPECT_EXIT(expand(args), testing::ExitedWithCode(1),
              "^prog: error: too many @-files encountered\n$");
}

TEST_F(ExpandResponseFiles, SelfReferenceEndsTheProcess) {
  std::string self = "@" + dir / "self";
  write_file(dir / "self", "x " + self);
  EXPECT_EXIT(expand({"kiv-ar", self}), testing::ExitedWithCode(1),
              "^kiv-ar: error: too many @-files encountered\n$");
}

TEST_F(ExpandResponseFiles, DirectoryEndsTheProcess) {
  ASSERT_EQ(symlink(dir.path().c_str(), (dir / "link").c_str()), 0);
  for (const std::string &name : {dir.path(), dir / "link"}) {
    EXPECT_EXIT(expand({"prog", "@" + name}), testing::ExitedWithCode(1),
                "^prog: error: @-file refers to a directory\n$")
        << name;
  }
}

}  // namespace
