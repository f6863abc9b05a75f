#pragma once

// Where the mosaic lies and where each tile's rows land in it: the window on the grid or the
// tiles' bounds, and the copies of every raster that reaches the mosaic. Internal to
// stitch().
#include <cstdint>
#include <optional>
#include <vector>

#include "formats/tile_header.hpp"
#include "mosaic/grid.hpp"
#include "mosaic/plan.hpp"
#include "mosaic/tile_inputs.hpp"
#include "mosaic/window.hpp"

namespace demstitch {

// The mosaic's extent: the window asked for, snapped out to the grid, whatever the tiles
// cover; or every tile's bounds.
struct MosaicLayout {
  std::optional<GridWindow> window;
  MosaicBounds placed;  // the tiles' bounds laid out with the offsets, without a window
  MosaicBounds bounds;  // in the tiles' own coordinates
  std::optional<MosaicSize> size;
};

MosaicLayout lay_out(const std::optional<GeoWindow>& window, const MosaicBounds& placed,
                     const Offsets& offsets);

// Whether a tile's cells meet the window.
bool touches_window(const TileHeader& header, const GridWindow& window);

// Opens the raster of every tile that lands in the mosaic and describes its copies; with a
// window, a tile that misses it has only its header read.
MosaicPlan plan_copies(TileInputs& inputs, const MosaicLayout& layout);

}  // namespace demstitch
