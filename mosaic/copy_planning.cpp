#include "mosaic/copy_planning.hpp"

#include <algorithm>

namespace demstitch {
namespace {

// The columns a tile is moved east for each of its places in the window: across the
// antimeridian a tile west of 180 may also lie a turn further east.
std::vector<int64_t> shifts(const GridWindow& window) {
  if (window.east > world_columns / 2) return {0, world_columns};
  return {0};
}

}  // namespace

MosaicLayout lay_out(const std::optional<GeoWindow>& window, const MosaicBounds& placed,
                     const Offsets& offsets) {
  MosaicLayout layout;
  if (!window) {
    layout.placed = placed;
    layout.bounds = unshifted(placed, offsets);
    layout.size = mosaic_size(placed);
    return layout;
  }
  const GridWindow grid = snap_outward(*window);
  layout.window = grid;
  layout.bounds = MosaicBounds{static_cast<double>(grid.north) / samples_per_degree,
                               static_cast<double>(grid.west) / samples_per_degree,
                               static_cast<double>(grid.south) / samples_per_degree,
                               static_cast<double>(grid.east) / samples_per_degree};
  layout.size = MosaicSize{static_cast<int32_t>(grid.cols()), static_cast<int32_t>(grid.rows())};
  return layout;
}

bool touches_window(const TileHeader& header, const GridWindow& window) {
  auto cells = tile_cells(header);
  if (!cells) return false;
  for (int64_t shift : shifts(window)) {
    if (window_copy(*cells, shift, window, int64_t{2} * cells->cols, nullptr, 0)) return true;
  }
  return false;
}

MosaicPlan plan_copies(TileInputs& inputs, const MosaicLayout& layout) {
  MosaicPlan plan{layout.size->row_bytes(), layout.size->out_rows, {}};
  for (TileInput& tile : inputs.tiles()) {
    if (!tile.header_read) continue;  // no known place: nothing to copy
    if (layout.window && !touches_window(tile.header, *layout.window)) continue;
    int64_t size = 0;
    if (!inputs.open_raster(tile, &size)) continue;
    const TileHeader& header = tile.header;
    // A raster cut inside a sample leaves that sample no-data, like the rows it lacks,
    // instead of joining half of it to the byte already there.
    const int64_t expected = std::max<int64_t>(0, header.nrows) * header.total_row_bytes;
    const int64_t whole_samples =
        size < expected && size % 2 != 0 && header.total_row_bytes % 2 == 0 ? size - 1 : size;
    if (layout.window) {
      for (int64_t shift : shifts(*layout.window)) {
        auto copy = window_copy(*tile_cells(header), shift, *layout.window, header.total_row_bytes,
                                tile.raster.get(), whole_samples);
        if (copy) tile.copies.push_back(*copy);
      }
    } else if (auto start = placement_start(layout.placed, tile.placed.left, tile.placed.top,
                                            plan.row_bytes)) {
      auto copy = plan_tile_copy(tile.raster.get(), whole_samples, header.total_row_bytes,
                                 header.nrows, *start, plan.row_bytes);
      if (copy) tile.copies.push_back(*copy);
    }
    if (tile.copies.empty()) {
      inputs.problem(tile, ProblemKind::no_place, tile.raster_path);
      continue;
    }
    plan.copies.insert(plan.copies.end(), tile.copies.begin(), tile.copies.end());
    inputs.check_length(tile, size);
  }
  return plan;
}

}  // namespace demstitch
