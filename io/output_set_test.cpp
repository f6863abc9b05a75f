#include "io/output_set.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/tile_writer.hpp"

namespace demstitch {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::write_file;

class Outputs : public ::testing::Test {
 protected:
  std::string path(const std::string& name) { return dir_ / name; }

  std::vector<std::string> names() { return testing::names_in(dir_.path()); }

  // Starts a set of the two result files with the given contents.
  void write_pair(OutputSet& set, const std::string& a, const std::string& b) {
    ASSERT_TRUE(set.lock(path("R.lock"), path("R.DEM")).ok());
    for (auto [name, text] : {std::pair{"R.DEM", a}, std::pair{"R.HDR", b}}) {
      File* file = nullptr;
      ASSERT_TRUE(set.add(path(name), &file).ok());
      ASSERT_TRUE(file->write_all(std::as_bytes(std::span(text))).ok());
    }
  }

  testing::TempDir dir_;
};

TEST_F(Outputs, FilesAreInstalledTogetherAndNothingElseStays) {
  {
    OutputSet set;
    write_pair(set, "raster", "header");
    ASSERT_TRUE(set.install().ok());
  }
  EXPECT_EQ(names(), (std::vector<std::string>{"R.DEM", "R.HDR"}));
  EXPECT_EQ(read_file(dir_ / "R.DEM"), "raster");
  EXPECT_EQ(read_file(dir_ / "R.HDR"), "header");
}

TEST_F(Outputs, AFailedInstallPutsEveryEarlierFileBack) {
  write_file(dir_ / "R.DEM", "old raster");
  write_file(dir_ / "R.HDR", "old header");
  for (int step : {0, 1}) {
    OutputSet set;
    write_pair(set, "new raster", "new header");
    set.fail_install_after(step);
    EXPECT_EQ(set.install().kind(), StatusKind::io_error);
  }
  EXPECT_EQ(read_file(dir_ / "R.DEM"), "old raster");
  EXPECT_EQ(read_file(dir_ / "R.HDR"), "old header");
  EXPECT_EQ(names(), (std::vector<std::string>{"R.DEM", "R.HDR"}));
  // Where there was no earlier file, the new one goes again.
  fs::remove(dir_ / "R.HDR");
  {
    OutputSet set;
    write_pair(set, "new raster", "new header");
    set.fail_install_after(1);
    EXPECT_FALSE(set.install().ok());
  }
  EXPECT_EQ(read_file(dir_ / "R.DEM"), "old raster");
  EXPECT_EQ(names(), (std::vector<std::string>{"R.DEM"}));
}

TEST_F(Outputs, OneRunAtATimeHoldsTheLock) {
  OutputSet first;
  ASSERT_TRUE(first.lock(path("R.lock"), path("R.DEM")).ok());
  OutputSet second;
  Status busy = second.lock(path("R.lock"), "R.DEM");
  EXPECT_EQ(busy.kind(), StatusKind::busy);
  EXPECT_EQ(busy.path(), "R.DEM");
}

TEST_F(Outputs, NamesOfAKilledRunAreRemovedAndNoOthers) {
  // A run killed with its temporary file named left the name in the lock file.
  write_file(dir_ / "R.DEM.0123456789abcdef.part", "half");
  write_file(dir_ / "R.DEM.fedcba9876543210.part", "someone else's");
  write_file(dir_ / "R.lock", "R.DEM.0123456789abcdef.part\n../escape.part\n");
  {
    OutputSet set;
    ASSERT_TRUE(set.lock(path("R.lock"), path("R.DEM")).ok());
  }
  EXPECT_EQ(names(), (std::vector<std::string>{"R.DEM.fedcba9876543210.part"}));
}

TEST_F(Outputs, ErrorsNameTheFinalFile) {
  OutputSet set;
  File* file = nullptr;
  Status s = set.add(path("missing/R.DEM"), &file);
  EXPECT_EQ(s.message(), path("missing/R.DEM") + ": No such file or directory");
  fs::create_directory(dir_ / "R.HDR");
  std::vector<std::string> finals{path("R.DEM"), path("R.HDR")};
  EXPECT_EQ(OutputSet::check_replaceable(finals).path(), path("R.HDR"));
}

}  // namespace
}  // namespace demstitch
