#pragma once

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "base/status.hpp"
#include "io/file.hpp"
#include "io/filesystem.hpp"

namespace demstitch {

// The files of one result, written where no other run can see or name them and moved into
// place together: all of them replace their predecessors, or none does and the earlier
// files are back as they were. While the set lives it holds the result's lock, so that two
// runs never write one result at once. Whatever was not installed is removed when the set
// goes, and an interrupting signal removes it too (see platform.hpp).
class OutputSet {
 public:
  OutputSet() = default;
  OutputSet(const OutputSet&) = delete;
  OutputSet& operator=(const OutputSet&) = delete;
  ~OutputSet();

  // Takes the result's lock, the file `lock_path`; a lock held by another run fails with
  // kind `busy`, naming `display_name`. Temporary files that a killed run left and noted
  // in the lock file are removed here.
  Status lock(const std::string& lock_path, const std::string& display_name);
  // Fails when one of `final_paths` cannot be replaced by a new file (a folder stands there,
  // or on Windows a read-only file).
  static Status check_replaceable(std::span<const std::string> final_paths);
  // Starts the file that is to replace `final_path`. `*file` belongs to the set; messages
  // name it by its final path.
  Status add(const std::string& final_path, File** file);
  // Makes `path` go in the same step as the files come: when the install succeeds it is gone,
  // when it fails it is still there.
  void remove_on_install(const std::string& path);
  // Moves the files into place and the files to remove away, all or none. Closes the files.
  Status install();

  // Makes the next install fail after moving this many files into place (tests only).
  void fail_install_after(int files) { fail_after_ = files; }

 private:
  struct Entry {
    std::string final_path;
    std::string temporary_path;  // empty while the file has no name
    File file;
    int slot = -1;  // its registration for removal on a signal
    bool unnamed = false;
    bool remove_only = false;  // no new file: the old one goes
  };
  static std::string temporary_name(const std::string& final_path);
  Status create_named(Entry& entry);
  Status give_name(Entry& entry);
  void note_in_lock_file(const std::string& path);
  bool names_a_new_file(const FileId& file) const;
  void remove_noted_leftovers();

  std::vector<std::unique_ptr<Entry>> entries_;
  LockFile lock_;
  int lock_slot_ = -1;
  int fail_after_ = -1;
};

}  // namespace demstitch
