// The wrapper's own cost. Three ways of listing a small archive with the
// suite's plugin named to ar take turns:
//   wrapper  kiv-ar -B DIR t small.a
//   direct   ar --plugin DIR/libvesk_plugin.so -t small.a
//   spawner  bench_spawn_only ar --plugin DIR/libvesk_plugin.so -t small.a
// The spawner does nothing but start the tool and wait, so it is the floor
// for any wrapper; the target is a median wall time of the wrapper within 5%
// of the spawner's.
//
// usage: bench_wrapper_overhead --wrapper KIV-AR --spawner SPAWN-ONLY
//                               --plugin PLUGIN [--runs N] [--warmup N]
// Exit status: 0 target met, 1 target missed, 2 could not measure.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_util.h"
#include "c_api_helpers.h"
#include "test_util.h"

namespace {

constexpr double overhead_limit = 1.05;

struct options {
  std::string wrapper;
  std::string spawner;
  std::string plugin;
  int runs = 500;
  int warmup = 20;
};

// An archive of two small objects, compiled here and now.
std::string make_small_archive(const kiv_test::ScopedTempDir &scratch, const std::string &ar) {
  const char *cc_env = std::getenv("CC");
  std::string cc = bench::required_program(cc_env && *cc_env ? cc_env : "cc");
  kiv_test::write_file(scratch / "a.c", "int kiv_bench_a(int x) { return x + 1; }\n");
  kiv_test::write_file(scratch / "b.c", "int kiv_bench_b(int x) { return 2 * x; }\n");
  bench::run_or_fail({cc, "-c", "-O2", scratch / "a.c", "-o", scratch / "a.o"});
  bench::run_or_fail({cc, "-c", "-O2", scratch / "b.c", "-o", scratch / "b.o"});
  bench::run_or_fail({ar, "rc", scratch / "small.a", scratch / "a.o", scratch / "b.o"});
  return scratch / "small.a";
}

// Each way must list the archive; a benchmark of one that fails early would
// flatter it. Returns whether the tool loaded the plugin on that run.
bool check_variant(const bench::variant &v, const kiv_test::ScopedTempDir &scratch) {
  std::string log = scratch / "plugin.log";
  std::string out = scratch / "listing.txt";
  std::filesystem::remove(log);
  int status;
  {
    kiv_test::ScopedEnv plugin_log("KIV_TEST_PLUGIN_LOG", log.c_str());
    status = bench::run(v.argv, out);
  }
  if (status != 0) bench::fail(std::string(v.name) + ": " + bench::describe_status(status));
  std::string listing = kiv_test::read_file(out);
  if (listing != "a.o\nb.o\n") bench::fail(std::string(v.name) + " listed: " + listing);
  return std::filesystem::exists(log);
}

}  // namespace

int measure(int argc, char **argv) {
  options opts;
  bench::parse_options(
      argc, argv,
      "usage: bench_wrapper_overhead --wrapper KIV-AR --spawner SPAWN-ONLY --plugin PLUGIN\n"
      "                              [--runs N] [--warmup N]\n",
      {{"--wrapper", &opts.wrapper},
       {"--spawner", &opts.spawner},
       {"--plugin", &opts.plugin},
       {"--runs", &opts.runs, 1},
       {"--warmup", &opts.warmup, 0}});
  kiv_test::ScopedTempDir scratch("bench-overhead");
  std::string ar = bench::required_program("ar");
  std::string archive = make_small_archive(scratch, ar);

  std::string plugin_dir = scratch / "b";
  std::filesystem::create_directory(plugin_dir);
  std::string plugin = plugin_dir + "/libvesk_plugin.so";
  kiv_test::write_file(plugin, kiv_test::read_file(opts.plugin), 0755);

  // All three run the same tool command: the one the wrapper makes, which
  // puts a '-' before the "t" and finds ar in PATH as this benchmark did.
  std::vector<bench::variant> variants = {
      {"wrapper", {kiv_test::real_path(opts.wrapper), "-B", plugin_dir, "t", archive}, {}},
      {"direct", {ar, "--plugin", plugin, "-t", archive}, {}},
      {"spawner", {kiv_test::real_path(opts.spawner), ar, "--plugin", plugin, "-t", archive}, {}},
  };
  // GNU ar loads a plugin only when it has to recognise a member, which
  // listing does not; all three must agree all the same.
  bool loaded = check_variant(variants[0], scratch);
  for (size_t k = 1; k < variants.size(); ++k) {
    if (check_variant(variants[k], scratch) != loaded)
      bench::fail(std::string(variants[k].name) + " and the wrapper differ in loading the plugin");
  }

  bench::take_turns(variants, opts.warmup, opts.runs);

  double wrapper = bench::median(variants[0].seconds);
  double direct = bench::median(variants[1].seconds);
  double spawner = bench::median(variants[2].seconds);
  std::printf("wrapper overhead: %s t small.a, %d runs each (after %d warm-up), tool %s\n",
              variants[0].argv[0].c_str(), opts.runs, opts.warmup, ar.c_str());
  std::printf("plugin loaded by the listing: %s\n", loaded ? "yes" : "no");
  for (const bench::variant &v : variants) {
    std::printf("%-8s median %8.3f ms   min %8.3f ms\n", v.name, bench::median(v.seconds) * 1e3,
                *std::min_element(v.seconds.begin(), v.seconds.end()) * 1e3);
  }
  std::printf("wrapper - spawner: %+.1f us; spawner - direct: %+.1f us\n",
              (wrapper - spawner) * 1e6, (spawner - direct) * 1e6);
  std::printf("wrapper / direct: %.3f; spawner / direct: %.3f\n", wrapper / direct,
              spawner / direct);
  // Runs of one round met the same load on the machine; the ratio within
  // each round is steadier than the ratio of medians when the load varies.
  std::vector<double> round_ratios;
  for (size_t i = 0; i < variants[0].seconds.size(); ++i)
    round_ratios.push_back(variants[0].seconds[i] / variants[2].seconds[i]);
  std::printf("wrapper / spawner within a round, median: %.3f\n", bench::median(round_ratios));
  bool met = wrapper <= spawner * overhead_limit;
  std::printf("wrapper / spawner: %.3f (limit %.2f) %s\n", wrapper / spawner, overhead_limit,
              met ? "ok" : "TARGET MISSED");
  return met ? 0 : 1;
}

int main(int argc, char **argv) {
  return bench::run_main([&] { return measure(argc, argv); });
}
