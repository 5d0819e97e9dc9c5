// @file arguments and the hand-over of the tool's arguments through a
// temporary response file, observed with a stand-in tool and the real ar.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <memory>
#include <random>
#include <regex>
#include <sstream>

#include "wrapper_fixture.h"

namespace {

using namespace kiv_test;
using Lines = std::vector<std::string>;

class ResponseFile : public WrapperTest {
 protected:
  RunResult run_tool(const std::string &program, const std::vector<std::string> &args,
                     const std::string &action = "exit 0") {
    std::vector<std::string> argv = {program, "-B", bdir};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(program, argv,
               {.env_set = {"PATH=/usr/bin:/bin", "KIV_TEST_ACTION=" + action}, .cwd = bdir});
  }
  // The tool was given exactly its path and "@" + a "cc" file in tmp.
  void expect_handed_over(const std::string &tool) {
    Lines got = recorded();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], bdir + tool);
    EXPECT_TRUE(std::regex_match(got[1], std::regex("@" + tmp + "/cc[^/]{6}"))) << got[1];
  }
  std::string plugin_line() { return "--plugin\n" + bdir + plugin_name + "\n"; }
};

TEST_F(ResponseFile, ToolGetsOnlyTheTemporaryFileWhichIsRemovedAfterwards) {
  for (const char *tool : {"ar", "nm"}) add_tool(tool);
  write_file(bdir + "args", "t lib.a\n");
  RunResult r = run_tool(kiv_ar, {"@args", "x.o"});
  ASSERT_EQ(r.exit_code(), 0) << r.err;
  expect_handed_over("ar");
  EXPECT_EQ(read_file(saved), plugin_line() + "-t\nlib.a\nx.o\n");
  EXPECT_EQ(list_dir(tmp), Lines{});
  // KIV_TRACE shows the tool and plugin, then the file as handed over.
  r = run(kiv_ar, {kiv_ar, "-B", bdir, "@args"},
          {.env_set = {"KIV_TRACE=1", write_signals_at_default}, .cwd = bdir});
  EXPECT_EQ(r.exit_code(), 0);
  EXPECT_TRUE(std::regex_match(r.err, std::regex(kiv_ar + ": " + bdir + "ar --plugin " + bdir +
                                                 plugin_name + " @" + tmp + "/cc[^/]{6}\n")))
      << r.err;

  // The dash rule is kiv-ar's alone.
  r = run_tool(kiv_nm, {"@args"});
  ASSERT_EQ(r.exit_code(), 0) << r.err;
  expect_handed_over("nm");
  EXPECT_EQ(read_file(saved), plugin_line() + "t\nlib.a\n");
}

TEST_F(ResponseFile, AwkwardArgumentsAreWrittenSoTheToolReadsThemBack) {
  add_tool("nm");
  // One argument each: a space, a tab, quotes, a backslash, an empty one and
  // a newline (in single quotes), and a "-B" that only a response file gives.
  write_file(bdir + "args", "a\\ b 'c\td' \"it's\" 'say \"hi\"' back\\\\slash \"\" 'x\ny' -B\n");
  RunResult r = run_tool(kiv_nm, {"@args"});
  ASSERT_EQ(r.exit_code(), 0) << r.err;
  EXPECT_EQ(read_file(saved), plugin_line() +
                                  "a\\ b\nc\\\td\nit\\'s\nsay\\ \\\"hi\\\"\nback\\\\slash\n\"\"\n"
                                  "x'\n'y\n-B\n");
}

TEST_F(ResponseFile, FileIsRemovedWhateverBecomesOfTheTool) {
  add_tool("ar");
  write_file(bdir + "args", "t\n");
  struct Case {
    std::string action;
    int code;
  } cases[] = {{"exit 0", 0}, {"exit 3", 3}, {"kill -KILL $$", 1}, {"kill -TERM $$", 1}};
  for (const Case &c : cases) {
    RunResult r = run_tool(kiv_ar, {"@args"}, c.action);
    EXPECT_EQ(r.exit_code(), c.code) << c.action << r.err;
    expect_handed_over("ar");
    EXPECT_EQ(list_dir(tmp), Lines{}) << c.action;
  }
  // A tool that cannot be started.
  write_file(bdir + "ar", "\x01\x02 not a program\n", 0755);
  RunResult r = run_tool(kiv_ar, {"@args"});
  EXPECT_EQ(list_dir(tmp), Lines{});
  if (!spawn_reports_start_failure()) GTEST_SKIP() << no_spawn_start_failure;
  EXPECT_EQ(r.exit_code(), 1);
  EXPECT_EQ(r.err, "Error running " + bdir + "ar: posix_spawnp\n");
}

TEST_F(ResponseFile, NoTemporaryFileWithoutAnExpandedFile) {
  add_tool("ar");
  RunResult r = run_tool(kiv_ar, {"t", "@missing", "@"});
  ASSERT_EQ(r.exit_code(), 0) << r.err;
  EXPECT_EQ(recorded(), (Lines{bdir + "ar", "--plugin", bdir + plugin_name, "-t",
                               "@missing", "@"}));
  EXPECT_FALSE(file_exists(saved));
  EXPECT_EQ(list_dir(tmp), Lines{});
}

TEST_F(ResponseFile, FatalExpansionErrorsLeaveNothingBehind) {
  add_tool("ar");
  make_dir(bdir + "adir");
  RunResult r = run_tool(kiv_ar, {"@adir"});
  EXPECT_EQ(r.exit_code(), 1);
  EXPECT_EQ(r.err, kiv_ar + ": error: @-file refers to a directory\n");
  write_file(bdir + "loop", "x @loop\n");
  r = run_tool(kiv_ar, {"@loop"});
  EXPECT_EQ(r.exit_code(), 1);
  EXPECT_EQ(r.err, kiv_ar + ": error: too many @-files encountered\n");
  EXPECT_FALSE(file_exists(record));
  EXPECT_EQ(list_dir(tmp), Lines{});
}

TEST_F(ResponseFile, TemporaryDirectoryWhereNothingCanBeCreated) {
  add_tool("ar");
  write_file(bdir + "args", "t\n");
  // A directory whose path leaves no room for a file name: usable, but
  // every file created in it has a name that is too long.
  std::string deep = dir.path();
  while (deep.size() < 3800) deep += "/" + std::string(200, 'd');
  deep += "/" + std::string(4090 - deep.size() - 1, 'e');
  make_dir(deep);
  RunResult r = run(kiv_ar, {kiv_ar, "-B", bdir, "@args"},
                    {.env_set = {"PATH=/usr/bin:/bin", "TMPDIR=" + deep}, .cwd = bdir});
  EXPECT_NE(r.exit_code(), 0);
  EXPECT_EQ(r.err, "Cannot create temporary file in " + deep + "/: File name too long\n");
  EXPECT_FALSE(file_exists(record));  // the tool was not started
  EXPECT_EQ(list_dir(deep), Lines{});
}

TEST_F(ResponseFile, FailedWriteRemovesTheTemporaryFile) {
  add_tool("ar");
  write_file(bdir + "args", std::string(20000, 'a') + "\n");
  RunResult r = run(kiv_ar, {kiv_ar, "-B", bdir, "@args"},
                    {.env_set = {"PATH=/usr/bin:/bin"}, .cwd = bdir, .file_size_limit = 1000});
  EXPECT_EQ(r.exit_code(), 1);
  EXPECT_TRUE(std::regex_match(r.err, std::regex("Cannot write to temporary file " + tmp +
                                                 "/cc[^/]{6}\n")))
      << r.err;
  EXPECT_FALSE(file_exists(record));
  EXPECT_EQ(list_dir(tmp), Lines{});
}

TEST_F(ResponseFile, NothingLeftAndNoToolRunningOnWhenMemoryRunsOut) {
  if (KIV_SANITIZED) GTEST_SKIP() << "the sanitizers' allocator must come before any preloaded one";
  if (KIV_STATIC_PROGRAMS) GTEST_SKIP() << "a static program takes no preloaded library";
  add_tool("ar");
  write_file(bdir + "args", "t\n");
  const std::string done = dir / "done";
  // Whichever allocation after the response file's making fails, the file
  // goes, and a tool that started has ended when the wrapper does.
  for (int n = 1; n <= 8; ++n) {
    remove(record.c_str());
    remove(done.c_str());
    RunResult r = run(kiv_ar, {kiv_ar, "-B", bdir, "@args"},
                      {.env_set = {"PATH=/usr/bin:/bin",
                                   "LD_PRELOAD=" + std::string(KIV_FAIL_ALLOC_PATH),
                                   "KIV_FAIL_ALLOC_AFTER_MKSTEMPS=" + std::to_string(n),
                                   // Off the wrapper's pipes, so that its end is seen.
                                   "KIV_TEST_ACTION=exec >/dev/null 2>&1; sleep 0.2; : > " +
                                       done + "; exit 3"},
                       .cwd = bdir});
    EXPECT_TRUE(r.exit_code() == 3 || (r.exit_code() == 1 && !r.err.empty())) << n << r.err;
    EXPECT_EQ(list_dir(tmp), Lines{}) << n;
    EXPECT_EQ(file_exists(done), file_exists(record)) << n << ": the wrapper ended first";
  }
}

TEST_F(ResponseFile, NothingLeftBehindWhenTheMessageCannotBeWritten) {
  add_tool("ar");
  write_file(bdir + "args", "t\n");
  write_file(bdir + "big", std::string(20000, 'a') + "\n");
  // Standard error is a pipe whose reader has gone (kiv-nm @objs 2>&1 | head -1):
  // the wrapper's own message ends it with SIGPIPE.
  struct Case {
    std::string arg, action;
    long file_size_limit;
  } cases[] = {
      {"@args", "kill -KILL $$", -1},  // "... terminated with signal 9 ..."
      {"@big", "exit 0", 1000},        // "Cannot write to temporary file ..."
  };
  for (const Case &c : cases) {
    RunResult r = run(kiv_ar, {kiv_ar, "-B", bdir, c.arg},
                      {.env_set = {"PATH=/usr/bin:/bin", "KIV_TEST_ACTION=" + c.action},
                       .cwd = bdir,
                       .file_size_limit = c.file_size_limit,
                       .stderr_reader_gone = true});
    EXPECT_TRUE(r.term_signal() == SIGPIPE || r.exit_code() == 1) << c.action << " " << r.status;
    EXPECT_EQ(list_dir(tmp), Lines{}) << c.action;
  }
}

TEST_F(ResponseFile, TemporaryDirectoriesOthersCanChangeArePassedOver) {
  const std::string strace = "/usr/bin/strace";
  if (access(strace.c_str(), X_OK) != 0) GTEST_SKIP() << "no strace to watch the wrapper's opens";
  add_tool("ar");
  write_file(bdir + "args", "t\n");
  const std::string open = dir / "open";  // anyone may write here; not sticky
  make_dir(open);
  ASSERT_EQ(chmod(open.c_str(), 0777), 0);
  make_dir(open + "/t");
  ASSERT_EQ(symlink((open + "/t").c_str(), (open + "/link").c_str()), 0);
  // Links to a directory of ours that nobody else can change: where the
  // link lies, and whose it is, decide.
  const std::string safe = dir / "safe";
  make_dir(safe);
  for (const std::string &link : {open + "/to-safe", dir / "ours", dir / "theirs"})
    ASSERT_EQ(symlink(safe.c_str(), link.c_str()), 0);
  const bool root = geteuid() == 0;
  const std::string as_root = root ? "" : "not root";
  char theirs_in_tmp[] = "/tmp/kiv-theirs-XXXXXX";
  if (root) {
    ASSERT_EQ(lchown((dir / "theirs").c_str(), 65534, 65534), 0);
    ASSERT_NE(mkdtemp(theirs_in_tmp), nullptr);
    ASSERT_EQ(chmod(theirs_in_tmp, 0777), 0);
    ASSERT_EQ(chown(theirs_in_tmp, 54321, 54321), 0);
  }
  std::shared_ptr<void> remove_theirs(nullptr, [&](void *) { rmdir(theirs_in_tmp); });
  // No safe candidate at all: /tmp and /var/tmp covered by the open folder
  // in a mount namespace of the run's own, and the current directory open too.
  const std::string in_namespace =
      "mount --bind \"$0\" /mnt && mount --bind \"$1\" /var/tmp && mount --bind \"$1\" /tmp && "
      "cd /mnt/b && exec /mnt/kiv-ar -B /mnt/b/ @args";
  // A copy that stays in reach when the build lies below /tmp too.
  write_file(dir / "kiv-ar", read_file(kiv_ar), 0755);
  // A rootless sandbox: another user in a user namespace, where / and /tmp
  // belong to the owner it cannot map, as another user's files do.
  const std::vector<std::string> sandbox = {
      "/usr/bin/env", "-u", "TMPDIR", "/usr/bin/setpriv", "--reuid=12345", "--regid=12345",
      "--clear-groups", "/usr/bin/unshare", "-r", dir / "kiv-ar", "-B", bdir, "@args"};
  std::vector<std::string> set_up(sandbox.begin() + 3, sandbox.begin() + 9);
  set_up.push_back("/bin/true");
  const std::string no_sandbox = refusal_of(set_up);
  struct Case {
    const char *name;
    std::string tmpdir;
    mode_t tmp_mode = 0700;
    uid_t tmp_owner = geteuid();
    std::vector<std::string> command = {};  // empty: kiv-ar -B bdir @args
    int code = 3;                           // the tool's
    std::string err = "";
    std::string made_in = "/tmp//";
    std::string cannot = "";         // why the row cannot run here
    uid_t user = geteuid();          // who runs it, and owns the scratch folders
  } cases[] = {
      {"0777, not sticky", tmp, 0777},
      {"another user's 0755", tmp, 0755, 65534, {}, 3, "", "/tmp//", as_root},
      {"ours, 0755, in an open folder", open + "/t"},
      {"a link in an open folder", open + "/link"},
      {"a link to a safe folder, in an open one", open + "/to-safe"},
      {"another user's link to a safe folder", dir / "theirs", 0700, geteuid(), {}, 3, "",
       "/tmp//", as_root},
      {"our link to a safe folder, in a safe one", dir / "ours", 0700, geteuid(), {}, 3, "",
       dir / "ours/"},
      {"a relative name", "../safe", 0700, geteuid(), {}, 3, "", "../safe/"},
      {"no safe candidate", tmp, 0700, 0,
       {"/usr/bin/unshare", "-m", "sh", "-c", in_namespace, dir.path(), open}, 1,
       "Cannot create temporary file in ./: other users can rename files in it or in a directory "
       "above it\n", "", refusal_of({"/usr/bin/unshare", "-m", "true"})},
      {"sandboxed, TMPDIR unset", tmp, 0700, geteuid(), sandbox, 3, "", "/tmp//", no_sandbox,
       12345},
      {"sandboxed, another user's folder in /tmp", theirs_in_tmp, 0700, geteuid(),
       {sandbox.begin() + 3, sandbox.end()}, 3, "", "/tmp//", no_sandbox, 12345},
  };
  std::string not_run;
  for (Case &c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.cannot.empty()) {
      not_run += std::string(" [") + c.name + ": " + c.cannot + "]";
      continue;
    }
    ASSERT_EQ(chown(tmp.c_str(), c.tmp_owner, static_cast<gid_t>(-1)), 0);
    ASSERT_EQ(chmod(tmp.c_str(), c.tmp_mode), 0);
    for (const std::string &folder : {dir.path(), bdir})
      ASSERT_EQ(chown(folder.c_str(), c.user, static_cast<gid_t>(-1)), 0);
    // The current directory is the last candidate.
    ASSERT_EQ(chmod(bdir.c_str(), c.code == 1 ? 0777 : 0700), 0);
    if (c.command.empty()) c.command = {kiv_ar, "-B", bdir, "@args"};
    const std::string log = dir / "opens";
    std::vector<std::string> argv = {"strace", "-f", "-qq", "-e", "trace=open,openat,creat",
                                     "-o", log};
    argv.insert(argv.end(), c.command.begin(), c.command.end());
    for (const std::string &left : {record, saved}) remove(left.c_str());
    RunResult r = run(strace, argv,
                      // LeakSanitizer cannot work under ptrace.
                      {.env_set = {"PATH=/usr/bin:/bin", "ASAN_OPTIONS=detect_leaks=0",
                                   "TMPDIR=" + c.tmpdir, "KIV_TEST_ACTION=exit 3"},
                       .cwd = bdir});
    for (const std::string &folder : {dir.path(), bdir})
      ASSERT_EQ(chown(folder.c_str(), geteuid(), static_cast<gid_t>(-1)), 0);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.exit_code(), c.code);
    EXPECT_EQ(list_dir(tmp), Lines{});
    EXPECT_EQ(list_dir(open), (Lines{"link", "t", "to-safe"}));
    EXPECT_EQ(list_dir(safe), Lines{});
    EXPECT_EQ(list_dir(open + "/t"), Lines{});
    EXPECT_EQ(list_dir(bdir), (Lines{"ar", "args", plugin_name}));
    if (c.code == 1) {
      EXPECT_FALSE(file_exists(record));
      continue;
    }
    // Made in the next safe candidate, and gone afterwards.
    Lines got = recorded();
    std::string name = got.size() == 2 ? got[1].substr(1) : "";
    EXPECT_TRUE(std::regex_match(name, std::regex(c.made_in + "cc[^/]{6}"))) << name;
    if (name.empty()) continue;
    EXPECT_FALSE(file_exists(name[0] == '/' ? name : bdir + name));
    // Opened once for writing, when it was created, and never by name again.
    std::vector<std::string> writes;
    std::istringstream opens(read_file(log));
    for (std::string line; std::getline(opens, line);) {
      if (line.find("\"" + name + "\"") != std::string::npos &&
          line.find("O_RDONLY") == std::string::npos)
        writes.push_back(line);
    }
    ASSERT_EQ(writes.size(), 1u) << read_file(log);
    EXPECT_NE(writes[0].find("O_EXCL"), std::string::npos) << writes[0];
  }
  if (!not_run.empty()) GTEST_SKIP() << "not run here:" << not_run;
}

TEST_F(ResponseFile, GarbageInputNeverCrashes) {
  add_tool("ar");
  std::mt19937 random(20261208);
  for (int round = 0; round < 20; ++round) {
    std::string bytes(1 + random() % 4096, '\0');
    for (char &c : bytes) c = static_cast<char>(random());
    write_file(bdir + "garbage", bytes);
    RunResult r = run_tool(kiv_ar, {"@garbage", "@garbage"}, "exit 7");
    // A NUL ends the text early; whatever the bytes, the tool's status comes back.
    EXPECT_TRUE(r.exit_code() == 7 || (r.exit_code() == 1 && !r.err.empty()))
        << "round " << round << ": " << r.err;
    EXPECT_EQ(list_dir(tmp), Lines{}) << "round " << round;
  }
  // One huge argument, and a deep chain of files that name the next.
  write_file(bdir + "huge", std::string(4 << 20, 'h'));
  RunResult r = run_tool(kiv_ar, {"@huge"}, "exit 5");
  EXPECT_EQ(r.exit_code(), 5) << r.err;
  for (int i = 0; i < 500; ++i)
    write_file(bdir + "n" + std::to_string(i), "a" + std::to_string(i) + " @n" + std::to_string(i + 1));
  r = run_tool(kiv_ar, {"@n0"}, "exit 6");
  EXPECT_EQ(r.exit_code(), 6) << r.err;
  std::string text = read_file(saved);
  EXPECT_NE(text.find("\na499\n@n500\n"), std::string::npos);
  EXPECT_EQ(list_dir(tmp), Lines{});
}

}  // namespace
