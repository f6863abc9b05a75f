#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "formats/geo_transform.hpp"

namespace demstitch {

// The text of the result's header: 14 keyword lines, values from column 15, each line ending
// in CR LF as the format has always been written, whatever the platform. The spacing
// written is the fixed one, to fourteen decimals; the corner is the mosaic's, in the tiles'
// own coordinates, to `corner_decimals` (six, as a mosaic's header has always had; a region's
// needs more for GIS tools to put its origin on the grid).
std::string result_header_text(int32_t out_rows, int32_t out_cols, double result_ulx,
                               double result_uly, int corner_decimals = 6);

// Where GDAL puts the cells of the raster that header describes: ULXMAP and ULYMAP are the
// centre of the upper-left cell, so its outer corner lies half the spacing (as written)
// west and north of them, as written.
GeoTransform result_geotransform(double result_ulx, double result_uly, int corner_decimals = 6);

// Whether a header is exactly one that result_header_text() writes, for a mosaic or a region:
// how an earlier result is told from a tile (the dataset's own headers give the spacing and
// the corner with other digits).
bool is_result_header(std::string_view text);

// The decimals of a region's corner: enough that the origin a GIS derives lies on the
// 1/120-degree grid to 1e-9.
inline constexpr int region_corner_decimals = 12;

}  // namespace demstitch
