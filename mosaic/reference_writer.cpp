#include "mosaic/reference_writer.hpp"

#include <algorithm>
#include <vector>

namespace demstitch {

Status write_mosaic_by_patching(File& out, const MosaicPlan& plan) {
  // Each mosaic row is written full of no-data, in pieces so that a very wide mosaic needs
  // no row-sized buffer. Pieces start on even offsets.
  std::vector<std::byte> fill(
      static_cast<size_t>(std::min<int64_t>(plan.row_bytes, io_chunk_bytes)));
  fill_background(plan, 0, fill);
  for (int64_t r = 0; r < plan.rows; ++r) {
    for (int64_t at = 0; at < plan.row_bytes; at += static_cast<int64_t>(fill.size())) {
      auto piece = std::span(fill).first(
          static_cast<size_t>(std::min(plan.row_bytes - at, static_cast<int64_t>(fill.size()))));
      if (Status s = out.write_at(r * plan.row_bytes + at, piece); !s.ok()) return s;
    }
  }
  std::vector<std::byte> data;
  for (const TileCopy& copy : plan.copies) {
    for (int64_t r = 0; r < copy.rows; ++r) {
      data.resize(static_cast<size_t>(copy.length(r)));
      size_t got = 0;
      std::span<std::byte> piece(data);
      if (Status s = copy.source->read_at(copy.source_offset(r), std::span(&piece, 1), &got);
          !s.ok()) {
        return s;
      }
      // Bytes that would land before the start of the file are dropped.
      int64_t destination = copy.destination(r);
      int64_t skip = std::clamp<int64_t>(-destination, 0, static_cast<int64_t>(got));
      std::span<const std::byte> kept =
          std::span(data).first(got).subspan(static_cast<size_t>(skip));
      if (Status s = out.write_at(destination + skip, kept); !s.ok()) return s;
    }
  }
  return {};
}

}  // namespace demstitch
