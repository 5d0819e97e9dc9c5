#include "search_lists.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "alloc.h"
#include "argv.h"
#include "handles.h"
#include "kiv_config.h"
#include "path.h"
#include "personality.h"

prefix_list exec_prefix_list;
prefix_list path_prefix_list;

namespace {

// The real path of the file the program runs from. A name with a '/' is the
// user's and is taken as given. For a bare name the system says which file
// runs: that one reading decides, since the file PATH yields under the name
// may be another, and may change between two readings. Only where the
// system cannot say is PATH searched, and a match through a relative
// element, or none, locates nothing (null: the configured directories).
char *program_file(const char *program) {
  if (strchr(program, '/')) return resolve_real_path(program);
  if (char *running = running_executable_path()) return running;
  unique_cstr found{find_program_path(program)};
  return found && found.get()[0] == '/' ? resolve_real_path(found.get()) : nullptr;
}

unique_cstr as_found(char *path) {
  if (!path || strchr(path, '/')) return unique_cstr{path};
  unique_cstr bare{path};
  return unique_cstr{concat_strings("./", path, nullptr)};
}

}  // namespace

void init_search_lists(const char *argv0, const char *wrapper_name) {
  unique_cstr program_from_env;
  if (const char *exec_prefix_env = getenv("KIV_EXEC_PREFIX")) {
    // Joined with no separator: the value names a directory with its "/".
    program_from_env.reset(concat_strings(exec_prefix_env, wrapper_name, nullptr));
  }
  const char *program = program_from_env ? program_from_env.get() : argv0;

  // Both directories are relocated from the program's real path, which is
  // found once.
  unique_cstr program_path{program_file(program)};
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

void add_directory_first(const char *dir) {
  unique_cstr with_slash;
  if (*dir != '\0' && dir[strlen(dir) - 1] != '/')
    dir = (with_slash = unique_cstr{concat_strings(dir, "/", nullptr)}).get();
  prefix_list_add_front(&path_prefix_list, dir);
  prefix_list_add_front(&exec_prefix_list, dir);
}

char *find_plugin() {
  return as_found(find_file_in_prefixes(&exec_prefix_list, PLUGIN_FILE_NAME, R_OK)).release();
}

char *find_tool(const char *name) {
  char *tool = find_file_in_prefixes(&exec_prefix_list, name, X_OK);
  return as_found(tool ? tool : find_file_in_prefixes(&path_prefix_list, name, X_OK)).release();
}

void print_searched(const char *program, bool tool) {
  // One line, whatever the names hold: their control bytes are shown.
  write_argument(program, stderr, true);
  fputs(": Searched", stderr);
  for (const prefix_list *list : {&exec_prefix_list, tool ? &path_prefix_list : nullptr})
    for (const prefix_entry *entry = list ? list->head : nullptr; entry; entry = entry->next) {
      fputs(" '", stderr);
      write_argument(entry->text, stderr, true);
      fputc('\'', stderr);
    }
  fputc('\n', stderr);
}
