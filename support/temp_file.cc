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

// Others may write here and nothing is sticky: anyone could rename, remove
// or replace the entries that we make. A directory we cannot stat counts as
// one of these.
bool open_to_others(const char *dir) {
  struct stat st;
  if (stat(dir, &st) != 0) return true;
  return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0;
}

[[noreturn]] void creation_failed(const char *dir, int err) {
  fprintf(stderr, "Cannot create temporary file in %s: %s\n", dir, strerror(err));
  _exit(1);
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
  if (fd < 0) creation_failed(dir, errno);
  if (close(fd) != 0) {
    unlink(name);
    _exit(1);
  }
  return name;
}

char *create_temp_file(const char *suffix) { return create_temp_file_with_prefix(nullptr, suffix); }

open_temp_file create_open_temp_file() {
  const char *dir = choose_temp_dir();
  const size_t dir_len = strlen(dir);
  open_temp_file file{nullptr, nullptr, -1};
  // Both names are made before anything is created, so that running out of
  // memory cannot leave anything behind.
  if (open_to_others(dir)) {
    file.private_dir = concat_strings(dir, "ccXXXXXX", nullptr);
    file.name = concat_strings(dir, "ccXXXXXX/ccXXXXXX", nullptr);
    if (!mkdtemp(file.private_dir)) creation_failed(dir, errno);
    memcpy(file.name + dir_len, file.private_dir + dir_len, strlen("ccXXXXXX"));
  } else {
    file.name = concat_strings(dir, "ccXXXXXX", nullptr);
  }
  file.fd = mkstemps(file.name, 0);
  if (file.fd < 0) {
    int err = errno;
    if (file.private_dir) rmdir(file.private_dir);
    creation_failed(dir, err);
  }
  return file;
}

void remove_open_temp_file(const open_temp_file &file) {
  if (file.name) unlink(file.name);
  if (file.private_dir) rmdir(file.private_dir);
}
