#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "mosaic/extent.hpp"

namespace demstitch {

// The usage text, with the program's own name.
std::string usage_text(std::string_view program);

// One tile's bounds in its own coordinates, then a carriage return and the header's path:
// on a terminal the path overwrites the blanks before the first number.
std::string tile_bounds_line(const TileRect& shifted, double offset_x, double offset_y,
                             const std::string& path);

// The mosaic's corner in the tiles' own coordinates, and the "Final output bounds" lines;
// the size line is left out when the size cannot be represented.
struct MosaicCorner {
  double result_ulx;
  double result_uly;
};
MosaicCorner result_corner(const MosaicBounds& bounds, double offset_x, double offset_y);
std::string final_bounds_text(const MosaicBounds& bounds, double offset_x, double offset_y,
                              const std::optional<MosaicSize>& size);

}  // namespace demstitch
