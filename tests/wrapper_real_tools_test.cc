// The wrappers in front of the machine's own ar, nm and ranlib, with a
// stand-in plugin that the tools really load.
#include <gtest/gtest.h>

#include "wrapper_fixture.h"

namespace {

using namespace kiv_test;

class RealTools : public WrapperTest {
 protected:
  void SetUp() override {
    WrapperTest::SetUp();
    plugin_log = dir / "plugin.log";
    write_file(bdir + plugin_name, read_file(KIV_TEST_PLUGIN_PATH), 0755);
    work = dir / "work/";
    make_dir(work);
    RunResult cc = run_program("/bin/sh", {"sh", "-c",
                                           "printf 'int kiv_probe(void) { return 42; }\\n' > x.c"
                                           " && cc -c x.c -o x.o"},
                               {.cwd = work});
    if (cc.exit_code() != 0) GTEST_SKIP() << "no C compiler: " << cc.err;
  }
  RunResult tool(const std::string &program, std::vector<std::string> args) {
    args.insert(args.begin(), {program, "-B", bdir});
    return run(program, args,
               {.env_set = {"PATH=/usr/bin:/bin", "KIV_TEST_PLUGIN_LOG=" + plugin_log},
                .cwd = work});
  }
  std::string plugin_log, work;
};

TEST_F(RealTools, ArchiveIsBuiltListedAndIndexedWithThePluginLoaded) {
  RunResult r = tool(kiv_ar, {"rc", "lib.a", "x.o"});
  ASSERT_EQ(r.exit_code(), 0) << r.err;
  EXPECT_TRUE(file_exists(plugin_log)) << "ar did not load the plugin";

  r = tool(kiv_ranlib, {"lib.a"});
  ASSERT_EQ(r.exit_code(), 0) << r.err;

  r = tool(kiv_nm, {"lib.a"});
  ASSERT_EQ(r.exit_code(), 0) << r.err;
  EXPECT_NE(r.out.find("T kiv_probe"), std::string::npos) << r.out;

  r = tool(kiv_ar, {"t", "lib.a"});
  ASSERT_EQ(r.exit_code(), 0) << r.err;
  EXPECT_EQ(r.out, "x.o\n");

  // The archive's index, as the plain tool shows it.
  RunResult index = run_program("/usr/bin/nm", {"nm", "--print-armap", "lib.a"}, {.cwd = work});
  EXPECT_NE(index.out.find("kiv_probe in x.o"), std::string::npos) << index.out;

  // The tool's own failure comes back as the wrapper's status.
  r = tool(kiv_ar, {"t", "missing.a"});
  EXPECT_NE(r.exit_code(), 0);
  EXPECT_NE(r.err.find("missing.a"), std::string::npos);
}

TEST_F(RealTools, AwkwardMemberNamesThroughAResponseFile) {
  const std::vector<std::string> names = {"with space.o", "it's.o", "say \"hi\".o",
                                          "back\\slash.o", "new\nline.o"};
  std::string x = read_file(work + "x.o");
  for (const std::string &name : names) write_file(work + name, x);
  // The response file quotes each name in a different way.
  write_file(work + "members",
             "'with space.o' it\\'s.o \"say \\\"hi\\\".o\" 'back\\slash.o' 'new\nline.o'\n");
  RunResult r = tool(kiv_ar, {"rc", "names.a", "@members"});
  ASSERT_EQ(r.exit_code(), 0) << r.err;
  EXPECT_EQ(list_dir(tmp), std::vector<std::string>{});

  r = tool(kiv_ar, {"t", "names.a"});
  ASSERT_EQ(r.exit_code(), 0) << r.err;
  std::string expected;
  for (const std::string &name : names) expected += name + "\n";
  EXPECT_EQ(r.out, expected);
}

}  // namespace

namespace {

// The wrappers start as plain C programs: a build change that makes them
// load the C++ run-time library at every start fails here.
TEST(WrapperLink, NoCxxRunTimeLibraryIsLoaded) {
  if (KIV_SANITIZED) GTEST_SKIP() << "the sanitizer run-times bring the C++ library along";
  if (KIV_STATIC_PROGRAMS) GTEST_SKIP() << "the programs are linked statically";
  std::string readelf = KIV_READELF_PATH;
  if (readelf.empty()) GTEST_SKIP() << "no readelf";
  for (const std::string &program : {kiv_test::kiv_ar, kiv_test::kiv_nm, kiv_test::kiv_ranlib}) {
    kiv_test::RunResult r = kiv_test::run_program(readelf, {"readelf", "-d", program});
    ASSERT_EQ(r.exit_code(), 0) << r.err;
    EXPECT_NE(r.out.find("(NEEDED)"), std::string::npos);
    EXPECT_EQ(r.out.find("libstdc++"), std::string::npos) << program << "\n" << r.out;
    EXPECT_EQ(r.out.find("libc++"), std::string::npos) << program << "\n" << r.out;
  }
}

}  // namespace
