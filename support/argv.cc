#include "argv.h"

#include <cstdlib>
#include <cstring>

#include "alloc.h"
#include "char_class.h"
#include "handles.h"

namespace {

constexpr size_t initial_slots = 8;

bool is_space(char c) { return char_in_class(c, CC_SPACE); }

const char *skip_space(const char *p) {
  while (is_space(*p)) ++p;
  return p;
}

// Between double quotes a backslash escapes only these; before anything
// else it stays in the argument.
bool escapable_in_double_quotes(char c) {
  return c != '\0' && strchr("$`\"\\\n", c) != nullptr;
}

// Reads one argument starting at p into out (NUL-terminated) and returns
// where it stopped: at the unquoted whitespace that ended it, or at the end.
const char *read_argument(const char *p, char *out) {
  bool in_single = false;
  bool in_double = false;
  bool escaped = false;
  for (; *p; ++p) {
    char c = *p;
    if (escaped) {
      // An escaped newline is a line continuation: it joins, it is not kept.
      if (c != '\n') *out++ = c;
      escaped = false;
    } else if (in_single) {
      if (c == '\'')
        in_single = false;
      else
        *out++ = c;
    } else if (c == '\\') {
      // A backslash that ends the text is dropped, quoted or not.
      if (in_double && p[1] != '\0' && !escapable_in_double_quotes(p[1]))
        *out++ = c;
      else
        escaped = true;
    } else if (in_double) {
      if (c == '"')
        in_double = false;
      else
        *out++ = c;
    } else if (is_space(c)) {
      break;
    } else if (c == '\'') {
      in_single = true;
    } else if (c == '"') {
      in_double = true;
    } else {
      *out++ = c;
    }
  }
  *out = '\0';
  return p;
}

}  // namespace

argv_vector split_argument_string(const char *text) {
  if (!text) return nullptr;
  // No argument is longer than the whole text.
  unique_cstr scratch{static_cast<char *>(checked_malloc(strlen(text) + 1))};
  size_t capacity = initial_slots;
  argv_vector argv = static_cast<argv_vector>(checked_malloc(capacity * sizeof(char *)));
  size_t count = 0;
  argv[0] = nullptr;
  for (const char *p = skip_space(text); *p; p = skip_space(p)) {
    // Room for one more argument and the terminating null: the array grows
    // only when another argument is there to fill it.
    if (count + 1 >= capacity) {
      capacity *= 2;
      argv = static_cast<argv_vector>(checked_realloc(argv, capacity * sizeof(char *)));
    }
    p = read_argument(p, scratch.get());
    argv[count++] = checked_strdup(scratch.get());
    argv[count] = nullptr;
  }
  return argv;
}

argv_vector copy_argv(const char *const *argv) {
  if (!argv) return nullptr;
  size_t count = static_cast<size_t>(count_argv(argv));
  argv_vector copy = static_cast<argv_vector>(checked_malloc((count + 1) * sizeof(char *)));
  for (size_t i = 0; i < count; ++i) copy[i] = checked_strdup(argv[i]);
  copy[count] = nullptr;
  return copy;
}

void free_argv(argv_vector argv) {
  if (!argv) return;
  for (char **p = argv; *p; ++p) free(*p);
  free(argv);
}

int count_argv(const char *const *argv) {
  int count = 0;
  if (argv) {
    while (argv[count]) ++count;
  }
  return count;
}

int write_argument(const char *arg, FILE *stream, bool controls_shown) {
  if (*arg == '\0') return fputs("\"\"", stream) == EOF;
  for (const char *p = arg; *p; ++p) {
    char c = *p;
    if (controls_shown && char_in_class(c, CC_CNTRL)) {
      // Shown, so that a terminal does not act on it: \t to \r by letter,
      // the others in octal (ESC as \033).
      bool lettered = c >= '\t' && c <= '\r';
      if ((lettered ? fprintf(stream, "\\%c", "tnvfr"[c - '\t'])
                    : fprintf(stream, "\\%03o", static_cast<unsigned>(c))) < 0)
        return 1;
      continue;
    }
    if (c == '\n') {
      // A backslash before a newline would read back as a line
      // continuation and lose it; single quotes keep it.
      if (fputc('\'', stream) == EOF || fputc('\n', stream) == EOF || fputc('\'', stream) == EOF)
        return 1;
      continue;
    }
    if ((is_space(c) || c == '"' || c == '\'' || c == '\\') && fputc('\\', stream) == EOF) return 1;
    if (fputc(static_cast<unsigned char>(c), stream) == EOF) return 1;
  }
  return 0;
}

int write_argv_to_file(const char *const *argv, FILE *stream) {
  if (!stream) return 1;
  for (; *argv; ++argv) {
    if (write_argument(*argv, stream) != 0 || fputc('\n', stream) == EOF) return 1;
  }
  return 0;
}
