#pragma once

#include <atomic>
#include <optional>

#include "cli/progress.hpp"
#include "io/console.hpp"
#include "mosaic/stitch.hpp"

namespace demstitch {

// Turns a run's events into the console text: a bounds line per tile, header problems as
// they happen, the final bounds, then the progress lines of the raster stage, with the
// raster problems in their places. `interrupt` is the signal that stopped the run, or 0.
class ConsoleReport final : public StitchObserver {
 public:
  ConsoleReport(Console& console, const std::atomic<int>& interrupt)
      : console_(console), interrupt_(interrupt) {}

  void tile_read(const TileInput& tile) override;
  void header_problem(const TileInput& tile, const TileProblem& problem) override;
  void mosaic_sized(const MosaicBounds& bounds, const std::optional<MosaicSize>& size) override;
  void raster_started(std::span<const TileInput> tiles, int32_t out_rows) override;
  void bytes_written(int64_t done, int64_t total) override;
  bool cancelled() override { return interrupt_.load() != 0; }

 private:
  Console& console_;
  const std::atomic<int>& interrupt_;
  std::optional<ProgressScript> script_;
};

}  // namespace demstitch
