// The elements of a ':'-separated list of directories, such as PATH, each
// turned into the prefix that a file name is put directly behind: an empty
// element stands for the current directory and becomes "./", and any other
// gets a '/' unless it already ends in one. "a::b/" gives "a/", "./", "b/";
// "" gives "./"; a ':' at the end gives one more "./".
#pragma once

#include <cstddef>

// Walks the list without allocating: each prefix is written into a buffer
// of the caller's. The list's text must stay alive and unchanged meanwhile.
class colon_list {
 public:
  explicit colon_list(const char *text) : rest_(text) {}

  // Bytes that any one prefix of text takes, its terminating NUL included.
  static size_t prefix_room(const char *text);

  // Writes the next prefix, NUL-terminated, into out (at least
  // prefix_room(text) bytes) and returns its length; 0 after the last one.
  size_t next(char *out);

 private:
  const char *rest_;  // the elements not yet taken; null after the last
};
