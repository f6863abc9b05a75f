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
      if (!name.starts_with("A.") && !name.starts_with("P.") && name != "GTResult.DEM" &&
          name != "GTResult.HDR" && name != "GTResult.prj") {
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
  for (rlim_t megabytes : {6, 8, 10, 12, 14, 16, 24}) {
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

}  // namespace
}  // namespace demstitch
