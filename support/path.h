// Path-name helpers and the relocation of build-time directories.
// Everything here allocates with malloc directly and returns null when an
// allocation fails; nothing here prints or ends the process.
#pragma once

// Splits path into components that each end with their whole run of '/'
// (the last one may have none): "/usr//bin/x" gives "/", "usr//", "bin/", "x".
// Returns a null-terminated array of separately allocated strings and stores
// their number in *count; null (count untouched) for an empty path or when
// an allocation fails. The caller frees each string and then the array.
char **split_path_components(const char *path, int *count);

// The build-time directory prefix re-expressed relative to the directory in
// which the program really lies (a bare name is looked up in PATH; symbolic
// links are resolved). Null when the program lies in bin_prefix itself, when
// the two build-time directories share no leading component, or on failure.
// The result is a new string the caller frees.
char *relocate_prefix(const char *progname, const char *bin_prefix, const char *prefix);
// The same without resolving symbolic links.
char *relocate_prefix_ignoring_links(const char *progname, const char *bin_prefix,
                                     const char *prefix);

// The path of the program started as progname, as found: a bare name is
// looked up in PATH (the name itself when PATH does not yield it); links are
// not resolved, so a match through a relative PATH element stays relative.
// relocate_prefix(p, b, t) equals
// relocate_prefix_ignoring_links(resolve_real_path(find_program_path(p)), b, t).
// A new string, or null when out of memory.
char *find_program_path(const char *progname);

// The running program's own executable as the operating system names it
// (absolute, no link in it), or, where it does not, the name the program
// was started by, resolved: a new string, or null where the system cannot
// tell (or out of memory).
char *running_executable_path();

// Pointer into path, behind its last '/' (path itself when there is none).
const char *path_basename(const char *path);
// As path_basename, but also skips a leading drive letter and ':' and takes
// '\\' as a separator too.
const char *path_basename_dos(const char *path);

// The canonical absolute form of path (links, "." and ".." resolved), or a
// plain copy when it cannot be resolved. Null only when out of memory.
char *resolve_real_path(const char *path);
