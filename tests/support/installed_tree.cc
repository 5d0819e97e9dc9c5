#include "installed_tree.h"

#include "kiv_config.h"
#include "test_util.h"

namespace kiv_test {

TreeLayout::TreeLayout(const std::string &prefix)
    : bin(prefix + "/" + BIN_DIR + "/"),
      exec_prefix(prefix + "/lib/" + SUITE_DIR + "/"),
      libexec_prefix(prefix + "/libexec/" + SUITE_DIR + "/"),
      lib(exec_prefix + CONFIGURED_TARGET + "/" + CONFIGURED_VERSION + "/"),
      libexec(libexec_prefix + CONFIGURED_TARGET + "/" + CONFIGURED_VERSION + "/"),
      tools(prefix + "/" + CONFIGURED_TARGET + "/bin/"),
      plugin(libexec + PLUGIN_FILE_NAME) {}

void TreeLayout::make(const std::vector<std::string> &programs) const {
  for (const std::string &dir : {bin, lib, libexec, tools}) make_dir(dir);
  for (const std::string &program : programs)
    write_file(bin + program.substr(program.rfind('/') + 1), read_file(program), 0755);
}

}  // namespace kiv_test
