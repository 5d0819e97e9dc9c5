#include "prefix_list.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "alloc.h"
#include "colon_list.h"
#include "handles.h"

namespace {

bool find_debug = false;

void add_entry(prefix_list *list, const char *text, bool at_front) {
  prefix_entry **link = &list->head;
  if (!at_front) {
    while (*link) link = &(*link)->next;
  }
  int32_t len = static_cast<int32_t>(strlen(text));
  if (list->longest_len < len) list->longest_len = len;
  prefix_entry *entry = static_cast<prefix_entry *>(checked_malloc(sizeof(prefix_entry)));
  entry->text = checked_strdup(text);
  entry->next = *link;
  *link = entry;
}

}  // namespace

void set_find_debug(bool on) { find_debug = on; }

void prefix_list_add(prefix_list *list, const char *text) { add_entry(list, text, false); }

void prefix_list_add_front(prefix_list *list, const char *text) { add_entry(list, text, true); }

void prefix_list_from_string(const char *text, prefix_list *list) {
  // One buffer holds every prefix in turn; the list keeps copies.
  unique_cstr prefix{static_cast<char *>(checked_malloc(colon_list::prefix_room(text)))};
  if (find_debug) fprintf(stderr, "Convert string '%s' into prefixes, separator = '%c'\n", text, ':');
  colon_list elements(text);
  while (elements.next(prefix.get()) != 0) {
    if (find_debug) fprintf(stderr, "  - add prefix: %s\n", prefix.get());
    prefix_list_add(list, prefix.get());
  }
}

void prefix_list_from_env(const char *name, prefix_list *list) {
  if (const char *value = getenv(name)) prefix_list_from_string(value, list);
}

char *find_file_in_prefixes(const prefix_list *list, const char *name, int mode) {
  if (find_debug) fprintf(stderr, "Looking for '%s'\n", name);
  size_t name_len = strlen(name);
  // Room for the longest candidate: every one is built in place here.
  unique_cstr path{static_cast<char *>(
      checked_malloc(static_cast<size_t>(list->longest_len) + name_len + 1))};
  if (name[0] == '/') {
    // An absolute name is taken as it is, without the file-type test.
    if (access(name, mode) == 0) {
      memcpy(path.get(), name, name_len + 1);
      if (find_debug) fputs("  - found: absolute path\n", stderr);
      return path.release();
    }
    if (find_debug) fputs("  - failed to locate using absolute path\n", stderr);
  } else {
    for (const prefix_entry *entry = list->head; entry; entry = entry->next) {
      size_t len = strlen(entry->text);
      memcpy(path.get(), entry->text, len);
      memcpy(path.get() + len, name, name_len + 1);
      struct stat st;
      if (stat(path.get(), &st) == 0 && !S_ISDIR(st.st_mode) && access(path.get(), mode) == 0)
        return path.release();
    }
  }
  if (find_debug && !list->head) fputs("  - failed: no entries in prefix list\n", stderr);
  return nullptr;
}
