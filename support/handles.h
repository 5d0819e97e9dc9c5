// Owning handles for memory, streams and descriptors, so that the point where
// a thing is made also says who releases it. The public API still returns
// malloc blocks and bare descriptors; these live on the caller's side of it.
// Only std::unique_ptr is used: nothing of the C++ run-time library.
//
// Releasing never changes errno: a handle dropped on a failure exit leaves
// the errno of the failure for the caller.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

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
// For streams whose close result nobody needs; close and check by hand where
// it matters (a file that was written).
struct file_closer {
  void operator()(FILE *stream) const { keeping_errno([stream] { fclose(stream); }); }
};

using unique_cstr = std::unique_ptr<char, free_deleter>;
using unique_file = std::unique_ptr<FILE, file_closer>;

// A descriptor closed by Close when the handle goes; every negative number
// stands for none. release() gives the number up.
template <typename Close>
class basic_unique_fd {
 public:
  basic_unique_fd() = default;
  explicit basic_unique_fd(int fd, Close close = {}) : fd_(fd), close_(close) {}
  basic_unique_fd(basic_unique_fd &&other) noexcept : fd_(other.release()), close_(other.close_) {}
  basic_unique_fd &operator=(basic_unique_fd &&other) noexcept {
    reset(other.release());
    close_ = other.close_;
    return *this;
  }
  ~basic_unique_fd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) {
    if (fd_ >= 0) keeping_errno([this] { close_(fd_); });
    fd_ = fd;
  }

 private:
  int fd_ = -1;
  Close close_{};
};

struct fd_closer {
  void operator()(int fd) const { close(fd); }
};
using unique_fd = basic_unique_fd<fd_closer>;
