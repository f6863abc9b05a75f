#include "io/source.hpp"

#include <span>

namespace demstitch {

Status FileOpener::open(const std::string& path, std::unique_ptr<Source>* source) {
  File file;
  if (Status s = File::open_for_reading(path, &file); !s.ok()) return s;
  *source = std::make_unique<FileSource>(std::move(file));
  return {};
}

bool read_whole(const Source& source, int64_t limit, std::string* text, Status* why) {
  int64_t size = 0;
  Status s = source.size(&size);
  if (s.ok() && size > limit) {
    s = Status::error(StatusKind::corrupt, Side::input, source.name(), "too long");
  }
  size_t got = 0;
  if (s.ok()) {
    text->assign(static_cast<size_t>(size), '\0');
    auto bytes = std::as_writable_bytes(std::span(*text));
    s = source.read_at(0, std::span(&bytes, 1), &got);
  }
  if (!s.ok()) {
    if (why != nullptr) *why = s;
    return false;
  }
  text->resize(got);
  return true;
}

Status open_either_case(SourceOpener& opener, const std::string& base, const char* lower,
                        const char* upper, std::unique_ptr<Source>* source, std::string* path) {
  *path = base + lower;
  Status status = opener.open(*path, source);
  if (status.ok()) {
    *path = (*source)->name();  // an archive's member as the archive spells it
    return status;
  }
  std::string upper_path = base + upper;
  Status upper_status = opener.open(upper_path, source);
  // The name that exists but cannot be opened says more than the one that does not exist.
  if (upper_status.ok() ||
      (status.kind() == StatusKind::not_found && upper_status.kind() != StatusKind::not_found)) {
    *path = upper_status.ok() ? (*source)->name() : upper_path;
    return upper_status;
  }
  return status;
}

}  // namespace demstitch
