#pragma once

// Running the built program in a child process (POSIX): the end-to-end tests' tool.
#include <sys/resource.h>
#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/tile_writer.hpp"

namespace demstitch::testing {

// What a run of the program left: exit status and the text of its two console streams.
struct Result {
  int status = -1;   // the exit status, or -1 when a signal ended the run
  int signal = 0;    // the signal that ended it
  long peak_kb = 0;  // its peak resident memory
  std::string out;
  std::string err;
};

// The surroundings of a run: limits on file size and address space (as `ulimit -f` and
// `ulimit -v` set them), and standard output closed.
struct Surroundings {
  rlim_t file_limit = RLIM_INFINITY;
  rlim_t address_limit = RLIM_INFINITY;
  bool stdout_closed = false;
  // A program the run goes through, with its arguments (strace and its options).
  std::vector<std::string> wrapper = {};
  // The user's cache folder the run sees (XDG_CACHE_HOME); empty: one the tests share in the
  // system's temporary folder, never the user's own.
  std::string cache_home = {};
};

// Runs the built demstitch with `args` in `folder`.
Result run_demstitch(const std::filesystem::path& folder, const std::vector<std::string>& args,
                     const Surroundings& surroundings);
inline Result run_demstitch(const std::filesystem::path& folder,
                            const std::vector<std::string>& args,
                            rlim_t file_limit = RLIM_INFINITY) {
  return run_demstitch(folder, args, Surroundings{.file_limit = file_limit});
}

// Starts the built demstitch with `args` in `folder`, its standard output into `out_fd` and
// its standard error into the null device; returns its process id.
pid_t start_demstitch(const std::filesystem::path& folder, const std::vector<std::string>& args,
                      int out_fd);

}  // namespace demstitch::testing
