// The run-time start-up object: its hooks and argument store, observed from
// programs that link it, and its symbol contract, read from the built file.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "elf_view.h"
#include "kiv_test_config.h"
#include "test_util.h"

namespace {

using kiv_test::elf_symbol;
using kiv_test::elf_view;
using kiv_test::run_program;
using kiv_test::RunResult;
using kiv_test::tool_usable;

constexpr const char *kInitWithoutFpu =
    "_drovixi_init_variables\n"
    "_drovixi_init_units\n"
    "_drovixi_init_compile_options\n";
constexpr const char *kInitWithFpu =
    "_drovixi_init_variables\n"
    "_drovixi_init_units\n"
    "_drovixi_set_fpu\n"
    "_drovixi_init_compile_options\n";
constexpr const char *kCleanup = "_drovixi_close_units\n";

RunResult run_probe(const std::string &path, const std::vector<std::string> &args) {
  std::vector<std::string> argv{path};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(path, argv);
}

std::string expected(const char *init, const std::string &body) {
  return std::string(init) + body + kCleanup;
}

TEST(RuntimeStartupHooks, ZeroOptionsWordMakesThreeCallsBeforeMain) {
  RunResult r = run_probe(KIV_STARTUP_PROBE, {"hooks"});
  EXPECT_EQ(r.exit_code(), 0) << r.err;
  EXPECT_EQ(r.out, expected(kInitWithoutFpu, "main\n"));
}

TEST(RuntimeStartupHooks, NonZeroOptionsWordCallsSetFpuThird) {
  RunResult r = run_probe(KIV_STARTUP_PROBE_FPU, {"hooks"});
  EXPECT_EQ(r.exit_code(), 0) << r.err;
  EXPECT_EQ(r.out, expected(kInitWithFpu, "main\n"));
}

TEST(RuntimeStartupHooks, ExitRunsCleanupOnceAndKeepsTheStatus) {
  RunResult r = run_probe(KIV_STARTUP_PROBE, {"exit"});
  EXPECT_EQ(r.exit_code(), 3) << r.err;
  EXPECT_EQ(r.out, expected(kInitWithoutFpu, "main\n"));
}

TEST(RuntimeStartupHooks, StaticLinkingSymbolPullsTheUnitOutOfAnArchive) {
  RunResult r = run_probe(KIV_STARTUP_PROBE_ARCHIVE_LINK, {});
  EXPECT_EQ(r.exit_code(), 0) << r.err;
  EXPECT_EQ(r.out, expected(kInitWithoutFpu, "main\n"));
}

TEST(RuntimeStartupHooks, SharedLibraryRunsHooksAndKeepsArguments) {
  RunResult r = run_probe(KIV_STARTUP_PROBE_SHARED, {"store", "x"});
  EXPECT_EQ(r.exit_code(), 0) << r.err;
  EXPECT_EQ(r.out, expected(kInitWithFpu, "count=3 vector=argv\n"));
}

struct ArgsCase {
  const char *scenario;
  std::vector<std::string> extra;
  const char *reports;
};

TEST(RuntimeStartupArgs, StoresAndReadsBack) {
  const ArgsCase cases[] = {
      {"unset", {"a"}, "count=0 vector=null\n"},
      // The caller's vector itself comes back, not a copy.
      {"store", {"a", "b c", ""}, "count=5 vector=argv\n"},
      {"twice", {"a", "b"}, "count=4 vector=argv\ncount=2 vector=other\n"},
      {"null", {"a"}, "count=-1 vector=null\ncount=0 vector=argv\n"},
      {"internal", {"a", "b"}, "count=3 vector=argv+1\n"},
  };
  for (const ArgsCase &c : cases) {
    std::vector<std::string> args{c.scenario};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    RunResult r = run_probe(KIV_STARTUP_PROBE, args);
    EXPECT_EQ(r.exit_code(), 0) << c.scenario << ": " << r.err;
    EXPECT_EQ(r.out, expected(kInitWithoutFpu, c.reports)) << c.scenario;
  }
}

class RuntimeStartupSymbols : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!tool_usable(KIV_READELF_PATH)) GTEST_SKIP() << "readelf is not available";
    view_ = kiv_test::read_elf_object(KIV_READELF_PATH, KIV_RUNTIME_STARTUP_OBJECT);
  }
  elf_view view_;
};

TEST_F(RuntimeStartupSymbols, DefinedGlobalsHaveTheirBindingAndVisibility) {
  const std::map<std::string, std::string> contract = {
      {"_drovix_set_args", "DEFAULT"},
      {"_drovixi_set_args", "HIDDEN"},
      {"_drovixi_get_args", "HIDDEN"},
      {"_drovixi_stupid_function_name_for_static_linking", "HIDDEN"},
  };
  std::map<std::string, std::string> globals;
  for (const elf_symbol &s : view_.symbols) {
    if (s.section == "UND" || s.bind == "LOCAL") continue;
    EXPECT_EQ(s.bind, "GLOBAL") << s.name;
    EXPECT_EQ(s.type, "FUNC") << s.name;
    globals[s.name] = s.visibility;
  }
  EXPECT_EQ(globals, contract);
}

TEST_F(RuntimeStartupSymbols, InternalNameIsAnAliasOfTheExportedEntry) {
  const elf_symbol *exported = view_.find("_drovix_set_args");
  const elf_symbol *internal = view_.find("_drovixi_set_args");
  ASSERT_NE(exported, nullptr);
  ASSERT_NE(internal, nullptr);
  EXPECT_EQ(internal->section, exported->section);
  EXPECT_EQ(internal->value, exported->value);
  EXPECT_EQ(internal->size, exported->size);
}

TEST_F(RuntimeStartupSymbols, UndefinedAreExactlyTheRunTimeLibrarysSix) {
  std::set<std::string> undefined;
  for (const elf_symbol &s : view_.symbols)
    if (s.section == "UND" && !s.name.empty()) undefined.insert(s.name);
  // The GNU assembler names the GOT for a GOT-relative access; every linker
  // defines that symbol itself, so it is no dependency.
  undefined.erase("_GLOBAL_OFFSET_TABLE_");
  const std::set<std::string> library = {
      "_drovixi_init_variables",       "_drovixi_init_units", "_drovixi_set_fpu",
      "_drovixi_init_compile_options", "_drovixi_close_units", "_drovixi_options",
  };
  EXPECT_EQ(undefined, library);
}

TEST_F(RuntimeStartupSymbols, StateAndHooksAreLocal) {
  for (const char *name : {"argc_save", "argv_save", "init", "cleanup"}) {
    const elf_symbol *s = view_.find(name);
    ASSERT_NE(s, nullptr) << name;
    EXPECT_EQ(s->bind, "LOCAL") << name;
    EXPECT_NE(s->section, "UND") << name;
  }
  EXPECT_EQ(view_.find("argc_save")->type, "OBJECT");
  EXPECT_EQ(view_.find("argv_save")->type, "OBJECT");
}

TEST_F(RuntimeStartupSymbols, HooksAreTheOnlyArrayEntries) {
  EXPECT_EQ(view_.array_entries(".init_array"), std::vector<std::string>{"init"});
  EXPECT_EQ(view_.array_entries(".fini_array"), std::vector<std::string>{"cleanup"});
  for (const char *legacy : {".ctors", ".dtors"})
    for (const auto &[index, section] : view_.sections) EXPECT_NE(section, legacy);
}

TEST(RuntimeStartupSharedLibrary, ExportsOnlyThePublicEntry) {
  if (!tool_usable(KIV_SYSTEM_NM)) GTEST_SKIP() << "nm is not available";
  std::set<std::string> exported =
      kiv_test::defined_dynamic_symbols(KIV_SYSTEM_NM, KIV_STARTUP_PROBE_LIBRARY);
  EXPECT_EQ(exported.count("_drovix_set_args"), 1u);
  for (const char *name : {"_drovixi_set_args", "_drovixi_get_args",
                           "_drovixi_stupid_function_name_for_static_linking", "init", "cleanup",
                           "argc_save", "argv_save"})
    EXPECT_EQ(exported.count(name), 0u) << name;
}

}  // namespace
