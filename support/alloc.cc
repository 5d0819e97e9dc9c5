#include "alloc.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const char *alloc_program_name = "";
void (*exit_cleanup_hook)(int status) = nullptr;
char *concat_static_buffer = nullptr;

void exit_with_cleanup(int status) {
  if (exit_cleanup_hook) exit_cleanup_hook(status);
  exit(status);
}

void set_alloc_program_name(const char *name) { alloc_program_name = name; }

void report_alloc_failure(size_t size) {
  const char *name = alloc_program_name ? alloc_program_name : "";
  fprintf(stderr, "\n%s%sout of memory allocating %lu bytes\n", name, *name ? ": " : "",
          static_cast<unsigned long>(size));
  exit_with_cleanup(1);
}

void *checked_malloc(size_t size) {
  if (size == 0) size = 1;
  void *block = malloc(size);
  if (!block) report_alloc_failure(size);
  return block;
}

void *checked_calloc(size_t count, size_t size) {
  if (count == 0 || size == 0) count = size = 1;
  void *block = calloc(count, size);
  // The product can wrap around for a request calloc refuses as too large;
  // the report shows what was asked for all the same.
  if (!block) report_alloc_failure(count * size);
  return block;
}

void *checked_realloc(void *old, size_t size) {
  if (size == 0) size = 1;
  void *block = old ? realloc(old, size) : malloc(size);
  if (!block) report_alloc_failure(size);
  return block;
}

char *checked_strdup(const char *s) {
  size_t size = strlen(s) + 1;
  return static_cast<char *>(memcpy(checked_malloc(size), s, size));
}

namespace {

size_t joined_length(const char *first, va_list args) {
  size_t total = 0;
  for (const char *s = first; s; s = va_arg(args, const char *)) total += strlen(s);
  return total;
}

char *join_into(char *dst, const char *first, va_list args) {
  char *end = dst;
  for (const char *s = first; s; s = va_arg(args, const char *)) {
    size_t len = strlen(s);
    memcpy(end, s, len);
    end += len;
  }
  *end = '\0';
  return dst;
}

// Two passes over the same list: sum the lengths, then copy.
char *join_new(const char *first, va_list args) {
  va_list again;
  va_copy(again, args);
  size_t total = joined_length(first, args);
  char *result = static_cast<char *>(checked_malloc(total + 1));
  join_into(result, first, again);
  va_end(again);
  return result;
}

}  // namespace

size_t concat_strings_length(const char *first, ...) {
  va_list args;
  va_start(args, first);
  size_t total = joined_length(first, args);
  va_end(args);
  return total;
}

char *concat_strings_into(char *dst, const char *first, ...) {
  va_list args;
  va_start(args, first);
  join_into(dst, first, args);
  va_end(args);
  return dst;
}

char *concat_strings(const char *first, ...) {
  va_list args;
  va_start(args, first);
  char *result = join_new(first, args);
  va_end(args);
  return result;
}

char *concat_strings_replacing(char *old, const char *first, ...) {
  va_list args;
  va_start(args, first);
  char *result = join_new(first, args);
  va_end(args);
  free(old);  // only now: old may be one of the joined strings
  return result;
}
