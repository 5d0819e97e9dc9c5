// Owning handles for what the support library hands out, so that the point
// where a thing is made also says who releases it. The public API still
// returns malloc blocks and bare descriptors; these live on the caller's side
// of it. Only std::unique_ptr is used: nothing of the C++ run-time library.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "argv.h"
#include "pex.h"

struct free_deleter {
  void operator()(void *block) const { free(block); }
};
struct argv_deleter {
  void operator()(char **argv) const { free_argv(argv); }
};
// For streams whose close result nobody needs; close and check by hand where
// it matters (a file that was written).
struct file_closer {
  void operator()(FILE *stream) const { fclose(stream); }
};
struct pipeline_destroyer {
  void operator()(pex_pipeline *p) const { pex_destroy(p); }
};

// A descriptor in unique_ptr's "pointer" slot: every negative number is null.
struct fd_closer {
  struct pointer {
    int fd = -1;
    pointer() = default;
    pointer(std::nullptr_t) {}
    pointer(int n) : fd(n) {}
    explicit operator bool() const { return fd >= 0; }
    friend bool operator==(pointer a, pointer b) { return a.fd == b.fd || (a.fd < 0 && b.fd < 0); }
    friend bool operator==(pointer a, std::nullptr_t) { return a.fd < 0; }
  };
  void operator()(pointer p) const {
    if (p.fd >= 0) close(p.fd);
  }
};

using unique_cstr = std::unique_ptr<char, free_deleter>;
using unique_argv = std::unique_ptr<char *, argv_deleter>;
using unique_file = std::unique_ptr<FILE, file_closer>;
using unique_pipeline = std::unique_ptr<pex_pipeline, pipeline_destroyer>;
// unique_fd fd{open(...)}; fd.get().fd is the number, fd.release().fd gives it up.
using unique_fd = std::unique_ptr<int, fd_closer>;
