// The search lists that the wrappers build from their installation.
#include "search_lists.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "kiv_config.h"

namespace {

using Lines = std::vector<std::string>;

Lines take(prefix_list &list) {
  Lines texts;
  while (prefix_entry *e = list.head) {
    texts.push_back(e->text);
    list.head = e->next;
    free(e->text);
    free(e);
  }
  list.longest_len = 0;
  return texts;
}

class SearchLists : public testing::Test {
 protected:
  void SetUp() override {
    if (std::string(CONFIGURED_BIN_PREFIX) != "/usr/local/bin/" ||
        std::string(CONFIGURED_TARGET) != "aarch64-portbld-freebsd15.0" ||
        std::string(CONFIGURED_VERSION) != "15.2.0")
      GTEST_SKIP() << "the expected lists assume the default configuration";
  }
  void TearDown() override {
    take(exec_prefix_list);
    take(path_prefix_list);
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
  const std::string lib = "lib/kiv15/kiv/aarch64-portbld-freebsd15.0/15.2.0/";
  const std::string tool_dir = "../../../../../aarch64-portbld-freebsd15.0/bin/";
  const std::string libexec = "libexec/kiv15/kiv/aarch64-portbld-freebsd15.0/15.2.0/";
  struct Case {
    const char *exec_prefix_env;  // null: unset
    const char *argv0;
    const char *path;  // null: unset
    Lines exec, path_entries;
    bool from_own_path = false;
  } cases[] = {
      // Installed where it was configured for: the configured prefixes.
      {"/usr/local/bin/", "kiv-ar", "/usr/local/bin:/usr/bin:/bin",
       {"/usr/local/" + lib + tool_dir, "/usr/local/" + libexec},
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
  for (const Case &c : cases) {
    if (c.from_own_path && self_dir.empty()) continue;
    if (c.exec_prefix_env)
      setenv("KIV_EXEC_PREFIX", c.exec_prefix_env, 1);
    else
      unsetenv("KIV_EXEC_PREFIX");
    if (c.path)
      setenv("PATH", c.path, 1);
    else
      unsetenv("PATH");
    init_search_lists(c.argv0, "kiv-ar");
    EXPECT_EQ(take(exec_prefix_list), c.exec) << c.argv0 << " " << (c.exec_prefix_env ? c.exec_prefix_env : "");
    EXPECT_EQ(take(path_prefix_list), c.path_entries) << c.argv0;
  }
}

}  // namespace
