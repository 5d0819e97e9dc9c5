#include "temp_file.h"

#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

#include "alloc.h"
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
  ASSERT_EQ(chmod(a.path().c_str(), 0500), 0);
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

// Makes each close of the descriptor the next open gives fail with EIO, by
// a seccomp filter; false where none can be set (qemu-user takes none).
bool fail_close_of_next_descriptor() {
  int next = dup(0);
  close(next);
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_close, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(next), 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EIO),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program = {sizeof filter / sizeof filter[0], filter};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

TEST(CreateTempFile, FailureEndsTheProcessAtOnceLeavingNothing) {
  ScopedTempDir parent;
  std::string dir = parent / "d";
  // The directory removed after it was chosen; the new file's close failing,
  // which says nothing.
  for (bool closing : {false, true}) {
    if (!kiv_test::file_exists(dir)) kiv_test::make_dir(dir);
    if (closing) {
      pid_t probe = fork();
      if (probe == 0) _exit(fail_close_of_next_descriptor() ? 0 : 1);
      int status = 1;
      waitpid(probe, &status, 0);
      if (status != 0) GTEST_SKIP() << "no seccomp filter can be set here";
    }
    EXPECT_EXIT(
        {
          set_env(dir.c_str(), nullptr, nullptr);
          // Not run: a hook that made a temporary file would come back here.
          exit_cleanup_hook = [](int) { fputs("hook ran\n", stderr); };
          choose_temp_dir();
          if (closing ? !fail_close_of_next_descriptor() : rmdir(dir.c_str()) != 0) exit(2);
          create_temp_file("");
          exit(0);
        },
        testing::ExitedWithCode(1),
        closing ? "^$" : "^Cannot create temporary file in " + dir + "/: No such file or directory\n$");
  }
  EXPECT_EQ(kiv_test::list_dir(dir), std::vector<std::string>{});
}

}  // namespace

namespace {

TEST(CheckTempDir, OnlyWhereNobodyElseCanRenameAnythingOnTheWay) {
  // The candidate is <scratch>/upper/lower, or a link in upper to lower.
  struct Case {
    const char *name;
    mode_t upper, lower;
    bool lower_is_another_users, via_link, accepted;
  } cases[] = {
      {"own 0700", 0700, 0700, false, false, true},
      {"sticky 01777", 0700, 01777, false, false, true},
      {"0777", 0700, 0777, false, false, false},
      {"0770", 0700, 0770, false, false, false},
      {"below 0777", 0777, 0700, false, false, false},
      {"another user's 0755", 0700, 0755, true, false, false},
      {"a link to own 0700", 0700, 0700, false, true, true},
      {"a link in 0777", 0777, 0700, false, true, false},
  };
  std::string not_run;
  for (const Case &c : cases) {
    if (c.lower_is_another_users && geteuid() != 0) {
      not_run += std::string(" [") + c.name + "]";  // chown takes root
      continue;
    }
    ScopedTempDir scratch;
    std::string upper = scratch / "upper", lower = upper + "/lower";
    kiv_test::make_dir(upper);
    kiv_test::make_dir(lower);
    ASSERT_EQ(chmod(upper.c_str(), c.upper), 0);
    ASSERT_EQ(chmod(lower.c_str(), c.lower), 0);
    if (c.lower_is_another_users) {
      ASSERT_EQ(chown(lower.c_str(), 65534, 65534), 0);
    }
    std::string candidate = lower;
    if (c.via_link) {
      candidate = upper + "/link";
      ASSERT_EQ(symlink(lower.c_str(), candidate.c_str()), 0);
    }
    const char *refusal = check_temp_dir(candidate.c_str());
    EXPECT_EQ(refusal == nullptr, c.accepted) << c.name << ": " << (refusal ? refusal : "");
  }
  if (!not_run.empty()) GTEST_SKIP() << "these take root:" << not_run;
}

}  // namespace
