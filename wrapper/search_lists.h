// The wrapper's two search lists and the step that fills them.
#pragma once

#include "prefix_list.h"

// The target's tool directory, then the libexec target/version directory
// of the installation.
extern prefix_list exec_prefix_list;
// The directories of $PATH, in order.
extern prefix_list path_prefix_list;

// Finds the installation relative to the program (argv0, or
// $KIV_EXEC_PREFIX joined to wrapper_name; for a bare name, the running
// executable) and fills both lists. Where the program lies in the
// configured bin directory, or cannot be located, the configured
// directories are used. The lists are never freed.
void init_search_lists(const char *argv0, const char *wrapper_name);

// Puts dir at the front of both lists, with a '/' added unless it ends in
// one or is empty (the empty prefix: the current directory).
void add_directory_first(const char *dir);

// The plugin, readable, in exec_prefix_list; the tool, executable, there and
// then in path_prefix_list. A new string, or null when there is none. A
// path found under the empty prefix gets "./", so that it names the file
// found rather than one that PATH or the library path would give.
char *find_plugin();
char *find_tool(const char *name);

// After a failed lookup: "<program>: Searched" and each directory searched,
// in order, on standard error; the tool's lookup searched PATH's too.
void print_searched(const char *program, bool tool);
