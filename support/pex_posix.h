// The POSIX spawn backend of the pipeline: open, pipe, fdopen,
// posix_spawn(p) with file actions, waitpid/wait4 and kill. Keeps no state.
//
// spawn_child keeps the contract in pex.h; when a parent-side close fails
// it also ends and reaps the child, for which the caller gets no process
// id. Both ends of a new pipe are close-on-exec (unless one is 0, 1 or 2),
// so only the file actions hand them to a child.
#pragma once

#include "pex.h"

extern const pex_backend_ops posix_spawn_backend;

// Makes fd close-on-exec, so that no child started later inherits it; 0, 1
// and 2 are left alone, since a child that inherits one of them as it is
// would lose it. False, with errno set, when fcntl fails.
bool keep_from_children(int fd);
