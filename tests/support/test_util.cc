#include "test_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kiv_test {

ScopedTempDir::ScopedTempDir(const std::string &tag) {
  const char *base = std::getenv("TMPDIR");
  path_ = std::string(base && *base ? base : "/tmp") + "/kiv-" + tag + "-XXXXXX";
  if (!mkdtemp(path_.data())) throw std::runtime_error("mkdtemp " + path_ + ": " + strerror(errno));
}

ScopedTempDir::~ScopedTempDir() { remove_tree(path_); }

void write_file(const std::string &path, const std::string &content, int mode) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
  if (fd < 0) throw std::runtime_error("cannot create " + path + ": " + strerror(errno));
  size_t done = 0;
  while (done < content.size()) {
    ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      close(fd);
      throw std::runtime_error("cannot write " + path);
    }
    done += static_cast<size_t>(n);
  }
  close(fd);
  if (chmod(path.c_str(), mode) != 0) throw std::runtime_error("cannot chmod " + path);
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool file_exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

void make_dir(const std::string &path) {
  std::string partial;
  std::stringstream parts(path);
  std::string piece;
  if (!path.empty() && path[0] == '/') partial = "/";
  while (std::getline(parts, piece, '/')) {
    if (piece.empty()) continue;
    partial += piece + "/";
    if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST)
      throw std::runtime_error("cannot create directory " + partial);
  }
}

void remove_tree(const std::string &path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    // A test may have taken our permissions away; if this fails, so does
    // the removal, which is all that is left to do.
    chmod(path.c_str(), 0700);
    for (const std::string &name : list_dir(path)) remove_tree(path + "/" + name);
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

std::vector<std::string> list_dir(const std::string &path) {
  std::vector<std::string> names;
  DIR *dir = opendir(path.c_str());
  if (!dir) return names;
  while (dirent *e = readdir(dir)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

std::string real_path(const std::string &path) {
  char *resolved = realpath(path.c_str(), nullptr);
  if (!resolved) throw std::runtime_error(path + ": " + strerror(errno));
  std::string result = resolved;
  free(resolved);
  return result;
}

std::string find_in_path(const std::string &name) {
  const char *value = std::getenv("PATH");
  if (!value) return "";
  const std::string path = value, here = std::filesystem::current_path();
  for (size_t start = 0, end; start <= path.size(); start = end + 1) {
    end = std::min(path.find(':', start), path.size());
    std::string dir = path.substr(start, end - start);
    if (dir.empty() || dir[0] != '/') dir = here + (dir.empty() ? "" : "/" + dir);
    std::string candidate = dir + "/" + name;
    struct stat st;
    if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        access(candidate.c_str(), X_OK) == 0)
      return candidate;
  }
  return "";
}

int RunResult::exit_code() const { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }
int RunResult::term_signal() const { return WIFSIGNALED(status) ? WTERMSIG(status) : 0; }

RunResult run_program(const std::string &path, const std::vector<std::string> &argv,
                      const RunOptions &options) {
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0 || pipe(err_pipe) != 0)
    throw std::runtime_error("pipe failed");
  std::vector<char *> args;
  for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);

  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
      close(fd);
    for (const std::string &name : options.env_unset) unsetenv(name.c_str());
    for (const std::string &entry : options.env_set) {
      size_t eq = entry.find('=');
      setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1);
    }
    if (options.core_dumps) {
      struct rlimit lim = {RLIM_INFINITY, RLIM_INFINITY};
      if (setrlimit(RLIMIT_CORE, &lim) != 0) {
        getrlimit(RLIMIT_CORE, &lim);
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_CORE, &lim);
      }
    } else {
      struct rlimit lim = {0, 0};
      getrlimit(RLIMIT_CORE, &lim);
      lim.rlim_cur = 0;
      setrlimit(RLIMIT_CORE, &lim);
    }
    if (options.ignore_sigxfsz) signal(SIGXFSZ, SIG_IGN);
    if (options.file_size_limit >= 0) {
      rlimit lim = {static_cast<rlim_t>(options.file_size_limit),
                    static_cast<rlim_t>(options.file_size_limit)};
      if (setrlimit(RLIMIT_FSIZE, &lim) != 0) _exit(126);
    }
    // Not the tests' own choice of ignoring it: a program's default.
    signal(SIGPIPE, SIG_DFL);
    if (options.ignore_sigchld) signal(SIGCHLD, SIG_IGN);
    if (options.stderr_reader_gone) {
      int gone[2];
      if (pipe(gone) != 0 || dup2(gone[1], 2) < 0) _exit(126);
      close(gone[0]);
      close(gone[1]);
    }
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    execv(path.c_str(), args.data());
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);

  // A child that stops reading early must not take the test down with it.
  signal(SIGPIPE, SIG_IGN);
  RunResult result;
  size_t written = 0;
  int in_fd = in_pipe[1];
  if (options.input.empty()) {
    close(in_fd);
    in_fd = -1;
  } else {
    fcntl(in_fd, F_SETFL, O_NONBLOCK);
  }
  int open_readers = 2;
  char buf[65536];
  while (open_readers > 0 || in_fd >= 0) {
    pollfd fds[3] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}, {in_fd, POLLOUT, 0}};
    if (poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        (i == 0 ? out_pipe[0] : err_pipe[0]) = -1;
        --open_readers;
      }
    }
    if (in_fd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t n = write(in_fd, options.input.data() + written, options.input.size() - written);
      if (n > 0) written += static_cast<size_t>(n);
      if ((n < 0 && errno != EAGAIN && errno != EINTR) || written == options.input.size()) {
        close(in_fd);
        in_fd = -1;
      }
    }
  }
  while (waitpid(pid, &result.status, 0) < 0 && errno == EINTR) {
  }
  return result;
}

std::string refusal_of(const std::vector<std::string> &argv) {
  if (geteuid() != 0) return "not root";
  RunResult r = run_program(argv[0], argv);
  return r.exit_code() == 0 ? "" : argv[0] + ": " + (r.err.empty() ? "failed" : r.err);
}

int count_open_fds() {
  for (const char *dir_name : {"/proc/self/fd", "/dev/fd"}) {
    DIR *dir = opendir(dir_name);
    if (!dir) continue;
    int count = 0;
    while (dirent *e = readdir(dir)) {
      if (e->d_name[0] != '.') ++count;
    }
    closedir(dir);
    return count - 1;  // the directory stream's own descriptor
  }
  // No descriptor directory: probe the descriptor table instead.
  int count = 0;
  for (int fd = 0; fd < 1024; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) ++count;
  }
  return count;
}

std::vector<std::string> split_at_nul(std::string_view data) {
  std::vector<std::string> pieces;
  size_t start = 0;
  for (size_t nul; (nul = data.find('\0', start)) != std::string_view::npos; start = nul + 1)
    pieces.emplace_back(data.substr(start, nul - start));
  pieces.emplace_back(data.substr(start));
  return pieces;
}

void write_script(const std::string &path, const std::string &body) {
  write_file(path, "#!/bin/sh\n" + body, 0755);
}

bool spawn_reports_start_failure() {
  static const bool reports = [] {
    char name[] = "/nonexistent/kiv-spawn-probe";
    char *const argv[] = {name, nullptr};
    char *const env[] = {nullptr};
    pid_t pid;
    if (posix_spawn(&pid, name, nullptr, nullptr, argv, env) != 0) return true;
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return false;
  }();
  return reports;
}

}  // namespace kiv_test
