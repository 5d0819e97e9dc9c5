// An installed tree finds its plugin and tools relative to the program,
// wherever the tree is moved and however the program is reached.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <utility>

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
  // The installation's tool comes before one of the same name on PATH.
  ScopedTempDir path_dir;
  write_script(path_dir / "ar", "exit 9\n");
  RunResult r = run(program, {program, "t"}, {.env_set = {"PATH=" + path_dir.path()}});
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
    bool without_proc = false;  // the system then names the program it started
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
      {"kiv-ar", {"PATH=/nonexistent:" + x + "/bin"}, true},
  };
  std::string program = root + "/bin/kiv-ar";
  std::string not_run;
  for (const Case &c : cases) {
    std::vector<std::string> argv = {c.argv0, "rcs", "lib.a", "a.o"};
    std::string started = program;
    if (c.without_proc) {
      std::string cannot = KIV_SANITIZED ? "the sanitizers read /proc"
                                           : refusal_of({"/usr/bin/unshare", "-m", "true"});
      if (!cannot.empty()) {
        not_run += " [without /proc: " + cannot + "]";
        continue;
      }
      argv.insert(argv.begin(), {"unshare", "-m", "/bin/sh", "-c",
                                 "/bin/mount -t tmpfs none /proc && exec /usr/bin/perl -e 'exec {shift} @ARGV' "
                                 "\"$0\" \"$@\"",
                                 program});
      started = "/usr/bin/unshare";
    }
    remove_tree(record);
    RunResult r = run(started, argv, {.env_set = c.env, .cwd = x + "/build"});
    EXPECT_EQ(r.exit_code(), 0) << c.argv0 << ": " << r.err;
    expect_tree(root);
    EXPECT_FALSE(file_exists(planted_ran)) << c.argv0;
  }
  if (!not_run.empty()) GTEST_SKIP() << "not run here:" << not_run;
}

// Another user swaps two names of theirs while root runs the wrapper: on
// PATH, a link kiv-ar to our program and one to their tree; as TMPDIR, in
// a sticky folder, a folder of theirs and a link to one of ours.
TEST_F(InstalledTree, NamesAnotherUserSwapsNeverWin) {
  if (geteuid() != 0) GTEST_SKIP() << "another user's names take root to make";
  ASSERT_EQ(chmod(dir.path().c_str(), 0711), 0);
  const std::string here = real_path(dir.path()), ran = here + "/ran", safe = here + "/safe";
  TreeLayout theirs(here + "/theirs");
  theirs.make({kiv_ar});
  write_file(theirs.plugin, "");
  write_script(theirs.tools + "ar", ": > " + ran + "\n");
  const std::string on_path = here + "/on-path", sticky = here + "/sticky";
  for (const std::string &folder : {on_path, sticky, sticky + "/tmp", safe}) make_dir(folder);
  ASSERT_EQ(chmod(sticky.c_str(), 01777), 0);
  const std::string program = root + "/bin/kiv-ar";
  for (auto [to, link] : {std::pair{program, on_path + "/kiv-ar"},
                          {theirs.bin + "kiv-ar", on_path + "/next"}, {safe, sticky + "/x"}})
    ASSERT_EQ(symlink(to.c_str(), link.c_str()), 0);
  for (const std::string &name : {on_path, on_path + "/kiv-ar", on_path + "/next",
                                  sticky + "/tmp", sticky + "/x"})
    ASSERT_EQ(lchown(name.c_str(), 65534, 65534), 0);
  write_file(here + "/args", "t\n");
  struct Case {
    std::string argv0, in, a, b, env;
  } cases[] = {{"kiv-ar", on_path, "kiv-ar", "next", "PATH=" + on_path},
               {program, sticky, "tmp", "x", "TMPDIR=" + sticky + "/tmp"}};
  for (const Case &c : cases) {
    pid_t swapper = fork();
    if (swapper == 0) {
      int at = open(c.in.c_str(), O_RDONLY | O_DIRECTORY);
      // Last in line for the processor, so that the runs it races are not slowed.
      if (nice(19) != -1 && setgid(65534) == 0 && setuid(65534) == 0)
        for (;;) renameat2(at, c.a.c_str(), at, c.b.c_str(), RENAME_EXCHANGE);
      _exit(1);
    }
    int wins = 0;
    // Fewer runs where each is many times slower; the native one makes 300.
    for (int i = 0; i < (KIV_SANITIZED || KIV_EMULATED ? 60 : 300); ++i) {
      remove(record.c_str());
      run(program, {c.argv0, "@" + here + "/args"}, {.env_set = {"PATH=/nonexistent", c.env}});
      // The tool gets its path and the response file, which must not lie in safe.
      std::vector<std::string> got = recorded();
      wins += file_exists(ran) || (!got.empty() && got.back().rfind("@" + safe, 0) == 0);
      remove(ran.c_str());
    }
    kill(swapper, SIGKILL);
    waitpid(swapper, nullptr, 0);
    EXPECT_EQ(wins, 0) << c.argv0;
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

TEST_F(InstalledTree, EmptyExecPrefixMeansTheRunningProgram) {
  // The build's own program has no tree, and does not take the one on PATH.
  RunResult r = run(kiv_ar, {"/nonexistent/kiv-ar", "t"},
                    {.env_set = {"PATH=" + root + "/bin", "KIV_EXEC_PREFIX="}});
  EXPECT_EQ(r.exit_code(), 1);
  EXPECT_EQ(r.err, "/nonexistent/kiv-ar: Cannot find plugin '" + plugin_name + "'\n");
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
