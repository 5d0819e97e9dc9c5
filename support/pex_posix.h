// The POSIX spawn backend of the pipeline: open, pipe, fdopen,
// posix_spawn(p) with file actions, waitpid/wait4 and kill. Keeps no state.
#pragma once

#include "pex.h"

extern const pex_backend_ops posix_spawn_backend;
