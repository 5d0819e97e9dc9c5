// kiv-ar, kiv-nm and kiv-ranlib: run the system tool with the suite's plugin.
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "alloc.h"
#include "argv.h"
#include "personality.h"
#include "pex.h"
#include "response_file.h"
#include "search_lists.h"
#include "temp_file.h"

namespace {

constexpr char usage_line[] = "Usage: kiv-ar [-B prefix] ar arguments ...\n";
static_assert(sizeof usage_line - 1 == 43);

// Removes argv[i], moving the later entries and the terminating null down.
void remove_argument(int *argc, char **argv, int i) {
  memmove(&argv[i], &argv[i + 1], static_cast<size_t>(*argc - i) * sizeof(char *));
  --*argc;
}

// The first argument that begins with "-B" (the program name included) names
// a directory that goes to the front of both search lists; later ones are
// left for the tool.
void take_directory_option(int *argc, char **argv) {
  for (int i = 0; i < *argc; ++i) {
    if (argv[i][0] != '-' || argv[i][1] != 'B') continue;
    const char *dir = argv[i] + 2;
    remove_argument(argc, argv, i);
    if (*dir == '\0') {
      if (!argv[i]) {
        fwrite(usage_line, 1, sizeof usage_line - 1, stderr);
        exit(1);
      }
      dir = argv[i];
      remove_argument(argc, argv, i);
    }
    char *with_slash = nullptr;
    if (*dir != '\0' && dir[strlen(dir) - 1] != '/') dir = with_slash = concat_strings(dir, "/", nullptr);
    prefix_list_add_front(&path_prefix_list, dir);
    prefix_list_add_front(&exec_prefix_list, dir);
    free(with_slash);  // the lists hold copies
    return;
  }
}

// What became of the tool: a message when it could not be run (or waited
// for), else its raw wait status.
struct tool_outcome {
  const char *message;
  int status;
};

// The wrapper's exit code for the tool's outcome, with the message that
// belongs to it on standard error.
int exit_code_for(const char *tool, tool_outcome outcome) {
  if (outcome.message) {
    fprintf(stderr, "Error running %s: %s\n", tool, outcome.message);
    return 1;
  }
  int status = outcome.status;
  if (status == 0) return 0;
  if (WIFSTOPPED(status)) return 1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) {
    int sig = WTERMSIG(status);
    bool core = false;
#ifdef WCOREDUMP
    core = WCOREDUMP(status);
#endif
    fprintf(stderr, "%s terminated with signal %d [%s]%s\n", tool, sig, strsignal(sig),
            core ? ", core dumped" : "");
  }
  return 1;  // continued, or ended by a signal
}

// A path found under the empty prefix ("-B ''") is a bare name, which the
// tool would look up in PATH (or dlopen in the library path); "./" keeps it
// naming the file that was found.
char *as_found(char *path) {
  return strchr(path, '/') ? path : concat_strings_replacing(path, "./", path, nullptr);
}

tool_outcome run_tool(const char *tool, char *const *run_argv) {
  tool_outcome outcome{nullptr, 0};
  int err = 0;
  char *program_name = concat_strings("kiv-", tool, nullptr);
  outcome.message = pex_run_single(PEX_FINAL | PEX_USE_PATH, tool, run_argv, program_name,
                                   nullptr, nullptr, &outcome.status, &err);
  free(program_name);
  return outcome;
}

// The temporary response file while it exists. It is removed before any
// message is written: a message to a closed pipe ends the process.
open_temp_file response_file{nullptr, nullptr, -1};
bool response_file_on_disk = false;

// Once only: the name may belong to someone else's file afterwards.
void remove_response_file() {
  if (!response_file_on_disk) return;
  response_file_on_disk = false;
  remove_open_temp_file(response_file);
}

// Running out of memory while the file exists ends the process through the
// library's exit, which removes it.
void remove_response_file_at_exit(int) { remove_response_file(); }

// Writes everything after the tool's path into a new temporary response
// file, through the descriptor that created it. On failure the file is
// removed first, then reported.
void write_response_file(char **tool_argv) {
  response_file = create_open_temp_file();
  response_file_on_disk = true;
  exit_cleanup_hook = remove_response_file_at_exit;
  const char *failure = nullptr;
  FILE *f = fdopen(response_file.fd, "w");
  if (!f) {
    close(response_file.fd);
    failure = "Cannot open temporary file %s\n";
  } else {
    bool written = write_argv_to_file(tool_argv + 1, f) == 0;
    // fclose releases the stream even when it fails, so it is called once.
    bool closed = fclose(f) == 0;
    if (!written)
      failure = "Cannot write to temporary file %s\n";
    else if (!closed)
      failure = "Cannot close temporary file %s\n";
  }
  if (failure) {
    remove_response_file();
    fprintf(stderr, failure, response_file.name);
    exit(1);
  }
}

}  // namespace

int main(int argc, char **argv) {
  // Inherited as ignored, SIGCHLD would let the system reap the tool before
  // the wrapper can wait for it.
  signal(SIGCHLD, SIG_DFL);

  // A program started with an empty argument vector still has a name, and so
  // does one whose only entries were the -B option.
  char *fallback_argv[] = {const_cast<char *>(this_personality.wrapper_name), nullptr};
  if (argc < 1 || !argv[0]) {
    argc = 1;
    argv = fallback_argv;
  }

  init_search_lists(argv[0], this_personality.wrapper_name);
  take_directory_option(&argc, argv);
  if (argc < 1) {
    argc = 1;
    argv = fallback_argv;
  }

  char *plugin = find_file_in_prefixes(&exec_prefix_list, PLUGIN_FILE_NAME, R_OK);
  if (!plugin) {
    fprintf(stderr, "%s: Cannot find plugin '%s'\n", argv[0], PLUGIN_FILE_NAME);
    exit(1);
  }
  plugin = as_found(plugin);
  const char *personality = this_personality.personality;
  char *tool = find_file_in_prefixes(&exec_prefix_list, personality, X_OK);
  if (!tool) tool = find_file_in_prefixes(&path_prefix_list, personality, X_OK);
  if (!tool) {
    fprintf(stderr, "%s: Cannot find binary '%s'\n", argv[0], personality);
    exit(1);
  }
  tool = as_found(tool);

  char **const argv_before = argv;
  expand_response_files(&argc, &argv);
  // An expanded vector is new and owns its strings.
  const bool expanded = argv != argv_before;

  char *dashed = nullptr;
  if (this_personality.dash_rule && argv[1] && argv[1][0] != '-') {
    dashed = concat_strings("-", argv[1], nullptr);
    if (expanded) free(argv[1]);
    argv[1] = dashed;
  }

  char **tool_argv =
      static_cast<char **>(checked_calloc(static_cast<size_t>(argc) + 3, sizeof(char *)));
  tool_argv[0] = tool;
  tool_argv[1] = const_cast<char *>("--plugin");
  tool_argv[2] = plugin;
  for (int i = 1; i < argc; ++i) tool_argv[i + 2] = argv[i];

  char **run_argv = tool_argv;
  char *file_argv[3] = {tool, nullptr, nullptr};
  if (expanded) {
    write_response_file(tool_argv);
    file_argv[1] = concat_strings("@", response_file.name, nullptr);
    run_argv = file_argv;
  }

  const tool_outcome outcome = run_tool(tool, run_argv);
  if (expanded) remove_response_file();
  const int code = exit_code_for(tool, outcome);

  free(response_file.name);
  free(response_file.private_dir);
  free(file_argv[1]);
  free(tool_argv);
  free(tool);
  free(plugin);
  if (expanded)
    free_argv(argv);
  else
    free(dashed);
  return code;
}
