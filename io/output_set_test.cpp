#include "io/output_set.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/tile_writer.hpp"

#if !defined(_WIN32)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "io/platform.hpp"
#endif

namespace demstitch {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::write_file;

class Outputs : public ::testing::Test {
 protected:
  std::string path(const std::string& name) { return dir_ / name; }

  std::vector<std::string> names() { return testing::names_in(dir_.path()); }

  // The files the result R is made of: the only names its journal may act on.
  std::vector<std::string> result_files() { return {path("R.DEM"), path("R.HDR"), path("R.stx")}; }

  // Starts a set of the two result files with the given contents, removing R.stx with them.
  void write_pair(OutputSet& set, const std::string& a, const std::string& b) {
    ASSERT_TRUE(set.lock(path("R.DEM.lock"), result_files()).ok());
    for (auto [name, text] : {std::pair{"R.DEM", a}, std::pair{"R.HDR", b}}) {
      File* file = nullptr;
      ASSERT_TRUE(set.add(path(name), &file).ok());
      ASSERT_TRUE(file->write_all(std::as_bytes(std::span(text))).ok());
    }
    set.remove_on_install(path("R.stx"));
  }

  void write_old_result() {
    write_file(dir_ / "R.DEM", "old raster");
    write_file(dir_ / "R.HDR", "old header");
    write_file(dir_ / "R.stx", "old statistics");
  }

  // The folder holds one whole result, the old one with its side file or the new one
  // without (or, where there was none, nothing), and nothing else.
  void expect_whole_result(const std::string& when, bool fresh = false) {
    if (fresh && !fs::exists(dir_ / "R.DEM")) {
      EXPECT_EQ(names(), std::vector<std::string>{}) << when;
      return;
    }
    const std::string raster = read_file(dir_ / "R.DEM");
    if (raster == "old raster") {
      EXPECT_EQ(read_file(dir_ / "R.HDR"), "old header") << when;
      EXPECT_EQ(names(), (std::vector<std::string>{"R.DEM", "R.HDR", "R.stx"})) << when;
    } else {
      EXPECT_EQ(raster, "new raster") << when;
      EXPECT_EQ(read_file(dir_ / "R.HDR"), "new header") << when;
      EXPECT_EQ(names(), (std::vector<std::string>{"R.DEM", "R.HDR"})) << when;
    }
  }

  testing::TempDir dir_;
};

TEST_F(Outputs, FilesAreInstalledTogetherAndNothingElseStays) {
  write_file(dir_ / "R.stx", "old statistics");
  {
    OutputSet set;
    write_pair(set, "raster", "header");
    ASSERT_TRUE(set.install().ok());
  }
  EXPECT_EQ(names(), (std::vector<std::string>{"R.DEM", "R.HDR"}));
  EXPECT_EQ(read_file(dir_ / "R.DEM"), "raster");
  EXPECT_EQ(read_file(dir_ / "R.HDR"), "header");
}

// A scratch file is read back as written and never installed: it is gone once the install
// starts, and when a set that never installs goes.
TEST_F(Outputs, AScratchFileIsReadBackAndNeverOutlivesItsSet) {
  for (bool install : {true, false}) {
    OutputSet set;
    write_pair(set, "raster", "header");
    File* scratch = nullptr;
    ASSERT_TRUE(set.add_scratch(path("R.DEM"), &scratch).ok());
    const std::string text = "tiles waiting";
    ASSERT_TRUE(scratch->write_at(0, std::as_bytes(std::span(text))).ok());
    std::string back(text.size(), '\0');
    size_t got = 0;
    ASSERT_TRUE(scratch->read_at(0, std::as_writable_bytes(std::span(back)), &got).ok());
    EXPECT_EQ(back, text);
    if (install) {
      ASSERT_TRUE(set.install().ok());
      EXPECT_EQ(names(), (std::vector<std::string>{"R.DEM", "R.DEM.lock", "R.HDR"}));
      EXPECT_EQ(read_file(dir_ / "R.DEM"), "raster");
    }
  }
  EXPECT_EQ(names(), (std::vector<std::string>{"R.DEM", "R.HDR"}));
}

TEST_F(Outputs, AFailureAtAnyStepPutsEveryEarlierFileBack) {
  write_old_result();
  for (int step = 0;; ++step) {
    Status s;
    {
      OutputSet set;
      write_pair(set, "new raster", "new header");
      set.set_step_hook([step](int at) {
        return at == step ? Status::error(StatusKind::io_error, Side::output, "R", "injected")
                          : Status();
      });
      s = set.install();
    }
    if (s.ok()) break;  // past the last step
    EXPECT_EQ(s.detail(), "injected");
    expect_whole_result("failed at step " + std::to_string(step));
    EXPECT_EQ(read_file(dir_ / "R.DEM"), "old raster");
  }
  // Where there was no earlier file, the new one goes again.
  write_old_result();
  fs::remove(dir_ / "R.HDR");
  {
    OutputSet set;
    write_pair(set, "new raster", "new header");
    set.set_step_hook([](int at) { return at == 3 ? Status::cancelled() : Status(); });
    EXPECT_EQ(set.install().kind(), StatusKind::cancelled);
  }
  EXPECT_EQ(names(), (std::vector<std::string>{"R.DEM", "R.stx"}));
}

TEST_F(Outputs, SideFilesThatAreNotFilesStay) {
  fs::create_directory(dir_ / "R.stx");
  OutputSet set;
  write_pair(set, "raster", "header");
  ASSERT_TRUE(set.install().ok());
  EXPECT_EQ(set.kept(), std::vector<std::string>{path("R.stx")});
  EXPECT_TRUE(fs::is_directory(dir_ / "R.stx"));
}

TEST_F(Outputs, OneRunAtATimeHoldsTheLock) {
  OutputSet first;
  ASSERT_TRUE(first.lock(path("R.DEM.lock"), result_files()).ok());
  OutputSet second;
  Status busy = second.lock(path("R.DEM.lock"), result_files());
  EXPECT_EQ(busy.kind(), StatusKind::busy);
  EXPECT_EQ(busy.path(), path("R.DEM.lock"));
}

TEST_F(Outputs, TheLockIsNeverAFileOfSomeoneElse) {
  write_file(dir_ / "n.txt", "keep");
  std::string lock = path("R.DEM.lock");
  auto expect_refused = [&](const std::string& what) {
    OutputSet set;
    Status s = set.lock(lock, result_files());
    EXPECT_FALSE(s.ok()) << what;
    EXPECT_EQ(s.path(), lock) << what;
  };
#if !defined(_WIN32)
  fs::create_symlink("n.txt", lock);
  expect_refused("a link to a file");
  fs::remove(lock);
  fs::create_symlink("missing.txt", lock);
  expect_refused("a dangling link");
  EXPECT_FALSE(fs::exists(dir_ / "missing.txt"));
  EXPECT_TRUE(fs::is_symlink(lock));
  fs::remove(lock);
#endif
  write_file(lock, "keep\n");
  expect_refused("a file without the mark");
  EXPECT_EQ(read_file(lock), "keep\n");
  fs::remove(lock);
  fs::create_directory(lock);
  expect_refused("a folder");
  fs::remove(lock);
  EXPECT_EQ(read_file(dir_ / "n.txt"), "keep");
  // Its own lock file it takes, and removes when done.
  {
    OutputSet set;
    ASSERT_TRUE(set.lock(lock, result_files()).ok());
#if !defined(_WIN32)  // where a file held for deletion cannot be opened again
    EXPECT_EQ(read_file(lock).substr(0, LockFile::mark.size()), LockFile::mark);
#endif
  }
  EXPECT_FALSE(fs::exists(lock));
}

TEST_F(Outputs, NamesOfAKilledRunAreRemovedAndNoOthers) {
  // A run killed with its temporary file named left the name in the journal.
  write_file(dir_ / "R.DEM.0123456789abcdef.part", "half");
  write_file(dir_ / "R.DEM.fedcba9876543210.part", "someone else's");
  write_file(dir_ / "R.DEM.lock", std::string(LockFile::mark) +
                                      "part/R.DEM.0123456789abcdef.part\npart/../escape.part\n"
                                      "part/S.DEM.0123456789abcdef.part\n");
  {
    OutputSet set;
    ASSERT_TRUE(set.lock(path("R.DEM.lock"), result_files()).ok());
  }
  EXPECT_EQ(names(), (std::vector<std::string>{"R.DEM.fedcba9876543210.part"}));
}

TEST_F(Outputs, AJournalActsOnlyOnTheResultsFilesAndTheirTemporaryNames) {
  // Forged records: the lock itself, a user's file beside the result, a result file as a
  // temporary name, a temporary name of something else, an install that would restore a
  // user's file over the header.
  for (const char* name : {"R.mine", "R.DEM.0123456789abcdef.partx", "R.DEMX.0123456789abcdef.part",
                           "R.DEM.0123456789ABCDEF.part", "R.HDR.keep"}) {
    write_file(dir_ / name, "the user's");
  }
  write_file(dir_ / "R.HDR", "the user's header");
  write_file(dir_ / "R.DEM.lock",
             std::string(LockFile::mark) +
                 "part/R.DEM.lock\npart/R.mine\npart/R.HDR\npart/R.DEM.0123456789abcdef.partx\n"
                 "part/R.DEMX.0123456789abcdef.part\npart/R.DEM.0123456789ABCDEF.part\n"
                 "install\nold/R.HDR/R.HDR.0123456789abcdef.part/R.HDR.keep\n"
                 "new/R.mine/R.DEM.0123456789abcdef.part\n");
  {
    OutputSet set;
    ASSERT_TRUE(set.lock(path("R.DEM.lock"), result_files()).ok());
    EXPECT_TRUE(fs::exists(dir_ / "R.DEM.lock"));
  }
  EXPECT_EQ(read_file(dir_ / "R.HDR"), "the user's header");
  EXPECT_EQ(names(), (std::vector<std::string>{
                         "R.DEM.0123456789ABCDEF.part", "R.DEM.0123456789abcdef.partx",
                         "R.DEMX.0123456789abcdef.part", "R.HDR", "R.HDR.keep", "R.mine"}));
}

#if !defined(_WIN32)
TEST_F(Outputs, ALockAnotherUserOwnsIsNeverActedOn) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give a file to another user";
  write_file(dir_ / "R.DEM.0123456789abcdef.part", "another user's");
  write_file(dir_ / "R.DEM.lock",
             std::string(LockFile::mark) + "part/R.DEM.0123456789abcdef.part\n");
  ASSERT_EQ(::chown(path("R.DEM.lock").c_str(), 65534, 65534), 0);
  OutputSet set;
  Status s = set.lock(path("R.DEM.lock"), result_files());
  EXPECT_EQ(s.path(), path("R.DEM.lock"));
  EXPECT_NE(s.detail().find("(uid 65534): another user's lock is never used"), std::string::npos)
      << s.detail();
  EXPECT_TRUE(fs::exists(dir_ / "R.DEM.0123456789abcdef.part"));
}
#endif

TEST_F(Outputs, AnInstallThatCannotBeUndoneStopsTheRunAndStaysInTheJournal) {
  // A killed run's install whose earlier raster cannot go back: a folder took its name.
  write_file(dir_ / "R.DEM.0123456789abcdef.part", "old raster");
  fs::create_directories(dir_.path() / "R.DEM" / "inside");
  const std::string journal = std::string(LockFile::mark) +
                              "install\nold/R.DEM/R.DEM.fedcba9876543210.part/"
                              "R.DEM.0123456789abcdef.part\n";
  write_file(dir_ / "R.DEM.lock", journal);
  {
    OutputSet set;
    Status s = set.lock(path("R.DEM.lock"), result_files());
    EXPECT_FALSE(s.ok());
    EXPECT_EQ(s.path(), path("R.DEM.lock"));
  }
  EXPECT_EQ(read_file(dir_ / "R.DEM.lock"), journal);
  // Once the folder is gone, the next run puts the raster back.
  fs::remove_all(dir_ / "R.DEM");
  { ASSERT_TRUE(OutputSet().lock(path("R.DEM.lock"), result_files()).ok()); }
  EXPECT_EQ(names(), std::vector<std::string>{"R.DEM"});
  EXPECT_EQ(read_file(dir_ / "R.DEM"), "old raster");
}

TEST_F(Outputs, ACopyThatCannotBeRemovedIsLeftToTheNextRun) {
  write_old_result();
  {
    OutputSet set;
    write_pair(set, "new raster", "new header");
    set.set_step_hook([](int at) {
      return at == -1 ? Status::error(StatusKind::io_error, Side::output, "R", "injected")
                      : Status();
    });
    ASSERT_TRUE(set.install().ok());
    EXPECT_EQ(set.leftovers().size(), 3u);  // the old raster, header and statistics
  }
  EXPECT_EQ(names().size(), 6u);
  { ASSERT_TRUE(OutputSet().lock(path("R.DEM.lock"), result_files()).ok()); }
  expect_whole_result("after the next run took the lock");
  EXPECT_EQ(read_file(dir_ / "R.DEM"), "new raster");
}

#if !defined(_WIN32)
// A run killed (SIGKILL) or interrupted (SIGTERM) at each step of an install in turn, in a
// child process, over an earlier result and as a fresh one; killed also before each copy of
// the earlier files goes, once the install is done. The next run that takes the lock must
// find, or make, one whole result: the earlier, the new, or (fresh) none.
TEST_F(Outputs, AKillOrASignalAtAnyStepOfTheInstallLeavesOneWholeResult) {
  for (bool fresh : {false, true}) {
    for (int signal : {SIGKILL, SIGTERM}) {
      for (bool at_copies : {false, true}) {
        if (at_copies && signal == SIGTERM) continue;  // once done, a signal waits for the end
        for (int stop = 0;; ++stop) {
          for (const std::string& name : names()) fs::remove(dir_ / name);
          if (!fresh) write_old_result();
          pid_t pid = ::fork();
          ASSERT_NE(pid, -1);
          if (pid == 0) {
            end_on_interrupt_signals();
            bool installed = false;
            {
              OutputSet set;
              write_pair(set, "new raster", "new header");
              set.set_step_hook([stop, signal, at_copies, calls = 0](int at) mutable {
                if ((at == -1) == at_copies && calls++ == stop) ::raise(signal);
                return Status();
              });
              installed = set.install().ok();
            }
            _exit(installed ? 0 : 1);
          }
          int status = 0;
          ::waitpid(pid, &status, 0);
          const std::string when = std::string(fresh ? "fresh, " : "") + "signal " +
                                   std::to_string(signal) +
                                   (at_copies ? " at copy " : " at step ") + std::to_string(stop);
          if (WIFEXITED(status)) {
            EXPECT_EQ(WEXITSTATUS(status), 0) << when;
            expect_whole_result(when, fresh);
            break;  // past the last step
          }
          ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << when;
          if (signal == SIGTERM) {
            // Ended by the signal: the install was undone first.
            EXPECT_EQ(read_file(dir_ / "R.DEM"), fresh ? "" : "old raster") << when;
            expect_whole_result(when, fresh);
          }
          { ASSERT_TRUE(OutputSet().lock(path("R.DEM.lock"), result_files()).ok()); }
          expect_whole_result(when + ", then the next run", fresh);
        }
      }
    }
  }
}
#endif

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
