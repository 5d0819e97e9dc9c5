// The search lists that the wrappers build from their installation.
#include "search_lists.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "c_api_helpers.h"
#include "kiv_config.h"

namespace {

using kiv_test::take_prefix_list;
using Lines = std::vector<std::string>;

class SearchLists : public testing::Test {
 protected:
  void SetUp() override {
    if (std::string(BIN_DIR) != "bin" || CONFIGURED_EXEC_PREFIX != prefix + "lib/" + SUITE_DIR + "/")
      GTEST_SKIP() << "the expected lists assume the install step's layout below one prefix";
  }
  const std::string bin = CONFIGURED_BIN_PREFIX, prefix = bin.substr(0, bin.size() - 4);
  const std::string suite = std::string(SUITE_DIR) + "/" + CONFIGURED_TARGET + "/" + CONFIGURED_VERSION + "/";
  void TearDown() override {
    take_prefix_list(exec_prefix_list);
    take_prefix_list(path_prefix_list);
  }
};

// The directory of this test's own executable, with a trailing '/'.
std::string own_directory() {
  char *self = realpath("/proc/self/exe", nullptr);
  std::string path = self ? self : "";
  free(self);
  return path.substr(0, path.rfind('/') + 1);
}

TEST_F(SearchLists, InstalledAndMovedTrees) {
  const std::string self_dir = own_directory();  // empty where there is no /proc
  const std::string lib = "lib/" + suite, libexec = "libexec/" + suite;
  const std::string tool_dir = TOOL_DIR_BASE + std::string(CONFIGURED_TARGET) + "/bin/";
  struct Case {
    const char *exec_prefix_env;  // null: unset
    const char *argv0;
    const char *path;  // null: unset
    Lines exec, path_entries;
    bool from_own_path = false;
  } cases[] = {
      // Installed where it was configured for: the configured prefixes.
      {CONFIGURED_BIN_PREFIX, "kiv-ar", "/usr/local/bin:/usr/bin:/bin",
       {prefix + lib + tool_dir, prefix + libexec},
       {"/usr/local/bin/", "/usr/bin/", "/bin/"}},
      // The same tree moved to /opt/tc.
      {"/opt/tc/bin/", "kiv-ar", "/usr/bin",
       {"/opt/tc/bin/../" + lib + tool_dir, "/opt/tc/bin/../" + libexec},
       {"/usr/bin/"}},
      // argv[0] locates the tree when the variable is unset; PATH unset
      // leaves its list empty.
      {nullptr, "/opt/tc/bin/kiv-ar", nullptr,
       {"/opt/tc/bin/../" + lib + tool_dir, "/opt/tc/bin/../" + libexec},
       {}},
      // No separator is added behind the variable's value.
      {"/opt/tc/lib/kiv", "ignored/kiv-ar", "",
       {"/opt/tc/lib/../" + lib + tool_dir, "/opt/tc/lib/../" + libexec},
       {"./"}},
      // A ':' in the installation's path is part of a name; PATH is split.
      {"/opt/a:b/bin/", "kiv-ar", "::",
       {"/opt/a:b/bin/../" + lib + tool_dir, "/opt/a:b/bin/../" + libexec},
       {"./", "./", "./"}},
      // A bare name that PATH does not yield: the running executable (this
      // test) locates the installation, never the current directory.
      {nullptr, "kiv-ar", "/nonexistent",
       {self_dir + "../" + lib + tool_dir, self_dir + "../" + libexec},
       {"/nonexistent/"},
       true},
  };
  kiv_test::ScopedEnv exec_prefix("KIV_EXEC_PREFIX", nullptr), path("PATH", nullptr);
  for (const Case &c : cases) {
    if (c.from_own_path && self_dir.empty()) continue;
    exec_prefix.set(c.exec_prefix_env);
    path.set(c.path);
    init_search_lists(c.argv0, "kiv-ar");
    EXPECT_EQ(take_prefix_list(exec_prefix_list), c.exec) << c.argv0 << " " << (c.exec_prefix_env ? c.exec_prefix_env : "");
    EXPECT_EQ(take_prefix_list(path_prefix_list), c.path_entries) << c.argv0;
  }
}

}  // namespace
