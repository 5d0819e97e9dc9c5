// The POSIX spawn backend of the pipeline (open, pipe, fdopen, posix_spawn(p)
// with file actions, waitpid/wait4 and kill; it keeps no state), and the
// pipelines made over it.
//
// spawn_child keeps the contract in pex.h; when a parent-side close fails
// it also ends and reaps the child, for which the caller gets no process
// id. Both ends of a new pipe are close-on-exec (unless one is 0, 1 or 2),
// so only the file actions hand them to a child.
#pragma once

#include "pex.h"

extern const pex_backend_ops posix_spawn_backend;

// pex_create_with_ops over posix_spawn_backend.
pex_pipeline *pex_create(int flags, const char *program_name, const char *temp_base);

// Runs one program to completion in a pipeline of its own; *status gets its
// raw wait status.
const char *pex_run_single(int flags, const char *executable, char *const *argv,
                           const char *program_name, const char *outname, const char *errname,
                           int *status, int *err);
