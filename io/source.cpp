#include "io/source.hpp"

namespace demstitch {

Status FileOpener::open(const std::string& path, std::unique_ptr<Source>* source) {
  File file;
  if (Status s = File::open_for_reading(path, &file); !s.ok()) return s;
  *source = std::make_unique<FileSource>(std::move(file));
  return {};
}

Status open_either_case(SourceOpener& opener, const std::string& base, const char* lower,
                        const char* upper, std::unique_ptr<Source>* source, std::string* path) {
  *path = base + lower;
  Status status = opener.open(*path, source);
  if (status.ok()) return status;
  std::string upper_path = base + upper;
  if (opener.open(upper_path, source).ok()) {
    *path = upper_path;
    return {};
  }
  return status;
}

}  // namespace demstitch
