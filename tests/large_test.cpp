// A mosaic over 2 GiB: offsets past 2^31 must land where they belong. Writes some 2.6 GB,
// so it runs only when asked for (scripts/test --large, or ctest -L large).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "tests/run_program.hpp"
#include "tests/tile_writer.hpp"

namespace demstitch {
namespace {

using testing::bil_header;
using testing::TempDir;
using testing::tile_raster;
using testing::write_file;

std::string read_at(const std::filesystem::path& path, int64_t offset, size_t length) {
  std::string bytes(length, '\0');
  int fd = ::open(path.c_str(), O_RDONLY);
  ssize_t got = ::pread(fd, bytes.data(), length, offset);
  ::close(fd);
  bytes.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return bytes;
}

TEST(LargeMosaic, TilesAtOppositeCornersOfAMosaicOver2GiB) {
  // A at the world's upper-left corner, B 250 degrees further south at its right edge: a
  // mosaic of 43200 x 30000 samples, 2,592,000,000 bytes.
  TempDir dir;
  std::string a = tile_raster(120, 120, 1);
  std::string b = tile_raster(120, 120, 5000);
  write_file(dir / "A.hdr", bil_header(120, 120, "-180", "90"));
  write_file(dir / "A.dem", a);
  write_file(dir / "B.hdr", bil_header(120, 120, "179", "-159"));
  write_file(dir / "B.dem", b);
  testing::Result r = testing::run_demstitch(dir.path(), {"A", "B"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("43200x30000 samples = 2592000000 bytes\n"), std::string::npos);
  const int64_t row_bytes = 86400;
  EXPECT_EQ(std::filesystem::file_size(dir / "GTResult.DEM"), uint64_t{2592000000});
  for (int64_t row : {0, 119}) {
    EXPECT_EQ(read_at(dir / "GTResult.DEM", row * row_bytes, 240), a.substr(row * 240, 240));
  }
  // B's rows are the last 120, in the last 120 columns, far past 2^31.
  for (int64_t row : {0, 60, 119}) {
    int64_t offset = (29880 + row) * row_bytes + 2 * (43200 - 120);
    EXPECT_EQ(read_at(dir / "GTResult.DEM", offset, 240), b.substr(row * 240, 240));
  }
  EXPECT_EQ(read_at(dir / "GTResult.DEM", 29880 * row_bytes, 4), "\xD8\xF1\xD8\xF1");
  EXPECT_NE(testing::read_file(dir / "GTResult.HDR").find("BANDROWBYTES  86400\r\n"),
            std::string::npos);
}

}  // namespace
}  // namespace demstitch
