#include "bench_util.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <stdexcept>

#include "c_api_helpers.h"
#include "test_util.h"

extern char **environ;

namespace bench {

int run_main(const std::function<int()> &body) {
  try {
    return body();
  } catch (const std::exception &e) {
    std::fprintf(stderr, "bench: %s\n", e.what());
    return 2;
  }
}

void fail(const std::string &message) { throw std::runtime_error(message); }

void usage_error(const char *usage) {
  std::fputs(usage, stderr);
  std::exit(2);
}

void parse_options(int argc, char **argv, const char *usage,
                   std::initializer_list<option_target> targets) {
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
  for (const option_target &t : targets)
    if (t.text ? t.required && t.text->empty() : *t.number < t.minimum) usage_error(usage);
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

void run_or_fail(const std::vector<std::string> &argv, const std::string &stdout_path) {
  int status = run(argv, stdout_path);
  if (status != 0) fail(argv[0] + " " + describe_status(status));
}

std::string required_program(const std::string &name) {
  std::string path = kiv_test::find_in_path(name);
  if (path.empty()) fail(name + " not found in PATH");
  return path;
}

void take_turns(std::span<variant> variants, int warmup, int rounds, int in_a_row) {
  for (int round = 0; round < warmup + rounds; ++round) {
    for (size_t k = 0; k < variants.size(); ++k) {
      variant &v = variants[(static_cast<size_t>(round) + k) % variants.size()];
      double seconds = 0;
      for (int i = 0; i < in_a_row; ++i) {
        timed_run r = run_timed(v.argv, "/dev/null");
        if (r.status != 0) fail(std::string(v.name) + ": " + describe_status(r.status));
        seconds += r.seconds;
      }
      if (round >= warmup) v.seconds.push_back(seconds / in_a_row);
    }
  }
}

double round_ratio(const variant &v, const variant &reference) {
  std::vector<double> ratios;
  for (size_t i = 0; i < v.seconds.size(); ++i) ratios.push_back(v.seconds[i] / reference.seconds[i]);
  return median(ratios);
}

void report(const char *job, std::span<const variant> variants, const variant &reference) {
  for (const variant &v : variants) {
    std::printf("%-5s %-16s median %8.3f ms   min %8.3f ms", job, v.name, median(v.seconds) * 1e3,
                *std::min_element(v.seconds.begin(), v.seconds.end()) * 1e3);
    if (&v != &reference) std::printf("   / %s: %.3f", reference.name, round_ratio(v, reference));
    std::printf("\n");
  }
}

}  // namespace bench
