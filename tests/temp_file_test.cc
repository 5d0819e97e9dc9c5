#include "temp_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "test_util.h"

namespace {

using kiv_test::ScopedTempDir;

// The directory is chosen once per process, so each case runs in a child
// with the environment it needs and reports on standard error.
void set_env(const char *tmpdir, const char *tmp, const char *temp) {
  auto set = [](const char *name, const char *value) {
    if (value)
      setenv(name, value, 1);
    else
      unsetenv(name);
  };
  set("TMPDIR", tmpdir);
  set("TMP", tmp);
  set("TEMP", temp);
}

[[noreturn]] void report_dir_and_exit() {
  fprintf(stderr, "[%s]", choose_temp_dir());
  exit(0);
}

TEST(ChooseTempDir, TakesTheFirstUsableVariable) {
  ScopedTempDir a, b, c;
  std::string file = a / "plain-file";
  kiv_test::write_file(file, "");
  std::string missing = a / "missing";
  std::string with_slash = a.path() + "/";
  struct Case {
    const char *tmpdir, *tmp, *temp;
    std::string expected;
  } cases[] = {
      {a.path().c_str(), b.path().c_str(), c.path().c_str(), a.path() + "/"},
      {nullptr, b.path().c_str(), c.path().c_str(), b.path() + "/"},
      {nullptr, nullptr, c.path().c_str(), c.path() + "/"},
      {file.c_str(), nullptr, c.path().c_str(), c.path() + "/"},
      {missing.c_str(), nullptr, c.path().c_str(), c.path() + "/"},
      {"", "", c.path().c_str(), c.path() + "/"},
      // A trailing "/" is doubled: the separator is always appended.
      {with_slash.c_str(), nullptr, nullptr, a.path() + "//"},
      {nullptr, nullptr, nullptr, "/tmp//"},
  };
  for (const Case &k : cases) {
    EXPECT_EXIT(
        {
          set_env(k.tmpdir, k.tmp, k.temp);
          report_dir_and_exit();
        },
        testing::ExitedWithCode(0), "^\\[" + k.expected + "\\]$")
        << k.expected;
  }
}

TEST(ChooseTempDir, SkipsADirectoryWithoutWritePermission) {
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
  ScopedTempDir a, c;
  chmod(a.path().c_str(), 0500);
  EXPECT_EXIT(
      {
        set_env(a.path().c_str(), nullptr, c.path().c_str());
        report_dir_and_exit();
      },
      testing::ExitedWithCode(0), "^\\[" + c.path() + "/\\]$");
}

TEST(ChooseTempDir, IsChosenOncePerProcess) {
  ScopedTempDir a, b;
  EXPECT_EXIT(
      {
        set_env(a.path().c_str(), nullptr, nullptr);
        const char *first = choose_temp_dir();
        setenv("TMPDIR", b.path().c_str(), 1);
        char *name = create_temp_file("");
        fprintf(stderr, "%d %d", first == choose_temp_dir(),
                strncmp(name, first, strlen(first)) == 0);
        exit(0);
      },
      testing::ExitedWithCode(0), "^1 1$");
}

TEST(CreateTempFile, NamesAreDirPrefixSixCharactersSuffix) {
  ScopedTempDir dir;
  EXPECT_EXIT(
      {
        set_env(dir.path().c_str(), nullptr, nullptr);
        char *with_prefix = create_temp_file_with_prefix("out", ".o");
        char *plain = create_temp_file("");
        char *null_suffix = create_temp_file(nullptr);
        char *again = create_temp_file("");
        struct stat st;
        for (const char *name : {with_prefix, plain, null_suffix, again}) {
          if (stat(name, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != 0) exit(2);
          fprintf(stderr, "%s\n", name + strlen(choose_temp_dir()));
        }
        exit(strcmp(plain, again) == 0 ? 3 : 0);
      },
      testing::ExitedWithCode(0), "^out[^/]{6}\\.o\ncc[^/]{6}\ncc[^/]{6}\ncc[^/]{6}\n$");
  EXPECT_EQ(kiv_test::list_dir(dir.path()).size(), 4u);
}

TEST(CreateTempFile, FailureEndsTheProcessWithTheDirectoryNamed) {
  ScopedTempDir parent;
  std::string dir = parent / "gone";
  kiv_test::make_dir(dir);
  EXPECT_EXIT(
      {
        set_env(dir.c_str(), nullptr, nullptr);
        choose_temp_dir();
        rmdir(dir.c_str());  // removed after it was chosen
        create_temp_file("");
        exit(0);
      },
      testing::ExitedWithCode(1),
      "^Cannot create temporary file in " + dir + "/: No such file or directory\n$");
}

}  // namespace

namespace {

TEST(CreateOpenTempFile, PrivateDirectoryOnlyWhereOthersCouldSwapTheFile) {
  struct Case {
    mode_t mode;
    const char *expected;  // the name behind the temporary directory
  } cases[] = {
      {0700, "^cc[^/]{6}$"},
      {01777, "^cc[^/]{6}$"},  // sticky: others cannot rename what we make
      {0777, "^cc[^/]{6}/cc[^/]{6}$"},
      {0770, "^cc[^/]{6}/cc[^/]{6}$"},
  };
  for (const Case &c : cases) {
    ScopedTempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), c.mode), 0);
    EXPECT_EXIT(
        {
          set_env(dir.path().c_str(), nullptr, nullptr);
          open_temp_file file = create_open_temp_file();
          struct stat st;
          if (file.private_dir &&
              (stat(file.private_dir, &st) != 0 || (st.st_mode & 0777) != 0700))
            exit(2);
          // Written through the descriptor it came with.
          if (write(file.fd, "x\n", 2) != 2 || close(file.fd) != 0) exit(3);
          if (kiv_test::read_file(file.name) != "x\n") exit(4);
          fprintf(stderr, "%s", file.name + strlen(choose_temp_dir()));
          remove_open_temp_file(file);
          exit(kiv_test::list_dir(dir.path()).empty() ? 0 : 5);
        },
        testing::ExitedWithCode(0), c.expected)
        << std::oct << c.mode;
  }
}

}  // namespace
