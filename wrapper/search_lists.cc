#include "search_lists.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "alloc.h"
#include "handles.h"
#include "kiv_config.h"
#include "path.h"
#include "personality.h"

prefix_list exec_prefix_list;
prefix_list path_prefix_list;

namespace {

bool same_file(const char *a, const char *b) {
  struct stat sa, sb;
  return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// The real path of the file the program runs from, given the name it was
// started under. Where a bare name would make the current directory (a
// relative PATH element, or no PATH match) or a namesake (another file that
// PATH yields for argv[0]) decide, the system says which file runs; failing
// that, null (the configured directories) or, for a namesake, PATH's file.
// A name with a '/' is taken as it is, and so is the file PATH yields for a
// bare name that the user gave through KIV_EXEC_PREFIX.
char *program_file(const char *program, bool from_argv0) {
  unique_cstr found{find_program_path(program)};
  if (!found || strchr(program, '/')) return found ? resolve_real_path(found.get()) : nullptr;
  if (found.get()[0] != '/') return running_executable_path();
  if (from_argv0) {
    unique_cstr running{running_executable_path()};
    if (running && !same_file(running.get(), found.get())) return running.release();
  }
  return resolve_real_path(found.get());
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
  // looked up and resolved once.
  unique_cstr program_path{program_file(program, !program_from_env)};
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
  fprintf(stderr, "%s: Searched", program);
  for (const prefix_list *list : {&exec_prefix_list, tool ? &path_prefix_list : nullptr})
    for (const prefix_entry *entry = list ? list->head : nullptr; entry; entry = entry->next)
      fprintf(stderr, " '%s'", entry->text);
  fputc('\n', stderr);
}
