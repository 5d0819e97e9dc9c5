#include "search_lists.h"

#include <cstdlib>
#include <cstring>

#include "alloc.h"
#include "kiv_config.h"
#include "path.h"

prefix_list exec_prefix_list;
prefix_list path_prefix_list;

void init_search_lists(const char *argv0, const char *wrapper_name) {
  char *program_from_env = nullptr;
  if (const char *exec_prefix_env = getenv("KIV_EXEC_PREFIX")) {
    // Joined with no separator: the value names a directory with its "/".
    program_from_env = concat_strings(exec_prefix_env, wrapper_name, nullptr);
  }
  const char *program = program_from_env ? program_from_env : argv0;

  // Both directories are relocated from the program's real path, which is
  // looked up and resolved once. A path relative to the current directory
  // would let whoever can write there pick the plugin and the tool, so it is
  // taken only from a user who named one; otherwise the system says where
  // the program lies, or the configured directories are used.
  char *program_path = find_program_path(program);
  if (program_path && program_path[0] != '/' && !strchr(program, '/')) {
    free(program_path);
    program_path = running_executable_path();
  }
  char *relocated_exec = relocate_prefix_ignoring_links(program_path, CONFIGURED_BIN_PREFIX,
                                                        CONFIGURED_EXEC_PREFIX);
  char *relocated_libexec = relocate_prefix_ignoring_links(program_path, CONFIGURED_BIN_PREFIX,
                                                           CONFIGURED_LIBEXEC_PREFIX);
  const char *exec_prefix = relocated_exec ? relocated_exec : CONFIGURED_EXEC_PREFIX;
  const char *libexec_prefix = relocated_libexec ? relocated_libexec : CONFIGURED_LIBEXEC_PREFIX;

  // Each directory is one entry, whatever it holds: a ':' in the
  // installation's path is part of a name, not a separator.
  // From <exec prefix>/<target>/<version>/ the tool directory lies five
  // levels up, in <root>/<target>/bin.
  char *tool_dir = concat_strings(exec_prefix, CONFIGURED_TARGET, "/", CONFIGURED_VERSION, "/",
                                  TOOL_DIR_BASE, CONFIGURED_TARGET, "/", "bin/", nullptr);
  prefix_list_add(&exec_prefix_list, tool_dir);

  char *libexec_dir =
      concat_strings(libexec_prefix, CONFIGURED_TARGET, "/", CONFIGURED_VERSION, "/", nullptr);
  prefix_list_add(&exec_prefix_list, libexec_dir);

  prefix_list_from_env("PATH", &path_prefix_list);

  // The lists hold copies.
  free(libexec_dir);
  free(tool_dir);
  free(relocated_libexec);
  free(relocated_exec);
  free(program_path);
  free(program_from_env);
}
