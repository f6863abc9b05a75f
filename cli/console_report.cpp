#include "cli/console_report.hpp"

#include "base/strings.hpp"
#include "cli/report.hpp"

namespace demstitch {

void ConsoleReport::folder_skipped(const std::string& folder, size_t files) {
  console_.print(format("Skipped %zu %s in %s: not tiles, or results of demstitch\n", files,
                        files == 1 ? "file" : "files", printable(folder).c_str()));
}

void ConsoleReport::tile_read(const TileReport& tile) {
  console_.print(tile_bounds_line(tile.bounds, tile.header_path));
}

void ConsoleReport::header_problem(const TileReport& /*tile*/, const TileProblem& problem) {
  console_.error(problem_text(problem));
}

void ConsoleReport::projection_not_read(const TileReport& /*tile*/, const Status& cause) {
  console_.error("Coordinate system not used: " + cause.message() + "\n");
}

void ConsoleReport::projections_differ(const TileReport& taken, const TileReport& other) {
  console_.error(format("%s and %s describe different coordinate systems: the result takes %s\n",
                        printable(taken.projection_path).c_str(),
                        printable(other.projection_path).c_str(),
                        printable(taken.projection_path).c_str()));
}

void ConsoleReport::mosaic_sized(const MosaicBounds& bounds,
                                 const std::optional<MosaicSize>& size) {
  console_.print(final_bounds_text(bounds, size));
  console_.flush();
}

void ConsoleReport::raster_started(std::span<const TileReport> tiles, int32_t out_rows) {
  std::vector<TileProgress> progress;
  for (const TileReport& tile : tiles) {
    // A tile whose raster was never looked for (it misses the window) has no lines.
    if (!tile.header_read || (tile.raster_path.empty() && tile.problems.empty())) continue;
    TileProgress& report = progress.emplace_back();
    report.path = printable(tile.raster_path);
    report.nrows = window_ ? static_cast<int32_t>(tile.rows_used) : tile.rows;
    // A tile copied in part gets a notice before its lines; one not copied, a message instead.
    // (A doubtful header was told as it was read.)
    for (auto problem = tile.problems.rbegin(); problem != tile.problems.rend(); ++problem) {
      if (problem->kind == ProblemKind::header_doubtful) continue;
      (tile.used ? report.notice : report.error) = problem_text(*problem);
      break;
    }
  }
  script_.emplace(out_rows, std::move(progress), quiet_);
}

void ConsoleReport::bytes_written(int64_t done, int64_t total) {
  // The lines are played out in step with the bytes, all of them once the last is written.
  auto size = script_->size();
  auto lines = static_cast<int64_t>(static_cast<double>(size) * static_cast<double>(done) /
                                    static_cast<double>(total));
  script_->play_until(done == total ? size : lines, console_);
}

}  // namespace demstitch
