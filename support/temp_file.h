// Temporary files in a directory chosen once per process.
#pragma once

// The temporary directory with a "/" appended (always appended, so "/tmp/"
// gives "/tmp//"): the first of $TMPDIR, $TMP, $TEMP, "/tmp/", "/var/tmp",
// "/tmp" that is a searchable, writable directory, else ".". Chosen on the
// first call; the same pointer every time; never free it.
const char *choose_temp_dir();

// Creates a new, empty file named <dir><prefix>XXXXXX<suffix> (null prefix:
// "cc"; null suffix: ""), closes it and returns its name, which the caller
// frees. Does not return on failure: prints "Cannot create temporary file in
// <dir>: <error>" and ends the process at once without running exit hooks
// (after removing the file when only its close failed).
char *create_temp_file_with_prefix(const char *prefix, const char *suffix);
char *create_temp_file(const char *suffix);

// A new temporary file held open for writing, so that nobody need open it by
// name again. In a temporary directory that others may write to and that is
// not sticky, they could swap any name made there for their own file or link
// before it is used, so the file goes into a private directory (mode 0700)
// made there for it: <dir>ccXXXXXX/ccXXXXXX; elsewhere it is <dir>ccXXXXXX.
struct open_temp_file {
  char *name;         // the file's path; the caller frees it
  char *private_dir;  // the directory made for it, or null; the caller frees it
  int fd;             // open for writing; the caller closes it
};
// Does not return on failure: removes what it made, prints "Cannot create
// temporary file in <dir>: <error>" and ends the process at once without
// running exit hooks. Nothing is allocated once something was created.
open_temp_file create_open_temp_file();
// Unlinks the file and removes its private directory, if any; frees nothing.
void remove_open_temp_file(const open_temp_file &file);
