#include "pex_posix.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "c_api_helpers.h"
#include "test_util.h"

namespace {

int fail_next_close_of = -1;
std::vector<int> *close_log = nullptr;

}  // namespace

// Lets a test make the parent-side close of one descriptor fail after it was
// released, as a close interrupted by a signal may, and see every close the
// backend makes meanwhile; otherwise it is the C library's close.
extern "C" int close(int fd) {
  using close_function = int (*)(int);
  static close_function next = reinterpret_cast<close_function>(dlsym(RTLD_NEXT, "close"));
  int result = next(fd);
  if (close_log) close_log->push_back(fd);
  if (fd == fail_next_close_of) {
    fail_next_close_of = -1;
    errno = EIO;
    return -1;
  }
  return result;
}

namespace {

using kiv_test::ScopedTempDir;
const pex_backend_ops &ops = posix_spawn_backend;

using kiv_test::Args;
using kiv_test::sh;

bool is_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

// A pipe whose ends no child inherits unless a file action hands them over.
void cloexec_pipe(int fds[2]) {
  ASSERT_EQ(pipe(fds), 0);
  for (int i = 0; i < 2; ++i) ASSERT_EQ(fcntl(fds[i], F_SETFD, FD_CLOEXEC), 0);
}

std::string read_fd(int fd) {
  std::string text;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  return text;
}

int wait_for(pid_t pid) {
  int status = -1;
  const char *message = nullptr;
  int err = 0;
  EXPECT_EQ(ops.wait_child(nullptr, pid, &status, nullptr, 0, &message, &err), 0);
  return status;
}

TEST(PosixSpawnBackend, ChildOnTheParentsStandardDescriptors) {
  ScopedTempDir dir;
  std::string log = dir / "log";
  // In a process of its own, whose 1 and 2 go to a file, so that what the
  // child inherits unchanged can be seen.
  pid_t helper = fork();
  ASSERT_GE(helper, 0);
  if (helper == 0) {
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || dup2(fd, 1) < 0 || dup2(fd, 2) < 0 || close(fd) != 0) _exit(10);
    Args script = sh("echo out; echo err >&2");
    const char *message = nullptr;
    int err = -1;
    pid_t pid = ops.spawn_child(nullptr, 0, script.program(), script.get(), nullptr, 0, 1, 2, -1,
                                &message, &err);
    if (pid < 0 || err != 0) _exit(11);
    int status;
    if (ops.wait_child(nullptr, pid, &status, nullptr, 0, &message, &err) != 0) _exit(12);
    _exit(is_open(0) && is_open(1) && is_open(2) && WIFEXITED(status) ? 0 : 13);
  }
  int status;
  ASSERT_EQ(waitpid(helper, &status, 0), helper);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(kiv_test::read_file(log), "out\nerr\n");
}

TEST(PosixSpawnBackend, MergedStandardErrorGoesWithTheOutput) {
  int out[2];
  cloexec_pipe(out);
  Args script = sh("echo out; echo err >&2");
  const char *message = nullptr;
  int err = -1;
  pid_t pid = ops.spawn_child(nullptr, PEX_MERGE_STDERR, script.program(), script.get(), nullptr, 0,
                              out[1], 2, -1, &message, &err);
  ASSERT_GT(pid, 0) << message;
  EXPECT_EQ(err, 0);
  EXPECT_FALSE(is_open(out[1]));  // closed in the parent
  EXPECT_EQ(read_fd(out[0]), "out\nerr\n");
  close(out[0]);
  int status = wait_for(pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(PosixSpawnBackend, DescriptorsBecomeTheChildsOwnAndLeaveTheParent) {
  // Single digits: the shell cannot name higher descriptors.
  if (is_open(5) || is_open(6) || is_open(7)) GTEST_SKIP() << "descriptors 5 to 7 are taken";
  // All ends are first moved out of the way of 5 and 6.
  int in[2], out[2], spare[2];
  cloexec_pipe(in);
  cloexec_pipe(out);
  cloexec_pipe(spare);
  for (int *fd : {&in[0], &in[1], &out[0], &out[1], &spare[0], &spare[1]}) {
    int high = fcntl(*fd, F_DUPFD_CLOEXEC, 20);
    ASSERT_GE(high, 20);
    close(*fd);
    *fd = high;
  }
  ASSERT_EQ(dup2(in[0], 5), 5);
  close(in[0]);
  ASSERT_EQ(dup2(out[1], 6), 6);
  close(out[1]);
  ASSERT_EQ(dup2(spare[0], 7), 7);  // inherited unless closed by an action
  close(spare[0]);
  spare[0] = 7;
  // The shell reports each of the three descriptors that is open in the child.
  Args args = sh("cat; for fd in 5 6 7; do (true >&$fd) 2>/dev/null && echo open $fd; done; :");
  const char *message = nullptr;
  int err = -1;
  pid_t pid = ops.spawn_child(nullptr, 0, args.program(), args.get(), nullptr, 5, 6, 2, spare[0],
                              &message, &err);
  ASSERT_GT(pid, 0) << message;
  EXPECT_FALSE(is_open(5));
  EXPECT_FALSE(is_open(6));
  EXPECT_TRUE(is_open(spare[0]));  // closed in the child only
  close(spare[1]);
  ASSERT_EQ(write(in[1], "data\n", 5), 5);
  close(in[1]);
  std::string seen = read_fd(out[0]);
  close(out[0]);
  close(spare[0]);
  EXPECT_EQ(seen, "data\n");  // neither 5, 6 nor the extra descriptor was open in the child
  int status = wait_for(pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(PosixSpawnBackend, FailedStartNamesTheCallAndClosesNothing) {
  if (!kiv_test::spawn_reports_start_failure()) GTEST_SKIP() << kiv_test::no_spawn_start_failure;
  int out[2];
  cloexec_pipe(out);
  struct Case {
    int flags;
    const char *executable;
    const char *message;
  } cases[] = {
      {0, "/nonexistent/program", "posix_spawn"},
      {0, "sh", "posix_spawn"},  // no path search without PEX_USE_PATH
      {PEX_USE_PATH, "kiv-no-such-program", "posix_spawnp"},
  };
  for (const Case &k : cases) {
    Args args{k.executable};
    const char *message = nullptr;
    int err = 0;
    EXPECT_EQ(ops.spawn_child(nullptr, k.flags, k.executable, args.get(), nullptr, out[0], out[1],
                              2, -1, &message, &err),
              -1);
    EXPECT_STREQ(message, k.message) << k.executable;
    EXPECT_EQ(err, ENOENT) << k.executable;
    EXPECT_TRUE(is_open(out[0]));
    EXPECT_TRUE(is_open(out[1]));
  }
  close(out[0]);
  close(out[1]);
}

TEST(PosixSpawnBackend, AFailedParentCloseStillClosesEachCopyOnceAndReapsTheChild) {
  int in[2], out[2], errors[2];
  cloexec_pipe(in);
  cloexec_pipe(out);
  cloexec_pipe(errors);
  Args sleeper{"sleep", "30"};
  const char *message = nullptr;
  int err = 0;
  std::vector<int> closes;
  close_log = &closes;
  fail_next_close_of = out[1];
  EXPECT_EQ(ops.spawn_child(nullptr, PEX_USE_PATH, sleeper.program(), sleeper.get(), nullptr,
                            in[0], out[1], errors[1], -1, &message, &err),
            PEX_SPAWN_FDS_CLOSED);
  close_log = nullptr;
  EXPECT_STREQ(message, "close");
  EXPECT_EQ(err, EIO);
  EXPECT_EQ(closes, (std::vector<int>{in[0], out[1], errors[1]}));
  int status;
  errno = 0;
  EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1);  // no child left, not even a zombie
  EXPECT_EQ(errno, ECHILD);
  for (int fd : {in[1], out[0], errors[0]}) close(fd);
}

TEST(PosixSpawnBackend, WaitWithTheDoneFlag) {
  Args quick{"/bin/true"}, sleeper{"sleep", "30"};
  const char *message = nullptr;
  int err = 0;
  pid_t ended = ops.spawn_child(nullptr, 0, quick.program(), quick.get(), nullptr, 0, 1, 2, -1,
                                &message, &err);
  ASSERT_GT(ended, 0);
  siginfo_t info;
  ASSERT_EQ(waitid(P_PID, static_cast<id_t>(ended), &info, WEXITED | WNOWAIT), 0);  // not reaped
  int status = -1;
  EXPECT_EQ(ops.wait_child(nullptr, ended, &status, nullptr, 1, &message, &err), 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);  // SIGTERM came too late

  pid_t running = ops.spawn_child(nullptr, PEX_USE_PATH, sleeper.program(), sleeper.get(), nullptr,
                                  0, 1, 2, -1, &message, &err);
  ASSERT_GT(running, 0);
  pex_child_times times = {-1, -1, -1, -1};
  EXPECT_EQ(ops.wait_child(nullptr, running, &status, &times, 1, &message, &err), 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
  EXPECT_GE(times.user_seconds, 0);
  EXPECT_GE(times.user_microseconds, 0);
  EXPECT_GE(times.system_seconds, 0);
  EXPECT_GE(times.system_microseconds, 0);

  message = nullptr;
  err = 0;
  EXPECT_EQ(ops.wait_child(nullptr, running, &status, nullptr, 0, &message, &err), -1);
  EXPECT_STREQ(message, "wait");
  EXPECT_EQ(err, ECHILD);
}

TEST(PosixSpawnBackend, OpenForWriteTruncatesOrAppends) {
  ScopedTempDir dir;
  std::string name = dir / "file";
  kiv_test::write_file(name, "old\n");
  for (int append : {1, 0}) {
    int fd = ops.open_for_write(nullptr, name.c_str(), 0, append);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "new\n", 4), 4);
    close(fd);
    EXPECT_EQ(kiv_test::read_file(name), append ? "old\nnew\n" : "new\n");
  }

  mode_t old_mask = umask(022);
  std::string created = dir / "created";
  int fd = ops.open_for_write(nullptr, created.c_str(), 1, 0);
  umask(old_mask);
  ASSERT_GE(fd, 0);
  close(fd);
  struct stat st;
  ASSERT_EQ(stat(created.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);

  fd = ops.open_for_read(nullptr, name.c_str(), 1);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(read_fd(fd), "new\n");
  close(fd);
  errno = 0;
  EXPECT_EQ(ops.open_for_read(nullptr, (dir / "missing").c_str(), 0), -1);
  EXPECT_EQ(errno, ENOENT);
}

TEST(PosixSpawnBackend, PipesAndStreams) {
  int fds[2];
  ASSERT_EQ(ops.make_pipe(nullptr, fds, 1), 0);
  // Neither end reaches a child but through the file actions.
  for (int fd : fds) EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC) << fd;
  // The writer's descriptor is made close-on-exec whoever made it.
  ASSERT_EQ(fcntl(fds[1], F_SETFD, 0), 0);
  FILE *writer = ops.fdopen_write(nullptr, fds[1], 0);
  ASSERT_NE(writer, nullptr);
  EXPECT_EQ(fcntl(fds[1], F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
  FILE *reader = ops.fdopen_read(nullptr, fds[0], 0);
  ASSERT_NE(reader, nullptr);
  fputs("through\n", writer);
  fclose(writer);
  char line[32] = {};
  ASSERT_NE(fgets(line, sizeof line, reader), nullptr);
  EXPECT_STREQ(line, "through\n");
  fclose(reader);

  int closed = open("/dev/null", O_RDONLY);
  ASSERT_GE(closed, 0);
  EXPECT_EQ(ops.close_fd(nullptr, closed), 0);
  errno = 0;
  EXPECT_EQ(ops.fdopen_write(nullptr, closed, 0), nullptr);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(ops.close_fd(nullptr, closed), -1);

  ASSERT_NE(ops.backend_cleanup, nullptr);
  ops.backend_cleanup(nullptr);
}

}  // namespace
