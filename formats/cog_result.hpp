#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "base/status.hpp"
#include "formats/band_sink.hpp"
#include "formats/cog_layout.hpp"
#include "formats/overview.hpp"
#include "formats/result.hpp"
#include "formats/tile_codec.hpp"
#include "io/file.hpp"
#include "io/output_set.hpp"

namespace demstitch {

// The COG result: one Cloud-Optimized GeoTIFF file, made in two passes over the mosaic so
// that no more than a band of it is ever in memory:
// 1. the overviews: the mosaic is read a few rows at a time and folded into the first
//    overview; each overview keeps one band of 512 rows, cut into tiles and compressed when
//    full, and folded into the next. Their tiles wait in a scratch file.
// 2. the file: its header's place is kept, the overviews' tiles are copied after it
//    (smallest first), then the mosaic is read again, each thread a run of columns 512 rows
//    high that ends where its sources' columns do (so that no source row is read twice),
//    and its tiles are compressed and written in order; last, the header.
// The widest GeoTIFF written: every overview keeps a band of 512 rows across the whole
// width, about 1.2 kB a column in all, and the write stays within 64 MiB.
inline constexpr int32_t cog_max_width = 49152;

// Cuts columns [0, width) into runs for tasks that read them: at the sorted `edges` where
// it can, no run narrower than `least` (unless the width is) or wider than `most` (a wider
// one is cut evenly). Returns the cuts, 0 first and `width` last.
std::vector<int32_t> cut_columns(int32_t width, std::span<const int32_t> edges, int32_t least,
                                 int32_t most);

class CogResult final : public Result {
 public:
  CogResult(const std::string& path, CogOptions options);
  ~CogResult() override;
  CogResult(const CogResult&) = delete;
  CogResult& operator=(const CogResult&) = delete;

  std::span<const ResultFile> files() const override { return files_; }
  const std::string& raster_path() const { return files_[0].path; }
  // What GIS tools keep beside a GeoTIFF: statistics, external overviews and masks.
  std::span<const std::string> side_files() const override { return side_files_; }

  // Wider than cog_max_width is refused.
  Status check_size(RasterSize size) const override;
  // Starts the file and its scratch file in `outputs`, for a raster of the grid's size at
  // its corner.
  Status start(OutputSet& outputs, const ResultGrid& grid) override;
  int readers_wanted() const override { return std::max(1, options_.threads); }
  // Reads the full raster through `readers` (one for each thread to use, the first for this
  // one), makes every level and writes the file.
  Status write_rows(std::span<RowReader* const> readers, const Progress& progress) override;

 private:
  class Level;
  struct Worker;
  class Threads;
  // Keeps an overview tile's encoded bytes (worker.encoded), framed, in the scratch file
  // (from any thread).
  Status store_tile(size_t level, size_t tile, Worker& worker);
  Status make_overviews(Threads& threads, std::span<RowReader* const> readers,
                        const Progress& progress);
  // Copies the overviews' tiles from the scratch file to the file from `at`, in file order.
  Status copy_overviews(int64_t at);
  Status write_full_raster(Threads& threads, std::span<RowReader* const> readers,
                           const Progress& progress, int64_t at);

  std::vector<ResultFile> files_;
  std::vector<std::string> side_files_;
  CogOptions options_;
  CogDescription description_;
  File* file_ = nullptr;
  File* tiles_ = nullptr;              // overview tiles with their frames, as they come
  std::atomic<int64_t> tiles_end_{0};  // its size
  // Where each overview's tiles are in `tiles_`, and every level's encoded tile sizes.
  std::vector<std::vector<int64_t>> tile_at_;
  std::vector<std::vector<uint32_t>> tile_size_;
  std::vector<std::unique_ptr<Worker>> workers_;
};

}  // namespace demstitch
