// The wrapper's own cost. Three ways of listing a small archive with the
// suite's plugin named to ar take turns, each 300 times in a row per turn,
// as a build runs one archive step after another:
//   static   kiv-ar linked statically: kiv-ar -B DIR t small.a
//   dynamic  kiv-ar as the build links it (dynamically, by default)
//   spawner  bench_spawn_only, linked statically, starting the same
//            ar --plugin DIR/<plugin> -t small.a
// The spawner does nothing but start the tool and wait, so it is the floor
// for any wrapper; the target is a median time per run of the static wrapper
// within 2% of the spawner's. The dynamic one's ratio is reported beside it.
//
// usage: bench_wrapper_overhead --static-wrapper KIV-AR --wrapper KIV-AR
//                               --spawner SPAWN-ONLY --plugin PLUGIN
//                               [--runs N] [--rounds N] [--warmup N]
// Exit status: 0 target met, 1 target missed, 2 could not measure.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_util.h"
#include "c_api_helpers.h"
#include "kiv_config.h"
#include "test_util.h"

namespace {

constexpr double overhead_limit = 1.02;

struct options {
  std::string static_wrapper;
  std::string wrapper;
  std::string spawner;
  std::string plugin;
  int runs = 300;  // in a row, per turn
  int rounds = 11;
  int warmup = 1;
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
      "usage: bench_wrapper_overhead --static-wrapper KIV-AR --wrapper KIV-AR\n"
      "                              --spawner SPAWN-ONLY --plugin PLUGIN\n"
      "                              [--runs N] [--rounds N] [--warmup N]\n",
      {{"--static-wrapper", &opts.static_wrapper},
       {"--wrapper", &opts.wrapper},
       {"--spawner", &opts.spawner},
       {"--plugin", &opts.plugin},
       {"--runs", &opts.runs, 1},
       {"--rounds", &opts.rounds, 1},
       {"--warmup", &opts.warmup, 0}});
  kiv_test::ScopedTempDir scratch("bench-overhead");
  std::string ar = bench::required_program("ar");
  std::string archive = make_small_archive(scratch, ar);

  std::string plugin_dir = scratch / "b";
  std::filesystem::create_directory(plugin_dir);
  std::string plugin = plugin_dir + "/" + PLUGIN_FILE_NAME;
  kiv_test::write_file(plugin, kiv_test::read_file(opts.plugin), 0755);

  // All three run the same tool command: the one the wrapper makes, which
  // puts a '-' before the "t" and finds ar in PATH as this benchmark did.
  auto wrapped = [&](const std::string &wrapper) {
    return std::vector<std::string>{kiv_test::real_path(wrapper), "-B", plugin_dir, "t", archive};
  };
  std::vector<bench::variant> variants = {
      {"static", wrapped(opts.static_wrapper), {}},
      {"dynamic", wrapped(opts.wrapper), {}},
      {"spawner", {kiv_test::real_path(opts.spawner), ar, "--plugin", plugin, "-t", archive}, {}},
  };
  // GNU ar loads a plugin only when it has to recognise a member, which
  // listing does not; all three must agree all the same.
  bool loaded = check_variant(variants[0], scratch);
  for (size_t k = 1; k < variants.size(); ++k) {
    if (check_variant(variants[k], scratch) != loaded)
      bench::fail(std::string(variants[k].name) +
                  " and the static wrapper differ in loading the plugin");
  }

  bench::take_turns(variants, opts.warmup, opts.rounds, opts.runs);

  std::printf("wrapper overhead: kiv-ar t small.a, %d rounds of %d runs in a row each (after %d "
              "warm-up), tool %s; plugin loaded by the listing: %s\n",
              opts.rounds, opts.runs, opts.warmup, ar.c_str(), loaded ? "yes" : "no");
  bench::report("ar t", variants, variants[2]);
  double ratio = bench::round_ratio(variants[0], variants[2]);
  bool met = ratio <= overhead_limit;
  std::printf("static wrapper / spawner: %.3f (limit %.2f) %s\n", ratio, overhead_limit,
              met ? "ok" : "TARGET MISSED");
  return met ? 0 : 1;
}

int main(int argc, char **argv) {
  return bench::run_main([&] { return measure(argc, argv); });
}
