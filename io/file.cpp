#include "io/file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

namespace demstitch {

Status Status::from_errno(const std::string& path, int err) {
  return error(path + ": " + std::strerror(err));
}

File::File(File&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
  }
  return *this;
}

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

Status File::open_for_reading(const std::string& path, File* file) {
  // Non-blocking open so that a named pipe cannot stall the run; regular files ignore it.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return Status::from_errno(path, errno);
  File opened(fd, path);
  struct stat st {};
  if (::fstat(fd, &st) != 0) return Status::from_errno(path, errno);
  if (S_ISDIR(st.st_mode)) return Status::from_errno(path, EISDIR);
  if (!S_ISREG(st.st_mode)) return Status::error(path + ": not a regular file");
  if (::fcntl(fd, F_SETFL, O_RDONLY) != 0) return Status::from_errno(path, errno);
  *file = std::move(opened);
  return {};
}

Status File::create_new(const std::string& path, File* file) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return Status::from_errno(path, errno);
  *file = File(fd, path);
  return {};
}

Status File::size(int64_t* bytes) const {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return Status::from_errno(path_, errno);
  *bytes = st.st_size;
  return {};
}

Status File::read_some(std::span<std::byte> buffer, size_t* got) {
  for (;;) {
    ssize_t n = ::read(fd_, buffer.data(), buffer.size());
    if (n >= 0) {
      *got = static_cast<size_t>(n);
      return {};
    }
    if (errno != EINTR) return Status::from_errno(path_, errno);
  }
}

Status File::read_at(int64_t offset, std::span<std::byte> buffer, size_t* got) const {
  iovec piece{buffer.data(), buffer.size()};
  return read_pieces_at(offset, std::span<iovec>(&piece, 1), got);
}

Status File::read_pieces_at(int64_t offset, std::span<iovec> pieces, size_t* got) const {
  *got = 0;
  for (;;) {
    // Skip empty pieces so that a zero-length request is not mistaken for the end of file.
    while (!pieces.empty() && pieces.front().iov_len == 0) pieces = pieces.subspan(1);
    if (pieces.empty()) break;
    int count = static_cast<int>(std::min<size_t>(pieces.size(), IOV_MAX));
    ssize_t n = ::preadv(fd_, pieces.data(), count, offset + static_cast<int64_t>(*got));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Status::from_errno(path_, errno);
    }
    if (n == 0) break;
    *got += static_cast<size_t>(n);
    // Step past the pieces that were filled and into a partly filled one.
    auto left = static_cast<size_t>(n);
    while (!pieces.empty() && left >= pieces.front().iov_len) {
      left -= pieces.front().iov_len;
      pieces = pieces.subspan(1);
    }
    if (left > 0) {
      pieces.front().iov_base = static_cast<std::byte*>(pieces.front().iov_base) + left;
      pieces.front().iov_len -= left;
    }
  }
  return {};
}

Status File::reserve(int64_t bytes) {
  while (bytes > 0 && ::fallocate(fd_, 0, 0, bytes) != 0) {
    if (errno == EINTR) continue;
    if (errno == EOPNOTSUPP || errno == ENOSYS || errno == ENODEV) break;  // writes will tell
    return Status::from_errno(path_, errno);
  }
  return {};
}

Status File::write_all(std::span<const std::byte> bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return Status::from_errno(path_, errno);
    }
    bytes = bytes.subspan(static_cast<size_t>(n));
  }
  return {};
}

Status File::write_at(int64_t offset, std::span<const std::byte> bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::pwrite(fd_, bytes.data(), bytes.size(), offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Status::from_errno(path_, errno);
    }
    offset += n;
    bytes = bytes.subspan(static_cast<size_t>(n));
  }
  return {};
}

Status File::close() {
  int fd = std::exchange(fd_, -1);
  if (fd >= 0 && ::close(fd) != 0) return Status::from_errno(path_, errno);
  return {};
}

Status open_either_case(const std::string& base, const char* lower, const char* upper, File* file,
                        std::string* path) {
  *path = base + lower;
  Status status = File::open_for_reading(*path, file);
  if (status.ok()) return status;
  std::string upper_path = base + upper;
  if (File::open_for_reading(upper_path, file).ok()) {
    *path = upper_path;
    return {};
  }
  return status;
}

}  // namespace demstitch
