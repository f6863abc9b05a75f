#include "io/archive.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "tests/archive_writer.hpp"
#include "tests/memory_sources.hpp"

namespace demstitch {
namespace {

using testing::gzipped;
using testing::MemorySource;
using testing::tar_member;
using testing::zip_of;
using testing::ZipEntry;

// Elevation-like samples that compress as real rasters do: smooth, with some noise.
std::string raster(size_t bytes) {
  std::string out(bytes, '\0');
  uint32_t state = 1;
  for (size_t i = 0; i < bytes; ++i) {
    state = state * 1103515245 + 12345;
    out[i] = static_cast<char>(i % 2 == 0 ? (i / 4096) % 7 : (i / 64) % 200 + (state >> 29));
  }
  return out;
}

Status list(const std::string& name, const std::string& bytes, std::unique_ptr<Archive>* archive) {
  return Archive::list(std::make_shared<MemorySource>(name, bytes), archive);
}

std::string read_range(const Source& source, int64_t offset, size_t length) {
  std::string out(length, '\0');
  auto bytes = std::as_writable_bytes(std::span(out));
  size_t got = 0;
  EXPECT_TRUE(source.read_at(offset, std::span(&bytes, 1), &got).ok());
  out.resize(got);
  return out;
}

TEST(Archive, ATarGzRasterAheadOfItsHeaderReadsInAnyOrder) {
  const std::string dem = raster(size_t{7} << 20);
  const std::string tar = tar_member("tiles/W020N40.DEM", dem) +
                          tar_member("tiles/W020N40.GIF", "gif") +
                          tar_member("tiles/W020N40.HDR", "NROWS 1\n") +
                          tar_member("tiles/W020N40.PRJ", "GEOGCS") + std::string(1024, '\0');
  std::unique_ptr<Archive> archive;
  ASSERT_TRUE(list("w.tar.gz", gzipped(tar), &archive).ok());
  EXPECT_EQ(archive->tiles(), std::vector<std::string>{"w.tar.gz:tiles/W020N40"});

  std::unique_ptr<Source> header;
  ASSERT_TRUE(archive->open("w.tar.gz:tiles/w020n40.hdr", &header).ok());
  EXPECT_EQ(header->name(), "w.tar.gz:tiles/W020N40.HDR");
  EXPECT_EQ(read_range(*header, 0, 100), "NROWS 1\n");
  std::unique_ptr<Source> missing;
  EXPECT_EQ(archive->open("w.tar.gz:tiles/W020N40.STX", &missing).kind(), StatusKind::not_found);

  std::unique_ptr<Source> member;
  ASSERT_TRUE(archive->open("w.tar.gz:tiles/W020N40.DEM", &member).ok());
  // Forward, back within what was just decoded, far back (from a checkpoint), past the end.
  for (auto [offset, length] : std::vector<std::pair<int64_t, size_t>>{{0, 100000},
                                                                       {5000000, 300000},
                                                                       {5200000, 1000},
                                                                       {1000, 5000},
                                                                       {6000000, 2000000},
                                                                       {3000000, 10}}) {
    EXPECT_EQ(read_range(*member, offset, length), dem.substr(static_cast<size_t>(offset), length))
        << offset;
  }
  // Two threads at once, one a band behind the other, as the band writer reads.
  std::string a;
  std::string b;
  std::thread other([&] {
    for (int64_t at = 0; at < 4000000; at += 230000) a += read_range(*member, at, 115000);
  });
  for (int64_t at = 115000; at < 4000000; at += 230000) b += read_range(*member, at, 115000);
  other.join();
  std::string want_a;
  std::string want_b;
  for (size_t at = 0; at < 4000000; at += 230000) want_a += dem.substr(at, 115000);
  for (size_t at = 115000; at < 4000000; at += 230000) want_b += dem.substr(at, 115000);
  EXPECT_TRUE(a == want_a && b == want_b);
}

TEST(Archive, ZipMembersAreHeldToTheirDirectory) {
  const std::string dem = raster(300000);
  std::unique_ptr<Archive> archive;
  ASSERT_TRUE(list("t.zip",
                   zip_of({{"A.HDR", "NROWS 1\n", 0},
                           {"A.DEM", dem},
                           {"B.HDR", "h"},
                           {"B.DEM", dem, 8, 0, 0x1234},
                           {"C.hdr", "h"},
                           {"C.dem", dem, 12},
                           {"D.hdr", "h", 8, uint64_t{1} << 40},
                           {"D.dem", dem, 8, uint64_t{1} << 40},
                           {"E.hdr", "h", 8, 0, 0, 1}}),
                   &archive)
                  .ok());
  EXPECT_EQ(archive->tiles().size(), 5U);
  std::unique_ptr<Source> source;
  ASSERT_TRUE(archive->open("t.zip:A.DEM", &source).ok());
  EXPECT_EQ(read_range(*source, 0, dem.size()), dem);
  ASSERT_TRUE(archive->open("t.zip:A.HDR", &source).ok());
  EXPECT_EQ(read_range(*source, 0, 100), "NROWS 1\n");

  // A CRC that does not match: the last bytes are never delivered.
  ASSERT_TRUE(archive->open("t.zip:B.DEM", &source).ok());
  const std::string b = read_range(*source, 0, dem.size());
  EXPECT_LT(b.size(), dem.size());
  EXPECT_EQ(b, dem.substr(0, b.size()));

  EXPECT_EQ(archive->open("t.zip:C.dem", &source).detail(), "compression method 12: not read");
  EXPECT_EQ(archive->open("t.zip:E.hdr", &source).detail(), "encrypted: not read");
  // A member claiming a terabyte: a header is refused unread, a raster says its size and
  // comes up short where its data ends.
  EXPECT_EQ(archive->open("t.zip:D.hdr", &source).kind(), StatusKind::corrupt);
  ASSERT_TRUE(archive->open("t.zip:D.dem", &source).ok());
  int64_t size = 0;
  ASSERT_TRUE(source->size(&size).ok());
  EXPECT_EQ(size, int64_t{1} << 40);
  EXPECT_EQ(read_range(*source, 0, dem.size() + 1000), dem);
}

TEST(Archive, DamagedArchivesAreRefusedWithTheirReason) {
  const std::string tar = tar_member("A.DEM", raster(200000)) + tar_member("A.HDR", "h");
  const std::string gz = gzipped(tar);
  std::unique_ptr<Archive> archive;
  EXPECT_EQ(list("a.tar.gz", gz.substr(0, gz.size() / 2), &archive).detail(), "truncated");
  std::string bad_crc = gz;
  bad_crc[bad_crc.size() - 6] ^= 1;
  EXPECT_EQ(list("a.tar.gz", bad_crc, &archive).detail(), "CRC error");
  std::string bad_data = gz;
  bad_data[bad_data.size() / 2] ^= 0x55;
  EXPECT_FALSE(list("a.tar.gz", bad_data, &archive).ok());
  std::string bad_header = tar;
  bad_header[10] ^= 1;
  EXPECT_EQ(list("a.tar", bad_header, &archive).detail(), "not an archive");
  EXPECT_EQ(list("a.tar.gz", gzipped(bad_header), &archive).detail(),
            "not a tar, or damaged at byte 0");
  EXPECT_EQ(list("a.zip", zip_of({{"A.HDR", "h"}}).substr(0, 60), &archive).detail(),
            "truncated: no zip directory at its end");
  // A hundred thousand empty members are passed over, none of them kept.
  std::string many;
  for (int i = 0; i < 100000; ++i) many += tar_member(std::to_string(i), "");
  EXPECT_EQ(list("m.tar.gz", gzipped(many), &archive).detail(), "holds no tile header (NAME.HDR)");
}

}  // namespace
}  // namespace demstitch
