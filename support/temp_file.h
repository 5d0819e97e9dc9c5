// Temporary files in a directory chosen once per process, where no other
// user can rename, remove or replace what we make.
#pragma once

#include <memory>

#include "handles.h"

// Why dir is no place for temporary files, or null when it is one: a
// searchable, writable directory reached only through objects that nobody
// but root, the effective user and, in a user namespace, the system can
// change. What is checked is what is used: one walk along dir itself, each
// directory and link judged as it is met and each link's target walked the
// same way, so that the name as given leads where the walk led. The reason
// is a constant string or strerror's.
const char *check_temp_dir(const char *dir);

// The temporary directory as given, with a "/" appended (always appended,
// so "/tmp/" gives "/tmp//"): the first of $TMPDIR, $TMP, $TEMP, "/tmp/",
// "/var/tmp", "/tmp" and "." that check_temp_dir accepts. When none is
// accepted, "./", in which nothing can be created. Chosen on the first
// call; the same pointer every time; never free it.
const char *choose_temp_dir();

// Creates a new, empty file named <dir><prefix>XXXXXX<suffix> (null prefix:
// "cc"; null suffix: ""), closes it and returns its name, which the caller
// frees. Does not return on failure: prints "Cannot create temporary file
// in <dir>: <reason>" and ends the process at once with status 1, without
// exit_with_cleanup's hook; when the new descriptor cannot be closed, ends
// it so without a message, the file removed.
char *create_temp_file_with_prefix(const char *prefix, const char *suffix);
char *create_temp_file(const char *suffix);

// A temporary file owned like memory: the handle's end removes it and frees
// its name.
struct file_remover {
  void operator()(char *name) const {
    keeping_errno([name] {
      unlink(name);
      free(name);
    });
  }
};
using unique_temp_file = std::unique_ptr<char, file_remover>;

// A new temporary file <dir>ccXXXXXX with the descriptor that created it,
// open for writing, so that nobody need open it by name again.
struct open_temp_file {
  unique_temp_file file;
  unique_fd fd;
};
// Does not return on failure, as create_temp_file; nothing is left behind.
open_temp_file create_open_temp_file();
