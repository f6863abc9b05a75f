#include "formats/overview.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
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

// Long rows go in blocks, all valid, all no-data and mixed, at the ends of the range and at
// a rounding edge, from columns that begin anywhere: every sample is the mean of the valid
// ones, rounded half away from zero (exactly -9999 reads as -9998).
TEST(Pyramid, HalvesLongRowsAsTheMeanOfTheValidSamples) {
  const int16_t n = -9999;
  std::vector<std::vector<int16_t>> rows(2);
  uint32_t state = 7;
  for (int32_t x = 0; x < 2 * 90; ++x) {
    for (auto& row : rows) {
      state = state * 1103515245u + 12345u;
      const int pick = static_cast<int>(state >> 24) % 8;
      const auto low = static_cast<int16_t>(static_cast<int32_t>(state >> 8 & 0xff) - 128);
      const int16_t choices[] = {low, n, 32767, -32768, -9998, -10000, low, low};
      row.push_back((x / 32 == 1 || x / 32 == 2) && choices[pick] == n ? low : choices[pick]);
    }
  }
  // A block of sea; a block of land with a mean of exactly no-data in it, and one of -0.5.
  for (auto& row : rows) std::fill(row.begin() + 128, row.begin() + 160, n);
  rows[0][40] = rows[1][40] = -9998;
  rows[0][41] = rows[1][41] = -10000;
  rows[0][44] = rows[0][45] = -1;
  rows[1][44] = rows[1][45] = 0;
  auto mean = [&](int32_t c) {
    double sum = 0;
    int count = 0;
    for (const auto& row : rows) {
      for (int32_t x : {2 * c, 2 * c + 1}) {
        if (row[x] != n) sum += row[x], ++count;
      }
    }
    if (count == 0) return n;
    const double m = sum / count;
    if (m == n) return static_cast<int16_t>(n + 1);
    return static_cast<int16_t>(m >= 0 ? std::floor(m + 0.5) : -std::floor(-m + 0.5));
  };
  LevelReducer reducer({180, 2}, {90, 1}, Resampling::average, -9999);
  for (const int32_t begin : {0, 3, 17}) {
    std::vector<const int16_t*> sources{rows[0].data() + ptrdiff_t{2} * begin,
                                        rows[1].data() + ptrdiff_t{2} * begin};
    std::vector<int16_t> out(90 - begin);
    reducer.reduce(0, sources, out.data(), begin, 90, 2 * begin, begin);
    for (int32_t c = begin; c < 90; ++c) ASSERT_EQ(out[c - begin], mean(c)) << "column " << c;
  }
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
