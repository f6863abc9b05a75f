#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// The file a name refers to, without following a link at its end; nothing when there is none.
std::optional<FileId> file_id(const std::string& path);
// The file a name leads to, following links; nothing when there is none.
std::optional<FileId> target_id(const std::string& path);

// What stands under a name, without following a link at its end.
enum class FileKind { none, regular, link, other };
FileKind file_kind(const std::string& path);
// Whether `path` leads to a folder (following links).
bool is_folder(const std::string& path);
// The names in a folder (not "." and ".."), sorted by their bytes; failures are the input's.
Status list_folder(const std::string& folder, std::vector<std::string>* names);
// Fails when a new file cannot take the name `path`: a folder stands there (following
// links), or, on Windows, a read-only file, which the system will not replace.
Status check_replaceable(const std::string& path);
// Gives `from` the name `to`, replacing whatever file had it, in one step.
Status replace_file(const std::string& from, const std::string& to);
// Gives an existing file a second name; fails where the file system has no such thing.
Status link_file(const std::string& existing, const std::string& second);
// Makes a folder and the folders above it that are missing (only the last one private to
// the user on POSIX); fine when it is there already.
Status create_folders(const std::string& folder);
// Removes a name; on Windows a read-only file goes as well.
Status remove_file(const std::string& path);
// Makes the names in `folder` durable: a rename in it survives a power cut once this returns.
// Where the system cannot, it does nothing.
Status sync_folder(const std::string& folder);

// Creates a file without a name in `folder`, which a killed run leaves nothing of; false
// where the system cannot make one. name_file() gives it its first name, failing if the name
// is taken.
bool create_unnamed(const std::string& folder, const std::string& display_name, File* file);
Status name_file(const File& file, const std::string& path);

// An exclusive lock on a file that other runs see, held while the object lives. The file
// also keeps a journal of a few lines (the names of temporary files, the steps of an
// install) for whoever takes it next. It always begins with `mark`: a file under the lock's
// name without it is not this program's, and is never written, truncated or removed.
class LockFile {
 public:
  static constexpr std::string_view mark =
      "demstitch lock: a run writing this result holds this file\n";

  LockFile() = default;
  LockFile(const LockFile&) = delete;
  LockFile& operator=(const LockFile&) = delete;
  ~LockFile() { release(); }

  // Takes the lock on `path`, creating the file with its mark; kind `busy` when another run
  // holds it. Never follows a link. Failures name `path`. Where the file system has no
  // locks the file is still taken, as a journal.
  Status acquire(const std::string& path);
  bool held() const { return handle_ != -1; }
  const std::string& path() const { return path_; }
  // The journal (at most a megabyte), and changes to it.
  std::string text() const;
  Status append(std::string_view line);
  void clear();
  // Puts the journal on the disk.
  Status sync();
  // Removes the file while still holding it, then lets go.
  void release();
  // Lets go, leaving the file and its journal for the next run.
  void keep();

 private:
  // The refusal of what stands under the lock's name and is not a lock: `what` it is.
  static Status not_a_lock(const std::string& path, const char* what);

  intptr_t handle_ = -1;
  std::string path_;
  int64_t size_ = 0;
};

}  // namespace demstitch
