#include "io/output_set.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace demstitch {

OutputSet::~OutputSet() {
  for (auto& entry : entries_) {
    entry->file.close();
    if (entry->created) ::unlink(entry->temporary_path.c_str());
  }
}

Status OutputSet::add(const std::string& final_path, File** file) {
  auto entry = std::make_unique<Entry>();
  entry->final_path = final_path;
  entry->temporary_path = final_path + "." + std::to_string(::getpid()) + ".part";
  // A folder under the final name would only make the last step fail: say so now.
  struct stat st {};
  if (::stat(final_path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    return Status::from_errno(EISDIR, Side::output, final_path);
  }
  ::unlink(entry->temporary_path.c_str());  // left by an earlier run of the same process id
  Status s = File::create_new(entry->temporary_path, final_path, &entry->file);
  entry->created = s.ok();
  *file = &entry->file;
  entries_.push_back(std::move(entry));
  return s;
}

Status OutputSet::install() {
  for (auto& entry : entries_) {
    if (::rename(entry->temporary_path.c_str(), entry->final_path.c_str()) != 0) {
      return Status::from_errno(errno, Side::output, entry->final_path);
    }
    entry->created = false;
  }
  return {};
}

}  // namespace demstitch
