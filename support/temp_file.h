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
// <dir>: <error>" and ends the process at once without running exit hooks.
char *create_temp_file_with_prefix(const char *prefix, const char *suffix);
char *create_temp_file(const char *suffix);
