#pragma once

#include <sys/resource.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace demstitch::testing {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

void write_file(const std::filesystem::path& path, std::string_view bytes);
// The names in a folder, sorted.
std::vector<std::string> names_in(const std::filesystem::path& folder);
std::string read_file(const std::filesystem::path& path);

// A raster of big-endian samples, rows x cols, with sample (r, c) = base + r * cols + c.
std::string tile_raster(int rows, int cols, int base);

// A header in the upper-case vocabulary with the given corner and size; spacing
// 0.00833333333333 unless another is given.
std::string bil_header(int rows, int cols, const std::string& ulx, const std::string& uly,
                       const std::string& spacing = "0.00833333333333");

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
