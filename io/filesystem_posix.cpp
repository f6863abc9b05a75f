#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "io/filesystem.hpp"

#if defined(__linux__) && !defined(DEMSTITCH_PORTABLE_POSIX)
#define DEMSTITCH_LINUX_CALLS 1
#endif

namespace demstitch {
namespace {

Status failed(const std::string& path) { return Status::from_errno(errno, Side::output, path); }

int fd_of(intptr_t handle) { return static_cast<int>(handle); }

}  // namespace

const char* const path_separators = "/";

std::optional<FileId> file_id(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
  return FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

Status check_replaceable(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    return Status::from_errno(EISDIR, Side::output, path);
  }
  return {};
}

Status replace_file(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return failed(to);
  return {};
}

Status link_file(const std::string& existing, const std::string& second) {
  if (::link(existing.c_str(), second.c_str()) != 0) return failed(existing);
  return {};
}

Status remove_file(const std::string& path) {
  if (::unlink(path.c_str()) != 0) return failed(path);
  return {};
}

bool create_unnamed(const std::string& folder, const std::string& display_name, File* file) {
#if defined(DEMSTITCH_LINUX_CALLS) && defined(O_TMPFILE)
  // It gets its name through /proc when it is installed, so that must be there.
  int fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  if (::access(("/proc/self/fd/" + std::to_string(fd)).c_str(), F_OK) != 0) {
    ::close(fd);
    return false;
  }
  *file = File::adopt(fd, display_name, Side::output);
  return true;
#else
  (void)folder;
  (void)display_name;
  (void)file;
  return false;
#endif
}

Status name_file(const File& file, const std::string& path) {
  std::string self = "/proc/self/fd/" + std::to_string(file.native_handle());
  if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) != 0) {
    return failed(file.name());
  }
  return {};
}

Status LockFile::acquire(const std::string& path, const std::string& display_name) {
  // The lock file is removed by the run that holds it; a run that opened it just before
  // finds another file, or none, under the name once it has the lock, and tries again.
  for (int attempt = 0; attempt < 100; ++attempt) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return Status::from_errno(errno, Side::output, display_name);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      int err = errno;
      ::close(fd);
      if (err == EWOULDBLOCK) {
        return Status::error(StatusKind::busy, Side::output, display_name,
                             "another run is writing this result");
      }
      if (err == ENOLCK || err == EOPNOTSUPP || err == ENOSYS) return {};  // no locks here
      return Status::from_errno(err, Side::output, display_name);
    }
    struct stat held_file {};
    struct stat named_file {};
    if (::fstat(fd, &held_file) == 0 && ::stat(path.c_str(), &named_file) == 0 &&
        held_file.st_dev == named_file.st_dev && held_file.st_ino == named_file.st_ino) {
      handle_ = fd;
      path_ = path;
      size_ = held_file.st_size;
      return {};
    }
    ::close(fd);
  }
  return Status::error(StatusKind::busy, Side::output, display_name,
                       "another run is writing this result");
}

std::string LockFile::text() const {
  std::string text;
  char buffer[4096];
  for (ssize_t n; text.size() < (1 << 20) && (n = ::pread(fd_of(handle_), buffer, sizeof buffer,
                                                          static_cast<off_t>(text.size()))) > 0;) {
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

void LockFile::append(std::string_view line) {
  if (::pwrite(fd_of(handle_), line.data(), line.size(), size_) ==
      static_cast<ssize_t>(line.size())) {
    size_ += static_cast<int64_t>(line.size());
  }
}

void LockFile::clear() {
  if (::ftruncate(fd_of(handle_), 0) == 0) size_ = 0;
}

void LockFile::release() {
  if (handle_ == -1) return;
  // Removed while still held, so that no run takes a lock on a file about to go.
  ::unlink(path_.c_str());
  ::close(fd_of(handle_));
  handle_ = -1;
}

}  // namespace demstitch
