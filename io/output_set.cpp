#include "io/output_set.hpp"

#include "io/platform.hpp"

namespace demstitch {
namespace {

Status injected_failure(const std::string& path) {
  return Status::error(StatusKind::io_error, Side::output, path, "Input/output error");
}

}  // namespace

OutputSet::~OutputSet() {
  for (auto& entry : entries_) {
    entry->file.close();
    if (!entry->temporary_path.empty()) remove_file(entry->temporary_path);
    unregister_removal(entry->slot);
  }
  SignalsHeld held;
  lock_.release();
  unregister_removal(lock_slot_);
}

Status OutputSet::lock(const std::string& lock_path, const std::string& display_name) {
  SignalsHeld held;
  if (Status s = lock_.acquire(lock_path, display_name); !s.ok()) return s;
  if (lock_.held()) {
    lock_slot_ = register_removal(lock_path);
    remove_noted_leftovers();
  }
  return {};
}

void OutputSet::remove_noted_leftovers() {
  // A run that held the lock noted every name it gave a temporary file; one killed before it
  // could remove them left the list, and holding the lock proves that it is gone.
  const std::string noted = lock_.text();
  const std::string folder = folder_of(lock_.path()) + path_separators[0];
  const std::string& lock_path = lock_.path();
  const std::string stem = base_name(lock_path.substr(0, lock_path.size() - 5)) + ".";
  for (size_t at = 0; at < noted.size();) {
    size_t end = noted.find('\n', at);
    if (end == std::string::npos) break;
    std::string name = noted.substr(at, end - at);
    at = end + 1;
    if (name.starts_with(stem) && name.ends_with(".part") &&
        name.find_first_of("/\\") == std::string::npos) {
      remove_file(folder + name);
    }
  }
  lock_.clear();
}

void OutputSet::note_in_lock_file(const std::string& path) {
  if (lock_.held()) lock_.append(base_name(path) + "\n");
}

Status OutputSet::check_replaceable(std::span<const std::string> final_paths) {
  for (const std::string& path : final_paths) {
    if (Status s = demstitch::check_replaceable(path); !s.ok()) return s;
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
  // A file without a name in the result's folder: if the run is killed, nothing is left.
  if (create_unnamed(folder_of(final_path), final_path, &added.file)) {
    added.unnamed = true;
    return {};
  }
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
  if (Status s = name_file(entry.file, path); !s.ok()) return s;
  entry.temporary_path = path;
  entry.slot = register_removal(path);
  entry.unnamed = false;
  return {};
}

bool OutputSet::names_a_new_file(const FileId& file) const {
  for (const auto& entry : entries_) {
    if (!entry->remove_only && file_id(entry->final_path) == file) return true;
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
    const std::string& final_path = entry->final_path;
    std::optional<FileId> earlier = file_id(final_path);
    if (entry->remove_only) {
      // On a file system that ignores case the name may be one of the new files itself.
      if (!earlier || names_a_new_file(*earlier)) continue;
      step.backup = temporary_name(final_path);
      note_in_lock_file(step.backup);
      if (failure = replace_file(final_path, step.backup); !failure.ok()) {
        step.backup.clear();
        break;
      }
      step.moved_aside = true;
      continue;
    }
    if (earlier) {
      step.backup = temporary_name(final_path);
      note_in_lock_file(step.backup);
      // A file system without hard links moves the earlier file aside instead.
      if (!link_file(final_path, step.backup).ok()) {
        if (failure = replace_file(final_path, step.backup); !failure.ok()) {
          step.backup.clear();
          break;
        }
        step.moved_aside = true;
      }
    }
    if (fail_after_ == static_cast<int>(steps.size()) - 1) {
      failure = injected_failure(final_path);
      break;
    }
    if (failure = replace_file(entry->temporary_path, final_path); !failure.ok()) break;
    step.placed = true;
    entry->temporary_path.clear();
  }
  if (!failure.ok()) {
    // Every earlier file goes back under its name; a new file with no predecessor goes.
    for (auto step = steps.rbegin(); step != steps.rend(); ++step) {
      const std::string& final_path = step->entry->final_path;
      if (step->placed || step->moved_aside) {
        if (!step->backup.empty()) {
          replace_file(step->backup, final_path);
        } else {
          remove_file(final_path);
        }
      } else if (!step->backup.empty()) {
        remove_file(step->backup);  // a second name of the file still in place
      }
    }
    return failure;
  }
  for (const Step& step : steps) {
    if (!step.backup.empty()) remove_file(step.backup);
    unregister_removal(step.entry->slot);
    step.entry->slot = -1;
  }
  return {};
}

}  // namespace demstitch
