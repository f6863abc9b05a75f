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
