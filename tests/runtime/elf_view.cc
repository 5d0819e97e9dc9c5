#include "elf_view.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "test_util.h"

namespace kiv_test {

namespace {

std::vector<std::string> split_words(const std::string &line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  std::string w;
  while (in >> w) words.push_back(w);
  return words;
}

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


}  // namespace

const elf_symbol *elf_view::find(const std::string &name) const {
  for (const elf_symbol &s : symbols)
    if (s.name == name) return &s;
  return nullptr;
}

std::vector<std::string> elf_view::array_entries(const std::string &array) const {
  std::vector<std::string> names;
  for (const char *kind : {".rela", ".rel"}) {
    auto it = relocations.find(kind + array);
    if (it == relocations.end()) continue;
    for (const elf_relocation &r : it->second) {
      std::string name = "?" + r.symbol;
      if (const elf_symbol *s = find(r.symbol); s && s->type == "FUNC") {
        name = s->name;
      } else {
        for (const auto &[index, section] : sections) {
          if (section != r.symbol) continue;
          for (const elf_symbol &s : symbols)
            if (s.type == "FUNC" && s.section == std::to_string(index) && s.value == r.addend)
              name = s.name;
        }
      }
      names.push_back(name);
    }
  }
  return names;
}

bool tool_usable(const char *path) { return *path != '\0' && access(path, X_OK) == 0; }

elf_view read_elf_object(const char *readelf, const char *path) {
  elf_view view;
  parse_sections(run_tool(readelf, {"-SW", path}), view);
  parse_symbols(run_tool(readelf, {"-sW", path}), view);
  parse_relocations(run_tool(readelf, {"-rW", path}), view);
  return view;
}

std::set<std::string> defined_dynamic_symbols(const char *nm, const char *path) {
  std::set<std::string> names;
  std::istringstream in(run_tool(nm, {"-D", "--defined-only", path}));
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> w = split_words(line);
    if (!w.empty()) names.insert(w.back());
  }
  return names;
}

}  // namespace kiv_test
