#pragma once

// Archives made in memory for the tests: tar members, gzip and raw deflate, and zips whose
// directory may state what their data does not.
#include <cstdint>
#include <string>
#include <vector>

namespace demstitch::testing {

// Elevation-like samples that compress as real rasters do: smooth, with some noise.
std::string raster(size_t bytes);

// A ustar member: its header block, then its data padded to whole blocks.
std::string tar_member(const std::string& name, const std::string& data, char type = '0');
// `data` deflated by zlib with `window_bits` (-15 raw, 16 + 15 gzip); with `fixed_codes`,
// in blocks of the fixed Huffman codes only (whose headers are 3 bits).
std::string deflated(const std::string& data, int window_bits, int level = 6,
                     bool fixed_codes = false);
inline std::string gzipped(const std::string& data, int level = 6, bool fixed_codes = false) {
  return deflated(data, 16 + 15, level, fixed_codes);
}

struct ZipEntry {
  std::string name;
  std::string data;
  uint16_t method = 8;
  uint64_t claimed_size = 0;  // the size the directory states; the data's own when 0
  uint32_t crc_change = 0;    // xor-ed into the CRC it states
  uint16_t flags = 0;
};
std::string zip_of(const std::vector<ZipEntry>& entries);

}  // namespace demstitch::testing
