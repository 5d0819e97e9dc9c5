#include "pex.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
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

#include "c_api_helpers.h"
#include "handles.h"
#include "pex_posix.h"
#include "temp_file.h"
#include "test_util.h"

namespace {

using kiv_test::Args;
using kiv_test::ScopedTempDir;
using kiv_test::sh;
using Names = std::vector<std::string>;

std::string read_all(FILE *stream) {
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, stream)) > 0) text.append(buf, n);
  return text;
}

// A backend that logs each call and can be told to fail the nth call of an
// operation with an error number; otherwise it does what the POSIX one does.
// "parent_close" fails a start the way a failed parent-side close does: the
// child ran, and every descriptor it was handed is closed all the same.
struct Recorder {
  struct Failure {
    std::string op;
    int nth;
    int error;
  };
  std::vector<Failure> failures;
  std::map<std::string, int> counts;
  std::vector<std::string> log;
  std::vector<int> opened;    // descriptors the backend made, in order
  std::vector<int> closed;    // descriptors given to close_fd, in order
  std::vector<int> released;  // closed by spawn_child, or taken over by a stream
  std::vector<pid_t> pids;    // children started

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
  // What spawn_child closes in the parent once the child runs.
  void release_spawned(int in, int out, int errdes) {
    const int fds[3] = {in, out, errdes};
    for (int target = 0; target < 3; ++target)
      if (fds[target] != target) released.push_back(fds[target]);
  }
};

Recorder &rec(pex_pipeline *p) { return *static_cast<Recorder *>(p->backend_data); }
const pex_backend_ops &real = posix_spawn_backend;

int rec_open(pex_pipeline *p, int fd, const char *what) {
  if (fd >= 0) rec(p).opened.push_back(fd);
  rec(p).log.push_back(std::string(what) + " " + std::to_string(fd));
  return fd;
}

FILE *rec_stream(pex_pipeline *p, FILE *stream, int fd) {
  if (stream) rec(p).released.push_back(fd);
  return stream;
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
      Recorder &r = rec(p);
      r.log.push_back("spawn_child in=" + std::to_string(in) + " out=" + std::to_string(out) +
                      " err=" + std::to_string(errdes) + " toclose=" + std::to_string(toclose));
      if (int e = r.failure_for("spawn_child")) {
        *message = "posix_spawn";
        *err = e;
        return -1;
      }
      if (int e = r.failure_for("parent_close")) {
        const int fds[3] = {in, out, errdes};
        for (int target = 0; target < 3; ++target)
          if (fds[target] != target) close(fds[target]);
        r.release_spawned(in, out, errdes);
        *message = "close";
        *err = e;
        return PEX_SPAWN_FDS_CLOSED;
      }
      pid_t pid = real.spawn_child(p, flags, executable, argv, env, in, out, errdes, toclose,
                                   message, err);
      if (pid >= 0) {
        r.release_spawned(in, out, errdes);
        r.pids.push_back(pid);
      }
      return pid;
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
      return rec_stream(p, real.fdopen_read(p, fd, binary), fd);
    },
    [](pex_pipeline *p, int fd, int binary) -> FILE * {
      rec(p).log.push_back("fdopen_write " + std::to_string(fd));
      if (int e = rec(p).failure_for("fdopen_write")) return errno = e, nullptr;
      return rec_stream(p, real.fdopen_write(p, fd, binary), fd);
    },
    nullptr,
};

bool reaped(pid_t pid) {
  int status;
  return waitpid(pid, &status, WNOHANG) == -1 && errno == ECHILD;
}

// Owns the recorder and a pipeline over it. Each pipeline is checked when it
// is destroyed: every descriptor the backend made must have been closed
// exactly once (by close_fd, by a started child's spawn_child, or through a
// stream), and the process must hold as many descriptors as before.
class PexTest : public testing::Test {
 public:
  void SetUp() override { open_before_ = kiv_test::count_open_fds(); }
  void TearDown() override { finish(); }

  // temp_base empty: none.
  pex_pipeline *make(int flags, const std::string &temp_base = "") {
    finish();
    active_ = true;
    temp_base_ = temp_base;
    pipeline.reset(pex_create_with_ops(flags, "pex_test", temp_base_.empty() ? nullptr : temp_base_.c_str(),
                                       &recording_backend));
    pipeline->backend_data = &r;
    return pipeline.get();
  }
  pex_pipeline *p() { return pipeline.get(); }

  // Launches with outname and errname as given (null: none); err keeps *err.
  const char *launch(int flags, Args &args, const char *outname = nullptr,
                     const char *errname = nullptr, char *const *env = nullptr) {
    err = -12345;
    return pex_launch_with_env(p(), flags, args.program(), args.get(), env, outname, errname, &err);
  }
  void launch_ok(int flags, Args &args, const char *outname = nullptr) {
    const char *message = launch(flags, args, outname);
    EXPECT_EQ(message, nullptr) << message;
  }
  // An input file of the caller's own, written before the first launch.
  FILE *input_file() {
    FILE *in = pex_open_input_file(p(), 0, input_name.c_str());
    EXPECT_NE(in, nullptr);
    return in;
  }

  // Destroys the pipeline (unless the test did) and checks what it left.
  void finish() {
    if (!active_) return;
    active_ = false;
    pipeline.reset();
    feed.reset();
    std::vector<int> gone = r.closed;
    gone.insert(gone.end(), r.released.begin(), r.released.end());
    std::vector<int> made = r.opened;
    std::sort(gone.begin(), gone.end());
    std::sort(made.begin(), made.end());
    EXPECT_EQ(gone, made) << "each descriptor the backend made is closed exactly once";
    EXPECT_EQ(kiv_test::count_open_fds(), open_before_) << "descriptors left open";
    r = Recorder{};
  }

  ScopedTempDir dir;
  std::string input_name = dir / "in";
  Recorder r;
  unique_pipeline pipeline;
  unique_file feed;  // the input pipe's stream, when a test makes one
  int err = -12345;
  Args t{"/bin/true"};

 private:
  std::string temp_base_;
  bool active_ = false;
  int open_before_ = 0;
};

constexpr const char input_text[] = "hello world\nfoo\n";
constexpr const char chain_output[] = "HELL0 W0RLD\nF00\n";

TEST_F(PexTest, ChainGivesTheSameBytesOverPipesAndTemporaryFiles) {
  struct Case {
    int flags;
    bool input_pipe;
  } cases[] = {{PEX_PIPES, true}, {PEX_PIPES, false}, {0, false}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.flags);
    SCOPED_TRACE(c.input_pipe);
    ScopedTempDir here;
    std::string input = here / "input";
    make(c.flags, here / "stage");
    FILE *in = c.input_pipe ? pex_open_input_pipe(p(), 0) : pex_open_input_file(p(), 0, input.c_str());
    ASSERT_NE(in, nullptr);
    fputs(input_text, in);
    if (c.input_pipe) fclose(in);  // the file stream is closed by the launch

    Args upper = sh("tr a-z A-Z"), copy{"cat"}, zero = sh("sed s/O/0/g");
    launch_ok(0, upper);
    launch_ok(PEX_USE_PATH, copy);
    launch_ok(0, zero);
    FILE *out = pex_open_output_reader(p(), 0);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(read_all(out), chain_output);
    int statuses[3] = {-1, -1, -1};
    EXPECT_EQ(pex_get_status(p(), 3, statuses), 1);
    for (int status : statuses) EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    finish();
    // The input file stays; the intermediate files are gone.
    EXPECT_EQ(kiv_test::list_dir(here.path()), c.input_pipe ? Names{} : Names{"input"});
  }
}

TEST_F(PexTest, TemporaryFilesAreRemovedUnlessKept) {
  for (int keep : {0, PEX_KEEP_TEMPS}) {
    SCOPED_TRACE(keep);
    ScopedTempDir here;
    std::string out = here / "out";
    make(keep, here / "t");
    Args one = sh("echo one"), copy{"/bin/cat"};
    launch_ok(0, one);
    ASSERT_EQ(launch(PEX_OUTNAME_IS_SUFFIX, copy, ".mid"), nullptr);
    launch_ok(PEX_FINAL, copy, out.c_str());
    // Each program over a file starts only after the ones before it ended.
    EXPECT_LT(r.position("wait_child", 1), r.position("spawn_child", 2));
    EXPECT_LT(r.position("wait_child", 2), r.position("spawn_child", 3));
    int statuses[3];
    EXPECT_EQ(pex_get_status(p(), 3, statuses), 1);
    finish();

    EXPECT_EQ(kiv_test::read_file(out), "one\n");
    Names left = kiv_test::list_dir(here.path());
    if (keep) {
      ASSERT_EQ(left.size(), 3u);
      EXPECT_EQ(left[0], "out");
      EXPECT_EQ(left[1], "t.mid");
      EXPECT_EQ(left[2].size(), 7u);  // "t" and six characters from mkstemps
      EXPECT_EQ(kiv_test::read_file(here / "t.mid"), "one\n");
      EXPECT_EQ(kiv_test::read_file(here / left[2]), "one\n");
    } else {
      EXPECT_EQ(left, Names{"out"});
    }
  }
}

// An input file that only the pipeline can name is its to remove; a name the
// caller gave is the caller's file.
TEST_F(PexTest, InputFilesThePipelineNamedAreRemoved) {
  std::string suffix = ".kiv-pex-test-" + std::to_string(getpid());
  struct Case {
    const char *what;
    int pipeline_flags;
    const char *base;  // in the scratch directory; null: none
    int flags;
    const char *name;  // in the scratch directory unless a suffix
    Names left;        // in the scratch directory afterwards, "in??????" standing for a made name
  } cases[] = {
      {"no name", 0, "in", 0, nullptr, {"out"}},
      {"a suffix without a base", 0, nullptr, PEX_OUTNAME_IS_SUFFIX, suffix.c_str(), {"out"}},
      {"a suffix with a base", 0, "in", PEX_OUTNAME_IS_SUFFIX, ".x", {"in.x", "out"}},
      {"the caller's own name", 0, "in", 0, "mine", {"mine", "out"}},
      {"no name, temporary files kept", PEX_KEEP_TEMPS, "in", 0, nullptr, {"in??????", "out"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ScopedTempDir here;
    make(c.pipeline_flags, c.base ? here / c.base : "");
    std::string name = c.name && !(c.flags & PEX_OUTNAME_IS_SUFFIX) ? here / c.name : "";
    FILE *in = pex_open_input_file(p(), c.flags, name.empty() ? c.name : name.c_str());
    ASSERT_NE(in, nullptr);
    fputs(input_text, in);
    Args copy{"/bin/cat"};
    launch_ok(PEX_FINAL, copy, (here / "out").c_str());
    int status;
    EXPECT_EQ(pex_get_status(p(), 1, &status), 1);
    finish();
    EXPECT_EQ(kiv_test::read_file(here / "out"), input_text);
    Names left = kiv_test::list_dir(here.path());
    for (std::string &n : left)
      if (n.size() == 8 && n.starts_with("in")) n = "in??????";
    EXPECT_EQ(left, c.left);
  }
  for (const std::string &n : kiv_test::list_dir(choose_temp_dir()))
    EXPECT_FALSE(n.ends_with(suffix)) << n;
}

TEST_F(PexTest, ReadersGetTheLastProgramsOutputAndError) {
  for (int flags : {PEX_PIPES, 0}) {
    SCOPED_TRACE(flags);
    make(flags, dir / "t");
    Args first = sh("echo first"), last = sh("cat; echo err >&2");
    launch_ok(0, first);
    launch_ok(PEX_STDERR_TO_PIPE, last);
    FILE *out = pex_open_output_reader(p(), 0);
    FILE *error = pex_open_error_reader(p(), 0);
    ASSERT_NE(out, nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(p()->output_reader, out);
    EXPECT_EQ(p()->error_reader, error);
    EXPECT_EQ(read_all(out), "first\n");
    EXPECT_EQ(read_all(error), "err\n");
    EXPECT_EQ(pex_open_error_reader(p(), 0), nullptr);  // taken already
    finish();                                           // closes both readers
  }
}

// Each reader stays readable when another is handed out, and pex_destroy
// closes them all.
TEST_F(PexTest, EveryReaderIsClosedByDestroy) {
  make(PEX_PIPES);
  Args e1 = sh("echo e1 >&2"), e2 = sh("echo e2 >&2");
  launch_ok(PEX_STDERR_TO_PIPE, e1);
  FILE *first = pex_open_error_reader(p(), 0);
  launch_ok(PEX_STDERR_TO_PIPE, e2);
  FILE *second = pex_open_error_reader(p(), 0);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(read_all(second), "e2\n");
  EXPECT_EQ(read_all(first), "e1\n");
  finish();

  make(0, dir / "t");
  Args o1 = sh("echo o1"), o2 = sh("echo o2");
  launch_ok(0, o1);
  first = pex_open_output_reader(p(), 0);
  launch_ok(0, o2);
  second = pex_open_output_reader(p(), 0);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(read_all(second), "o2\n");
  EXPECT_EQ(read_all(first), "o1\n");
}

// What /proc says descriptor fd of process pid is, or "" when it is closed.
std::string fd_target(const std::string &pid, int fd) {
  char target[256];
  ssize_t n = readlink(("/proc/" + pid + "/fd/" + std::to_string(fd)).c_str(), target, sizeof target);
  return n > 0 ? std::string(target, static_cast<size_t>(n)) : "";
}

TEST_F(PexTest, LaterChildrenDoNotInheritTheReaders) {
  struct stat st;
  if (stat("/proc/self/fd", &st) != 0) GTEST_SKIP() << "no /proc/self/fd to look at descriptors";
  for (int flags : {PEX_PIPES, 0}) {
    SCOPED_TRACE(flags);
    make(flags, dir / "t");
    Args both = sh("echo out; echo err >&2");
    launch_ok(PEX_STDERR_TO_PIPE, both);
    // With pipes the output reader would complete the pipeline.
    std::vector<FILE *> readers = {pex_open_error_reader(p(), 0)};
    if (!(flags & PEX_PIPES)) readers.push_back(pex_open_output_reader(p(), 0));
    // The last child writes what its own descriptors of the readers' numbers are.
    std::vector<std::string> reporter = {
        "/bin/sh", "-c", "for n; do readlink /proc/$$/fd/$n; done; exit 0", "sh"};
    std::vector<std::string> targets;
    for (FILE *reader : readers) {
      ASSERT_NE(reader, nullptr);
      reporter.push_back(std::to_string(fileno(reader)));
      targets.push_back(fd_target("self", fileno(reader)));
    }
    Args report(reporter);
    std::string report_file = dir / "report";
    launch_ok(PEX_FINAL, report, report_file.c_str());
    int statuses[2];
    EXPECT_EQ(pex_get_status(p(), 2, statuses), 1);
    finish();
    std::string seen = kiv_test::read_file(report_file);
    for (const std::string &target : targets)
      EXPECT_EQ(seen.find(target), std::string::npos) << target << " reached the child";
  }
}

TEST_F(PexTest, EnvironmentAndOutputFilesReachTheChild) {
  std::string out = dir / "out", errors = dir / "err";
  kiv_test::write_file(out, "old-out\n");
  kiv_test::write_file(errors, "old-err\n");
  char variable[] = "KIV_PEX_TEST=from-env";
  char *env[] = {variable, nullptr};
  Args script = sh("echo \"$KIV_PEX_TEST\"; echo e >&2");
  make(0);
  ASSERT_EQ(launch(PEX_FINAL | PEX_APPEND_OUT, script, out.c_str(), errors.c_str(), env), nullptr);
  int status;
  ASSERT_EQ(pex_get_status(p(), 1, &status), 1);
  finish();
  EXPECT_EQ(kiv_test::read_file(out), "old-out\nfrom-env\n");
  EXPECT_EQ(kiv_test::read_file(errors), "e\n");  // truncated without PEX_APPEND_ERR
}

// A launch that fails at one step: what it reports, which of the
// descriptors the backend made it closes, and what state it leaves.
struct LaunchFailure {
  const char *name;
  int pipeline_flags;
  const char *temp_base;  // in the scratch directory; null: none
  std::vector<Recorder::Failure> failures;
  void (*before)(PexTest &);  // what comes first; may be null
  int flags;
  const char *outname;  // in the scratch directory; null: none
  const char *errname;  // likewise
  const char *message;
  int err;
  std::vector<size_t> closed;  // by the launch: indices into what the backend made
  int spawns = 0;              // spawn_child calls in all
  bool complete_after = false;  // a later launch finds the pipeline complete
  void (*after)(PexTest &) = nullptr;
  const char *executable = "/bin/true";
};

// Names the row in the test's name and in failure messages.
void PrintTo(const LaunchFailure &row, std::ostream *out) { *out << row.name; }

class PexLaunchFailure : public PexTest, public testing::WithParamInterface<LaunchFailure> {};

const LaunchFailure launch_failures[] = {
    {.name = "ClosingTheInputFileFails",
     .before = [](PexTest &f) { close(fileno(f.input_file())); },  // fclose now fails
     .flags = PEX_FINAL, .message = "closing pipeline input file", .err = EBADF},
    {.name = "PipelineAlreadyComplete",
     .pipeline_flags = PEX_PIPES,
     .before = [](PexTest &f) { f.launch_ok(PEX_FINAL, f.t); },
     .message = "pipeline already complete", .err = 0, .spawns = 1},
    {.name = "WaitForAnEarlierChildFails",
     .temp_base = "t", .failures = {{"wait_child", 1, ECHILD}},
     .before = [](PexTest &f) { f.launch_ok(0, f.t); },
     .flags = PEX_FINAL, .message = "wait", .err = ECHILD, .spawns = 1},
    {.name = "PendingFileCannotBeOpened",
     .temp_base = "t", .failures = {{"open_for_read", 1, EACCES}},
     .before = [](PexTest &f) { f.launch_ok(0, f.t); },
     .flags = PEX_FINAL, .message = "open temporary file", .err = EACCES, .spawns = 1},
    // The read end of the input pipe is closed once, and never used again.
    {.name = "NoOutputPipe",
     .pipeline_flags = PEX_PIPES, .failures = {{"make_pipe", 2, EMFILE}},
     .before = [](PexTest &f) { f.feed.reset(pex_open_input_pipe(f.p(), 0)); },
     .message = "pipe", .err = EMFILE, .closed = {0}, .complete_after = true,
     .after = [](PexTest &f) { EXPECT_EQ(pex_open_output_reader(f.p(), 0), nullptr); }},
    {.name = "NoTemporaryName",
     .temp_base = "missing/t", .before = [](PexTest &f) { f.input_file(); },
     .message = "could not create temporary file", .err = 0, .closed = {0}},
    {.name = "FinalOutputCannotBeOpened",
     .before = [](PexTest &f) { f.input_file(); },
     .flags = PEX_FINAL, .outname = "missing/file", .message = "open temporary output file",
     .err = ENOENT, .closed = {0}, .complete_after = true},
    // The output pipe's write end is closed; its read end waits for pex_destroy.
    {.name = "ErrorNameAndErrorPipe",
     .pipeline_flags = PEX_PIPES, .flags = PEX_STDERR_TO_PIPE, .errname = "missing/file",
     .message = "both ERRNAME and PEX_STDERR_TO_PIPE specified.", .err = 0, .closed = {1}},
    {.name = "ErrorPipeWaitsForItsReader",
     .pipeline_flags = PEX_PIPES,
     .before = [](PexTest &f) { f.launch_ok(PEX_STDERR_TO_PIPE, f.t); },
     .message = "PEX_STDERR_TO_PIPE used in the middle of pipeline", .err = 0, .closed = {0, 5},
     .spawns = 1,
     .after =
         [](PexTest &f) {
           EXPECT_NE(pex_open_error_reader(f.p(), 0), nullptr);
           f.launch_ok(PEX_FINAL, f.t);
         }},
    {.name = "ErrorPipeWaitsForItsReaderEvenWithAnErrorName",
     .pipeline_flags = PEX_PIPES,
     .before = [](PexTest &f) { f.launch_ok(PEX_STDERR_TO_PIPE, f.t); },
     .errname = "missing/file", .message = "PEX_STDERR_TO_PIPE used in the middle of pipeline",
     .err = 0, .closed = {0, 5}, .spawns = 1,
     .after = [](PexTest &f) { EXPECT_EQ(f.r.count("open_for_write"), 0); }},
    {.name = "ErrorFileCannotBeOpened",
     .temp_base = "t", .before = [](PexTest &f) { f.input_file(); },
     .errname = "missing/file", .message = "open error file", .err = ENOENT, .closed = {0, 1}},
    {.name = "NoErrorPipe",
     .temp_base = "t", .failures = {{"make_pipe", 1, ENFILE}},
     .flags = PEX_STDERR_TO_PIPE, .message = "pipe", .err = ENFILE, .closed = {0}},
    // No child is counted: a status asked for reads as zero.
    {.name = "StartFails",
     .temp_base = "t", .before = [](PexTest &f) { f.input_file(); },
     .errname = "err", .message = "posix_spawn", .err = ENOENT, .closed = {0, 1, 2},
     .spawns = 1,
     .after =
         [](PexTest &f) {
           int status = -1;
           EXPECT_EQ(pex_get_status(f.p(), 1, &status), 1);
           EXPECT_EQ(status, 0);
         },
     .executable = "/nonexistent/program"},
    {.name = "StartOnTheParentsOwnDescriptorsFails",
     .failures = {{"spawn_child", 1, EAGAIN}},
     .flags = PEX_FINAL, .message = "posix_spawn", .err = EAGAIN, .spawns = 1},
    // The backend closed every descriptor it was handed; none is closed again.
    {.name = "ParentSideCloseFails",
     .temp_base = "t", .failures = {{"parent_close", 1, EIO}},
     .before = [](PexTest &f) { f.input_file(); },
     .errname = "err", .message = "close", .err = EIO, .spawns = 1},
};

INSTANTIATE_TEST_SUITE_P(Steps, PexLaunchFailure, testing::ValuesIn(launch_failures),
                         [](const testing::TestParamInfo<LaunchFailure> &info) {
                           return std::string(info.param.name);
                         });

TEST_P(PexLaunchFailure, ReportsItsStepAndClosesWhatItWasHanded) {
  const LaunchFailure &c = GetParam();
  bool real_start = std::string(c.executable) != "/bin/true";
  if (real_start && !kiv_test::spawn_reports_start_failure())
    GTEST_SKIP() << kiv_test::no_spawn_start_failure;
  make(c.pipeline_flags, c.temp_base ? dir / c.temp_base : "");
  for (const Recorder::Failure &failure : c.failures) r.fail(failure.op, failure.nth, failure.error);
  if (c.before) c.before(*this);

  size_t closed_before = r.closed.size();
  Args program{c.executable};
  std::string outname = c.outname ? dir / c.outname : "", errname = c.errname ? dir / c.errname : "";
  const char *message = launch(c.flags, program, c.outname ? outname.c_str() : nullptr,
                               c.errname ? errname.c_str() : nullptr);
  EXPECT_STREQ(message, c.message);
  EXPECT_EQ(err, c.err);
  std::vector<int> closed(r.closed.begin() + static_cast<long>(closed_before), r.closed.end());
  std::vector<int> expected;
  for (size_t i : c.closed) expected.push_back(r.opened.at(i));
  EXPECT_EQ(closed, expected) << "closed by the launch";
  EXPECT_EQ(r.count("spawn_child"), c.spawns);
  if (c.complete_after) {
    EXPECT_STREQ(launch(0, t), "pipeline already complete");
  }
  if (c.after) c.after(*this);
}

TEST(PexLaunch, PathSearchFailureNamesTheSpawnCall) {
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

TEST_F(PexTest, StatusesAreCopiedAndZeroFilled) {
  make(0);
  Args script = sh("exit 3");
  launch_ok(PEX_FINAL, script);
  int statuses[3] = {-1, -1, -1};
  EXPECT_EQ(pex_get_status(p(), 3, statuses), 1);
  EXPECT_TRUE(WIFEXITED(statuses[0]) && WEXITSTATUS(statuses[0]) == 3);
  EXPECT_EQ(statuses[1], 0);
  EXPECT_EQ(statuses[2], 0);
  int untouched = -1;
  EXPECT_EQ(pex_get_status(p(), 0, &untouched), 1);
  EXPECT_EQ(untouched, -1);
  pex_child_times times[1];
  EXPECT_EQ(pex_get_child_times(p(), 1, times), 0);  // no times were kept
}

TEST_F(PexTest, TimesAreKeptOnRequest) {
  make(PEX_KEEP_TIMES | PEX_PIPES);
  pex_child_times times[3];
  EXPECT_EQ(pex_get_child_times(p(), 0, times), 0);  // no collection has kept any yet
  launch_ok(0, t);
  launch_ok(PEX_FINAL, t);
  memset(times, 0xff, sizeof times);
  EXPECT_EQ(pex_get_child_times(p(), 3, times), 1);
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
}

TEST_F(PexTest, AFailedWaitIsNotRepeated) {
  make(0);
  r.fail("wait_child", 1, EINTR);
  launch_ok(PEX_FINAL, t);
  int status;
  EXPECT_EQ(pex_get_status(p(), 1, &status), 0);
  EXPECT_EQ(pex_get_status(p(), 1, &status), 1);
  EXPECT_EQ(r.count("wait_child"), 1);
  pipeline.reset();
  EXPECT_EQ(r.count("wait_child"), 1);
}

TEST_F(PexTest, InputRefusedOutOfOrder) {
  make(0);
  errno = 0;
  EXPECT_EQ(pex_open_input_pipe(p(), 0), nullptr);
  EXPECT_EQ(errno, EINVAL);
  launch_ok(PEX_FINAL, t);
  errno = 0;
  EXPECT_EQ(pex_open_input_file(p(), 0, "/nonexistent/x"), nullptr);
  EXPECT_EQ(errno, EINVAL);

  make(PEX_PIPES);
  feed.reset(pex_open_input_pipe(p(), 0));
  ASSERT_NE(feed, nullptr);
  errno = 0;
  EXPECT_EQ(pex_open_input_pipe(p(), 0), nullptr);
  EXPECT_EQ(errno, EINVAL);
}

// The descriptor count is checked when the fixture destroys the pipeline.
TEST_F(PexTest, AnInputFileNoLaunchTookIsClosedByDestroy) {
  make(0);
  input_file();
}

TEST_F(PexTest, AReaderThatCannotBeMadeLeavesNoDescriptor) {
  make(PEX_PIPES);
  r.fail("fdopen_read", 1, ENOMEM);
  r.fail("fdopen_read", 2, ENOMEM);
  launch_ok(PEX_STDERR_TO_PIPE, t);
  EXPECT_EQ(pex_open_output_reader(p(), 0), nullptr);
  EXPECT_EQ(pex_open_error_reader(p(), 0), nullptr);
  // Both ends are given up: closed here once, never again by pex_destroy.
  ASSERT_EQ(r.opened.size(), 4u);
  EXPECT_EQ(r.closed, (std::vector<int>{r.opened[0], r.opened[2]}));
  EXPECT_EQ(pex_open_output_reader(p(), 0), nullptr);
  EXPECT_EQ(pex_open_error_reader(p(), 0), nullptr);
}

TEST_F(PexTest, DestroyEndsAndReapsChildrenNeverWaitedFor) {
  Args sleeper{"sleep", "30"};
  // Never collected at all.
  make(PEX_PIPES);
  launch_ok(PEX_USE_PATH, sleeper);
  ASSERT_EQ(r.pids.size(), 1u);
  pid_t pid = r.pids[0];
  pipeline.reset();
  EXPECT_EQ(r.count("wait_child " + std::to_string(pid) + " done=1 times=0"), 1);
  EXPECT_TRUE(reaped(pid));
  finish();

  // Launched after a collection, with times kept for the earlier child only.
  make(PEX_KEEP_TIMES, dir / "t");
  launch_ok(0, t);
  launch_ok(PEX_USE_PATH, sleeper);
  ASSERT_EQ(r.pids.size(), 2u);
  pid = r.pids[1];
  EXPECT_EQ(r.count("wait_child"), 1);  // the first, before the second started
  pipeline.reset();
  EXPECT_EQ(r.count("wait_child " + std::to_string(pid) + " done=1 times=0"), 1);
  EXPECT_TRUE(reaped(pid));
  finish();
  EXPECT_TRUE(kiv_test::list_dir(dir.path()).empty());
}

TEST(PexPipeline, HundredPipelinesLeakNoDescriptor) {
  int before = kiv_test::count_open_fds();
  Args t{"true"}, nowhere{"/nonexistent/program"};
  for (int i = 0; i < 100; ++i) {
    unique_pipeline p{pex_create(i % 2 ? PEX_PIPES : 0, "pex_test", nullptr)};
    int err;
    if (i % 2) fclose(pex_open_input_pipe(p.get(), 0));
    ASSERT_EQ(pex_launch(p.get(), PEX_USE_PATH | PEX_STDERR_TO_PIPE, t.program(), t.get(), nullptr,
                         nullptr, &err),
              nullptr);
    ASSERT_NE(pex_open_error_reader(p.get(), 0), nullptr);
    const char *message =
        pex_launch(p.get(), 0, nowhere.program(), nowhere.get(), nullptr, nullptr, &err);
    if (kiv_test::spawn_reports_start_failure()) {
      EXPECT_STREQ(message, "posix_spawn");
    }
    ASSERT_NE(pex_open_output_reader(p.get(), 0), nullptr);
  }
  EXPECT_EQ(kiv_test::count_open_fds(), before);
}

TEST(PexMakeTempName, NamesForEachCase) {
  ScopedTempDir dir;
  std::string base = dir / "base";
  unique_pipeline with_base{pex_create(0, "pex_test", base.c_str())};
  unique_pipeline no_base{pex_create(0, "pex_test", nullptr)};
  const char given[] = "given.o";

  EXPECT_EQ(pex_make_temp_name(no_base.get(), 0, given), given);  // the same pointer

  unique_cstr joined{pex_make_temp_name(with_base.get(), PEX_OUTNAME_IS_SUFFIX, ".s")};
  EXPECT_EQ(std::string(joined.get()), base + ".s");
  EXPECT_FALSE(kiv_test::file_exists(joined.get()));  // no file for a joined name

  for (const char *suffix : {".s", static_cast<const char *>(nullptr)}) {
    unique_cstr made{suffix ? pex_make_temp_name(no_base.get(), PEX_OUTNAME_IS_SUFFIX, suffix)
                            : pex_make_temp_name(no_base.get(), 0, nullptr)};
    std::string name = made.get();
    EXPECT_TRUE(kiv_test::file_exists(name));
    if (suffix) {
      EXPECT_TRUE(name.ends_with(".s"));
    }
    EXPECT_EQ(unlink(made.get()), 0);
  }
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
    unique_pipeline p{pex_create(0, "pex_test", k.base)};
    std::optional<std::string> made = kiv_test::take_string(pex_make_temp_name(p.get(), 0, nullptr));
    ASSERT_TRUE(made) << k.base;
    EXPECT_EQ(made->size(), k.length) << k.base;
    EXPECT_EQ(made->compare(0, k.length - 6, k.base, k.length - 6), 0) << k.base << " " << *made;
    EXPECT_TRUE(kiv_test::file_exists(*made));
    EXPECT_EQ(kiv_test::read_file(*made), "");
  }
  in_dir.reset();
  EXPECT_EQ(kiv_test::list_dir(dir.path()).size(), 4u);

  std::string unusable = dir / "missing/abc";
  unique_pipeline p{pex_create(0, "pex_test", unusable.c_str())};
  EXPECT_EQ(pex_make_temp_name(p.get(), 0, nullptr), nullptr);
}

}  // namespace
