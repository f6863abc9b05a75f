#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/status.hpp"
#include "io/file.hpp"

namespace demstitch {

// The file-system steps a result's install is made of, one implementation per platform
// (filesystem_posix.cpp, filesystem_windows.cpp). Paths are UTF-8; failures are the
// output's and name `path` unless said otherwise.

// The characters that separate folders in a path, the usual one first.
extern const char* const path_separators;

// The folder part of a path ("." when there is none) and the name after it.
std::string folder_of(const std::string& path);
std::string base_name(const std::string& path);

// What a name refers to: the device and the file's number on it.
struct FileId {
  uint64_t device = 0;
  uint64_t number = 0;
  bool operator==(const FileId&) const = default;
};

// The file a name refers to, without following a link at its end; nothing when there is none.
std::optional<FileId> file_id(const std::string& path);
// Fails when a new file cannot take the name `path`: a folder stands there (following
// links), or, on Windows, a read-only file, which the system will not replace.
Status check_replaceable(const std::string& path);
// Gives `from` the name `to`, replacing whatever file had it, in one step.
Status replace_file(const std::string& from, const std::string& to);
// Gives an existing file a second name; fails where the file system has no such thing.
Status link_file(const std::string& existing, const std::string& second);
// Removes a name; on Windows a read-only file goes as well.
Status remove_file(const std::string& path);

// Creates a file without a name in `folder`, which a killed run leaves nothing of; false
// where the system cannot make one. name_file() gives it its first name, failing if the name
// is taken.
bool create_unnamed(const std::string& folder, const std::string& display_name, File* file);
Status name_file(const File& file, const std::string& path);

// An exclusive lock on a file that other runs see, held while the object lives; the file also
// keeps a few lines of text (the names of temporary files, for whoever takes it next).
class LockFile {
 public:
  LockFile() = default;
  LockFile(const LockFile&) = delete;
  LockFile& operator=(const LockFile&) = delete;
  ~LockFile() { release(); }

  // Takes the lock on `path`, creating the file; kind `busy` when another holds it, and
  // nothing done (held() false, no error) where the file system has no locks.
  Status acquire(const std::string& path, const std::string& display_name);
  bool held() const { return handle_ != -1; }
  const std::string& path() const { return path_; }
  // The text the file holds (at most a megabyte), and changes to it.
  std::string text() const;
  void append(std::string_view line);
  void clear();
  // Removes the file while still holding it, then lets go.
  void release();

 private:
  intptr_t handle_ = -1;
  std::string path_;
  int64_t size_ = 0;
};

}  // namespace demstitch
