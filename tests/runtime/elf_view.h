// What the binutils say about a built object file, read from the text of
// `readelf` and `nm`. All knowledge of their output format lives in
// elf_view.cc, so a change in it is mended there.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

namespace kiv_test {

// One symbol-table entry.
struct elf_symbol {
  unsigned long long value = 0;
  unsigned long long size = 0;
  std::string type, bind, visibility;  // as readelf names them: FUNC, LOCAL, HIDDEN, ...
  std::string section;                 // the section's index, or UND, ABS, ...
  std::string name;
};

struct elf_relocation {
  std::string symbol;  // a symbol's or a section's name
  unsigned long long addend = 0;
};

struct elf_view {
  std::map<int, std::string> sections;  // index -> name
  std::vector<elf_symbol> symbols;
  std::map<std::string, std::vector<elf_relocation>> relocations;  // by relocated section

  // The first symbol of that name, or null.
  const elf_symbol *find(const std::string &name) const;
  // The functions that an initialisation or finalisation array (".init_array",
  // ".fini_array") points at, whether a relocation names the function or its
  // section and offset; "?<name>" for an entry that is neither.
  std::vector<std::string> array_entries(const std::string &array) const;
};

// Whether the tool at path can be run (an empty path: the build found none).
bool tool_usable(const char *path);

// The sections, symbols and relocations of an object file, by readelf. A
// readelf that fails is a test failure.
elf_view read_elf_object(const char *readelf, const char *path);

// The names of the defined dynamic symbols of a shared object, by nm.
std::set<std::string> defined_dynamic_symbols(const char *nm, const char *path);

}  // namespace kiv_test
