// GDAL, the library most GIS tools read rasters with, opens our result: it must see the
// size, type, no-data value and georeferencing the header declares, the samples of every
// tile, and the same values as GDAL's own mosaic of the same tiles.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "tests/run_program.hpp"
#include "tests/tile_writer.hpp"

namespace demstitch {
namespace {

namespace fs = std::filesystem;

// Runs a shell command in `folder`; returns its standard output, or nothing on failure.
std::optional<std::string> shell(const fs::path& folder, const std::string& command) {
  std::string line = "cd '" + folder.string() + "' && " + command + " 2>/dev/null";
  std::FILE* pipe = ::popen(line.c_str(), "r");
  if (!pipe) return std::nullopt;
  std::string out;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  if (::pclose(pipe) != 0) return std::nullopt;
  return out;
}

std::string without_blanks(std::string text) {
  std::erase_if(text, [](char c) { return c == ' ' || c == '\n' || c == '\r'; });
  return text;
}

std::vector<double> numbers_after(const std::string& text, const std::string& key) {
  std::vector<double> values;
  size_t at = text.find(key);
  if (at == std::string::npos) return values;
  const char* p = text.c_str() + at + key.size();
  while (*p != ']') {
    char* end = nullptr;
    values.push_back(std::strtod(p, &end));
    p = *end == ',' ? end + 1 : end;
    if (end == p && *p != ']') break;
  }
  return values;
}

int16_t sample(const std::string& raster, size_t index, bool big_endian) {
  auto a = static_cast<uint8_t>(raster[2 * index]);
  auto b = static_cast<uint8_t>(raster[2 * index + 1]);
  return static_cast<int16_t>(big_endian ? (a << 8 | b) : (b << 8 | a));
}

class Gdal : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!shell(dir_.path(), "gdalinfo --version")) {
      GTEST_SKIP() << "SKIPPED: GDAL's command-line tools (gdal-bin) are not installed";
    }
    // Three tiles of a 2 x 2 block; the missing lower-right one leaves a no-data gap.
    ASSERT_TRUE(shell(dir_.path(), std::string("'") + DEMSTITCH_MAKE_TILES + "' sample ."));
    testing::Result r = testing::run_demstitch(dir_.path(), {"E169N12", "E171N12", "E169N10"});
    ASSERT_EQ(r.status, 0) << r.err;
  }

  std::string value_at(int x, int y) {
    return shell(dir_.path(), "gdallocationinfo -valonly GTResult.DEM " + std::to_string(x) + " " +
                                  std::to_string(y))
        .value_or("(failed)");
  }

  testing::TempDir dir_;
};

TEST_F(Gdal, ReadsTheDeclaredSizeTypeNoDataAndGeoreferencing) {
  auto info = shell(dir_.path(), "gdalinfo -json GTResult.DEM");
  ASSERT_TRUE(info);
  std::string json = without_blanks(*info);
  EXPECT_NE(json.find("\"driverShortName\":\"EHdr\""), std::string::npos);
  EXPECT_NE(json.find("\"size\":[480,480]"), std::string::npos);
  EXPECT_NE(json.find("\"type\":\"Int16\""), std::string::npos);
  EXPECT_NE(json.find("\"noDataValue\":-9999.0"), std::string::npos);
  // The header says ULXMAP 169.004166, ULYMAP 11.995833 (single-precision corner, six
  // decimals) and the exact spacing; GDAL takes the corner as the centre of the first sample.
  std::vector<double> transform = numbers_after(json, "\"geoTransform\":[");
  ASSERT_EQ(transform.size(), 6u);
  EXPECT_NEAR(transform[0], 169.004166 - 1.0 / 240, 1e-9);
  EXPECT_NEAR(transform[1], 1.0 / 120, 1e-12);
  EXPECT_NEAR(transform[3], 11.995833 + 1.0 / 240, 1e-9);
  EXPECT_NEAR(transform[5], -1.0 / 120, 1e-12);
  // And the coordinate system of the .prj written beside it.
  EXPECT_EQ(shell(dir_.path(), "gdalsrsinfo -e GTResult.DEM | grep -o EPSG:4326"), "EPSG:4326\n");
}

TEST_F(Gdal, SamplesOfEveryTileAndTheGap) {
  struct Tile {
    const char* raster;
    int col;
    int row;
  };
  for (Tile t :
       {Tile{"E169N12.dem", 0, 0}, Tile{"E171N12.dem", 240, 0}, Tile{"E169N10.DEM", 0, 240}}) {
    std::string raster = testing::read_file(dir_ / t.raster);
    for (auto [x, y] : {std::pair{0, 0}, std::pair{239, 239}, std::pair{17, 203}}) {
      std::string expected = std::to_string(sample(raster, y * 240 + x, true)) + "\n";
      EXPECT_EQ(value_at(t.col + x, t.row + y), expected) << t.raster << " " << x << "," << y;
    }
  }
  EXPECT_EQ(value_at(300, 300), "-9999\n");
  EXPECT_EQ(value_at(479, 479), "-9999\n");
}

TEST_F(Gdal, GdalsOwnMosaicHoldsTheSameValueAtEverySample) {
  ASSERT_TRUE(shell(dir_.path(),
                    "gdalbuildvrt -q peer.vrt E169N12.dem E171N12.dem E169N10.DEM && "
                    "gdal_translate -q -of EHdr peer.vrt peer.bil"));
  std::string peer_header = without_blanks(testing::read_file(dir_ / "peer.hdr"));
  ASSERT_NE(peer_header.find("NROWS480"), std::string::npos);
  ASSERT_NE(peer_header.find("NCOLS480"), std::string::npos);
  bool peer_big_endian = peer_header.find("BYTEORDERM") != std::string::npos;
  std::string ours = testing::read_file(dir_ / "GTResult.DEM");
  std::string peer = testing::read_file(dir_ / "peer.bil");
  ASSERT_EQ(ours.size(), peer.size());
  int differences = 0;
  for (size_t i = 0; i < ours.size() / 2; ++i) {
    if (sample(ours, i, true) != sample(peer, i, peer_big_endian) && ++differences <= 5) {
      ADD_FAILURE() << "sample " << i % 480 << "," << i / 480 << ": ours " << sample(ours, i, true)
                    << ", GDAL's " << sample(peer, i, peer_big_endian);
    }
  }
  EXPECT_EQ(differences, 0);
}

TEST_F(Gdal, SideFilesOfTheEarlierResultGoWithIt) {
  // gdaladdo may also rewrite the header in lower case, which GDAL then reads first.
  ASSERT_TRUE(shell(dir_.path(),
                    "gdalinfo -stats GTResult.DEM >/dev/null && "
                    "gdaladdo -q GTResult.DEM 2 && touch GTResult.stx GTResult.STX && "
                    "{ [ -e GTResult.hdr ] || cp GTResult.HDR GTResult.hdr; }"));
  ASSERT_TRUE(fs::exists(dir_ / "GTResult.DEM.aux.xml"));
  ASSERT_TRUE(fs::exists(dir_ / "GTResult.DEM.ovr"));
  testing::Result r = testing::run_demstitch(dir_.path(), {"E171N10"});
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* side : {"GTResult.DEM.aux.xml", "GTResult.DEM.ovr", "GTResult.stx",
                           "GTResult.STX", "GTResult.hdr"}) {
    EXPECT_FALSE(fs::exists(dir_ / side)) << side;
  }
  auto info = shell(dir_.path(), "gdalinfo -json GTResult.DEM");
  ASSERT_TRUE(info);
  EXPECT_NE(without_blanks(*info).find("\"size\":[240,240]"), std::string::npos);
  EXPECT_EQ(without_blanks(*info).find("overviews"), std::string::npos);
}

// The world's north-west and south-east tiles, laid out as the dataset lays them: the mosaic
// spans the whole world, and GDAL must put its corners and every sample where they belong.
class GdalWorld : public Gdal {
 protected:
  void SetUp() override {
    if (!shell(dir_.path(), "gdalinfo --version")) GTEST_SKIP() << "SKIPPED: no GDAL";
    corner_tile("W180N90", -180, 90, 6000, 4800, 11);
    corner_tile("E120S60", 120, -60, 3600, 7200, 23);
    testing::Result r = testing::run_demstitch(dir_.path(), {"W180N90", "E120S60"});
    ASSERT_EQ(r.status, 0) << r.err;
  }

  void corner_tile(const std::string& name, int west, int north, int rows, int cols, int base) {
    char ulx[32];
    char uly[32];
    std::snprintf(ulx, sizeof ulx, "%.15g", west + 1.0 / 240);
    std::snprintf(uly, sizeof uly, "%.15g", north - 1.0 / 240);
    testing::write_file(dir_ / (name + ".HDR"), testing::bil_header(rows, cols, ulx, uly));
    testing::write_file(dir_ / (name + ".DEM"), testing::tile_raster(rows, cols, base));
  }
};

TEST_F(GdalWorld, CornersAndSampleCentresAreWhereTheTilesPutThem) {
  auto info = shell(dir_.path(), "gdalinfo -json GTResult.DEM");
  ASSERT_TRUE(info);
  std::string json = without_blanks(*info);
  EXPECT_NE(json.find("\"size\":[43200,21600]"), std::string::npos);
  std::vector<double> upper_left = numbers_after(json, "\"upperLeft\":[");
  std::vector<double> lower_right = numbers_after(json, "\"lowerRight\":[");
  ASSERT_EQ(upper_left.size(), 2u);
  ASSERT_EQ(lower_right.size(), 2u);
  EXPECT_NEAR(upper_left[0], -180, 1e-6);
  EXPECT_NEAR(upper_left[1], 90, 1e-6);
  EXPECT_NEAR(lower_right[0], 180, 1e-6);
  EXPECT_NEAR(lower_right[1], -90, 1e-6);

  // Sample centres across both tiles, their far corners above all, where a spacing off in
  // its last digits would move GDAL's grid by a sample or more.
  struct Probe {
    int west, north, cols, base, row, col;
  };
  std::vector<Probe> probes;
  for (auto [row, col] :
       {std::pair{0, 0}, std::pair{5999, 4799}, std::pair{3001, 17}, std::pair{42, 4700}}) {
    probes.push_back({-180, 90, 4800, 11, row, col});
  }
  for (auto [row, col] :
       {std::pair{0, 0}, std::pair{3599, 7199}, std::pair{1800, 7100}, std::pair{3500, 3600}}) {
    probes.push_back({120, -60, 7200, 23, row, col});
  }
  std::string points;
  std::string expected;
  for (const Probe& p : probes) {
    points += std::to_string(p.west + (p.col + 0.5) / 120) + " " +
              std::to_string(p.north - (p.row + 0.5) / 120) + "\n";
    auto value = static_cast<int16_t>(static_cast<uint16_t>(p.base + p.row * p.cols + p.col));
    expected += std::to_string(value) + "\n";
  }
  points += "0.5 0.5\n";  // between the tiles
  expected += "-9999\n";
  testing::write_file(dir_ / "points.txt", points);
  EXPECT_EQ(shell(dir_.path(), "gdallocationinfo -valonly -geoloc GTResult.DEM <points.txt"),
            expected);
}

// Regions cut out with --bounds must be what GDAL makes of the same tiles on the aligned
// 30-arc-second grid: same size, same corner, same value in every cell.
class GdalRegion : public Gdal {
 protected:
  // Cuts the window from the four sample tiles, both ways, and compares.
  void expect_as_gdal(double west, double south, double east, double north) {
    const std::string bounds = format_bounds(west, south, east, north);
    testing::Result r = testing::run_demstitch(
        dir_.path(),
        {"--bounds=" + bounds, "--output=region", "E169N12", "E171N12", "E169N10", "E171N10"});
    ASSERT_EQ(r.status, 0) << bounds << ": " << r.err;
    ASSERT_TRUE(shell(dir_.path(),
                      "gdalbuildvrt -q -overwrite all.vrt E169N12.dem E171N12.dem E169N10.DEM "
                      "E171N10.dem && gdalwarp -q -overwrite -tap -tr 0.008333333333333333 "
                      "0.008333333333333333 -r near -te " +
                          std::to_string(west) + " " + std::to_string(south) + " " +
                          std::to_string(east) + " " + std::to_string(north) +
                          " all.vrt peer.tif && gdal_translate -q -of EHdr peer.tif peer.bil"))
        << bounds;
    auto ours = shell(dir_.path(), "gdalinfo -json region.DEM");
    auto peer = shell(dir_.path(), "gdalinfo -json peer.tif");
    ASSERT_TRUE(ours && peer);
    std::vector<double> ours_transform = numbers_after(without_blanks(*ours), "\"geoTransform\":[");
    std::vector<double> peer_transform = numbers_after(without_blanks(*peer), "\"geoTransform\":[");
    ASSERT_EQ(ours_transform.size(), 6u);
    ASSERT_EQ(peer_transform.size(), 6u);
    for (size_t k = 0; k < 6; ++k) {
      EXPECT_NEAR(ours_transform[k], peer_transform[k], 1e-6) << bounds << " term " << k;
    }
    bool peer_big_endian =
        without_blanks(testing::read_file(dir_ / "peer.hdr")).find("BYTEORDERM") !=
        std::string::npos;
    std::string ours_raster = testing::read_file(dir_ / "region.DEM");
    std::string peer_raster = testing::read_file(dir_ / "peer.bil");
    ASSERT_EQ(ours_raster.size(), peer_raster.size()) << bounds;
    for (size_t i = 0; i < ours_raster.size() / 2; ++i) {
      ASSERT_EQ(sample(ours_raster, i, true), sample(peer_raster, i, peer_big_endian))
          << bounds << " sample " << i;
    }
  }

  static std::string format_bounds(double west, double south, double east, double north) {
    char text[128];
    std::snprintf(text, sizeof text, "%g,%g,%g,%g", west, south, east, north);
    return text;
  }
};

TEST_F(GdalRegion, WindowsAreWhatGdalCutsFromTheSameTiles) {
  expect_as_gdal(169.5, 10.5, 170.5, 11.5);         // inside one tile
  expect_as_gdal(170.5, 9.5, 171.5, 10.5);          // the corner of all four
  expect_as_gdal(172.5, 7.5, 174, 9);               // partly outside every tile
  expect_as_gdal(170.123, 9.456, 171.789, 10.001);  // edges between cell edges
}

TEST_F(GdalRegion, TheWholeExtentIsThePlainMosaic) {
  testing::Result all =
      testing::run_demstitch(dir_.path(), {"E169N12", "E171N12", "E169N10", "E171N10"});
  ASSERT_EQ(all.status, 0);
  testing::Result region = testing::run_demstitch(
      dir_.path(),
      {"--bounds=169,8,173,12", "--output=region", "E169N12", "E171N12", "E169N10", "E171N10"});
  ASSERT_EQ(region.status, 0);
  EXPECT_TRUE(testing::read_file(dir_ / "region.DEM") == testing::read_file(dir_ / "GTResult.DEM"));
}

TEST_F(GdalRegion, AWindowAcrossTheAntimeridianIsOneRaster) {
  // One-degree tiles on either side of 180.
  for (auto [name, west] : {std::pair{"E179", 179}, std::pair{"W180", -180}}) {
    testing::write_file(dir_ / (std::string(name) + ".hdr"),
                        testing::bil_header(120, 120, std::to_string(west + 1.0 / 240),
                                            std::to_string(-9 - 1.0 / 240)));
    testing::write_file(dir_ / (std::string(name) + ".dem"),
                        testing::tile_raster(120, 120, west > 0 ? 1000 : 20000));
  }
  testing::Result r = testing::run_demstitch(
      dir_.path(), {"--bounds=179.5,-10,-179.5,-9", "--output=fiji", "W180", "E179"});
  ASSERT_EQ(r.status, 0) << r.err;
  auto info = shell(dir_.path(), "gdalinfo -json fiji.DEM");
  ASSERT_TRUE(info);
  std::string json = without_blanks(*info);
  EXPECT_NE(json.find("\"size\":[120,120]"), std::string::npos);
  std::vector<double> upper_left = numbers_after(json, "\"upperLeft\":[");
  std::vector<double> lower_right = numbers_after(json, "\"lowerRight\":[");
  ASSERT_EQ(upper_left.size(), 2u);
  ASSERT_EQ(lower_right.size(), 2u);
  // The origin lies on the grid closely enough that a query on a grid line finds its cell.
  EXPECT_NEAR(upper_left[0], 179.5, 1e-9);
  EXPECT_NEAR(upper_left[1], -9, 1e-9);
  EXPECT_NEAR(lower_right[0], 180.5, 1e-9);
  // The sample at 180.25 east, 9.5 south is the western tile's at -179.75: row 60, column 30.
  auto value = [&](double lon) {
    return shell(dir_.path(),
                 "gdallocationinfo -valonly -geoloc fiji.DEM " + std::to_string(lon) + " -9.504167")
        .value_or("(failed)");
  };
  EXPECT_EQ(value(180.254167), std::to_string(20000 + 60 * 120 + 30) + "\n");
  EXPECT_EQ(value(179.754167), std::to_string(1000 + 60 * 120 + 90) + "\n");
}

}  // namespace
}  // namespace demstitch

namespace demstitch {
namespace {

// The COG judged by GDAL (tests/cog_check.py): its validator passes, it reads EPSG:4326,
// NoData -9999, LAYOUT=COG, the .DEM's size, geotransform and values, and every overview
// equals the one GDAL's COG driver makes from the .DEM of the same run.
class Cog : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!shell(dir_.path(), "/usr/bin/python3 -c 'import numpy, osgeo_utils'")) {
      GTEST_SKIP() << "SKIPPED: GDAL's Python bindings and NumPy (python3-gdal, python3-numpy) "
                      "are not installed";
    }
  }

  // Writes the .DEM and then the COG of `args`; returns what cog_check says, "" when the COG
  // passes.
  std::string judged(std::vector<std::string> args, const std::string& cog_options = "",
                     const std::string& resampling = "average") {
    std::vector<std::string> raw = args;
    raw.insert(raw.begin(), "--output=raw");
    testing::Result r = testing::run_demstitch(dir_.path(), raw);
    if (r.status != 0) return "raw: " + r.err;
    std::vector<std::string> cog = args;
    cog.insert(cog.begin(), "--output=cog.tif");
    if (!cog_options.empty()) cog.insert(cog.begin(), cog_options);
    r = testing::run_demstitch(dir_.path(), cog);
    if (r.status != 0) return "cog: " + r.err;
    auto out = shell(dir_.path(), std::string("/usr/bin/python3 '") + DEMSTITCH_COG_CHECK +
                                      "' cog.tif raw.DEM " + resampling + " || true");
    if (!out || out->find("matches GDAL") == std::string::npos) return out.value_or("no check");
    return "";
  }

  void tile(const std::string& name, const std::string& ulx, const std::string& uly, int rows,
            int cols, int base) {
    testing::write_file(dir_ / (name + ".HDR"), testing::bil_header(rows, cols, ulx, uly));
    testing::write_file(dir_ / (name + ".DEM"), testing::tile_raster(rows, cols, base));
  }

  testing::TempDir dir_;
};

TEST_F(Cog, TheSampleSetWithItsGap) {
  ASSERT_TRUE(shell(dir_.path(), std::string("'") + DEMSTITCH_MAKE_TILES + "' sample ."));
  EXPECT_EQ(judged({"E169N12", "E171N12", "E169N10"}), "");
  // Laid out with offsets, which the georeferencing takes off again as the header does.
  EXPECT_EQ(judged({"-1,2", "E169N12", "E171N10"}), "");
  // libtiff's own tools read it too.
  EXPECT_TRUE(
      shell(dir_.path(), "tiffinfo -D cog.tif >/dev/null 2>&1 && tiffdump cog.tif >/dev/null"));
}

// Negative samples (the raster wraps past 32767), holes between the tiles and odd sizes,
// whose overviews weigh partly covered samples; every compression and resampling.
TEST_F(Cog, NegativeValuesHolesAndOddSizesInEveryCompression) {
  tile("A", "-9.995833", "49.995833", 1100, 700, 30000);
  tile("B", "-3.329167", "45.829167", 700, 1300, -20000);
  EXPECT_EQ(judged({"A", "B"}), "");
  EXPECT_EQ(judged({"A", "B"}, "--overviews=nearest", "nearest"), "");
  EXPECT_EQ(judged({"A", "B"}, "--overviews=none", "none"), "");
  for (const char* compression : {"--compress=lzw", "--compress=none", "--compress=zstd"}) {
    if (std::string(compression) == "--compress=zstd" &&
        testing::run_demstitch(dir_.path(), {"--format=cog", compression, "A"}).status == 2) {
      continue;  // a build without zstd says so
    }
    EXPECT_EQ(judged({"A", "B"}, compression), "") << compression;
  }
  EXPECT_EQ(judged({"A", "B"}, "--level=6"), "");
}

// Tiles side by side whose edges cut COG tiles: a COG tile is put together from the parts
// the runs on either side read. A tile across two of them lies lower down, so the runs'
// ends move from band to band.
TEST_F(Cog, TilesThatShareCogTilesSideBySide) {
  for (int k = 0; k < 4; ++k) {
    tile("T" + std::to_string(k), std::to_string(-10 + 5 * k) + ".004167", "49.995833", 1300, 600,
         1000 * k - 1500);
  }
  tile("X", "-7.495833", "42.495833", 300, 600, 7000);
  EXPECT_EQ(judged({"T0", "T1", "T2", "T3", "X"}), "");
  EXPECT_EQ(judged({"T0", "T1", "T2", "T3", "X"}, "--compress=none"), "");
}

TEST_F(Cog, ARegionAcrossTheAntimeridian) {
  tile("E", "175.004167", "9.995833", 1200, 600, 100);
  tile("W", "-179.995833", "9.995833", 1200, 600, -3000);
  EXPECT_EQ(judged({"--bounds=176.3,0.1,-176.7,9.7", "E", "W"}), "");
}

// The whole world's width: the memory stays under 64 MiB whatever the mosaic's size, read
// twice from the tile or once from its archive.
TEST_F(Cog, TheWorldsWidthInLittleMemory) {
  tile("E", "-179.995833", "9.995833", 1200, 1200, 5);
  EXPECT_EQ(judged({"--bounds=-180,-10,180,10", "E"}), "");
  ASSERT_TRUE(shell(dir_.path(), "tar -czf E.tar.gz E.DEM E.HDR"));
  for (const char* input : {"E", "E.tar.gz"}) {
    testing::Result r = testing::run_demstitch(
        dir_.path(), {"--no-cache", "--bounds=-180,-10,180,10", "--output=w.tif", input});
    ASSERT_EQ(r.status, 0) << r.err;
#if !defined(DEMSTITCH_SANITIZED)
    EXPECT_LE(r.peak_kb, 64 * 1024) << input;
#endif
    EXPECT_EQ(testing::read_file(dir_ / "w.tif"), testing::read_file(dir_ / "cog.tif")) << input;
  }
}

}  // namespace
}  // namespace demstitch

namespace demstitch {
namespace {

// The NetCDF result judged by GDAL, xarray, CDO and ncdump (tests/netcdf_check.py) against
// the .DEM of the same tiles.
class Netcdf : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!shell(dir_.path(), "/usr/bin/python3 -c 'import numpy, osgeo, xarray'")) {
      GTEST_SKIP() << "SKIPPED: GDAL's Python bindings, NumPy and xarray (python3-gdal, "
                      "python3-numpy, python3-xarray) are not installed";
    }
  }

  // Writes the .DEM and the .nc of `args`; returns what netcdf_check says, "" when it passes.
  std::string judged(std::vector<std::string> args) {
    for (const char* output : {"--output=raw", "--output=result.nc"}) {
      std::vector<std::string> run = args;
      run.insert(run.begin(), output);
      testing::Result r = testing::run_demstitch(dir_.path(), run);
      if (r.status != 0) return std::string(output) + ": " + r.err;
    }
    auto out = shell(dir_.path(), std::string("/usr/bin/python3 '") + DEMSTITCH_NETCDF_CHECK +
                                      "' result.nc raw.DEM || true");
    if (!out || out->find("matches GDAL") == std::string::npos) return out.value_or("no check");
    return "";
  }

  testing::TempDir dir_;
};

TEST_F(Netcdf, TheSampleSetARegionAndOneAcrossTheAntimeridian) {
  ASSERT_TRUE(shell(dir_.path(), std::string("'") + DEMSTITCH_MAKE_TILES + "' sample ."));
  EXPECT_EQ(judged({"E169N12", "E171N12", "E169N10"}), "");
  EXPECT_EQ(judged({"-1,2", "E169N12", "E171N10"}), "");
  // An odd number of samples, padded; and longitudes that go on past 180.
  EXPECT_EQ(judged({"--bounds=169.3,8.1,172.71,11.9", "E169N12", "E171N10"}), "");
  EXPECT_EQ(judged({"--bounds=170.2,8.5,-178.5,11.5", "E169N12", "E171N10", "E171N12"}), "");
}

}  // namespace
}  // namespace demstitch
