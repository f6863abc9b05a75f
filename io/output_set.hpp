#pragma once

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
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
//
// The lock file keeps a journal: the name of every temporary file before it exists, and
// each step of an install before it is taken. A run killed at any point leaves a journal
// from which the next run that takes the lock finishes or undoes what it left, before it
// does anything else, so that a whole result, the earlier or the new, is always in place.
class OutputSet {
 public:
  OutputSet() = default;
  OutputSet(const OutputSet&) = delete;
  OutputSet& operator=(const OutputSet&) = delete;
  ~OutputSet();

  // Takes the result's lock, the file `lock_path`, and settles what an earlier run left in
  // its journal. A journal's records are acted on only where they name, in the lock's
  // folder, one of `result_files` (the result's files and side files) or a temporary name
  // of one (NAME.<16 hex digits>.part); the lock itself never. A lock held by another run
  // fails with kind `busy`; one that another user owns is never used.
  Status lock(const std::string& lock_path, std::span<const std::string> result_files);
  // Fails when one of `final_paths` cannot be replaced by a new file (a folder stands there,
  // or on Windows a read-only file or a device name).
  static Status check_replaceable(std::span<const std::string> final_paths);
  // Starts the file that is to replace `final_path`. `*file` belongs to the set; messages
  // name it by its final path.
  Status add(const std::string& final_path, File** file);
  // Starts a scratch file beside the result, for reading and writing: it is never installed,
  // and goes when the install starts or the set goes (or a signal comes). Messages name it
  // `display_name`.
  Status add_scratch(const std::string& display_name, File** file);
  // Makes `path` go in the same step as the files come, before any of them: when the install
  // succeeds it is gone, when it fails it is still there. Only a file or a link is removed;
  // anything else stays, and kept() names it.
  void remove_on_install(const std::string& path);
  // Moves the files into place and the files to remove away, all or none, and closes the
  // files. Where an earlier file is replaced, the new files' data and then the folder are
  // put on the disk first, so that a power cut leaves one whole result. An interruption
  // that arrives meanwhile undoes the install (kind `cancelled`).
  Status install();

  // Names remove_on_install() left because they are not files.
  const std::vector<std::string>& kept() const { return kept_; }
  // Copies of earlier files that the install could not remove; the journal keeps them for
  // the next run.
  const std::vector<Status>& leftovers() const { return leftovers_; }

  // Called before each step of an install with the step's number from 0, and with -1 before
  // each copy of an earlier file is removed at the end; a failure it returns fails that step
  // (tests only).
  void set_step_hook(std::function<Status(int step)> hook) { step_hook_ = std::move(hook); }

 private:
  struct Entry {
    std::string final_path;
    std::string temporary_path;  // empty while the file has no name
    File file;
    int slot = -1;  // its registration for removal on a signal
    bool unnamed = false;
    bool remove_only = false;  // no new file: the old one goes
    bool scratch = false;      // never installed
  };
  // One step of an install as the journal holds it; names are in the lock's folder.
  struct Step {
    enum Kind { place_new, replace_old, remove_old } kind = place_new;
    std::string final_name;
    std::string temporary_name;  // the new file's, until it is in place
    std::string backup_name;     // the earlier file's second name, until the install ends
  };

  static std::string temporary_name(const std::string& final_path);
  Status add_entry(const std::string& final_path, bool scratch, File** file);
  Status create_named(Entry& entry);
  Status give_name(Entry& entry);
  Status note(const std::string& record);
  bool names_a_new_file(const FileId& file) const;
  std::vector<Step> plan_install();
  Status take_step(const Step& step, int* calls);
  Status before_step(int* calls);
  // From the journal's records: put every earlier file back and remove the new ones (false
  // when a step failed), or, for an install that was done, remove the earlier files' copies
  // (`left` gets the names that would not go).
  bool undo(const std::vector<Step>& steps);
  void finish(const std::vector<Step>& steps, std::vector<std::string>* left);
  // Finishes or undoes what a killed run left in the journal; fails when an install could
  // not be undone (the journal is then kept, and nothing may be written).
  Status settle();
  // Leaves only `names` in the journal, as files for the next run to remove, and keeps the
  // lock file for it when there are any.
  void keep(const std::vector<std::string>& names);
  std::string in_folder(const std::string& name) const { return folder_ + name; }
  bool is_result_file(std::string_view name) const;
  bool is_temporary(const std::string& name) const;

  std::vector<std::unique_ptr<Entry>> entries_;
  LockFile lock_;
  int lock_slot_ = -1;
  std::string folder_;                     // the lock's folder, with a separator at the end
  std::vector<std::string> result_names_;  // the result's files: every name the journal may touch
  bool keep_journal_ = false;
  std::vector<std::string> kept_;
  std::vector<Status> leftovers_;
  std::function<Status(int)> step_hook_;
};

}  // namespace demstitch
