#include "mosaic/grid.hpp"

#include "base/checked.hpp"

namespace demstitch {

TileRect tile_rect(const TileHeader& header, double ulx, double uly) {
  return TileRect{
      .top = uly,
      .left = ulx,
      .bottom = uly - static_cast<double>(header.nrows) * header.ydim,
      .right = ulx + static_cast<double>(header.ncols) * header.xdim,
  };
}

MosaicBounds fold(const MosaicBounds& bounds, const TileRect& tile) {
  // Written as "keep unless already beyond" so that a NaN side is replaced.
  return MosaicBounds{
      .top = bounds.top > tile.top ? bounds.top : tile.top,
      .left = bounds.left < tile.left ? bounds.left : tile.left,
      .bottom = bounds.bottom < tile.bottom ? bounds.bottom : tile.bottom,
      .right = bounds.right > tile.right ? bounds.right : tile.right,
  };
}

std::optional<int32_t> truncate_to_int32(double value) {
  // Comparisons are false for NaN, so it is refused along with values out of range.
  if (!(value > -2147483649.0 && value < 2147483648.0)) return std::nullopt;
  return static_cast<int32_t>(value);
}

std::optional<MosaicSize> mosaic_size(const MosaicBounds& bounds) {
  auto cols = truncate_to_int32((bounds.right - bounds.left) * samples_per_degree);
  auto rows = truncate_to_int32((bounds.top - bounds.bottom) * samples_per_degree);
  if (!cols || !rows) return std::nullopt;
  return MosaicSize{*cols, *rows};
}

std::optional<int64_t> placement_start(const MosaicBounds& bounds, double ulx, double uly,
                                       int64_t out_row_bytes) {
  auto row = truncate_to_int32((bounds.top - uly) * samples_per_degree);
  auto col = truncate_to_int32((ulx - bounds.left) * samples_per_degree);
  if (!row || !col) return std::nullopt;
  const std::optional<int64_t> row_start = checked_mul(*row, out_row_bytes);
  if (!row_start) return std::nullopt;
  return checked_add(*row_start, int64_t{2} * *col);
}

}  // namespace demstitch
