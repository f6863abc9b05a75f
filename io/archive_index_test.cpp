#include "io/archive_index.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "io/archive.hpp"
#include "io/platform.hpp"
#include "tests/archive_writer.hpp"
#include "tests/memory_sources.hpp"

namespace demstitch {
namespace {

using testing::gzipped;
using testing::MemorySource;
using testing::raster;
using testing::read_range;
using testing::tar_member;

const std::string header_text = "NROWS 10\nNCOLS 10\n";

// A tile's .tar.gz whose raster (9 MiB, several access points long) comes first.
std::string tile_tar(const std::string& samples) {
  return tar_member("A.DEM", samples) + tar_member("A.HDR", header_text) + std::string(1024, '\0');
}

class ArchiveIndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() / ("demstitch-index-" + random_tag());
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::shared_ptr<MemorySource> archive(std::string bytes) const {
    auto file = std::make_shared<MemorySource>("a.tar.gz", std::move(bytes));
    file->identity = FileId{7, 42};
    return file;
  }
  std::unique_ptr<Archive> list(const std::shared_ptr<MemorySource>& file) const {
    std::unique_ptr<Archive> a;
    EXPECT_TRUE(Archive::list(file, &a, {}, folder_.string()).ok());
    return a;
  }
  std::string raster_of(Archive& a) const {
    std::unique_ptr<Source> member;
    EXPECT_TRUE(a.open("a.tar.gz:A.DEM", &member).ok());
    return member ? read_range(*member, 0, size_t{64} << 20) : std::string();
  }
  std::filesystem::path index_file() const {
    for (const auto& entry : std::filesystem::directory_iterator(folder_)) return entry.path();
    return {};
  }
  static std::string bytes_of(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  static void write(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  }

  std::filesystem::path folder_;
};

TEST_F(ArchiveIndexTest, ASecondListingReadsEveryByteThroughTheIndexTheFirstKept) {
  const std::string samples = raster(size_t{9} << 20);
  const auto file = archive(gzipped(tile_tar(samples)));
  // A temporary file a killed run left goes when an index is kept.
  std::filesystem::create_directories(folder_);
  write(folder_ / "0000000000000007-000000000000002a.index.f00d.part", "left by a kill");
  const auto first = list(file);
  EXPECT_FALSE(
      std::filesystem::exists(folder_ / "0000000000000007-000000000000002a.index.f00d.part"));
  ASSERT_TRUE(first->indexed());
  EXPECT_FALSE(first->index_reused());
  const auto second = list(file);
  ASSERT_TRUE(second->index_reused());
  std::unique_ptr<Source> member;
  ASSERT_TRUE(second->open("a.tar.gz:A.DEM", &member).ok());
  testing::expect_reads_in_any_order(*member, samples);
  ASSERT_TRUE(second->open("a.tar.gz:A.HDR", &member).ok());
  EXPECT_EQ(read_range(*member, 0, 100), header_text);

  // Small beside its archive, and with windows inside the raster to enter it by.
  int64_t archive_size = 0;
  ASSERT_TRUE(file->size(&archive_size).ok());
  EXPECT_LE(static_cast<int64_t>(std::filesystem::file_size(index_file())), archive_size / 50);
  ArchiveIndex index;
  File opened;
  ASSERT_TRUE(File::open_for_reading(index_file().string(), &opened).ok());
  ASSERT_TRUE(read_index(std::make_shared<FileSource>(std::move(opened)), &index));
  EXPECT_GE(std::count_if(index.stream.points.begin(), index.stream.points.end(),
                          [](const AccessPoint& p) { return p.window_packed > 0; }),
            2);
}

// Blocks of fixed codes have headers too short for a decoder fed a few bytes at a time to
// stop in: the listing looks for block starts a while, gives up, and looks again further on;
// what points it finds are good, and the index reads every byte.
TEST_F(ArchiveIndexTest, AStreamWithHeadersTooShortToStopInIsStillListedAndRead) {
  const std::string samples = raster(size_t{9} << 20);
  const auto file = archive(gzipped(tile_tar(samples), 6, true));
  ASSERT_TRUE(list(file)->indexed());
  const auto again = list(file);
  ASSERT_TRUE(again->index_reused());
  std::unique_ptr<Source> member;
  ASSERT_TRUE(again->open("a.tar.gz:A.DEM", &member).ok());
  testing::expect_reads_in_any_order(*member, samples);
}

TEST_F(ArchiveIndexTest, AStreamOfSeveralGzipMembersIsEnteredInOneAndReadOnIntoTheNext) {
  const std::string samples = raster(size_t{9} << 20);
  const std::string tar = tile_tar(samples);
  const size_t cut = size_t{5} << 20;
  const auto file = archive(gzipped(tar.substr(0, cut)) + gzipped(tar.substr(cut)));
  list(file);
  const auto again = list(file);
  ASSERT_TRUE(again->index_reused());
  std::unique_ptr<Source> member;
  ASSERT_TRUE(again->open("a.tar.gz:A.DEM", &member).ok());
  testing::expect_reads_in_any_order(*member, samples);
}

TEST_F(ArchiveIndexTest, AnIndexDamagedCutForeignOrOfAnotherVersionIsMadeAgain) {
  const std::string samples = raster(size_t{5} << 20);
  const auto file = archive(gzipped(tile_tar(samples)));
  list(file);
  const auto own = index_file();
  const std::string sound = bytes_of(own);
  std::string flipped = sound;
  flipped[flipped.size() - 100] ^= 1;
  std::string future = sound;
  future[16] = 2;  // the version after the mark
  const auto other = archive(gzipped(tile_tar(raster(size_t{3} << 20))));
  other->identity = FileId{7, 43};
  list(other);
  std::string foreign;
  for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
    if (entry.path() != own) foreign = bytes_of(entry.path());
  }
  ASSERT_FALSE(foreign.empty());
  for (const std::string& bad : {std::string(sound.size(), 'x'), sound.substr(0, sound.size() / 2),
                                 flipped, future, foreign, std::string()}) {
    write(own, bad);
    const auto a = list(file);
    EXPECT_FALSE(a->index_reused());
    EXPECT_TRUE(raster_of(*a) == samples);
    EXPECT_TRUE(bytes_of(own) == sound);  // made again, whole
  }
  // A window damaged under a sound CRC of the rest: the points before it serve, and the
  // index is made again by the next run.
  std::string window_damaged = sound;
  window_damaged[40] ^= 1;  // in the first window, 2 MiB into the stream
  write(own, window_damaged);
  {
    const auto a = list(file);
    EXPECT_TRUE(a->index_reused());
    std::unique_ptr<Source> member;
    ASSERT_TRUE(a->open("a.tar.gz:A.DEM", &member).ok());
    const size_t from = size_t{3} << 20;
    EXPECT_TRUE(read_range(*member, static_cast<int64_t>(from), 100000) ==
                samples.substr(from, 100000));
  }
  // (Windows lets the name go once the run has closed the file.)
  EXPECT_FALSE(std::filesystem::exists(own));
}

TEST_F(ArchiveIndexTest, AnArchiveChangedUnseenNeverDeliversAByteTheIndexDoesNotVouchFor) {
  // Stored deflate blocks: a byte changed in them still decodes, to other bytes.
  const std::string samples = raster(size_t{6} << 20);
  const auto file = archive(gzipped(tile_tar(samples), 0));
  list(file);
  const auto path = index_file();
  const std::string index = bytes_of(path);
  for (const int64_t at : {int64_t{5} << 20, int64_t{3} << 20}) {
    write(path, index);
    file->change_unseen(at, 'Z');
    auto a = list(file);
    ASSERT_TRUE(a->index_reused());
    const std::string got = raster_of(*a);
    a.reset();
    EXPECT_LT(got.size(), samples.size());
    EXPECT_GT(got.size(), size_t{1} << 20);  // read up to the damaged piece
    EXPECT_TRUE(got == samples.substr(0, got.size()));
    EXPECT_FALSE(std::filesystem::exists(path));  // forgotten: the next run makes it again
  }
}

TEST_F(ArchiveIndexTest, NoCacheFolderNoIndexAndAFolderThatCannotBeMadeIsNoFailure) {
  const std::string samples = raster(size_t{3} << 20);
  const auto file = archive(gzipped(tile_tar(samples)));
  std::unique_ptr<Archive> a;
  ASSERT_TRUE(Archive::list(file, &a).ok());
  EXPECT_FALSE(a->indexed());
  std::filesystem::create_directories(folder_);
  std::ofstream(folder_ / "file") << "not a folder";
  ASSERT_TRUE(Archive::list(file, &a, {}, (folder_ / "file" / "cache").string()).ok());
  EXPECT_TRUE(a->indexed());  // made, used, not kept
  EXPECT_TRUE(raster_of(*a) == samples);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder_), {}), 1);
}

}  // namespace
}  // namespace demstitch
