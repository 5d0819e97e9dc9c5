// An installed tree of the suite as the install step lays it out below a
// prefix, for the tests that run the programs from one.
#pragma once

#include <string>
#include <vector>

namespace kiv_test {

// Where the tree below prefix keeps each thing. Every directory ends in '/'.
struct TreeLayout {
  explicit TreeLayout(const std::string &prefix);
  // Makes the directories and copies the programs into bin.
  void make(const std::vector<std::string> &programs = {}) const;

  std::string bin;             // prefix/bin/: the wrappers
  std::string exec_prefix;     // prefix/lib/kiv15/kiv/
  std::string libexec_prefix;  // prefix/libexec/kiv15/kiv/
  std::string lib;             // exec_prefix + <target>/<version>/
  std::string libexec;         // libexec_prefix + <target>/<version>/
  std::string tools;           // prefix/<target>/bin/: the target's ar, nm and ranlib
  std::string plugin;          // libexec + the suite's plugin
};

}  // namespace kiv_test
