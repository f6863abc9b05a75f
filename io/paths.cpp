// What every platform shares: path arithmetic, random names, the lock's refusal.
#include <cstdio>

#include "io/filesystem.hpp"
#include "io/platform.hpp"

namespace demstitch {

std::string folder_of(const std::string& path) {
  size_t slash = path.find_last_of(path_separators);
  if (slash == std::string::npos) return ".";
  return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

std::string base_name(const std::string& path) {
  return path.substr(path.find_last_of(path_separators) + 1);
}

Status LockFile::not_a_lock(const std::string& path, const char* what) {
  return Status::error(StatusKind::io_error, Side::output, path,
                       std::string(what) +
                           ", not a lock file of demstitch: left as it is, and nothing written "
                           "(remove it, or choose another name with --output)");
}

std::string random_tag() {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(random_bits()));
  return text;
}

}  // namespace demstitch
