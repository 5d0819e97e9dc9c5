// Helpers shared by the benchmarks: options, starting programs and timing
// them, and the statistics that the reports print. Scratch directories,
// files and the PATH search are the tests' (test_util.h).
#pragma once

#include <functional>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

namespace bench {

// Runs a benchmark's body and returns its exit status. A failure thrown from
// it, by fail() or by a helper of the tests, is printed as "bench: <message>"
// once the body's scratch directory is gone, and gives status 2, the
// benchmarks' status for "could not measure".
int run_main(const std::function<int()> &body);
// Throws the message as a failure for run_main.
[[noreturn]] void fail(const std::string &message);

// One "--name value" option of a benchmark and where its value goes: a
// string, which must be given unless it is optional, or a whole number, at
// least the minimum.
struct option_target {
  option_target(const char *name, std::string *text, bool required = true)
      : name(name), text(text), required(required) {}
  option_target(const char *name, int *number, int minimum)
      : name(name), number(number), minimum(minimum) {}
  const char *name;
  std::string *text = nullptr;
  bool required = false;
  int *number = nullptr;
  int minimum = 0;
};
// Prints the usage line to standard error and exits with status 2.
[[noreturn]] void usage_error(const char *usage);
// Fills the targets from argv. An unknown name, a missing value, a required
// string left out or empty, or a number below its minimum is a usage error.
void parse_options(int argc, char **argv, const char *usage,
                   std::initializer_list<option_target> targets);

// Seconds on the monotonic clock.
double now_seconds();

double median(std::vector<double> values);

// Starts argv[0] (a path) with argv and waits for it; standard output goes to
// stdout_path, or stays the benchmark's own when that is empty. Returns the
// raw wait status; a program that cannot be started is fatal.
int run(const std::vector<std::string> &argv, const std::string &stdout_path = "");

struct timed_run {
  int status;      // raw wait status
  double seconds;  // from just before the start to just after the wait
};
timed_run run_timed(const std::vector<std::string> &argv, const std::string &stdout_path = "");

// "exited with 3", "killed by signal 9", ...
std::string describe_status(int status);

// run(), failing unless the program exits with 0.
void run_or_fail(const std::vector<std::string> &argv, const std::string &stdout_path = "");
// The program called name in PATH, as found there; fails when there is none.
std::string required_program(const std::string &name);

// One of the ways a benchmark compares, and its time per run in each round.
struct variant {
  const char *name;
  std::vector<std::string> argv;
  std::vector<double> seconds;
};
// Runs warmup + rounds rounds, keeping the times of the rounds after the
// warm-up. In a round each variant runs in_a_row times in a row, its output
// to /dev/null. The turns rotate, so that none always follows the same one,
// and a drift of the machine touches all alike. A run that fails is fatal.
void take_turns(std::span<variant> variants, int warmup, int rounds, int in_a_row = 1);
// The median over the rounds of v's time over the reference's: runs of one
// round met the same load on the machine.
double round_ratio(const variant &v, const variant &reference);
// Prints each variant's median and fastest time per run and its round_ratio
// to the reference, one line each, headed by the job's name.
void report(const char *job, std::span<const variant> variants, const variant &reference);

}  // namespace bench
