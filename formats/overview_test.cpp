#include "formats/overview.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "formats/cog_layout.hpp"
#include "formats/cog_result.hpp"

namespace demstitch {
namespace {

TEST(Pyramid, HalvesDownUntilATileHoldsTheLastAsGdalsCogDriverDoes) {
  // Sizes GDAL 3.6 gave for COGs of these rasters.
  auto levels = pyramid_levels({8400, 4681}, 512, true);
  std::vector<RasterSize> expected{{8400, 4681}, {4200, 2340}, {2100, 1170},
                                   {1050, 585},  {525, 292},   {262, 146}};
  EXPECT_EQ(levels, expected);
  EXPECT_EQ(pyramid_levels({1025, 1025}, 512, true).back(), (RasterSize{512, 512}));
  auto world = pyramid_levels({43200, 21600}, 512, true);
  EXPECT_EQ(world.size(), 8u);
  EXPECT_EQ(world.back(), (RasterSize{337, 168}));
  EXPECT_EQ(pyramid_levels({512, 512}, 512, true).size(), 1u);
  EXPECT_EQ(pyramid_levels({8400, 4681}, 512, false).size(), 1u);
  EXPECT_EQ(pyramid_levels({43200, 1}, 512, true).back(), (RasterSize{337, 1}));
}

TEST(Pyramid, RoundsAFloatSampleAsGdalConvertsIt) {
  EXPECT_EQ(round_sample(2.5f), 3);
  EXPECT_EQ(round_sample(-2.5f), -3);
  EXPECT_EQ(round_sample(-2.49f), -2);
  EXPECT_EQ(round_sample(0.49999997f), 1);  // the sum is taken in float
  EXPECT_EQ(round_sample(40000.0f), 32767);
  EXPECT_EQ(round_sample(-40000.0f), -32768);
}

// One output row of `to` from the given source rows.
std::vector<int16_t> reduce_row(RasterSize from, RasterSize to, Resampling method,
                                const std::vector<std::vector<int16_t>>& rows, int32_t row = 0) {
  LevelReducer reducer(from, to, method, -9999);
  auto [first, last] = reducer.source_rows(row);
  std::vector<const int16_t*> sources;
  for (int32_t y = first; y < last; ++y) sources.push_back(rows[static_cast<size_t>(y)].data());
  std::vector<int16_t> out(static_cast<size_t>(to.width));
  reducer.reduce(row, sources, out.data(), 0, to.width);
  return out;
}

// Rows and output that begin at a column inside the raster give that part of the row.
TEST(Pyramid, ReducesAPartOfARowFromRowsThatBeginInside) {
  const RasterSize from{12, 6};
  std::vector<std::vector<int16_t>> rows(6);
  for (int32_t y = 0; y < 6; ++y) {
    for (int32_t x = 0; x < 12; ++x) rows[y].push_back(static_cast<int16_t>(x * 7 - y * 13));
  }
  rows[3][5] = -9999;
  for (const RasterSize to : {RasterSize{6, 3}, RasterSize{5, 4}}) {
    for (const Resampling method : {Resampling::average, Resampling::nearest}) {
      LevelReducer reducer(from, to, method, -9999);
      for (int32_t row = 0; row < to.height; ++row) {
        const std::vector<int16_t> whole = reduce_row(from, to, method, rows, row);
        // Columns [2, 4) of the output from the source columns from 2 on, written from 2 on.
        auto [first, last] = reducer.source_rows(row);
        std::vector<const int16_t*> sources;
        for (int32_t y = first; y < last; ++y) sources.push_back(rows[y].data() + 2);
        std::vector<int16_t> part(2);
        reducer.reduce(row, sources, part.data(), 2, 4, 2, 2);
        EXPECT_EQ(part, std::vector<int16_t>(whole.begin() + 2, whole.begin() + 4))
            << to.width << "x" << to.height << " row " << row;
      }
    }
  }
}

TEST(Pyramid, AveragesTheValidSamplesOfEachTwoByTwoBlock) {
  const int16_t n = -9999;
  std::vector<std::vector<int16_t>> rows{{1, 2, n, n, -1, -2, -9998, -10000, 7, n},
                                         {2, 2, n, n, -2, -2, -9998, -10000, n, n}};
  // 7/4 rounds up; nothing valid stays no-data; -7/4 rounds away from zero; a mean of
  // exactly -9999 would read as no-data and becomes -9998; a lone valid sample is the mean.
  EXPECT_EQ(reduce_row({10, 2}, {5, 1}, Resampling::average, rows),
            (std::vector<int16_t>{2, n, -2, -9998, 7}));
}

TEST(Pyramid, WeighsTheSamplesAWindowCoversInPartWhenSizesAreOdd) {
  // Three samples into two: each output covers one and a half.
  std::vector<std::vector<int16_t>> rows{{10, 20, 40}};
  EXPECT_EQ(reduce_row({3, 1}, {2, 1}, Resampling::average, rows),
            (std::vector<int16_t>{13, 33}));  // (10 + 20 / 2) / 1.5, (20 / 2 + 40) / 1.5
  EXPECT_EQ(reduce_row({3, 1}, {2, 1}, Resampling::nearest, rows), (std::vector<int16_t>{10, 40}));
}

TEST(CogLayout, ABigTiffOnlyWhenTheFileCanPassFourGibibytes) {
  CogDescription cog;
  cog.levels = pyramid_levels({43200, 21600}, cog_tile_size, true);
  EXPECT_FALSE(needs_big_tiff(cog, int64_t{2} << 30));
  EXPECT_TRUE(needs_big_tiff(cog, int64_t{4} << 30));
  std::vector<std::vector<uint32_t>> sizes;
  for (RasterSize level : cog.levels) {
    sizes.emplace_back(static_cast<size_t>(tiles_across(level)) * tiles_down(level), 100u);
  }
  auto classic = cog_header(cog, sizes, false);
  auto big = cog_header(cog, sizes, true);
  EXPECT_EQ(std::to_integer<int>(classic[2]), 42);
  EXPECT_EQ(std::to_integer<int>(big[2]), 43);
  // GDAL's structural metadata right after the file header, the first IFD on the next even
  // byte (where GDAL's COG validator looks for it).
  const std::string ghost(reinterpret_cast<const char*>(classic.data()) + 8, 30);
  EXPECT_EQ(ghost, "GDAL_STRUCTURAL_METADATA_SIZE=");
  EXPECT_EQ(std::to_integer<int>(classic[4]), 8 + 43 + 140 + 1);
}

// The COG's second pass cuts each band's columns at the tiles' edges, so that no tile row
// is read twice; too narrow a run goes with its neighbour, too wide a one is cut evenly.
TEST(CutColumns, AtTheSourcesEdgesWithinTheWidthsAllowed) {
  std::vector<int32_t> world;
  for (int32_t x = 4800; x < 43200; x += 4800) world.push_back(x);
  std::vector<int32_t> expected{0};
  for (int32_t x : world) expected.push_back(x);
  expected.push_back(43200);
  EXPECT_EQ(cut_columns(43200, world, 512, 8192), expected);
  // Narrow runs, at the start, inside and at the end, join the next one (the last the one
  // before); edges at or past the width count for nothing.
  EXPECT_EQ(
      cut_columns(3000, std::vector<int32_t>{100, 700, 900, 2000, 2700, 3000, 5000}, 512, 8192),
      (std::vector<int32_t>{0, 700, 2000, 3000}));
  // Too wide: even parts; a raster narrower than a run is one run.
  EXPECT_EQ(cut_columns(20000, {}, 512, 8192), (std::vector<int32_t>{0, 6666, 13333, 20000}));
  EXPECT_EQ(cut_columns(300, std::vector<int32_t>{100}, 512, 8192), (std::vector<int32_t>{0, 300}));
}

}  // namespace
}  // namespace demstitch
