#include "mosaic/window.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace demstitch {
namespace {

TEST(Window, SnapsOutwardToTheGridAndStaysOnItsEdges) {
  // On cell edges: nothing moves (-179.5 is -21540 cells, 47.25 is 5670).
  GridWindow on = snap_outward({-179.5, -10, 17, 47.25});
  EXPECT_EQ(on.west, -21540);
  EXPECT_EQ(on.south, -1200);
  EXPECT_EQ(on.east, 2040);
  EXPECT_EQ(on.north, 5670);
  // A hair outside an edge takes in the next cell; a hair inside does not.
  GridWindow out = snap_outward({5 - 1e-9, 43 - 1e-9, 17 + 1e-9, 48 + 1e-9});
  EXPECT_EQ(out.west, 599);
  EXPECT_EQ(out.south, 5159);
  EXPECT_EQ(out.east, 2041);
  EXPECT_EQ(out.north, 5761);
  GridWindow in = snap_outward({5 + 1e-9, 43 + 1e-9, 17 - 1e-9, 48 - 1e-9});
  EXPECT_EQ(in.cols(), 12 * 120);
  EXPECT_EQ(in.rows(), 5 * 120);
  // Decimal degrees that are no cell edge: 0.1 degree is 12 cells, 0.123 lies in the 15th.
  EXPECT_EQ(snap_outward({0.1, -0.123, 0.123, 0.1}).west, 12);
  EXPECT_EQ(snap_outward({0.1, -0.123, 0.123, 0.1}).south, -15);
  EXPECT_EQ(snap_outward({0.1, -0.123, 0.123, 0.1}).east, 15);
}

TEST(Window, AcrossTheAntimeridianTheEastEdgeLiesPast180) {
  GridWindow fiji = snap_outward({170, -20, -170, -10});
  EXPECT_EQ(fiji.west, 170 * 120);
  EXPECT_EQ(fiji.east, 190 * 120);
  EXPECT_EQ(fiji.cols(), 20 * 120);
}

TEST(Window, TileCellsStartHalfACellBeforeTheFirstSampleCentre) {
  TileHeader header;
  header.ulx = static_cast<float>(-179.995833333333);  // as read, in single precision
  header.uly = static_cast<float>(89.9958333333333);
  header.xdim = header.ydim = static_cast<float>(0.00833333333333);
  auto cells = tile_cells(header);
  ASSERT_TRUE(cells);
  EXPECT_EQ(cells->west, -180 * 120);
  EXPECT_EQ(cells->north, 90 * 120);
  header.ulx = std::nan("");
  EXPECT_FALSE(tile_cells(header));
}

TEST(Window, ATileIsClippedAtEveryEdge) {
  // A 10 x 8 tile (rows of 20 bytes) from column 100, row edge 50 down to 40, in a window of
  // columns 104..120 and row edges 48..30: rows 2..9, columns 4..7 of the tile.
  TileCells tile{100, 50, 8, 10};
  GridWindow window{104, 30, 120, 48};
  auto copy = window_copy(tile, 0, window, 20, nullptr, 200);
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->rows, 8);
  EXPECT_EQ(copy->row_bytes, 8);
  EXPECT_EQ(copy->source_offset(0), 2 * 20 + 8);
  EXPECT_EQ(copy->source_offset(1), 3 * 20 + 8);
  EXPECT_EQ(copy->destination(0), 0);
  EXPECT_EQ(copy->destination(1), 32);
  // Cut where the file ends: 75 bytes reach into row 3, at byte 8 of it.
  EXPECT_EQ(window_copy(tile, 0, window, 20, nullptr, 75)->rows, 2);
  // Beside the window, or below it: nothing.
  EXPECT_FALSE(window_copy(tile, 0, GridWindow{108, 30, 120, 48}, 20, nullptr, 200));
  EXPECT_FALSE(window_copy(tile, 0, GridWindow{100, 30, 120, 40}, 20, nullptr, 200));
  // A tile moved a turn east lands in a window past 180.
  GridWindow past{world_columns + 100, 30, world_columns + 104, 48};
  EXPECT_FALSE(window_copy(tile, 0, past, 20, nullptr, 200));
  EXPECT_EQ(window_copy(tile, world_columns, past, 20, nullptr, 200)->row_bytes, 8);
}

}  // namespace
}  // namespace demstitch
