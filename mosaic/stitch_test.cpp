#include "mosaic/stitch.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "mosaic/writer_options.hpp"
#include "tests/archive_writer.hpp"
#include "tests/memory_sources.hpp"
#include "tests/tile_writer.hpp"

namespace demstitch {
namespace {

namespace fs = std::filesystem;
using testing::bil_header;
using testing::read_file;
using testing::tile_raster;

// Notes the events as short words, and cancels at the first bytes written when asked to.
class Recorder final : public StitchObserver {
 public:
  void tile_read(const TileReport& tile) override { events.push_back("read " + tile.name); }
  void header_problem(const TileReport& tile, const TileProblem&) override {
    events.push_back("problem " + tile.name);
  }
  void mosaic_sized(const MosaicBounds&, const std::optional<MosaicSize>& size) override {
    events.push_back(size ? std::to_string(size->out_cols) + "x" + std::to_string(size->out_rows)
                          : "no size");
  }
  void raster_started(std::span<const TileReport> tiles, int32_t) override {
    events.push_back("raster of " + std::to_string(tiles.size()));
  }
  void bytes_written(int64_t done, int64_t total) override {
    if (done == total) events.push_back("written");
    cancel = cancel || cancel_when_writing;
  }
  bool cancelled() override { return cancel; }

  std::vector<std::string> events;
  bool cancel_when_writing = false;
  bool cancel = false;
};

class StitchCall : public ::testing::Test {
 protected:
  void SetUp() override {
    files_.files["A.hdr"] = bil_header(120, 120, "-180", "90");
    files_.files["A.dem"] = tile_raster(120, 120, 0);
    files_.files["C.HDR"] = bil_header(120, 120, "-179", "90");
    request_.opener = &files_;
    request_.output.base = dir_ / "out";
  }

  std::vector<std::string> folder() { return testing::names_in(dir_.path()); }

  testing::MemoryOpener files_;
  StitchRequest request_;
  testing::TempDir dir_;
};

TEST_F(StitchCall, TellsEveryEventAndListsEveryProblem) {
  request_.tiles = {"A", "B", "C"};
  Recorder recorder;
  StitchResult result = stitch(request_, recorder);
  EXPECT_EQ(result.outcome, StitchOutcome::written);
  EXPECT_EQ(recorder.events, (std::vector<std::string>{"read A", "problem B", "read C", "240x120",
                                                       "raster of 3", "written"}));
  ASSERT_EQ(result.problems.size(), 2u);
  EXPECT_EQ(result.problems[0].tile, 1u);
  EXPECT_EQ(result.problems[0].path, "B.hdr");
  EXPECT_EQ(result.problems[0].kind, ProblemKind::header_not_opened);
  EXPECT_EQ(result.problems[0].cause.kind(), StatusKind::not_found);
  EXPECT_EQ(result.problems[1].tile, 2u);
  EXPECT_EQ(result.problems[1].path, "C.dem");
  EXPECT_EQ(result.problems[1].kind, ProblemKind::raster_not_opened);
  EXPECT_EQ(folder(), (std::vector<std::string>{"out.DEM", "out.HDR", "out.prj"}));
  EXPECT_EQ(read_file(dir_ / "out.DEM").size(), size_t{240} * 120 * 2);
}

// The library checks what it is asked before it reads anything, whoever calls it: a window
// that is none or a name the system cannot open is refused; an east edge past 180 is taken
// as the command line takes it, and the NetCDF result is one file of the same cells.
TEST_F(StitchCall, ARequestIsCheckedByTheLibraryBeforeAnythingIsRead) {
  Recorder recorder;
  request_.tiles = {"A"};
  request_.window = GeoWindow{-170, 80, -175, 70};  // south above north
  StitchResult refused = stitch(request_, recorder);
  EXPECT_EQ(refused.outcome, StitchOutcome::bad_request);
  EXPECT_EQ(refused.request.window, WindowProblem::south_not_below_north);
  request_.window.reset();
  request_.tiles = {"A", std::string("B\0.hdr", 6)};
  refused = stitch(request_, recorder);
  EXPECT_EQ(refused.outcome, StitchOutcome::bad_request);
  EXPECT_EQ(refused.request.names, TileNamesProblem::null_byte);
  EXPECT_EQ(refused.request.tile, 1u);
  EXPECT_TRUE(recorder.events.empty());
  EXPECT_TRUE(folder().empty());

  request_.tiles = {"A"};
  request_.window = GeoWindow{179.5, 89, 190, 90};  // across 180: east is -170
  request_.output.format = ResultFormat::netcdf;
  StitchResult written = stitch(request_, recorder);
  ASSERT_EQ(written.outcome, StitchOutcome::written);
  EXPECT_EQ(written.files, (std::vector<std::string>{dir_ / "out.nc"}));
  ASSERT_TRUE(written.size);
  EXPECT_EQ(written.size->out_cols, 10 * 120 + 60);
  EXPECT_EQ(written.geotransform->west, 179.5);
}

TEST_F(StitchCall, CancellingIsNeverSuccessAndLeavesNothing) {
  request_.tiles = {"A"};
  WriterOptions writer;
  writer.bands.band_bytes = 4096;
  Recorder recorder;
  recorder.cancel_when_writing = true;
  StitchResult result = stitch(request_, recorder, writer);
  EXPECT_EQ(result.outcome, StitchOutcome::cancelled);
  EXPECT_EQ(result.error.kind(), StatusKind::cancelled);
  EXPECT_TRUE(folder().empty());
}

TEST_F(StitchCall, ArchivesComeThroughTheOpenerAndCanBeCancelledWhileListed) {
  // A tar held by the opener: its tile is read as a tile on disk, named by archive and stem.
  files_.files["T.tar"] = testing::tar_member("A.DEM", tile_raster(120, 120, 0)) +
                          testing::tar_member("A.HDR", bil_header(120, 120, "-180", "90"));
  request_.tiles = {"T.tar", "A"};
  Recorder recorder;
  StitchResult result = stitch(request_, recorder);
  EXPECT_EQ(result.outcome, StitchOutcome::written);
  EXPECT_EQ(result.tiles, (std::vector<std::string>{"T.tar:A", "A"}));
  EXPECT_EQ(recorder.events, (std::vector<std::string>{"read T.tar:A", "read A", "120x120",
                                                       "raster of 2", "written"}));

  Recorder cancelling;
  cancelling.cancel = true;
  fs::remove_all(dir_.path());
  fs::create_directory(dir_.path());
  result = stitch(request_, cancelling);
  EXPECT_EQ(result.outcome, StitchOutcome::cancelled);
  EXPECT_TRUE(cancelling.events.empty());
  EXPECT_TRUE(folder().empty());
}

TEST_F(StitchCall, AReadPutsTheFilesMosaicInMemoryAndWritesNothing) {
  files_.files["D.hdr"] = bil_header(60, 90, "-179.75", "89.5");
  files_.files["D.dem"] = tile_raster(60, 90, -500).substr(0, 7001);  // cut inside a sample
  request_.tiles = {"A", "D", "C"};
  std::vector<int16_t> memory;
  Recorder recorder;
  StitchResult read = read_mosaic(request_, recorder, [&](const MosaicSize& size) {
    memory.assign(static_cast<size_t>(size.out_cols) * size.out_rows, 1);
    return std::span(memory);
  });
  EXPECT_EQ(read.outcome, StitchOutcome::written);
  EXPECT_EQ(read.problems.size(), 2U);  // D short, C without raster: as a stitch tells them
  EXPECT_TRUE(folder().empty());

  Recorder again;
  ASSERT_EQ(stitch(request_, again).outcome, StitchOutcome::written);
  const std::string file = read_file(dir_ / "out.DEM");
  ASSERT_EQ(file.size(), memory.size() * 2);
  std::vector<int16_t> from_file(memory.size());
  for (size_t i = 0; i < from_file.size(); ++i) {
    from_file[i] = static_cast<int16_t>((static_cast<uint8_t>(file[2 * i]) << 8) |
                                        static_cast<uint8_t>(file[2 * i + 1]));
  }
  EXPECT_EQ(memory, from_file);

  // No memory to be had: a failure of its own kind, nothing written.
  fs::remove_all(dir_.path());
  fs::create_directory(dir_.path());
  read = read_mosaic(request_, recorder, [](const MosaicSize&) { return std::span<int16_t>(); });
  EXPECT_EQ(read.outcome, StitchOutcome::output_failed);
  EXPECT_EQ(read.error.kind(), StatusKind::no_memory);
  EXPECT_TRUE(folder().empty());
}

TEST_F(StitchCall, ATileThatFailsWhileCopiedWritesNothing) {
  request_.tiles = {"A"};
  files_.fail_from["A.dem"] = 5000;
  testing::write_file(dir_ / "out.DEM", "earlier");
  StitchObserver quiet;
  StitchResult result = stitch(request_, quiet);
  EXPECT_EQ(result.outcome, StitchOutcome::input_failed);
  EXPECT_EQ(result.error.side(), Side::input);
  EXPECT_EQ(result.error.path(), "A.dem");
  EXPECT_EQ(folder(), (std::vector<std::string>{"out.DEM"}));
  EXPECT_EQ(read_file(dir_ / "out.DEM"), "earlier");
}

TEST_F(StitchCall, ARasterThatShrinksWhileReadIsReportedAndItsRestIsNoData) {
  request_.tiles = {"A"};
  files_.shrink_to["A.dem"] = 240 * 60;
  StitchObserver quiet;
  StitchResult result = stitch(request_, quiet);
  EXPECT_EQ(result.outcome, StitchOutcome::written);
  ASSERT_EQ(result.problems.size(), 1u);
  EXPECT_EQ(result.problems[0].kind, ProblemKind::raster_changed);
  EXPECT_EQ(result.problems[0].path, "A.dem");
  std::string mosaic = read_file(dir_ / "out.DEM");
  EXPECT_EQ(mosaic.substr(0, 240 * 60), tile_raster(120, 120, 0).substr(0, 240 * 60));
  for (size_t i = 240 * 60; i < mosaic.size(); i += 2) {
    ASSERT_EQ(mosaic.substr(i, 2), "\xD8\xF1") << i;
  }
}

// A COG fails, is cancelled and reads a shrinking raster as the raw raster does: its
// readers' short copies are gathered, and its scratch file never outlives the run.
TEST_F(StitchCall, ACogFailsStopsAndSeesAShrinkingRasterAsTheRawRasterDoes) {
  // A tile wide and tall enough for overviews, so that the scratch file is made.
  files_.files["D.hdr"] = bil_header(700, 1300, "-178", "85");
  files_.files["D.dem"] = tile_raster(700, 1300, 3);
  request_.output.format = ResultFormat::cog;
  request_.tiles = {"A", "D"};
  testing::write_file(dir_ / "out.tif", "earlier");
  StitchObserver quiet;

  files_.fail_from["D.dem"] = 700000;
  StitchResult failed = stitch(request_, quiet);
  EXPECT_EQ(failed.outcome, StitchOutcome::input_failed);
  EXPECT_EQ(failed.error.path(), "D.dem");
  files_.fail_from.clear();

  Recorder recorder;
  recorder.cancel_when_writing = true;
  EXPECT_EQ(stitch(request_, recorder).outcome, StitchOutcome::cancelled);
  EXPECT_EQ(folder(), (std::vector<std::string>{"out.tif"}));
  EXPECT_EQ(read_file(dir_ / "out.tif"), "earlier");

  files_.shrink_to["D.dem"] = 2600 * 100;
  StitchResult shrunk = stitch(request_, quiet);
  EXPECT_EQ(shrunk.outcome, StitchOutcome::written);
  ASSERT_EQ(shrunk.problems.size(), 1u);
  EXPECT_EQ(shrunk.problems[0].kind, ProblemKind::raster_changed);
  EXPECT_EQ(folder(), (std::vector<std::string>{"out.tif"}));
  EXPECT_EQ(read_file(dir_ / "out.tif").substr(0, 4), std::string("II*\0", 4));
}

}  // namespace
}  // namespace demstitch
