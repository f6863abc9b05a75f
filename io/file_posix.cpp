#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <utility>

#include "io/file.hpp"
#include "io/posix_support.hpp"

namespace demstitch {
namespace {

int posix_fd(intptr_t handle) { return static_cast<int>(handle); }

// Reads into a batch of pieces at `offset`: one vectored read where the system has it.
ssize_t read_batch(int fd, const iovec* batch, int count, int64_t offset) {
#ifdef DEMSTITCH_LINUX_CALLS
  return ::preadv(fd, batch, count, offset);
#else
  ssize_t total = 0;
  for (int i = 0; i < count; ++i) {
    ssize_t n = ::pread(fd, batch[i].iov_base, batch[i].iov_len, offset + total);
    if (n < 0) return total > 0 ? total : n;
    total += n;
    if (static_cast<size_t>(n) < batch[i].iov_len) break;
  }
  return total;
#endif
}

}  // namespace

void File::release(intptr_t handle) noexcept { ::close(posix_fd(handle)); }

Status File::failure(int code) const {
  // Over a disk quota is as good as a full disk.
  if (code == EDQUOT) return Status::error(StatusKind::no_space, side_, name_, std::strerror(code));
  return Status::from_errno(code, side_, name_);
}

Status File::open_for_reading(const std::string& path, File* file) {
  // Non-blocking open so that a named pipe cannot stall the run; regular files ignore it.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return Status::from_errno(errno, Side::input, path);
  File opened(fd, path, Side::input);
  struct stat st {};
  if (::fstat(fd, &st) != 0) return opened.failure(errno);
  if (S_ISDIR(st.st_mode)) return opened.failure(EISDIR);
  if (!S_ISREG(st.st_mode)) {
    return Status::error(StatusKind::io_error, Side::input, path, "not a regular file");
  }
  if (::fcntl(fd, F_SETFL, O_RDONLY) != 0) return opened.failure(errno);
  *file = std::move(opened);
  return {};
}

Status File::create_new(const std::string& path, const std::string& display_name, File* file) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return Status::from_errno(errno, Side::output, display_name);
  *file = File(fd, display_name, Side::output);
  return {};
}

Status File::size(int64_t* bytes) const {
  struct stat st {};
  if (::fstat(posix_fd(handle_), &st) != 0) return failure(errno);
  *bytes = st.st_size;
  return {};
}

Status File::read_pieces_at(int64_t offset, std::span<const std::span<std::byte>> pieces,
                            size_t* got) const {
  *got = 0;
  size_t into = 0;  // bytes already in pieces.front()
  std::array<iovec, 64> batch{};
  for (;;) {
    // Skip full and empty pieces, so that a zero-length request is not taken for the end.
    while (!pieces.empty() && into >= pieces.front().size()) {
      pieces = pieces.subspan(1);
      into = 0;
    }
    if (pieces.empty()) break;
    size_t count = 0;
    for (size_t i = 0; i < pieces.size() && count < batch.size(); ++i) {
      size_t skip = i == 0 ? into : 0;
      if (pieces[i].size() == skip) continue;
      batch[count++] = iovec{pieces[i].data() + skip, pieces[i].size() - skip};
    }
    ssize_t n = read_batch(posix_fd(handle_), batch.data(), static_cast<int>(count),
                           offset + static_cast<int64_t>(*got));
    if (n < 0) {
      if (errno == EINTR) continue;
      return failure(errno);
    }
    if (n == 0) break;
    *got += static_cast<size_t>(n);
    // Step past the pieces that were filled and into a partly filled one.
    auto left = static_cast<size_t>(n);
    while (left > 0) {
      size_t room = pieces.front().size() - into;
      if (left < room) {
        into += left;
        break;
      }
      left -= room;
      pieces = pieces.subspan(1);
      into = 0;
    }
  }
  return {};
}

Status File::reserve(int64_t bytes) {
#ifdef DEMSTITCH_LINUX_CALLS
  while (bytes > 0 && ::fallocate(posix_fd(handle_), 0, 0, bytes) != 0) {
    if (errno == EINTR) continue;
    if (errno == EOPNOTSUPP || errno == ENOSYS || errno == ENODEV) break;  // writes will tell
    return failure(errno);
  }
#else
  (void)bytes;  // the free-space check has been made; the writes tell the rest
#endif
  return {};
}

Status File::write_all(std::span<const std::byte> bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(posix_fd(handle_), bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return failure(errno);
    }
    bytes = bytes.subspan(static_cast<size_t>(n));
  }
  return {};
}

Status File::write_at(int64_t offset, std::span<const std::byte> bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::pwrite(posix_fd(handle_), bytes.data(), bytes.size(), offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return failure(errno);
    }
    offset += n;
    bytes = bytes.subspan(static_cast<size_t>(n));
  }
  return {};
}

std::optional<FileId> File::id() const {
  struct stat st {};
  if (::fstat(posix_fd(handle_), &st) != 0) return std::nullopt;
  return FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

std::optional<FileVersion> File::version() const {
  struct stat st {};
  if (::fstat(posix_fd(handle_), &st) != 0) return std::nullopt;
  auto ns = [](const timespec& t) { return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec; };
  return FileVersion{st.st_size, ns(st.st_mtim), ns(st.st_ctim)};
}

Status File::sync() {
#if defined(DEMSTITCH_LINUX_CALLS)
  if (::fdatasync(posix_fd(handle_)) != 0) return failure(errno);
#else
  if (::fsync(posix_fd(handle_)) != 0) return failure(errno);
#endif
  return {};
}

Status File::close() {
  auto fd = static_cast<int>(std::exchange(handle_, -1));
  if (fd >= 0 && ::close(fd) != 0) return failure(errno);
  return {};
}

std::optional<int64_t> free_space(const std::string& folder) {
  struct statvfs fs {};
  if (::statvfs(folder.c_str(), &fs) != 0) return std::nullopt;
  return static_cast<int64_t>(fs.f_bavail) * static_cast<int64_t>(fs.f_frsize);
}

}  // namespace demstitch
