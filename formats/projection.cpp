#include "formats/projection.hpp"

#include <span>

namespace demstitch {

Status read_projection(const Source& source, std::string* text) {
  int64_t size = 0;
  if (Status s = source.size(&size); !s.ok()) return s;
  if (size > (int64_t{1} << 20)) {
    return Status::error(StatusKind::corrupt, Side::input, source.name(),
                         "too long for a coordinate system");
  }
  text->assign(static_cast<size_t>(size), '\0');
  size_t got = 0;
  auto bytes = std::as_writable_bytes(std::span(*text));
  if (Status s = source.read_at(0, std::span(&bytes, 1), &got); !s.ok()) return s;
  text->resize(got);
  return {};
}

}  // namespace demstitch
