#include "tests/archive_writer.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace demstitch::testing {
namespace {

std::string le(uint64_t value, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i) out += static_cast<char>(value >> (8 * i));
  return out;
}

}  // namespace

// Elevation-like samples that compress as real rasters do: smooth, with some noise.
std::string raster(size_t bytes) {
  std::string out(bytes, '\0');
  uint32_t state = 1;
  for (size_t i = 0; i < bytes; ++i) {
    state = state * 1103515245 + 12345;
    out[i] = static_cast<char>(i % 2 == 0 ? (i / 4096) % 7 : (i / 64) % 200 + (state >> 29));
  }
  return out;
}

std::string tar_member(const std::string& name, const std::string& data, char type) {
  std::string header(512, '\0');
  std::memcpy(header.data(), name.data(), std::min<size_t>(name.size(), 100));
  std::snprintf(header.data() + 100, 8, "%07o", 0644);
  std::snprintf(header.data() + 124, 12, "%011zo", data.size());
  header[156] = type;
  std::memcpy(header.data() + 257,
              "ustar\0"
              "00",
              8);
  std::memset(header.data() + 148, ' ', 8);
  unsigned sum = 0;
  for (char c : header) sum += static_cast<unsigned char>(c);
  std::snprintf(header.data() + 148, 8, "%06o", sum);
  return header + data + std::string((512 - data.size() % 512) % 512, '\0');
}

std::string deflated(const std::string& data, int window_bits, int level, bool fixed_codes) {
  z_stream z{};
  deflateInit2(&z, level, Z_DEFLATED, window_bits, 8, fixed_codes ? Z_FIXED : Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, data.size()), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::string zip_of(const std::vector<ZipEntry>& entries) {
  std::string file;
  std::string directory;
  for (const ZipEntry& e : entries) {
    const std::string packed = e.method == 8 ? deflated(e.data, -15) : e.data;
    const auto crc = static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(e.data.data()), static_cast<uInt>(e.data.size())));
    const uint64_t size = e.claimed_size != 0 ? e.claimed_size : e.data.size();
    const bool zip64 = size >= 0xFFFFFFFF;
    const std::string sizes = le(crc ^ e.crc_change, 4) + le(packed.size(), 4) +
                              le(zip64 ? 0xFFFFFFFF : size, 4) + le(e.name.size(), 2);
    const std::string extra = zip64 ? le(1, 2) + le(8, 2) + le(size, 8) : "";
    const size_t local = file.size();
    file += le(0x04034b50, 4) + le(20, 2) + le(e.flags, 2) + le(e.method, 2) + le(0, 4) + sizes +
            le(extra.size(), 2) + e.name + extra + packed;
    directory += le(0x02014b50, 4) + le(20, 2) + le(20, 2) + le(e.flags, 2) + le(e.method, 2) +
                 le(0, 4) + sizes + le(extra.size(), 2) + le(0, 2) + le(0, 2) + le(0, 2) +
                 le(0, 4) + le(local, 4) + e.name + extra;
  }
  return file + directory + le(0x06054b50, 4) + le(0, 4) + le(entries.size(), 2) +
         le(entries.size(), 2) + le(directory.size(), 4) + le(file.size(), 4) + le(0, 2);
}

}  // namespace demstitch::testing
