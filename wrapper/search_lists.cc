#include "search_lists.h"

#include <cstdlib>

#include "alloc.h"
#include "kiv_config.h"
#include "path.h"

prefix_list exec_prefix_list;
prefix_list path_prefix_list;

void init_search_lists(const char *argv0, const char *wrapper_name) {
  const char *program = argv0;
  if (const char *exec_prefix_env = getenv("KIV_EXEC_PREFIX")) {
    // Joined with no separator: the value names a directory with its "/".
    program = concat_strings(exec_prefix_env, wrapper_name, nullptr);
  }

  const char *exec_prefix = relocate_prefix(program, CONFIGURED_BIN_PREFIX, CONFIGURED_EXEC_PREFIX);
  if (!exec_prefix) exec_prefix = CONFIGURED_EXEC_PREFIX;
  const char *libexec_prefix =
      relocate_prefix(program, CONFIGURED_BIN_PREFIX, CONFIGURED_LIBEXEC_PREFIX);
  if (!libexec_prefix) libexec_prefix = CONFIGURED_LIBEXEC_PREFIX;

  // From <exec prefix>/<target>/<version>/ the tool directory lies five
  // levels up, in <root>/<target>/bin.
  char *tool_dir_prefix = concat_strings(TOOL_DIR_BASE, CONFIGURED_TARGET, "/", nullptr);
  char *tool_dir = concat_strings(exec_prefix, CONFIGURED_TARGET, "/", CONFIGURED_VERSION, "/",
                                  tool_dir_prefix, "bin", nullptr);
  prefix_list_from_string(tool_dir, &exec_prefix_list);

  char *libexec_dir =
      concat_strings(libexec_prefix, CONFIGURED_TARGET, "/", CONFIGURED_VERSION, "/", nullptr);
  prefix_list_from_string(libexec_dir, &exec_prefix_list);

  prefix_list_from_env("PATH", &path_prefix_list);
  // Everything built here lives until the process ends.
}
