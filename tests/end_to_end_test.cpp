// Runs the built program in a temporary folder on tiles the test writes, and compares exit
// status, console text and output bytes exactly.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/run_program.hpp"
#include "tests/tile_writer.hpp"

namespace demstitch {
namespace {

namespace fs = std::filesystem;
using testing::bil_header;
using testing::read_file;
using testing::Result;
using testing::run_demstitch;
using testing::TempDir;
using testing::tile_raster;
using testing::write_file;

const std::string blanks(31, ' ');
const std::string no_data_pair = "\xD8\xF1";

std::string no_data(size_t samples) {
  std::string bytes;
  for (size_t i = 0; i < samples; ++i) bytes += no_data_pair;
  return bytes;
}

class Stitch : public ::testing::Test {
 protected:
  Result run(const std::vector<std::string>& args, rlim_t file_limit = RLIM_INFINITY) {
    return run_demstitch(dir_.path(), args, file_limit);
  }

  void tile(const std::string& name, const std::string& header, const std::string& raster) {
    write_file(dir_ / (name + ".hdr"), header);
    write_file(dir_ / (name + ".dem"), raster);
  }

  std::string output() { return read_file(dir_ / "GTResult.DEM"); }
  std::string output_header() { return read_file(dir_ / "GTResult.HDR"); }
  bool exists(const std::string& name) { return fs::exists(dir_ / name); }

  // Names in the folder other than the tiles the test wrote.
  std::vector<std::string> leftovers() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_.path())) {
      std::string name = entry.path().filename();
      if (name.find(".part") != std::string::npos) names.push_back(name);
    }
    return names;
  }

  TempDir dir_;
};

TEST_F(Stitch, NoArgumentPrintsUsageAndEndsWithOne) {
  Result r = run({});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.substr(0, 10 + std::string(DEMSTITCH_BINARY).size()),
            std::string("Usage:\n\n\t") + DEMSTITCH_BINARY + " ");
  EXPECT_FALSE(exists("GTResult.DEM"));
}

TEST_F(Stitch, CommandLineErrorsEndWithTwoAndTouchNothing) {
  EXPECT_EQ(run({"-1,2"}).status, 2);
  Result many = run(std::vector<std::string>(65, "T"));
  EXPECT_EQ(many.status, 2);
  EXPECT_EQ(many.err, "Too many tiles: at most 64 can be stitched in one run\n");
  Result long_name = run({std::string(508, 'n')});
  EXPECT_EQ(long_name.status, 2);
  EXPECT_EQ(long_name.out, "");
  EXPECT_FALSE(exists("GTResult.DEM"));
}

TEST_F(Stitch, AOneDashOptionIsRefusedWhereItWouldHaveStitchedEverything) {
  tile("A", bil_header(120, 120, "-179.9958333", "89.9958333"), tile_raster(120, 120, 0));
  for (const char* arg : {"-bounds=5,43,17,48", "-output=x"}) {
    Result r = run({arg, "A"});
    EXPECT_EQ(r.status, 2) << arg;
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("did you mean --"), std::string::npos) << r.err;
  }
  EXPECT_FALSE(exists("GTResult.DEM"));
  EXPECT_FALSE(exists("x.DEM"));
}

TEST_F(Stitch, QuietLeavesOutTheProgressAndAWideWindowAcross180IsSaid) {
  tile("A", bil_header(120, 120, "-179.9958333", "89.9958333"), tile_raster(120, 120, 0));
  Result quiet = run({"--quiet", "A"});
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.out.find('%'), std::string::npos) << quiet.out;
  EXPECT_NE(quiet.out.find("Final output bounds:"), std::string::npos);
  // WEST and EAST swapped: 348 degrees across 180, written as asked, and said.
  Result swapped = run({"--quiet", "--bounds=17,43,5,48", "--output=swapped", "A"});
  EXPECT_EQ(swapped.status, 4);  // A misses it
  EXPECT_NE(swapped.err.find("crosses the antimeridian and is 348 degrees wide"), std::string::npos)
      << swapped.err;
  // A whole turn from 0 is the world from 0 eastwards: A lands 180 degrees in.
  Result turn = run({"--quiet", "--bounds=0,89,360,90", "--output=turn", "A"});
  EXPECT_EQ(turn.status, 0) << turn.err;
  EXPECT_EQ(turn.err, "");
  EXPECT_NE(turn.out.find("43200x120 samples"), std::string::npos) << turn.out;
  const std::string world = read_file(dir_ / "turn.DEM");
  EXPECT_EQ(world.substr(2 * 21600, 240), tile_raster(120, 120, 0).substr(0, 240));
}

TEST_F(Stitch, OneWholeTileIsCopiedExactly) {
  std::string raster = tile_raster(120, 120, 100);
  tile("T", bil_header(120, 120, "-180", "90"), raster);
  Result r = run({"T"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, std::string(35, ' ') +
                       "90.00   -180.00     89.00   -179.00\rT.hdr\n"
                       "\n\nFinal output bounds:       90.0   -180.00     89.00   -179.00\n"
                       "120x120 samples = 28800 bytes\n"
                       "0% Generating empty output file   \r"
                       "\n0% T.dem" +
                       blanks + "\r53% T.dem" + blanks + "\r");
  EXPECT_EQ(output(), raster);
  EXPECT_EQ(output_header(),
            "BYTEORDER     M\r\nLAYOUT        BIL\r\nNROWS         120\r\nNCOLS         120\r\n"
            "NBANDS        1\r\nNBITS         16\r\nBANDROWBYTES  240\r\nTOTALROWBYTES 240\r\n"
            "BANDGAPBYTES  0\r\nNODATA        -9999\r\nULXMAP        -180.000000\r\n"
            "ULYMAP        90.000000\r\nXDIM          0.00833333333333\r\n"
            "YDIM          0.00833333333333\r\n");
  EXPECT_TRUE(leftovers().empty());
}

TEST_F(Stitch, LaterTileWinsAndGapsHoldNoData) {
  // A: 120 x 120 at (-180, 90); B: 60 x 60 over A's lower right quarter; C: 60 x 60 to the
  // right of A, one degree lower, so the mosaic is 180 wide and its top right is empty.
  std::string a = tile_raster(120, 120, 0);
  std::string b = tile_raster(60, 60, 20000);
  std::string c = tile_raster(60, 60, 30000);
  tile("A", bil_header(120, 120, "-180", "90"), a);
  tile("B", bil_header(60, 60, "-179.5", "89.5"), b);
  tile("C", bil_header(60, 60, "-179", "89.5"), c);
  Result r = run({"A", "B", "C"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string mosaic = output();
  ASSERT_EQ(mosaic.size(), size_t{180} * 120 * 2);
  for (int row = 0; row < 120; ++row) {
    std::string expected = a.substr(row * 240, 240);
    if (row >= 60) expected.replace(120, 120, b.substr((row - 60) * 120, 120));
    expected += row >= 60 ? c.substr((row - 60) * 120, 120) : no_data(60);
    ASSERT_EQ(mosaic.substr(row * 360, 360), expected) << "row " << row;
  }
}

TEST_F(Stitch, UpperCaseTileFilesAreFoundAndNamed) {
  std::string raster = tile_raster(120, 120, 7);
  write_file(dir_ / "W020N40.HDR", bil_header(120, 120, "-20", "40"));
  write_file(dir_ / "W020N40.DEM", raster);
  Result r = run({"W020N40"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\rW020N40.HDR\n"), std::string::npos);
  EXPECT_NE(r.out.find("0% W020N40.DEM" + blanks), std::string::npos);
  EXPECT_EQ(output(), raster);
}

TEST_F(Stitch, MissingRasterLeavesNoDataAndEndsWithFour) {
  tile("A", bil_header(120, 120, "-180", "90"), tile_raster(120, 120, 0));
  write_file(dir_ / "B.hdr", bil_header(120, 120, "-179", "90"));
  Result r = run({"B", "A"});
  EXPECT_EQ(r.status, 4);
  EXPECT_EQ(r.err,
            "Error opening file B.dem\n1 of 2 named tiles was not used, or not used fully: B\n");
  std::string mosaic = output();
  ASSERT_EQ(mosaic.size(), size_t{240} * 120 * 2);
  EXPECT_EQ(mosaic.substr(240, 240), no_data(120));
  EXPECT_TRUE(exists("GTResult.HDR"));
}

TEST_F(Stitch, MissingHeaderIsReportedAndItsRasterNotCopied) {
  tile("A", bil_header(120, 120, "-180", "90"), tile_raster(120, 120, 0));
  // B's raster alone: with no header it has no known place and must not land at 0, 0.
  write_file(dir_ / "B.dem", tile_raster(6000, 4800, 9));
  Result r = run({"A", "B"});
  EXPECT_EQ(r.status, 4);
  EXPECT_EQ(r.err,
            "Error opening file B.hdr\n1 of 2 named tiles was not used, or not used fully: B\n");
  EXPECT_EQ(output(), tile_raster(120, 120, 0));
  EXPECT_EQ(r.out.find("B.dem"), std::string::npos);
}

TEST_F(Stitch, RastersOfTheWrongLengthAreCopiedAsFarAsTheyGoAndReported) {
  std::string raster = tile_raster(120, 120, 0);
  const std::string summary = "1 of 1 named tiles was not used, or not used fully: A\n";
  // A truncated download: the rest of its area is no-data.
  tile("A", bil_header(120, 120, "-180", "90"), raster.substr(0, 60 * 240 + 11));
  Result r = run({"A"});
  EXPECT_EQ(r.status, 4);
  EXPECT_EQ(r.err,
            "Short raster A.dem: 60 of 120 rows present (14411 of 28800 bytes); the rest is "
            "no-data\n" +
                summary);
  EXPECT_NE(r.out.find("\n0% A.dem"), std::string::npos);
  // The sample cut in half is no-data too, not half a sample joined to half of -9999.
  std::string expected = raster.substr(0, 60 * 240 + 10);
  expected += no_data(120 * 120).substr(expected.size());
  EXPECT_EQ(output(), expected);
  // An empty one.
  tile("A", bil_header(120, 120, "-180", "90"), "");
  r = run({"A"});
  EXPECT_EQ(r.status, 4);
  EXPECT_EQ(r.err.substr(0, 52), "Short raster A.dem: 0 of 120 rows present (0 of 2880");
  EXPECT_EQ(output(), no_data(120 * 120));
  // One longer than its header says: the header does not describe it.
  tile("A", bil_header(120, 120, "-180", "90"), raster + "0123456789");
  r = run({"A"});
  EXPECT_EQ(r.status, 4);
  EXPECT_EQ(r.err,
            "Long raster A.dem: 28810 bytes where its header describes 120 rows (28800 bytes)\n" +
                summary);
  EXPECT_EQ(output(), raster);
}

TEST_F(Stitch, EmptyHeaderGivesTheTruncatedMosaicWithSpillingRowsAndIsReported) {
  std::string raster = tile_raster(6000, 4800, 0);
  tile("E", "", raster);
  Result r = run({"E"});
  ASSERT_EQ(r.status, 4);
  EXPECT_EQ(r.err,
            "Doubtful header E.hdr: it gives no corner (ULXMAP and ULYMAP, or left_map_x and "
            "upper_map_y); the tile is copied as it is\n"
            "1 of 1 named tiles was not used, or not used fully: E\n");
  EXPECT_NE(r.out.find("4799x5999 samples = 57578402 bytes\n"), std::string::npos);
  std::string mosaic = output();
  ASSERT_EQ(mosaic.size(), size_t{5999} * 9598 + 9600);
  for (int row : {0, 1, 2998, 5998}) {
    EXPECT_EQ(mosaic.substr(size_t(row) * 9598, 9598), raster.substr(size_t(row) * 9600, 9598));
  }
  EXPECT_EQ(mosaic.substr(size_t{5999} * 9598), raster.substr(size_t{5999} * 9600));
  EXPECT_NE(output_header().find("NROWS         5999\r\nNCOLS         4799\r\n"),
            std::string::npos);
}

TEST_F(Stitch, OffsetsMoveNothingInTheTilesOwnCoordinates) {
  std::string raster = tile_raster(120, 120, 0);
  tile("A", bil_header(120, 120, "-180", "90"), raster);
  Result plain = run({"A"});
  std::string header = output_header();
  Result shifted = run({"A", "-0.5,0.25"});
  EXPECT_EQ(shifted.status, 0);
  EXPECT_EQ(shifted.out, plain.out);
  EXPECT_EQ(output_header(), header);
  EXPECT_EQ(output(), raster);
}

TEST_F(Stitch, NoReadableHeaderReportsTheInsideOutWorldAndWritesNothing) {
  Result r = run({"nothing"});
  EXPECT_EQ(r.status, 4);
  EXPECT_EQ(r.out,
            "\n\nFinal output bounds:      -90.0    180.00     90.00   -180.00\n"
            "-43200x-21600 samples = 1866240000 bytes\n");
  EXPECT_EQ(r.err,
            "Error opening file nothing.hdr\n"
            "No tile header could be read: there is nothing to stitch\n"
            "1 of 1 named tiles was not used, or not used fully: nothing\n");
  EXPECT_FALSE(exists("GTResult.DEM"));
  EXPECT_FALSE(exists("GTResult.HDR"));
}

TEST_F(Stitch, UnusableBoundsWriteNothing) {
  for (const char* corner : {"nan", "inf", "1e30"}) {
    tile("A", bil_header(120, 120, corner, "90"), tile_raster(120, 120, 0));
    Result r = run({"A"});
    EXPECT_EQ(r.status, 4) << corner;
    EXPECT_EQ(r.err,
              "The tiles' bounds give no usable mosaic size: nothing written\n"
              "1 of 1 named tiles was not used, or not used fully: A\n");
    EXPECT_FALSE(exists("GTResult.DEM"));
  }
  tile("Z", bil_header(0, 120, "0", "0"), "");
  EXPECT_EQ(run({"Z"}).status, 4);
}

TEST_F(Stitch, NegativeRowLengthIsSkipped) {
  tile("A", bil_header(120, 120, "-180", "90"), tile_raster(120, 120, 0));
  tile("N", "TOTALROWBYTES -4\nNROWS 120\nNCOLS 120\nULXMAP -180\nULYMAP 90\n",
       tile_raster(120, 120, 5));
  Result r = run({"A", "N"});
  EXPECT_EQ(r.status, 4);
  EXPECT_EQ(r.err,
            "Skipped N.dem: its rows are -4 bytes long\n"
            "1 of 2 named tiles was not used, or not used fully: N\n");
  EXPECT_EQ(output(), tile_raster(120, 120, 0));
}

TEST_F(Stitch, HostileHeadersGiveAResultOrAClearMessage) {
  using namespace std::string_literals;
  std::string garbage;
  for (int i = 0; i < 4096; ++i) garbage.push_back(static_cast<char>((i * 7919) % 256));
  const std::string corner = "ULXMAP 0\nULYMAP 0\n";
  for (const std::string& header :
       {garbage, std::string(1 << 20, 'N'), "NROWS 3\0NCOLS 9\nNCOLS 4\n"s + corner,
        "NROWS -5\nNCOLS 4\n" + corner, "NROWS 3\nNCOLS 2147483647\nXDIM 1e-9\n" + corner,
        "NROWS 3\nNCOLS 4\nTOTALROWBYTES 0\n" + corner,
        "NROWS 3\nNCOLS 4\nTOTALROWBYTES 2000000000\n" + corner,
        "NROWS 3\nNCOLS 4\nXDIM -1\nYDIM -1\n" + corner, "NROWS 3\nNCOLS 4\nXDIM 1e30\n" + corner,
        "ULXMAP -inf\nULYMAP nan\n"s,
        "number_of_columns 1000\ndata_representation l\nNROWS 2\n" + corner}) {
    tile("H", header, tile_raster(3, 4, 0));
    Result r = run({"H"});
    EXPECT_TRUE(r.status == 0 || r.status == 4) << r.status << " " << r.err;
    if (r.status == 0) {
      EXPECT_EQ(r.err, "");
    } else {
      EXPECT_NE(r.err, "");
    }
    EXPECT_TRUE(leftovers().empty());
  }
}

TEST_F(Stitch, HelpVersionAndUnknownOptions) {
  tile("A", bil_header(120, 120, "-180", "90"), tile_raster(120, 120, 0));
  Result help = run({"A", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.find(std::string("Usage: ") + DEMSTITCH_BINARY + " [-h,w] [--bounds="), 0u);
  EXPECT_NE(help.out.find("Exit status:"), std::string::npos);
  EXPECT_EQ(help.err, "");
  Result version = run({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.find("demstitch "), 0u);
  Result unknown = run({"A", "--bogus", "--help"});
  EXPECT_EQ(unknown.status, 2);
  EXPECT_EQ(unknown.out, "");
  EXPECT_EQ(unknown.err, std::string("Unknown option --bogus: '") + DEMSTITCH_BINARY +
                             " --help' lists the options\n");
  EXPECT_FALSE(exists("GTResult.DEM"));
  // A negative offset still reads as one.
  tile("B", bil_header(120, 120, "10", "10"), tile_raster(120, 120, 0));
  Result offset = run({"--5,3", "B"});
  EXPECT_EQ(offset.status, 0) << offset.err;
  EXPECT_NE(offset.out.find("\rB.hdr\n"), std::string::npos);
}

TEST_F(Stitch, NamesMayCarryEitherFilesExtension) {
  std::string raster = tile_raster(120, 120, 7);
  write_file(dir_ / "W020N40.HDR", bil_header(120, 120, "-20", "40"));
  write_file(dir_ / "W020N40.DEM", raster);
  for (const char* name : {"W020N40.DEM", "W020N40.hdr"}) {
    Result r = run({name});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\rW020N40.HDR\n"), std::string::npos) << name;
    EXPECT_NE(r.out.find("0% W020N40.DEM" + blanks), std::string::npos) << name;
    EXPECT_TRUE(output() == raster) << name;
  }
  Result missing = run({"X.DEM"});
  EXPECT_EQ(missing.err.find("Error opening file X.DEM.hdr\n"), 0u);
}

TEST_F(Stitch, AFileThatIsThereButCannotBeOpenedSaysWhy) {
  tile("A", bil_header(120, 120, "-180", "90"), tile_raster(120, 120, 0));
  fs::create_directory(dir_ / "B.hdr");
  Result r = run({"A", "B"});
  EXPECT_EQ(r.status, 4);
  EXPECT_EQ(r.err,
            "Error opening file B.hdr\nB.hdr: Is a directory\n"
            "1 of 2 named tiles was not used, or not used fully: B\n");
}

TEST_F(Stitch, TheTilesCoordinateSystemIsCarriedOver) {
  const std::string utm = "PROJCS[\"WGS_1984_UTM_Zone_33N\"]\r\n";
  tile("A", bil_header(120, 120, "-180", "90"), tile_raster(120, 120, 0));
  tile("B", bil_header(120, 120, "-179", "90"), tile_raster(120, 120, 0));
  write_file(dir_ / "A.PRJ", utm);
  Result r = run({"B", "A"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(dir_ / "GTResult.prj"), utm);
  write_file(dir_ / "B.prj", "GEOGCS[\"other\"]");
  r = run({"A", "B"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err,
            "A.PRJ and B.prj describe different coordinate systems: the result takes A.PRJ\n");
  EXPECT_EQ(read_file(dir_ / "GTResult.prj"), utm);
  // One that is there but cannot be used is named; the result does without it.
  fs::remove(dir_ / "A.PRJ");
  fs::remove(dir_ / "B.prj");
  ASSERT_EQ(::mkfifo((dir_ / "A.prj").c_str(), 0644), 0);
  write_file(dir_ / "B.prj", std::string((1 << 20) + 1, ' '));
  r = run({"A", "B"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err,
            "Coordinate system not used: A.prj: not a regular file\n"
            "Coordinate system not used: B.prj: too long for a coordinate system\n");
  EXPECT_EQ(read_file(dir_ / "GTResult.prj").substr(0, 20), "GEOGCS[\"GCS_WGS_1984");
}

TEST_F(Stitch, OnATerminalTheLastProgressLineIsEnded) {
  tile("A", bil_header(120, 120, "-180", "90"), tile_raster(120, 120, 0));
  int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  int terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  pid_t pid = testing::start_demstitch(dir_.path(), {"A"}, terminal);
  ::close(terminal);
  std::string seen;
  char buffer[4096];
  for (ssize_t n; (n = ::read(master, buffer, sizeof buffer)) > 0;) seen.append(buffer, n);
  ::close(master);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  // The terminal shows a line feed as CR LF.
  EXPECT_TRUE(seen.ends_with(blanks + "\r\r\n")) << seen.substr(seen.size() - 20);
}

TEST_F(Stitch, AWindowReadsOnlyTheTilesItTouches) {
  tile("A", bil_header(120, 120, "-179.9958333", "89.9958333"), tile_raster(120, 120, 0));
  // B lies a degree east of A and has no raster: outside the window it is never looked for.
  write_file(dir_ / "B.hdr", bil_header(120, 120, "-178.9958333", "89.9958333"));
  fs::create_directory(dir_ / "out");
  Result r = run({"--bounds=-180,89.5,-179.5,90", "--output=out/region", "A", "B"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("60x60 samples = 7200 bytes\n"), std::string::npos);
  std::string expected;
  for (int row = 0; row < 60; ++row) expected += tile_raster(120, 120, 0).substr(row * 240, 120);
  EXPECT_TRUE(read_file(dir_ / "out/region.DEM") == expected);
  EXPECT_NE(read_file(dir_ / "out/region.HDR").find("ULXMAP        -179.995833333333\r\n"),
            std::string::npos);
  EXPECT_TRUE(exists("out/region.prj"));
  EXPECT_FALSE(exists("GTResult.DEM"));
  // A window no tile touches writes nothing.
  Result none = run({"--bounds=10,10,11,11", "--output=out/none", "A", "B"});
  EXPECT_EQ(none.status, 4);
  EXPECT_NE(none.err.find("No named tile touches the window given by --bounds: nothing written\n"),
            std::string::npos);
  EXPECT_FALSE(exists("out/none.DEM"));
  // A result named like a tile would replace the tile's own files: refused.
  write_file(dir_ / "U.HDR", read_file(dir_ / "A.hdr"));
  write_file(dir_ / "U.DEM", read_file(dir_ / "A.dem"));
  Result tile_name = run({"--bounds=-180,89.5,-179.5,90", "--output=U", "U"});
  EXPECT_EQ(tile_name.status, 2);
  EXPECT_EQ(tile_name.err,
            "The tile U is the result this run would replace: nothing read or written (remove it "
            "from the tiles, or write the result elsewhere with --output)\n");
  EXPECT_TRUE(read_file(dir_ / "U.DEM") == read_file(dir_ / "A.dem"));
  // A folder that does not exist is the output's problem, found before any tile is read.
  Result missing = run({"--bounds=-180,89.5,-179.5,90", "--output=nowhere/region", "A"});
  EXPECT_EQ(missing.status, 3);
  EXPECT_EQ(missing.out, "");
  EXPECT_EQ(missing.err,
            "Unable to open output file\nnowhere: no such folder, for nowhere/region.DEM (make it "
            "first)\n");
  // A GeoTIFF named after its only tile is no file of the tile.
  EXPECT_EQ(run({"--output=U.tif", "U"}).status, 0);
}

class KeepsEarlierResult : public Stitch {
 protected:
  void SetUp() override {
    tile("A", bil_header(120, 120, "-180", "90"), tile_raster(120, 120, 0));
    write_file(dir_ / "GTResult.DEM", "old raster");
    write_file(dir_ / "GTResult.HDR", "old header");
  }
  void expect_untouched() {
    EXPECT_EQ(output(), "old raster");
    EXPECT_EQ(output_header(), "old header");
    EXPECT_TRUE(leftovers().empty());
  }
};

TEST_F(KeepsEarlierResult, WhenTheOutputNameIsAFolder) {
  fs::remove(dir_ / "GTResult.DEM");
  fs::create_directory(dir_ / "GTResult.DEM");
  Result r = run({"A"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "Unable to open output file\nGTResult.DEM: Is a directory\n");
  EXPECT_EQ(output_header(), "old header");
  EXPECT_TRUE(leftovers().empty());
}

TEST_F(KeepsEarlierResult, WhenTheHeaderNameIsAFolder) {
  fs::remove(dir_ / "GTResult.HDR");
  fs::create_directory(dir_ / "GTResult.HDR");
  Result r = run({"A"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "Unable to write header file for result\nGTResult.HDR: Is a directory\n");
  EXPECT_EQ(output(), "old raster");
  EXPECT_TRUE(leftovers().empty());
}

TEST_F(KeepsEarlierResult, WhenAWriteFails) {
  Result r = run({"A"}, 4096);
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "Unable to write output file\nGTResult.DEM: File too large\n");
  expect_untouched();
}

TEST_F(KeepsEarlierResult, WhenTheMosaicCannotFitOnTheDisk) {
  tile("B", bil_header(2000000000, 100000, "0", "0"), "");
  Result r = run({"B"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err.find("Not enough space for GTResult.DEM: "), 0u) << r.err;
  expect_untouched();
}

TEST_F(KeepsEarlierResult, WhenInterrupted) {
  // Five million rows make some 60 MB of progress lines: the run blocks on the unread pipe
  // while it prints them, and is interrupted there.
  tile("P", "NROWS 5000000\nNCOLS 120\nULXMAP -180\nULYMAP 90\nYDIM 0.0000001\n",
       tile_raster(2, 120, 0));
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  pid_t pid = ::fork();
  if (pid == 0) {
    if (::chdir(dir_.path().c_str()) != 0) ::_exit(127);
    ::dup2(pipe_fds[1], 1);
    ::close(pipe_fds[0]);
    int err = ::open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(err, 2);
    ::execl(DEMSTITCH_BINARY, DEMSTITCH_BINARY, "P", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(pipe_fds[1]);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ::kill(pid, SIGINT);
  char buffer[65536];
  while (::read(pipe_fds[0], buffer, sizeof buffer) > 0) {
  }
  ::close(pipe_fds[0]);
  int wait_status = 0;
  ::waitpid(pid, &wait_status, 0);
  // The run ends by the signal itself, as a shell expects of a program it interrupts.
  ASSERT_TRUE(WIFSIGNALED(wait_status));
  EXPECT_EQ(WTERMSIG(wait_status), SIGINT);
  fs::remove(dir_ / "stderr.txt");
  expect_untouched();
}

}  // namespace
}  // namespace demstitch
