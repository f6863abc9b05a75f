#include "mosaic/plan.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "io/file.hpp"
#include "mosaic/progress.hpp"
#include "mosaic/raster_writer.hpp"
#include "tests/tile_writer.hpp"

namespace demstitch {
namespace {

using testing::read_file;
using testing::TempDir;
using testing::write_file;

TEST(TileCopy, RowsAreCutWhereTheFileEnds) {
  // 10 rows of 6 bytes asked, 20 bytes present: rows 0-2 whole, row 3 has 2 bytes.
  auto copy = plan_tile_copy(0, 20, 6, 10, 100, 8);
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->rows, 4);
  EXPECT_EQ(copy->length(2), 6);
  EXPECT_EQ(copy->length(3), 2);
  EXPECT_EQ(copy->destination(3), 124);
  // The row before the short last one reaches further.
  auto spill = plan_tile_copy(0, 13, 6, 10, 0, 2);
  EXPECT_EQ(spill->end(), 2 + 6);
}

TEST(TileCopy, NothingToCopy) {
  EXPECT_EQ(plan_tile_copy(0, 0, 6, 10, 0, 8)->rows, 0);
  EXPECT_EQ(plan_tile_copy(0, 60, 0, 10, 0, 8)->rows, 0);
  EXPECT_EQ(plan_tile_copy(0, 60, 6, -3, 0, 8)->rows, 0);
  EXPECT_EQ(plan_tile_copy(0, 60, 6, 10, -1000, 8)->end(), 0);
}

TEST(TileCopy, OffsetsBeyond64BitsAreRefused) {
  EXPECT_FALSE(
      plan_tile_copy(0, int64_t{1} << 40, 1, INT32_MAX, int64_t{1} << 61, int64_t{1} << 32));
  EXPECT_FALSE(plan_tile_copy(0, 10, 1, 10, INT64_MIN, 2));
}

TEST(MosaicPlan, FinalSizeGrowsPastTheFillWhereRowsSpill) {
  // The empty-header case: rows of 9600 bytes in a mosaic of 5999 rows of 9598 bytes.
  MosaicPlan plan{9598, 5999, {*plan_tile_copy(0, 6000 * 9600, 9600, 6000, 0, 9598)}};
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

TEST(Progress, PercentRoundsHalvesAwayFromZero) {
  EXPECT_EQ(percent(0, 6000), 0);
  EXPECT_EQ(percent(512, 6000), 9);
  EXPECT_EQ(percent(5888, 6000), 98);
  EXPECT_EQ(percent(5952, 6000), 99);
  EXPECT_EQ(percent(1, 200), 1);  // 0.5
  EXPECT_EQ(percent(1, 8), 13);   // 12.5
  EXPECT_EQ(percent(INT32_MAX, INT32_MAX), 100);
}

std::string play(ProgressScript& script, int64_t count) {
  char* text = nullptr;
  size_t size = 0;
  std::FILE* out = ::open_memstream(&text, &size);
  Console console(out, out);
  script.play_until(count, console);
  std::fclose(out);
  std::string result(text, size);
  std::free(text);
  return result;
}

TEST(Progress, ScriptPlaysFillThenTilesInOrder) {
  ProgressScript script(
      300, {{"A.dem", 130, ""}, {"B.dem", 5, "Error opening file B.dem\n"}, {"C.dem", 0, ""}});
  // Fill: rows 0, 128, 256; A: line feed and rows 0, 64, 128; B: its message; C: line feed.
  EXPECT_EQ(script.size(), 3 + 4 + 1 + 1);
  const std::string blanks(31, ' ');
  EXPECT_EQ(play(script, 2),
            "0% Generating empty output file   \r43% Generating empty output file   \r");
  EXPECT_EQ(play(script, 100), "85% Generating empty output file   \r\n0% A.dem" + blanks +
                                   "\r49% A.dem" + blanks + "\r98% A.dem" + blanks +
                                   "\rError opening file B.dem\n\n");
  EXPECT_EQ(play(script, 100), "");
}

// Random tile sets: the band writer must give the bytes of the fill-then-patch writer.
class WriterEquivalence : public ::testing::Test {
 protected:
  struct Case {
    MosaicPlan plan;
    std::vector<File> sources;
  };

  Case random_case(std::mt19937& rng, int index) {
    auto pick = [&](int64_t lo, int64_t hi) {
      return std::uniform_int_distribution<int64_t>(lo, hi)(rng);
    };
    Case c;
    c.plan.row_bytes = 2 * pick(1, 24);
    c.plan.rows = pick(1, 20);
    const int64_t stride = c.plan.row_bytes;
    int tiles = static_cast<int>(pick(0, 5));
    for (int t = 0; t < tiles; ++t) {
      int64_t row_bytes = pick(0, 3) == 0 ? pick(0, 3 * stride) : pick(1, stride);
      int64_t nrows = pick(-1, 25);
      int64_t file_size = pick(0, 3) == 0 ? pick(0, 400) : row_bytes * std::max<int64_t>(nrows, 0);
      int64_t start = pick(-3 * stride, c.plan.fill_bytes() + 2 * stride);
      std::string bytes(static_cast<size_t>(file_size), '\0');
      for (char& b : bytes) b = static_cast<char>(pick(0, 255));
      auto path = dir_ / std::to_string(index * 10 + t);
      write_file(path, bytes);
      File file;
      EXPECT_TRUE(File::open_for_reading(path, &file).ok());
      auto copy = plan_tile_copy(c.sources.size(), file_size, row_bytes, nrows, start, stride);
      c.plan.copies.push_back(*copy);
      c.sources.push_back(std::move(file));
    }
    return c;
  }

  std::string write_with(const Case& c, const std::string& name, bool reference,
                         BandOptions options = {}) {
    auto path = dir_ / name;
    std::filesystem::remove(path);
    File out;
    EXPECT_TRUE(File::create_new(path, &out).ok());
    Status s = reference ? write_mosaic_by_patching(out, c.plan, c.sources)
                         : write_mosaic(
                               out, c.plan, c.sources, [](int64_t) { return true; }, options);
    EXPECT_TRUE(s.ok()) << s.message();
    EXPECT_TRUE(out.close().ok());
    return read_file(path);
  }

  TempDir dir_;
};

TEST_F(WriterEquivalence, BandWriterMatchesFillThenPatchOnRandomTileSets) {
  std::mt19937 rng(20261207);
  for (int i = 0; i < 400; ++i) {
    Case c = random_case(rng, i);
    std::string expected = write_with(c, "reference", true);
    ASSERT_EQ(static_cast<int64_t>(expected.size()), c.plan.final_size()) << "case " << i;
    BandOptions options;
    options.band_bytes = std::uniform_int_distribution<int64_t>(1, 300)(rng);
    options.write_bytes = std::uniform_int_distribution<int64_t>(1, 64)(rng);
    options.two_threads = i % 2 == 0;
    ASSERT_EQ(write_with(c, "bands", false, options), expected)
        << "case " << i << " band " << options.band_bytes;
  }
}

TEST_F(WriterEquivalence, EmptyHeaderTileSpillsOneSampleIntoTheNextRow) {
  // A tile of 6 rows of 10 bytes in a mosaic 8 bytes wide and 5 rows high.
  Case c;
  c.plan = MosaicPlan{8, 5, {}};
  std::string raster = testing::tile_raster(6, 5, 0);
  write_file(dir_ / "spill", raster);
  c.sources.emplace_back();
  ASSERT_TRUE(File::open_for_reading(dir_ / "spill", &c.sources.back()).ok());
  c.plan.copies.push_back(*plan_tile_copy(0, 60, 10, 6, 0, 8));
  std::string expected;
  for (int r = 0; r < 5; ++r) expected += raster.substr(r * 10, 8);
  expected += raster.substr(50, 10);
  EXPECT_EQ(write_with(c, "reference", true), expected);
  EXPECT_EQ(write_with(c, "bands", false), expected);
}

TEST_F(WriterEquivalence, AFailedWriteEndsTheWriteWithOneThreadOrTwo) {
  // Files may grow to 64 KiB only; the space is not reserved, so the writes themselves fail.
  Case c;
  c.plan = MosaicPlan{1000, 1000, {}};
  rlimit saved{};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  auto handler = ::signal(SIGXFSZ, SIG_IGN);
  for (bool thread : {true, false}) {
    auto path = dir_ / (thread ? "threaded" : "single");
    File out;
    ASSERT_TRUE(File::create_new(path, &out).ok());
    BandOptions options;
    options.band_bytes = 4096;
    options.two_threads = thread;
    options.reserve_space = false;
    rlimit limit{65536, saved.rlim_max};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    int64_t last_progress = 0;
    Status s = write_mosaic(
        out, c.plan, c.sources,
        [&](int64_t done) {
          last_progress = done;
          return true;
        },
        options);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_FALSE(s.ok());
    EXPECT_NE(s.message().find("File too large"), std::string::npos) << s.message();
    EXPECT_LE(last_progress, 65536);
  }
  ::signal(SIGXFSZ, handler);
}

}  // namespace
}  // namespace demstitch
