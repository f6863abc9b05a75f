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

// The COG result: one Cloud-Optimized GeoTIFF file, made with no more than a band of each
// level in memory. Where reading the mosaic again would decode its sources again (tiles in
// archives) and the first two overviews halve it exactly (sides a multiple of 4, as the
// world's are), the mosaic is read once:
// - each thread reads a run of columns 1024 rows high, a band of 512 rows at a time; a run
//   ends where its sources' columns do, so that no source row is read twice. It compresses
//   the run's tiles, halves the run into the first overview's 512 rows and compresses
//   those tiles (a tile that runs share is put together from their parts), and halves them
//   again straight into the second overview;
// - from the second overview on, each overview keeps one band of 512 rows across its width,
//   cut into tiles and compressed when full, and folded into the next;
// - every tile waits in a scratch file; then the header's place is kept, the tiles are
//   copied after it (smallest level first), and last the header is written.
// Otherwise the mosaic is read twice, which from files costs less than copying the full
// raster's tiles: first a few rows at a time for the overviews (every overview from the
// first keeps a band), then in runs whose tiles are written in order.
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
  // The pyramid's levels from `first` on (none before it), each to fold its bands into the
  // next.
  std::vector<std::unique_ptr<Level>> chain(Threads& threads, size_t first);
  // Fails unless every level there is has all its rows.
  Status complete(const std::vector<std::unique_ptr<Level>>& pyramid) const;
  Status make_overviews(Threads& threads, std::span<RowReader* const> readers,
                        const Progress& progress);
  // Copies the tiles of the levels from the last to `last_level` from the scratch file to
  // the file from `at`, in file order.
  Status copy_tiles(Threads& threads, int64_t at, size_t last_level);
  Status write_full_raster(Threads& threads, std::span<RowReader* const> readers,
                           const Progress& progress, int64_t at);
  // Reads the full raster once, band by band: its tiles go to the scratch file and its
  // halving straight into the first overview, which makes the rest.
  Status read_once(Threads& threads, std::span<RowReader* const> readers, const Progress& progress);
  // Encodes a tile of `level` and keeps it in the scratch file.
  Status store_encoded(Worker& worker, size_t level, const int16_t* first, size_t stride,
                       int32_t rows, int32_t width, int64_t sequence);
  // Encodes a tile into worker.encoded (see Worker::encode); a failure is the file's.
  Status encode_tile(Worker& worker, const int16_t* first, size_t stride, int32_t rows,
                     int32_t width) const;

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
