#include "mosaic/window.hpp"

#include <algorithm>
#include <cmath>

namespace demstitch {

GridWindow snap_outward(const GeoWindow& window) {
  GridWindow grid{
      .west = static_cast<int64_t>(std::floor(window.west / grid_cell)),
      .south = static_cast<int64_t>(std::floor(window.south / grid_cell)),
      .east = static_cast<int64_t>(std::ceil(window.east / grid_cell)),
      .north = static_cast<int64_t>(std::ceil(window.north / grid_cell)),
  };
  if (window.west > window.east) grid.east += world_columns;
  return grid;
}

std::optional<TileCells> tile_cells(const TileHeader& header) {
  const double west = (header.ulx - header.xdim / 2) * samples_per_degree;
  const double north = (header.uly + header.ydim / 2) * samples_per_degree;
  // Ten turns of the earth either way is far enough for any tile that could touch a window.
  constexpr double limit = 10.0 * world_columns;
  if (!(std::fabs(west) < limit && std::fabs(north) < limit)) return std::nullopt;
  if (header.nrows <= 0 || header.ncols <= 0) return std::nullopt;
  return TileCells{std::llround(west), std::llround(north), header.ncols, header.nrows};
}

std::optional<TileCopy> window_copy(const TileCells& tile, int64_t shift, const GridWindow& window,
                                    int64_t total_row_bytes, const Source* source,
                                    int64_t file_size) {
  // A row shorter than its samples holds only the samples that fit.
  const int64_t cols = std::min(tile.cols, total_row_bytes / 2);
  const int64_t tile_west = tile.west + shift;
  const int64_t west = std::max(tile_west, window.west);
  const int64_t east = std::min(tile_west + cols, window.east);
  const int64_t north = std::min(tile.north, window.north);
  const int64_t south = std::max(tile.north - tile.rows, window.south);
  if (west >= east || south >= north) return std::nullopt;

  const int64_t out_row_bytes = 2 * window.cols();
  TileCopy copy;
  copy.source = source;
  copy.file_size = file_size;
  copy.row_bytes = 2 * (east - west);
  copy.source_stride = total_row_bytes;
  copy.source_start = (tile.north - north) * total_row_bytes + 2 * (west - tile_west);
  copy.stride = out_row_bytes;
  copy.start = (window.north - north) * out_row_bytes + 2 * (west - window.west);
  // Rows from the first down to the last that the file still reaches.
  const int64_t present =
      copy.source_start >= file_size
          ? 0
          : (file_size - copy.source_start + total_row_bytes - 1) / total_row_bytes;
  copy.rows = std::min(north - south, present);
  return copy;
}

WindowProblem check_window(GeoWindow* window) {
  GeoWindow& w = *window;
  const bool whole_turn = w.east == w.west + 360;
  if (w.east > 180 && w.east < w.west + 360) w.east -= 360;
  if (w.south < -90 || w.north > 90 || w.north < -90 || w.south > 90) {
    return WindowProblem::latitude_range;
  }
  if (w.west < -180 || w.west > 180 || w.east < -180 || (w.east > 180 && !whole_turn)) {
    return WindowProblem::longitude_range;
  }
  if (w.south >= w.north) return WindowProblem::south_not_below_north;
  if (w.west == w.east) return WindowProblem::west_is_east;
  if (w.west == 180 && w.east == -180) return WindowProblem::empty;
  return WindowProblem::none;
}

}  // namespace demstitch
