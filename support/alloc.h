// Checked allocation, the exit of the library's fatal errors, and string
// joining. (A temporary file that cannot be made ends the process at once
// instead, without the hook: see temp_file.h.)
#pragma once

#include <cstddef>

// Name printed in front of the out-of-memory message; "" until set.
// Stored as passed: the caller keeps the string alive.
extern const char *alloc_program_name;
// Called with the exit status by exit_with_cleanup before the process ends.
extern void (*exit_cleanup_hook)(int status);
// Destination of concat_strings_static; the caller guarantees its size.
extern char *concat_static_buffer;

// Runs exit_cleanup_hook (when set), then exit(status).
[[noreturn]] void exit_with_cleanup(int status);
void set_alloc_program_name(const char *name);
// Prints "\n<name>: out of memory allocating <size> bytes\n" (no "<name>: "
// while the name is empty) and ends through exit_with_cleanup(1).
[[noreturn]] void report_alloc_failure(size_t size);

// Never return null: a zero size is served as one byte, and a failed request
// ends the process through report_alloc_failure. Blocks are released with free.
void *checked_malloc(size_t size);
void *checked_calloc(size_t count, size_t size);
void *checked_realloc(void *old, size_t size);
char *checked_strdup(const char *s);

// The joiners take strings up to the first null pointer.
__attribute__((sentinel)) size_t concat_strings_length(const char *first, ...);
// Writes the joined strings into dst (room guaranteed by the caller); returns dst.
__attribute__((sentinel)) char *concat_strings_into(char *dst, const char *first, ...);
// concat_strings_into(concat_static_buffer, ...); not reentrant.
template <typename... Strings>
char *concat_strings_static(const char *first, Strings... rest) {
  return concat_strings_into(concat_static_buffer, first, rest...);
}
// A new heap string holding the joined strings ("" for an empty list).
__attribute__((sentinel)) char *concat_strings(const char *first, ...);
// As concat_strings, then frees old (which may be one of the listed strings).
__attribute__((sentinel)) char *concat_strings_replacing(char *old, const char *first, ...);
