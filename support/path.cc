#include "path.h"

#include <sys/stat.h>
#include <unistd.h>
#if defined(KIV_HAVE_ELF_AUX_INFO)
#include <sys/auxv.h>
#endif
#if defined(KIV_HAVE_KERN_PROC_PATHNAME)
#include <sys/sysctl.h>
#include <sys/types.h>
#endif

#include <array>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "char_class.h"

namespace {

// PATH candidates up to this size are built on the stack.
constexpr size_t stack_candidate_size = 4031;

void free_components(char **components) {
  if (!components) return;
  for (char **p = components; *p; ++p) free(*p);
  free(components);
}

// A component array with its count; frees itself.
struct component_array {
  char **items = nullptr;
  int count = 0;
  component_array() = default;
  component_array(const component_array &) = delete;
  component_array &operator=(const component_array &) = delete;
  ~component_array() { free_components(items); }
  bool split(const char *path) {
    items = split_path_components(path, &count);
    return items != nullptr;
  }
};

// The candidate buffer of the PATH search, on the stack unless it is large.
struct candidate_buffer {
  std::array<char, stack_candidate_size> local;
  char *heap = nullptr;
  char *data = nullptr;
  candidate_buffer(const candidate_buffer &) = delete;
  candidate_buffer &operator=(const candidate_buffer &) = delete;
  explicit candidate_buffer(size_t size) {
    if (size <= local.size()) {
      data = local.data();
    } else {
      heap = static_cast<char *>(malloc(size));
      data = heap;
    }
  }
  ~candidate_buffer() { free(heap); }
};

bool is_executable_regular_file(const char *path) {
  struct stat st;
  return access(path, X_OK) == 0 && stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

// Looks progname up in the PATH value path_value and copies the first
// executable regular file into result (sized by the caller). False when
// there is none.
bool search_path(const char *path_value, const char *progname, char *result) {
  size_t name_len = strlen(progname);
  const char *start = path_value;
  for (;;) {
    const char *colon = strchr(start, ':');
    size_t len = colon ? static_cast<size_t>(colon - start) : strlen(start);
    if (len == 0) {
      memcpy(result, "./", 2);
      len = 2;
    } else {
      memcpy(result, start, len);
      if (result[len - 1] != '/') result[len++] = '/';
    }
    memcpy(result + len, progname, name_len + 1);
    if (is_executable_regular_file(result)) return true;
    if (!colon) return false;
    start = colon + 1;
  }
}

size_t joined_length(char *const *components, int from, int to) {
  size_t total = 0;
  for (int i = from; i < to; ++i) total += strlen(components[i]);
  return total;
}

char *append_components(char *out, char *const *components, int from, int to) {
  for (int i = from; i < to; ++i) {
    size_t len = strlen(components[i]);
    memcpy(out, components[i], len);
    out += len;
  }
  return out;
}

// The program's path: a bare name looked up in PATH, links resolved on
// request. A new string, or null when out of memory.
char *locate_program(const char *progname, bool resolve_links) {
  const char *program_path = progname;
  const char *path_value = getenv("PATH");
  bool bare_name = path_basename(progname) == progname;
  size_t path_len = path_value ? strlen(path_value) : 0;
  // An element may gain a '/', and an empty value still stands for "./".
  size_t element_room = path_len + 1 > 2 ? path_len + 1 : 2;
  candidate_buffer candidate(bare_name && path_value ? element_room + strlen(progname) + 1 : 0);
  if (bare_name && path_value) {
    if (!candidate.data) return nullptr;
    if (search_path(path_value, progname, candidate.data)) program_path = candidate.data;
  }
  return resolve_links ? resolve_real_path(program_path) : strdup(program_path);
}

char *relocate(const char *progname, const char *bin_prefix, const char *prefix,
               bool resolve_links) {
  if (!progname || !bin_prefix || !prefix) return nullptr;

  char *copy = locate_program(progname, resolve_links);
  if (!copy) return nullptr;
  component_array program;
  bool split = program.split(copy);
  free(copy);
  if (!split) return nullptr;
  // Every component but the file name.
  int program_dir_count = program.count - 1;

  component_array bin;
  if (!bin.split(bin_prefix)) return nullptr;
  if (program_dir_count == bin.count) {
    int i = 0;
    while (i < bin.count && strcmp(program.items[i], bin.items[i]) == 0) ++i;
    if (i == bin.count) return nullptr;
  }

  component_array target;
  if (!target.split(prefix)) return nullptr;
  int common = 0;
  while (common < bin.count && common < target.count &&
         strcmp(bin.items[common], target.items[common]) == 0)
    ++common;
  if (common == 0) return nullptr;

  int climbs = bin.count - common;
  size_t length = joined_length(program.items, 0, program_dir_count) +
                  3 * static_cast<size_t>(climbs) +
                  joined_length(target.items, common, target.count);
  char *result = static_cast<char *>(malloc(length + 1));
  if (!result) return nullptr;
  char *out = append_components(result, program.items, 0, program_dir_count);
  for (int i = 0; i < climbs; ++i) {
    memcpy(out, "../", 3);
    out += 3;
  }
  out = append_components(out, target.items, common, target.count);
  *out = '\0';
  return result;
}

}  // namespace

char **split_path_components(const char *path, int *count) {
  if (!path || !*path) return nullptr;
  size_t runs = 0;
  for (const char *p = path; *p; ++p) {
    if (*p == '/' && (p == path || p[-1] != '/')) ++runs;
  }
  char **components = static_cast<char **>(malloc((runs + 2) * sizeof(char *)));
  if (!components) return nullptr;
  int made = 0;
  components[0] = nullptr;
  const char *start = path;
  const char *p = path;
  for (;;) {
    while (*p && *p != '/') ++p;
    while (*p == '/') ++p;
    if (p == start) break;  // nothing left behind the last run
    size_t len = static_cast<size_t>(p - start);
    char *component = static_cast<char *>(malloc(len + 1));
    if (!component) {
      free_components(components);
      return nullptr;
    }
    memcpy(component, start, len);
    component[len] = '\0';
    components[made++] = component;
    components[made] = nullptr;
    start = p;
  }
  *count = made;
  return components;
}

char *find_program_path(const char *progname) {
  return progname ? locate_program(progname, true) : nullptr;
}

char *relocate_prefix(const char *progname, const char *bin_prefix, const char *prefix) {
  return relocate(progname, bin_prefix, prefix, true);
}

char *relocate_prefix_ignoring_links(const char *progname, const char *bin_prefix,
                                     const char *prefix) {
  return relocate(progname, bin_prefix, prefix, false);
}

const char *path_basename(const char *path) {
  const char *base = path;
  for (const char *p = path; *p; ++p) {
    if (*p == '/') base = p + 1;
  }
  return base;
}

const char *path_basename_dos(const char *path) {
  if (char_in_class(path[0], CC_UPPER | CC_LOWER) && path[1] == ':') path += 2;
  const char *base = path;
  for (const char *p = path; *p; ++p) {
    if (*p == '/' || *p == '\\') base = p + 1;
  }
  return base;
}

char *resolve_real_path(const char *path) {
  // The allocating form: a fixed buffer would have to guess the platform's
  // longest path.
  if (char *resolved = realpath(path, nullptr)) return resolved;
  return strdup(path);
}

namespace {

// What the system reports as the executable's path, not yet resolved; null
// where it cannot tell.
char *reported_executable_path() {
#if defined(KIV_HAVE_ELF_AUX_INFO)
  {
    char path[PATH_MAX];
    if (elf_aux_info(AT_EXECPATH, path, sizeof path) == 0) return strdup(path);
  }
#endif
#if defined(KIV_HAVE_KERN_PROC_PATHNAME)
  {
    int name[] = {CTL_KERN, KERN_PROC, KERN_PROC_PATHNAME, -1};
    char path[PATH_MAX];
    size_t size = sizeof path;
    if (sysctl(name, 4, path, &size, nullptr, 0) == 0) return strdup(path);
  }
#endif
#if defined(KIV_HAVE_PROC_SELF_EXE)
  // readlink gives no terminator and no length it needed: grow until it fits.
  for (size_t size = 256; size <= 1u << 20; size *= 2) {
    char *path = static_cast<char *>(malloc(size));
    if (!path) return nullptr;
    ssize_t len = readlink("/proc/self/exe", path, size);
    if (len >= 0 && static_cast<size_t>(len) < size) {
      path[len] = '\0';
      return path;
    }
    free(path);
    if (len < 0) return nullptr;
  }
#endif
  return nullptr;
}

}  // namespace

char *running_executable_path() {
  char *reported = reported_executable_path();
  if (!reported || reported[0] != '/') {
    free(reported);
    return nullptr;
  }
  char *resolved = resolve_real_path(reported);
  free(reported);
  return resolved;
}
