#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base/status.hpp"

namespace demstitch {

// Where the mosaic's finished bands go: in order from its first byte, one call at a time
// (from whichever writer thread has its turn), unless the sink offers band_memory. The output
// format decides how they land: straight into one raw raster file, or, for a tiled format, gathered
// into tiles.
class BandSink {
 public:
  virtual ~BandSink() = default;
  // Told once, before the first band: how many bytes the mosaic has.
  virtual Status begin(int64_t total_bytes) = 0;
  // The mosaic's bytes [offset, offset + band.size()).
  virtual Status write_band(int64_t offset, std::span<const std::byte> band) = 0;
  // Where bytes [offset, offset + size) of the mosaic land, for a sink that holds the mosaic
  // in memory: the band is then assembled there, and write_band is given that memory to
  // finish it in place. Such a sink takes its bands in any order, from both writer threads
  // at once. Empty (the default): bands are assembled in a buffer and come in order.
  virtual std::span<std::byte> band_memory(int64_t /*offset*/, int64_t /*size*/) { return {}; }
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
  // Rows [row, row + rows) whole, one after another in `out`.
  virtual Status read_rows(int32_t row, int32_t rows, std::span<int16_t> out) = 0;
  // The columns, in order, where a source's samples begin or end in rows [row, row + rows):
  // a reader that keeps to them reads no source row twice. None when it does not matter.
  virtual std::vector<int32_t> source_edges(int32_t /*row*/, int32_t /*rows*/) const { return {}; }
  // Whether reading the raster again decodes some of its sources again.
  virtual bool reading_decodes() const { return false; }
};

}  // namespace demstitch
