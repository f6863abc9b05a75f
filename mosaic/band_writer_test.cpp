#include "mosaic/band_writer.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <random>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "formats/band_sink.hpp"
#include "formats/bil_result.hpp"
#include "mosaic/reference_writer.hpp"
#include "tests/memory_sources.hpp"
#include "tests/tile_writer.hpp"

namespace demstitch {
namespace {

using testing::read_file;
using testing::TempDir;

// Random tile sets: the band writer must give the bytes of the fill-then-patch writer.
class WriterEquivalence : public ::testing::Test {
 protected:
  struct Case {
    MosaicPlan plan;
    std::vector<std::unique_ptr<Source>> sources;
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
      c.sources.push_back(
          std::make_unique<testing::MemorySource>(std::to_string(index * 10 + t), bytes));
      auto copy =
          plan_tile_copy(c.sources.back().get(), file_size, row_bytes, nrows, start, stride);
      c.plan.copies.push_back(*copy);
    }
    return c;
  }

  std::string write_with(const Case& c, const std::string& name, bool reference,
                         BandOptions options = {}, RawRasterOptions raster_options = {}) {
    auto path = dir_ / name;
    std::filesystem::remove(path);
    File out;
    EXPECT_TRUE(File::create_new(path, name, &out).ok());
    RawRaster raster(out, raster_options);
    Status s = reference ? write_mosaic_by_patching(out, c.plan)
                         : write_mosaic(
                               raster, c.plan, [](int64_t) { return true; }, options);
    EXPECT_TRUE(s.ok()) << s.message();
    EXPECT_TRUE(out.close().ok());
    return read_file(path);
  }

  TempDir dir_;
};

// A sink that holds the mosaic in memory, as a read into an array does: bands that fall in
// its first `in_place` bytes are assembled there, the rest come through a buffer.
class InPlaceSink final : public BandSink {
 public:
  InPlaceSink(int64_t size, int64_t in_place)
      : bytes(static_cast<size_t>(size), '?'), in_place_(in_place) {}
  Status begin(int64_t /*total*/) override { return {}; }
  std::span<std::byte> band_memory(int64_t offset, int64_t size) override {
    if (offset + size > in_place_) return {};
    return std::as_writable_bytes(std::span(bytes))
        .subspan(static_cast<size_t>(offset), static_cast<size_t>(size));
  }
  Status write_band(int64_t offset, std::span<const std::byte> band) override {
    auto* at = reinterpret_cast<std::byte*>(bytes.data()) + offset;
    if (band.data() != at) std::copy(band.begin(), band.end(), at);
    return {};
  }
  std::string bytes;

 private:
  int64_t in_place_;
};

TEST_F(WriterEquivalence, BandWriterMatchesFillThenPatchOnRandomTileSets) {
  std::mt19937 rng(20261207);
  for (int i = 0; i < 400; ++i) {
    Case c = random_case(rng, i);
    std::string expected = write_with(c, "reference", true);
    ASSERT_EQ(static_cast<int64_t>(expected.size()), c.plan.final_size()) << "case " << i;
    BandOptions options;
    options.band_bytes = std::uniform_int_distribution<int64_t>(1, 300)(rng);
    options.two_threads = i % 2 == 0;
    RawRasterOptions raster;
    raster.write_bytes = std::uniform_int_distribution<int64_t>(1, 64)(rng);
    ASSERT_EQ(write_with(c, "bands", false, options, raster), expected)
        << "case " << i << " band " << options.band_bytes;

    // In memory, bands land in any order from both threads; progress still only grows.
    const int64_t total = c.plan.final_size();
    InPlaceSink memory(total, std::uniform_int_distribution<int64_t>(0, total)(rng));
    int64_t told = 0;
    ASSERT_TRUE(write_mosaic(
                    memory, c.plan,
                    [&](int64_t done) {
                      EXPECT_GT(done, told);
                      told = done;
                      return true;
                    },
                    options)
                    .ok());
    EXPECT_EQ(told, total);
    ASSERT_EQ(memory.bytes, expected) << "case " << i << " band " << options.band_bytes;
  }
}

TEST_F(WriterEquivalence, EmptyHeaderTileSpillsOneSampleIntoTheNextRow) {
  // A tile of 6 rows of 10 bytes in a mosaic 8 bytes wide and 5 rows high.
  Case c;
  c.plan = MosaicPlan{8, 5, {}};
  std::string raster = testing::tile_raster(6, 5, 0);
  c.sources.push_back(std::make_unique<testing::MemorySource>("spill", raster));
  c.plan.copies.push_back(*plan_tile_copy(c.sources.back().get(), 60, 10, 6, 0, 8));
  std::string expected;
  for (int r = 0; r < 5; ++r) expected += raster.substr(r * 10, 8);
  expected += raster.substr(50, 10);
  EXPECT_EQ(write_with(c, "reference", true), expected);
  EXPECT_EQ(write_with(c, "bands", false), expected);
}

TEST_F(WriterEquivalence, ASecondThreadThatCannotStartLeavesTheWorkToOne) {
  std::mt19937 rng(7);
  Case c = random_case(rng, 0);
  while (c.plan.copies.empty()) c = random_case(rng, 0);
  BandOptions options;
  options.band_bytes = 16;
  options.start_thread = [](const std::function<void()>&) -> std::thread {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  };
  EXPECT_EQ(write_with(c, "bands", false, options), write_with(c, "reference", true));
}

TEST_F(WriterEquivalence, BytesASourceNoLongerHoldsAreBackground) {
  // A tile of 4 rows of 8 bytes, cut to 12 bytes after it was measured; in bands small
  // enough to read piece by piece and large enough to list the pieces.
  for (int64_t band : {int64_t{8}, int64_t{64}}) {
    Case c;
    c.plan = MosaicPlan{8, 4, {}};
    auto source = std::make_unique<testing::MemorySource>("T", std::string(32, 'x'));
    source->shrink_to = 12;
    c.plan.copies.push_back(*plan_tile_copy(source.get(), 32, 8, 4, 0, 8));
    c.sources.push_back(std::move(source));
    auto path = dir_ / "shrunk";
    std::filesystem::remove(path);
    File out;
    ASSERT_TRUE(File::create_new(path, "shrunk", &out).ok());
    BandOptions options;
    options.band_bytes = band;
    std::vector<size_t> short_copies;
    RawRaster raster(out);
    ASSERT_TRUE(write_mosaic(
                    raster, c.plan, [](int64_t) { return true; }, options, &short_copies)
                    .ok());
    EXPECT_EQ(short_copies, std::vector<size_t>{0});
    ASSERT_TRUE(out.close().ok());
    std::string no_data;
    for (int i = 0; i < 10; ++i) no_data += "\xD8\xF1";
    EXPECT_EQ(read_file(path), std::string(12, 'x') + no_data) << "band " << band;
  }
}

}  // namespace
}  // namespace demstitch

namespace demstitch {
namespace {

// Where a tiled format may cut its runs of columns: each tile's first and past-last column,
// only in the rows the tile covers, and nothing at the mosaic's own sides.
TEST(MosaicRowReader, SourceEdgesAreTheTilesColumnsInTheRowsAsked) {
  MosaicPlan plan;
  plan.row_bytes = 2 * 1000;
  plan.rows = 20;
  // Columns 300 to 500 of rows 0 to 9; columns 0 to 1000 of rows 10 to 19 (from a start
  // one whole row before, rows 9 to 19, as an offset lays a tile out).
  plan.copies.push_back(*plan_tile_copy(nullptr, 400 * 10, 400, 10, 600, plan.row_bytes));
  plan.copies.push_back(*plan_tile_copy(nullptr, 2000 * 10, 2000, 10, 2000 * 10, plan.row_bytes));
  plan.copies.push_back(
      *plan_tile_copy(nullptr, 200 * 3, 200, 3, 2000 * 15 + 1400, plan.row_bytes));
  const MosaicRowReader reader(plan);
  EXPECT_EQ(reader.source_edges(0, 10), (std::vector<int32_t>{300, 500}));
  EXPECT_EQ(reader.source_edges(10, 5), (std::vector<int32_t>{}));
  EXPECT_EQ(reader.source_edges(9, 8), (std::vector<int32_t>{300, 500, 700, 800}));
}

}  // namespace
}  // namespace demstitch
