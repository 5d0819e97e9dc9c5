// Expansion of @file arguments.
#pragma once

#include "argv.h"

// Replaces each "@file" argument (from index 1 on) by the arguments that the
// file holds, depth first, nested files included. The caller's vector is
// never changed: on the first expansion *argvp becomes a new vector that the
// caller owns, so a changed pointer tells that something was expanded.
// An @file that cannot be stat'ed, opened or read stays as it is. A 2000th
// @-argument, or an @file that is a directory, prints a message and ends the
// process through exit_with_cleanup(1).
void expand_response_files(int *argcp, char ***argvp);

// expand_response_files with its ownership made plain: the expanded vector,
// which the caller owns, with *argcp updated; or null, with nothing
// changed, when no @file was expanded. argv itself is never changed.
unique_argv expanded_arguments(int *argcp, char **argv);
