// The run in a hostile or careless environment: another run at work, closed descriptors,
// signals at any moment, little memory, odd tile shapes. Each case runs the built program.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "io/filesystem.hpp"
#include "tests/run_program.hpp"
#include "tests/tile_writer.hpp"

namespace demstitch {
namespace {

namespace fs = std::filesystem;
using testing::bil_header;
using testing::read_file;
using testing::Result;
using testing::run_demstitch;
using testing::tile_raster;
using testing::write_file;

class Trust : public ::testing::Test {
 protected:
  void SetUp() override {
    write_file(dir_ / "A.hdr", bil_header(120, 120, "-180", "90"));
    write_file(dir_ / "A.dem", tile_raster(120, 120, 0));
  }

  // Names in the folder besides the tiles and the result.
  std::vector<std::string> strays() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_.path())) {
      std::string name = entry.path().filename();
      if (!name.starts_with("A.") && !name.starts_with("B.") && !name.starts_with("P.") &&
          name != "GTResult.DEM" && name != "GTResult.HDR" && name != "GTResult.prj") {
        names.push_back(name);
      }
    }
    return names;
  }

  // A tile of five million rows: some 60 MB of progress lines, which block the run on a pipe
  // nobody reads.
  void slow_tile() {
    write_file(dir_ / "P.hdr",
               "NROWS 5000000\nNCOLS 120\nULXMAP -180\nULYMAP 90\nYDIM 0.0000001\n");
    write_file(dir_ / "P.dem", tile_raster(2, 120, 0));
  }

  // Starts a run writing into a pipe, sends `signal` once it is at work, and expects the run
  // to end by that signal, leaving the earlier result and nothing else.
  void expect_ended_by(int signal, const std::vector<std::string>& args, bool read_pipe) {
    write_file(dir_ / "GTResult.DEM", "old raster");
    write_file(dir_ / "GTResult.HDR", "old header");
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    pid_t pid = testing::start_demstitch(dir_.path(), args, fds[1]);
    ::close(fds[1]);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ::kill(pid, signal);
    // Either way it must end well within the ten seconds allowed here.
    int status = 0;
    for (int waited = 0; waited < 1000 && ::waitpid(pid, &status, WNOHANG) == 0; ++waited) {
      char buffer[65536];
      if (read_pipe) {
        if (::read(fds[0], buffer, sizeof buffer) <= 0) read_pipe = false;
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    if (::waitpid(pid, &status, WNOHANG) == 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      ADD_FAILURE() << "still running 10 s after signal " << signal;
    }
    ::close(fds[0]);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
    EXPECT_EQ(read_file(dir_ / "GTResult.DEM"), "old raster");
    EXPECT_EQ(read_file(dir_ / "GTResult.HDR"), "old header");
    EXPECT_EQ(strays(), std::vector<std::string>{});
  }

  testing::TempDir dir_;
};

TEST_F(Trust, ASecondRunOnTheSameResultWritesNothing) {
  // Another run's lock file, held.
  write_file(dir_ / "GTResult.DEM.lock", LockFile::mark);
  int lock = ::open((dir_ / "GTResult.DEM.lock").c_str(), O_RDWR);
  ASSERT_EQ(::flock(lock, LOCK_EX), 0);
  Result r = run_demstitch(dir_.path(), {"A"});
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("Another run is writing GTResult.DEM now: nothing written"),
            std::string::npos)
      << r.err;
  EXPECT_FALSE(fs::exists(dir_ / "GTResult.DEM"));
  EXPECT_TRUE(fs::exists(dir_ / "GTResult.DEM.lock"));  // the other run's, left alone
  ::close(lock);
  EXPECT_EQ(run_demstitch(dir_.path(), {"A"}).status, 0);
  EXPECT_EQ(strays(), std::vector<std::string>{});
}

TEST_F(Trust, ClosedStandardStreamsNeverReachTheResult) {
  ASSERT_EQ(run_demstitch(dir_.path(), {"A"}).status, 0);
  std::string header = read_file(dir_ / "GTResult.HDR");
  Result r = run_demstitch(dir_.path(), {"A"}, testing::Surroundings{.stdout_closed = true});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(read_file(dir_ / "GTResult.DEM"), tile_raster(120, 120, 0));
  EXPECT_EQ(read_file(dir_ / "GTResult.HDR"), header);
}

TEST_F(Trust, SignalsEndTheRunAtOnceInEveryPhase) {
#if defined(DEMSTITCH_THREAD_SANITIZED)
  GTEST_SKIP() << "ThreadSanitizer holds a signal back until the program next calls the C "
                  "library, which a run blocked in the kernel never does";
#endif
  slow_tile();
  // Blocked writing progress into a pipe that nobody reads.
  expect_ended_by(SIGTERM, {"P"}, false);
  // Printing a flood of progress lines as fast as they are read.
  expect_ended_by(SIGINT, {"P"}, true);
  // Reading a header of a gigabyte of blanks.
  ::truncate((dir_ / "P.hdr").c_str(), int64_t{1} << 30);
  expect_ended_by(SIGHUP, {"A", "P"}, true);
}

TEST_F(Trust, AKilledRunLeavesNothingTheNextRunKeeps) {
  slow_tile();
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  pid_t pid = testing::start_demstitch(dir_.path(), {"A", "P"}, fds[1]);
  ::close(fds[1]);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  ::close(fds[0]);
  EXPECT_EQ(run_demstitch(dir_.path(), {"A"}).status, 0);
  EXPECT_EQ(strays(), std::vector<std::string>{});
}

#if !defined(DEMSTITCH_SANITIZED)
TEST_F(Trust, MemoryStaysSmallWhateverTheTilesShape) {
  // One-sample rows, two million of them, named eight times: each band of the mosaic holds
  // millions of row pieces.
  write_file(dir_ / "N.hdr",
             "NROWS 2000000\nNCOLS 1\nTOTALROWBYTES 2\nULXMAP 0\nULYMAP 0\n"
             "XDIM 0.00833333333333\nYDIM 0.00833333333333\n");
  write_file(dir_ / "N.dem", std::string(4000000, '\x01'));
  Result r = run_demstitch(dir_.path(), std::vector<std::string>(8, "N"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_LE(r.peak_kb, 16 * 1024);
}

TEST_F(Trust, LittleMemoryEndsInAStatusNeverACrash) {
  // Below some 7 MB of address space the C++ runtime itself cannot start (the loader cannot
  // map it, or an exception cannot be made): no program of this size can do better there.
  for (rlim_t megabytes : {8, 10, 12, 14, 16, 24}) {
    Result r =
        run_demstitch(dir_.path(), {"A"}, testing::Surroundings{.address_limit = megabytes << 20});
    EXPECT_TRUE(r.status == 0 || r.status == 3) << megabytes << " MB: " << r.status << r.err;
    EXPECT_EQ(strays(), std::vector<std::string>{}) << megabytes << " MB";
  }
}
#endif

TEST_F(Trust, AFolderUnderTheHeaderNameIsFoundBeforeTheRasterIsWritten) {
  fs::create_directory(dir_ / "GTResult.HDR");
  // With room for only 4 KiB a written raster would fail first, and say so.
  Result r = run_demstitch(dir_.path(), {"A"}, 4096);
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "Unable to write header file for result\nGTResult.HDR: Is a directory\n");
  EXPECT_EQ(strays(), std::vector<std::string>{});
}

TEST_F(Trust, TheLockNameNeverReachesAUsersFile) {
  write_file(dir_ / "n.txt", "keep\n");
  fs::create_symlink("n.txt", dir_ / "GTResult.DEM.lock");
  Result r = run_demstitch(dir_.path(), {"A"});
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("GTResult.DEM.lock: a link, not a lock file of demstitch"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(read_file(dir_ / "n.txt"), "keep\n");
  EXPECT_TRUE(fs::is_symlink(dir_ / "GTResult.DEM.lock"));
  EXPECT_FALSE(fs::exists(dir_ / "GTResult.DEM"));
  fs::remove(dir_ / "GTResult.DEM.lock");
  fs::create_symlink("made.txt", dir_ / "GTResult.DEM.lock");
  EXPECT_EQ(run_demstitch(dir_.path(), {"A"}).status, 3);
  EXPECT_FALSE(fs::exists(dir_ / "made.txt"));
  fs::remove(dir_ / "GTResult.DEM.lock");
  // A file of the user's under the lock's name is neither written nor removed.
  write_file(dir_ / "Cargo.DEM.lock", "x\n");
  write_file(dir_ / "Cargo.lock", "x\n");
  EXPECT_EQ(run_demstitch(dir_.path(), {"--output=Cargo", "A"}).status, 3);
  EXPECT_EQ(read_file(dir_ / "Cargo.DEM.lock"), "x\n");
  EXPECT_EQ(read_file(dir_ / "Cargo.lock"), "x\n");
  EXPECT_FALSE(fs::exists(dir_ / "Cargo.DEM"));
  // A folder there is named as the lock.
  fs::create_directory(dir_ / "GTResult.DEM.lock");
  r = run_demstitch(dir_.path(), {"A"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "Unable to lock the result\nGTResult.DEM.lock: Is a directory\n");
}

TEST_F(Trust, NoNameTheResultTakesIsAFileOfANamedTile) {
  auto expect_untouched = [&](const Result& r, int status, const std::string& what) {
    EXPECT_EQ(r.status, status) << what << ": " << r.err;
    EXPECT_EQ(read_file(dir_ / "data/T.DEM"), tile_raster(120, 120, 0)) << what;
    EXPECT_EQ(read_file(dir_ / "data/T.HDR"), bil_header(120, 120, "-180", "90")) << what;
  };
  fs::create_directories(dir_ / "data");
  fs::create_directories(dir_ / "work");
  write_file(dir_ / "data/T.DEM", tile_raster(120, 120, 0));
  write_file(dir_ / "data/T.HDR", bil_header(120, 120, "-180", "90"));
  // Side files of a tile, in lower case beside it, which --output would have removed.
  write_file(dir_ / "data/t.stx", "statistics");
  expect_untouched(run_demstitch(dir_ / "data", {"--output=t", "T"}), 3, "side files");
  EXPECT_EQ(read_file(dir_ / "data/t.stx"), "statistics");
  // Through links, and through another name of the same file.
  for (const char* extension : {".DEM", ".HDR"}) {
    fs::create_symlink(std::string("../data/T") + extension,
                       dir_.path() / "work" / (std::string("T") + extension));
    fs::create_hard_link(dir_.path() / "data" / (std::string("T") + extension),
                         dir_.path() / "work" / (std::string("H") + extension));
  }
  expect_untouched(run_demstitch(dir_ / "work", {"--output=../data/T", "T", "../A"}), 2, "links");
  expect_untouched(run_demstitch(dir_ / "work", {"--output=../data/T", "H"}), 2, "hard links");
  // A name given with its extension whose header is gone is still a file named.
  fs::remove(dir_ / "work/T.HDR");
  fs::remove(dir_ / "work/H.HDR");
  Result named = run_demstitch(dir_ / "data", {"--output=../data/T", "../work/H.DEM", "../A"});
  expect_untouched(named, 3, "named with its extension");
  EXPECT_NE(named.err.find("would replace a file of the named tile ../work/H.DEM: nothing "
                           "written (choose another name with --output)"),
            std::string::npos)
      << named.err;
}

TEST_F(Trust, AnEarlierResultIsNeverTakenForATile) {
  ASSERT_EQ(run_demstitch(dir_.path(), {"A"}).status, 0);
  const std::string result = read_file(dir_ / "GTResult.DEM");
  // *.DEM names the result this run would replace.
  Result r = run_demstitch(dir_.path(), {"A.DEM", "GTResult.DEM"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("The tile GTResult.DEM is the result this run would replace"),
            std::string::npos);
  EXPECT_TRUE(read_file(dir_ / "GTResult.DEM") == result);
  // Another result beside the tiles is skipped when named with its extension (said, and no
  // failure: a wildcard caught it), and taken when named by its base name, on purpose.
  fs::rename(dir_ / "GTResult.DEM", dir_ / "old.DEM");
  fs::rename(dir_ / "GTResult.HDR", dir_ / "old.HDR");
  fs::remove(dir_ / "GTResult.prj");
  r = run_demstitch(dir_.path(), {"A.DEM", "old.DEM"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("Skipped old.HDR: it is the header of a demstitch result"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(run_demstitch(dir_.path(), {"old"}).status, 0);
}

TEST_F(Trust, SideFilesThatAreNotFilesAreLeftAndNamed) {
  fs::create_directory(dir_ / "GTResult.hdr");
  Result r = run_demstitch(dir_.path(), {"A"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err,
            "GTResult.hdr is not a file: left as it is, though it may describe an "
            "earlier result\n");
  EXPECT_TRUE(fs::is_directory(dir_ / "GTResult.hdr"));
  fs::remove(dir_ / "GTResult.hdr");
  EXPECT_EQ(strays(), std::vector<std::string>{});
}

#if !defined(DEMSTITCH_SANITIZED)
// Where an earlier result is replaced, the new files' data reaches the disk before the first
// of them takes its name, and the folder after the last; a fresh result is not synced.
TEST_F(Trust, AReplacedResultIsSyncedBeforeAndAfterItsInstall) {
  if (std::system("strace -o /dev/null true >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "SKIPPED: strace cannot trace here";
  }
  auto calls = [&] {
    testing::Surroundings traced;
    traced.wrapper = {"strace",
                      "-f",
                      "-qq",
                      "-o",
                      (dir_ / "calls.txt"),
                      "-e",
                      "trace=fdatasync,fsync,rename,renameat,renameat2"};
    EXPECT_EQ(run_demstitch(dir_.path(), {"A"}, traced).status, 0);
    std::string text = read_file(dir_ / "calls.txt");
    fs::remove(dir_ / "calls.txt");
    std::string names;  // one letter a call: s(ync), r(ename)
    for (size_t at = 0; (at = text.find_first_of("fr", at)) != std::string::npos; ++at) {
      if (text.compare(at, 10, "fdatasync(") == 0 || text.compare(at, 6, "fsync(") == 0) {
        names += 's';
      }
      if (text.compare(at, 6, "rename") == 0 && (at == 0 || text[at - 1] == ' ')) names += 'r';
    }
    return names;
  };
  EXPECT_EQ(calls().find('s'), std::string::npos);  // fresh
  // Replacing: three files' data, the journal and the folder, the three renames (and the
  // lower-case header's), then the folder again.
  write_file(dir_ / "GTResult.hdr", "stale");
  EXPECT_EQ(calls(), "sssssrrrrs");
}

// strace stops the run at a chosen call of the install: a signal there undoes the install
// before the run ends by it, and a kill leaves a journal from which the next run makes the
// result whole.
TEST_F(Trust, ASignalOrAKillAtAnyCallOfTheInstall) {
  if (std::system("strace -o /dev/null true >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "SKIPPED: strace cannot trace here";
  }
  write_file(dir_ / "B.hdr", bil_header(120, 120, "-179", "90"));
  write_file(dir_ / "B.dem", tile_raster(120, 120, 5));
  ASSERT_EQ(run_demstitch(dir_.path(), {"A"}).status, 0);
  const std::string old_raster = read_file(dir_ / "GTResult.DEM");
  const std::string old_header = read_file(dir_ / "GTResult.HDR");
  for (const char* signal : {"SIGTERM", "SIGKILL"}) {
    for (const char* call : {"link", "linkat", "rename", "unlink"}) {
      for (int when = 1; when < 20; ++when) {
        write_file(dir_ / "GTResult.hdr", "a stale side file");
        testing::Surroundings traced;
        traced.wrapper = {
            "strace",
            "-f",
            "-o",
            "/dev/null",
            "-e",
            std::string("inject=") + call + ":signal=" + signal + ":when=" + std::to_string(when)};
        Result r = run_demstitch(dir_.path(), {"A", "B"}, traced);
        const std::string at = std::string(signal) + " at " + call + " " + std::to_string(when);
        if (r.status == 0) {
          ASSERT_EQ(run_demstitch(dir_.path(), {"A"}).status, 0);
          break;  // past the last such call
        }
        ASSERT_EQ(r.signal, std::string(signal) == "SIGTERM" ? SIGTERM : SIGKILL) << at << r.err;
        if (std::string(signal) == "SIGTERM") {
          EXPECT_TRUE(
              r.err.ends_with("\nInterrupted: nothing written, and any earlier result is "
                              "kept as it was\n"))
              << at << r.err;
          EXPECT_TRUE(read_file(dir_ / "GTResult.DEM") == old_raster) << at;
          EXPECT_EQ(read_file(dir_ / "GTResult.HDR"), old_header) << at;
          EXPECT_EQ(read_file(dir_ / "GTResult.hdr"), "a stale side file") << at;
          EXPECT_EQ(strays(), std::vector<std::string>{"GTResult.hdr"}) << at;
        } else if (read_file(dir_ / "GTResult.DEM") == old_raster) {
          // Killed before the raster was replaced, or with the journal to put it back.
          EXPECT_TRUE(read_file(dir_ / "GTResult.HDR") == old_header ||
                      fs::exists(dir_ / "GTResult.DEM.lock"))
              << at;
        }
        ASSERT_EQ(run_demstitch(dir_.path(), {"A"}).status, 0) << at;
        EXPECT_TRUE(read_file(dir_ / "GTResult.DEM") == old_raster) << at;
        EXPECT_EQ(strays(), std::vector<std::string>{}) << at;
      }
    }
  }
}
#endif

#if !defined(DEMSTITCH_SANITIZED)
// A COG is installed like the raw raster: a write that fails part way (the disk full at any
// write of the tiles, the scratch file's or the file's), or a signal there, leaves the
// earlier file as it was and nothing else; a run that succeeds takes the earlier file's GIS side
// files with it.
TEST_F(Trust, ACogThatCannotBeWrittenLeavesTheEarlierOneAndNothingElse) {
  if (std::system("strace -o /dev/null true >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "SKIPPED: strace cannot trace here";
  }
  // Big enough for overviews, so that every kind of write happens: some 40 in all, so one
  // of the two threads makes 20 at least (strace counts each thread's calls apart).
  write_file(dir_ / "B.hdr", bil_header(600, 1300, "-170", "80"));
  write_file(dir_ / "B.dem", tile_raster(600, 1300, 7));
  write_file(dir_ / "x.tif", "earlier");
  for (int when : {1, 4, 8, 13, 18}) {
    testing::Surroundings traced;
    traced.wrapper = {"strace",
                      "-f",
                      "-qq",
                      "-o",
                      "/dev/null",
                      "-e",
                      "inject=pwrite64:error=ENOSPC:when=" + std::to_string(when)};
    Result r = run_demstitch(dir_.path(), {"--output=x.tif", "A", "B"}, traced);
    EXPECT_EQ(r.status, 3) << "write " << when << ": " << r.err;
    EXPECT_TRUE(read_file(dir_ / "x.tif") == "earlier") << "write " << when;
    EXPECT_EQ(strays(), std::vector<std::string>{"x.tif"}) << "write " << when;
    // A signal there ends the run by it, the same way.
    traced.wrapper.back() = "inject=pwrite64:signal=SIGTERM:when=" + std::to_string(when);
    r = run_demstitch(dir_.path(), {"--output=x.tif", "A", "B"}, traced);
    EXPECT_EQ(r.signal, SIGTERM) << "write " << when << ": " << r.err;
    EXPECT_TRUE(read_file(dir_ / "x.tif") == "earlier") << "write " << when;
    EXPECT_EQ(strays(), std::vector<std::string>{"x.tif"}) << "write " << when;
  }
  write_file(dir_ / "x.tif.aux.xml", "statistics of the earlier file");
  EXPECT_EQ(run_demstitch(dir_.path(), {"--output=x.tif", "A", "B"}).status, 0);
  EXPECT_EQ(strays(), std::vector<std::string>{"x.tif"});
  EXPECT_EQ(read_file(dir_ / "x.tif").substr(0, 4), std::string("II*\0", 4));
}
#endif

// A NetCDF file holds the .DEM's samples after its header and coordinates, padded to four
// bytes with no-data; it is installed like the others: cut at any point (its header, its
// coordinates, its samples, the padding) the earlier file stays as it was and nothing else is
// left, and a run killed part way leaves what the next run clears.
TEST_F(Trust, ANetcdfFileHoldsTheRawSamplesAndIsInstalledAllOrNothing) {
  write_file(dir_ / "B.hdr", bil_header(45, 33, "-170", "80"));  // odd: two bytes of padding
  write_file(dir_ / "B.dem", tile_raster(45, 33, -40));
  ASSERT_EQ(run_demstitch(dir_.path(), {"B"}).status, 0);
  ASSERT_EQ(run_demstitch(dir_.path(), {"--output=y.nc", "B"}).status, 0);
  const std::string raw = read_file(dir_ / "GTResult.DEM");
  const std::string file = read_file(dir_ / "y.nc");
  ASSERT_GT(file.size(), raw.size() + 2);
  EXPECT_EQ(file.substr(0, 4), std::string("CDF\x02", 4));
  EXPECT_TRUE(file.substr(file.size() - raw.size() - 2, raw.size()) == raw);
  EXPECT_EQ(file.substr(file.size() - 2), "\xD8\xF1");  // -9999
  fs::remove(dir_ / "y.nc");

  write_file(dir_ / "x.nc", "earlier");
  for (rlim_t limit : {rlim_t{100}, rlim_t{file.size() - raw.size() - 10},
                       rlim_t{file.size() - 1000}, rlim_t{file.size() - 1}}) {
    Result r = run_demstitch(dir_.path(), {"--output=x.nc", "B"}, limit);
    EXPECT_EQ(r.status, 3) << limit << ": " << r.err;
    EXPECT_EQ(read_file(dir_ / "x.nc"), "earlier") << limit;
    EXPECT_EQ(strays(), std::vector<std::string>{"x.nc"}) << limit;
  }
#if !defined(DEMSTITCH_SANITIZED)
  if (std::system("strace -o /dev/null true >/dev/null 2>&1") == 0) {
    testing::Surroundings traced;
    // Killed at the header's write: the second write of a quiet run's thread, after its
    // console lines (every build writes, where not every build reserves space first).
    traced.wrapper = {
        "strace", "-f", "-qq", "-o", "/dev/null", "-e", "inject=write:signal=SIGKILL:when=2"};
    Result r = run_demstitch(dir_.path(), {"--quiet", "--output=x.nc", "B"}, traced);
    EXPECT_EQ(r.signal, SIGKILL) << r.err;
    EXPECT_EQ(read_file(dir_ / "x.nc"), "earlier");
    EXPECT_EQ(run_demstitch(dir_.path(), {"--output=x.nc", "B"}).status, 0);
    EXPECT_EQ(strays(), std::vector<std::string>{"x.nc"});
    EXPECT_TRUE(read_file(dir_ / "x.nc").substr(file.size() - raw.size() - 2) ==
                file.substr(file.size() - raw.size() - 2));
    // A write that fails (the disk full under it): the header's (the second write of the
    // run's thread, after its console lines), or the samples' (the writer threads count
    // their own calls: a mosaic of 1.5 MB takes some 24 writes of 64 KiB).
    write_file(dir_ / "A.hdr", bil_header(600, 1300, "-100", "40"));
    write_file(dir_ / "A.dem", tile_raster(600, 1300, 9));
    write_file(dir_ / "x.nc", "earlier");
    for (int when : {2, 5, 12}) {
      traced.wrapper.back() = "inject=write:error=ENOSPC:when=" + std::to_string(when);
      r = run_demstitch(dir_.path(), {"--quiet", "--output=x.nc", "A"}, traced);
      EXPECT_EQ(r.status, 3) << when << ": " << r.err;
      EXPECT_EQ(read_file(dir_ / "x.nc"), "earlier") << when;
      EXPECT_EQ(strays(), std::vector<std::string>{"x.nc"}) << when;
    }
  }
#endif
}

// A NetCDF file's coordinates are written a piece at a time: three million rows (24 MB of
// latitudes) in a few megabytes; two billion are refused for the disk before any is made.
TEST_F(Trust, ATallNetcdfFileTakesLittleMemoryAndATooTallOneIsRefusedForItsSpace) {
  write_file(dir_ / "T.hdr", bil_header(3000000, 2, "-180", "90"));
  write_file(dir_ / "T.dem", tile_raster(10, 2, 4));  // short: the rest is no-data
  Result r = run_demstitch(dir_.path(), {"--quiet", "--output=t.nc", "T"});
  EXPECT_EQ(r.status, 4) << r.err;  // the short raster is reported
  EXPECT_GT(fs::file_size(dir_ / "t.nc"), size_t{24000000});
#if !defined(DEMSTITCH_SANITIZED)
  EXPECT_LE(r.peak_kb, 16 * 1024);
#endif
  fs::remove(dir_ / "t.nc");
  write_file(dir_ / "T.hdr", bil_header(2000000000, 100000, "-180", "90"));
  r = run_demstitch(dir_.path(), {"--quiet", "--output=t.nc", "T"});
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_NE(r.err.find("Not enough space for t.nc: "), std::string::npos) << r.err;
#if !defined(DEMSTITCH_SANITIZED)
  EXPECT_LE(r.peak_kb, 16 * 1024);
#endif
  fs::remove(dir_ / "T.hdr");
  fs::remove(dir_ / "T.dem");
  EXPECT_EQ(strays(), std::vector<std::string>{});
}

TEST_F(Trust, AGeoTiffTooWideForItsMemoryIsRefusedBeforeAnythingIsWritten) {
  // One row as wide as a 32-bit width goes: refused with a status, no lock left, no memory
  // run out of.
  write_file(dir_ / "B.hdr", bil_header(1, 2147483400, "-180", "90"));
  write_file(dir_ / "B.dem", std::string(100, '\0'));
  Result r = run_demstitch(dir_.path(), {"--format=cog", "B"});
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_NE(r.err.find("a GeoTIFF is at most 49152 wide"), std::string::npos) << r.err;
  EXPECT_EQ(strays(), std::vector<std::string>{});
  // A row of 49152 samples is written, within its memory.
  write_file(dir_ / "B.hdr", bil_header(1, 49152, "-180", "90"));
  write_file(dir_ / "B.dem", tile_raster(1, 49152, 0));
  EXPECT_EQ(run_demstitch(dir_.path(), {"--output=B.tif", "B"}).status, 0);
  fs::remove(dir_ / "B.tif");
}

}  // namespace
}  // namespace demstitch
