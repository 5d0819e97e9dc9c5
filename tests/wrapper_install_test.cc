// An installed tree finds its plugin and tools relative to the program,
// wherever the tree is moved and however the program is reached.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "installed_tree.h"
#include "wrapper_fixture.h"

namespace {

using namespace kiv_test;

class InstalledTree : public WrapperTest {
 protected:
  // An installed tree, with the programs copied in, a plugin in the libexec
  // directory and stand-in tools in the target's bin.
  void SetUp() override {
    WrapperTest::SetUp();
    root = real_path(dir.path()) + "/P";
    TreeLayout tree(root);
    tree.make({kiv_ar, kiv_nm, kiv_ranlib});
    write_file(tree.plugin, "plugin\n");
    for (const char *tool : {"ar", "nm", "ranlib"}) add_tool(tool, tree.tools);
  }
  // Checks that the last run used the tree at prefix: the tool from its
  // target bin directory and the plugin from its libexec directory.
  void expect_tree(const std::string &prefix, const std::string &tool = "ar") {
    TreeLayout tree(prefix);
    std::vector<std::string> got = recorded();
    ASSERT_GE(got.size(), 3u);
    EXPECT_EQ(real_path(got[0]), tree.tools + tool);
    EXPECT_EQ(got[1], "--plugin");
    EXPECT_EQ(real_path(got[2]), tree.plugin);
  }
  std::string root;
};

TEST_F(InstalledTree, FindsPluginAndToolWithoutDashB) {
  std::string program = root + "/bin/kiv-ar";
  RunResult r = run(program, {program, "t"}, {.env_set = {"PATH=/nonexistent"}});
  ASSERT_EQ(r.exit_code(), 0) << r.err;
  expect_tree(root);
  // The entries are spelled relative to the program's directory.
  EXPECT_EQ(recorded()[0].rfind(TreeLayout(root + "/bin/..").exec_prefix, 0), 0u) << recorded()[0];
}

TEST_F(InstalledTree, MovedTreeStillFindsItsOwnFiles) {
  // A ':' in the installation's path is part of a directory name, not a
  // separator: the tree at /a:b/kiv never searches /a/ or b/kiv/.
  for (const std::string where : {"moved/elsewhere", "a:b/kiv"}) {
    std::string moved = real_path(dir.path()) + "/" + where;
    make_dir(moved.substr(0, moved.rfind('/')));
    ASSERT_EQ(rename(root.c_str(), moved.c_str()), 0);
    remove_tree(record);
    std::string program = moved + "/bin/kiv-nm";
    RunResult r = run(program, {program, "x.o"}, {.env_set = {"PATH=/nonexistent"}});
    EXPECT_EQ(r.exit_code(), 0) << where << ": " << r.err;
    expect_tree(moved, "nm");
    ASSERT_EQ(rename(moved.c_str(), root.c_str()), 0);
  }
}

TEST_F(InstalledTree, NeverRelocatesIntoTheCurrentDirectory) {
  // A build folder that others could write to, with a plugin and a tool
  // planted where a relocation from a bare program name would lead:
  // ../libexec/... and ../lib/kiv15/kiv/<target>/<version>/../../../../../<target>/bin/.
  std::string x = real_path(dir.path()) + "/x";
  TreeLayout planted(x);
  planted.make();
  make_dir(x + "/build");
  write_file(planted.plugin, "planted\n");
  write_script(planted.tools + "ar", "echo planted > \"$0.ran\"; exit 9\n");
  const std::string planted_ran = planted.tools + "ar.ran";
  write_script(x + "/build/kiv-ar", "exit 9\n");
  write_script(planted.bin + "kiv-ar", "exit 9\n");
  struct Case {
    std::string argv0;
    std::vector<std::string> env;
  } cases[] = {
      // A caller that sets argv[0] itself: exec -a kiv-ar /opt/kiv/bin/kiv-ar.
      {"kiv-ar", {"PATH=/nonexistent"}},
      // A PATH whose relative element yields a kiv-ar planted there.
      {"kiv-ar", {"PATH=.:/nonexistent"}},
      // A namesake in a PATH directory that someone else can write: the
      // running program decides, not the file PATH yields.
      {"kiv-ar", {"PATH=/nonexistent:" + x + "/bin"}},
      // An empty KIV_EXEC_PREFIX with the installation not on PATH.
      {"/nonexistent/kiv-ar", {"PATH=/nonexistent", "KIV_EXEC_PREFIX="}},
  };
  std::string program = root + "/bin/kiv-ar";
  for (const Case &c : cases) {
    RunResult r = run(program, {c.argv0, "rcs", "lib.a", "a.o"}, {.env_set = c.env, .cwd = x + "/build"});
    EXPECT_EQ(r.exit_code(), 0) << c.argv0 << ": " << r.err;
    expect_tree(root);
    EXPECT_FALSE(file_exists(planted_ran)) << c.argv0;
  }
}

TEST_F(InstalledTree, SymbolicLinkFromElsewhereFindsTheRealTree) {
  ScopedTempDir other;
  std::string link = other / "kiv-ar";
  ASSERT_EQ(symlink((root + "/bin/kiv-ar").c_str(), link.c_str()), 0);
  RunResult r = run(link, {link, "t"}, {.env_set = {"PATH=/nonexistent"}});
  ASSERT_EQ(r.exit_code(), 0) << r.err;
  expect_tree(root);
}

TEST_F(InstalledTree, BareNameFoundThroughPath) {
  RunResult r = run(root + "/bin/kiv-ranlib", {"kiv-ranlib", "lib.a"},
                    {.env_set = {"PATH=/nonexistent:" + root + "/bin"}});
  ASSERT_EQ(r.exit_code(), 0) << r.err;
  expect_tree(root, "ranlib");
}

TEST_F(InstalledTree, ExecPrefixVariableIsJoinedWithoutSeparator) {
  // The variable, not argv[0], locates the installation: the program run is
  // the build's own copy under a name that locates nothing.
  std::string link = root + "/bin/x-kiv-ar";
  ASSERT_EQ(symlink((root + "/bin/kiv-ar").c_str(), link.c_str()), 0);
  RunResult r = run(kiv_ar, {"/nonexistent/kiv-ar", "t"},
                    {.env_set = {"PATH=/nonexistent", "KIV_EXEC_PREFIX=" + root + "/bin/x-"}});
  ASSERT_EQ(r.exit_code(), 0) << r.err;
  expect_tree(root);

  r = run(kiv_ar, {"kiv-ar", "t"},
          {.env_set = {"PATH=/nonexistent", "KIV_EXEC_PREFIX=" + root + "/bin/"}});
  ASSERT_EQ(r.exit_code(), 0) << r.err;
  expect_tree(root);

  // Without its trailing '/' the value names another directory ("binkiv-ar").
  r = run(kiv_ar, {"kiv-ar", "t"},
          {.env_set = {"PATH=/nonexistent", "KIV_EXEC_PREFIX=" + root + "/bin", "KIV_TRACE=1"}});
  EXPECT_EQ(r.exit_code(), 1);
  TreeLayout above(root + "/..");
  EXPECT_EQ(r.err, "kiv-ar: Cannot find plugin '" + plugin_name + "'\nkiv-ar: Searched" +
                       searched(above.exec_prefix, above.libexec_prefix) + "\n");
}

TEST_F(InstalledTree, EmptyExecPrefixMeansTheBareNameOnPath) {
  RunResult r = run(kiv_ar, {"/nonexistent/kiv-ar", "t"},
                    {.env_set = {"PATH=" + root + "/bin", "KIV_EXEC_PREFIX="}});
  ASSERT_EQ(r.exit_code(), 0) << r.err;
  expect_tree(root);
}

TEST_F(InstalledTree, WithoutPathOnlyTheInstallationIsSearched) {
  std::string program = root + "/bin/kiv-ar";
  RunResult r = run(program, {program, "t"}, {.env_unset = {"PATH"}});
  ASSERT_EQ(r.exit_code(), 0) << r.err;
  expect_tree(root);

  // A tool that only a PATH directory would hold is not found.
  ASSERT_EQ(unlink((TreeLayout(root).tools + "ar").c_str()), 0);
  ScopedTempDir path_dir;
  add_tool("ar", path_dir.path() + "/");
  r = run(program, {program, "t"}, {.env_set = {"KIV_TRACE=1"}, .env_unset = {"PATH"}});
  EXPECT_EQ(r.exit_code(), 1);
  // The trace names the installation's directories as searched.
  TreeLayout relocated(root + "/bin/..");
  EXPECT_EQ(r.err, program + ": Cannot find binary 'ar'\n" + program + ": Searched" +
                       searched(relocated.exec_prefix, relocated.libexec_prefix) + "\n");
  r = run(program, {program, "t"}, {.env_set = {"PATH=" + path_dir.path()}});
  EXPECT_EQ(r.exit_code(), 0) << r.err;
}

}  // namespace
