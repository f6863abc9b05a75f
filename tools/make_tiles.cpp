// Writes synthetic elevation tiles in the dataset's form: a 14-line header with the corner
// at the centre of the upper-left sample, and big-endian 16-bit samples of made-up terrain
// (sea as -9999). "world" writes the 33 tiles of the whole grid in their real layout
// (about 1.87 GB); "sample" writes a 2 x 2 block of small tiles, one with upper-case names.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "formats/tile_header.hpp"

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr double step = 1.0 / 120;

struct TileSpec {
  std::string name;
  int west;   // degrees of the tile's west edge
  int north;  // degrees of its north edge
  int cols;
  int rows;
  bool upper_case;
};

// The dataset's names: the tile whose west edge is the prime meridian is W000S60.
std::string degrees_name(int west, int north) {
  char text[32];
  std::snprintf(text, sizeof text, "%c%03d%c%02d", west <= 0 ? 'W' : 'E', std::abs(west),
                north < 0 ? 'S' : 'N', std::abs(north));
  return text;
}

uint32_t mix(uint32_t x) {
  x ^= x >> 16;
  x *= 0x7feb352dU;
  x ^= x >> 15;
  x *= 0x846ca68bU;
  x ^= x >> 16;
  return x;
}

// Terrain as a sum of terms that each depend on longitude or latitude alone, so that a row
// costs one multiply-add a sample; a hash adds roughness.
void write_raster(const TileSpec& tile, const std::filesystem::path& path) {
  std::vector<double> lon_a(tile.cols), lon_b(tile.cols);
  for (int c = 0; c < tile.cols; ++c) {
    double lon = (tile.west + (c + 0.5) * step) * pi / 180;
    lon_a[c] = std::sin(lon * 3) + 0.5 * std::sin(lon * 7 + 1);
    lon_b[c] = 700 * std::sin(lon * 11 + 2) + 300 * std::sin(lon * 37);
  }
  std::FILE* out = std::fopen(path.string().c_str(), "wb");
  if (!out) {
    std::perror(path.string().c_str());
    std::exit(1);
  }
  std::vector<unsigned char> row(static_cast<size_t>(tile.cols) * 2);
  for (int r = 0; r < tile.rows; ++r) {
    double lat_deg = tile.north - (r + 0.5) * step;
    double lat = lat_deg * pi / 180;
    double lat_a = 2200 * std::cos(lat * 2.2) + 400 * std::sin(lat * 13);
    double lat_b = 600 * std::sin(lat * 9 + 0.5) - 700;
    auto global_row = static_cast<uint32_t>((90 - tile.north) * 120 + r);
    for (size_t c = 0; c < lon_a.size(); ++c) {
      auto global_col = static_cast<uint32_t>((tile.west + 180) * 120) + static_cast<uint32_t>(c);
      double noise = static_cast<double>(mix(global_row * 65599U + global_col) & 127) - 64;
      double h = lat_a * lon_a[c] + lon_b[c] + lat_b + noise;
      if (lat_deg < -66) h = 1800 + std::abs(h) * 0.3;  // the ice cap
      auto sample = static_cast<int16_t>(h < 0 ? -9999 : std::min(h, 8800.0));
      auto bits = static_cast<uint16_t>(sample);
      row[2 * c] = static_cast<unsigned char>(bits >> 8);
      row[2 * c + 1] = static_cast<unsigned char>(bits & 0xFF);
    }
    if (std::fwrite(row.data(), 1, row.size(), out) != row.size()) {
      std::perror(path.string().c_str());
      std::exit(1);
    }
  }
  if (std::fclose(out) != 0) {
    std::perror(path.string().c_str());
    std::exit(1);
  }
}

void write_header(const TileSpec& tile, const std::filesystem::path& path) {
  std::FILE* out = std::fopen(path.string().c_str(), "wb");
  if (!out) {
    std::perror(path.string().c_str());
    std::exit(1);
  }
  char ulx[32];
  char uly[32];
  std::snprintf(ulx, sizeof ulx, "%.15g", tile.west + step / 2);
  std::snprintf(uly, sizeof uly, "%.15g", tile.north - step / 2);
  std::string text =
      demstitch::bil_header_text(tile.rows, tile.cols, ulx, uly, "0.00833333333333", 16);
  std::fwrite(text.data(), 1, text.size(), out);
  std::fclose(out);
}

std::vector<TileSpec> world() {
  std::vector<TileSpec> tiles;
  for (int north : {90, 40, -10}) {
    for (int west = -180; west < 180; west += 40) {
      tiles.push_back({degrees_name(west, north), west, north, 4800, 6000, true});
    }
  }
  for (int west = -180; west < 180; west += 60) {
    tiles.push_back({degrees_name(west, -60), west, -60, 7200, 3600, true});
  }
  return tiles;
}

std::vector<TileSpec> sample() {
  return {{"E169N12", 169, 12, 240, 240, false},
          {"E171N12", 171, 12, 240, 240, false},
          {"E169N10", 169, 10, 240, 240, true},
          {"E171N10", 171, 10, 240, 240, false}};
}

}  // namespace

int main(int argc, char** argv) {
  std::string kind = argc > 1 ? argv[1] : "";
  if (argc != 3 || (kind != "world" && kind != "sample")) {
    std::fprintf(stderr, "usage: %s world|sample FOLDER\n", argv[0]);
    return 2;
  }
  std::filesystem::path folder = argv[2];
  std::filesystem::create_directories(folder);
  for (const TileSpec& tile : kind == "world" ? world() : sample()) {
    write_header(tile, folder / (tile.name + (tile.upper_case ? ".HDR" : ".hdr")));
    write_raster(tile, folder / (tile.name + (tile.upper_case ? ".DEM" : ".dem")));
    std::printf("%s\n", tile.name.c_str());
  }
  return 0;
}
