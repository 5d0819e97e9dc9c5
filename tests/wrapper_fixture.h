// A scratch directory with stand-ins for the plugin and the wrapped tool,
// for tests that run the built kiv-ar, kiv-nm and kiv-ranlib.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kiv_config.h"
#include "kiv_test_config.h"
#include "test_util.h"

namespace kiv_test {

inline const std::string kiv_ar = KIV_AR_PATH;
inline const std::string kiv_nm = KIV_NM_PATH;
inline const std::string kiv_ranlib = KIV_RANLIB_PATH;
inline const std::string plugin_name = PLUGIN_FILE_NAME;

// The stand-in tool writes "$0" and then each argument, one per line, to
// $KIV_TEST_RECORD, copies every @file it is given to $KIV_TEST_SAVE, and
// then behaves as $KIV_TEST_ACTION says (shell code; default: exit 0).
inline const char stand_in_tool_script[] =
    "printf '%s\\n' \"$0\" \"$@\" > \"$KIV_TEST_RECORD\"\n"
    "for a; do case \"$a\" in @*) cp \"${a#@}\" \"$KIV_TEST_SAVE\";; esac; done\n"
    "eval \"${KIV_TEST_ACTION:-exit 0}\"\n";

// A stand-in's action that fails unless SIGPIPE and SIGXFSZ start at their defaults.
inline const std::string write_signals_at_default =
    "KIV_TEST_ACTION=ign=$(/bin/sed -n 's/^SigIgn:[[:space:]]*//p' /proc/$$/status); "
    "[ $((0x$ign & 0x1001000)) = 0 ]";

// How a failed lookup lists an installation's directories, given its prefixes.
inline std::string searched(const std::string &exec, const std::string &libexec) {
  const std::string suite = std::string(CONFIGURED_TARGET) + "/" + CONFIGURED_VERSION + "/";
  return " '" + exec + suite + TOOL_DIR_BASE + CONFIGURED_TARGET + "/bin/' '" + libexec + suite + "'";
}

class WrapperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bdir = dir / "b/";
    make_dir(bdir);
    write_file(bdir + PLUGIN_FILE_NAME, "not really a shared object\n");
    record = dir / "record";
    saved = dir / "saved";
    tmp = dir / "tmp";
    make_dir(tmp);
  }
  void add_tool(const std::string &name, const std::string &where = "") {
    write_script((where.empty() ? bdir : where) + name, stand_in_tool_script);
  }
  // Runs a wrapper with the given argv; the stand-in's record and @file copy
  // go to the scratch directory, temporary files to tmp.
  RunResult run(const std::string &program, const std::vector<std::string> &argv,
                RunOptions options = {}) {
    // Defaults first, so that a test's own settings win.
    options.env_set.insert(options.env_set.begin(),
                           {"KIV_TEST_RECORD=" + record, "KIV_TEST_SAVE=" + saved, "TMPDIR=" + tmp});
    options.env_unset.push_back("KIV_EXEC_PREFIX");
    options.env_unset.push_back("TMP");
    options.env_unset.push_back("TEMP");
    return run_program(program, argv, options);
  }
  // What the stand-in tool recorded: its $0 first, then its arguments.
  std::vector<std::string> recorded() {
    std::vector<std::string> lines;
    std::string text = file_exists(record) ? read_file(record) : "";
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
      lines.push_back(text.substr(start, nl - start));
    return lines;
  }

  ScopedTempDir dir;
  std::string bdir, record, saved, tmp;
};

}  // namespace kiv_test
