// Argument vectors and the response-file text format.
#pragma once

#include <cstdio>

#include "handles.h"

// A heap array of separately allocated strings ended by a null entry, in the
// layout of main's argv. It owns its strings; free_argv releases everything.
// A null pointer stands for "no vector".
using argv_vector = char **;

// Splits text by the response-file quoting rules (whitespace separates;
// backslash escapes; '...' and "..." quote). Null gives null; otherwise the
// result is never null (an empty text gives an empty vector).
argv_vector split_argument_string(const char *text);
// A deep copy; null gives null.
argv_vector copy_argv(const char *const *argv);
// Frees every string and the array; null is ignored.
void free_argv(argv_vector argv);
// Entries before the null one; null gives 0.
int count_argv(const char *const *argv);
// Writes each argument on a line of its own, escaped so that
// split_argument_string reads back the same vector. Returns 0 on success,
// 1 for a null stream or at the first failed write. Neither flushes nor
// closes the stream.
int write_argv_to_file(const char *const *argv, FILE *stream);
// One argument as write_argv_to_file writes it, without the newline; with
// controls_shown, each control byte instead as an escape that a terminal
// shows (\n, \033), for a line meant to be read. 0 on success, 1 at the
// first failed write.
int write_argument(const char *arg, FILE *stream, bool controls_shown = false);

struct argv_deleter {
  void operator()(argv_vector argv) const { keeping_errno([argv] { free_argv(argv); }); }
};
using unique_argv = std::unique_ptr<char *, argv_deleter>;
