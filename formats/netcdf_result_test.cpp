#include "formats/netcdf_result.hpp"

#include <gtest/gtest.h>

#include <cstring>

namespace demstitch {
namespace {

uint32_t int32_at(const std::vector<std::byte>& bytes, size_t at) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i) value = value << 8 | std::to_integer<uint32_t>(bytes[at + i]);
  return value;
}

double double_at(const std::vector<std::byte>& bytes, size_t at) {
  uint64_t value = 0;
  for (size_t i = 0; i < 8; ++i) value = value << 8 | std::to_integer<uint64_t>(bytes[at + i]);
  return std::bit_cast<double>(value);
}

ResultGrid grid(int32_t width, int32_t height, double west = 175, double north = 10) {
  ResultGrid g;
  g.size = RasterSize{width, height};
  // The spacing as a raw header writes it, to 14 decimals: the file keeps the grid's own.
  g.geo = GeoTransform{west, north, 0.00833333333333, 0.00833333333333};
  g.history = "2026-12-08T00:00:00Z demstitch A";
  return g;
}

// The preamble's end, where the samples begin: after the header, the grid mapping's int and
// the two coordinate variables.
size_t header_size(const std::vector<std::byte>& preamble, const ResultGrid& g) {
  return preamble.size() - 4 - 8 * static_cast<size_t>(g.size.height + g.size.width);
}

TEST(NetcdfResult, TheHeaderSizesAndCellCentresOfAGridAcrossTheAntimeridian) {
  const ResultGrid g = grid(2401, 3);  // an odd number of samples: two bytes of padding
  const std::vector<std::byte> preamble = netcdf_preamble(g);
  ASSERT_EQ(std::memcmp(preamble.data(), "CDF\x02", 4), 0);
  EXPECT_EQ(int32_at(preamble, 24), 3u);  // lat, after "lat" padded to four bytes
  EXPECT_EQ(int32_at(preamble, 36), 2401u);
  const size_t header = header_size(preamble, g);
  // The elevation, last: its type, its padded size, where it begins.
  EXPECT_EQ(int32_at(preamble, header - 16), 3u);  // short
  EXPECT_EQ(int32_at(preamble, header - 12), 2401u * 3 * 2 + 2);
  EXPECT_EQ(int32_at(preamble, header - 4), preamble.size());
  EXPECT_EQ(netcdf_file_size(g), static_cast<int64_t>(preamble.size()) + 2401 * 3 * 2 + 2);
  // Centres on the 1/120-degree grid; longitudes go on past 180.
  const size_t lat = header + 4;
  const size_t lon = lat + 8 * 3;
  EXPECT_EQ(double_at(preamble, lat), 10 - 0.5 / 120);
  EXPECT_EQ(double_at(preamble, lat + 16), 10 - 2.5 / 120);
  EXPECT_EQ(double_at(preamble, lon), 175 + 0.5 / 120);
  EXPECT_NEAR(double_at(preamble, lon + 8 * 2400), 175 + 2400.5 / 120, 1e-12);
}

TEST(NetcdfResult, AVariableOverFourGibibytesSaysSoAsTheFormatAllows) {
  const ResultGrid world = grid(43200, 21600, -180, 90);
  const std::vector<std::byte> preamble = netcdf_preamble(world);
  EXPECT_EQ(int32_at(preamble, header_size(preamble, world) - 12), 43200u * 21600 * 2);
  const ResultGrid larger = grid(43200, 60000, -180, 90);
  const std::vector<std::byte> big = netcdf_preamble(larger);
  EXPECT_EQ(int32_at(big, header_size(big, larger) - 12), 0xFFFFFFFFu);
  EXPECT_EQ(netcdf_file_size(larger),
            static_cast<int64_t>(big.size()) + int64_t{43200} * 60000 * 2);
}

TEST(NetcdfResult, TheHistoryLineIsUtcTimeAndTheCommand) {
  using namespace std::chrono;
  const sys_days day = year{2026} / December / 8;
  EXPECT_EQ(history_line(day + hours{7} + minutes{5} + seconds{9}, "demstitch --output=a.nc A"),
            "2026-12-08T07:05:09Z demstitch --output=a.nc A");
}

}  // namespace
}  // namespace demstitch
