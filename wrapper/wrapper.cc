// The run of kiv-ar, kiv-nm and kiv-ranlib from the command line to the exit
// status: search lists, the -B option, the lookups of the plugin and the
// tool, the hand-over of expanded @file arguments through a temporary
// response file, and the tool's run.
#include "wrapper.h"

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <utility>

#include "alloc.h"
#include "argv.h"
#include "handles.h"
#include "pex.h"
#include "prefix_list.h"
#include "response_file.h"
#include "search_lists.h"
#include "temp_file.h"

namespace {

constexpr char usage_line[] = "Usage: kiv-ar [-B prefix] ar arguments ...\n";
static_assert(sizeof usage_line - 1 == 43);

// An array of pointers that we own, to strings that we do not.
using unique_pointers = std::unique_ptr<char *[], free_deleter>;

// Removes argv[i], moving the later entries and the terminating null down.
void remove_argument(int *argc, char **argv, int i) {
  memmove(&argv[i], &argv[i + 1], static_cast<size_t>(*argc - i) * sizeof(char *));
  --*argc;
}

// A path found under the empty prefix ("-B ''") is a bare name, which the
// tool would look up in PATH (or dlopen in the library path); "./" keeps it
// naming the file that was found.
unique_cstr as_found(unique_cstr path) {
  if (!path || strchr(path.get(), '/')) return path;
  return unique_cstr{concat_strings("./", path.get(), nullptr)};
}

// Whether KIV_TRACE asks for the lines that say where the wrapper looked
// and what it runs.
bool tracing() {
  const char *value = getenv("KIV_TRACE");
  return value && *value;
}

// The trace after a failed lookup: each directory searched, in the order
// searched (the first list, then the second if any).
void print_searched(const char *program, const prefix_list *first, const prefix_list *then) {
  fprintf(stderr, "%s: Searched", program);
  for (const prefix_list *list : {first, then})
    for (const prefix_entry *entry = list ? list->head : nullptr; entry; entry = entry->next)
      fprintf(stderr, " '%s'", entry->text);
  fputc('\n', stderr);
}

// The trace before the run: the tool, "--plugin", the plugin and the
// arguments as the tool gets them, each written as in a response file. The
// response file may exist by now, and nothing may end the process before
// it is removed: a write to a closed pipe or past the file-size limit
// fails here instead of raising its signal.
void print_run(const char *program, char *const *tool_argv, char *const *arguments) {
  struct sigaction ignore = {}, pipe_was, size_was;
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, &pipe_was);
  sigaction(SIGXFSZ, &ignore, &size_was);
  fprintf(stderr, "%s:", program);
  for (char *const *words : {tool_argv, arguments})
    for (char *const *word = words; *word; ++word) {
      fputc(' ', stderr);
      write_argument(*word, stderr);
    }
  fputc('\n', stderr);
  sigaction(SIGXFSZ, &size_was, nullptr);
  sigaction(SIGPIPE, &pipe_was, nullptr);
}

tool_outcome run_tool(pex_pipeline *pipeline, const char *tool, char *const *run_argv) {
  tool_outcome outcome{nullptr, 0};
  int err = 0;
  outcome.message = pex_run_in(pipeline, PEX_FINAL | PEX_USE_PATH, tool, run_argv, nullptr,
                               nullptr, &outcome.status, &err);
  return outcome;
}

// Writes args into the new response file through the descriptor that
// created it. Null on success, else the message for the failure.
const char *write_response_file(unique_fd fd, char *const *args) {
  FILE *stream = fdopen(fd.get(), "w");
  if (!stream) return "Cannot open temporary file %s\n";
  fd.release();  // the stream closes it
  bool written = write_argv_to_file(args, stream) == 0;
  // fclose releases the stream even when it fails, so it is called once.
  bool closed = fclose(stream) == 0;
  if (!written) return "Cannot write to temporary file %s\n";
  if (!closed) return "Cannot close temporary file %s\n";
  return nullptr;
}

}  // namespace

bool take_directory_option(int *argc, char **argv) {
  for (int i = 0; i < *argc; ++i) {
    if (argv[i][0] != '-' || argv[i][1] != 'B') continue;
    const char *dir = argv[i] + 2;
    if (*dir == '\0') {
      if (!argv[i + 1]) return false;
      dir = argv[i + 1];
      remove_argument(argc, argv, i);
    }
    remove_argument(argc, argv, i);
    unique_cstr with_slash;
    if (*dir != '\0' && dir[strlen(dir) - 1] != '/') {
      with_slash.reset(concat_strings(dir, "/", nullptr));
      dir = with_slash.get();
    }
    prefix_list_add_front(&path_prefix_list, dir);
    prefix_list_add_front(&exec_prefix_list, dir);
    return true;
  }
  return true;
}

char *dashed_first_argument(const personality_row &personality, char *const *argv) {
  if (!personality.dash_rule || !argv[0] || !argv[1] || argv[1][0] == '-') return nullptr;
  return concat_strings("-", argv[1], nullptr);
}

int exit_code_for(const char *tool, tool_outcome outcome, FILE *messages) {
  if (outcome.message) {
    fprintf(messages, "Error running %s: %s\n", tool, outcome.message);
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
    fprintf(messages, "%s terminated with signal %d [%s]%s\n", tool, sig, strsignal(sig),
            core ? ", core dumped" : "");
  }
  return 1;  // continued, or ended by a signal
}

int wrapper_main(const personality_row &personality, int argc, char **argv) {
  // Inherited as ignored, SIGCHLD would let the system reap the tool before
  // the wrapper can wait for it.
  signal(SIGCHLD, SIG_DFL);

  // A program started with an empty argument vector still has a name, and so
  // does one whose only entries were the -B option.
  char *own_name[] = {const_cast<char *>(personality.wrapper_name), nullptr};
  auto keep_a_name = [&] {
    if (argc < 1 || !argv[0]) {
      argc = 1;
      argv = own_name;
    }
  };
  keep_a_name();
  init_search_lists(argv[0], personality.wrapper_name);
  if (!take_directory_option(&argc, argv)) {
    fwrite(usage_line, 1, sizeof usage_line - 1, stderr);
    return 1;
  }
  keep_a_name();

  unique_cstr plugin{as_found(
      unique_cstr{find_file_in_prefixes(&exec_prefix_list, PLUGIN_FILE_NAME, R_OK)})};
  if (!plugin) {
    fprintf(stderr, "%s: Cannot find plugin '%s'\n", argv[0], PLUGIN_FILE_NAME);
    if (tracing()) print_searched(argv[0], &exec_prefix_list, nullptr);
    return 1;
  }
  const char *name = personality.personality;
  unique_cstr tool{find_file_in_prefixes(&exec_prefix_list, name, X_OK)};
  if (!tool) tool.reset(find_file_in_prefixes(&path_prefix_list, name, X_OK));
  tool = as_found(std::move(tool));
  if (!tool) {
    fprintf(stderr, "%s: Cannot find binary '%s'\n", argv[0], name);
    if (tracing()) print_searched(argv[0], &exec_prefix_list, &path_prefix_list);
    return 1;
  }

  char **const given = argv;
  expand_response_files(&argc, &argv);
  // A vector made by the expansion is ours, strings and all.
  unique_argv expanded{argv != given ? argv : nullptr};
  unique_cstr dashed{dashed_first_argument(personality, argv)};

  unique_pointers tool_argv{
      static_cast<char **>(checked_calloc(static_cast<size_t>(argc) + 3, sizeof(char *)))};
  tool_argv[0] = tool.get();
  tool_argv[1] = const_cast<char *>("--plugin");
  tool_argv[2] = plugin.get();
  for (int i = 1; i < argc; ++i) tool_argv[i + 2] = argv[i];
  if (dashed) tool_argv[3] = dashed.get();

  // Everything the run needs is allocated before the response file is made:
  // from then on nothing may end the process until the file is removed.
  unique_cstr program_name{concat_strings("kiv-", tool.get(), nullptr)};
  unique_pipeline pipeline{pex_create(0, program_name.get(), nullptr)};
  unique_temp_file response;
  unique_cstr response_argument;
  char *response_argv[] = {tool.get(), nullptr, nullptr};
  char *const *run_argv = tool_argv.get();
  if (expanded) {
    // "@" and the file's name, which has its template's length.
    response_argument.reset(concat_strings("@", choose_temp_dir(), "ccXXXXXX", nullptr));
    open_temp_file made = create_open_temp_file();
    response = std::move(made.file);
    if (const char *failure = write_response_file(std::move(made.fd), tool_argv.get() + 1)) {
      unique_cstr name = remove_temp_file(std::move(response));
      fprintf(stderr, failure, name.get());
      return 1;
    }
    concat_strings_into(response_argument.get(), "@", response.get(), nullptr);
    response_argv[1] = response_argument.get();
    run_argv = response_argv;
  }
  if (tracing()) {
    char *const handed_over[] = {response_argument.get(), nullptr};
    char *const tool_and_plugin[] = {tool_argv[0], tool_argv[1], tool_argv[2], nullptr};
    print_run(argv[0], tool_and_plugin, expanded ? handed_over : tool_argv.get() + 3);
  }

  const tool_outcome outcome = run_tool(pipeline.get(), tool.get(), run_argv);
  // Before any message: writing one to a closed pipe ends the process.
  response.reset();
  return exit_code_for(tool.get(), outcome, stderr);
}
