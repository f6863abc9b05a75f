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
std::string read_file(const std::filesystem::path& path);

// A raster of big-endian samples, rows x cols, with sample (r, c) = base + r * cols + c.
std::string tile_raster(int rows, int cols, int base);

// A header in the upper-case vocabulary with the given corner and size; spacing
// 0.00833333333333 unless another is given.
std::string bil_header(int rows, int cols, const std::string& ulx, const std::string& uly,
                       const std::string& spacing = "0.00833333333333");

// What a run of the program left: exit status and the text of its two console streams.
struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs the built demstitch with `args` in `folder`. `file_limit` caps the size of any file
// it writes (bytes), as `ulimit -f` does.
Result run_demstitch(const std::filesystem::path& folder, const std::vector<std::string>& args,
                     rlim_t file_limit = RLIM_INFINITY);

}  // namespace demstitch::testing
