#include "temp_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "alloc.h"

namespace {

// The directory chosen once per process, with a "/" appended; when no
// candidate was accepted, "./" and why the last one was refused, which is
// then the reason nothing can be made there.
struct temp_dir_choice {
  char *dir;
  const char *refusal;
};
temp_dir_choice temp_dir = {nullptr, nullptr};

bool owned_by_us_or_root(const struct stat &st) { return st.st_uid == 0 || st.st_uid == geteuid(); }

// Nobody but root and us may rename or replace the entries of dir: it is a
// real directory (no link) of ours or root's, and sticky if others may write.
bool only_ours(const char *dir) {
  struct stat st;
  if (lstat(dir, &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  if (!owned_by_us_or_root(st)) return false;
  return (st.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (st.st_mode & S_ISVTX) != 0;
}

// only_ours for "/" and for every directory on the way down to path, which
// is absolute and resolved. The path is cut at each '/' in turn and mended.
bool only_ours_from_root(char *path) {
  if (!only_ours("/")) return false;
  for (char *slash = path; slash;) {
    slash = strchr(slash + 1, '/');
    if (slash) *slash = '\0';
    bool ours = only_ours(path);
    if (slash) *slash = '/';
    if (!ours) return false;
  }
  return true;
}

// The directory part of path, up to and including its '/' at last; "" when
// last is null.
unique_cstr directory_part(const char *path, const char *last) {
  size_t len = last ? static_cast<size_t>(last - path) + 1 : 0;
  auto *dir = static_cast<char *>(checked_malloc(len + 1));
  memcpy(dir, path, len);
  dir[len] = '\0';
  return unique_cstr{dir};
}

// Whether every symbolic link met along name, from "/" or from the current
// directory, belongs to root or us and lies in a directory that nobody else
// can change. Otherwise another user picks where the name leads, even when
// it leads to a directory of ours. A link's target is walked the same way,
// up to a depth that only a loop reaches.
bool links_on_the_way_are_ours(const char *name, int depth = 0) {
  if (depth > 16) return false;
  unique_cstr path{checked_strdup(name)};
  // Each leading part of the name in turn: "a", "a/b", "a/b/c".
  for (char *end = path.get(); *end;) {
    char *slash = strchr(end + 1, '/');
    end = slash ? slash : end + strlen(end);
    char kept = *end;
    *end = '\0';
    struct stat st;
    if (lstat(path.get(), &st) != 0) return false;
    if (S_ISLNK(st.st_mode)) {
      unique_cstr dir = directory_part(path.get(), strrchr(path.get(), '/'));
      unique_cstr real_dir{realpath(*dir ? dir.get() : ".", nullptr)};
      if (!owned_by_us_or_root(st) || !real_dir || !only_ours_from_root(real_dir.get()))
        return false;
      size_t room = static_cast<size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1;
      unique_cstr target{static_cast<char *>(checked_malloc(room))};
      ssize_t len = readlink(path.get(), target.get(), room);
      if (len < 0 || static_cast<size_t>(len) >= room) return false;
      target.get()[len] = '\0';
      // A relative target goes on from the link's directory.
      unique_cstr next{target.get()[0] == '/' ? target.release()
                                              : concat_strings(dir.get(), target.get(), nullptr)};
      if (!links_on_the_way_are_ours(next.get(), depth + 1)) return false;
    }
    *end = kept;
  }
  return true;
}

// Whether the name given is absolute and already resolved: it differs from
// resolved only in repeated or trailing slashes.
bool is_resolved_form(const char *given, const char *resolved) {
  if (given[0] != '/') return false;
  for (const char *g = given; *g; ++g, ++resolved) {
    if (*g == '/') {
      while (g[1] == '/') ++g;
      if (g[1] == '\0' && g != given) break;
    }
    if (*g != *resolved) return false;
  }
  return *resolved == '\0';
}

temp_dir_choice choose() {
  const char *candidates[] = {getenv("TMPDIR"), getenv("TMP"), getenv("TEMP"), "/tmp/",
                              "/var/tmp", "/tmp", "."};
  const char *refusal = nullptr;
  for (const char *candidate : candidates) {
    if (!candidate) continue;
    char *resolved = nullptr;
    if ((refusal = check_temp_dir(candidate, &resolved))) continue;
    unique_cstr real{resolved};
    // The "/" is appended even when the name already ends in one.
    const char *name = is_resolved_form(candidate, real.get()) ? candidate : real.get();
    return {concat_strings(name, "/", nullptr), nullptr};
  }
  return {checked_strdup("./"), refusal};
}

const temp_dir_choice &chosen_temp_dir() {
  if (!temp_dir.dir) temp_dir = choose();
  return temp_dir;
}

constexpr char open_to_others[] = "other users can rename files in it or in a directory above it";

// Ends the process at once, without the exit hook: a hook that made a
// temporary file of its own would come back here without end.
[[noreturn]] void creation_failed(const char *dir, const char *reason) {
  fprintf(stderr, "Cannot create temporary file in %s: %s\n", dir, reason);
  _exit(1);
}

// mkstemps in the chosen directory; does not return on failure.
int make_file(const char *dir, char *name, size_t suffix_length) {
  if (const char *refusal = chosen_temp_dir().refusal) creation_failed(dir, refusal);
  int fd = mkstemps(name, static_cast<int>(suffix_length));
  if (fd < 0) creation_failed(dir, strerror(errno));
  return fd;
}

}  // namespace

const char *check_temp_dir(const char *dir, char **resolved) {
  if (access(dir, R_OK | W_OK | X_OK) != 0) return strerror(errno);
  if (!links_on_the_way_are_ours(dir)) return open_to_others;
  unique_cstr real{realpath(dir, nullptr)};
  if (!real) return strerror(errno);
  struct stat st;
  if (stat(real.get(), &st) != 0) return strerror(errno);
  if (!S_ISDIR(st.st_mode)) return strerror(ENOTDIR);
  if (!only_ours_from_root(real.get())) return open_to_others;
  *resolved = real.release();
  return nullptr;
}

const char *choose_temp_dir() { return chosen_temp_dir().dir; }

char *create_temp_file_with_prefix(const char *prefix, const char *suffix) {
  const char *dir = choose_temp_dir();
  if (!prefix) prefix = "cc";
  if (!suffix) suffix = "";
  unique_cstr name{concat_strings(dir, prefix, "XXXXXX", suffix, nullptr)};
  if (close(make_file(dir, name.get(), strlen(suffix))) != 0) {
    int err = errno;
    unlink(name.get());
    creation_failed(dir, strerror(err));
  }
  return name.release();
}

char *create_temp_file(const char *suffix) { return create_temp_file_with_prefix(nullptr, suffix); }

open_temp_file create_open_temp_file() {
  const char *dir = choose_temp_dir();
  unique_cstr name{concat_strings(dir, "ccXXXXXX", nullptr)};
  int fd = make_file(dir, name.get(), 0);
  return {unique_temp_file{name.release()}, unique_fd{fd}};
}
