// Ordered lists of directory prefixes and the lookup of a file in them.
#pragma once

#include <cstdint>

struct prefix_entry {
  char *text;  // owned copy; the file name is put directly behind it
  prefix_entry *next;
};

// Usable when all zero. Lists only grow and are never freed.
struct prefix_list {
  prefix_entry *head;
  int32_t longest_len;  // length of the longest text ever added
};

// Turns the lookup trace on standard error on or off (off at start).
void set_find_debug(bool on);

// Append / prepend a copy of text; the caller keeps text.
void prefix_list_add(prefix_list *list, const char *text);
void prefix_list_add_front(prefix_list *list, const char *text);

// Appends one prefix per ':'-separated component of text; an empty component
// becomes "./", and a component gets a "/" unless it ends in one.
void prefix_list_from_string(const char *text, prefix_list *list);
// prefix_list_from_string over the variable's value; nothing when unset.
void prefix_list_from_env(const char *name, prefix_list *list);

// The first prefix+name (or name itself when absolute) that exists, is no
// directory (not checked for absolute names) and passes access(mode).
// Returns a new string the caller frees, or null.
char *find_file_in_prefixes(const prefix_list *list, const char *name, int mode);
