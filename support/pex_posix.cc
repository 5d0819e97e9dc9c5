#include "pex_posix.h"

#include "kiv_platform.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "handles.h"

extern "C" char **environ;

namespace {

// A posix_spawn set-up object, initialised on construction and destroyed
// (when the set-up worked) on scope exit.
template <typename T, int (*init)(T *), int (*destroy)(T *)>
struct spawn_object {
  spawn_object() : init_result(init(&value)) {}
  ~spawn_object() {
    if (init_result == 0) destroy(&value);
  }
  spawn_object(const spawn_object &) = delete;
  spawn_object &operator=(const spawn_object &) = delete;

  T value;
  int init_result;
};
using spawn_attributes =
    spawn_object<posix_spawnattr_t, posix_spawnattr_init, posix_spawnattr_destroy>;
using spawn_file_actions = spawn_object<posix_spawn_file_actions_t, posix_spawn_file_actions_init,
                                        posix_spawn_file_actions_destroy>;

pid_t wait_for(pid_t pid, int *status) {
  pid_t r;
  do {
    r = waitpid(pid, status, 0);
  } while (r < 0 && errno == EINTR);
  return r;
}

int posix_open_for_read(pex_pipeline *, const char *name, int) { return open(name, O_RDONLY); }

int posix_open_for_write(pex_pipeline *, const char *name, int, int append) {
  return open(name, O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC), 0666);
}

// Returns the name of the call that could not add its action, with its
// result in *err, or null when every action was added.
const char *add_file_actions(posix_spawn_file_actions_t *actions, int flags, int in, int out,
                             int errdes, int toclose, int *err) {
  const int fds[3] = {in, out, errdes};
  for (int target = 0; target < 3; ++target) {
    int fd = fds[target];
    if (fd == target) continue;
    if ((*err = posix_spawn_file_actions_adddup2(actions, fd, target)) != 0)
      return "posix_spawn_file_actions_adddup2";
    if ((*err = posix_spawn_file_actions_addclose(actions, fd)) != 0)
      return "posix_spawn_file_actions_addclose";
  }
  if (toclose >= 0 && (*err = posix_spawn_file_actions_addclose(actions, toclose)) != 0)
    return "posix_spawn_file_actions_addclose";
  if ((flags & PEX_MERGE_STDERR) && (*err = posix_spawn_file_actions_adddup2(actions, 1, 2)) != 0)
    return "posix_spawn_file_actions_adddup2";
  return nullptr;
}

// Starts the child; the attribute and file-action objects live only for the
// start. -1 with *message and *err set on failure.
pid_t start_child(int flags, const char *executable, char *const *argv, char *const *env, int in,
                  int out, int errdes, int toclose, const char **message, int *err) {
  spawn_attributes attributes;
  if (attributes.init_result != 0) {
    *err = attributes.init_result;
    *message = "posix_spawnattr_init";
    return -1;
  }
  spawn_file_actions actions;
  if (actions.init_result != 0) {
    *err = actions.init_result;
    *message = "posix_spawn_file_actions_init";
    return -1;
  }
  if (const char *failed = add_file_actions(&actions.value, flags, in, out, errdes, toclose, err)) {
    *message = failed;
    return -1;
  }

  if (!env) env = environ;
  pid_t pid = -1;
  bool use_path = (flags & PEX_USE_PATH) != 0;
  int r = use_path ? posix_spawnp(&pid, executable, &actions.value, &attributes.value, argv, env)
                   : posix_spawn(&pid, executable, &actions.value, &attributes.value, argv, env);
  if (r != 0) {
    *err = r;
    *message = use_path ? "posix_spawnp" : "posix_spawn";
    return -1;
  }
  return pid;
}

pid_t posix_spawn_child(pex_pipeline *, int flags, const char *executable, char *const *argv,
                  char *const *env, int in, int out, int errdes, int toclose, const char **message,
                  int *err) {
  *err = 0;
  pid_t pid = start_child(flags, executable, argv, env, in, out, errdes, toclose, message, err);
  if (pid < 0) return -1;

  // Each copy is closed once, also after a close that failed: a failed close
  // has released the descriptor all the same, and a second one could close
  // a descriptor that someone else has opened under that number meanwhile.
  const int fds[3] = {in, out, errdes};
  int close_error = 0;
  for (int target = 0; target < 3; ++target) {
    if (fds[target] != target && close(fds[target]) != 0 && close_error == 0) close_error = errno;
  }
  if (close_error != 0) {
    *err = close_error;
    *message = "close";
    // The caller gets no process id for this child, so it is ended and
    // reaped here rather than left running or as a zombie.
    kill(pid, SIGTERM);
    int status;
    wait_for(pid, &status);
    return PEX_SPAWN_FDS_CLOSED;
  }
  return pid;
}

int posix_close_fd(pex_pipeline *, int fd) { return close(fd); }

int posix_wait_child(pex_pipeline *, pid_t pid, int *status, pex_child_times *times, int done,
               const char **message, int *err) {
  if (done) kill(pid, SIGTERM);

  pid_t r;
  if (times) {
#if KIV_HAVE_WAIT4
    struct rusage usage;
    do {
      r = wait4(pid, status, 0, &usage);
    } while (r < 0 && errno == EINTR);
    if (r >= 0) {
      times->user_seconds = usage.ru_utime.tv_sec;
      times->user_microseconds = usage.ru_utime.tv_usec;
      times->system_seconds = usage.ru_stime.tv_sec;
      times->system_microseconds = usage.ru_stime.tv_usec;
    }
#else
    // No per-child resource usage without wait4: the times read as zero.
    r = wait_for(pid, status);
    if (r >= 0) *times = pex_child_times{};
#endif
  } else {
    r = wait_for(pid, status);
  }
  if (r < 0) {
    *err = errno;
    *message = "wait";
    return -1;
  }
  return 0;
}

// A pipe's ends reach a child only through the file actions, which dup2
// them onto 0, 1 or 2, where close-on-exec does not carry over.
int posix_make_pipe(pex_pipeline *, int *fds, int) {
  if (pipe(fds) != 0) return -1;
  unique_fd read_end{fds[0]}, write_end{fds[1]};
  if (!keep_from_children(fds[0]) || !keep_from_children(fds[1])) return -1;
  read_end.release();
  write_end.release();
  return 0;
}

FILE *posix_fdopen_read(pex_pipeline *, int fd, int) { return fdopen(fd, "r"); }

FILE *posix_fdopen_write(pex_pipeline *, int fd, int) {
  // No child started later may inherit the write end of the input pipe.
  if (fcntl(fd, F_SETFD, FD_CLOEXEC) < 0) return nullptr;
  return fdopen(fd, "w");
}

void posix_backend_cleanup(pex_pipeline *) {}

}  // namespace

constexpr pex_backend_ops posix_spawn_backend = {
    posix_open_for_read, posix_open_for_write, posix_spawn_child, posix_close_fd,
    posix_wait_child,    posix_make_pipe,      posix_fdopen_read, posix_fdopen_write,
    posix_backend_cleanup,
};

pex_pipeline *pex_create(int flags, const char *program_name, const char *temp_base) {
  return pex_create_with_ops(flags, program_name, temp_base, &posix_spawn_backend);
}

const char *pex_run_single(int flags, const char *executable, char *const *argv,
                           const char *program_name, const char *outname, const char *errname,
                           int *status, int *err) {
  unique_pipeline p{pex_create(0, program_name, nullptr)};
  return pex_run_in(p.get(), flags, executable, argv, outname, errname, status, err);
}
