// How the wrapper's cost grows with the size of a response file: it expands
// one @file of N object names and hands them over, through a temporary
// response file of its own, to a tool that exits at once. For each N this
// measures the wall time (median of several runs) and the peak resident
// size of the wrapper, each run in a fresh process, and checks two targets:
// twice the arguments take at most 2.2 times the time, and the peak
// resident size stays under five times the size of the file.
//
// usage: bench_response_file --wrapper KIV-AR --tool NULL-TOOL
//                            [--runs N] [--sizes N,N,...]
// Exit status: 0 targets met, 1 a target missed, 2 could not measure.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_util.h"
#include "c_api_helpers.h"
#include "kiv_config.h"
#include "test_util.h"

namespace {

constexpr double time_growth_allowance = 1.1;  // 2.2 times the time for twice the arguments
constexpr double peak_to_file_limit = 5.0;

struct options {
  std::string wrapper;
  std::string tool;
  int runs = 7;
  std::vector<long> sizes = {500000, 1000000, 2000000};
};

constexpr char usage[] =
    "usage: bench_response_file --wrapper KIV-AR --tool NULL-TOOL [--runs N] [--sizes N,N,...]\n";

options parse_options(int argc, char **argv) {
  options opts;
  std::string sizes;
  bench::parse_options(argc, argv, usage,
                       {{"--wrapper", &opts.wrapper},
                        {"--tool", &opts.tool},
                        {"--runs", &opts.runs, 1},
                        {"--sizes", &sizes, false}});
  if (!sizes.empty()) {
    opts.sizes.clear();
    for (size_t start = 0; start <= sizes.size();) {
      size_t comma = std::min(sizes.find(',', start), sizes.size());
      opts.sizes.push_back(std::atol(sizes.substr(start, comma - start).c_str()));
      start = comma + 1;
    }
  }
  for (long size : opts.sizes)
    if (size < 1) bench::usage_error(usage);
  return opts;
}

// One object name of about 20 bytes per line, as a build would list them.
long write_response_file(const std::string &path, long count) {
  FILE *f = std::fopen(path.c_str(), "w");
  if (!f) bench::fail("cannot create " + path + ": " + strerror(errno));
  for (long i = 0; i < count; ++i)
    std::fprintf(f, "obj/m%02ld/f_%07ld.o\n", i % 64, i);
  if (std::fclose(f) != 0) bench::fail("cannot write " + path + ": " + strerror(errno));
  struct stat st;
  if (stat(path.c_str(), &st) != 0) bench::fail("stat " + path + ": " + strerror(errno));
  return static_cast<long>(st.st_size);
}

struct sample {
  int status;
  double seconds;
  long peak_kib;  // ru_maxrss: kilobytes on Linux and the BSDs
};

// Runs argv in a child of a fresh process, so that the resource usage of
// that process's children is the one run's alone (ru_maxrss of children is
// the largest of all children ever waited for).
sample measure_in_fresh_process(const std::vector<std::string> &argv) {
  int fds[2];
  if (pipe(fds) != 0) bench::fail(std::string("pipe: ") + strerror(errno));
  std::fflush(nullptr);
  pid_t meter = fork();
  if (meter == -1) bench::fail(std::string("fork: ") + strerror(errno));
  if (meter == 0) {
    // A failure ends this process alone: the scratch directory is the parent's.
    _exit(bench::run_main([&] {
      close(fds[0]);
      sample s{};
      bench::timed_run r = bench::run_timed(argv);
      s.status = r.status;
      s.seconds = r.seconds;
      rusage usage;
      if (getrusage(RUSAGE_CHILDREN, &usage) != 0) return 2;
      s.peak_kib = usage.ru_maxrss;
      return write(fds[1], &s, sizeof s) == static_cast<ssize_t>(sizeof s) ? 0 : 2;
    }));
  }
  close(fds[1]);
  sample s{};
  ssize_t got;
  do {
    got = read(fds[0], &s, sizeof s);
  } while (got == -1 && errno == EINTR);
  close(fds[0]);
  int meter_status;
  while (waitpid(meter, &meter_status, 0) == -1) {
    if (errno != EINTR) bench::fail(std::string("waitpid: ") + strerror(errno));
  }
  if (got != static_cast<ssize_t>(sizeof s) || !WIFEXITED(meter_status) ||
      WEXITSTATUS(meter_status) != 0)
    bench::fail("the measuring process failed (" + bench::describe_status(meter_status) + ")");
  return s;
}

struct case_result {
  long arguments;
  long file_bytes;
  std::string file;
  std::vector<double> seconds;
  long peak_kib = 0;
};

double mib(double bytes) { return bytes / (1024.0 * 1024.0); }

}  // namespace

int measure(int argc, char **argv) {
  options opts = parse_options(argc, argv);
  kiv_test::ScopedTempDir scratch("bench-response");
  std::string wrapper = kiv_test::real_path(opts.wrapper);

  // The -B directory: the tool as "ar", and any file as the plugin, which
  // the wrapper only looks up.
  std::string tool_dir = scratch / "b";
  std::filesystem::create_directory(tool_dir);
  kiv_test::write_file(tool_dir + "/ar", kiv_test::read_file(opts.tool), 0755);
  kiv_test::write_file(tool_dir + "/" + PLUGIN_FILE_NAME, "not loaded by the tool\n");

  // The wrapper's own response file goes to a directory of its own, so that
  // a file it leaves behind shows.
  std::string temp_dir = scratch / "tmp";
  std::filesystem::create_directory(temp_dir);
  kiv_test::ScopedEnv tmpdir("TMPDIR", temp_dir.c_str());

  std::vector<case_result> cases;
  case_result floor{1, 0, scratch / "args-1.rsp", {}};
  floor.file_bytes = write_response_file(floor.file, 1);
  for (long n : opts.sizes) {
    case_result c{n, 0, scratch / ("args-" + std::to_string(n) + ".rsp"), {}};
    c.file_bytes = write_response_file(c.file, n);
    cases.push_back(c);
  }

  auto command = [&](const case_result &c) {
    return std::vector<std::string>{wrapper, "-B", tool_dir, "rcs", scratch / "out.a", "@" + c.file};
  };
  auto measure = [&](case_result &c) {
    sample s = measure_in_fresh_process(command(c));
    if (s.status != 0)
      bench::fail("the wrapper " + bench::describe_status(s.status) + " for " +
                  std::to_string(c.arguments) + " arguments");
    if (!std::filesystem::is_empty(temp_dir))
      bench::fail("the wrapper left its response file in " + temp_dir);
    c.seconds.push_back(s.seconds);
    if (s.peak_kib > c.peak_kib) c.peak_kib = s.peak_kib;
  };

  // One unmeasured run each brings the files into the page cache; then the
  // sizes take turns, so that a drift of the machine touches them alike.
  measure(floor);
  for (case_result &c : cases) measure(c);
  floor.seconds.clear();
  for (case_result &c : cases) c.seconds.clear();
  for (int run = 0; run < opts.runs; ++run) {
    measure(floor);
    for (case_result &c : cases) measure(c);
  }

  std::printf("response file: %s, %d runs per size, median wall time, largest peak RSS\n",
              wrapper.c_str(), opts.runs);
  std::printf("%10s %10s %12s %12s %12s %10s\n", "arguments", "file MiB", "median ms", "min ms",
              "peak MiB", "peak/file");
  auto print_case = [](const case_result &c) {
    double min = *std::min_element(c.seconds.begin(), c.seconds.end());
    std::printf("%10ld %10.2f %12.2f %12.2f %12.2f", c.arguments, mib(c.file_bytes),
                bench::median(c.seconds) * 1e3, min * 1e3, c.peak_kib / 1024.0);
    // The one-argument file shows the fixed cost; its ratio means nothing.
    if (c.arguments > 1)
      std::printf(" %10.2f\n", c.peak_kib * 1024.0 / static_cast<double>(c.file_bytes));
    else
      std::printf(" %10s\n", "-");
  };
  print_case(floor);
  for (const case_result &c : cases) print_case(c);

  bool met = true;
  for (size_t i = 1; i < cases.size(); ++i) {
    const case_result &a = cases[i - 1];
    const case_result &b = cases[i];
    double size_ratio = static_cast<double>(b.arguments) / static_cast<double>(a.arguments);
    double time_ratio = bench::median(b.seconds) / bench::median(a.seconds);
    double limit = size_ratio * time_growth_allowance;
    bool ok = time_ratio <= limit;
    met = met && ok;
    std::printf("time %ld -> %ld arguments: x%.2f (limit x%.2f) %s\n", a.arguments, b.arguments,
                time_ratio, limit, ok ? "ok" : "TARGET MISSED");
  }
  for (const case_result &c : cases) {
    double ratio = c.peak_kib * 1024.0 / static_cast<double>(c.file_bytes);
    bool ok = ratio < peak_to_file_limit;
    met = met && ok;
    std::printf("peak RSS at %ld arguments: %.2f x the file (limit %.1f) %s\n", c.arguments, ratio,
                peak_to_file_limit, ok ? "ok" : "TARGET MISSED");
  }
  std::printf("response file: %s\n", met ? "targets met" : "TARGET MISSED");
  return met ? 0 : 1;
}

int main(int argc, char **argv) {
  return bench::run_main([&] { return measure(argc, argv); });
}
