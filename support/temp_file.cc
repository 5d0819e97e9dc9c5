#include "temp_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "alloc.h"

namespace {

char *temp_dir_cache = nullptr;

bool usable_dir(const char *dir) {
  struct stat st;
  return dir && access(dir, R_OK | W_OK | X_OK) == 0 && stat(dir, &st) == 0 &&
         S_ISDIR(st.st_mode);
}

}  // namespace

const char *choose_temp_dir() {
  if (temp_dir_cache) return temp_dir_cache;
  const char *candidates[] = {getenv("TMPDIR"), getenv("TMP"), getenv("TEMP"), "/tmp/",
                              "/var/tmp", "/tmp"};
  const char *dir = ".";
  for (const char *candidate : candidates) {
    if (usable_dir(candidate)) {
      dir = candidate;
      break;
    }
  }
  // The "/" is appended even when the name already ends in one.
  temp_dir_cache = concat_strings(dir, "/", nullptr);
  return temp_dir_cache;
}

char *create_temp_file_with_prefix(const char *prefix, const char *suffix) {
  const char *dir = choose_temp_dir();
  if (!prefix) prefix = "cc";
  if (!suffix) suffix = "";
  char *name = concat_strings(dir, prefix, "XXXXXX", suffix, nullptr);
  int fd = mkstemps(name, static_cast<int>(strlen(suffix)));
  if (fd < 0) {
    fprintf(stderr, "Cannot create temporary file in %s: %s\n", dir, strerror(errno));
    _exit(1);
  }
  if (close(fd) != 0) _exit(1);
  return name;
}

char *create_temp_file(const char *suffix) { return create_temp_file_with_prefix(nullptr, suffix); }
