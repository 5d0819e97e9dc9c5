#include "pex.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "pex_posix.h"
#include "c_api_helpers.h"
#include "test_util.h"

namespace {

using kiv_test::ScopedTempDir;

using kiv_test::Args;
using kiv_test::sh;

std::string read_all(FILE *stream) {
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, stream)) > 0) text.append(buf, n);
  return text;
}

// A backend that logs each call and can be told to fail the nth call of an
// operation with an error number; otherwise it does what the POSIX one does.
struct Recorder {
  struct Failure {
    std::string op;
    int nth;
    int error;
  };
  std::vector<Failure> failures;
  std::map<std::string, int> counts;
  std::vector<std::string> log;
  std::vector<int> opened;  // descriptors handed out, in order
  std::vector<int> closed;  // descriptors given to close_fd, in order

  void fail(const std::string &op, int nth, int error) { failures.push_back({op, nth, error}); }
  int failure_for(const std::string &op) {
    int n = ++counts[op];
    for (const Failure &f : failures)
      if (f.op == op && f.nth == n) return f.error;
    return 0;
  }
  int count(const std::string &prefix) const {
    return static_cast<int>(std::count_if(log.begin(), log.end(), [&](const std::string &entry) {
      return entry.compare(0, prefix.size(), prefix) == 0;
    }));
  }
  size_t position(const std::string &prefix, int nth) const {
    for (size_t i = 0; i < log.size(); ++i)
      if (log[i].compare(0, prefix.size(), prefix) == 0 && --nth == 0) return i;
    return log.size();
  }
};

Recorder &rec(pex_pipeline *p) { return *static_cast<Recorder *>(p->backend_data); }
const pex_backend_ops &real = posix_spawn_backend;

int rec_open(pex_pipeline *p, int fd, const char *what) {
  if (fd >= 0) rec(p).opened.push_back(fd);
  rec(p).log.push_back(std::string(what) + " " + std::to_string(fd));
  return fd;
}

constexpr pex_backend_ops recording_backend = {
    [](pex_pipeline *p, const char *name, int binary) {
      if (int e = rec(p).failure_for("open_for_read")) {
        rec_open(p, -1, "open_for_read");
        return errno = e, -1;
      }
      return rec_open(p, real.open_for_read(p, name, binary), "open_for_read");
    },
    [](pex_pipeline *p, const char *name, int binary, int append) {
      if (int e = rec(p).failure_for("open_for_write")) {
        rec_open(p, -1, "open_for_write");
        return errno = e, -1;
      }
      return rec_open(p, real.open_for_write(p, name, binary, append), "open_for_write");
    },
    [](pex_pipeline *p, int flags, const char *executable, char *const *argv, char *const *env,
       int in, int out, int errdes, int toclose, const char **message, int *err) -> pid_t {
      rec(p).log.push_back("spawn_child in=" + std::to_string(in) + " out=" + std::to_string(out) +
                           " err=" + std::to_string(errdes) +
                           " toclose=" + std::to_string(toclose));
      if (int e = rec(p).failure_for("spawn_child")) {
        *message = "posix_spawn";
        *err = e;
        return -1;
      }
      return real.spawn_child(p, flags, executable, argv, env, in, out, errdes, toclose, message,
                              err);
    },
    [](pex_pipeline *p, int fd) {
      rec(p).log.push_back("close_fd " + std::to_string(fd));
      rec(p).closed.push_back(fd);
      return real.close_fd(p, fd);
    },
    [](pex_pipeline *p, pid_t pid, int *status, pex_child_times *times, int done,
       const char **message, int *err) {
      rec(p).log.push_back("wait_child " + std::to_string(pid) + " done=" + std::to_string(done) +
                           " times=" + std::to_string(times != nullptr));
      int result = real.wait_child(p, pid, status, times, done, message, err);
      if (int e = rec(p).failure_for("wait_child")) {
        *message = "wait";
        *err = e;
        return -1;
      }
      return result;
    },
    [](pex_pipeline *p, int *fds, int binary) {
      rec(p).log.push_back("make_pipe");
      if (int e = rec(p).failure_for("make_pipe")) return errno = e, -1;
      int result = real.make_pipe(p, fds, binary);
      if (result == 0) rec(p).opened.insert(rec(p).opened.end(), {fds[0], fds[1]});
      return result;
    },
    [](pex_pipeline *p, int fd, int binary) -> FILE * {
      rec(p).log.push_back("fdopen_read " + std::to_string(fd));
      if (int e = rec(p).failure_for("fdopen_read")) return errno = e, nullptr;
      return real.fdopen_read(p, fd, binary);
    },
    [](pex_pipeline *p, int fd, int binary) -> FILE * {
      rec(p).log.push_back("fdopen_write " + std::to_string(fd));
      if (int e = rec(p).failure_for("fdopen_write")) return errno = e, nullptr;
      return real.fdopen_write(p, fd, binary);
    },
    nullptr,
};

pex_pipeline *recorded(Recorder &r, int flags, const char *temp_base = nullptr) {
  pex_pipeline *p = pex_create_with_ops(flags, "pex_test", temp_base, &recording_backend);
  p->backend_data = &r;
  return p;
}

bool reaped(pid_t pid) {
  int status;
  return waitpid(pid, &status, WNOHANG) == -1 && errno == ECHILD;
}

constexpr const char input_text[] = "hello world\nfoo\n";
constexpr const char chain_output[] = "HELL0 W0RLD\nF00\n";

// Three programs, fed through an input pipe or file, read through the output reader.
std::string run_chain(int pipeline_flags, bool input_pipe, const ScopedTempDir &dir) {
  std::string base = dir / "stage";
  std::string input_name = dir / "input";
  pex_pipeline *p = pex_create(pipeline_flags, "pex_test", base.c_str());
  FILE *input =
      input_pipe ? pex_open_input_pipe(p, 0) : pex_open_input_file(p, 0, input_name.c_str());
  if (!input) {
    ADD_FAILURE() << "no input stream";
    pex_destroy(p);
    return "";
  }
  fputs(input_text, input);
  if (input_pipe) fclose(input);  // the file stream is closed by the launch

  Args upper = sh("tr a-z A-Z"), copy{"cat"}, zero = sh("sed s/O/0/g");
  int err = -1;
  EXPECT_EQ(pex_launch(p, 0, upper.program(), upper.get(), nullptr, nullptr, &err), nullptr);
  EXPECT_EQ(pex_launch(p, PEX_USE_PATH, copy.program(), copy.get(), nullptr, nullptr, &err),
            nullptr);
  EXPECT_EQ(pex_launch(p, 0, zero.program(), zero.get(), nullptr, nullptr, &err), nullptr);
  FILE *out = pex_open_output_reader(p, 0);
  EXPECT_NE(out, nullptr);
  std::string text = out ? read_all(out) : "";
  int statuses[3] = {-1, -1, -1};
  EXPECT_EQ(pex_get_status(p, 3, statuses), 1);
  for (int status : statuses) EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  pex_destroy(p);
  return text;
}

TEST(PexPipeline, ChainGivesTheSameBytesOverPipesAndTemporaryFiles) {
  ScopedTempDir pipes_from_pipe, pipes_from_file, files_from_file;
  EXPECT_EQ(run_chain(PEX_PIPES, true, pipes_from_pipe), chain_output);
  EXPECT_EQ(run_chain(PEX_PIPES, false, pipes_from_file), chain_output);
  EXPECT_EQ(run_chain(0, false, files_from_file), chain_output);
  // The input file stays; the intermediate files are gone.
  EXPECT_EQ(kiv_test::list_dir(files_from_file.path()), std::vector<std::string>{"input"});
  EXPECT_EQ(kiv_test::read_file(files_from_file / "input"), input_text);
}

TEST(PexPipeline, TemporaryFilesAreRemovedUnlessKept) {
  for (int keep : {0, PEX_KEEP_TEMPS}) {
    SCOPED_TRACE(keep);
    ScopedTempDir dir;
    std::string base = dir / "t", out = dir / "out";
    Recorder r;
    pex_pipeline *p = recorded(r, keep, base.c_str());
    Args one = sh("echo one"), copy{"/bin/cat"};
    int err = -1;
    ASSERT_EQ(pex_launch(p, 0, one.program(), one.get(), nullptr, nullptr, &err), nullptr);
    ASSERT_EQ(
        pex_launch(p, PEX_OUTNAME_IS_SUFFIX, copy.program(), copy.get(), ".mid", nullptr, &err),
        nullptr);
    ASSERT_EQ(pex_launch(p, PEX_FINAL, copy.program(), copy.get(), out.c_str(), nullptr, &err),
              nullptr);
    // Each program over a file starts only after the ones before it ended.
    EXPECT_LT(r.position("wait_child", 1), r.position("spawn_child", 2));
    EXPECT_LT(r.position("wait_child", 2), r.position("spawn_child", 3));
    int statuses[3];
    EXPECT_EQ(pex_get_status(p, 3, statuses), 1);
    pex_destroy(p);

    EXPECT_EQ(kiv_test::read_file(out), "one\n");
    std::vector<std::string> left = kiv_test::list_dir(dir.path());
    if (keep) {
      ASSERT_EQ(left.size(), 3u);
      EXPECT_EQ(left[0], "out");
      EXPECT_EQ(left[1], "t.mid");
      EXPECT_EQ(left[2].size(), 7u);  // "t" and six characters from mkstemps
      EXPECT_EQ(kiv_test::read_file(dir / "t.mid"), "one\n");
      EXPECT_EQ(kiv_test::read_file(dir / left[2]), "one\n");
    } else {
      EXPECT_EQ(left, std::vector<std::string>{"out"});
    }
  }
}

TEST(PexPipeline, ReadersGetTheLastProgramsOutputAndError) {
  for (int flags : {PEX_PIPES, 0}) {
    SCOPED_TRACE(flags);
    ScopedTempDir dir;
    std::string base = dir / "t";
    pex_pipeline *p = pex_create(flags, "pex_test", base.c_str());
    Args first = sh("echo first"), last = sh("cat; echo err >&2");
    int err = -1;
    ASSERT_EQ(pex_launch(p, 0, first.program(), first.get(), nullptr, nullptr, &err), nullptr);
    ASSERT_EQ(pex_launch(p, PEX_STDERR_TO_PIPE, last.program(), last.get(), nullptr, nullptr, &err),
              nullptr);
    FILE *out = pex_open_output_reader(p, 0);
    FILE *error = pex_open_error_reader(p, 0);
    ASSERT_NE(out, nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(read_all(out), "first\n");
    EXPECT_EQ(read_all(error), "err\n");
    EXPECT_EQ(pex_open_error_reader(p, 0), nullptr);  // taken already
    pex_destroy(p);                                   // closes both readers
  }
}

TEST(PexPipeline, EnvironmentAndOutputFilesReachTheChild) {
  ScopedTempDir dir;
  std::string out = dir / "out", errors = dir / "err";
  kiv_test::write_file(out, "old-out\n");
  kiv_test::write_file(errors, "old-err\n");
  char variable[] = "KIV_PEX_TEST=from-env";
  char *env[] = {variable, nullptr};
  Args script = sh("echo \"$KIV_PEX_TEST\"; echo e >&2");
  pex_pipeline *p = pex_create(0, "pex_test", nullptr);
  int err = -1;
  ASSERT_EQ(pex_launch_with_env(p, PEX_FINAL | PEX_APPEND_OUT, script.program(), script.get(), env,
                                out.c_str(), errors.c_str(), &err),
            nullptr);
  int status;
  ASSERT_EQ(pex_get_status(p, 1, &status), 1);
  pex_destroy(p);
  EXPECT_EQ(kiv_test::read_file(out), "old-out\nfrom-env\n");
  EXPECT_EQ(kiv_test::read_file(errors), "e\n");  // truncated without PEX_APPEND_ERR
}

TEST(PexLaunchFailure, ClosingTheInputFileFails) {
  ScopedTempDir dir;
  std::string name = dir / "in";
  Recorder r;
  pex_pipeline *p = recorded(r, 0);
  FILE *input = pex_open_input_file(p, 0, name.c_str());
  ASSERT_NE(input, nullptr);
  fputs("data", input);
  close(fileno(input));  // the flush and close in fclose now fail
  Args t{"true"};
  int err = 0;
  EXPECT_STREQ(
      pex_launch(p, PEX_FINAL | PEX_USE_PATH, t.program(), t.get(), nullptr, nullptr, &err),
      "closing pipeline input file");
  EXPECT_EQ(err, EBADF);
  EXPECT_EQ(p->input_stream, nullptr);  // gone with the failed fclose: never closed twice
  EXPECT_EQ(r.count("spawn_child"), 0);
  pex_destroy(p);
}

struct Expected {
  const char *message;
  int err;
};

void expect_launch(pex_pipeline *p, int flags, Args &args, const char *outname, const char *errname,
                   Expected expected) {
  int err = -12345;
  const char *message = pex_launch(p, flags, args.program(), args.get(), outname, errname, &err);
  if (expected.message)
    EXPECT_STREQ(message, expected.message);
  else
    EXPECT_EQ(message, nullptr) << message;
  EXPECT_EQ(err, expected.err);
}

TEST(PexLaunchFailure, EachStepReportsItsMessageAndClosesWhatItWasHanded) {
  ScopedTempDir dir;
  std::string input = dir / "in", missing = dir / "missing/file", base = dir / "t";
  std::string bad_base = dir / "missing/t";
  Args t{"/bin/true"};
  const int ok_err = 0;  // a successful start leaves *err 0

  {  // a final launch completes the pipeline, and nothing more starts
    Recorder r;
    pex_pipeline *p = recorded(r, PEX_PIPES);
    expect_launch(p, PEX_FINAL, t, nullptr, nullptr, {nullptr, ok_err});
    expect_launch(p, 0, t, nullptr, nullptr, {"pipeline already complete", 0});
    EXPECT_EQ(r.count("spawn_child"), 1);
    pex_destroy(p);
  }
  {  // the wait for an earlier child fails
    Recorder r;
    r.fail("wait_child", 1, ECHILD);
    pex_pipeline *p = recorded(r, 0, base.c_str());
    expect_launch(p, 0, t, nullptr, nullptr, {nullptr, ok_err});
    expect_launch(p, PEX_FINAL, t, nullptr, nullptr, {"wait", ECHILD});
    EXPECT_EQ(r.count("spawn_child"), 1);
    EXPECT_EQ(r.count("close_fd"), 0);
    pex_destroy(p);
  }
  {  // the pending file cannot be opened
    Recorder r;
    r.fail("open_for_read", 1, EACCES);
    pex_pipeline *p = recorded(r, 0, base.c_str());
    expect_launch(p, 0, t, nullptr, nullptr, {nullptr, ok_err});
    expect_launch(p, PEX_FINAL, t, nullptr, nullptr, {"open temporary file", EACCES});
    EXPECT_EQ(r.count("close_fd"), 0);
    pex_destroy(p);
  }
  {  // no output pipe: the previous pipe's read end is closed once, and forgotten
    Recorder r;
    r.fail("make_pipe", 2, EMFILE);
    pex_pipeline *p = recorded(r, PEX_PIPES);
    FILE *feed = pex_open_input_pipe(p, 0);
    ASSERT_NE(feed, nullptr);
    int read_end = p->next_input;
    expect_launch(p, 0, t, nullptr, nullptr, {"pipe", EMFILE});
    EXPECT_EQ(r.closed, std::vector<int>{read_end});
    EXPECT_EQ(p->next_input, -1);
    expect_launch(p, 0, t, nullptr, nullptr, {"pipeline already complete", 0});
    EXPECT_EQ(pex_open_output_reader(p, 0), nullptr);
    pex_destroy(p);
    EXPECT_EQ(r.closed, std::vector<int>{read_end});
    EXPECT_EQ(r.count("spawn_child"), 0);
    fclose(feed);
  }
  {  // no temporary name can be made
    Recorder r;
    pex_pipeline *p = recorded(r, 0, bad_base.c_str());
    ASSERT_NE(pex_open_input_file(p, 0, input.c_str()), nullptr);
    expect_launch(p, 0, t, nullptr, nullptr, {"could not create temporary file", 0});
    EXPECT_EQ(r.closed, std::vector<int>{r.opened.at(0)});
    pex_destroy(p);
  }
  {  // the final output file cannot be opened; the pipeline is complete all the same
    Recorder r;
    pex_pipeline *p = recorded(r, 0);
    ASSERT_NE(pex_open_input_file(p, 0, input.c_str()), nullptr);
    expect_launch(p, PEX_FINAL, t, missing.c_str(), nullptr,
                  {"open temporary output file", ENOENT});
    EXPECT_EQ(r.closed, std::vector<int>{r.opened.at(0)});
    EXPECT_EQ(p->next_input, -1);
    pex_destroy(p);
  }
  {  // error name and error pipe together
    Recorder r;
    pex_pipeline *p = recorded(r, PEX_PIPES);
    expect_launch(p, PEX_STDERR_TO_PIPE, t, nullptr, missing.c_str(),
                  {"both ERRNAME and PEX_STDERR_TO_PIPE specified.", 0});
    ASSERT_EQ(r.opened.size(), 2u);
    EXPECT_EQ(r.closed, std::vector<int>{r.opened[1]});  // the write end; in was 0
    EXPECT_EQ(p->next_input, r.opened[0]);
    pex_destroy(p);
    EXPECT_EQ(r.closed, (std::vector<int>{r.opened[1], r.opened[0]}));
  }
  {  // the error pipe is still waiting for its reader
    Recorder r;
    pex_pipeline *p = recorded(r, PEX_PIPES);
    expect_launch(p, PEX_STDERR_TO_PIPE, t, nullptr, nullptr, {nullptr, ok_err});
    expect_launch(p, 0, t, nullptr, nullptr,
                  {"PEX_STDERR_TO_PIPE used in the middle of pipeline", 0});
    expect_launch(p, 0, t, nullptr, missing.c_str(),
                  {"PEX_STDERR_TO_PIPE used in the middle of pipeline", 0});
    EXPECT_EQ(r.count("open_for_write"), 0);
    FILE *error = pex_open_error_reader(p, 0);
    ASSERT_NE(error, nullptr);
    expect_launch(p, PEX_FINAL, t, nullptr, nullptr, {nullptr, ok_err});
    EXPECT_EQ(r.count("spawn_child"), 2);
    pex_destroy(p);
  }
  {  // the error file cannot be opened
    Recorder r;
    pex_pipeline *p = recorded(r, 0, base.c_str());
    ASSERT_NE(pex_open_input_file(p, 0, input.c_str()), nullptr);
    expect_launch(p, 0, t, nullptr, missing.c_str(), {"open error file", ENOENT});
    ASSERT_EQ(r.opened.size(), 2u);
    EXPECT_EQ(r.closed, r.opened);
    pex_destroy(p);
  }
  {  // no error pipe
    Recorder r;
    r.fail("make_pipe", 1, ENFILE);
    pex_pipeline *p = recorded(r, 0, base.c_str());
    expect_launch(p, PEX_STDERR_TO_PIPE, t, nullptr, nullptr, {"pipe", ENFILE});
    ASSERT_EQ(r.opened.size(), 1u);
    EXPECT_EQ(r.closed, r.opened);
    pex_destroy(p);
  }
  // The start fails: in, out and errdes are closed and no child is counted.
  if (kiv_test::spawn_reports_start_failure()) {
    Recorder r;
    pex_pipeline *p = recorded(r, 0, base.c_str());
    ASSERT_NE(pex_open_input_file(p, 0, input.c_str()), nullptr);
    Args nowhere{"/nonexistent/program"};
    expect_launch(p, 0, nowhere, nullptr, (dir / "err").c_str(), {"posix_spawn", ENOENT});
    ASSERT_EQ(r.opened.size(), 3u);
    EXPECT_EQ(r.closed, r.opened);
    EXPECT_EQ(p->child_count, 0);
    pex_destroy(p);
  }
  {  // the start on the parent's own 0, 1 and 2 fails: none of them is closed
    Recorder r;
    r.fail("spawn_child", 1, EAGAIN);
    pex_pipeline *p = recorded(r, 0);
    expect_launch(p, PEX_FINAL, t, nullptr, nullptr, {"posix_spawn", EAGAIN});
    EXPECT_EQ(r.count("close_fd"), 0);
    pex_destroy(p);
  }
}

TEST(PexLaunchFailure, PathSearchFailureNamesTheSpawnCall) {
  if (!kiv_test::spawn_reports_start_failure()) GTEST_SKIP() << kiv_test::no_spawn_start_failure;
  Args nowhere{"kiv-no-such-program"};
  int status = -1, err = 0;
  EXPECT_STREQ(pex_run_single(PEX_FINAL | PEX_USE_PATH, nowhere.program(), nowhere.get(),
                              "pex_test", nullptr, nullptr, &status, &err),
               "posix_spawnp");
  EXPECT_EQ(err, ENOENT);
  EXPECT_EQ(status, -1);  // written only after a successful launch
}

TEST(PexRunSingle, RunsOneChildOnTheParentsDescriptors) {
  int before = kiv_test::count_open_fds();
  Args script = sh("exit 7");
  int status = -1, err = -1;
  EXPECT_EQ(pex_run_single(PEX_FINAL | PEX_USE_PATH, "sh", script.get(), "pex_test", nullptr,
                           nullptr, &status, &err),
            nullptr);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 7);
  EXPECT_EQ(kiv_test::count_open_fds(), before);
  for (int fd : {0, 1, 2}) EXPECT_NE(fcntl(fd, F_GETFD), -1) << fd;
}

TEST(PexRunSingle, FailedStatusCollection) {
  // With SIGCHLD ignored the system reaps the child itself and the wait fails.
  struct sigaction ignore = {}, old;
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGCHLD, &ignore, &old), 0);
  Args t{"/bin/true"};
  int status = -1, err = -1;
  const char *message =
      pex_run_single(PEX_FINAL, t.program(), t.get(), "pex_test", nullptr, nullptr, &status, &err);
  sigaction(SIGCHLD, &old, nullptr);
  EXPECT_STREQ(message, "pex_get_status failed");
  EXPECT_EQ(err, 0);
}

TEST(PexStatus, CopiesAndZeroFills) {
  pex_pipeline *p = pex_create(0, "pex_test", nullptr);
  Args script = sh("exit 3");
  int err;
  ASSERT_EQ(pex_launch(p, PEX_FINAL, script.program(), script.get(), nullptr, nullptr, &err),
            nullptr);
  int statuses[3] = {-1, -1, -1};
  EXPECT_EQ(pex_get_status(p, 3, statuses), 1);
  EXPECT_TRUE(WIFEXITED(statuses[0]) && WEXITSTATUS(statuses[0]) == 3);
  EXPECT_EQ(statuses[1], 0);
  EXPECT_EQ(statuses[2], 0);
  int untouched = -1;
  EXPECT_EQ(pex_get_status(p, 0, &untouched), 1);
  EXPECT_EQ(untouched, -1);
  pex_child_times times[1];
  EXPECT_EQ(pex_get_child_times(p, 1, times), 0);  // no times were kept
  pex_destroy(p);
}

TEST(PexStatus, TimesAreKeptOnRequest) {
  pex_pipeline *p = pex_create(PEX_KEEP_TIMES | PEX_PIPES, "pex_test", nullptr);
  Args t{"/bin/true"};
  int err;
  ASSERT_EQ(pex_launch(p, 0, t.program(), t.get(), nullptr, nullptr, &err), nullptr);
  ASSERT_EQ(pex_launch(p, PEX_FINAL, t.program(), t.get(), nullptr, nullptr, &err), nullptr);
  pex_child_times times[3];
  memset(times, 0xff, sizeof times);
  EXPECT_EQ(pex_get_child_times(p, 3, times), 1);
  for (int i = 0; i < 2; ++i) {
    EXPECT_GE(times[i].user_seconds, 0);
    EXPECT_GE(times[i].user_microseconds, 0);
    EXPECT_LT(times[i].user_microseconds, 1000000);
    EXPECT_GE(times[i].system_seconds, 0);
    EXPECT_GE(times[i].system_microseconds, 0);
    EXPECT_LT(times[i].system_microseconds, 1000000);
  }
  EXPECT_EQ(times[2].user_seconds, 0);
  EXPECT_EQ(times[2].system_microseconds, 0);
  pex_destroy(p);
}

TEST(PexStatus, AFailedWaitIsNotRepeated) {
  Recorder r;
  r.fail("wait_child", 1, EINTR);
  pex_pipeline *p = recorded(r, 0);
  Args t{"/bin/true"};
  int err;
  ASSERT_EQ(pex_launch(p, PEX_FINAL, t.program(), t.get(), nullptr, nullptr, &err), nullptr);
  int status;
  EXPECT_EQ(pex_get_status(p, 1, &status), 0);
  EXPECT_EQ(pex_get_status(p, 1, &status), 1);
  EXPECT_EQ(r.count("wait_child"), 1);
  pex_destroy(p);
  EXPECT_EQ(r.count("wait_child"), 1);
}

TEST(PexInput, RefusedOutOfOrder) {
  pex_pipeline *files = pex_create(0, "pex_test", nullptr);
  errno = 0;
  EXPECT_EQ(pex_open_input_pipe(files, 0), nullptr);
  EXPECT_EQ(errno, EINVAL);
  Args t{"/bin/true"};
  int err;
  ASSERT_EQ(pex_launch(files, PEX_FINAL, t.program(), t.get(), nullptr, nullptr, &err), nullptr);
  errno = 0;
  EXPECT_EQ(pex_open_input_file(files, 0, "/nonexistent/x"), nullptr);
  EXPECT_EQ(errno, EINVAL);
  pex_destroy(files);

  pex_pipeline *pipes = pex_create(PEX_PIPES, "pex_test", nullptr);
  FILE *feed = pex_open_input_pipe(pipes, 0);
  ASSERT_NE(feed, nullptr);
  errno = 0;
  EXPECT_EQ(pex_open_input_pipe(pipes, 0), nullptr);
  EXPECT_EQ(errno, EINVAL);
  fclose(feed);
  pex_destroy(pipes);
}

TEST(PexInput, AnInputFileNoLaunchTookIsClosedByDestroy) {
  ScopedTempDir dir;
  std::string name = dir / "in";
  int before = kiv_test::count_open_fds();
  pex_pipeline *p = pex_create(0, "pex_test", nullptr);
  ASSERT_NE(pex_open_input_file(p, 0, name.c_str()), nullptr);
  pex_destroy(p);
  EXPECT_EQ(kiv_test::count_open_fds(), before);
}

TEST(PexOutputReader, AStreamThatCannotBeMadeLeavesNoDescriptor) {
  Recorder r;
  r.fail("fdopen_read", 1, ENOMEM);
  r.fail("fdopen_read", 2, ENOMEM);
  pex_pipeline *p = recorded(r, PEX_PIPES);
  Args t{"/bin/true"};
  int err;
  ASSERT_EQ(pex_launch(p, PEX_STDERR_TO_PIPE, t.program(), t.get(), nullptr, nullptr, &err),
            nullptr);
  int read_end = p->next_input, error_end = p->stderr_pipe;
  EXPECT_EQ(pex_open_output_reader(p, 0), nullptr);
  EXPECT_EQ(pex_open_error_reader(p, 0), nullptr);
  EXPECT_EQ(p->next_input, -1);
  EXPECT_EQ(p->stderr_pipe, -1);
  pex_destroy(p);
  EXPECT_EQ(r.closed, (std::vector<int>{read_end, error_end}));
}

TEST(PexDestroy, EndsAndReapsChildrenNeverWaitedFor) {
  Args sleeper{"sleep", "30"}, t{"/bin/true"};
  int err;
  {  // never collected at all
    Recorder r;
    pex_pipeline *p = recorded(r, PEX_PIPES);
    ASSERT_EQ(pex_launch(p, PEX_USE_PATH, sleeper.program(), sleeper.get(), nullptr, nullptr, &err),
              nullptr);
    pid_t pid = p->children[0];
    pex_destroy(p);
    EXPECT_EQ(r.count("wait_child " + std::to_string(pid) + " done=1 times=0"), 1);
    EXPECT_TRUE(reaped(pid));
  }
  {  // launched after a collection, with times kept for the earlier child only
    ScopedTempDir dir;
    std::string base = dir / "t";
    Recorder r;
    pex_pipeline *p = recorded(r, PEX_KEEP_TIMES, base.c_str());
    ASSERT_EQ(pex_launch(p, 0, t.program(), t.get(), nullptr, nullptr, &err), nullptr);
    ASSERT_EQ(pex_launch(p, PEX_USE_PATH, sleeper.program(), sleeper.get(), nullptr, nullptr, &err),
              nullptr);
    ASSERT_EQ(p->waited_count, 1);
    pid_t pid = p->children[1];
    pex_destroy(p);
    EXPECT_EQ(r.count("wait_child " + std::to_string(pid) + " done=1 times=0"), 1);
    EXPECT_TRUE(reaped(pid));
    EXPECT_TRUE(kiv_test::list_dir(dir.path()).empty());
  }
}

TEST(PexPipeline, HundredPipelinesLeakNoDescriptor) {
  int before = kiv_test::count_open_fds();
  Args t{"true"}, nowhere{"/nonexistent/program"};
  for (int i = 0; i < 100; ++i) {
    pex_pipeline *p = pex_create(i % 2 ? PEX_PIPES : 0, "pex_test", nullptr);
    int err;
    if (i % 2) fclose(pex_open_input_pipe(p, 0));
    ASSERT_EQ(pex_launch(p, PEX_USE_PATH | PEX_STDERR_TO_PIPE, t.program(), t.get(), nullptr,
                         nullptr, &err),
              nullptr);
    ASSERT_NE(pex_open_error_reader(p, 0), nullptr);
    const char *message =
        pex_launch(p, 0, nowhere.program(), nowhere.get(), nullptr, nullptr, &err);
    if (kiv_test::spawn_reports_start_failure()) {
      EXPECT_STREQ(message, "posix_spawn");
    }
    ASSERT_NE(pex_open_output_reader(p, 0), nullptr);
    pex_destroy(p);
  }
  EXPECT_EQ(kiv_test::count_open_fds(), before);
}

TEST(PexMakeTempName, NamesForEachCase) {
  ScopedTempDir dir;
  std::string base = dir / "base";
  pex_pipeline *with_base = pex_create(0, "pex_test", base.c_str());
  pex_pipeline *no_base = pex_create(0, "pex_test", nullptr);
  const char given[] = "given.o";

  EXPECT_EQ(pex_make_temp_name(no_base, 0, given), given);  // the same pointer

  char *joined = pex_make_temp_name(with_base, PEX_OUTNAME_IS_SUFFIX, ".s");
  EXPECT_EQ(std::string(joined), base + ".s");
  EXPECT_FALSE(kiv_test::file_exists(joined));  // no file for a joined name
  free(joined);

  for (const char *suffix : {".s", static_cast<const char *>(nullptr)}) {
    char *made = suffix ? pex_make_temp_name(no_base, PEX_OUTNAME_IS_SUFFIX, suffix)
                        : pex_make_temp_name(no_base, 0, nullptr);
    std::string name = made;
    EXPECT_TRUE(kiv_test::file_exists(name));
    if (suffix) {
      EXPECT_TRUE(name.ends_with(".s"));
    }
    EXPECT_EQ(unlink(made), 0);
    free(made);
  }
  pex_destroy(with_base);
  pex_destroy(no_base);
}

TEST(PexMakeTempName, TemplatesFromTheBase) {
  ScopedTempDir dir;
  // The bases are the bare names, so the files are made in the directory.
  struct InDirectory {
    char previous[4096] = {};
    explicit InDirectory(const std::string &path) {
      EXPECT_NE(getcwd(previous, sizeof previous), nullptr);
      EXPECT_EQ(chdir(path.c_str()), 0);
    }
    ~InDirectory() { EXPECT_EQ(chdir(previous), 0); }
  };
  std::optional<InDirectory> in_dir(std::in_place, dir.path());
  struct Case {
    const char *base;
    size_t length;  // that of the template
  } cases[] = {{"abc", 9}, {"abcXXXXXX", 9}, {"XXXXX", 11}, {"XXXXXX", 6}};
  for (const Case &k : cases) {
    pex_pipeline *p = pex_create(0, "pex_test", k.base);
    char *name = pex_make_temp_name(p, 0, nullptr);
    ASSERT_NE(name, nullptr) << k.base;
    std::string made = name;
    EXPECT_EQ(made.size(), k.length) << k.base;
    EXPECT_EQ(made.compare(0, k.length - 6, k.base, k.length - 6), 0) << k.base << " " << made;
    EXPECT_TRUE(kiv_test::file_exists(made));
    EXPECT_EQ(kiv_test::read_file(made), "");
    free(name);
    pex_destroy(p);
  }
  in_dir.reset();
  EXPECT_EQ(kiv_test::list_dir(dir.path()).size(), 4u);

  std::string unusable = dir / "missing/abc";
  pex_pipeline *p = pex_create(0, "pex_test", unusable.c_str());
  EXPECT_EQ(pex_make_temp_name(p, 0, nullptr), nullptr);
  pex_destroy(p);
}

}  // namespace
