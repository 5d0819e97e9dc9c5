#include "bench_util.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "c_api_helpers.h"

extern char **environ;

namespace bench {

namespace {

// The scratch directory to remove when a benchmark gives up, and the process
// that made it: a forked helper that fails leaves it to its parent.
std::string live_scratch;
pid_t scratch_owner = -1;

}  // namespace

void usage_error(const char *usage) {
  std::fputs(usage, stderr);
  std::exit(2);
}

void parse_options(int argc, char **argv, std::initializer_list<option_target> targets,
                   const char *usage) {
  for (int i = 1; i < argc; i += 2) {
    if (i + 1 >= argc) usage_error(usage);
    const option_target *target = nullptr;
    for (const option_target &t : targets)
      if (std::strcmp(argv[i], t.name) == 0) target = &t;
    if (!target) usage_error(usage);
    if (target->text)
      *target->text = argv[i + 1];
    else
      *target->number = std::atoi(argv[i + 1]);
  }
}

void fail(const std::string &message) {
  std::fprintf(stderr, "bench: %s\n", message.c_str());
  if (!live_scratch.empty() && getpid() == scratch_owner) {
    std::error_code ignored;
    std::filesystem::remove_all(live_scratch, ignored);
  }
  std::exit(2);
}

double now_seconds() {
  timespec ts;
  if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) fail(std::string("clock_gettime: ") + strerror(errno));
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t mid = values.size() / 2;
  return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

scratch_dir::scratch_dir(const char *tag) {
  const char *base = std::getenv("TMPDIR");
  if (!base || !*base) base = "/tmp";
  std::string name = std::string(base) + "/kiv-bench-" + tag + "-XXXXXX";
  if (!mkdtemp(name.data())) fail("mkdtemp " + name + ": " + strerror(errno));
  path_ = name;
  live_scratch = path_;
  scratch_owner = getpid();
}

scratch_dir::~scratch_dir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
  live_scratch.clear();
}

void write_file(const std::string &path, const std::string &content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  out.close();
  if (!out) fail("cannot write " + path);
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) fail("cannot read " + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void copy_file(const std::string &from, const std::string &to, mode_t mode) {
  write_file(to, read_file(from));
  if (chmod(to.c_str(), mode) != 0) fail("chmod " + to + ": " + strerror(errno));
}

std::string absolute_path(const std::string &path) {
  char resolved[PATH_MAX];
  if (!realpath(path.c_str(), resolved)) fail(path + ": " + strerror(errno));
  return resolved;
}

std::string find_in_path(const std::string &name) {
  const char *path = std::getenv("PATH");
  if (!path) return "";
  std::istringstream dirs(path);
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    // An empty element stands for the current directory.
    std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
    struct stat st;
    if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        access(candidate.c_str(), X_OK) == 0)
      return candidate;
  }
  return "";
}

namespace {

struct spawn_actions {
  posix_spawn_file_actions_t actions;
  spawn_actions() {
    if (int err = posix_spawn_file_actions_init(&actions))
      fail(std::string("posix_spawn_file_actions_init: ") + strerror(err));
  }
  ~spawn_actions() { posix_spawn_file_actions_destroy(&actions); }
};

int wait_for(pid_t pid) {
  int status;
  while (waitpid(pid, &status, 0) == -1) {
    if (errno != EINTR) fail(std::string("waitpid: ") + strerror(errno));
  }
  return status;
}

}  // namespace

timed_run run_timed(const std::vector<std::string> &argv, const std::string &stdout_path) {
  kiv_test::Args args(argv);
  spawn_actions file_actions;
  if (!stdout_path.empty()) {
    if (int err = posix_spawn_file_actions_addopen(&file_actions.actions, STDOUT_FILENO,
                                                   stdout_path.c_str(),
                                                   O_WRONLY | O_CREAT | O_TRUNC, 0644))
      fail(std::string("posix_spawn_file_actions_addopen: ") + strerror(err));
  }
  double start = now_seconds();
  pid_t pid;
  if (int err = posix_spawn(&pid, args.program(), &file_actions.actions, nullptr, args.get(), environ))
    fail("cannot start " + argv[0] + ": " + strerror(err));
  int status = wait_for(pid);
  return {status, now_seconds() - start};
}

int run(const std::vector<std::string> &argv, const std::string &stdout_path) {
  return run_timed(argv, stdout_path).status;
}

std::string describe_status(int status) {
  if (WIFEXITED(status)) return "exited with " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
  return "wait status " + std::to_string(status);
}

}  // namespace bench
