#pragma once

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
  // A name in the folder, as the program's functions take paths.
  std::string operator/(std::string_view name) const { return (path_ / name).string(); }

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

}  // namespace demstitch::testing
