#pragma once

#include <cstdint>
#include <optional>

#include "formats/tile_header.hpp"
#include "io/source.hpp"
#include "mosaic/plan.hpp"

namespace demstitch {

// Columns in a turn of the earth.
inline constexpr int64_t world_columns = int64_t{360} * static_cast<int64_t>(samples_per_degree);

// A region asked for, in degrees. West above east means the region crosses the antimeridian:
// it runs east from west across 180 to east.
struct GeoWindow {
  double west;
  double south;
  double east;
  double north;
};

// What is wrong with a region asked for, if anything.
enum class WindowProblem {
  none,
  latitude_range,         // a latitude outside -90 to 90
  longitude_range,        // a longitude outside -180 to 180 (east up to west + 360)
  south_not_below_north,  // south at or above north
  west_is_east,           // west and east the same meridian
  empty,                  // west 180 and east -180: one meridian, nothing between
};

// Checks a region and puts it in the form snap_outward takes: an east edge past 180
// (170,-20,190,-10, as GDAL users write a region across 180) is the same meridian a turn
// further west; a whole turn from west (0,-90,360,90) keeps its east edge. Values must be
// finite.
WindowProblem check_window(GeoWindow* window);

// A region on the grid, as cell edges counted from longitude 0 and latitude 0 (longitude or
// latitude times 120). Across the antimeridian `east` lies past 180 degrees.
struct GridWindow {
  int64_t west;
  int64_t south;
  int64_t east;
  int64_t north;
  int64_t cols() const { return east - west; }
  int64_t rows() const { return north - south; }
};

// Snaps a region outward to the grid, as GDAL's aligned target grid (-tap) does it: an edge
// on a cell edge stays, any other moves out to the next one.
GridWindow snap_outward(const GeoWindow& window);

// Where a tile's cells lie on the grid: its upper-left cell edge is the centre of its first
// sample (ULXMAP, ULYMAP) less half a cell, rounded to the nearest grid edge. Nothing when
// the corner is not a number or far off the earth.
struct TileCells {
  int64_t west;
  int64_t north;
  int64_t cols;
  int64_t rows;
};
std::optional<TileCells> tile_cells(const TileHeader& header);

// The part of a tile that falls in the window, as a copy into a mosaic of the window's size,
// with the tile moved `shift` columns east (a whole turn for its second place across the
// antimeridian); nothing when they do not meet.
std::optional<TileCopy> window_copy(const TileCells& tile, int64_t shift, const GridWindow& window,
                                    int64_t total_row_bytes, const Source* source,
                                    int64_t file_size);

}  // namespace demstitch
