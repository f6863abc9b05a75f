#include "mosaic/plan.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace demstitch {
namespace {

TEST(TileCopy, RowsAreCutWhereTheFileEnds) {
  // 10 rows of 6 bytes asked, 20 bytes present: rows 0-2 whole, row 3 has 2 bytes.
  auto copy = plan_tile_copy(nullptr, 20, 6, 10, 100, 8);
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->rows, 4);
  EXPECT_EQ(copy->length(2), 6);
  EXPECT_EQ(copy->length(3), 2);
  EXPECT_EQ(copy->destination(3), 124);
  // The row before the short last one reaches further.
  auto spill = plan_tile_copy(nullptr, 13, 6, 10, 0, 2);
  EXPECT_EQ(spill->end(), 2 + 6);
}

TEST(TileCopy, NothingToCopy) {
  EXPECT_EQ(plan_tile_copy(nullptr, 0, 6, 10, 0, 8)->rows, 0);
  EXPECT_EQ(plan_tile_copy(nullptr, 60, 0, 10, 0, 8)->rows, 0);
  EXPECT_EQ(plan_tile_copy(nullptr, 60, 6, -3, 0, 8)->rows, 0);
  EXPECT_EQ(plan_tile_copy(nullptr, 60, 6, 10, -1000, 8)->end(), 0);
}

TEST(TileCopy, OffsetsBeyond64BitsAreRefused) {
  EXPECT_FALSE(
      plan_tile_copy(nullptr, int64_t{1} << 40, 1, INT32_MAX, int64_t{1} << 61, int64_t{1} << 32));
  EXPECT_FALSE(plan_tile_copy(nullptr, 10, 1, 10, INT64_MIN, 2));
}

TEST(MosaicPlan, FinalSizeGrowsPastTheFillWhereRowsSpill) {
  // The empty-header case: rows of 9600 bytes in a mosaic of 5999 rows of 9598 bytes.
  MosaicPlan plan{9598, 5999, {*plan_tile_copy(nullptr, 6000 * 9600, 9600, 6000, 0, 9598)}};
  EXPECT_EQ(plan.final_size(), int64_t{5999} * 9598 + 9600);
}

TEST(MosaicPlan, BackgroundIsNoDataInsideTheFillAndZeroPast) {
  MosaicPlan plan{4, 2, {}};
  std::vector<std::byte> band(7);
  fill_background(plan, 3, band);
  std::vector<std::byte> expected = {nodata_low, nodata_high,  nodata_low,  nodata_high,
                                     nodata_low, std::byte{0}, std::byte{0}};
  EXPECT_EQ(band, expected);
}

}  // namespace
}  // namespace demstitch
