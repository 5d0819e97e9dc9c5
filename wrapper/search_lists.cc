#include "search_lists.h"

#include <cstdlib>
#include <cstring>

#include "alloc.h"
#include "handles.h"
#include "kiv_config.h"
#include "path.h"

prefix_list exec_prefix_list;
prefix_list path_prefix_list;

void init_search_lists(const char *argv0, const char *wrapper_name) {
  unique_cstr program_from_env;
  if (const char *exec_prefix_env = getenv("KIV_EXEC_PREFIX")) {
    // Joined with no separator: the value names a directory with its "/".
    program_from_env.reset(concat_strings(exec_prefix_env, wrapper_name, nullptr));
  }
  const char *program = program_from_env ? program_from_env.get() : argv0;

  // Both directories are relocated from the program's real path, which is
  // looked up and resolved once. A path relative to the current directory (a
  // bare name that PATH does not yield, or yields only through a relative
  // element) would let whoever can write there pick the plugin and the tool,
  // so it is taken only from a user who named one; otherwise the system says
  // where the program lies, or the configured directories are used.
  unique_cstr program_path{find_program_path(program)};
  if (program_path && program_path.get()[0] != '/' && !strchr(program, '/'))
    program_path.reset(running_executable_path());
  else if (program_path)
    program_path.reset(resolve_real_path(program_path.get()));
  unique_cstr relocated_exec{relocate_prefix_ignoring_links(
      program_path.get(), CONFIGURED_BIN_PREFIX, CONFIGURED_EXEC_PREFIX)};
  unique_cstr relocated_libexec{relocate_prefix_ignoring_links(
      program_path.get(), CONFIGURED_BIN_PREFIX, CONFIGURED_LIBEXEC_PREFIX)};
  const char *exec_prefix = relocated_exec ? relocated_exec.get() : CONFIGURED_EXEC_PREFIX;
  const char *libexec_prefix =
      relocated_libexec ? relocated_libexec.get() : CONFIGURED_LIBEXEC_PREFIX;

  // Each directory is one entry: a ':' in the installation's path is part of
  // a name, not a separator. From <exec prefix>/<target>/<version>/ the tool
  // directory lies TOOL_DIR_BASE up, in <root>/<target>/bin/.
  unique_cstr tool_dir{concat_strings(exec_prefix, CONFIGURED_TARGET, "/", CONFIGURED_VERSION, "/",
                                      TOOL_DIR_BASE, CONFIGURED_TARGET, "/", "bin/", nullptr)};
  prefix_list_add(&exec_prefix_list, tool_dir.get());
  unique_cstr libexec_dir{
      concat_strings(libexec_prefix, CONFIGURED_TARGET, "/", CONFIGURED_VERSION, "/", nullptr)};
  prefix_list_add(&exec_prefix_list, libexec_dir.get());

  prefix_list_from_env("PATH", &path_prefix_list);
}
