#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "base/status.hpp"

namespace demstitch {

// Where the mosaic's finished bands go: in order from its first byte, one call at a time
// (from whichever writer thread has its turn). The output format decides how they land:
// straight into one raw raster file, or, for a tiled format, gathered into tiles.
class BandSink {
 public:
  virtual ~BandSink() = default;
  // Told once, before the first band: how many bytes the mosaic has.
  virtual Status begin(int64_t total_bytes) = 0;
  // The mosaic's bytes [offset, offset + band.size()).
  virtual Status write_band(int64_t offset, std::span<const std::byte> band) = 0;
};

}  // namespace demstitch

namespace demstitch {

// Where a tiled format reads a raster from, as it needs it: any part of any row, native
// 16-bit samples. One reader a thread; readers of one raster may read at once.
class RowReader {
 public:
  virtual ~RowReader() = default;
  // Samples [column, column + out.size()) of row `row`.
  virtual Status read(int32_t row, int32_t column, std::span<int16_t> out) = 0;
};

}  // namespace demstitch
