#include "path.h"

#include "kiv_platform.h"

#include <sys/stat.h>
#include <unistd.h>
#if KIV_HAVE_ELF_AUX_INFO || KIV_HAVE_GETAUXVAL
#include <sys/auxv.h>
#endif
#if KIV_HAVE_KERN_PROC_PATHNAME
#include <sys/sysctl.h>
#include <sys/types.h>
#endif

#include <array>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "argv.h"
#include "char_class.h"
#include "colon_list.h"
#include "handles.h"

namespace {

// PATH candidates up to this many bytes are built in a buffer on the stack,
// longer ones on the heap. A PATH value is a few hundred bytes on an ordinary
// system, so the heap is hardly ever needed; and the buffer stays just under
// one 4 KiB page, so that the search's whole frame is about a page (4.2 KiB
// with g++ 12 and clang 14). A frame much larger than a page could move the
// stack pointer past the single guard page below a small thread stack
// without ever touching it.
constexpr size_t stack_candidate_size = 4031;

bool is_executable_regular_file(const char *path) {
  struct stat st;
  return access(path, X_OK) == 0 && stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

// Looks progname up in the PATH value path_value and leaves the first
// executable regular file in candidate (sized by the caller). False when
// there is none.
bool search_path(const char *path_value, const char *progname, char *candidate) {
  size_t name_len = strlen(progname);
  colon_list elements(path_value);
  for (size_t len; (len = elements.next(candidate)) != 0;) {
    memcpy(candidate + len, progname, name_len + 1);
    if (is_executable_regular_file(candidate)) return true;
  }
  return false;
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
  const char *path_value = getenv("PATH");
  if (path_basename(progname) != progname || !path_value)
    return resolve_links ? resolve_real_path(progname) : strdup(progname);

  // An element may gain a '/', and an empty value still stands for "./".
  size_t path_len = strlen(path_value);
  size_t size = (path_len + 1 > 2 ? path_len + 1 : 2) + strlen(progname) + 1;
  std::array<char, stack_candidate_size> local;
  unique_cstr heap;
  char *candidate = local.data();
  if (size > local.size()) {
    heap.reset(static_cast<char *>(malloc(size)));
    if (!heap) return nullptr;
    candidate = heap.get();
  }
  const char *program_path = search_path(path_value, progname, candidate) ? candidate : progname;
  return resolve_links ? resolve_real_path(program_path) : strdup(program_path);
}

// Splits path into *count components; false when it is empty or out of memory.
bool split(const char *path, unique_argv &components, int *count) {
  components.reset(split_path_components(path, count));
  return components != nullptr;
}

char *relocate(const char *progname, const char *bin_prefix, const char *prefix,
               bool resolve_links) {
  if (!progname || !bin_prefix || !prefix) return nullptr;

  unique_argv program, bin, target;
  int program_count = 0, bin_count = 0, target_count = 0;
  {
    unique_cstr copy{locate_program(progname, resolve_links)};
    if (!copy || !split(copy.get(), program, &program_count)) return nullptr;
  }
  // Every component but the file name.
  int program_dir_count = program_count - 1;

  if (!split(bin_prefix, bin, &bin_count)) return nullptr;
  if (program_dir_count == bin_count) {
    int i = 0;
    while (i < bin_count && strcmp(program.get()[i], bin.get()[i]) == 0) ++i;
    if (i == bin_count) return nullptr;
  }

  if (!split(prefix, target, &target_count)) return nullptr;
  int common = 0;
  while (common < bin_count && common < target_count &&
         strcmp(bin.get()[common], target.get()[common]) == 0)
    ++common;
  if (common == 0) return nullptr;

  int climbs = bin_count - common;
  size_t length = joined_length(program.get(), 0, program_dir_count) +
                  3 * static_cast<size_t>(climbs) +
                  joined_length(target.get(), common, target_count);
  char *result = static_cast<char *>(malloc(length + 1));
  if (!result) return nullptr;
  char *out = append_components(result, program.get(), 0, program_dir_count);
  for (int i = 0; i < climbs; ++i) {
    memcpy(out, "../", 3);
    out += 3;
  }
  out = append_components(out, target.get(), common, target_count);
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
  // Null-terminated at every step, so that a failure frees what was made.
  unique_argv components{static_cast<char **>(malloc((runs + 2) * sizeof(char *)))};
  if (!components) return nullptr;
  int made = 0;
  components.get()[0] = nullptr;
  const char *start = path;
  const char *p = path;
  for (;;) {
    while (*p && *p != '/') ++p;
    while (*p == '/') ++p;
    if (p == start) break;  // nothing left behind the last run
    size_t len = static_cast<size_t>(p - start);
    char *component = static_cast<char *>(malloc(len + 1));
    if (!component) return nullptr;
    memcpy(component, start, len);
    component[len] = '\0';
    components.get()[made++] = component;
    components.get()[made] = nullptr;
    start = p;
  }
  *count = made;
  return components.release();
}

char *find_program_path(const char *progname) {
  return progname ? locate_program(progname, false) : nullptr;
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

// The kernel's own name for the executable, with no link in it; null where
// the system cannot tell.
char *reported_executable_path() {
#if KIV_HAVE_ELF_AUX_INFO
  {
    char path[PATH_MAX];
    if (elf_aux_info(AT_EXECPATH, path, sizeof path) == 0) return strdup(path);
  }
#endif
#if KIV_HAVE_KERN_PROC_PATHNAME
  {
    int name[] = {CTL_KERN, KERN_PROC, KERN_PROC_PATHNAME, -1};
    char path[PATH_MAX];
    size_t size = sizeof path;
    if (sysctl(name, 4, path, &size, nullptr, 0) == 0) return strdup(path);
  }
#endif
#if KIV_HAVE_PROC_SELF_EXE
  // readlink gives no terminator and no length it needed: grow until it fits.
  for (size_t size = 256; size <= 1u << 20; size *= 2) {
    unique_cstr path{static_cast<char *>(malloc(size))};
    if (!path) return nullptr;
    ssize_t len = readlink("/proc/self/exe", path.get(), size);
    if (len < 0) return nullptr;
    if (static_cast<size_t>(len) < size) {
      path.get()[len] = '\0';
      return path.release();
    }
  }
#endif
  return nullptr;
}

}  // namespace

char *running_executable_path() {
  unique_cstr reported{reported_executable_path()};
  if (reported && reported.get()[0] == '/') return reported.release();
#if KIV_HAVE_GETAUXVAL
  // Without /proc: the name the program was started by, resolved.
  if (auto *started = reinterpret_cast<const char *>(getauxval(AT_EXECFN)))
    return realpath(started, nullptr);
#endif
  return nullptr;
}
