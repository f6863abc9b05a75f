#include "io/output_set.hpp"

#include <algorithm>

#include "io/platform.hpp"

namespace demstitch {
namespace {

// The journal is a line a record, fields separated by "/", which no file name holds:
//   part/NAME             a temporary file, noted before it exists
//   install               an install begins; the steps follow, each before it is taken
//   new/FINAL/TEMP        TEMP becomes FINAL, where no file stood
//   old/FINAL/TEMP/COPY   FINAL keeps the second name COPY, then TEMP becomes FINAL
//   gone/FINAL/COPY       FINAL, a stale side file, moves to COPY
//   done                  every new file is in place: only the copies remain to go
std::vector<std::string> fields_of(std::string_view line) {
  std::vector<std::string> fields;
  for (size_t at = 0;;) {
    size_t slash = line.find('/', at);
    fields.emplace_back(line.substr(at, slash - at));
    if (slash == std::string_view::npos) return fields;
    at = slash + 1;
  }
}

bool exists(const std::string& path) { return file_kind(path) != FileKind::none; }

}  // namespace

OutputSet::~OutputSet() {
  for (auto& entry : entries_) {
    entry->file.close();
    if (!entry->temporary_path.empty()) remove_file(entry->temporary_path);
    unregister_removal(entry->slot);
  }
  SignalsHeld held;
  unregister_removal(lock_slot_);
  if (keep_journal_) {
    lock_.keep();
  } else {
    lock_.release();
  }
}

Status OutputSet::lock(const std::string& lock_path, std::span<const std::string> result_files) {
  SignalsHeld held;
  folder_ = folder_of(lock_path) + path_separators[0];
  for (const std::string& path : result_files) {
    if (path.find('\n') != std::string::npos) {
      return Status::error(StatusKind::io_error, Side::output, path,
                           "a result's name cannot hold a line break");
    }
    if (base_name(path) != base_name(lock_path)) result_names_.push_back(base_name(path));
  }
  if (Status s = lock_.acquire(lock_path); !s.ok()) return s;
  lock_slot_ = register_removal(lock_path);
  return settle();
}

bool OutputSet::is_result_file(std::string_view name) const {
  return std::find(result_names_.begin(), result_names_.end(), name) != result_names_.end();
}

bool OutputSet::is_temporary(const std::string& name) const {
  // A temporary name: a result file's, a dot, 16 hexadecimal digits and ".part".
  constexpr std::string_view part = ".part";
  constexpr size_t tag = 16;
  if (name.size() < 1 + tag + part.size() || !name.ends_with(part)) return false;
  const size_t dot = name.size() - part.size() - tag - 1;
  if (name[dot] != '.') return false;
  for (size_t i = dot + 1; i < dot + 1 + tag; ++i) {
    const char c = name[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return is_result_file(std::string_view(name).substr(0, dot));
}

Status OutputSet::settle() {
  // Holding the lock proves that the run which wrote the journal is gone.
  std::vector<std::string> parts;
  std::vector<Step> steps;
  bool installing = false;
  bool done = false;
  const std::string journal = lock_.text();
  for (size_t at = 0; at < journal.size();) {
    size_t end = journal.find('\n', at);
    if (end == std::string::npos) break;  // a record cut short was never acted on
    std::vector<std::string> f = fields_of(std::string_view(journal).substr(at, end - at));
    at = end + 1;
    // A record acts only on the result's own files and a run's temporary names: the first
    // name of new, old and gone is a result file, every other a temporary name.
    const bool ours =
        f.size() == 1 || ((f[0] == "part" || is_result_file(f[1])) &&
                          std::all_of(f.begin() + (f[0] == "part" ? 1 : 2), f.end(),
                                      [&](const std::string& n) { return is_temporary(n); }));
    if (!ours) continue;
    if (f[0] == "install" && f.size() == 1) {
      installing = true;
    } else if (f[0] == "done" && f.size() == 1) {
      done = true;
    } else if (f[0] == "part" && f.size() == 2) {
      parts.push_back(f[1]);
    } else if (f[0] == "new" && f.size() == 3) {
      steps.push_back(Step{Step::place_new, f[1], f[2], {}});
    } else if (f[0] == "old" && f.size() == 4) {
      steps.push_back(Step{Step::replace_old, f[1], f[2], f[3]});
    } else if (f[0] == "gone" && f.size() == 3) {
      steps.push_back(Step{Step::remove_old, f[1], {}, f[2]});
    }
  }
  if (installing && !done && !undo(steps)) {
    // The earlier files may not all be back: nothing is written until they are.
    keep_journal_ = true;
    return Status::error(StatusKind::io_error, Side::output, lock_.path(),
                         "the install of a run that was killed could not be undone; the next "
                         "run tries again");
  }
  std::vector<std::string> left;  // copies and temporary files that would not go
  if (installing) finish(steps, &left);
  for (const std::string& name : parts) {
    if (exists(in_folder(name)) && !remove_file(in_folder(name)).ok()) left.push_back(name);
  }
  keep(left);
  return {};
}

void OutputSet::keep(const std::vector<std::string>& names) {
  // Only names to remove stay in the journal, so that it never mixes with the next install.
  lock_.clear();
  for (const std::string& name : names) note("part/" + name);
  keep_journal_ = !names.empty();
}

Status OutputSet::note(const std::string& record) {
  if (!lock_.held()) return {};
  return lock_.append(record + "\n");
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
  return add_entry(final_path, false, file);
}

Status OutputSet::add_scratch(const std::string& display_name, File** file) {
  return add_entry(display_name, true, file);
}

Status OutputSet::add_entry(const std::string& final_path, bool scratch, File** file) {
  auto entry = std::make_unique<Entry>();
  entry->final_path = final_path;
  entry->scratch = scratch;
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
  // Noted before it exists, so that a killed run's file is found.
  if (Status s = note("part/" + base_name(path)); !s.ok()) return s;
  Status s = File::create_new(path, entry.final_path, &entry.file);
  if (!s.ok()) return s;
  entry.temporary_path = path;
  entry.slot = register_removal(path);
  return {};
}

Status OutputSet::give_name(Entry& entry) {
  std::string path = temporary_name(entry.final_path);
  if (Status s = note("part/" + base_name(path)); !s.ok()) return s;
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

std::vector<OutputSet::Step> OutputSet::plan_install() {
  std::vector<Step> steps;
  // Stale side files go first: a GIS never finds the new raster beside an old side file.
  for (const auto& entry : entries_) {
    if (!entry->remove_only) continue;
    const std::string& path = entry->final_path;
    FileKind kind = file_kind(path);
    if (kind == FileKind::other) kept_.push_back(path);
    // On a file system that ignores case the name may be one of the new files itself.
    std::optional<FileId> id = file_id(path);
    if (kind == FileKind::none || kind == FileKind::other || !id || names_a_new_file(*id)) {
      continue;
    }
    steps.push_back(Step{Step::remove_old, base_name(path), {}, base_name(temporary_name(path))});
  }
  for (const auto& entry : entries_) {
    if (entry->remove_only) continue;
    const std::string& path = entry->final_path;
    if (exists(path)) {
      steps.push_back(Step{Step::replace_old, base_name(path), base_name(entry->temporary_path),
                           base_name(temporary_name(path))});
    } else {
      steps.push_back(Step{Step::place_new, base_name(path), base_name(entry->temporary_path), {}});
    }
  }
  return steps;
}

Status OutputSet::before_step(int* calls) {
  // An interruption waiting now would end the process as soon as the install is over: the
  // install gives way instead.
  if (interruption_pending()) return Status::cancelled();
  if (step_hook_) return step_hook_((*calls)++);
  return {};
}

Status OutputSet::take_step(const Step& step, int* calls) {
  const std::string final_path = in_folder(step.final_name);
  Status s = before_step(calls);
  switch (step.kind) {
    case Step::remove_old:
      return s.ok() ? replace_file(final_path, in_folder(step.backup_name)) : s;
    case Step::replace_old:
      // A file system without hard links moves the earlier file aside instead.
      if (s.ok() && !link_file(final_path, in_folder(step.backup_name)).ok()) {
        s = replace_file(final_path, in_folder(step.backup_name));
      }
      if (s.ok()) s = before_step(calls);
      [[fallthrough]];
    case Step::place_new:
      return s.ok() ? replace_file(in_folder(step.temporary_name), final_path) : s;
  }
  return s;
}

bool OutputSet::undo(const std::vector<Step>& steps) {
  bool undone = true;
  auto check = [&](const Status& s) { undone = undone && s.ok(); };
  for (auto step = steps.rbegin(); step != steps.rend(); ++step) {
    const std::string final_path = in_folder(step->final_name);
    const std::string temporary = in_folder(step->temporary_name);
    const std::string backup = in_folder(step->backup_name);
    if (step->kind == Step::place_new) {
      // No temporary file left means it took the final name.
      check(exists(temporary) ? remove_file(temporary)
                              : (exists(final_path) ? remove_file(final_path) : Status()));
      continue;
    }
    if (exists(backup)) {
      // A second name of the file still in place goes; a file moved aside comes back.
      check(file_id(backup) == file_id(final_path) ? remove_file(backup)
                                                   : replace_file(backup, final_path));
    }
    if (step->kind == Step::replace_old && exists(temporary)) check(remove_file(temporary));
  }
  return undone;
}

void OutputSet::finish(const std::vector<Step>& steps, std::vector<std::string>* left) {
  for (const Step& step : steps) {
    const std::string backup = in_folder(step.backup_name);
    if (step.backup_name.empty() || !exists(backup)) continue;
    Status s = step_hook_ ? step_hook_(-1) : Status();
    if (s.ok()) s = remove_file(backup);
    if (!s.ok()) {
      leftovers_.push_back(s);
      left->push_back(step.backup_name);
    }
  }
}

Status OutputSet::install() {
  // Signals wait until every file is in place or every earlier file is back.
  SignalsHeld held;
  for (auto& entry : entries_) {
    if (!entry->scratch) continue;
    entry->file.close();
    if (!entry->temporary_path.empty()) remove_file(entry->temporary_path);
    unregister_removal(entry->slot);
  }
  std::erase_if(entries_, [](const auto& entry) { return entry->scratch; });
  for (auto& entry : entries_) {
    if (entry->unnamed) {
      if (Status s = give_name(*entry); !s.ok()) return s;
    }
  }
  const std::vector<Step> steps = plan_install();
  // A fresh result needs no sync: a power cut can only lose it, never an earlier one.
  const bool replacing = std::any_of(steps.begin(), steps.end(),
                                     [](const Step& s) { return s.kind != Step::place_new; });
  for (auto& entry : entries_) {
    if (entry->remove_only) continue;
    if (replacing) {
      if (Status s = entry->file.sync(); !s.ok()) return s;
    }
    if (Status s = entry->file.close(); !s.ok()) return s;
  }
  std::string records = "install\n";
  for (const Step& step : steps) {
    switch (step.kind) {
      case Step::place_new:
        records += "new/" + step.final_name + "/" + step.temporary_name + "\n";
        break;
      case Step::replace_old:
        records +=
            "old/" + step.final_name + "/" + step.temporary_name + "/" + step.backup_name + "\n";
        break;
      case Step::remove_old:
        records += "gone/" + step.final_name + "/" + step.backup_name + "\n";
        break;
    }
  }
  // The journal, and the names of the new files, are on the disk before the first step.
  const std::string folder = folder_of(entries_.front()->final_path);
  Status failure = note(records.substr(0, records.size() - 1));
  if (failure.ok() && replacing && lock_.held()) failure = lock_.sync();
  if (failure.ok() && replacing) failure = sync_folder(folder);
  int calls = 0;
  size_t taken = 0;  // steps begun
  while (failure.ok() && taken < steps.size()) failure = take_step(steps[taken++], &calls);
  if (failure.ok()) failure = before_step(&calls);
  if (failure.ok() && replacing) failure = sync_folder(folder);
  if (!failure.ok()) {
    // The step that failed may be half taken: undo looks at what is there.
    keep_journal_ = !undo(std::vector<Step>(steps.begin(), steps.begin() + taken));
    return failure;
  }
  // Until the journal says so, a run after a kill would undo the install: without it, the
  // install fails here and now.
  if (Status s = note("done"); !s.ok()) {
    keep_journal_ = !undo(steps);
    return s;
  }
  // The new result is in place: from here the run ends as a success, whatever comes.
  finish_whatever_interrupts();
  for (auto& entry : entries_) {
    entry->temporary_path.clear();
    unregister_removal(entry->slot);
    entry->slot = -1;
  }
  std::vector<std::string> left;
  finish(steps, &left);
  keep(left);
  return {};
}

}  // namespace demstitch
