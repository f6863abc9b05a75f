// Tiles as they are downloaded: archives made by the usual tools, folders, and damaged
// archives, through the built program. Every result is compared with the stitch of the same
// tiles on the disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/archive_writer.hpp"
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

const std::vector<std::string> names = {"E169N12", "E171N12", "E169N10", "E171N10"};

// The 2 x 2 set as it is distributed: upper-case names, with side files; and its stitch
// from the disk, the reference every archive must give.
class Archives : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(dir_ / "tiles");
    for (size_t i = 0; i < names.size(); ++i) {
      const std::string& name = names[i];
      const std::string ulx = i % 2 == 0 ? "169.004166666667" : "171.004166666667";
      const std::string uly = i < 2 ? "11.995833333333" : "9.995833333333";
      write_file(dir_ / ("tiles/" + name + ".HDR"), bil_header(240, 240, ulx, uly));
      write_file(dir_ / ("tiles/" + name + ".DEM"), tile_raster(240, 240, 1000 * int(i)));
      write_file(dir_ / ("tiles/" + name + ".PRJ"), "GEOGCS[\"WGS 84\"]\n");
      for (const char* side : {".STX", ".GIF", ".SCH"})
        write_file(dir_ / ("tiles/" + name + side), "x");
    }
    fs::create_directory(dir_ / "loose");
    std::vector<std::string> args;
    for (const std::string& name : names) args.push_back("../tiles/" + name);
    ASSERT_EQ(run_demstitch(dir_ / "loose", args).status, 0);
    for (const char* f : {"GTResult.DEM", "GTResult.HDR", "GTResult.prj"}) {
      reference_.push_back(read_file(dir_ / (std::string("loose/") + f)));
    }
  }

  // Runs `command` in the tiles' folder; false when the tool is not there or fails.
  bool shell(const std::string& command) {
    return std::system(("cd '" + dir_.path().string() + "/tiles' && " + command).c_str()) == 0;
  }

  // Stitches `args` in a fresh folder `out`; its result must be the reference.
  Result stitch_like_loose(const std::string& out, const std::vector<std::string>& args) {
    fs::create_directory(dir_ / out);
    Result r = run_demstitch(dir_ / out, args);
    const char* files[] = {"GTResult.DEM", "GTResult.HDR", "GTResult.prj"};
    for (size_t i = 0; i < 3; ++i) {
      EXPECT_EQ(read_file(dir_ / (out + "/" + files[i])), reference_[i]) << out << " " << files[i];
    }
    return r;
  }

  TempDir dir_;
  std::vector<std::string> reference_;
};

TEST_F(Archives, EveryUsualWriterGivesTheBytesOfTheTilesOnDisk) {
  // Each packs one archive per tile, the raster ahead of its header, with the side files.
  const std::string files = "$t.DEM $t.STX $t.HDR $t.PRJ $t.GIF";
  const std::vector<std::pair<std::string, std::string>> writers = {
      {"gnu.tar.gz", "tar -czf $t.gnu.tar.gz " + files},
      {"pax.tar.gz",
       "mkdir -p $t.a_folder_name_long_enough_to_need_an_extended_header_"
       "in_every_tar_format_there_is_at_all && cp $t.DEM $t.HDR $t.PRJ $t.a_folder_*/ && "
       "tar --format=pax -czf $t.pax.tar.gz $t.a_folder_*/$t.DEM $t.a_folder_*/$t.HDR "
       "$t.a_folder_*/$t.PRJ"},
      {"gnu.tar", "tar --format=gnu -cf $t.gnu.tar " + files},
      {"bsd.tar.gz", "bsdtar -czf $t.bsd.tar.gz " + files},
      {"zip", "zip -q $t.zip " + files},
      // Written to a pipe, zip gives each member a data descriptor.
      {"piped.zip", "zip -q - " + files + " | cat > $t.piped.zip"},
      {"py.zip",
       "/usr/bin/python3 -c \"import zipfile,io,sys\n"
       "class P(io.RawIOBase):\n  def writable(s): return True\n"
       "  def write(s, b): sys.stdout.buffer.write(b); return len(b)\n"
       "with zipfile.ZipFile(P(), 'w', zipfile.ZIP_DEFLATED) as z:\n"
       "  for n in ['$t.DEM', '$t.HDR', '$t.PRJ']:\n"
       "    with z.open(n, 'w', force_zip64=True) as f: f.write(open(n, 'rb').read())\n"
       "\" > $t.py.zip"},
  };
  for (const auto& [suffix, command] : writers) {
    std::vector<std::string> args;
    bool made = true;
    for (const std::string& name : names) {
      made = made && shell("t=" + name + " && " + command);
      args.push_back("../tiles/" + name + "." + suffix);
    }
    if (!made) {
      ADD_FAILURE() << "could not make the " << suffix << " archives";
      continue;
    }
    Result r = stitch_like_loose(suffix, args);
    EXPECT_EQ(r.status, 0) << suffix << "\n" << r.err;
  }
  // Named by content, whatever the name says; the console names the member.
  fs::rename(dir_ / "tiles/E169N12.gnu.tar.gz", dir_ / "tiles/E169N12.bin");
  Result r = stitch_like_loose("renamed", {"../tiles/E169N12.bin", "../tiles/E171N12.zip",
                                           "../tiles/E169N10", "../tiles/E171N10.gnu.tar"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("../tiles/E169N12.bin:E169N12.HDR\n"), std::string::npos) << r.out;
}

TEST_F(Archives, AFolderStandsForItsTilesAndArchivesAndPassesOverTheRest) {
  fs::create_directory(dir_ / "mixed");
  ASSERT_TRUE(
      shell("tar -czf ../mixed/E169N12.tar.gz E169N12.DEM E169N12.HDR && "
            "zip -q ../mixed/E171N12.ZIP E171N12.DEM E171N12.HDR && "
            "cp E169N10.* E171N10.DEM E171N10.HDR ../mixed/ && "
            "cp ../loose/GTResult.DEM ../loose/GTResult.HDR ../mixed/ && "
            "echo hello > ../mixed/README.TXT && mkdir ../mixed/sub"));
  Result r = stitch_like_loose("from_folder", {"../mixed"});
  EXPECT_EQ(r.status, 0) << r.err;
  // E169N10's .STX, .GIF and .SCH, the earlier result's two files and the README.
  EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 1),
            "Skipped 6 files in ../mixed: not tiles, or results of demstitch\n");
  EXPECT_NE(r.out.find("../mixed/E171N12.ZIP:E171N12.HDR\n"), std::string::npos) << r.out;

  // A GeoTIFF from the folder is the GeoTIFF from the disk.
  ASSERT_EQ(run_demstitch(dir_ / "loose", {"--format=cog", "../tiles/E169N12", "../tiles/E171N12",
                                           "../tiles/E169N10", "../tiles/E171N10"})
                .status,
            0);
  ASSERT_EQ(run_demstitch(dir_ / "from_folder", {"--format=cog", "../mixed/"}).status, 0);
  EXPECT_EQ(read_file(dir_ / "from_folder/GTResult.tif"), read_file(dir_ / "loose/GTResult.tif"));
}

TEST_F(Archives, DamagedArchivesAreToldAndTheOtherTilesStitched) {
  ASSERT_TRUE(
      shell("for t in E169N12 E171N12 E169N10 E171N10; do "
            "tar -czf $t.tar.gz $t.DEM $t.HDR && zip -q $t.zip $t.HDR $t.DEM; done"));
  // A download cut short: the archive is reported, the other three stitched.
  std::string cut = read_file(dir_ / "tiles/E171N10.tar.gz");
  write_file(dir_ / "tiles/E171N10.tar.gz", cut.substr(0, cut.size() / 2));
  fs::create_directory(dir_ / "cut");
  Result r = run_demstitch(dir_ / "cut", {"../tiles/E169N12.tar.gz", "../tiles/E171N12.tar.gz",
                                          "../tiles/E169N10.tar.gz", "../tiles/E171N10.tar.gz"});
  EXPECT_EQ(r.status, 4);
  EXPECT_NE(r.err.find("Error reading file ../tiles/E171N10.tar.gz: truncated\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(
      r.err.find("1 of 4 named tiles was not used, or not used fully: ../tiles/E171N10.tar.gz"),
      std::string::npos)
      << r.err;
  fs::create_directory(dir_ / "three");
  ASSERT_EQ(
      run_demstitch(dir_ / "three", {"../tiles/E169N12", "../tiles/E171N12", "../tiles/E169N10"})
          .status,
      0);
  EXPECT_EQ(read_file(dir_ / "cut/GTResult.DEM"), read_file(dir_ / "three/GTResult.DEM"));

  // A raster whose compressed bytes are damaged half way through: it fails its CRC, and
  // none of it reaches the result, which holds no-data in its place (as for a raster
  // missing beside its header).
  std::string zip = read_file(dir_ / "tiles/E169N12.zip");
  const size_t at = zip.find("E169N12.DEM") + 11 + 40000;
  zip[at] = static_cast<char>(zip[at] ^ 0x5A);
  write_file(dir_ / "tiles/E169N12.zip", zip);
  fs::create_directory(dir_ / "damaged");
  r = run_demstitch(dir_ / "damaged", {"../tiles/E169N12.zip", "../tiles/E171N12.zip"});
  EXPECT_EQ(r.status, 4);
  EXPECT_NE(
      r.err.find("../tiles/E169N12.zip:E169N12.DEM: damaged: its bytes fail the archive's CRC"),
      std::string::npos)
      << r.err;
  fs::create_directory(dir_ / "no_raster");
  fs::copy(dir_ / "tiles/E169N12.HDR", dir_ / "no_raster/E169N12.HDR");
  r = run_demstitch(dir_ / "no_raster", {"E169N12", "../tiles/E171N12"});
  EXPECT_EQ(r.status, 4);
  EXPECT_EQ(read_file(dir_ / "damaged/GTResult.DEM"), read_file(dir_ / "no_raster/GTResult.DEM"));
}

TEST_F(Archives, OnlyWhatIsNotATileFileIsTakenForAnArchive) {
  // A raster whose first samples happen to read as gzip's magic is still a tile.
  std::string raster = read_file(dir_ / "tiles/E169N12.DEM");
  raster.replace(0, 3, "\x1f\x8b\x08");
  write_file(dir_ / "tiles/E169N12.DEM", raster);
  fs::create_directory(dir_ / "magic");
  Result r = run_demstitch(dir_ / "magic", {"../tiles/E169N12.DEM", "../tiles/E171N12.HDR"});
  EXPECT_EQ(r.status, 0) << r.err;
  // An archive that is not there, or is none (a failed download), is told by its own name
  // and why.
  write_file(dir_ / "tiles/E000N00.zip", "<html>Not Found</html>");
  r = run_demstitch(dir_ / "magic",
                    {"../tiles/E169N12.DEM", "../tiles/W000N00.tar.gz", "../tiles/E000N00.zip"});
  EXPECT_EQ(r.status, 4);
  EXPECT_NE(r.err.find("Error reading file ../tiles/W000N00.tar.gz: No such file or directory\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("Error reading file ../tiles/E000N00.zip: not an archive"),
            std::string::npos)
      << r.err;
}

TEST_F(Archives, AFolderTellsBrokenDownloadsAndTakesExtractedTilesOverTheirArchives) {
  // E169N12 both extracted and in its archive (one tile, the loose files), E171N12 only in
  // its archive, and three downloads that failed: an empty file, an error page, a link to
  // nowhere.
  fs::create_directory(dir_ / "both");
  ASSERT_TRUE(
      shell("tar -czf ../both/E169N12.tar.gz E169N12.DEM E169N12.HDR && "
            "zip -q ../both/E171N12.zip E171N12.DEM E171N12.HDR && "
            "cp E169N12.DEM E169N12.HDR E169N10.* E171N10.* ../both/"));
  Result r = stitch_like_loose("extracted", {"../both"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Skipped 7 files in ../both"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("E169N12.tar.gz"), std::string::npos) << r.out;

  write_file(dir_ / "both/W020N40.tar.gz", "");
  write_file(dir_ / "both/E020N40.ZIP", "<html><body>Not Found</body></html>\n");
  fs::create_symlink("nowhere.tar.gz", dir_ / "both/W060N40.tgz");
  r = stitch_like_loose("broken", {"../both"});
  EXPECT_EQ(r.status, 4);
  for (const char* line : {"Error reading file ../both/W020N40.tar.gz: empty: not an archive",
                           "Error reading file ../both/E020N40.ZIP: not an archive",
                           "Error reading file ../both/W060N40.tgz: No such file or directory"}) {
    EXPECT_NE(r.err.find(line), std::string::npos) << line << "\n" << r.err;
  }

  // A folder that is not there, or holds no tiles: one line, and no mosaic described.
  fs::create_directory(dir_ / "empty");
  for (const auto& [folder, why] : std::vector<std::pair<std::string, std::string>>{
           {"../tilez/", "no such folder"}, {"../empty", "holds no tiles (it is empty)"}}) {
    r = run_demstitch(dir_ / "loose", {folder});
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error reading folder " + folder + ": " + why + "\n");
  }
}

TEST_F(Archives, NamesFromAnArchiveReachTheTerminalWithTheirControlCharactersShown) {
  const std::string evil =
      "\x1b[2J\x1b]0;OWNED\x07"
      "evil";
  write_file(dir_ / "tiles/evil.zip",
             testing::zip_of({{evil + ".hdr", read_file(dir_ / "tiles/E169N12.HDR")},
                              {evil + ".prj", "not a coordinate system\n"}}));
  Result r = run_demstitch(dir_ / "loose", {"--output=evil", "../tiles/evil.zip"});
  EXPECT_EQ(r.status, 4);
  for (const std::string& text : {r.out, r.err}) {
    EXPECT_EQ(text.find_first_of("\x1b\x07"), std::string::npos) << text;
  }
  EXPECT_NE(r.out.find("evil.zip:\\x1B[2J\\x1B]0;OWNED\\x07evil.hdr"), std::string::npos) << r.out;
}

TEST_F(Archives, AFolderIsStitchedInNameOrder) {
  // Six tiles on the same place, written in name order (a file system may list them in
  // any order): the last by name lies on top.
  fs::create_directory(dir_ / "stack");
  for (int i = 0; i < 6; ++i) {
    const std::string name = "stack/T" + std::to_string(i);
    write_file(dir_ / (name + ".HDR"), bil_header(240, 240, "169.004166666667", "11.995833333333"));
    write_file(dir_ / (name + ".DEM"), tile_raster(240, 240, 100 * i));
  }
  fs::create_directory(dir_ / "stacked");
  ASSERT_EQ(run_demstitch(dir_ / "stacked", {"../stack"}).status, 0);
  EXPECT_TRUE(read_file(dir_ / "stacked/GTResult.DEM") == read_file(dir_ / "stack/T5.DEM"));
}

TEST_F(Archives, TilesInArchivesCountTowardsTheLimit) {
  std::string command = "mkdir many && cd many";
  for (int i = 0; i < 65; ++i) {
    const std::string name = "T" + std::to_string(i);
    write_file(dir_ / ("tiles/" + name + ".HDR"),
               bil_header(1, 1, "10.004166666667", "49.995833333333"));
    write_file(dir_ / ("tiles/" + name + ".DEM"), "\0\1");
  }
  ASSERT_TRUE(shell("tar -cf many.tar T*.HDR T*.DEM"));
  fs::create_directory(dir_ / "limit");
  Result r = run_demstitch(dir_ / "limit", {"../tiles/many.tar"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err,
            "Too many tiles: at most 64 can be stitched in one run (the folders and archives named "
            "hold 65)\n");
}

TEST_F(Archives, ASecondRunReadsTheIndexTheFirstKeptAndNoCacheKeepsNone) {
  ASSERT_TRUE(
      shell("for t in E169N12 E171N12 E169N10 E171N10; do tar -czf $t.tar.gz $t.DEM "
            "$t.HDR; done"));
  const std::string cache = dir_ / "cache";
  const fs::path indexes = dir_ / "cache/demstitch";
  const std::vector<std::string> archives = {"../tiles/E169N12.tar.gz", "../tiles/E171N12.tar.gz",
                                             "../tiles/E169N10.tar.gz", "../tiles/E171N10.tar.gz"};
  auto run = [&](const std::string& out, std::vector<std::string> args) {
    fs::create_directories(dir_ / out);
    args.insert(args.end(), archives.begin(), archives.end());
    const Result r = run_demstitch(dir_ / out, args, {.cache_home = cache});
    EXPECT_EQ(r.status, 0) << out << r.err;
    EXPECT_EQ(read_file(dir_ / (out + "/GTResult.DEM")), reference_[0]) << out;
  };
  run("no_cache", {"--no-cache"});
  EXPECT_FALSE(fs::exists(dir_ / "cache"));
  run("first", {});
  std::vector<std::string> kept;
  for (const auto& entry : fs::directory_iterator(indexes)) kept.push_back(read_file(entry.path()));
  EXPECT_EQ(kept.size(), 4U);
  run("second", {});
  // Garbage over every index: each is made again, and the result is the same.
  for (const auto& entry : fs::directory_iterator(indexes)) write_file(entry.path(), "garbage");
  run("over_garbage", {});
  std::vector<std::string> again;
  for (const auto& entry : fs::directory_iterator(indexes))
    again.push_back(read_file(entry.path()));
  std::sort(kept.begin(), kept.end());
  std::sort(again.begin(), again.end());
  EXPECT_TRUE(kept == again);

  // A region read through the indexes is the region of the tiles on the disk.
  fs::create_directories(dir_ / "region_loose");
  ASSERT_EQ(run_demstitch(dir_ / "region_loose",
                          {"--bounds=170.2,9.3,171.6,11.1", "../tiles/E169N12", "../tiles/E171N12",
                           "../tiles/E169N10", "../tiles/E171N10"})
                .status,
            0);
  std::vector<std::string> args = {"--bounds=170.2,9.3,171.6,11.1"};
  args.insert(args.end(), archives.begin(), archives.end());
  fs::create_directories(dir_ / "region");
  ASSERT_EQ(run_demstitch(dir_ / "region", args, {.cache_home = cache}).status, 0);
  EXPECT_EQ(read_file(dir_ / "region/GTResult.DEM"), read_file(dir_ / "region_loose/GTResult.DEM"));

  // An archive made again with other samples under the same name: its index is stale, and
  // the run reads the new samples.
  write_file(dir_ / "tiles/E171N10.DEM", tile_raster(240, 240, 7777));
  ASSERT_TRUE(shell("tar -czf E171N10.tar.gz E171N10.DEM E171N10.HDR"));
  fs::create_directories(dir_ / "changed_loose");
  ASSERT_EQ(run_demstitch(dir_ / "changed_loose", {"../tiles/E169N12", "../tiles/E171N12",
                                                   "../tiles/E169N10", "../tiles/E171N10"})
                .status,
            0);
  fs::create_directories(dir_ / "changed");
  ASSERT_EQ(run_demstitch(dir_ / "changed", archives, {.cache_home = cache}).status, 0);
  EXPECT_EQ(read_file(dir_ / "changed/GTResult.DEM"),
            read_file(dir_ / "changed_loose/GTResult.DEM"));
}

// From an archive the raster is read once, from the tiles on disk twice (by one way or the
// other, the same bytes): BIG is cut into runs narrower than itself whose COG tiles they
// share at the first two levels, and its last 512-row band is alone; SMALL has one overview.
TEST_F(Archives, ACogWithOverviewsFromAnArchiveIsTheCogOfTheTilesOnDisk) {
  write_file(dir_ / "tiles/BIG.HDR", bil_header(1100, 1300, "10.004166666667", "49.995833333333"));
  write_file(dir_ / "tiles/BIG.DEM", tile_raster(1100, 1300, 300));
  write_file(dir_ / "tiles/SMALL.HDR", bil_header(600, 1000, "10.004166666667", "49.995833333333"));
  write_file(dir_ / "tiles/SMALL.DEM", tile_raster(600, 1000, -40));
  for (const std::string tile : {"BIG", "SMALL"}) {
    ASSERT_TRUE(shell("tar -czf " + tile + ".tar.gz " + tile + ".DEM " + tile + ".HDR"));
    const fs::path loose_dir = dir_ / (tile + "_loose");
    fs::create_directories(loose_dir);
    ASSERT_EQ(run_demstitch(loose_dir, {"--format=cog", "../tiles/" + tile}).status, 0);
    const std::string loose = read_file(loose_dir / "GTResult.tif");
    // Without the cache, then with it twice: the index made, then used.
    for (const std::string run : {"no_cache", "first", "second"}) {
      const fs::path out = dir_ / (tile + "_" + run);
      fs::create_directories(out);
      std::vector<std::string> args = {"--format=cog", "../tiles/" + tile + ".tar.gz"};
      if (run == "no_cache") args.insert(args.begin(), "--no-cache");
      const Result r = run_demstitch(out, args, {.cache_home = dir_ / "cog_cache"});
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(read_file(out / "GTResult.tif"), loose) << tile << " " << run;
      EXPECT_EQ(std::distance(fs::directory_iterator(out), {}), 1);  // nothing else left
    }
  }
}

TEST_F(Archives, AnIndexThatCannotBeKeptOrIsCutOffByASignalLeavesNothingInTheCache) {
  if (std::system("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "strace is not installed";
  ASSERT_TRUE(shell("tar -czf E169N12.tar.gz E169N12.DEM E169N12.HDR"));
  const std::string cache = dir_ / "cache";
  const fs::path indexes = dir_ / "cache/demstitch";
  fs::create_directories(dir_ / "out");
  auto cache_files = [&] {
    std::vector<std::string> names;
    if (fs::exists(indexes)) {
      for (const auto& e : fs::directory_iterator(indexes)) names.push_back(e.path().filename());
    }
    return names;
  };
  // The index is the first file a run names (linkat, or rename where a file cannot be made
  // without a name): a failure there, a signal, or a kill (where a file cannot be made
  // without a name, a killed run leaves its temporary file, and the next run removes it).
  for (const char* call : {"linkat", "rename"}) {
    for (const std::string how : {"error=EIO", "signal=SIGTERM", "signal=SIGKILL"}) {
      fs::remove_all(indexes);
      testing::Surroundings traced{
          .wrapper = {"strace", "-f", "-qq", "-o", "/dev/null", "-e",
                      std::string("inject=") + call + ":" + how + ":when=1"},
          .cache_home = cache};
      run_demstitch(dir_ / "out", {"../tiles/E169N12.tar.gz"}, traced);
      const std::string at = std::string(call) + " " + how;
      // (A failure of the result's own step is the install's, tested with it.)
      if (how != "signal=SIGKILL") {
        for (const std::string& name : cache_files()) EXPECT_TRUE(name.ends_with(".index")) << at;
      }
      // The next run makes it, and its mosaic is the tile's.
      ASSERT_EQ(
          run_demstitch(dir_ / "out", {"../tiles/E169N12.tar.gz"}, {.cache_home = cache}).status,
          0);
      const auto left = cache_files();
      EXPECT_TRUE(left.size() == 1 && left[0].ends_with(".index")) << at;
    }
  }
}

}  // namespace
}  // namespace demstitch
