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
#include "pex_posix.h"
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

// The command line with the -B option taken out. A program started with an
// empty vector, or with only the -B option, goes on under its own name.
struct invocation {
  const char *started_as;  // argv[0] as given: where the installation is looked for
  int argc;                // of argv: the program's name, then the tool's arguments
  char **argv;
  const char *directory;   // the -B option's; null without one
  bool usage_error;        // "-B" was the last argument
};

char *own_name[2];

invocation read_invocation(const char *wrapper_name, int argc, char **argv) {
  own_name[0] = const_cast<char *>(wrapper_name);
  bool named = argc > 0 && argv[0];
  invocation call{named ? argv[0] : wrapper_name, named ? argc : 1, named ? argv : own_name,
                  nullptr, false};
  call.usage_error = !take_directory_option(&call.argc, call.argv, &call.directory);
  if (call.argc < 1) call = {call.started_as, 1, own_name, call.directory, call.usage_error};
  return call;
}

// Whether KIV_TRACE asks for the lines that say where the wrapper looked
// and what it runs.
bool tracing() {
  const char *value = getenv("KIV_TRACE");
  return value && *value;
}

// A failed lookup of the plugin, or of the tool when one is named.
int not_found(const char *program, const char *tool) {
  if (tool)
    fprintf(stderr, "%s: Cannot find binary '%s'\n", program, tool);
  else
    fprintf(stderr, "%s: Cannot find plugin '%s'\n", program, PLUGIN_FILE_NAME);
  if (tracing()) print_searched(program, tool != nullptr);
  return 1;
}

// The tool's vector: its path, "--plugin", the plugin, then args[1] on, with
// dashed (when set) for args[1]. The strings are borrowed.
unique_pointers tool_command(char *tool, char *plugin, int argc, char *const *args, char *dashed) {
  unique_pointers command{
      static_cast<char **>(checked_calloc(static_cast<size_t>(argc) + 3, sizeof(char *)))};
  char *const head[] = {tool, const_cast<char *>("--plugin"), plugin};
  memcpy(command.get(), head, sizeof head);
  for (int i = 1; i < argc; ++i) command[i + 2] = i == 1 && dashed ? dashed : args[i];
  return command;
}

// How the tool gets its arguments: on its command line, or, after an
// expanded @file, through a temporary response file, removed when the
// hand-over goes or its file is reset.
struct hand_over {
  char *const *command;    // the tool's vector
  unique_temp_file file;   // the response file, if any
  unique_cstr at_file;     // "@" and the file's name
  char *file_argv[3] = {};  // the tool's path and at_file

  char *const *argv() const { return file ? file_argv : command; }
  // What the tool gets after the plugin.
  char *const *arguments() const { return file ? &file_argv[1] : command + 3; }
};

// While it lives, a write to a closed pipe or past the file-size limit
// fails (EPIPE, EFBIG) instead of ending the process: from the response
// file's making to its removal nothing may. The dispositions come back at
// its end, so that the tool inherits the wrapper's own.
struct write_signals_ignored {
  write_signals_ignored() {
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &pipe_was);
    sigaction(SIGXFSZ, &ignore, &size_was);
  }
  ~write_signals_ignored() {
    sigaction(SIGXFSZ, &size_was, nullptr);
    sigaction(SIGPIPE, &pipe_was, nullptr);
  }
  struct sigaction pipe_was, size_was;
};

// Writes handed.command from index 1 into a new response file, through the
// descriptor that made it. False, with the file removed and the message
// written, when it cannot be written.
bool write_response_file(hand_over &handed) {
  write_signals_ignored guard;
  // "@" and the name are allocated first, the name having its template's
  // length: once the file exists, nothing may end the process until it is
  // removed.
  handed.at_file.reset(concat_strings("@", choose_temp_dir(), "ccXXXXXX", nullptr));
  open_temp_file made = create_open_temp_file();
  const char *name = concat_strings_into(handed.at_file.get(), "@", made.file.get(), nullptr) + 1;
  handed.file = std::move(made.file);
  handed.file_argv[0] = handed.command[0];
  handed.file_argv[1] = handed.at_file.get();
  FILE *stream = fdopen(made.fd.get(), "w");
  if (stream) made.fd.release();  // the stream closes it
  bool written = stream && write_argv_to_file(handed.command + 1, stream) == 0;
  // fclose releases the stream even when it fails, so it is called once.
  bool closed = stream && fclose(stream) == 0;
  if (written && closed) return true;
  handed.file.reset();
  if (!stream)
    fprintf(stderr, "Cannot open temporary file %s\n", name);
  else if (!written)
    fprintf(stderr, "Cannot write to temporary file %s\n", name);
  else
    fprintf(stderr, "Cannot close temporary file %s\n", name);
  return false;
}

// The trace before the run: the tool, "--plugin", the plugin and the
// arguments as the tool gets them, each written as in a response file with
// its control bytes shown, on one line. The response file may exist by now.
void print_run(const char *program, const hand_over &handed) {
  write_signals_ignored guard;
  char *const *command = handed.command;
  char *const tool_and_plugin[] = {command[0], command[1], command[2], nullptr};
  write_argument(program, stderr, true);
  fputc(':', stderr);
  for (char *const *words : {static_cast<char *const *>(tool_and_plugin), handed.arguments()})
    for (char *const *word = words; *word; ++word) {
      fputc(' ', stderr);
      write_argument(*word, stderr, true);
    }
  fputc('\n', stderr);
}

tool_outcome run_tool(pex_pipeline *pipeline, const char *tool, char *const *argv) {
  tool_outcome outcome{nullptr, 0, 0};
  outcome.message = pex_run_in(pipeline, PEX_FINAL | PEX_USE_PATH, tool, argv, nullptr, nullptr,
                               &outcome.status, &outcome.error);
  return outcome;
}

}  // namespace

bool take_directory_option(int *argc, char **argv, const char **directory) {
  *directory = nullptr;
  for (int i = 0; i < *argc; ++i) {
    if (argv[i][0] != '-' || argv[i][1] != 'B') continue;
    const char *dir = argv[i] + 2;
    if (*dir == '\0') {
      if (!argv[i + 1]) return false;
      dir = argv[i + 1];
      remove_argument(argc, argv, i);
    }
    remove_argument(argc, argv, i);
    *directory = dir;
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
  const invocation call = read_invocation(personality.wrapper_name, argc, argv);
  init_search_lists(call.started_as, personality.wrapper_name);
  if (call.usage_error) {
    fwrite(usage_line, 1, sizeof usage_line - 1, stderr);
    return 1;
  }
  if (call.directory) add_directory_first(call.directory);
  const char *name = call.argv[0];  // as invoked, for the messages

  unique_cstr plugin{find_plugin()};
  if (!plugin) return not_found(name, nullptr);
  unique_cstr tool{find_tool(personality.personality)};
  if (!tool) return not_found(name, personality.personality);

  int count = call.argc;
  unique_argv expanded = expanded_arguments(&count, call.argv);
  char *const *args = expanded ? expanded.get() : call.argv;
  unique_cstr dashed{dashed_first_argument(personality, args)};
  unique_pointers command = tool_command(tool.get(), plugin.get(), count, args, dashed.get());

  // The run's pipeline is made before the response file, like everything
  // else the run needs.
  unique_cstr program_name{concat_strings("kiv-", tool.get(), nullptr)};
  unique_pipeline pipeline{pex_create(0, program_name.get(), nullptr)};
  hand_over handed{command.get(), {}, {}};
  if (expanded && !write_response_file(handed)) return 1;
  if (tracing()) print_run(name, handed);
  const tool_outcome outcome = run_tool(pipeline.get(), tool.get(), handed.argv());
  // Before any message: writing one to a closed pipe ends the process.
  handed.file.reset();
  int code = exit_code_for(tool.get(), outcome, stderr);
  if (outcome.message && outcome.error != 0 && tracing()) {
    // Why the tool could not be run: not a program for this machine, say.
    write_argument(name, stderr, true);
    fprintf(stderr, ": %s: %s\n", outcome.message, strerror(outcome.error));
  }
  return code;
}
