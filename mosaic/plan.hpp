#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "io/source.hpp"

namespace demstitch {

// The no-data sample -9999, most significant byte first.
inline constexpr std::byte nodata_high{0xD8};
inline constexpr std::byte nodata_low{0xF1};

// The rows of one tile's raster file as copies into the mosaic file: row r is `row_bytes`
// read from byte source_start + r * source_stride of the source (as much of it as the file
// holds) and lands at byte start + r * stride of the mosaic. A whole tile's rows follow
// each other in its file (source_stride is row_bytes); a tile cut to a window reads part
// of each row. Rows are placed by absolute offset without clipping to the mosaic row, so a
// long row spills into the next one; bytes that would land before the start of the file are
// dropped.
struct TileCopy {
  const Source* source = nullptr;  // the tile's raster
  int64_t file_size = 0;           // bytes in the source
  int64_t row_bytes = 0;
  int64_t rows = 0;  // rows that carry data: the tile's rows, cut where the file ends
  int64_t start = 0;
  int64_t stride = 0;  // bytes per mosaic row
  int64_t source_start = 0;
  int64_t source_stride = 0;

  int64_t source_offset(int64_t row) const { return source_start + row * source_stride; }
  int64_t destination(int64_t row) const { return start + row * stride; }
  // Bytes that row `row` reads: a whole row, the rest of the file, or nothing.
  int64_t length(int64_t row) const;
  // One past the last mosaic byte that the copy writes; 0 if it writes nothing.
  int64_t end() const;
};

// Describes one tile's copy; nothing when its offsets are beyond 64-bit arithmetic.
std::optional<TileCopy> plan_tile_copy(const Source* source, int64_t file_size, int64_t row_bytes,
                                       int64_t nrows, int64_t start, int64_t stride);

// The whole raster stage as data: the no-data fill of the mosaic's rows, then the copies in
// command-line order, each overwriting what came before.
struct MosaicPlan {
  int64_t row_bytes = 0;  // bytes per mosaic row
  int64_t rows = 0;
  std::vector<TileCopy> copies;
  int64_t fill_bytes() const { return row_bytes * rows; }
  // The file's final length: the fill, or further where a copy writes past it (a seek past
  // the end leaves zero bytes in between).
  int64_t final_size() const;
};

// Writes the bytes the mosaic holds at [offset, offset + out.size()) before any tile is
// copied: the no-data pattern inside the filled area, zero bytes past it.
void fill_background(const MosaicPlan& plan, int64_t offset, std::span<std::byte> out);

}  // namespace demstitch
