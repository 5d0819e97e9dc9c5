// A pipeline of child processes with redirected standard streams, connected
// by pipes or temporary files, over a table of backend operations.
//
// Failures come back as a static message naming the failed step (never
// freed by the caller) with an error number in *err (0 when no system call
// failed); success is a null message.
#pragma once

#include <cstdint>
#include <cstdio>
#include <sys/types.h>

#include "handles.h"

// Pipeline flags.
inline constexpr int PEX_KEEP_TIMES = 0x1;
inline constexpr int PEX_PIPES = 0x2;
inline constexpr int PEX_KEEP_TEMPS = 0x4;

// Launch flags.
inline constexpr int PEX_FINAL = 0x1;
inline constexpr int PEX_USE_PATH = 0x2;
inline constexpr int PEX_OUTNAME_IS_SUFFIX = 0x4;
inline constexpr int PEX_MERGE_STDERR = 0x8;
inline constexpr int PEX_BINARY_IN = 0x10;
inline constexpr int PEX_BINARY_OUT = 0x20;
inline constexpr int PEX_STDERR_TO_PIPE = 0x40;
inline constexpr int PEX_BINARY_ERR = 0x80;
inline constexpr int PEX_APPEND_OUT = 0x100;
inline constexpr int PEX_APPEND_ERR = 0x200;

struct pex_child_times {
  int64_t user_seconds;
  int64_t user_microseconds;
  int64_t system_seconds;
  int64_t system_microseconds;
};

struct pex_pipeline;

// A pipeline's backend. Each operation takes the pipeline first; on failure
// an int or pid result is negative and a stream null, with errno set unless
// a message is given.
inline constexpr pid_t PEX_SPAWN_FDS_CLOSED = -2;
struct pex_backend_ops {
  // name, open for reading.
  int (*open_for_read)(pex_pipeline *p, const char *name, int binary);
  // name, open for writing: created if missing, truncated unless append.
  int (*open_for_write)(pex_pipeline *p, const char *name, int binary, int append);
  // Starts the child with in/out/errdes as its 0/1/2 and toclose closed in
  // it, and returns its pid. Once the child started, each of in/out/errdes
  // that is not already 0/1/2 is closed in the parent exactly once, also
  // when such a close fails: that returns PEX_SPAWN_FDS_CLOSED with "close".
  // Any other failure returns -1 (message: the call) with none closed.
  // toclose is never closed in the parent.
  pid_t (*spawn_child)(pex_pipeline *p, int flags, const char *executable, char *const *argv,
                       char *const *env, int in, int out, int errdes, int toclose,
                       const char **message, int *err);
  // close(fd).
  int (*close_fd)(pex_pipeline *p, int fd);
  // Waits for pid (ended first when done), keeping its status and times: 0 or -1.
  int (*wait_child)(pex_pipeline *p, pid_t pid, int *status, pex_child_times *times, int done,
                    const char **message, int *err);
  // A pipe: fds[0] the read end, fds[1] the write end.
  int (*make_pipe)(pex_pipeline *p, int *fds, int binary);
  // A stream over fd, for reading; for writing.
  FILE *(*fdopen_read)(pex_pipeline *p, int fd, int binary);
  FILE *(*fdopen_write)(pex_pipeline *p, int fd, int binary);
  // Releases what the backend keeps for p; may be null.
  void (*backend_cleanup)(pex_pipeline *p);
};

struct pex_pipeline {
  int flags;
  const char *program_name;  // stored only
  const char *temp_base;     // not copied, not freed
  int next_input;            // 0: parent's stdin; >0: owned descriptor; -1: complete
  char *next_input_name;      // the file the next program reads, if any
  int next_input_name_owned;  // freed when consumed
  int stderr_pipe;
  int child_count;
  int child_capacity;  // entries in children, statuses (and times, when kept)
  pid_t *children;
  int *statuses;
  pex_child_times *times;
  int waited_count;
  FILE *input_stream;
  FILE *output_reader;  // the last stream pex_open_output_reader handed out
  FILE *error_reader;   // the last stream pex_open_error_reader handed out
  int reader_count;
  FILE **readers;  // every reader handed out, these among them, closed by pex_destroy
  int remove_count;
  char **remove_list;
  const pex_backend_ops *ops;
  void *backend_data;
};

// A descriptor that the pipeline's backend made, closed through that backend.
struct pipeline_fd_closer {
  pex_pipeline *p = nullptr;
  void operator()(int fd) const { p->ops->close_fd(p, fd); }
};
// unique_pipeline_fd fd{n, {p}}: as unique_fd, closed with p's close_fd.
using unique_pipeline_fd = basic_unique_fd<pipeline_fd_closer>;

// A new pipeline over ops (never null; checked allocation).
pex_pipeline *pex_create_with_ops(int flags, const char *program_name, const char *temp_base,
                                  const pex_backend_ops *ops);

// Starts one program. A launch that fails has closed each descriptor it made
// or took for the child (never the parent's own 0, 1 and 2) exactly once.
const char *pex_launch_with_env(pex_pipeline *p, int flags, const char *executable,
                                char *const *argv, char *const *env, const char *outname,
                                const char *errname, int *err);
const char *pex_launch(pex_pipeline *p, int flags, const char *executable, char *const *argv,
                       const char *outname, const char *errname, int *err);

// Streams to write the first program's input into; null with errno set.
// The input-file stream is closed by the next launch (or by pex_destroy when
// no launch took it); the pipe stream belongs to the caller. An input file
// under a name that only the pipeline knows (a new temporary file) is
// removed by pex_destroy unless PEX_KEEP_TEMPS is set; one under a name
// the caller can tell (as given, or the temporary base and a suffix) stays.
FILE *pex_open_input_file(pex_pipeline *p, int flags, const char *name);
FILE *pex_open_input_pipe(pex_pipeline *p, int binary);
// Streams owned by the pipeline: pex_destroy closes every one handed out.
// Their descriptors are close-on-exec (unless one is 0, 1 or 2), so that
// children launched later do not inherit them. Null on failure.
FILE *pex_open_output_reader(pex_pipeline *p, int binary);
FILE *pex_open_error_reader(pex_pipeline *p, int binary);

// Wait for the children not yet waited for and copy count entries, zero-filling
// those beyond the children. 1 on success, 0 when a wait failed (or, for
// times, when no collection has kept any: no child was waited for, or the
// pipeline keeps none).
int pex_get_status(pex_pipeline *p, int count, int *vector);
int pex_get_child_times(pex_pipeline *p, int count, pex_child_times *vector);

// Ends and reaps every child not yet waited for, closes what the pipeline
// owns, removes its temporary files and frees it.
void pex_destroy(pex_pipeline *p);

// Runs one program to completion in p, a new pipeline of the caller's;
// *status gets its raw wait status. Running the first program,
// final and without output or error names, allocates nothing: a caller
// that made p beforehand knows that nothing ends the process until the
// program has been waited for.
const char *pex_run_in(pex_pipeline *p, int flags, const char *executable, char *const *argv,
                       const char *outname, const char *errname, int *status, int *err);

// The name for a program's output file: name itself, or, with
// PEX_OUTNAME_IS_SUFFIX, the temporary base (or a new temporary file) with
// name as suffix; without a name, a new file from the temporary base's
// template. A new string unless it is name; null when no file can be made.
char *pex_make_temp_name(pex_pipeline *p, int flags, const char *name);
// Waits for every child not yet waited for (ending each first when done is
// set), keeping statuses and, with PEX_KEEP_TIMES, times. 1, or 0 when a
// wait failed, with *message and *err.
int pex_collect_statuses(pex_pipeline *p, int done, const char **message, int *err);

// Makes fd close-on-exec, so that no child started later inherits it; 0, 1
// and 2 are left alone, since a child that inherits one of them as it is
// would lose it. False, with errno set, when fcntl fails.
bool keep_from_children(int fd);

struct pipeline_destroyer {
  void operator()(pex_pipeline *p) const { keeping_errno([p] { pex_destroy(p); }); }
};
using unique_pipeline = std::unique_ptr<pex_pipeline, pipeline_destroyer>;
