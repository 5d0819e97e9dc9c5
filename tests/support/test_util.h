// Helpers shared by the tests, the benchmarks and the fuzzers: scoped
// temporary directories, whole-file I/O, the PATH search, running a built
// program, counting open descriptors and splitting an input at its NUL
// bytes. Failures are thrown as std::runtime_error.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kiv_test {

// A fresh directory under $TMPDIR (or /tmp), kiv-<tag>-XXXXXX, removed with
// its contents.
class ScopedTempDir {
 public:
  explicit ScopedTempDir(const std::string &tag = "test");
  ~ScopedTempDir();
  ScopedTempDir(const ScopedTempDir &) = delete;
  ScopedTempDir &operator=(const ScopedTempDir &) = delete;
  const std::string &path() const { return path_; }
  // path() + "/" + name
  std::string operator/(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void write_file(const std::string &path, const std::string &content, int mode = 0644);
std::string read_file(const std::string &path);
bool file_exists(const std::string &path);
void make_dir(const std::string &path);
// Removes a tree, following no links; missing paths are ignored.
void remove_tree(const std::string &path);
// Names in a directory, "." and ".." left out, sorted.
std::vector<std::string> list_dir(const std::string &path);
// The path with every link resolved; throws when it does not exist.
std::string real_path(const std::string &path);

// The first executable regular file called name in a directory of $PATH;
// empty when there is none or PATH is unset. An empty element stands for the
// current directory, as POSIX has it (and as the wrappers' own search does).
// The path returned is absolute, so that it names the same file wherever
// the program is started.
std::string find_in_path(const std::string &name);

struct RunResult {
  int status = -1;     // raw wait status
  std::string out;     // what the program wrote to standard output
  std::string err;     // ... and to standard error
  int exit_code() const;  // -1 unless it exited normally
  int term_signal() const;  // 0 unless it was killed by a signal
};

struct RunOptions {
  std::vector<std::string> env_set;    // "NAME=value" entries added or replaced
  std::vector<std::string> env_unset;  // names removed from the environment
  std::string cwd;                     // empty: the current directory
  std::string input;                   // written to standard input
  bool core_dumps = false;             // raise the core-size limit in the child
  long file_size_limit = -1;           // >= 0: RLIMIT_FSIZE
  bool ignore_sigxfsz = false;         // start the program with SIGXFSZ ignored
  bool ignore_sigchld = false;         // start the program with SIGCHLD ignored
  bool stderr_reader_gone = false;     // standard error: a pipe nobody reads any more
};

// Runs the program at path with argv (argv[0] included) and waits for it.
RunResult run_program(const std::string &path, const std::vector<std::string> &argv,
                      const RunOptions &options = {});

// Why a set-up command (unshare -m true, say) cannot run here as root; "" when it ran.
std::string refusal_of(const std::vector<std::string> &argv);

// Number of descriptors open in this process.
int count_open_fds();

// The pieces of data between its NUL bytes: n NUL bytes make n + 1 pieces,
// empty ones included, so that empty data is one empty piece.
std::vector<std::string> split_at_nul(std::string_view data);

// Writes an executable shell script.
void write_script(const std::string &path, const std::string &body);

// False where posix_spawn cannot report a program that fails to start and
// the child exits with 127 instead: qemu-user runs the vfork-style clone that
// carries the error back as a plain fork.
bool spawn_reports_start_failure();
// The reason given by tests skipped for that.
inline constexpr char no_spawn_start_failure[] =
    "posix_spawn here does not report a program that fails to start (qemu-user)";

}  // namespace kiv_test
