#include "formats/netcdf_result.hpp"

#include <gtest/gtest.h>

#include <algorithm>
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

// The last variable's type, size and place, as the header ends its entry, or npos.
size_t last_variable_at(const std::vector<std::byte>& preamble, uint32_t vsize) {
  std::vector<std::byte> entry;
  auto put = [&](uint64_t value, int bytes) {
    for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) {
      entry.push_back(std::byte((value >> shift) & 0xFF));
    }
  };
  put(3, 4);  // short
  put(vsize, 4);
  put(preamble.size(), 8);  // the samples begin where the preamble ends
  auto found = std::search(preamble.begin(), preamble.end(), entry.begin(), entry.end());
  return found == preamble.end() ? std::string::npos
                                 : static_cast<size_t>(found - preamble.begin());
}

TEST(NetcdfResult, TheHeaderSizesAndCellCentresOfAGridAcrossTheAntimeridian) {
  const ResultGrid g = grid(2401, 3);  // an odd number of samples: two bytes of padding
  const std::vector<std::byte> preamble = netcdf_preamble(g);
  ASSERT_EQ(std::memcmp(preamble.data(), "CDF\x02", 4), 0);
  EXPECT_EQ(int32_at(preamble, 24), 3u);  // lat, after "lat" padded to four bytes
  EXPECT_EQ(int32_at(preamble, 36), 2401u);
  // The elevation, last: its type, its padded size, where it begins: on a page boundary.
  EXPECT_NE(last_variable_at(preamble, 2401u * 3 * 2 + 2), std::string::npos);
  EXPECT_EQ(preamble.size() % 4096, 0u);
  EXPECT_EQ(netcdf_file_size(g), static_cast<int64_t>(preamble.size()) + 2401 * 3 * 2 + 2);
  // Centres on the 1/120-degree grid; longitudes go on past 180.
  const size_t lon = preamble.size() - 8 * 2401;
  const size_t lat = lon - 8 * 3;
  EXPECT_EQ(double_at(preamble, lat), 10 - 0.5 / 120);
  EXPECT_EQ(double_at(preamble, lat + 16), 10 - 2.5 / 120);
  EXPECT_EQ(double_at(preamble, lon), 175 + 0.5 / 120);
  EXPECT_NEAR(double_at(preamble, lon + 8 * 2400), 175 + 2400.5 / 120, 1e-12);
}

TEST(NetcdfResult, AVariableOverFourGibibytesSaysSoAsTheFormatAllows) {
  const ResultGrid world = grid(43200, 21600, -180, 90);
  const std::vector<std::byte> preamble = netcdf_preamble(world);
  EXPECT_NE(last_variable_at(preamble, 43200u * 21600 * 2), std::string::npos);
  const ResultGrid larger = grid(43200, 60000, -180, 90);
  const std::vector<std::byte> big = netcdf_preamble(larger);
  EXPECT_NE(last_variable_at(big, 0xFFFFFFFFu), std::string::npos);
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
