#include "io/archive.hpp"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/archive_writer.hpp"
#include "tests/memory_sources.hpp"

namespace demstitch {
namespace {

using testing::deflated;
using testing::gzipped;
using testing::MemorySource;
using testing::raster;
using testing::read_range;
using testing::tar_member;
using testing::zip_of;
using testing::ZipEntry;

// A tar header's checksum made again after a field of the header at `at` was changed.
void checksum_again(std::string& tar, size_t at = 0) {
  std::memset(tar.data() + at + 148, ' ', 8);
  unsigned sum = 0;
  for (size_t i = at; i < at + 512; ++i) sum += static_cast<unsigned char>(tar[i]);
  std::snprintf(tar.data() + at + 148, 8, "%06o", sum);
}

Status list(const std::string& name, const std::string& bytes, std::unique_ptr<Archive>* archive) {
  return Archive::list(std::make_shared<MemorySource>(name, bytes), archive);
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
  testing::expect_reads_in_any_order(*member, dem);
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

  // A CRC that does not match: none of the member is used.
  Status crc = archive->open("t.zip:B.DEM", &source);
  EXPECT_EQ(crc.kind(), StatusKind::corrupt);
  EXPECT_NE(crc.detail().find("CRC"), std::string::npos) << crc.detail();

  EXPECT_EQ(archive->open("t.zip:C.dem", &source).detail(), "compression method 12: not read");
  EXPECT_EQ(archive->open("t.zip:E.hdr", &source).detail(), "encrypted: not read");
  // A member claiming a terabyte is refused, a header unread and a raster where its data
  // ends short of it.
  EXPECT_EQ(archive->open("t.zip:D.hdr", &source).kind(), StatusKind::corrupt);
  EXPECT_EQ(archive->open("t.zip:D.dem", &source).kind(), StatusKind::corrupt);
}

TEST(Archive, EveryByteOfAZipMemberIsCheckedBeforeAnyIsUsed) {
  const std::string dem = raster(600000);
  for (uint16_t method : {uint16_t{0}, uint16_t{8}}) {
    std::string zip = zip_of({{"A.HDR", "NROWS 1\n", method}, {"A.DEM", dem, method}});
    // One byte of the raster's data changed, far from its end: the CRC the directory states
    // no longer fits, whatever part of the member a run would read.
    const size_t at =
        zip.find(method == 0 ? dem.substr(5000, 64) : deflated(dem, -15).substr(5000, 64));
    ASSERT_NE(at, std::string::npos);
    zip[at] = static_cast<char>(zip[at] ^ 0x40);
    std::unique_ptr<Archive> archive;
    ASSERT_TRUE(list("c.zip", zip, &archive).ok());
    std::unique_ptr<Source> source;
    Status s = archive->open("c.zip:A.DEM", &source);
    EXPECT_EQ(s.kind(), StatusKind::corrupt) << method;
    EXPECT_EQ(s.path(), "c.zip:A.DEM");
    EXPECT_NE(s.detail().find("CRC"), std::string::npos) << s.detail();
    EXPECT_TRUE(archive->open("c.zip:A.HDR", &source).ok());
  }
}

TEST(Archive, ADeflatedMemberReadBackFromARollingCheckpointKeepsItsPlaceAndCrc) {
  const std::string dem = raster(size_t{7} << 20);
  std::unique_ptr<Archive> archive;
  ASSERT_TRUE(list("r.zip", zip_of({{"A.HDR", "h"}, {"A.DEM", dem}}), &archive).ok());
  std::unique_ptr<Source> member;
  ASSERT_TRUE(archive->open("r.zip:A.DEM", &member).ok());
  // Opening it decoded it through to check its CRC, keeping its last rolling checkpoint and
  // the last bytes decoded. Two reads near the start take both places it is decoded at (the
  // bytes at its end go), then a read of the last 600 kB goes back further than any kept:
  // decoding starts again at that checkpoint and runs to the end, where the CRC it carried
  // must still match.
  EXPECT_EQ(read_range(*member, 0, 100), dem.substr(0, 100));
  EXPECT_EQ(read_range(*member, 1000000, 100), dem.substr(1000000, 100));
  EXPECT_EQ(read_range(*member, 100, 100), dem.substr(100, 100));
  const size_t tail = dem.size() - 600000;
  EXPECT_TRUE(read_range(*member, static_cast<int64_t>(tail), dem.size()) == dem.substr(tail));
  // From the start again, forward past new rolling checkpoints, then back to one of them.
  EXPECT_EQ(read_range(*member, 0, 100), dem.substr(0, 100));
  EXPECT_EQ(read_range(*member, 5500000, 100000), dem.substr(5500000, 100000));
  const size_t back = (size_t{4} << 20) + 300000;
  EXPECT_TRUE(read_range(*member, static_cast<int64_t>(back), 500000) == dem.substr(back, 500000));
}

TEST(Archive, ALongTarGzRasterIsReadRightFromItsThinnedCheckpoints) {
  // 560 MiB of a pattern 4093 bytes long (a prime, so a checkpoint put at a wrong whole MiB
  // gives other bytes), as gzip members of one chunk each: past 16 listing checkpoints the
  // raster's are thinned, and reads far back start again from those that are left.
  constexpr size_t period = 4093;
  constexpr size_t chunk = period * 256;
  constexpr size_t chunks = 560;
  auto byte_at = [](size_t i) { return static_cast<char>((i % period) * 7 % 251); };
  std::string data(chunk, '\0');
  for (size_t i = 0; i < chunk; ++i) data[i] = byte_at(i);
  std::string header = tar_member("L.DEM", "");
  std::snprintf(header.data() + 124, 12, "%011zo", chunk * chunks);
  checksum_again(header);
  const std::string padding((512 - chunk * chunks % 512) % 512, '\0');
  std::string gz = gzipped(header);
  const std::string member = gzipped(data);
  for (size_t i = 0; i < chunks; ++i) gz += member;
  gz += gzipped(padding + tar_member("L.HDR", "h") + std::string(1024, '\0'));
  std::unique_ptr<Archive> archive;
  ASSERT_TRUE(list("l.tar.gz", gz, &archive).ok());
  std::unique_ptr<Source> raster_member;
  ASSERT_TRUE(archive->open("l.tar.gz:L.DEM", &raster_member).ok());
  for (size_t at : {size_t{540} << 20, size_t{100} << 20, size_t{300} << 20, size_t{37} << 20,
                    size_t{470} << 20, size_t{1} << 10}) {
    const std::string got = read_range(*raster_member, static_cast<int64_t>(at), 5000);
    std::string want(5000, '\0');
    for (size_t i = 0; i < want.size(); ++i) want[i] = byte_at(at + i);
    EXPECT_TRUE(got == want) << at;
  }
}

TEST(Archive, NothingOfAnArchiveRewrittenWhileItIsReadIsDelivered) {
  // Noise, which deflate stores as it is: decoding the new file from a place in the old
  // would run on without an error.
  auto noise = [](uint32_t state) {
    std::string out(size_t{3} << 20, '\0');
    for (char& c : out) {
      state = state * 1103515245 + 12345;
      c = static_cast<char>(state >> 24);
    }
    return out;
  };
  const std::string old_raster = noise(1);
  const std::string new_raster = noise(2);
  for (const std::string name : {"w.tar", "w.tar.gz"}) {
    auto pack = [&](const std::string& dem) {
      const std::string tar =
          tar_member("A.DEM", dem) + tar_member("A.HDR", "h") + std::string(1024, '\0');
      return name.ends_with(".gz") ? gzipped(tar) : tar;
    };
    auto file = std::make_shared<MemorySource>(name, pack(old_raster));
    std::unique_ptr<Archive> archive;
    ASSERT_TRUE(Archive::list(file, &archive).ok()) << name;
    std::unique_ptr<Source> member;
    ASSERT_TRUE(archive->open(name + ":A.DEM", &member).ok()) << name;
    EXPECT_EQ(read_range(*member, 0, 1000000), old_raster.substr(0, 1000000)) << name;
    // Rewritten in place, as `cat new.tar.gz > w.tar.gz` does: reads come up short, from
    // here on and from the start again. What was read before the change may still be
    // delivered; nothing of the new bytes ever is.
    file->rewrite(pack(new_raster));
    const std::string after = read_range(*member, 1000000, 2000000);
    EXPECT_LT(after.size(), 2000000u) << name;
    EXPECT_TRUE(after == old_raster.substr(1000000, after.size())) << name;
    EXPECT_EQ(read_range(*member, 0, 1000).size(), 0u) << name;
  }
}

TEST(Archive, ANameHeldTwiceIsItsLastMemberAsExtractingLeavesIt) {
  const std::string first = raster(3000);
  const std::string last(3000, 'z');
  const std::string tar =
      tar_member("A.HDR", "h") + tar_member("A.DEM", first) + tar_member("A.DEM", last);
  for (const auto& [name, bytes] : std::vector<std::pair<std::string, std::string>>{
           {"d.tar", tar + std::string(1024, '\0')},
           {"d.tar.gz", gzipped(tar)},
           {"d.zip", zip_of({{"A.HDR", "h"}, {"A.DEM", first}, {"A.DEM", last, 0}})}}) {
    std::unique_ptr<Archive> archive;
    ASSERT_TRUE(list(name, bytes, &archive).ok()) << name;
    std::unique_ptr<Source> member;
    ASSERT_TRUE(archive->open(name + ":A.DEM", &member).ok()) << name;
    EXPECT_TRUE(read_range(*member, 0, 5000) == last) << name;
  }
}

TEST(Archive, LinksAndSparseMembers) {
  const std::string dem = raster(3000);
  // Hard links by their link name field: B.DEM to A.DEM, before it; C.DEM to nothing.
  std::string link = tar_member("B.DEM", "", '1');
  std::memcpy(link.data() + 157, "A.DEM", 5);
  checksum_again(link);
  std::string dangling = tar_member("C.DEM", "", '1');
  std::memcpy(dangling.data() + 157, "Q.DEM", 5);
  checksum_again(dangling);
  const std::string pax = "25 GNU.sparse.name=S.DEM\n";
  const std::string tar = tar_member("A.HDR", "h") + tar_member("A.DEM", dem) +
                          tar_member("B.HDR", "h") + link + tar_member("C.HDR", "h") + dangling +
                          tar_member("S.HDR", "h") + tar_member("PaxHeaders/S", pax, 'x') +
                          tar_member("GNUSparse/S", dem) + std::string(1024, '\0');
  for (const std::string& name : {std::string("l.tar"), std::string("l.tar.gz")}) {
    std::unique_ptr<Archive> archive;
    ASSERT_TRUE(list(name, name.ends_with(".gz") ? gzipped(tar) : tar, &archive).ok()) << name;
    std::unique_ptr<Source> member;
    ASSERT_TRUE(archive->open(name + ":B.DEM", &member).ok()) << name;
    EXPECT_TRUE(read_range(*member, 0, 5000) == dem) << name;
    EXPECT_NE(archive->open(name + ":C.DEM", &member).detail().find("hard link to Q.DEM"),
              std::string::npos);
    EXPECT_EQ(archive->open(name + ":S.DEM", &member).detail(), "sparse member, not read");
  }
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
  // A damaged header after the first member is found as the first is.
  std::string second = tar;
  second[200704 + 10] ^= 1;
  EXPECT_EQ(list("a.tar", second, &archive).detail(), "not a tar, or damaged at byte 200704");
  EXPECT_EQ(list("a.tar.gz", gzipped(second), &archive).detail(),
            "not a tar, or damaged at byte 200704");
  // A size no file holds (base-256, near 2^63), in a member before the raster.
  std::string huge = tar_member("X.TXT", "x") + tar;
  const unsigned char field[12] = {0x80, 0, 0, 0, 0x7f, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
  std::memcpy(huge.data() + 124, field, 12);
  checksum_again(huge);
  for (const auto& [name, bytes] : std::vector<std::pair<std::string, std::string>>{
           {"h.tar", huge}, {"h.tar.gz", gzipped(huge)}}) {
    Status s = list(name, bytes, &archive);
    EXPECT_EQ(s.path(), name);
    EXPECT_NE(s.detail().find("beyond what the archive holds"), std::string::npos) << s.detail();
  }
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
