// The wrappers' command line, lookups, exit status and messages, observed by
// running the built programs with a stand-in tool.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "wrapper_fixture.h"

namespace {

using namespace kiv_test;
using Lines = std::vector<std::string>;

const std::string usage = "Usage: kiv-ar [-B prefix] ar arguments ...\n";

TEST_F(WrapperTest, LoneDashBPrintsTheUsageLineBeforeAnyLookup) {
  ASSERT_EQ(usage.size(), 43u);
  for (const std::string &program : {kiv_ar, kiv_nm, kiv_ranlib}) {
    RunResult r = run(program, {program, "-B"}, {.env_set = {"PATH=/nonexistent"}});
    EXPECT_EQ(r.exit_code(), 1) << program;
    EXPECT_EQ(r.err, usage) << program;
    EXPECT_EQ(r.out, "");
  }
  // Also after other arguments, and with a plugin and tool at hand.
  add_tool("ar");
  RunResult r = run(kiv_ar, {kiv_ar, "t", "-B"}, {.env_set = {"PATH=" + bdir}});
  EXPECT_EQ(r.exit_code(), 1);
  EXPECT_EQ(r.err, usage);
  EXPECT_FALSE(file_exists(record));
}

// A program put in the configured bin directory searches the configured installation.
const std::string as_configured = "KIV_EXEC_PREFIX=" + std::string(CONFIGURED_BIN_PREFIX);
const std::string configured = searched(CONFIGURED_EXEC_PREFIX, CONFIGURED_LIBEXEC_PREFIX);

TEST_F(WrapperTest, MissingPluginAndToolMessagesNameTheProgramAsInvoked) {
  ScopedTempDir empty;
  struct Case {
    std::string program;
    std::vector<std::string> argv;
    std::string path, line, trace;  // the one line, and what KIV_TRACE adds
  } cases[] = {
      {kiv_nm, {"my-nm", "x.o"}, "/nonexistent",
       "my-nm: Cannot find plugin '" + plugin_name + "'\n",
       "my-nm: Searched" + configured + "\n"},
      // The tool is missing too here, but the plugin is reported first.
      {kiv_ar, {"./kiv-ar", "-B", empty.path()}, "/nonexistent",
       "./kiv-ar: Cannot find plugin '" + plugin_name + "'\n",
       "./kiv-ar: Searched '" + empty.path() + "/'" + configured + "\n"},
      // The tool's trace: the installation's list, then PATH's; -B heads both.
      {kiv_ranlib, {"kiv-ranlib", "-B" + bdir, "lib.a"}, "/no:/where",
       "kiv-ranlib: Cannot find binary 'ranlib'\n",
       "kiv-ranlib: Searched '" + bdir + "'" + configured + " '" + bdir + "' '/no/' '/where/'\n"},
      // One trace entry is one line: control bytes are shown, not acted on.
      {kiv_ar, {"kiv-ar", "-B", "/x\nkiv-ar: forged\033[2K"}, "/nonexistent",
       "kiv-ar: Cannot find plugin '" + plugin_name + "'\n",
       "kiv-ar: Searched '/x\\nkiv-ar:\\ forged\\033[2K/'" + configured + "\n"},
  };
  for (const Case &c : cases) {
    for (const std::string trace : {"", "1"}) {
      RunResult r = run(c.program, c.argv,
                        {.env_set = {"PATH=" + c.path, as_configured, "KIV_TRACE=" + trace}});
      EXPECT_EQ(r.exit_code(), 1);
      EXPECT_EQ(r.err, c.line + (trace.empty() ? "" : c.trace));
      EXPECT_EQ(r.out, "");
    }
  }
}

TEST_F(WrapperTest, DirectoryOptionForms) {
  add_tool("ar");
  std::string plain = bdir.substr(0, bdir.size() - 1);  // without the trailing '/'
  struct Case {
    std::vector<std::string> args;
    std::string prefix;  // what the lookups put in front of the names
  } cases[] = {
      {{"-B", plain}, bdir},
      {{"-B."}, "./"},
      // The empty prefix looks names up in the current directory; "./" makes
      // the tool run the file that was found rather than one from PATH.
      {{"-B", ""}, "./"},
  };
  for (const Case &c : cases) {
    std::vector<std::string> argv = {kiv_ar};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    argv.push_back("rc");
    argv.push_back("lib.a");
    RunResult r = run(kiv_ar, argv, {.env_set = {"PATH=/nonexistent"}, .cwd = bdir});
    EXPECT_EQ(r.exit_code(), 0) << c.prefix << r.err;
    EXPECT_EQ(recorded(), (Lines{c.prefix + "ar", "--plugin", c.prefix + plugin_name,
                                 "-rc", "lib.a"}))
        << c.prefix;
  }
}

TEST_F(WrapperTest, ProgramNameThatIsTheWholeCommandLine) {
  add_tool("ar");
  // "-B<dir>" as the only entry, or "-B" and the directory as the only two:
  // the wrapper goes on under its own name, and the tool gets only the plugin.
  const Lines tool_only = {bdir + "ar", "--plugin", bdir + plugin_name};
  struct Case {
    std::vector<std::string> argv;
    int code;
    std::string err;
  } cases[] = {
      {{"-B" + bdir}, 0, ""},
      {{"-B", bdir}, 0, ""},
      {{"-B" + dir / "nowhere"}, 1, "kiv-ar: Cannot find plugin '" + plugin_name + "'\n"},
  };
  for (const Case &c : cases) {
    remove_tree(record);
    RunResult r = run(kiv_ar, c.argv, {.env_set = {"PATH=/nonexistent", as_configured}});
    EXPECT_EQ(r.exit_code(), c.code) << c.argv[0] << r.err;
    EXPECT_EQ(r.err, c.err) << c.argv[0];
    if (c.code == 0) {
      EXPECT_EQ(recorded(), tool_only) << c.argv[0];
    }
  }
}

TEST_F(WrapperTest, ToolFoundThroughPathRunsUnderThatPath) {
  ScopedTempDir path_dir;
  add_tool("ar", path_dir.path() + "/");
  RunResult r = run(kiv_ar, {kiv_ar, "-B", bdir, "t"},
                    {.env_set = {"PATH=/nonexistent:" + path_dir.path()}});
  EXPECT_EQ(r.exit_code(), 0) << r.err;
  EXPECT_EQ(recorded()[0], path_dir.path() + "/ar");
}

TEST_F(WrapperTest, ExitCodesComeBackUnchanged) {
  add_tool("ar");
  for (int code : {0, 3, 255}) {
    RunResult r = run(kiv_ar, {kiv_ar, "-B", bdir, "t"},
                      {.env_set = {"PATH=/nonexistent", "KIV_TEST_ACTION=exit " +
                                                            std::to_string(code)}});
    EXPECT_EQ(r.exit_code(), code);
    EXPECT_EQ(r.err, "");
  }
  // KIV_TRACE: what runs, as in a response file, on one line: control bytes
  // are escaped. The tool still gets SIGPIPE and SIGXFSZ at their defaults.
  RunResult r = run(kiv_ar, {kiv_ar, "-B", bdir, "t", "a b", "x\nkiv-ar: forged", "\033[2K\r\x7f"},
                    {.env_set = {"PATH=/nonexistent", "KIV_TRACE=1",
                                 write_signals_at_default}});
  EXPECT_EQ(r.exit_code(), 0);
  EXPECT_EQ(r.err, kiv_ar + ": " + bdir + "ar --plugin " + bdir + plugin_name +
                       " -t a\\ b x\\nkiv-ar:\\ forged \\033[2K\\r\\177\n");
}

TEST_F(WrapperTest, ParentThatIgnoresSigchldStillGetsTheToolsStatus) {
  add_tool("nm");
  for (int code : {0, 3}) {
    RunResult r = run(kiv_nm, {kiv_nm, "-B", bdir, "x.o"},
                      {.env_set = {"PATH=/nonexistent", "KIV_TEST_ACTION=exit " +
                                                            std::to_string(code)},
                       .ignore_sigchld = true});
    EXPECT_EQ(r.exit_code(), code) << r.err;
    EXPECT_EQ(r.err, "");
  }
}

TEST_F(WrapperTest, ToolSharesTheWrappersStandardStreams) {
  add_tool("ranlib");
  RunResult r = run(kiv_ranlib, {kiv_ranlib, "-B", bdir},
                    {.env_set = {"PATH=/nonexistent", "KIV_TEST_ACTION=/bin/cat; echo to-err >&2"},
                     .input = "from the wrapper's input\n"});
  EXPECT_EQ(r.exit_code(), 0);
  EXPECT_EQ(r.out, "from the wrapper's input\n");
  EXPECT_EQ(r.err, "to-err\n");
}

// Whether this machine writes a core for a process that asks for one.
bool cores_are_dumped() {
  pid_t pid = fork();
  if (pid == 0) {
    rlimit lim = {RLIM_INFINITY, RLIM_INFINITY};
    if (setrlimit(RLIMIT_CORE, &lim) != 0) _exit(0);
    if (chdir("/tmp") != 0) _exit(0);
    signal(SIGQUIT, SIG_DFL);
    raise(SIGQUIT);
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
#ifdef WCOREDUMP
  return WIFSIGNALED(status) && WCOREDUMP(status);
#else
  return false;
#endif
}

TEST_F(WrapperTest, ToolKilledByASignal) {
  add_tool("ar");
  RunResult r = run(kiv_ar, {kiv_ar, "-B", bdir, "t"},
                    {.env_set = {"PATH=/nonexistent", "KIV_TEST_ACTION=kill -KILL $$"}});
  EXPECT_EQ(r.exit_code(), 1);
  EXPECT_EQ(r.err, bdir + "ar terminated with signal 9 [" + strsignal(SIGKILL) + "]\n");

  // SIGQUIT dumps a core where the core-size limit allows one.
  r = run(kiv_ar, {kiv_ar, "-B", bdir, "t"},
          {.env_set = {"PATH=/nonexistent", "KIV_TEST_ACTION=kill -QUIT $$"}, .cwd = tmp});
  EXPECT_EQ(r.exit_code(), 1);
  std::string quit = bdir + "ar terminated with signal " + std::to_string(SIGQUIT) + " [" +
                     strsignal(SIGQUIT) + "]";
  EXPECT_EQ(r.err, quit + "\n");
  if (!cores_are_dumped()) GTEST_SKIP() << "this machine writes no core files";
  // A sanitizer build of the wrapper would otherwise turn core dumps off
  // for itself and so for the tool.
  const char *asan = getenv("ASAN_OPTIONS");
  std::string asan_options = std::string(asan ? asan : "") + ":disable_coredump=0";
  r = run(kiv_ar, {kiv_ar, "-B", bdir, "t"},
          {.env_set = {"PATH=/nonexistent", "KIV_TEST_ACTION=kill -QUIT $$",
                       "ASAN_OPTIONS=" + asan_options},
           .cwd = tmp,
           .core_dumps = true});
  EXPECT_EQ(r.exit_code(), 1);
  EXPECT_EQ(r.err, quit + ", core dumped\n");
}

TEST_F(WrapperTest, ToolThatCannotBeStarted) {
  if (!spawn_reports_start_failure()) GTEST_SKIP() << no_spawn_start_failure;
  write_file(bdir + "nm", "\x01\x02 no known executable format\n", 0755);
  // KIV_TRACE adds what runs before, and the system's reason after.
  for (const std::string trace : {"", "1"}) {
    RunResult r = run(kiv_nm, {kiv_nm, "-B", bdir, "x.o"},
                      {.env_set = {"PATH=/nonexistent", "KIV_TRACE=" + trace}});
    EXPECT_EQ(r.exit_code(), 1);
    const std::string line = "Error running " + bdir + "nm: posix_spawnp\n";
    EXPECT_EQ(r.err, trace.empty() ? line
                                   : kiv_nm + ": " + bdir + "nm --plugin " + bdir + plugin_name +
                                         " x.o\n" + line + kiv_nm + ": posix_spawnp: " +
                                         strerror(ENOEXEC) + "\n");
  }
}

TEST_F(WrapperTest, EmptyArgumentVectorIsNoCrash) {
  add_tool("ar");
  // Started with no argv[0] at all: the wrapper goes on under its own name.
  pid_t pid = fork();
  if (pid == 0) {
    setenv("PATH", "/nonexistent", 1);
    char *const no_args[] = {nullptr};
    execv(kiv_ar.c_str(), no_args);
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);  // nothing found, but no crash
}

}  // namespace
