// The job the wrappers exist for: objects compiled for link-time optimisation
// hold compiler IR, which the archive tools read only through a plugin. LLVM's
// gold plugin is installed here as the suite's plugin, clang -flto compiles
// the objects, and the machine's own ar, nm, ranlib and linkers do the rest.
//
// binutils also loads every plugin it finds in its bfd-plugins folder, so the
// suite first hides that folder from this process and everything it starts:
// only then does a passing check show that the wrapper's plugin did the work.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sched.h>
#include <sys/mount.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "installed_tree.h"
#include "wrapper_fixture.h"

namespace {

using namespace kiv_test;

// Found at configure time; empty when missing.
const std::string clang = KIV_TEST_CLANG;
const std::string lto_plugin = KIV_TEST_LTO_PLUGIN;
// A small C library and a program that uses it, with a build description
// for each build system.
const std::string project = std::string(KIV_TEST_SOURCE_DIR) + "/lto/";

bool is_dir(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string dir_of(const std::string &path) { return path.substr(0, path.rfind('/')); }

std::string output_of(const RunResult &r) { return r.out + r.err; }

// The symbols an archive's index lists, sorted: what a linker reads to pick
// members. Empty when the archive has no index.
std::vector<std::string> archive_index(const std::string &path) {
  std::string a = file_exists(path) ? read_file(path) : "";
  constexpr size_t magic = 8, header = 60;
  if (a.size() < magic + header ||
      (a.compare(0, magic, "!<arch>\n") != 0 && a.compare(0, magic, "!<thin>\n") != 0))
    return {};
  // The index is the first member, named "/" (32-bit offsets) or "/SYM64/".
  size_t width = a.compare(magic, 2, "/ ") == 0 ? 4 : a.compare(magic, 7, "/SYM64/") == 0 ? 8 : 0;
  if (width == 0) return {};
  std::string table =
      a.substr(magic + header, std::strtoul(a.substr(magic + 48, 10).c_str(), nullptr, 10));
  if (table.size() < width) return {};
  uint64_t count = 0;
  for (size_t i = 0; i < width; ++i) count = count << 8 | static_cast<unsigned char>(table[i]);
  std::vector<std::string> names;
  for (size_t pos = width * (count + 1); names.size() < count && pos < table.size();) {
    size_t end = std::min(table.find('\0', pos), table.size());
    names.push_back(table.substr(pos, end - pos));
    pos = end + 1;
  }
  std::sort(names.begin(), names.end());
  return names;
}

const std::vector<std::string> library_symbols = {"calc_add", "calc_twice"};

// Mounts an empty directory over each folder from which binutils loads
// plugins by itself, in a mount namespace of this process's own, so that
// nothing outside sees it. Returns why it could not, or "" when done or
// when there is no such folder.
std::string hide_automatic_plugins(const std::string &empty_dir) {
  std::vector<std::string> present;
  for (const char *dir : {"/usr/lib/bfd-plugins", "/usr/local/lib/bfd-plugins"})
    if (is_dir(dir)) present.push_back(dir);
  if (present.empty()) return "";
  std::string why = "cannot hide " + present[0] + ", from which binutils loads plugins by itself: ";
#ifdef __linux__
  if (geteuid() != 0) return why + "not root";
  if (unshare(CLONE_NEWNS) != 0) return why + "unshare: " + strerror(errno);
  // Private first: a shared root would carry the mounts below back to the
  // machine's own namespace.
  if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return why + "making / private: " + strerror(errno);
  for (const std::string &dir : present) {
    if (mount(empty_dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) != 0)
      return why + "bind mount: " + strerror(errno);
  }
  return "";
#else
  return why + "no mount namespaces here";
#endif
}

enum class Sabotage { none, wrapper_runs_plain_tool, empty_plugin };
using Tree = TreeLayout;

// The shared fixture: clang, the plugin, the hidden plugin folder, and the
// bitcode objects, made once for the whole program (both suites below use
// it) and removed when it ends.
class LtoJob : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (scratch) return;
    scratch = std::make_unique<ScopedTempDir>();
    skip_reason = prepare();
  }
  void SetUp() override {
    if (!skip_reason.empty()) GTEST_SKIP() << skip_reason;
    ASSERT_TRUE(setup_failure.empty()) << setup_failure;
    work = *scratch / ("work-" + std::to_string(++works));
    make_dir(work);
  }

  static std::string prepare() {
    if (clang.empty()) return "no clang found when the build was configured";
    if (lto_plugin.empty()) return "no LLVMgold.so beside " + clang + " (llvm-*-linker-tools)";
    make_dir(*scratch / "empty");
    if (std::string why = hide_automatic_plugins(*scratch / "empty"); !why.empty()) return why;
    objects = *scratch / "objects/";
    make_dir(objects);
    RunResult cc = run_program(
        clang,
        {clang, "-flto", "-O2", "-c", project + "add.c", project + "twice.c", project + "main.c"},
        {.cwd = objects});
    if (cc.exit_code() != 0) {
      setup_failure = "clang -flto -c: " + output_of(cc);
      return "";
    }
    // Without a plugin the machine's nm must fail on them, or a wrapper that
    // drops its plugin would pass unnoticed.
    std::string nm = find_in_path("nm");
    if (nm.empty()) return "no nm in PATH";
    if (run_program(nm, {nm, objects + "add.o"}).exit_code() == 0)
      return "the machine's nm reads bitcode objects without being given a plugin";
    // An archive indexed by ar with the plugin named directly, for kiv-ranlib.
    std::string ar = find_in_path("ar");
    RunResult r = run_program(
        ar, {ar, "--plugin", lto_plugin, "rcs", "indexed.a", "add.o", "twice.o"}, {.cwd = objects});
    if (r.exit_code() != 0 || archive_index(objects + "indexed.a") != library_symbols)
      setup_failure = "ar --plugin " + lto_plugin + " wrote no index: " + output_of(r);
    return "";
  }

  // Lays out an installed tree in the test's directory: the built programs,
  // or all that the build's install step installs, with LLVM's gold plugin as
  // the suite's plugin, or with one of two faults. The name may hold spaces,
  // so that the plugin's path does too.
  Tree install(const std::string &name, Sabotage sabotage, bool install_step = false) {
    Tree tree(work + "/" + name);
    if (install_step) {
      RunResult r = run_program(KIV_TEST_CMAKE, {"cmake", "--install", KIV_TEST_BUILD_DIR,
                                                 "--prefix", work + "/" + name});
      EXPECT_EQ(r.exit_code(), 0) << "cmake --install: " << output_of(r);
    } else {
      tree.make({kiv_ar, kiv_nm, kiv_ranlib});
    }
    if (sabotage == Sabotage::wrapper_runs_plain_tool)
      for (std::string tool : {"ar", "nm", "ranlib"})
        write_script(tree.bin + "kiv-" + tool, "exec " + tool + " \"$@\"\n");
    if (sabotage == Sabotage::empty_plugin) {
      RunResult r = run_program(clang, {clang, "-shared", "-x", "c", "/dev/null", "-o", tree.plugin});
      EXPECT_EQ(r.exit_code(), 0) << "building an empty shared object: " << output_of(r);
    } else {
      EXPECT_EQ(symlink(lto_plugin.c_str(), tree.plugin.c_str()), 0) << strerror(errno);
    }
    return tree;
  }

  static inline std::unique_ptr<ScopedTempDir> scratch;
  static inline std::string skip_reason, setup_failure, objects;
  static inline int works = 0;
  std::string work;  // a fresh directory for each test
};

// What a check found wrong, or "" when the job was done.
using Finding = std::string;

Finding nm_lists_bitcode_symbols(const Tree &t, const std::string &, const std::string &objects) {
  RunResult r = run_program(t.bin + "kiv-nm",
                            {t.bin + "kiv-nm", objects + "add.o", objects + "twice.o"});
  if (r.exit_code() != 0) return "kiv-nm failed: " + output_of(r);
  for (const std::string &symbol : library_symbols)
    if (r.out.find("T " + symbol + "\n") == std::string::npos)
      return "kiv-nm did not list " + symbol + ":\n" + r.out;
  return "";
}

Finding index_lists(const std::string &archive, const std::string &who) {
  std::vector<std::string> index = archive_index(archive);
  if (index == library_symbols) return "";
  std::string listed;
  for (const std::string &s : index) listed += " " + s;
  return "the index " + who + " wrote lists:" + (listed.empty() ? " nothing" : listed);
}

Finding ar_writes_the_index(const Tree &t, const std::string &work, const std::string &objects) {
  RunResult r =
      run_program(t.bin + "kiv-ar",
                  {t.bin + "kiv-ar", "rcs", "libcalc.a", objects + "add.o", objects + "twice.o"},
                  {.cwd = work});
  if (r.exit_code() != 0) return "kiv-ar rcs failed: " + output_of(r);
  return index_lists(work + "/libcalc.a", "kiv-ar rcs");
}

Finding ranlib_rebuilds_a_dropped_index(const Tree &t, const std::string &work,
                                        const std::string &objects) {
  std::string archive = work + "/libcalc.a";
  write_file(archive, read_file(objects + "indexed.a"));
  std::string ranlib = find_in_path("ranlib");
  run_program(ranlib, {ranlib, archive});
  // Plain ranlib, blind to the members, writes an index without them.
  EXPECT_EQ(archive_index(archive), std::vector<std::string>{}) << "plain ranlib kept the index";
  RunResult r = run_program(t.bin + "kiv-ranlib", {t.bin + "kiv-ranlib", archive});
  if (r.exit_code() != 0) return "kiv-ranlib failed: " + output_of(r);
  return index_lists(archive, "kiv-ranlib");
}

// Archives the library with kiv-ar, links the program against it with the
// given linker, and runs it. The library's files are named in a response
// file when rsp is set, with spaces in every path.
Finding lto_link(const Tree &t, const std::string &work, const std::string &objects,
                 const std::string &linker, bool rsp) {
  std::vector<std::string> ar = {t.bin + "kiv-ar", "rcs", "libcalc.a", objects + "add.o",
                                 objects + "twice.o"};
  std::string library = work + "/libcalc.a";
  if (rsp) {
    make_dir(work + "/the objects");
    write_file(work + "/the objects/add one.o", read_file(objects + "add.o"));
    write_file(work + "/the objects/twice it's.o", read_file(objects + "twice.o"));
    write_file(work + "/the list.rsp", "'the objects/add one.o'\n\"the objects/twice it's.o\"\n");
    library = work + "/lib calc.a";
    ar = {t.bin + "kiv-ar", "rcs", "lib calc.a", "@the list.rsp"};
  }
  RunResult r = run_program(t.bin + "kiv-ar", ar, {.cwd = work});
  if (r.exit_code() != 0) return "kiv-ar rcs failed: " + output_of(r);
  std::string program = work + "/prog";
  r = run_program(
      clang, {clang, "-flto", "-fuse-ld=" + linker, objects + "main.o", library, "-o", program});
  if (r.exit_code() != 0) return "the link with ld." + linker + " failed: " + output_of(r);
  r = run_program(program, {program});
  if (r.exit_code() != 0 || r.out != "42\n") return "the program printed: " + output_of(r);
  return "";
}

struct JobCheck {
  const char *what;
  const char *needs;  // a program the check cannot do without, or null
  Finding (*check)(const Tree &, const std::string &work, const std::string &objects);
};

const JobCheck job_checks[] = {
    {"kiv-nm lists the symbols of bitcode objects", nullptr, nm_lists_bitcode_symbols},
    {"kiv-ar rcs indexes bitcode members", nullptr, ar_writes_the_index},
    {"kiv-ranlib indexes them after a plain ranlib dropped them", "ranlib",
     ranlib_rebuilds_a_dropped_index},
    {"an LTO link with ld.bfd against kiv-ar's archive", "ld.bfd",
     [](const Tree &t, const std::string &w, const std::string &o) {
       return lto_link(t, w, o, "bfd", false);
     }},
    {"an LTO link with ld.gold against kiv-ar's archive", "ld.gold",
     [](const Tree &t, const std::string &w, const std::string &o) {
       return lto_link(t, w, o, "gold", false);
     }},
    {"the same with a response file and spaces in every path", "ld.bfd",
     [](const Tree &t, const std::string &w, const std::string &o) {
       return lto_link(t, w, o, "bfd", true);
     }},
};

class LtoJobChecks : public LtoJob {
 protected:
  // Runs every check against the tree; each must find nothing wrong, or, for
  // a sabotaged tree, each must find the fault.
  void run_checks(const Tree &tree, bool sabotaged) {
    std::string not_run;
    int n = 0;
    for (const JobCheck &c : job_checks) {
      if (c.needs && find_in_path(c.needs).empty()) {
        not_run += std::string(" [") + c.what + ": no " + c.needs + "]";
        continue;
      }
      std::string dir = work + "/" + std::to_string(++n);
      make_dir(dir);
      Finding found = c.check(tree, dir, objects);
      if (sabotaged)
        EXPECT_NE(found, "") << c.what << ": passed without the plugin";
      else
        EXPECT_EQ(found, "") << c.what;
    }
    if (!not_run.empty()) GTEST_SKIP() << "not run:" << not_run;
  }
};

TEST_F(LtoJobChecks, InstalledWrappersHandTheirPluginToTheTools) {
  run_checks(install("kiv tree", Sabotage::none), false);
}

// The checks above are worth only what they catch: a wrapper that runs the
// tool without the plugin, and a plugin that reads nothing, must fail each.
TEST_F(LtoJobChecks, EachCheckFailsWhenTheWrapperRunsThePlainTool) {
  run_checks(install("plain tools", Sabotage::wrapper_runs_plain_tool), true);
}

TEST_F(LtoJobChecks, EachCheckFailsWithAnEmptyPlugin) {
  run_checks(install("empty plugin", Sabotage::empty_plugin), true);
}

// Each message that README.md's "When it does not work" leads a point with
// comes out of the programs as it says, with the status it says: the
// wrapper's own, and the tool's when the plugin is an empty file.
TEST_F(LtoJob, MessagesWhenItDoesNotWorkAreTheProgramsOwn) {
  Tree tree = install("kiv", Sabotage::none), broken = install("broken", Sabotage::none);
  ASSERT_EQ(unlink(broken.plugin.c_str()), 0);
  write_file(broken.plugin, "");
  const std::string bad = work + "/bad/", many = work + "/many.o";
  make_dir(bad);
  write_file(bad + "ar", "\x01\x02 no program\n", 0755);
  write_file(bad + plugin_name, "");
  std::string functions;  // so many that nm writes past what a pipe holds
  for (int i = 0; i < 20000; ++i) functions += "int f" + std::to_string(i) + "(void) { return 0; }\n";
  write_file(work + "/many.c", functions);
  ASSERT_EQ(run_program(clang, {clang, "-c", work + "/many.c", "-o", many}).exit_code(), 0);
  struct Case {
    std::string message, program;  // no program: the plugin's message, not ours
    std::vector<std::string> argv, env;
    int code;
    std::string shown = "";  // what the output holds, when not the message itself
  } cases[] = {
      {"kiv-ar: Cannot find plugin 'libvesk_plugin.so'", tree.bin + "kiv-ar", {"kiv-ar", "t", "x.a"},
       {"KIV_EXEC_PREFIX=/nonexistent/"}, 1, "kiv-ar: Cannot find plugin '" + plugin_name + "'"},
      {"kiv-ar: Cannot find binary 'ar'", tree.bin + "kiv-ar", {"kiv-ar", "t", "x.a"},
       {"PATH=/nonexistent"}, 1},
      {"Failed to load plugin", broken.bin + "kiv-ar",
       {"kiv-ar", "rcs", work + "/x.a", objects + "add.o"}, {}, 0},
      {"LLVM gold plugin has failed to create LTO module: Opaque pointers are only supported in "
       "-opaque-pointers mode", "", {}, {}, 0},
      {"Error running /usr/bin/ar: posix_spawnp", tree.bin + "kiv-ar",
       {"kiv-ar", "-B", bad, "t", "x.a"}, {}, 1, "Error running " + bad + "ar: posix_spawnp"},
      {"nm terminated with signal 13 [Broken pipe]", "/bin/bash",
       {"bash", "-c", "set -o pipefail; \"$0\" \"$1\" | head -c 1 > /dev/null", tree.bin + "kiv-nm",
        many}, {}, 1},
  };
  std::string readme = read_file(std::string(KIV_TEST_SOURCE_DIR) + "/../README.md");
  size_t begin = readme.find("\n## When it does not work\n");
  ASSERT_NE(begin, std::string::npos);
  std::string section = readme.substr(begin, readme.find("\n## ", begin + 1) - begin);
  int listed = 0;
  for (size_t at = 0; (at = section.find("\n- `", at)) != std::string::npos; ++listed) {
    at += 4;
    std::string message = section.substr(at, section.find('`', at) - at);
    for (size_t nl; (nl = message.find("\n")) != std::string::npos;)
      message.replace(nl, message.find_first_not_of(' ', nl + 1) - nl, " ");
    auto c = std::find_if(std::begin(cases), std::end(cases),
                          [&](const Case &k) { return k.message == message; });
    ASSERT_NE(c, std::end(cases)) << "README.md lists a message this test does not know: " << message;
    if (c->program.empty()) continue;
    if (c->message.starts_with("Error running") && !spawn_reports_start_failure()) continue;
    RunResult r = run_program(c->program, c->argv, {.env_set = c->env, .cwd = work});
    EXPECT_EQ(r.exit_code(), c->code) << message << "\n" << output_of(r);
    EXPECT_NE(r.err.find(c->shown.empty() ? message : c->shown), std::string::npos)
        << message << "\n" << output_of(r);
  }
  EXPECT_EQ(listed, std::size(cases));
}

// A build system's recipe for the wrappers, tried on the small library.
struct Recipe {
  const char *name;
  const char *title;                // its paragraph's first line in README.md
  std::vector<const char *> needs;  // programs, looked up in PATH unless absolute
  std::vector<const char *> files;  // copied from the project
  std::string prepare;              // shell commands run before the recipe
  std::vector<const char *> programs;    // built; each must print 42
  std::vector<const char *> in_log;      // the build's output must show these
  std::vector<const char *> not_in_log;  // ... and must not show these
  bool moved = false;                    // the tree is moved after it is installed
  Sabotage sabotage = Sabotage::none;    // a control: kiv-ar runs the plain ar
  const char *fails_with = nullptr;      // ... and the build fails, showing this
};

const std::vector<const char *> c_sources = {"add.c", "twice.c", "main.c"};
std::vector<const char *> with(std::vector<const char *> files) {
  files.insert(files.end(), c_sources.begin(), c_sources.end());
  return files;
}
// Debian's Rust, offline: its rustc is on LLVM 14, as clang and the plugin are.
const std::vector<const char *> cargo_needs = {"/usr/bin/cargo", "/usr/bin/rustc", "ld.gold"};
const std::vector<const char *> crate = {"Cargo.toml", "build.rs", "main.rs", "config.toml",
                                         "add.c", "twice.c"};
const std::string offline = "export CARGO_HOME=$PWD/.cargo\nmkdir .cargo; mv config.toml .cargo/\n";

// The commands are README.md's, run as written; the rows say what to check.
const Recipe recipes[] = {
    {"make", "# make, for a makefile that archives with $(AR) $(ARFLAGS)", {"make"},
     with({"Makefile"}), "", {"prog"},
     {"clang -flto", "kiv-ar", "rv libcalc.a", "kiv-ranlib", "-DCALC_OWN_FLAGS"}, {}},
    {"make_ar_flags", "# make, for a makefile whose AR holds its flags", {"make"},
     with({"Makefile.ar-flags"}), "mv Makefile.ar-flags Makefile", {"prog"},
     {"clang -flto -o prog", "kiv-ar rc libcalc.a", "kiv-ranlib", "-DCALC_OWN_FLAGS"}, {}},
    {"cmake", "# CMake without IPO,", {"cmake", "ninja"}, with({"CMakeLists.txt"}), "",
     {"build/prog", "build/prog_cxx"}, {"-flto", "kiv-ar", "kiv-ranlib"}, {}},
    {"cmake_ipo", "# CMake with IPO,", {"cmake", "ninja"}, with({"CMakeLists.txt"}), "",
     {"build/prog", "build/prog_cxx"}, {"-flto", "kiv-ar", "kiv-ranlib"},
     {"llvm-ar", "llvm-ranlib"}},
    // The initial cache finds the wrappers from a moved tree, and no entry of
    // it is reported unused, though the project enables no Fortran.
    {"cmake_lto_cmake", "# CMake: the installation's", {"cmake", "ninja"}, with({"CMakeLists.txt"}),
     "", {"build/prog", "build/prog_cxx"}, {"-flto", "kiv-ar", "kiv-ranlib"},
     {"llvm-ar", "llvm-ranlib", "not used"}, true},
    {"cmake_lto_cmake_plain_ar", "# CMake: the installation's", {"cmake", "ninja"},
     with({"CMakeLists.txt"}), "", {}, {}, {}, true, Sabotage::wrapper_runs_plain_tool,
     "archive has no index; run ranlib to add one"},
    {"meson", "# Meson, in full,", {"meson", "ninja"}, with({"meson.build"}), "", {"build/prog"},
     {"-flto", "kiv-ar"}, {}},
    // The native file by name, from the installation it was written for.
    {"meson_native_file", "# Meson: the installation's", {"meson", "ninja"}, with({"meson.build"}),
     "", {"build/prog"}, {"-flto", "kiv-ar"}, {"llvm-ar"}},
    {"meson_native_file_plain_ar", "# Meson: the installation's", {"meson", "ninja"},
     with({"meson.build"}), "", {}, {}, {}, false, Sabotage::wrapper_runs_plain_tool,
     "archive has no index; run ranlib to add one"},
    {"autotools", "# autoconf, automake and libtool",
     {"autoreconf", "libtoolize", "automake", "make"}, with({"configure.ac", "Makefile.am"}),
     "autoreconf -i", {"prog"},
     {"-flto", "kiv-ar cr", "kiv-ranlib"}, {"libcalc.so"}},
    // The crate's program links the archive of its build script.
    {"cargo", "# Cargo,", cargo_needs, crate, offline, {"target/debug/prog"},
     {"\"-flto\"", "\"kiv-ar\" \"cq\"", "\"kiv-ar\" \"s\"", "-fuse-ld=gold"}, {}},
    {"cargo_plain_ar", "# Cargo,", cargo_needs, crate, offline, {}, {}, {}, false,
     Sabotage::wrapper_runs_plain_tool, "no archive symbol table (run ranlib)"},
    // A library crate: rustc puts the archive's members into its rlib, with an
    // index of its own, and the program links that. The plain ar does as well.
    {"cargo_library_plain_ar", "# Cargo,", cargo_needs,
     {"calc-sys/Cargo.toml", "calc-sys/build.rs", "calc-sys/lib.rs", "calc-sys/main.rs",
      "config.toml", "add.c", "twice.c"},
     offline + "cd calc-sys\n", {"calc-sys/target/debug/prog"},
     {"\"-flto\"", "\"kiv-ar\" \"cq\"", "-l static=calc", "-fuse-ld=gold"}, {}, false,
     Sabotage::wrapper_runs_plain_tool},
};

void PrintTo(const Recipe &recipe, std::ostream *os) { *os << recipe.name; }

// The paragraph of README.md's recipes that begins with title, with the
// tree's prefix for /opt/kiv; empty when there is none.
std::string readme_recipe(const std::string &title, const std::string &prefix) {
  std::string readme = read_file(std::string(KIV_TEST_SOURCE_DIR) + "/../README.md");
  size_t begin = readme.find("\n" + title, readme.find("\n```sh\n", readme.find("\n## Recipes")));
  if (begin == std::string::npos) return "";
  std::string text = readme.substr(begin, std::min(readme.find("\n\n", begin + 1),
                                                   readme.find("\n```", begin + 1)) - begin);
  for (size_t at; (at = text.find("/opt/kiv")) != std::string::npos;) text.replace(at, 8, prefix);
  return text;
}

class LtoRecipes : public LtoJob, public ::testing::WithParamInterface<Recipe> {
 protected:
  static constexpr bool tried = KIV_TEST_RECIPES;
  // Where the recipes are not tried, the shared fixture is not made either.
  static void SetUpTestSuite() {
    if (tried) LtoJob::SetUpTestSuite();
  }
  void SetUp() override {
    if (!tried) GTEST_SKIP() << "the build-system recipes are tried in one configuration only";
    LtoJob::SetUp();
  }
};

TEST_P(LtoRecipes, BuildThroughTheWrappers) {
  const Recipe &recipe = GetParam();
  for (const char *program : recipe.needs)
    if (*program == '/' ? access(program, X_OK) != 0 : find_in_path(program).empty())
      GTEST_SKIP() << "no " << program;
  // README.md's /opt/kiv: a tree that the build's install step laid out.
  std::string prefix = work + "/kiv";
  install(recipe.moved ? "installed" : "kiv", recipe.sabotage, true);
  if (recipe.moved) {
    ASSERT_EQ(rename((work + "/installed").c_str(), prefix.c_str()), 0) << strerror(errno);
  }
  std::string recipe_text = readme_recipe(recipe.title, prefix);
  ASSERT_NE(recipe_text, "") << "README.md has no recipe headed " << recipe.title;
  std::string dir = work + "/calc";
  for (const char *file : recipe.files) {
    make_dir(dir_of(dir + "/" + file));
    write_file(dir + "/" + file, read_file(project + file));
  }
  // As where rustup is installed, a cargo and a rustc come first on PATH, and
  // must not run. The recipe names the compiler itself, and clang is that of
  // the plugin.
  make_dir(work + "/rustup");
  for (const char *tool : {"cargo", "rustc"})
    write_script(work + "/rustup/" + tool, "echo \"rustup's $0 ran\" >&2; exit 1\n");
  const char *path = getenv("PATH");
  RunOptions options = {
      .env_set = {"PATH=" + work + "/rustup:" + prefix + "/bin:" + dir_of(clang) + ":" +
                  (path ? path : "/usr/bin:/bin")},
      .env_unset = {"CC", "CXX", "CFLAGS", "CXXFLAGS", "LDFLAGS", "AR", "RANLIB", "NM", "MAKEFLAGS",
                    "MFLAGS", "ARFLAGS", "RUSTC", "RUSTFLAGS", "CARGO_TARGET_DIR"},
      .cwd = dir};
  RunResult r = run_program("/bin/sh", {"sh", "-ec", recipe.prepare + recipe_text}, options);
  std::string log = output_of(r);
  if (recipe.fails_with) {
    EXPECT_NE(r.exit_code(), 0) << recipe_text << "\nbuilt with the plain ar:\n" << log;
    EXPECT_NE(log.find(recipe.fails_with), std::string::npos) << "no " << recipe.fails_with << ":\n"
                                                            << log;
    return;
  }
  ASSERT_EQ(r.exit_code(), 0) << recipe_text << "\nfailed:\n" << log;
  for (const char *shown : recipe.in_log)
    EXPECT_NE(log.find(shown), std::string::npos) << "the build did not run " << shown << ":\n"
                                                  << log;
  for (const char *absent : recipe.not_in_log)
    EXPECT_EQ(log.find(absent), std::string::npos) << "the build ran " << absent << ":\n" << log;
  for (const char *program : recipe.programs) {
    RunResult r = run_program(dir + "/" + program, {program});
    EXPECT_EQ(output_of(r), "42\n") << program;
  }
}

INSTANTIATE_TEST_SUITE_P(Recipes, LtoRecipes, ::testing::ValuesIn(recipes),
                         [](const ::testing::TestParamInfo<Recipe> &info) {
                           return info.param.name;
                         });

}  // namespace
