#include "tests/tile_writer.hpp"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace demstitch::testing {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "demstitch-test-XXXXXX");
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
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
  std::ostringstream h;
  h << "BYTEORDER      M\r\nLAYOUT         BIL\r\nNROWS          " << rows
    << "\r\nNCOLS          " << cols << "\r\nNBANDS         1\r\nNBITS          16\r\n"
    << "BANDROWBYTES   " << cols * 2 << "\r\nTOTALROWBYTES  " << cols * 2
    << "\r\nBANDGAPBYTES   0\r\nNODATA         -9999\r\nULXMAP         " << ulx
    << "\r\nULYMAP         " << uly << "\r\nXDIM           " << spacing
    << "\r\nYDIM           " << spacing << "\r\n";
  return h.str();
}

}  // namespace demstitch::testing
