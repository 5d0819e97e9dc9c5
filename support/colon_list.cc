#include "colon_list.h"

#include <cstring>

size_t colon_list::prefix_room(const char *text) {
  // The whole text as one element with a '/' added, or "./"; and the NUL.
  return strlen(text) + 3;
}

size_t colon_list::next(char *out) {
  if (!rest_) return 0;
  const char *colon = strchr(rest_, ':');
  size_t len = colon ? static_cast<size_t>(colon - rest_) : strlen(rest_);
  if (len == 0) {
    memcpy(out, "./", 2);
    len = 2;
  } else {
    memcpy(out, rest_, len);
    // Only the last character counts: "a//" stays as it is.
    if (out[len - 1] != '/') out[len++] = '/';
  }
  out[len] = '\0';
  rest_ = colon ? colon + 1 : nullptr;
  return len;
}
