#include "io/output_set.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "io/platform.hpp"

namespace demstitch {
namespace {

std::string folder_of(const std::string& path) {
  std::string folder = std::filesystem::path(path).parent_path().string();
  return folder.empty() ? "." : folder;
}

std::string base_name(const std::string& path) {
  return std::filesystem::path(path).filename().string();
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

OutputSet::~OutputSet() {
  for (auto& entry : entries_) {
    entry->file.close();
    if (!entry->temporary_path.empty()) ::unlink(entry->temporary_path.c_str());
    unregister_removal(entry->slot);
  }
  release_lock();
}

Status OutputSet::lock(const std::string& lock_path, const std::string& display_name) {
  SignalsHeld held;
  // The lock file is removed by the run that holds it; a run that opened it just before
  // finds another file, or none, under the name once it has the lock, and tries again.
  for (int attempt = 0; attempt < 100; ++attempt) {
    int fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
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
    if (::fstat(fd, &held_file) == 0 && ::stat(lock_path.c_str(), &named_file) == 0 &&
        same_file(held_file, named_file)) {
      lock_fd_ = fd;
      lock_path_ = lock_path;
      lock_slot_ = register_removal(lock_path);
      remove_noted_leftovers();
      return {};
    }
    ::close(fd);
  }
  return Status::error(StatusKind::busy, Side::output, display_name,
                       "another run is writing this result");
}

void OutputSet::remove_noted_leftovers() {
  // A run that held the lock noted every name it gave a temporary file; one killed before it
  // could remove them left the list, and holding the lock proves that it is gone.
  std::string noted;
  char buffer[4096];
  for (ssize_t n;
       (n = ::pread(lock_fd_, buffer, sizeof buffer, static_cast<off_t>(noted.size()))) > 0;) {
    noted.append(buffer, static_cast<size_t>(n));
    if (noted.size() > (1 << 20)) break;
  }
  const std::string folder = folder_of(lock_path_) + "/";
  const std::string stem = base_name(lock_path_.substr(0, lock_path_.size() - 5)) + ".";
  for (size_t at = 0; at < noted.size();) {
    size_t end = noted.find('\n', at);
    if (end == std::string::npos) break;
    std::string name = noted.substr(at, end - at);
    at = end + 1;
    if (name.starts_with(stem) && name.ends_with(".part") && name.find('/') == std::string::npos) {
      ::unlink((folder + name).c_str());
    }
  }
  if (::ftruncate(lock_fd_, 0) == 0) noted_bytes_ = 0;
}

void OutputSet::note_in_lock_file(const std::string& path) {
  if (lock_fd_ < 0) return;
  std::string line = base_name(path) + "\n";
  if (::pwrite(lock_fd_, line.data(), line.size(), noted_bytes_) ==
      static_cast<ssize_t>(line.size())) {
    noted_bytes_ += static_cast<off_t>(line.size());
  }
}

void OutputSet::release_lock() {
  if (lock_fd_ < 0) return;
  // Removed while still held, so that no run takes a lock on a file about to go.
  ::unlink(lock_path_.c_str());
  unregister_removal(lock_slot_);
  ::close(lock_fd_);
  lock_fd_ = -1;
}

Status OutputSet::check_replaceable(std::span<const std::string> final_paths) {
  for (const std::string& path : final_paths) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      return Status::from_errno(EISDIR, Side::output, path);
    }
  }
  return {};
}

std::string OutputSet::temporary_name(const std::string& final_path) {
  return final_path + "." + random_tag() + ".part";
}

Status OutputSet::add(const std::string& final_path, File** file) {
  auto entry = std::make_unique<Entry>();
  entry->final_path = final_path;
  *file = &entry->file;
  Entry& added = *entries_.emplace_back(std::move(entry));
#ifdef O_TMPFILE
  // A file without a name in the result's folder: if the run is killed, nothing is left.
  // It gets a name through /proc when it is installed, so that must be there.
  int fd = ::open(folder_of(final_path).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (fd >= 0) {
    if (::access(("/proc/self/fd/" + std::to_string(fd)).c_str(), F_OK) == 0) {
      added.file = File::adopt(fd, final_path, Side::output);
      added.unnamed = true;
      return {};
    }
    ::close(fd);
  }
#endif
  return create_named(added);
}

Status OutputSet::create_named(Entry& entry) {
  SignalsHeld held;
  std::string path = temporary_name(entry.final_path);
  note_in_lock_file(path);  // before it exists, so that a killed run's file is found
  Status s = File::create_new(path, entry.final_path, &entry.file);
  if (!s.ok()) return s;
  entry.temporary_path = path;
  entry.slot = register_removal(path);
  return {};
}

Status OutputSet::give_name(Entry& entry) {
  std::string path = temporary_name(entry.final_path);
  note_in_lock_file(path);
  std::string self = "/proc/self/fd/" + std::to_string(entry.file.descriptor());
  if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) != 0) {
    return Status::from_errno(errno, Side::output, entry.final_path);
  }
  entry.temporary_path = path;
  entry.slot = register_removal(path);
  entry.unnamed = false;
  return {};
}

bool OutputSet::names_a_new_file(const struct stat& file) const {
  for (const auto& entry : entries_) {
    struct stat placed {};
    if (!entry->remove_only && ::lstat(entry->final_path.c_str(), &placed) == 0 &&
        same_file(placed, file)) {
      return true;
    }
  }
  return false;
}

void OutputSet::remove_on_install(const std::string& path) {
  auto entry = std::make_unique<Entry>();
  entry->final_path = path;
  entry->remove_only = true;
  entries_.push_back(std::move(entry));
}

Status OutputSet::install() {
  // Signals wait until every file is in place or every earlier file is back.
  SignalsHeld held;
  for (auto& entry : entries_) {
    if (entry->remove_only) continue;
    if (entry->unnamed) {
      if (Status s = give_name(*entry); !s.ok()) return s;
    }
    if (Status s = entry->file.close(); !s.ok()) return s;
  }
  // Each earlier file keeps a second name until all the new ones are in place.
  struct Step {
    Entry* entry;
    std::string backup;
    bool moved_aside = false;  // the backup is the earlier file's only name
    bool placed = false;
  };
  std::vector<Step> steps;
  Status failure;
  for (auto& entry : entries_) {
    Step& step = steps.emplace_back(Step{entry.get(), {}});
    const char* final_path = entry->final_path.c_str();
    struct stat st {};
    if (entry->remove_only) {
      // On a file system that ignores case the name may be one of the new files itself.
      if (::lstat(final_path, &st) != 0 || names_a_new_file(st)) continue;
      step.backup = temporary_name(entry->final_path);
      note_in_lock_file(step.backup);
      if (::rename(final_path, step.backup.c_str()) != 0) {
        failure = Status::from_errno(errno, Side::output, entry->final_path);
        step.backup.clear();
        break;
      }
      step.moved_aside = true;
      continue;
    }
    if (::lstat(final_path, &st) == 0) {
      step.backup = temporary_name(entry->final_path);
      note_in_lock_file(step.backup);
      // A file system without hard links moves the earlier file aside instead.
      if (::link(final_path, step.backup.c_str()) != 0) {
        if (::rename(final_path, step.backup.c_str()) != 0) {
          failure = Status::from_errno(errno, Side::output, entry->final_path);
          step.backup.clear();
          break;
        }
        step.moved_aside = true;
      }
    }
    if (fail_after_ == static_cast<int>(steps.size()) - 1) {
      failure = Status::from_errno(EIO, Side::output, entry->final_path);
      break;
    }
    if (::rename(entry->temporary_path.c_str(), final_path) != 0) {
      failure = Status::from_errno(errno, Side::output, entry->final_path);
      break;
    }
    step.placed = true;
    entry->temporary_path.clear();
  }
  if (!failure.ok()) {
    // Every earlier file goes back under its name; a new file with no predecessor goes.
    for (auto step = steps.rbegin(); step != steps.rend(); ++step) {
      const char* final_path = step->entry->final_path.c_str();
      if (step->placed || step->moved_aside) {
        if (!step->backup.empty()) {
          ::rename(step->backup.c_str(), final_path);
        } else {
          ::unlink(final_path);
        }
      } else if (!step->backup.empty()) {
        ::unlink(step->backup.c_str());  // a second name of the file still in place
      }
    }
    return failure;
  }
  for (const Step& step : steps) {
    if (!step.backup.empty()) ::unlink(step.backup.c_str());
    unregister_removal(step.entry->slot);
    step.entry->slot = -1;
  }
  return {};
}

}  // namespace demstitch
