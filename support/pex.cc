#include "pex.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "alloc.h"
#include "pex_posix.h"
#include "temp_file.h"

namespace {

constexpr std::string_view temp_suffix = "XXXXXX";

// Closes what a failed launch had made or taken so far: in unless it is the
// parent's 0, out unless 1, errdes unless 2; -1 marks one not made yet.
void close_launch_fds(pex_pipeline *p, int in, int out, int errdes) {
  if (in > 0) p->ops->close_fd(p, in);
  if (out >= 0 && out != 1) p->ops->close_fd(p, out);
  if (errdes >= 0 && errdes != 2) p->ops->close_fd(p, errdes);
}

void consume_next_input_name(pex_pipeline *p) {
  if (p->next_input_name_owned) free(p->next_input_name);
  p->next_input_name_owned = 0;
  p->next_input_name = nullptr;
}

template <typename T>
T *grow(T *array, int count) {
  return static_cast<T *>(checked_realloc(array, static_cast<size_t>(count) * sizeof(T)));
}

bool ends_with_template(const char *base) { return std::string_view(base).ends_with(temp_suffix); }

// Waits for the children not yet waited for, if any; false when a wait failed.
bool collect_pending(pex_pipeline *p, int *err) {
  if (p->waited_count >= p->child_count) return true;
  const char *message = nullptr;
  return pex_collect_statuses(p, 0, &message, err) != 0;
}

// A stream over a descriptor the pipeline is giving up; the descriptor is
// closed when no stream can be made, since nothing refers to it afterwards.
FILE *reader_for(pex_pipeline *p, int fd, int binary) {
  FILE *stream = p->ops->fdopen_read(p, fd, binary);
  if (!stream) {
    int saved = errno;
    p->ops->close_fd(p, fd);
    errno = saved;
  }
  return stream;
}

// Copies count per-child entries into vector; those beyond the children
// are zero.
template <typename T>
void copy_per_child(const pex_pipeline *p, const T *entries, int count, T *vector) {
  if (count > p->child_count) {
    memset(vector + p->child_count, 0, static_cast<size_t>(count - p->child_count) * sizeof(T));
    count = p->child_count;
  }
  if (count > 0) memcpy(vector, entries, static_cast<size_t>(count) * sizeof(T));
}

}  // namespace

pex_pipeline *pex_create_with_ops(int flags, const char *program_name, const char *temp_base,
                                  const pex_backend_ops *ops) {
  auto *p = static_cast<pex_pipeline *>(checked_malloc(sizeof(pex_pipeline)));
  p->flags = flags;
  p->program_name = program_name;
  p->temp_base = temp_base;
  p->next_input = 0;
  p->next_input_name = nullptr;
  p->next_input_name_owned = 0;
  p->stderr_pipe = -1;
  p->child_count = 0;
  p->children = nullptr;
  p->statuses = nullptr;
  p->times = nullptr;
  p->waited_count = 0;
  p->input_stream = nullptr;
  p->output_reader = nullptr;
  p->error_reader = nullptr;
  p->remove_count = 0;
  p->remove_list = nullptr;
  p->ops = ops;
  p->backend_data = nullptr;
  return p;
}

pex_pipeline *pex_create(int flags, const char *program_name, const char *temp_base) {
  return pex_create_with_ops(flags, program_name, temp_base, &posix_spawn_backend);
}

char *pex_make_temp_name(pex_pipeline *p, int flags, const char *name) {
  if (name) {
    if (!(flags & PEX_OUTNAME_IS_SUFFIX)) return const_cast<char *>(name);
    if (p->temp_base) return concat_strings(p->temp_base, name, nullptr);
    return create_temp_file(name);
  }
  if (!p->temp_base) return create_temp_file(nullptr);

  char *name_template = ends_with_template(p->temp_base)
                            ? checked_strdup(p->temp_base)
                            : concat_strings(p->temp_base, temp_suffix.data(), nullptr);
  int fd = mkstemps(name_template, 0);
  if (fd < 0) {
    free(name_template);
    return nullptr;
  }
  close(fd);
  return name_template;
}

int pex_collect_statuses(pex_pipeline *p, int done, const char **message, int *err) {
  if (p->waited_count == p->child_count) return 1;

  int first = p->waited_count;
  int count = p->child_count;
  // Times are passed only for entries grown here: a collection that runs
  // without PEX_KEEP_TIMES must not write past an older, shorter array.
  bool keep_times = (p->flags & PEX_KEEP_TIMES) != 0;
  p->statuses = grow(p->statuses, count);
  memset(p->statuses + first, 0, static_cast<size_t>(count - first) * sizeof(int));
  if (keep_times) {
    p->times = grow(p->times, count);
    memset(p->times + first, 0, static_cast<size_t>(count - first) * sizeof(pex_child_times));
  }

  int result = 1;
  for (int i = first; i < count; ++i) {
    if (p->ops->wait_child(p, p->children[i], &p->statuses[i], keep_times ? &p->times[i] : nullptr,
                           done, message, err) < 0)
      result = 0;
  }
  p->waited_count = count;
  return result;
}

const char *pex_launch_with_env(pex_pipeline *p, int flags, const char *executable,
                                char *const *argv, char *const *env, const char *outname,
                                const char *errname, int *err) {
  const pex_backend_ops *ops = p->ops;

  if (p->input_stream) {
    // fclose releases the stream even when it fails, so it is dropped either way.
    FILE *stream = p->input_stream;
    p->input_stream = nullptr;
    if (fclose(stream) != 0) {
      *err = errno;
      return "closing pipeline input file";
    }
  }

  int in;
  if (!p->next_input_name) {
    in = p->next_input;
    if (in < 0) {
      *err = 0;
      return "pipeline already complete";
    }
  } else {
    // The previous programs wrote the file; it is complete only once they ended.
    const char *message = nullptr;
    if (!pex_collect_statuses(p, 0, &message, err)) return message;
    in = ops->open_for_read(p, p->next_input_name, (flags & PEX_BINARY_IN) != 0);
    if (in < 0) {
      *err = errno;
      return "open temporary file";
    }
    consume_next_input_name(p);
  }

  int out;
  int binary_out = (flags & PEX_BINARY_OUT) != 0;
  int append_out = (flags & PEX_APPEND_OUT) != 0;
  if (flags & PEX_FINAL) {
    p->next_input = -1;
    if (!outname) {
      out = 1;
    } else if (flags & PEX_OUTNAME_IS_SUFFIX) {
      // Without a temporary base the joined name is empty and the open fails.
      char *name = concat_strings(p->temp_base, outname, nullptr);
      out = ops->open_for_write(p, name, binary_out, append_out);
      int saved = errno;
      free(name);
      errno = saved;
    } else {
      out = ops->open_for_write(p, outname, binary_out, append_out);
    }
    if (out < 0) {
      *err = errno;
      close_launch_fds(p, in, -1, -1);
      return "open temporary output file";
    }
  } else if (p->flags & PEX_PIPES) {
    int fds[2];
    if (ops->make_pipe(p, fds, binary_out) < 0) {
      *err = errno;
      // in may be the previous pipe's read end, still held in next_input:
      // once closed here, its number must not be used or closed again.
      if (in > 0 && p->next_input == in) p->next_input = -1;
      close_launch_fds(p, in, -1, -1);
      return "pipe";
    }
    p->next_input = fds[0];
    out = fds[1];
  } else {
    char *name = pex_make_temp_name(p, flags, outname);
    if (!name) {
      *err = 0;
      close_launch_fds(p, in, -1, -1);
      return "could not create temporary file";
    }
    if (p->flags & PEX_KEEP_TEMPS) {
      p->next_input_name = name;
      p->next_input_name_owned = name != outname;
    } else {
      p->remove_list = grow(p->remove_list, p->remove_count + 1);
      p->remove_list[p->remove_count++] = name != outname ? name : checked_strdup(name);
      p->next_input_name = name;
      p->next_input_name_owned = 0;
    }
    out = ops->open_for_write(p, name, binary_out, append_out);
    if (out < 0) {
      *err = errno;
      close_launch_fds(p, in, -1, -1);
      return "open temporary output file";
    }
  }

  int errdes;
  int binary_err = (flags & PEX_BINARY_ERR) != 0;
  if (errname && (flags & PEX_STDERR_TO_PIPE)) {
    *err = 0;
    close_launch_fds(p, in, out, -1);
    return "both ERRNAME and PEX_STDERR_TO_PIPE specified.";
  }
  if (p->stderr_pipe != -1) {
    *err = 0;
    close_launch_fds(p, in, out, -1);
    return "PEX_STDERR_TO_PIPE used in the middle of pipeline";
  }
  if (errname) {
    errdes = ops->open_for_write(p, errname, binary_err, (flags & PEX_APPEND_ERR) != 0);
    if (errdes < 0) {
      *err = errno;
      close_launch_fds(p, in, out, -1);
      return "open error file";
    }
  } else if (flags & PEX_STDERR_TO_PIPE) {
    int fds[2];
    if (ops->make_pipe(p, fds, binary_err) < 0) {
      *err = errno;
      close_launch_fds(p, in, out, -1);
      return "pipe";
    }
    p->stderr_pipe = fds[0];
    errdes = fds[1];
  } else {
    errdes = 2;
  }

  // With pipes, next_input is now the read end meant for the next program.
  int toclose = (p->flags & PEX_PIPES) ? p->next_input : -1;
  const char *message = nullptr;
  pid_t pid =
      ops->spawn_child(p, flags, executable, argv, env, in, out, errdes, toclose, &message, err);
  if (pid < 0) {
    close_launch_fds(p, in, out, errdes);
    return message;
  }
  p->children = grow(p->children, p->child_count + 1);
  p->children[p->child_count++] = pid;
  return nullptr;
}

const char *pex_launch(pex_pipeline *p, int flags, const char *executable, char *const *argv,
                       const char *outname, const char *errname, int *err) {
  return pex_launch_with_env(p, flags, executable, argv, nullptr, outname, errname, err);
}

FILE *pex_open_input_file(pex_pipeline *p, int flags, const char *name) {
  if (p->child_count > 0 || p->next_input > 0 || p->next_input_name) {
    errno = EINVAL;
    return nullptr;
  }
  char *file = pex_make_temp_name(p, flags, name);
  if (!file) return nullptr;
  FILE *stream = fopen(file, (flags & PEX_BINARY_OUT) ? "wb" : "w");
  if (!stream) {
    int saved = errno;
    if (file != name) free(file);
    errno = saved;
    return nullptr;
  }
  p->next_input_name = file;
  p->next_input_name_owned = file != name;
  p->input_stream = stream;
  return stream;
}

FILE *pex_open_input_pipe(pex_pipeline *p, int binary) {
  if (p->child_count > 0 || !(p->flags & PEX_PIPES) || p->next_input > 0 || p->next_input_name) {
    errno = EINVAL;
    return nullptr;
  }
  int b = binary != 0;
  int fds[2];
  if (p->ops->make_pipe(p, fds, b) < 0) return nullptr;
  FILE *stream = p->ops->fdopen_write(p, fds[1], b);
  if (!stream) {
    int saved = errno;
    p->ops->close_fd(p, fds[0]);
    p->ops->close_fd(p, fds[1]);
    errno = saved;
    return nullptr;
  }
  p->next_input = fds[0];
  return stream;
}

FILE *pex_open_output_reader(pex_pipeline *p, int binary) {
  if (p->next_input_name) {
    int err = 0;
    if (!collect_pending(p, &err)) {
      errno = err;
      return nullptr;
    }
    FILE *stream = fopen(p->next_input_name, binary ? "rb" : "r");
    int saved = errno;
    p->output_reader = stream;
    consume_next_input_name(p);
    errno = saved;
    return stream;
  }
  if (p->next_input > 0) {
    int fd = p->next_input;
    p->next_input = -1;
    p->output_reader = reader_for(p, fd, binary);
    return p->output_reader;
  }
  return nullptr;
}

FILE *pex_open_error_reader(pex_pipeline *p, int binary) {
  if (p->stderr_pipe <= 0) return nullptr;
  int fd = p->stderr_pipe;
  p->stderr_pipe = -1;
  p->error_reader = reader_for(p, fd, binary);
  return p->error_reader;
}

int pex_get_status(pex_pipeline *p, int count, int *vector) {
  int err = 0;
  if (!collect_pending(p, &err)) return 0;
  copy_per_child(p, p->statuses, count, vector);
  return 1;
}

int pex_get_child_times(pex_pipeline *p, int count, pex_child_times *vector) {
  int err = 0;
  if (!collect_pending(p, &err)) return 0;
  if (!p->times) return 0;
  copy_per_child(p, p->times, count, vector);
  return 1;
}

void pex_destroy(pex_pipeline *p) {
  if (p->next_input > 0) p->ops->close_fd(p, p->next_input);
  if (p->stderr_pipe > 0) p->ops->close_fd(p, p->stderr_pipe);
  if (p->output_reader) fclose(p->output_reader);
  if (p->error_reader) fclose(p->error_reader);
  // An input file that no launch took is still the pipeline's to close.
  if (p->input_stream) fclose(p->input_stream);

  // Every child not yet waited for is ended and reaped, also those launched
  // after an earlier collection, so that none is left behind as a zombie.
  if (p->waited_count < p->child_count) {
    p->flags &= ~PEX_KEEP_TIMES;
    const char *message = nullptr;
    int err = 0;
    pex_collect_statuses(p, 1, &message, &err);
  }

  if (p->next_input_name_owned) free(p->next_input_name);
  free(p->children);
  free(p->statuses);
  free(p->times);
  for (int i = 0; i < p->remove_count; ++i) {
    remove(p->remove_list[i]);
    free(p->remove_list[i]);
  }
  free(p->remove_list);
  if (p->ops->backend_cleanup) p->ops->backend_cleanup(p);
  free(p);
}

const char *pex_run_single(int flags, const char *executable, char *const *argv,
                           const char *program_name, const char *outname, const char *errname,
                           int *status, int *err) {
  pex_pipeline *p = pex_create(0, program_name, nullptr);
  const char *message = pex_launch(p, flags, executable, argv, outname, errname, err);
  if (!message && !pex_get_status(p, 1, status)) {
    *err = 0;
    message = "pex_get_status failed";
  }
  pex_destroy(p);
  return message;
}
