#include "pex.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "alloc.h"
#include "handles.h"
#include "temp_file.h"

namespace {

constexpr std::string_view temp_suffix = "XXXXXX";

// The descriptors a launch makes or takes for its child. When the launch
// ends, each that is still held is closed through the backend, except the
// parent's own 0, 1 and 2, which the child inherits; release() hands them
// all to the backend once spawn_child has taken them over.
struct launch_descriptors {
  explicit launch_descriptors(pex_pipeline *pipeline) : p(pipeline) {}
  launch_descriptors(const launch_descriptors &) = delete;
  ~launch_descriptors() {
    const int held[3] = {in, out, errdes};
    for (int standard = 0; standard < 3; ++standard)
      if (held[standard] >= 0 && held[standard] != standard) p->ops->close_fd(p, held[standard]);
  }
  void release() { in = out = errdes = -1; }

  pex_pipeline *p;
  int in = -1, out = -1, errdes = -1;
};

// The file the next program reads becomes name, which the pipeline frees
// when consumed if it owns it.
void set_next_input_name(pex_pipeline *p, char *name, bool owned) {
  p->next_input_name = name;
  p->next_input_name_owned = owned;
}

// Takes the pending input name off the pipeline; an owned one is freed.
void consume_next_input_name(pex_pipeline *p) {
  unique_cstr owned{p->next_input_name_owned ? p->next_input_name : nullptr};
  p->next_input_name_owned = 0;
  p->next_input_name = nullptr;
}

template <typename T>
T *grow(T *array, int count) {
  return static_cast<T *>(checked_realloc(array, static_cast<size_t>(count) * sizeof(T)));
}

// Room in the per-child arrays for count children. A child's room is made
// before it starts: once it runs, nothing may end the process before it has
// been waited for.
void reserve_children(pex_pipeline *p, int count) {
  if (count <= p->child_capacity) return;
  p->children = grow(p->children, count);
  p->statuses = grow(p->statuses, count);
  if (p->flags & PEX_KEEP_TIMES) p->times = grow(p->times, count);
  p->child_capacity = count;
}

// pex_destroy removes the file and frees the name.
void add_to_remove_list(pex_pipeline *p, char *name) {
  p->remove_list = grow(p->remove_list, p->remove_count + 1);
  p->remove_list[p->remove_count++] = name;
}

// Compared by hand: string_view::ends_with may abort through the C++ run-time
// library when unoptimised, and the programs do not link that library.
bool ends_with_template(const char *base) {
  size_t length = strlen(base);
  return length >= temp_suffix.size() &&
         memcmp(base + length - temp_suffix.size(), temp_suffix.data(), temp_suffix.size()) == 0;
}

// Waits for the children not yet waited for, if any; false when a wait failed.
bool collect_pending(pex_pipeline *p, int *err) {
  if (p->waited_count >= p->child_count) return true;
  const char *message = nullptr;
  return pex_collect_statuses(p, 0, &message, err) != 0;
}

// Records a reader for pex_destroy to close, its descriptor kept from the
// children launched later, in *field too; passes null through.
FILE *hand_out(pex_pipeline *p, FILE *stream, FILE **field) {
  *field = stream;
  if (stream) {
    keep_from_children(fileno(stream));
    p->readers = grow(p->readers, p->reader_count + 1);
    p->readers[p->reader_count++] = stream;
  }
  return stream;
}

// A reader over a descriptor the pipeline is giving up; the descriptor is
// closed when no stream can be made, since nothing refers to it afterwards.
FILE *reader_for(pex_pipeline *p, int fd, int binary, FILE **field) {
  unique_pipeline_fd owned{fd, {p}};
  FILE *stream = p->ops->fdopen_read(p, fd, binary);
  if (stream) owned.release();
  return hand_out(p, stream, field);
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

// The message of a backend step that failed, with its errno in *err.
const char *failed(const char *step, int *err) {
  *err = errno;
  return step;
}

// Opens the standard output of the child being launched into fds.out.
// Null, or the message of the failed step with *err set.
const char *open_output(pex_pipeline *p, int flags, const char *outname, launch_descriptors &fds,
                        int *err) {
  const pex_backend_ops *ops = p->ops;
  int binary = (flags & PEX_BINARY_OUT) != 0;
  if (!(flags & PEX_FINAL) && (p->flags & PEX_PIPES)) {
    int ends[2];
    if (ops->make_pipe(p, ends, binary) < 0) return failed("pipe", err);
    p->next_input = ends[0];
    fds.out = ends[1];
    return nullptr;
  }
  unique_cstr joined;
  const char *name = outname;
  if (flags & PEX_FINAL) {
    p->next_input = -1;
    if (!outname) {
      fds.out = 1;
      return nullptr;
    }
    // Without a temporary base the joined name is empty and the open fails.
    if (flags & PEX_OUTNAME_IS_SUFFIX) {
      joined.reset(concat_strings(p->temp_base, outname, nullptr));
      name = joined.get();
    }
  } else {
    char *made = pex_make_temp_name(p, flags, outname);
    if (!made) {
      *err = 0;
      return "could not create temporary file";
    }
    bool owned = made != outname;
    // Without PEX_KEEP_TEMPS the removal list owns the name.
    bool kept = (p->flags & PEX_KEEP_TEMPS) != 0;
    if (!kept) add_to_remove_list(p, owned ? made : checked_strdup(made));
    set_next_input_name(p, made, kept && owned);
    name = made;
  }
  fds.out = ops->open_for_write(p, name, binary, (flags & PEX_APPEND_OUT) != 0);
  return fds.out < 0 ? failed("open temporary output file", err) : nullptr;
}

// Opens the standard error of the child being launched into fds.errdes.
// Null, or the message of the failed step with *err set.
const char *open_error(pex_pipeline *p, int flags, const char *errname, launch_descriptors &fds,
                       int *err) {
  int binary = (flags & PEX_BINARY_ERR) != 0;
  if (errname && (flags & PEX_STDERR_TO_PIPE)) {
    *err = 0;
    return "both ERRNAME and PEX_STDERR_TO_PIPE specified.";
  }
  if (p->stderr_pipe != -1) {
    *err = 0;
    return "PEX_STDERR_TO_PIPE used in the middle of pipeline";
  }
  if (errname) {
    fds.errdes = p->ops->open_for_write(p, errname, binary, (flags & PEX_APPEND_ERR) != 0);
    if (fds.errdes < 0) return failed("open error file", err);
  } else if (flags & PEX_STDERR_TO_PIPE) {
    int ends[2];
    if (p->ops->make_pipe(p, ends, binary) < 0) return failed("pipe", err);
    p->stderr_pipe = ends[0];
    fds.errdes = ends[1];
  } else {
    fds.errdes = 2;
  }
  return nullptr;
}

}  // namespace

pex_pipeline *pex_create_with_ops(int flags, const char *program_name, const char *temp_base,
                                  const pex_backend_ops *ops) {
  auto *p = static_cast<pex_pipeline *>(checked_malloc(sizeof(pex_pipeline)));
  // Everything else starts as zero or null.
  *p = pex_pipeline{};
  p->flags = flags;
  p->program_name = program_name;
  p->temp_base = temp_base;
  p->stderr_pipe = -1;
  p->ops = ops;
  // The first child needs no allocation at its launch: a caller can make
  // the pipeline before anything that must not be left behind.
  reserve_children(p, 1);
  return p;
}

char *pex_make_temp_name(pex_pipeline *p, int flags, const char *name) {
  if (name) {
    if (!(flags & PEX_OUTNAME_IS_SUFFIX)) return const_cast<char *>(name);
    if (p->temp_base) return concat_strings(p->temp_base, name, nullptr);
    return create_temp_file(name);
  }
  if (!p->temp_base) return create_temp_file(nullptr);

  unique_cstr name_template{ends_with_template(p->temp_base)
                                ? checked_strdup(p->temp_base)
                                : concat_strings(p->temp_base, temp_suffix.data(), nullptr)};
  int fd = mkstemps(name_template.get(), 0);
  if (fd < 0) return nullptr;
  close(fd);
  return name_template.release();
}

int pex_collect_statuses(pex_pipeline *p, int done, const char **message, int *err) {
  if (p->waited_count == p->child_count) return 1;

  int first = p->waited_count;
  int count = p->child_count;
  // Each launch grew the arrays before its child started, so nothing here
  // allocates. Times are kept only when every launch kept them.
  bool keep_times = (p->flags & PEX_KEEP_TIMES) != 0;
  memset(p->statuses + first, 0, static_cast<size_t>(count - first) * sizeof(int));
  if (keep_times)
    memset(p->times + first, 0, static_cast<size_t>(count - first) * sizeof(pex_child_times));

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
  if (p->input_stream) {
    // fclose releases the stream even when it fails, so it is dropped either way.
    FILE *stream = p->input_stream;
    p->input_stream = nullptr;
    if (fclose(stream) != 0) return failed("closing pipeline input file", err);
  }

  // Every exit from here on closes what fds holds.
  launch_descriptors fds(p);
  if (!p->next_input_name) {
    if (p->next_input < 0) {
      *err = 0;
      return "pipeline already complete";
    }
    fds.in = p->next_input;
    // A pipe's read end is the launch's now: if the launch fails, its number
    // must not be used or closed again.
    if (fds.in > 0) p->next_input = -1;
  } else {
    // The previous programs wrote the file; it is complete only once they ended.
    const char *message = nullptr;
    if (!pex_collect_statuses(p, 0, &message, err)) return message;
    fds.in = p->ops->open_for_read(p, p->next_input_name, (flags & PEX_BINARY_IN) != 0);
    if (fds.in < 0) return failed("open temporary file", err);
    consume_next_input_name(p);
  }

  if (const char *failed = open_output(p, flags, outname, fds, err)) return failed;
  if (const char *failed = open_error(p, flags, errname, fds, err)) return failed;

  // With pipes, next_input is now the read end meant for the next program.
  int toclose = (p->flags & PEX_PIPES) ? p->next_input : -1;
  reserve_children(p, p->child_count + 1);
  const char *message = nullptr;
  pid_t pid = p->ops->spawn_child(p, flags, executable, argv, env, fds.in, fds.out, fds.errdes,
                                  toclose, &message, err);
  // A started child took the descriptors; so did one whose parent-side
  // close failed, since the backend closed them all itself.
  if (pid >= 0 || pid == PEX_SPAWN_FDS_CLOSED) fds.release();
  if (pid < 0) return message;
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
  // A new temporary file is known to nobody else: it goes on the removal
  // list at once, so that the file goes even if it cannot be opened. Other
  // names the pipeline made are its to free; the caller's is used as it is.
  bool anonymous = !name || !p->temp_base;
  unique_cstr owned;
  if (file != name) {
    if ((p->flags & PEX_KEEP_TEMPS) || !anonymous)
      owned.reset(file);
    else
      add_to_remove_list(p, file);
  }
  FILE *stream = fopen(file, (flags & PEX_BINARY_OUT) ? "wb" : "w");
  if (!stream) return nullptr;
  set_next_input_name(p, file, owned.release() != nullptr);
  p->input_stream = stream;
  return stream;
}

FILE *pex_open_input_pipe(pex_pipeline *p, int binary) {
  if (p->child_count > 0 || !(p->flags & PEX_PIPES) || p->next_input > 0 || p->next_input_name) {
    errno = EINVAL;
    return nullptr;
  }
  int b = binary != 0;
  int ends[2];
  if (p->ops->make_pipe(p, ends, b) < 0) return nullptr;
  // Declared in this order, the read end is closed first when no stream
  // can be made.
  unique_pipeline_fd write_end{ends[1], {p}};
  unique_pipeline_fd read_end{ends[0], {p}};
  FILE *stream = p->ops->fdopen_write(p, ends[1], b);
  if (!stream) return nullptr;
  write_end.release();
  p->next_input = read_end.release();
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
    // Consumed even when it cannot be opened; fopen's errno stays.
    consume_next_input_name(p);
    return hand_out(p, stream, &p->output_reader);
  }
  if (p->next_input > 0) {
    int fd = p->next_input;
    p->next_input = -1;
    return reader_for(p, fd, binary, &p->output_reader);
  }
  return nullptr;
}

FILE *pex_open_error_reader(pex_pipeline *p, int binary) {
  if (p->stderr_pipe <= 0) return nullptr;
  int fd = p->stderr_pipe;
  p->stderr_pipe = -1;
  return reader_for(p, fd, binary, &p->error_reader);
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
  // Times exist once a collection that keeps them has waited for a child.
  if (!(p->flags & PEX_KEEP_TIMES) || p->waited_count == 0) return 0;
  copy_per_child(p, p->times, count, vector);
  return 1;
}

void pex_destroy(pex_pipeline *p) {
  if (p->next_input > 0) p->ops->close_fd(p, p->next_input);
  if (p->stderr_pipe > 0) p->ops->close_fd(p, p->stderr_pipe);
  for (int i = 0; i < p->reader_count; ++i) fclose(p->readers[i]);
  free(p->readers);
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

  consume_next_input_name(p);
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

const char *pex_run_in(pex_pipeline *p, int flags, const char *executable, char *const *argv,
                       const char *outname, const char *errname, int *status, int *err) {
  const char *message = pex_launch(p, flags, executable, argv, outname, errname, err);
  if (!message && !pex_get_status(p, 1, status)) {
    *err = 0;
    message = "pex_get_status failed";
  }
  return message;
}

bool keep_from_children(int fd) {
  if (fd <= 2) return true;
  int flags = fcntl(fd, F_GETFD);
  return flags >= 0 && fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == 0;
}
