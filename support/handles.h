// Owning handles for what the support library hands out, so that the point
// where a thing is made also says who releases it. The public API still
// returns malloc blocks and bare descriptors; these live on the caller's side
// of it. Only std::unique_ptr is used: nothing of the C++ run-time library.
//
// Releasing never changes errno: a handle dropped on a failure exit leaves
// the errno of the failure for the caller.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "argv.h"
#include "pex.h"

// Runs a release with errno kept as it was.
template <typename Release>
void keeping_errno(Release release) {
  int saved = errno;
  release();
  errno = saved;
}

struct free_deleter {
  void operator()(void *block) const { keeping_errno([block] { free(block); }); }
};
struct argv_deleter {
  void operator()(char **argv) const { keeping_errno([argv] { free_argv(argv); }); }
};
// For streams whose close result nobody needs; close and check by hand where
// it matters (a file that was written).
struct file_closer {
  void operator()(FILE *stream) const { keeping_errno([stream] { fclose(stream); }); }
};
struct pipeline_destroyer {
  void operator()(pex_pipeline *p) const { keeping_errno([p] { pex_destroy(p); }); }
};

// A descriptor in unique_ptr's "pointer" slot: every negative number is null.
struct fd_handle {
  int fd = -1;
  fd_handle() = default;
  fd_handle(std::nullptr_t) {}
  fd_handle(int n) : fd(n) {}
  explicit operator bool() const { return fd >= 0; }
  friend bool operator==(fd_handle a, fd_handle b) { return a.fd == b.fd || (a.fd < 0 && b.fd < 0); }
  friend bool operator==(fd_handle a, std::nullptr_t) { return a.fd < 0; }
};
struct fd_closer {
  using pointer = fd_handle;
  void operator()(fd_handle h) const { keeping_errno([h] { close(h.fd); }); }
};
// A descriptor that a pipeline's backend made, closed through that backend.
struct pipeline_fd_closer {
  using pointer = fd_handle;
  pex_pipeline *p = nullptr;
  void operator()(fd_handle h) const { keeping_errno([this, h] { p->ops->close_fd(p, h.fd); }); }
};

using unique_cstr = std::unique_ptr<char, free_deleter>;
using unique_argv = std::unique_ptr<char *, argv_deleter>;
using unique_file = std::unique_ptr<FILE, file_closer>;
using unique_pipeline = std::unique_ptr<pex_pipeline, pipeline_destroyer>;
// unique_fd fd{open(...)}; fd.get().fd is the number, fd.release().fd gives it up.
using unique_fd = std::unique_ptr<int, fd_closer>;
// unique_pipeline_fd fd{n, {p}}: as unique_fd, closed with p's close_fd.
using unique_pipeline_fd = std::unique_ptr<int, pipeline_fd_closer>;
