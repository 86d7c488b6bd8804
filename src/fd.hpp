// The one owner of operating-system file descriptors: opened with close-on-exec, read and
// written with interrupted calls retried, closed exactly once. Every path passes through here
// on its way to the operating system: one that holds a NUL byte is refused with
// error::kPathHasNul instead of reaching it cut short.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <utility>

#include <sys/stat.h>
#include <sys/types.h>

#include "error.hpp"

namespace voskel::fd {

class File {
public:
  File() = default;
  explicit File(int fd) : fd_(fd) {}
  File(File &&o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  File &operator=(File &&o) noexcept {
    if (this != &o) {
      reset();
      fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
  }
  File(const File &) = delete;
  File &operator=(const File &) = delete;
  ~File() { reset(); }

  int get() const { return fd_; }
  bool is_open() const { return fd_ >= 0; }
  // Closes now; 0, or the errno of a failed close. A closed File stays closed.
  int close();

private:
  void reset() noexcept;
  int fd_ = -1;
};

// True when the path holds a NUL byte, which a system call would take as its end.
inline bool has_nul(std::string_view path) { return path.find('\0') != std::string_view::npos; }

// open(2) with O_CLOEXEC, retried while interrupted; the errno on failure.
std::expected<File, int> open(const std::string &path, int flags, mode_t mode = 0);
// A readable regular file or other non-directory: a directory fails with EISDIR.
std::expected<File, int> open_for_reading(const std::string &path);
// stat(2), following symbolic links; the errno on failure.
std::expected<struct stat, int> status(const std::string &path);
// mkdir(2); 0 or the errno.
int make_dir(const std::string &path, mode_t mode);
// The size of an open file; the errno on failure.
std::expected<uint64_t, int> size(const File &f);

// read(2) / pread(2) / write(2), retried while interrupted: the count, or -1 with errno set.
ssize_t read_some(const File &f, void *buf, size_t n);
ssize_t pread_some(const File &f, void *buf, size_t n, uint64_t offset);
ssize_t write_some(const File &f, const void *buf, size_t n);

} // namespace voskel::fd
