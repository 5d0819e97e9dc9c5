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

// The backend. Every operation takes the pipeline first. spawn_child makes
// in/out/errdes the child's 0/1/2 and closes toclose in the child. When it
// started the child it has closed, in the parent, each of in/out/errdes that
// is not already 0/1/2, each exactly once: also when one of those closes
// failed, which it reports with the message "close" and the result
// PEX_SPAWN_FDS_CLOSED. On any other failure it returns -1 and has closed
// none of them. toclose is never closed in the parent.
inline constexpr pid_t PEX_SPAWN_FDS_CLOSED = -2;
struct pex_backend_ops {
  int (*open_for_read)(pex_pipeline *p, const char *name, int binary);
  int (*open_for_write)(pex_pipeline *p, const char *name, int binary, int append);
  pid_t (*spawn_child)(pex_pipeline *p, int flags, const char *executable, char *const *argv,
                       char *const *env, int in, int out, int errdes, int toclose,
                       const char **message, int *err);
  int (*close_fd)(pex_pipeline *p, int fd);
  int (*wait_child)(pex_pipeline *p, pid_t pid, int *status, pex_child_times *times, int done,
                    const char **message, int *err);
  int (*make_pipe)(pex_pipeline *p, int *fds, int binary);
  FILE *(*fdopen_read)(pex_pipeline *p, int fd, int binary);
  FILE *(*fdopen_write)(pex_pipeline *p, int fd, int binary);
  void (*backend_cleanup)(pex_pipeline *p);  // may be null
};

struct pex_pipeline {
  int flags;
  const char *program_name;  // stored only
  const char *temp_base;     // not copied, not freed
  int next_input;            // 0: parent's stdin; >0: owned descriptor; -1: complete
  char *next_input_name;
  int next_input_name_owned;
  int stderr_pipe;
  int child_count;
  int child_capacity;  // entries in children, statuses (and times, when kept)
  pid_t *children;
  int *statuses;
  pex_child_times *times;
  int waited_count;
  FILE *input_stream;
  int reader_count;
  FILE **readers;  // every output and error reader handed out, closed by pex_destroy
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
// pex_create_with_ops over posix_spawn_backend.
pex_pipeline *pex_create(int flags, const char *program_name, const char *temp_base);

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
// that the pipeline named itself (no name, or a suffix) is removed by
// pex_destroy unless PEX_KEEP_TEMPS is set; a name given as it is stays.
FILE *pex_open_input_file(pex_pipeline *p, int flags, const char *name);
FILE *pex_open_input_pipe(pex_pipeline *p, int binary);
// Streams owned by the pipeline: pex_destroy closes every one handed out.
// Their descriptors are close-on-exec (unless one is 0, 1 or 2), so that
// children launched later do not inherit them. Null on failure.
FILE *pex_open_output_reader(pex_pipeline *p, int binary);
FILE *pex_open_error_reader(pex_pipeline *p, int binary);

// Wait for the children not yet waited for and copy count entries, zero-filling
// those beyond the children. 1 on success, 0 when a wait failed (or, for
// times, when no collection kept times).
int pex_get_status(pex_pipeline *p, int count, int *vector);
int pex_get_child_times(pex_pipeline *p, int count, pex_child_times *vector);

// Ends and reaps every child not yet waited for, closes what the pipeline
// owns, removes its temporary files and frees it.
void pex_destroy(pex_pipeline *p);

// Runs one program to completion; *status gets its raw wait status.
const char *pex_run_single(int flags, const char *executable, char *const *argv,
                           const char *program_name, const char *outname, const char *errname,
                           int *status, int *err);
// The same in p, a new pipeline of the caller's. Running the first program,
// final and without output or error names, allocates nothing: a caller
// that made p beforehand knows that nothing ends the process until the
// program has been waited for.
const char *pex_run_in(pex_pipeline *p, int flags, const char *executable, char *const *argv,
                       const char *outname, const char *errname, int *status, int *err);

// Internal steps, exposed for the tests.
char *pex_make_temp_name(pex_pipeline *p, int flags, const char *name);
int pex_collect_statuses(pex_pipeline *p, int done, const char **message, int *err);

struct pipeline_destroyer {
  void operator()(pex_pipeline *p) const { keeping_errno([p] { pex_destroy(p); }); }
};
using unique_pipeline = std::unique_ptr<pex_pipeline, pipeline_destroyer>;
