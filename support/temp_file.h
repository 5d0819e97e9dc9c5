// Temporary files in a directory chosen once per process, where no other
// user can rename, remove or replace what we make.
#pragma once

#include <memory>

#include "handles.h"

// Why dir is no place for temporary files, or null when it is one. It is
// one when, with its symbolic links resolved, it is a searchable, writable
// directory and every directory from "/" down to it is owned by root or by
// the effective user, each that group or others may write being sticky; and
// when every symbolic link on the way along dir as given is root's or ours
// and lies in such a directory. Then *resolved gets the resolved name (the
// caller frees it); else it is left alone. The reason is a constant string
// or strerror's.
const char *check_temp_dir(const char *dir, char **resolved);

// The temporary directory with a "/" appended (always appended, so "/tmp/"
// gives "/tmp//"): the first of $TMPDIR, $TMP, $TEMP, "/tmp/", "/var/tmp",
// "/tmp" and "." that check_temp_dir accepts, named as given where that is
// its resolved name up to repeated or trailing slashes, else by its resolved
// name. When none is accepted, "./", in which nothing can be created. Chosen
// on the first call; the same pointer every time; never free it.
const char *choose_temp_dir();

// Creates a new, empty file named <dir><prefix>XXXXXX<suffix> (null prefix:
// "cc"; null suffix: ""), closes it and returns its name, which the caller
// frees. Does not return on failure, nor when the new descriptor cannot be
// closed (the file is removed then): prints "Cannot create temporary file in
// <dir>: <reason>" and ends the process at once with status 1, without
// exit_with_cleanup's hook.
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
