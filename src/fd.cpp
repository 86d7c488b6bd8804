#include "fd.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace voskel::fd {

void File::reset() noexcept {
  if (fd_ >= 0)
    ::close(std::exchange(fd_, -1));
}

int File::close() {
  if (fd_ < 0)
    return 0;
  // The descriptor is gone after close(2) whatever it returns: never retry it.
  return ::close(std::exchange(fd_, -1)) == 0 ? 0 : errno;
}

std::expected<File, int> open(const std::string &path, int flags, mode_t mode) {
  if (has_nul(path))
    return std::unexpected(error::kPathHasNul);
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0)
    return std::unexpected(errno);
  return File(fd);
}

std::expected<File, int> open_for_reading(const std::string &path) {
  auto f = open(path, O_RDONLY);
  if (!f)
    return f;
  struct stat st;
  if (::fstat(f->get(), &st) != 0)
    return std::unexpected(errno);
  if (S_ISDIR(st.st_mode))
    return std::unexpected(EISDIR);
  return f;
}

std::expected<struct stat, int> status(const std::string &path) {
  if (has_nul(path))
    return std::unexpected(error::kPathHasNul);
  struct stat st;
  if (::stat(path.c_str(), &st) != 0)
    return std::unexpected(errno);
  return st;
}

int make_dir(const std::string &path, mode_t mode) {
  if (has_nul(path))
    return error::kPathHasNul;
  return ::mkdir(path.c_str(), mode) == 0 ? 0 : errno;
}

std::expected<uint64_t, int> size(const File &f) {
  struct stat st;
  if (::fstat(f.get(), &st) != 0)
    return std::unexpected(errno);
  return static_cast<uint64_t>(st.st_size);
}

ssize_t read_some(const File &f, void *buf, size_t n) {
  ssize_t got;
  do {
    got = ::read(f.get(), buf, n);
  } while (got < 0 && errno == EINTR);
  return got;
}

ssize_t pread_some(const File &f, void *buf, size_t n, uint64_t offset) {
  ssize_t got;
  do {
    got = ::pread(f.get(), buf, n, static_cast<off_t>(offset));
  } while (got < 0 && errno == EINTR);
  return got;
}

ssize_t write_some(const File &f, const void *buf, size_t n) {
  ssize_t put;
  do {
    put = ::write(f.get(), buf, n);
  } while (put < 0 && errno == EINTR);
  return put;
}

} // namespace voskel::fd
