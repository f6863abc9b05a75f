#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "io/filesystem.hpp"
#include "io/platform.hpp"
#include "io/posix_support.hpp"

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

std::optional<FileId> target_id(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

FileKind file_kind(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return FileKind::none;
  if (S_ISREG(st.st_mode)) return FileKind::regular;
  return S_ISLNK(st.st_mode) ? FileKind::link : FileKind::other;
}

bool is_folder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

Status list_folder(const std::string& folder, std::vector<std::string>* names) {
  names->clear();
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return Status::from_errno(errno, Side::input, folder);
  errno = 0;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names->push_back(name);
  }
  const int error = errno;
  ::closedir(dir);
  if (error != 0) return Status::from_errno(error, Side::input, folder);
  std::sort(names->begin(), names->end());
  return {};
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

Status create_folders(const std::string& folder) {
  if (folder.empty() || is_folder(folder)) return {};
  const size_t slash = folder.find_last_of('/');
  if (slash != std::string::npos && slash > 0) {
    if (Status s = create_folders(folder.substr(0, slash)); !s.ok()) return s;
  }
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return failed(folder);
  return {};
}

Status remove_file(const std::string& path) {
  if (::unlink(path.c_str()) != 0) return failed(path);
  return {};
}

Status sync_folder(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return failed(folder);
  // Some file systems cannot sync a folder, and say so with EINVAL: nothing more is possible.
  int result = ::fsync(fd) == 0 || errno == EINVAL ? 0 : errno;
  ::close(fd);
  return result == 0 ? Status() : Status::from_errno(result, Side::output, folder);
}

bool create_unnamed(const std::string& folder, const std::string& display_name, File* file) {
#if defined(DEMSTITCH_LINUX_CALLS) && defined(O_TMPFILE)
  // It gets its name through /proc when it is installed, so that must be there.
  int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
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

namespace {

Status write_whole(int fd, std::string_view text, int64_t offset) {
  while (!text.empty()) {
    ssize_t n = ::pwrite(fd, text.data(), text.size(), offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Status::from_errno(n < 0 ? errno : EIO, Side::output, {});
    text.remove_prefix(static_cast<size_t>(n));
    offset += n;
  }
  return {};
}

// Takes the lock on `fd`; false with *error unset where another run holds it.
bool take_lock(int fd, int* error) {
  *error = 0;
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
  if (errno == ENOLCK || errno == EOPNOTSUPP || errno == ENOSYS) return true;  // no locks here
  if (errno != EWOULDBLOCK) *error = errno;
  return false;
}

// Whether `path` names the open file `fd`, without following a link.
bool same_file(int fd, const std::string& path) {
  struct stat held {};
  struct stat named {};
  return ::fstat(fd, &held) == 0 && ::lstat(path.c_str(), &named) == 0 &&
         held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

// Where a file cannot be made without a name, the lock file is made as BASE.DEM.lock.new,
// one name for every run, and then given the lock's name. A run killed meanwhile leaves it:
// the next run finds it unlocked and removes it (empty, or with the mark). Locked, it is
// another run's, at work (*busy).
void remove_left_lock_file(const std::string& temporary, bool* busy) {
  *busy = false;
  int other = ::open(temporary.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (other < 0) return;
  int error = 0;
  if (take_lock(other, &error)) {
    std::string first(LockFile::mark.size(), '\0');
    ssize_t got = ::pread(other, first.data(), first.size(), 0);
    // Removed while held, and only if the name still leads to it.
    if ((got == 0 || first == LockFile::mark) && same_file(other, temporary)) {
      ::unlink(temporary.c_str());
    }
  } else {
    *busy = error == 0;
  }
  ::close(other);
}

int create_named_lock_file(const std::string& path, bool* taken) {
  const std::string temporary = path + ".new";
  for (int attempt = 0; attempt < 100; ++attempt) {
    int fd = ::open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
    remove_left_lock_file(temporary, taken);
    if (*taken) return -1;
  }
  errno = EEXIST;
  return -1;
}

// Makes the lock file whole, mark and all, and locked, before it has its name, so that no
// run ever finds it empty; the name is given only where none stands. *taken when another
// run's file got the name first, or another run is making one.
Status create_lock_file(const std::string& path, int* created, bool* taken) {
  *taken = false;
  int fd = -1;
  std::string temporary;  // where the file cannot be made without a name
#if defined(DEMSTITCH_LINUX_CALLS) && defined(O_TMPFILE)
  fd = ::open(folder_of(path).c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
  if (fd >= 0 && ::access(("/proc/self/fd/" + std::to_string(fd)).c_str(), F_OK) != 0) {
    ::close(fd);
    fd = -1;
  }
#endif
  if (fd < 0) {
    temporary = path + ".new";
    fd = create_named_lock_file(path, taken);
    if (*taken) return {};
    if (fd < 0) return failed(path);
  }
  int error = 0;
  Status s;
  if (!take_lock(fd, &error)) {
    // Taken for a leftover by a run that came just after: it removes the name; try again.
    *taken = error == 0;
    s = *taken ? Status() : Status::from_errno(error, Side::output, path);
  }
  if (s.ok() && !*taken) s = write_whole(fd, LockFile::mark, 0);
  if (s.ok() && !*taken) {
    int linked = temporary.empty()
                     ? ::linkat(AT_FDCWD, ("/proc/self/fd/" + std::to_string(fd)).c_str(), AT_FDCWD,
                                path.c_str(), AT_SYMLINK_FOLLOW)
                     : ::link(temporary.c_str(), path.c_str());
    // Another run's file has the name, or the temporary name had gone to another run's
    // file (only where it has one): try again.
    const bool lost = linked != 0 ? errno == EEXIST || (errno == ENOENT && !temporary.empty())
                                  : !same_file(fd, path);
    if (lost) {
      *taken = true;
    } else if (linked != 0) {
      s = failed(path);
    }
  }
  // The temporary name goes while this run still holds the file: no other run removes it.
  if (!temporary.empty()) ::unlink(temporary.c_str());
  if (!s.ok() || *taken) {
    ::close(fd);
    return s.ok() ? Status() : Status::error(s.kind(), Side::output, path, s.detail());
  }
  *created = fd;
  return {};
}

}  // namespace

namespace {

// "owned by user NAME (uid N)", or by the number alone where the name is not known.
std::string owner_text(uid_t uid) {
  std::string text = "owned by user ";
  struct passwd entry {};
  struct passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
    text += std::string(found->pw_name) + " ";
  }
  return text + "(uid " + std::to_string(uid) + ")";
}

}  // namespace

Status LockFile::acquire(const std::string& path) {
  // The lock file is removed by the run that holds it; a run that opened it just before
  // finds another file, or none, under the name once it has the lock, and tries again.
  for (int attempt = 0; attempt < 100; ++attempt) {
    // Never through a link, and never blocking on a named pipe.
    int fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
      bool taken = false;
      if (Status s = create_lock_file(path, &fd, &taken); !s.ok()) return s;
      if (taken) {
        ::usleep(1000);  // another run is making the lock file
        continue;
      }
      handle_ = fd;
      path_ = path;
      size_ = static_cast<int64_t>(mark.size());
      return {};
    }
    if (fd < 0) return errno == ELOOP ? LockFile::not_a_lock(path, "a link") : failed(path);
    struct stat held_file {};
    if (::fstat(fd, &held_file) != 0 || !S_ISREG(held_file.st_mode)) {
      ::close(fd);
      return LockFile::not_a_lock(path, "not a regular file");
    }
    // In a folder others may write to (/tmp), anyone may plant a lock file with a journal:
    // only this user's own is ever acted on.
    if (held_file.st_uid != ::geteuid()) {
      ::close(fd);
      return Status::error(StatusKind::io_error, Side::output, path,
                           owner_text(held_file.st_uid) +
                               ": another user's lock is never used; nothing written (remove "
                               "it, or choose another name with --output)");
    }
    int error = 0;
    if (!take_lock(fd, &error)) {
      ::close(fd);
      if (error != 0) return Status::from_errno(error, Side::output, path);
      return Status::error(StatusKind::busy, Side::output, path,
                           "another run is writing this result");
    }
    if (!same_file(fd, path)) {
      ::close(fd);
      continue;
    }
    std::string first(mark.size(), '\0');
    if (::pread(fd, first.data(), first.size(), 0) != static_cast<ssize_t>(first.size()) ||
        first != mark) {
      ::close(fd);
      return LockFile::not_a_lock(path, "a file of someone else's");
    }
    // A killed run's file under the name the lock is made by (see create_lock_file).
    bool busy = false;
    if (same_file(fd, path + ".new")) {
      ::unlink((path + ".new").c_str());
    } else {
      remove_left_lock_file(path + ".new", &busy);
    }
    handle_ = fd;
    path_ = path;
    size_ = held_file.st_size;
    return {};
  }
  return Status::error(StatusKind::busy, Side::output, path, "another run is writing this result");
}

std::string LockFile::text() const {
  std::string text;
  char buffer[4096];
  const auto start = static_cast<off_t>(mark.size());
  for (ssize_t n;
       text.size() < (1 << 20) && (n = ::pread(fd_of(handle_), buffer, sizeof buffer,
                                               start + static_cast<off_t>(text.size()))) > 0;) {
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

Status LockFile::append(std::string_view line) {
  if (Status s = write_whole(fd_of(handle_), line, size_); !s.ok()) {
    return Status::error(s.kind(), Side::output, path_, s.detail());
  }
  size_ += static_cast<int64_t>(line.size());
  return {};
}

void LockFile::clear() {
  if (::ftruncate(fd_of(handle_), static_cast<off_t>(mark.size())) == 0) {
    size_ = static_cast<int64_t>(mark.size());
  }
}

Status LockFile::sync() {
  if (::fsync(fd_of(handle_)) != 0) return failed(path_);
  return {};
}

void LockFile::release() {
  if (handle_ == -1) return;
  // Removed while still held, so that no run takes a lock on a file about to go.
  ::unlink(path_.c_str());
  keep();
}

void LockFile::keep() {
  if (handle_ == -1) return;
  ::close(fd_of(handle_));
  handle_ = -1;
}

}  // namespace demstitch
