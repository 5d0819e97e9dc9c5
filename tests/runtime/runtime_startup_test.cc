// The run-time start-up object: its hooks and argument store, observed from
// programs that link it, and its symbol contract, read from the built file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

using kiv_test::run_program;
using kiv_test::RunResult;

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

// One line of `readelf -sW`.
struct elf_symbol {
  unsigned long long value = 0;
  unsigned long long size = 0;
  std::string type, bind, visibility, section, name;
};

struct elf_relocation {
  std::string symbol;  // a symbol's or a section's name
  unsigned long long addend = 0;
};

// What readelf says about one object file.
struct elf_view {
  std::map<int, std::string> sections;  // index -> name
  std::vector<elf_symbol> symbols;
  std::map<std::string, std::vector<elf_relocation>> relocations;  // by section

  const elf_symbol *find(const std::string &name) const {
    for (const elf_symbol &s : symbols)
      if (s.name == name) return &s;
    return nullptr;
  }
};

std::vector<std::string> split_words(const std::string &line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  std::string w;
  while (in >> w) words.push_back(w);
  return words;
}

bool tool_usable(const char *path) { return *path != '\0' && access(path, X_OK) == 0; }

std::string run_tool(const char *tool, const std::vector<std::string> &args) {
  std::vector<std::string> argv{tool};
  argv.insert(argv.end(), args.begin(), args.end());
  RunResult r = run_program(tool, argv);
  EXPECT_EQ(r.exit_code(), 0) << tool << ": " << r.err;
  return r.out;
}

void parse_sections(const std::string &text, elf_view &view) {
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    size_t open = line.find('[');
    size_t close = line.find(']');
    if (open == std::string::npos || close == std::string::npos || close < open) continue;
    char *end = nullptr;
    std::string inside = line.substr(open + 1, close - open - 1);
    long index = std::strtol(inside.c_str(), &end, 10);
    if (end == inside.c_str() || index == 0) continue;
    std::vector<std::string> rest = split_words(line.substr(close + 1));
    if (!rest.empty()) view.sections[static_cast<int>(index)] = rest[0];
  }
}

void parse_symbols(const std::string &text, elf_view &view) {
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> w = split_words(line);
    if (w.size() < 7 || w[0].back() != ':' || w[0] == "Num:") continue;
    elf_symbol s;
    s.value = std::strtoull(w[1].c_str(), nullptr, 16);
    s.size = std::strtoull(w[2].c_str(), nullptr, 0);
    s.type = w[3];
    s.bind = w[4];
    s.visibility = w[5];
    // Some machines add notes like "[VARIANT_PCS]" after the visibility.
    size_t i = 6;
    while (i < w.size() && w[i].front() == '[') {
      while (i < w.size() && w[i].back() != ']') ++i;
      ++i;
    }
    if (i >= w.size()) continue;
    s.section = w[i];
    if (i + 1 < w.size()) s.name = w[i + 1];
    view.symbols.push_back(s);
  }
}

void parse_relocations(const std::string &text, elf_view &view) {
  std::istringstream in(text);
  std::string line;
  std::string current;
  while (std::getline(in, line)) {
    const std::string header = "Relocation section '";
    if (line.rfind(header, 0) == 0) {
      size_t end = line.find('\'', header.size());
      current = line.substr(header.size(), end - header.size());
      view.relocations[current];
      continue;
    }
    std::vector<std::string> w = split_words(line);
    if (current.empty() || w.size() < 5 || w[0] == "Offset") continue;
    elf_relocation r;
    r.symbol = w[4];
    if (w.size() >= 7) {
      r.addend = std::strtoull(w[6].c_str(), nullptr, 16);
      if (w[5] == "-") r.addend = -r.addend;
    }
    view.relocations[current].push_back(r);
  }
}

elf_view read_object(const char *path) {
  elf_view view;
  parse_sections(run_tool(KIV_READELF, {"-SW", path}), view);
  parse_symbols(run_tool(KIV_READELF, {"-sW", path}), view);
  parse_relocations(run_tool(KIV_READELF, {"-rW", path}), view);
  return view;
}

// The functions that an initialisation or finalisation array points at,
// whether the relocation names the function or its section and offset.
std::vector<std::string> array_entries(const elf_view &view, const std::string &array) {
  std::vector<std::string> names;
  for (const char *kind : {".rela", ".rel"}) {
    auto it = view.relocations.find(kind + array);
    if (it == view.relocations.end()) continue;
    for (const elf_relocation &r : it->second) {
      std::string name = "?" + r.symbol;
      if (const elf_symbol *s = view.find(r.symbol); s && s->type == "FUNC") {
        name = s->name;
      } else {
        for (const auto &[index, section] : view.sections) {
          if (section != r.symbol) continue;
          for (const elf_symbol &s : view.symbols)
            if (s.type == "FUNC" && s.section == std::to_string(index) && s.value == r.addend)
              name = s.name;
        }
      }
      names.push_back(name);
    }
  }
  return names;
}

class RuntimeStartupSymbols : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!tool_usable(KIV_READELF)) GTEST_SKIP() << "readelf is not available";
    view_ = read_object(KIV_RUNTIME_STARTUP_OBJECT);
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
  EXPECT_EQ(array_entries(view_, ".init_array"), std::vector<std::string>{"init"});
  EXPECT_EQ(array_entries(view_, ".fini_array"), std::vector<std::string>{"cleanup"});
  for (const char *legacy : {".ctors", ".dtors"})
    for (const auto &[index, section] : view_.sections) EXPECT_NE(section, legacy);
}

TEST(RuntimeStartupSharedLibrary, ExportsOnlyThePublicEntry) {
  if (!tool_usable(KIV_NM)) GTEST_SKIP() << "nm is not available";
  std::set<std::string> exported;
  for (std::istringstream in(run_tool(KIV_NM, {"-D", "--defined-only", KIV_STARTUP_PROBE_LIBRARY}));;) {
    std::string line;
    if (!std::getline(in, line)) break;
    std::vector<std::string> w = split_words(line);
    if (!w.empty()) exported.insert(w.back());
  }
  EXPECT_EQ(exported.count("_drovix_set_args"), 1u);
  for (const char *name : {"_drovixi_set_args", "_drovixi_get_args",
                           "_drovixi_stupid_function_name_for_static_linking", "init", "cleanup",
                           "argc_save", "argv_save"})
    EXPECT_EQ(exported.count(name), 0u) << name;
}

}  // namespace
