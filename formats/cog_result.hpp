#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "base/status.hpp"
#include "formats/band_sink.hpp"
#include "formats/cog_layout.hpp"
#include "formats/overview.hpp"
#include "formats/tile_codec.hpp"
#include "io/file.hpp"
#include "io/output_set.hpp"

namespace demstitch {

struct CogOptions {
  Compression compression = Compression::deflate;
  int level = 0;  // the compression's default when 0
  bool overviews = true;
  Resampling resampling = Resampling::average;
  int threads = 2;  // that compress at once
};

// The COG result: one Cloud-Optimized GeoTIFF file. It takes the mosaic's bands (the raw
// raster's bytes, big-endian rows) and keeps only 512 rows of it at a time: each band of
// 512 rows is cut into tiles, compressed on every thread, and folded into the next
// overview. Compressed tiles wait in a scratch file, and each overview's rows in another,
// until every level is done; then the file is written in the order a COG needs (the IFDs,
// the smallest overview's tiles, ..., the full raster's tiles).
class CogResult {
 public:
  CogResult(std::string path, CogOptions options);
  ~CogResult();
  CogResult(const CogResult&) = delete;
  CogResult& operator=(const CogResult&) = delete;

  const std::vector<std::string>& files() const { return files_; }
  const std::string& raster_path() const { return files_[0]; }
  // What GIS tools keep beside a GeoTIFF: statistics, external overviews and masks.
  const std::vector<std::string>& side_files() const { return side_files_; }

  // Starts the file and its scratch files in `outputs`, for a raster of `size` at `geo`.
  Status start(OutputSet& outputs, RasterSize size, const GeoTransform& geo);
  // Takes the mosaic's bands, in order.
  BandSink& raster();
  // Once every band is in: makes the remaining overviews and writes the file.
  Status finish();

  class Level;

 private:
  struct Worker;
  // Keeps a tile's encoded bytes, framed, in the tiles' scratch file (from any thread).
  Status store_tile(size_t level, size_t tile, std::span<const std::byte> encoded);
  Status write_file();

  std::vector<std::string> files_;
  std::vector<std::string> side_files_;
  CogOptions options_;
  CogDescription description_;
  File* file_ = nullptr;
  File* tiles_ = nullptr;              // compressed tiles with their frames, as they come
  std::atomic<int64_t> tiles_end_{0};  // its size
  std::array<File*, 2> rows_{};        // an overview's rows, as they come, and the last's
  // Where each level's tiles are in `tiles_`, and their encoded sizes.
  std::vector<std::vector<int64_t>> tile_at_;
  std::vector<std::vector<uint32_t>> tile_size_;
  std::vector<std::unique_ptr<Worker>> workers_;
  std::unique_ptr<Level> level_;  // the level being made
  std::unique_ptr<BandSink> sink_;
};

}  // namespace demstitch
