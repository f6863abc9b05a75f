#include "mosaic/grid.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace demstitch {
namespace {

constexpr double single_spacing = static_cast<double>(0.00833333333333f);

MosaicBounds fold_all(std::initializer_list<TileHeader> tiles) {
  MosaicBounds bounds;
  for (const TileHeader& t : tiles) bounds = fold(bounds, tile_rect(t, t.ulx, t.uly));
  return bounds;
}

TileHeader tile(double ulx, double uly, double spacing = single_spacing) {
  TileHeader t;
  t.ulx = ulx;
  t.uly = uly;
  t.xdim = t.ydim = spacing;
  return t;
}

TEST(MosaicExtent, EmptyHeaderGivesOneSampleLessEachWay) {
  // The default spacing is a little below 1/120 and sizes are truncated.
  MosaicBounds b = fold_all({TileHeader{}});
  auto size = mosaic_size(b);
  ASSERT_TRUE(size);
  EXPECT_EQ(size->out_cols, 4799);
  EXPECT_EQ(size->out_rows, 5999);
}

TEST(MosaicExtent, SinglePrecisionSpacingGivesWholeTile) {
  auto size = mosaic_size(fold_all({tile(-180, 90)}));
  ASSERT_TRUE(size);
  EXPECT_EQ(size->out_cols, 4800);
  EXPECT_EQ(size->out_rows, 6000);
  EXPECT_EQ(size->row_bytes(), 9600);
}

TEST(MosaicExtent, TwoTilesSideBySide) {
  MosaicBounds b = fold_all({tile(-180, 90), tile(-140, 90)});
  auto size = mosaic_size(b);
  ASSERT_TRUE(size);
  EXPECT_EQ(size->out_cols, 9600);
  EXPECT_EQ(size->out_rows, 6000);
  EXPECT_EQ(placement_start(b, -140, 90, size->row_bytes()), 2 * 4800);
  EXPECT_EQ(placement_start(b, -180, 90, size->row_bytes()), 0);
}

TEST(MosaicExtent, PlacementRowsAndColumnsTruncate) {
  MosaicBounds b{.top = 10, .left = 0, .bottom = 0, .right = 10};
  // 1.5 rows and 2.9 columns down and across: row 1, column 2.
  EXPECT_EQ(placement_start(b, 2.9 / 120, 10 - 1.5 / 120, 100), 1 * 100 + 2 * 2);
  EXPECT_FALSE(placement_start(b, std::nan(""), 0, 100));
  EXPECT_FALSE(placement_start(b, 0, -1e30, 100));
}

TEST(MosaicExtent, TilesBeyondTheWorldKeepTheInitialSides) {
  // Every left edge east of 180: the mosaic still begins at 180.
  MosaicBounds b = fold_all({tile(190, 10, 0.5)});
  EXPECT_EQ(b.left, 180.0);
  EXPECT_EQ(b.top, 10.0);
  EXPECT_EQ(b.right, 190 + 4800 * 0.5);
}

TEST(MosaicExtent, NotANumberIsReplacedByTheNextTile) {
  MosaicBounds b = fold_all({tile(std::nan(""), std::nan("")), tile(-10, 10, 0.5)});
  EXPECT_EQ(b.top, 10.0);
  EXPECT_EQ(b.left, -10.0);
  EXPECT_FALSE(mosaic_size(fold_all({tile(-10, 10, 0.5), tile(std::nan(""), 0)})));
}

TEST(MosaicExtent, NoTileGivesTheInsideOutWorld) {
  auto size = mosaic_size(MosaicBounds{});
  ASSERT_TRUE(size);
  EXPECT_EQ(size->out_cols, -43200);
  EXPECT_EQ(size->out_rows, -21600);
  EXPECT_FALSE(size->usable());
}

TEST(MosaicExtent, SizesOutsideTheIntegerRangeAreRefused) {
  EXPECT_FALSE(truncate_to_int32(2147483648.0));
  EXPECT_EQ(truncate_to_int32(2147483647.9), 2147483647);
  EXPECT_EQ(truncate_to_int32(-2147483648.9), INT32_MIN);
  EXPECT_FALSE(truncate_to_int32(-2147483649.0));
  EXPECT_FALSE(truncate_to_int32(std::numeric_limits<double>::infinity()));
  EXPECT_FALSE(truncate_to_int32(std::nan("")));
  EXPECT_EQ(truncate_to_int32(-0.99), 0);
  EXPECT_FALSE(mosaic_size(fold_all({tile(0, 0, 1e30)})));
}

}  // namespace
}  // namespace demstitch
