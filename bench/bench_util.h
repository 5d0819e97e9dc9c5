// Helpers shared by the benchmarks: scratch directories, starting programs
// and timing them, and the statistics that the reports print.
#pragma once

#include <sys/types.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace bench {

// Prints "<program>: <message>" to standard error and exits with status 2,
// the benchmarks' status for "could not measure".
[[noreturn]] void fail(const std::string &message);

// One "--name value" option of a benchmark and where its value goes: a
// string, or a whole number.
struct option_target {
  const char *name;
  std::string *text = nullptr;
  int *number = nullptr;
};
// Prints the usage line to standard error and exits with status 2.
[[noreturn]] void usage_error(const char *usage);
// Fills the targets from argv; an unknown name or a missing value is a
// usage error.
void parse_options(int argc, char **argv, std::initializer_list<option_target> targets,
                   const char *usage);

// Seconds on the monotonic clock.
double now_seconds();

double median(std::vector<double> values);

// A fresh directory under $TMPDIR (or /tmp), removed with its contents, also
// when fail() ends the benchmark. One at a time.
class scratch_dir {
 public:
  explicit scratch_dir(const char *tag);
  ~scratch_dir();
  scratch_dir(const scratch_dir &) = delete;
  scratch_dir &operator=(const scratch_dir &) = delete;
  const std::string &path() const { return path_; }
  std::string operator/(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void write_file(const std::string &path, const std::string &content);
std::string read_file(const std::string &path);
void copy_file(const std::string &from, const std::string &to, mode_t mode);
// The absolute form of a path that exists; fails otherwise.
std::string absolute_path(const std::string &path);
// The first executable regular file called name in $PATH; empty if none.
std::string find_in_path(const std::string &name);

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

}  // namespace bench
