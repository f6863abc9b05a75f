#pragma once

#include <optional>

#include "cli/progress.hpp"
#include "io/console.hpp"
#include "mosaic/stitch.hpp"

namespace demstitch {

// Turns a run's events into the console text: a bounds line per tile, header problems as
// they happen, the final bounds, then the progress lines of the raster stage, with the
// raster problems in their places.
class ConsoleReport final : public StitchObserver {
 public:
  // With a window, a tile's progress counts the rows it has in the window.
  // Quiet, the progress lines are left out (errors and bounds lines stay).
  ConsoleReport(Console& console, bool window, bool quiet = false)
      : console_(console), window_(window), quiet_(quiet) {}

  void folder_skipped(const std::string& folder, size_t files) override;
  void tile_read(const TileReport& tile) override;
  void header_problem(const TileReport& tile, const TileProblem& problem) override;
  void projection_not_read(const TileReport& tile, const Status& cause) override;
  void projections_differ(const TileReport& taken, const TileReport& other) override;
  void mosaic_sized(const MosaicBounds& bounds, const std::optional<MosaicSize>& size) override;
  void raster_started(std::span<const TileReport> tiles, int32_t out_rows) override;
  void bytes_written(int64_t done, int64_t total) override;

 private:
  Console& console_;
  bool window_;
  bool quiet_;
  std::optional<ProgressScript> script_;
};

}  // namespace demstitch
