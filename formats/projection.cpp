#include "formats/projection.hpp"

#include <span>

namespace demstitch {

Status read_projection(const Source& source, std::string* text) {
  Status why;
  if (read_whole(source, int64_t{1} << 20, text, &why)) return {};
  if (why.kind() == StatusKind::corrupt) {
    return Status::error(StatusKind::corrupt, Side::input, source.name(),
                         "too long for a coordinate system");
  }
  return why;
}

}  // namespace demstitch
