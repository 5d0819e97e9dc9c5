#include "temp_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

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

constexpr char open_to_others[] = "other users can rename files in it or in a directory above it";

// More links on one walk than any honest set-up needs: a loop.
constexpr int most_links = 32;

// Whether uid is the id that a user namespace shows for every owner it does
// not map (the kernel's overflow id), root among them. Outside a namespace
// the id is mapped, to the real user nobody, and stays another user.
bool is_unmapped_owner(uid_t uid) {
  constexpr unsigned long overflow_id = 65534;
  static int unmapped = -1;  // the map is read once, when first needed
  if (uid != overflow_id) return false;
  if (unmapped < 0) {
    unique_file map{fopen("/proc/self/uid_map", "r")};
    unmapped = map != nullptr;
    unsigned long inside, outside, count;
    while (map && fscanf(map.get(), "%lu %lu %lu", &inside, &outside, &count) == 3)
      if (overflow_id >= inside && overflow_id - inside < count) unmapped = 0;
  }
  return unmapped == 1;
}

// Who may own what a temporary directory's name leads through: root, the
// effective user, and, in a user namespace, the system, seen as the owner it
// cannot map; but not that owner for an entry of a directory that others
// may write (such as /tmp), where it may be any other user.
bool trusted(const struct stat &st, bool in_open_dir) {
  return st.st_uid == 0 || st.st_uid == geteuid() ||
         (!in_open_dir && is_unmapped_owner(st.st_uid));
}

bool others_may_write(const struct stat &st) { return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0; }

// Judges a directory that the walk meets, as an entry of an open directory
// or not, and notes whether others may write it in turn: it must be
// trusted, and sticky where others may write. Null, or why not.
const char *judge(const struct stat &st, bool &in_open_dir) {
  if (!S_ISDIR(st.st_mode)) return strerror(ENOTDIR);
  if (!trusted(st, in_open_dir) || (others_may_write(st) && !(st.st_mode & S_ISVTX)))
    return open_to_others;
  in_open_dir = others_may_write(st);
  return nullptr;
}

temp_dir_choice choose() {
  const char *candidates[] = {getenv("TMPDIR"), getenv("TMP"), getenv("TEMP"), "/tmp/",
                              "/var/tmp", "/tmp", "."};
  const char *refusal = nullptr;
  for (const char *candidate : candidates) {
    if (!candidate || (refusal = check_temp_dir(candidate))) continue;
    // The name as given; the "/" is appended even when it ends in one.
    return {concat_strings(candidate, "/", nullptr), nullptr};
  }
  return {checked_strdup("./"), refusal};
}

const temp_dir_choice &chosen_temp_dir() {
  if (!temp_dir.dir) temp_dir = choose();
  return temp_dir;
}

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

const char *check_temp_dir(const char *dir) {
  if (!*dir) return strerror(ENOENT);
  // Where the walk stands: the directories met so far, no link among them,
  // which nobody else can change, so that the name leads where it led. It
  // starts at "/", or for a relative name in the current directory, whose
  // own directory is not seen: that is judged as an entry of an open one.
  bool in_open_dir = dir[0] != '/';
  unique_cstr here, path{checked_strdup(dir)};  // path: what is left to walk
  char *rest = path.get();
  struct stat st;
  for (int links = 0;;) {
    if (!here) {
      here.reset(checked_strdup(*rest == '/' ? "/" : "."));
      if (lstat(here.get(), &st) != 0) return strerror(errno);
      if (const char *refusal = judge(st, in_open_dir)) return refusal;
    }
    while (*rest == '/') ++rest;
    if (!*rest) break;
    char *name = rest;
    rest += strcspn(rest, "/");
    if (*rest) *rest++ = '\0';
    if (strcmp(name, ".") == 0) continue;
    bool at_root = strcmp(here.get(), "/") == 0;
    unique_cstr next{concat_strings(here.get(), at_root ? "" : "/", name, nullptr)};
    if (lstat(next.get(), &st) != 0) return strerror(errno);
    if (!S_ISLNK(st.st_mode)) {
      // Whose parent ".." is and who may write above it is not seen here.
      if (strcmp(name, "..") == 0) in_open_dir = true;
      if (const char *refusal = judge(st, in_open_dir)) return refusal;
      here = std::move(next);
      continue;
    }
    // Nobody else can replace a link of ours in a directory of ours, so its
    // target is read as it was judged, and walked on the same way.
    if (!trusted(st, in_open_dir)) return open_to_others;
    if (++links > most_links) return strerror(ELOOP);
    size_t room = static_cast<size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1;
    unique_cstr target{static_cast<char *>(checked_malloc(room))};
    ssize_t length = readlink(next.get(), target.get(), room);
    if (length < 0 || static_cast<size_t>(length) >= room) return open_to_others;
    target.get()[length] = '\0';
    if (target.get()[0] == '/') {
      here.reset();
      in_open_dir = false;
    }
    path.reset(concat_strings(target.get(), "/", rest, nullptr));
    rest = path.get();
  }
  return access(here.get(), R_OK | W_OK | X_OK) == 0 ? nullptr : strerror(errno);
}

const char *choose_temp_dir() { return chosen_temp_dir().dir; }

char *create_temp_file_with_prefix(const char *prefix, const char *suffix) {
  const char *dir = choose_temp_dir();
  if (!prefix) prefix = "cc";
  if (!suffix) suffix = "";
  unique_cstr name{concat_strings(dir, prefix, "XXXXXX", suffix, nullptr)};
  if (close(make_file(dir, name.get(), strlen(suffix))) != 0) {
    // A new file that cannot be closed ends the process too, without a word.
    unlink(name.get());
    _exit(1);
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
