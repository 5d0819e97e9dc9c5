// The steps of a wrapper's run that stand on their own: the -B option, the
// dash rule and the decoding of the tool's wait status.
#include "wrapper.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "c_api_helpers.h"
#include "handles.h"
#include "search_lists.h"
#include "test_util.h"

namespace {

using kiv_test::take_prefix_list;
using Lines = std::vector<std::string>;

Lines vector_of(char *const *argv) {
  Lines lines;
  for (; *argv; ++argv) lines.push_back(*argv);
  return lines;
}

TEST(DirectoryOption, TakesTheFirstDashBWithItsDirectory) {
  struct Case {
    Lines argv, rest;
    const char *prefix;  // at the front of both lists; null: none added
  } cases[] = {
      {{"kiv-ar", "-B", "/opt/p", "rc", "lib.a"}, {"kiv-ar", "rc", "lib.a"}, "/opt/p/"},
      {{"kiv-ar", "-B/opt/p", "rc"}, {"kiv-ar", "rc"}, "/opt/p/"},
      {{"kiv-ar", "-B/opt/p/"}, {"kiv-ar"}, "/opt/p/"},  // no second '/'
      {{"kiv-ar", "-B."}, {"kiv-ar"}, "./"},
      {{"kiv-ar", "-B", ""}, {"kiv-ar"}, ""},  // the empty prefix: the current directory
      // Only the first is taken; later ones reach the tool.
      {{"kiv-nm", "x", "-B/a", "-Bother", "-B", "y"}, {"kiv-nm", "x", "-Bother", "-B", "y"}, "/a/"},
      // The program name is examined too.
      {{"-B/a", "name", "a.o"}, {"name", "a.o"}, "/a/"},
      {{"-B/a"}, {}, "/a/"},
      {{"-B", "/a"}, {}, "/a/"},
      {{"kiv-ar", "t"}, {"kiv-ar", "t"}, nullptr},
      {{"kiv-ar", "--B", "-b"}, {"kiv-ar", "--B", "-b"}, nullptr},
  };
  for (const Case &c : cases) {
    kiv_test::Args args(c.argv);
    char *const *argv = args.get();
    int argc = static_cast<int>(c.argv.size());
    prefix_list_add(&exec_prefix_list, "install/");
    const char *dir = nullptr;
    EXPECT_TRUE(take_directory_option(&argc, const_cast<char **>(argv), &dir)) << c.argv[0];
    if (dir) add_directory_first(dir);
    EXPECT_EQ(argc, static_cast<int>(c.rest.size())) << c.argv[0];
    EXPECT_EQ(vector_of(argv), c.rest) << c.argv[0];
    Lines front = c.prefix ? Lines{c.prefix} : Lines{};
    EXPECT_EQ(take_prefix_list(path_prefix_list), front) << c.argv[0];
    front.push_back("install/");
    EXPECT_EQ(take_prefix_list(exec_prefix_list), front) << c.argv[0];
  }
}

TEST(DirectoryOption, DashBAsTheLastArgumentChangesNothing) {
  for (const Lines &given : {Lines{"kiv-ar", "-B"}, Lines{"kiv-ar", "t", "-B"}, Lines{"-B"}}) {
    kiv_test::Args args(given);
    char *const *argv = args.get();
    int argc = static_cast<int>(given.size());
    const char *dir = nullptr;
    EXPECT_FALSE(take_directory_option(&argc, const_cast<char **>(argv), &dir));
    EXPECT_EQ(vector_of(argv), given);
    EXPECT_EQ(take_prefix_list(path_prefix_list), Lines{});
    EXPECT_EQ(take_prefix_list(exec_prefix_list), Lines{});
  }
}

TEST(DashRule, OnlyKivArPutsADashInFront) {
  const personality_row &ar = personality_named("ar");
  struct Case {
    const personality_row &personality;
    Lines argv;
    const char *dashed;  // null: the first argument stays as it is
  } cases[] = {
      {ar, {"kiv-ar", "t", "lib.a"}, "-t"},
      {ar, {"kiv-ar", "", "x"}, "-"},
      {ar, {"kiv-ar", "-t"}, nullptr},
      {ar, {"kiv-ar"}, nullptr},
      {personality_named("nm"), {"kiv-nm", "x.o"}, nullptr},
      {personality_named("ranlib"), {"kiv-ranlib", "lib.a"}, nullptr},
  };
  for (const Case &c : cases) {
    kiv_test::Args args(c.argv);
    unique_cstr dashed{dashed_first_argument(c.personality, args.get())};
    if (c.dashed)
      EXPECT_STREQ(dashed.get(), c.dashed) << c.argv[0];
    else
      EXPECT_FALSE(dashed) << c.argv[0];
  }
}

// A real child's wait status after it ends as the shell code says.
int status_of(const char *shell_code) {
  kiv_test::RunResult r = kiv_test::run_program("/bin/sh", {"sh", "-c", shell_code});
  return r.status;
}

// What waitpid reports for a child that was stopped, and then continued.
std::pair<int, int> stopped_and_continued_statuses() {
  pid_t pid = fork();
  if (pid == 0) {
    // Continued, it waits to be killed, so that its end cannot come first.
    raise(SIGSTOP);
    for (;;) pause();
  }
  int stopped = 0, continued = 0, ended = 0;
  waitpid(pid, &stopped, WUNTRACED);
  kill(pid, SIGCONT);
  waitpid(pid, &continued, WCONTINUED);
  kill(pid, SIGKILL);
  waitpid(pid, &ended, 0);
  return {stopped, continued};
}

TEST(ExitStatus, ToolsOutcomeBecomesTheWrappersStatusAndMessage) {
  const std::string tool = "/usr/bin/ar";
  const auto [stopped, continued] = stopped_and_continued_statuses();
  struct Case {
    const char *what;
    tool_outcome outcome;
    int code;
    std::string message;
  } cases[] = {
      {"exit 0", {nullptr, status_of("exit 0")}, 0, ""},
      {"exit 3", {nullptr, status_of("exit 3")}, 3, ""},
      {"exit 255", {nullptr, status_of("exit 255")}, 255, ""},
      {"not started", {"posix_spawnp", 0}, 1, "Error running " + tool + ": posix_spawnp\n"},
      {"killed", {nullptr, status_of("kill -KILL $$")}, 1,
       tool + " terminated with signal 9 [" + strsignal(SIGKILL) + "]\n"},
#ifdef WCOREFLAG
      // Whether a real core is written depends on the machine's settings;
      // a status that says one was has the signal's number and WCOREFLAG.
      {"core", {nullptr, SIGQUIT | WCOREFLAG}, 1,
       tool + " terminated with signal " + std::to_string(SIGQUIT) + " [" + strsignal(SIGQUIT) +
           "], core dumped\n"},
#endif
      {"stopped", {nullptr, stopped}, 1, ""},
      {"continued", {nullptr, continued}, 1, ""},
  };
  for (const Case &c : cases) {
    unique_file messages{tmpfile()};
    ASSERT_TRUE(messages);
    EXPECT_EQ(exit_code_for(tool.c_str(), c.outcome, messages.get()), c.code) << c.what;
    std::string written(256, '\0');
    rewind(messages.get());
    written.resize(fread(written.data(), 1, written.size(), messages.get()));
    EXPECT_EQ(written, c.message) << c.what;
  }
}

}  // namespace
