// Preloaded into a program under test: counts the allocations made after
// its first successful mkstemps and fails the one numbered by
// $KIV_FAIL_ALLOC_AFTER_MKSTEMPS (from 1), as an exhausted heap would. Only
// that one fails. glibc only: the real allocator is reached through its
// __libc_ entry points, which no dlsym is needed for.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>

void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *old, size_t size);

// Allocations still to pass before the failing one; negative: none fails.
static long countdown = -1;

static int fails(void) {
  if (countdown < 0 || countdown-- > 0) return 0;
  errno = ENOMEM;
  return 1;
}

void *malloc(size_t size) { return fails() ? NULL : __libc_malloc(size); }
void *calloc(size_t count, size_t size) { return fails() ? NULL : __libc_calloc(count, size); }
void *realloc(void *old, size_t size) { return fails() ? NULL : __libc_realloc(old, size); }

int mkstemps(char *name, int suffix_length) {
  int (*real)(char *, int) = (int (*)(char *, int))dlsym(RTLD_NEXT, "mkstemps");
  int fd = real(name, suffix_length);
  const char *n = getenv("KIV_FAIL_ALLOC_AFTER_MKSTEMPS");
  if (fd >= 0 && n && countdown < 0) countdown = atol(n) - 1;
  return fd;
}
