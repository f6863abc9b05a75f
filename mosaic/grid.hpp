#pragma once

#include <cstdint>
#include <optional>

#include "formats/tile_header.hpp"

namespace demstitch {

// The rectangle that covers all tiles, in shifted coordinates (header value plus offset).
// It starts as the world turned inside out, so that the first tile inside the world
// replaces all four sides.
struct MosaicBounds {
  double top = -90.0;
  double left = 180.0;
  double bottom = 90.0;
  double right = -180.0;
};

// One tile's rectangle, from its (shifted) corner, size and spacing.
struct TileRect {
  double top;
  double left;
  double bottom;
  double right;
};

// The rectangle of a tile whose corner is (ulx, uly).
TileRect tile_rect(const TileHeader& header, double ulx, double uly);

// The command-line offsets, added to every tile's corner while the mosaic is laid out.
struct Offsets {
  double x = 0.0;
  double y = 0.0;
};

// A rectangle laid out with the offsets, back in the tiles' own coordinates: what is
// printed and written. (Adding and taking off an offset can move the last bit.)
template <typename Rect>
Rect unshifted(const Rect& shifted, const Offsets& offsets) {
  return Rect{shifted.top - offsets.y, shifted.left - offsets.x, shifted.bottom - offsets.y,
              shifted.right - offsets.x};
}

// Widens the bounds by a tile. A side that is not a number is replaced by the tile's.
MosaicBounds fold(const MosaicBounds& bounds, const TileRect& tile);

// The mosaic's size in samples; sizes are truncated toward zero from the bounds.
struct MosaicSize {
  int32_t out_cols;
  int32_t out_rows;
  int64_t row_bytes() const { return int64_t{2} * out_cols; }
  int64_t bytes() const { return row_bytes() * out_rows; }
  bool usable() const { return out_cols > 0 && out_rows > 0; }
};

// Converts by truncation toward zero; nothing when the value is not a number or does not
// fit in 32 bits.
std::optional<int32_t> truncate_to_int32(double value);

// The size for the bounds; nothing when a side is not finite or a size does not fit.
std::optional<MosaicSize> mosaic_size(const MosaicBounds& bounds);

// Byte offset in the mosaic of a tile's first sample, from its shifted corner; nothing when
// the tile has no representable place.
std::optional<int64_t> placement_start(const MosaicBounds& bounds, double ulx, double uly,
                                       int64_t out_row_bytes);

}  // namespace demstitch
