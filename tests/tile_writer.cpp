#include "tests/tile_writer.hpp"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "formats/tile_header.hpp"
#include "io/platform.hpp"

namespace demstitch::testing {

TempDir::TempDir() {
  path_ = std::filesystem::temp_directory_path() / ("demstitch-test-" + random_tag());
  if (!std::filesystem::create_directory(path_)) throw std::runtime_error("no temporary folder");
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void write_file(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::vector<std::string> names_in(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::string tile_raster(int rows, int cols, int base) {
  std::string bytes;
  bytes.reserve(static_cast<size_t>(rows) * cols * 2);
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < cols; ++c) {
      auto value = static_cast<uint16_t>(base + r * cols + c);
      bytes.push_back(static_cast<char>(value >> 8));
      bytes.push_back(static_cast<char>(value & 0xFF));
    }
  }
  return bytes;
}

std::string bil_header(int rows, int cols, const std::string& ulx, const std::string& uly,
                       const std::string& spacing) {
  return bil_header_text(rows, cols, ulx, uly, spacing, 16);
}

}  // namespace demstitch::testing
