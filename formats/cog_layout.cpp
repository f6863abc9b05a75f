#include "formats/cog_layout.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace demstitch {
namespace {

// GDAL's structural metadata: tells a reader the IFDs come first and how tiles are framed.
constexpr std::string_view ghost_header =
    "GDAL_STRUCTURAL_METADATA_SIZE=000140 bytes\n"
    "LAYOUT=IFDS_BEFORE_DATA\n"
    "BLOCK_ORDER=ROW_MAJOR\n"
    "BLOCK_LEADER=SIZE_AS_UINT4\n"
    "BLOCK_TRAILER=LAST_4_BYTES_REPEATED\n"
    "KNOWN_INCOMPATIBLE_EDITION=NO\n ";

enum Type : uint16_t { ascii = 2, short_type = 3, long_type = 4, double_type = 12, long8 = 16 };

// One tag with its values, already little-endian bytes.
struct Entry {
  uint16_t tag = 0;
  uint16_t type = 0;
  uint64_t count = 0;
  std::vector<std::byte> values;
  bool tile_array = false;  // written after every IFD, not beside its own
};

void put(std::vector<std::byte>& out, uint64_t value, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) out.push_back(static_cast<std::byte>(value >> (8 * i)));
}

void patch(std::vector<std::byte>& out, size_t at, uint64_t value, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) out[at + i] = static_cast<std::byte>(value >> (8 * i));
}

Entry shorts(uint16_t tag, std::initializer_list<uint16_t> values) {
  Entry e{tag, short_type, values.size(), {}};
  for (uint16_t v : values) put(e.values, v, 2);
  return e;
}

Entry size_entry(uint16_t tag, int32_t value) {
  if (value <= 0xffff) return shorts(tag, {static_cast<uint16_t>(value)});
  Entry e{tag, long_type, 1, {}};
  put(e.values, static_cast<uint32_t>(value), 4);
  return e;
}

Entry doubles(uint16_t tag, std::initializer_list<double> values) {
  Entry e{tag, double_type, values.size(), {}};
  for (double v : values) {
    uint64_t bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    put(e.values, bits, 8);
  }
  return e;
}

Entry text(uint16_t tag, std::string_view value) {
  Entry e{tag, ascii, value.size() + 1, {}};
  for (char c : value) e.values.push_back(static_cast<std::byte>(c));
  e.values.push_back(std::byte{0});
  return e;
}

Entry tile_array(uint16_t tag, const std::vector<uint64_t>& values, bool big) {
  Entry e{tag, big ? long8 : long_type, values.size(), {}, true};
  for (uint64_t v : values) put(e.values, v, big ? 8 : 4);
  return e;
}

std::vector<Entry> level_entries(const CogDescription& cog, size_t level,
                                 const std::vector<uint64_t>& offsets,
                                 const std::vector<uint64_t>& sizes, bool big) {
  const RasterSize size = cog.levels[level];
  std::vector<Entry> entries;
  if (level > 0) {
    Entry subfile{254, long_type, 1, {}};
    put(subfile.values, 1, 4);  // a reduced image
    entries.push_back(subfile);
  }
  entries.push_back(size_entry(256, size.width));
  entries.push_back(size_entry(257, size.height));
  entries.push_back(shorts(258, {16}));
  entries.push_back(shorts(259, {tiff_compression_code(cog.compression)}));
  entries.push_back(shorts(262, {1}));  // black is zero
  entries.push_back(shorts(277, {1}));
  entries.push_back(shorts(284, {1}));
  if (cog.predictor) entries.push_back(shorts(317, {2}));
  entries.push_back(shorts(322, {cog_tile_size}));
  entries.push_back(shorts(323, {cog_tile_size}));
  entries.push_back(tile_array(324, offsets, big));
  entries.push_back(tile_array(325, sizes, big));
  entries.push_back(shorts(339, {2}));  // signed integers
  if (level == 0) {
    const GeoTransform& g = cog.geo;
    entries.push_back(doubles(33550, {g.cell_width, g.cell_height, 0.0}));
    entries.push_back(doubles(33922, {0.0, 0.0, 0.0, g.west, g.north, 0.0}));
    // WGS 84 by its EPSG code (4326), in degrees, cells as areas, as GDAL writes it.
    entries.push_back(
        shorts(34735, {1,    1,     0, 7, 1024, 0, 1, 2,    1025, 0,     1, 1, 2048, 0,     1, 4326,
                       2049, 34737, 7, 0, 2054, 0, 1, 9102, 2057, 34736, 1, 1, 2059, 34736, 1, 0}));
    entries.push_back(doubles(34736, {298.257223563, 6378137.0}));
    entries.push_back(text(34737, "WGS 84|"));
  }
  entries.push_back(text(42113, std::to_string(cog.no_data)));
  return entries;
}

std::vector<std::byte> build(const CogDescription& cog,
                             const std::vector<std::vector<uint32_t>>& tile_sizes, bool big,
                             int64_t* end) {
  const size_t offset_bytes = big ? 8 : 4;
  std::vector<std::byte> out;
  if (big) {
    put(out, 0x4949, 2);
    put(out, 43, 2);
    put(out, 8, 2);
    put(out, 0, 2);
    put(out, 0, 8);  // the first IFD's offset, patched
  } else {
    put(out, 0x4949, 2);
    put(out, 42, 2);
    put(out, 0, 4);
  }
  const size_t first_ifd_at = big ? 8 : 4;
  for (char c : ghost_header) out.push_back(static_cast<std::byte>(c));
  if (out.size() % 2 != 0) out.push_back(std::byte{0});

  // Two passes: the first learns where the data begins, the second writes the offsets.
  const size_t levels = cog.levels.size();
  std::vector<std::vector<uint64_t>> offsets(levels);
  std::vector<std::vector<uint64_t>> sizes(levels);
  for (size_t l = 0; l < levels; ++l) {
    sizes[l].assign(tile_sizes[l].begin(), tile_sizes[l].end());
    offsets[l].assign(tile_sizes[l].size(), 0);
  }
  const size_t ifds_start = out.size();
  for (int pass = 0; pass < 2; ++pass) {
    out.resize(ifds_start);
    patch(out, first_ifd_at, ifds_start, offset_bytes);
    // Where each tile array lives, to be filled in once every IFD is written.
    std::vector<std::pair<size_t, const Entry*>> arrays;
    std::vector<std::vector<Entry>> all(levels);
    size_t previous_next = 0;  // where the previous IFD keeps its next IFD's offset
    for (size_t l = 0; l < levels; ++l) {
      all[l] = level_entries(cog, l, offsets[l], sizes[l], big);
      std::vector<Entry>& entries = all[l];
      std::sort(entries.begin(), entries.end(),
                [](const Entry& a, const Entry& b) { return a.tag < b.tag; });
      const size_t ifd_at = out.size();
      if (l > 0) patch(out, previous_next, ifd_at, offset_bytes);
      put(out, entries.size(), big ? 8 : 2);
      std::vector<std::pair<size_t, const Entry*>> outside;
      for (const Entry& e : entries) {
        put(out, e.tag, 2);
        put(out, e.type, 2);
        put(out, e.count, offset_bytes);
        const size_t value_at = out.size();
        put(out, 0, offset_bytes);
        if (e.values.size() <= offset_bytes) {
          std::copy(e.values.begin(), e.values.end(), out.begin() + value_at);
        } else if (e.tile_array) {
          arrays.emplace_back(value_at, &e);
        } else {
          outside.emplace_back(value_at, &e);
        }
      }
      previous_next = out.size();
      put(out, 0, offset_bytes);
      for (auto [value_at, e] : outside) {
        patch(out, value_at, out.size(), offset_bytes);
        out.insert(out.end(), e->values.begin(), e->values.end());
        if (out.size() % 2 != 0) out.push_back(std::byte{0});
      }
    }
    for (auto [value_at, e] : arrays) {
      patch(out, value_at, out.size(), offset_bytes);
      out.insert(out.end(), e->values.begin(), e->values.end());
    }
    // The tiles: the smallest overview first, each tile framed by its leader and trailer.
    uint64_t at = out.size();
    for (size_t l = levels; l-- > 0;) {
      for (size_t t = 0; t < sizes[l].size(); ++t) {
        offsets[l][t] = at + 4;
        at += sizes[l][t] + tile_frame_bytes;
      }
    }
    *end = static_cast<int64_t>(at);
  }
  return out;
}

}  // namespace

int32_t tiles_across(RasterSize level) {
  return static_cast<int32_t>((int64_t{level.width} + cog_tile_size - 1) / cog_tile_size);
}
int32_t tiles_down(RasterSize level) {
  return static_cast<int32_t>((int64_t{level.height} + cog_tile_size - 1) / cog_tile_size);
}

std::vector<std::byte> cog_header(const CogDescription& cog,
                                  const std::vector<std::vector<uint32_t>>& tile_sizes, bool big) {
  int64_t end = 0;
  return build(cog, tile_sizes, big, &end);
}

bool needs_big_tiff(const CogDescription& cog, int64_t most_data_bytes) {
  std::vector<std::vector<uint32_t>> none(cog.levels.size());
  for (size_t l = 0; l < cog.levels.size(); ++l) {
    none[l].assign(static_cast<size_t>(tiles_across(cog.levels[l])) *
                       static_cast<size_t>(tiles_down(cog.levels[l])),
                   0);
  }
  int64_t end = 0;
  const auto header = static_cast<int64_t>(build(cog, none, false, &end).size());
  return header + most_data_bytes > int64_t{0xffffffff};
}

}  // namespace demstitch
