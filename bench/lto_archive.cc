// The wrappers on real work: an archive of a few hundred LLVM bitcode objects
// (clang -flto), read through LLVM's gold plugin. Two jobs, each done three
// ways in turns:
//   wrapper  kiv-nm -B DIR lib.a      kiv-ar -B DIR t lib.a
//   tool     nm --plugin P lib.a      ar --plugin P -t lib.a
//   spawner  bench_spawn_only, starting the tool's command
// where DIR holds the gold plugin P under the suite's plugin name. The
// spawner, which only starts the tool and waits, costs what any program in
// the wrapper's place must: one more program started. On a job as short as
// "ar t" (a few milliseconds) that alone is a fifth of the time on a small
// virtual machine, so the target is the wrapper's own share: its median wall
// time less the spawner's, at most 5% of the tool's. The plain ratio of the
// wrapper to the tool is reported beside it.
//
// usage: bench_lto_archive --kiv-ar KIV-AR --kiv-nm KIV-NM --spawner SPAWN-ONLY
//                          --clang CLANG --plugin LLVMGOLD
//                          [--objects N] [--runs N] [--warmup N]
// Exit status: 0 target met, 1 target missed, 2 could not measure.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_util.h"
#include "kiv_config.h"
#include "test_util.h"

namespace {

constexpr double share_limit = 0.05;

struct options {
  std::string kiv_ar, kiv_nm, spawner, clang, plugin;
  int objects = 300;
  int runs = 40;
  int warmup = 3;
};

// n bitcode objects, each with two functions a little more than trivial,
// archived by ar with the plugin named directly. Returns the archive.
std::string make_lto_archive(const kiv_test::ScopedTempDir &scratch, const options &opts,
                             const std::string &ar) {
  std::string dir = scratch / "objects";
  std::filesystem::create_directory(dir);
  std::vector<std::string> compile = {opts.clang, "-flto", "-O2", "-c"};
  std::vector<std::string> archive = {ar, "--plugin", opts.plugin, "rcs", scratch / "lib.a"};
  for (int i = 0; i < opts.objects; ++i) {
    std::string n = std::to_string(i);
    kiv_test::write_file(dir + "/f" + n + ".c",
                      "int kiv_bench_f" + n + "(int x) { return x * " + n + " + 1; }\n" +
                          "int kiv_bench_g" + n + "(int x) {\n"
                          "  int s = 0;\n"
                          "  for (int k = 0; k < x; ++k) s += kiv_bench_f" + n + "(k) ^ k;\n"
                          "  return s;\n}\n");
    compile.push_back(dir + "/f" + n + ".c");
    archive.push_back(dir + "/f" + n + ".o");
  }
  // clang writes the objects into its working directory, which a spawned
  // program shares with the benchmark; -o names one output only.
  std::filesystem::path here = std::filesystem::current_path();
  std::filesystem::current_path(dir);
  bench::run_or_fail(compile);
  std::filesystem::current_path(here);
  bench::run_or_fail(archive);
  return scratch / "lib.a";
}

struct job {
  const char *name;
  bench::variant ways[3];  // the wrapper, the tool, the spawner
};

// All three ways must give the same output; nm's must hold every function,
// or the plugin did not read the bitcode and the figures mean nothing.
void check_job(const job &j, const kiv_test::ScopedTempDir &scratch, long expected_lines) {
  std::string first;
  for (const bench::variant &v : j.ways) {
    std::string out = scratch / "out";
    bench::run_or_fail(v.argv, out);
    std::string text = kiv_test::read_file(out);
    if (&v == &j.ways[0])
      first = text;
    else if (text != first)
      bench::fail(std::string(j.name) + ": " + v.name + " and " + j.ways[0].name + " disagree");
  }
  long lines = std::count(first.begin(), first.end(), '\n');
  if (lines < expected_lines)
    bench::fail(std::string(j.name) + ": " + std::to_string(lines) + " lines of output, " +
                std::to_string(expected_lines) + " expected; was the bitcode read?");
}

}  // namespace

int measure(int argc, char **argv) {
  options opts;
  bench::parse_options(
      argc, argv,
      "usage: bench_lto_archive --kiv-ar KIV-AR --kiv-nm KIV-NM --spawner SPAWN-ONLY\n"
      "                         --clang CLANG --plugin LLVMGOLD [--objects N] [--runs N]\n"
      "                         [--warmup N]\n",
      {{"--kiv-ar", &opts.kiv_ar},
       {"--kiv-nm", &opts.kiv_nm},
       {"--spawner", &opts.spawner},
       {"--clang", &opts.clang},
       {"--plugin", &opts.plugin},
       {"--objects", &opts.objects, 1},
       {"--runs", &opts.runs, 1},
       {"--warmup", &opts.warmup, 0}});
  kiv_test::ScopedTempDir scratch("bench-lto");
  std::string ar = bench::required_program("ar");
  std::string nm = bench::required_program("nm");
  std::string archive = make_lto_archive(scratch, opts, ar);

  std::string plugin_dir = scratch / "b";
  std::filesystem::create_directory(plugin_dir);
  std::string plugin = plugin_dir + "/" + PLUGIN_FILE_NAME;
  std::filesystem::create_symlink(kiv_test::real_path(opts.plugin), plugin);

  std::string spawner = kiv_test::real_path(opts.spawner);
  std::vector<std::string> nm_argv = {nm, "--plugin", plugin, archive};
  std::vector<std::string> ar_argv = {ar, "--plugin", plugin, "-t", archive};
  auto spawned = [&](std::vector<std::string> argv) {
    argv.insert(argv.begin(), spawner);
    return argv;
  };
  std::vector<job> jobs = {
      {"nm",
       {{"kiv-nm", {kiv_test::real_path(opts.kiv_nm), "-B", plugin_dir, archive}, {}},
        {"nm --plugin", nm_argv, {}},
        {"spawner", spawned(nm_argv), {}}}},
      {"ar t",
       {{"kiv-ar t", {kiv_test::real_path(opts.kiv_ar), "-B", plugin_dir, "t", archive}, {}},
        {"ar --plugin -t", ar_argv, {}},
        {"spawner", spawned(ar_argv), {}}}},
  };
  // nm: per member a blank line, the member's name and two defined
  // functions; ar t: one line per member.
  check_job(jobs[0], scratch, 4L * opts.objects);
  check_job(jobs[1], scratch, opts.objects);

  std::printf("lto archive: %d bitcode objects (%ju bytes), %d runs each (after %d warm-up)\n",
              opts.objects, static_cast<uintmax_t>(std::filesystem::file_size(archive)), opts.runs,
              opts.warmup);
  std::printf("plugin %s, tools %s and %s\n", kiv_test::real_path(opts.plugin).c_str(), nm.c_str(),
              ar.c_str());
  bool met = true;
  for (job &j : jobs) {
    bench::take_turns(j.ways, opts.warmup, opts.runs);
    bench::report(j.name, j.ways, j.ways[1]);
    // Runs of one round met the same load on the machine, so the share is
    // taken round by round.
    std::vector<double> round_shares;
    for (size_t i = 0; i < j.ways[0].seconds.size(); ++i)
      round_shares.push_back((j.ways[0].seconds[i] - j.ways[2].seconds[i]) / j.ways[1].seconds[i]);
    double share = bench::median(round_shares);
    bool ok = share <= share_limit;
    met = met && ok;
    std::printf("%-5s wrapper's own share: %+.1f%% of the tool's time (median of the rounds; "
                "limit %.0f%%) %s\n",
                j.name, share * 100, share_limit * 100, ok ? "ok" : "TARGET MISSED");
  }
  return met ? 0 : 1;
}

int main(int argc, char **argv) {
  return bench::run_main([&] { return measure(argc, argv); });
}
