// The wrapper's two search lists and the step that fills them.
#pragma once

#include "prefix_list.h"

// The target's tool directory, then the libexec target/version directory
// of the installation.
extern prefix_list exec_prefix_list;
// The directories of $PATH, in order.
extern prefix_list path_prefix_list;

// Finds the installation relative to the program (argv0, or
// $KIV_EXEC_PREFIX joined to wrapper_name; when that is a bare name that
// PATH does not yield, or yields only through a relative element, or a bare
// argv0 that PATH yields as another file than the one running, the running
// executable) and fills both lists. Without any of these the configured
// directories are used. The lists are never freed.
void init_search_lists(const char *argv0, const char *wrapper_name);
