#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "formats/geo_transform.hpp"
#include "formats/overview.hpp"
#include "formats/tile_codec.hpp"

namespace demstitch {

inline constexpr int32_t cog_tile_size = 512;

// What a Cloud-Optimized GeoTIFF holds, apart from its tiles' bytes.
struct CogDescription {
  std::vector<RasterSize> levels;  // the full raster, then its overviews
  Compression compression = Compression::deflate;
  bool predictor = true;  // horizontal differencing before compression
  GeoTransform geo;
  int16_t no_data = -9999;
};

int32_t tiles_across(RasterSize level);
int32_t tiles_down(RasterSize level);

// The bytes before the first tile (TIFF header, GDAL's structural metadata, every level's
// IFD, its values and its tile arrays), laid out as GDAL's COG driver lays them out so that
// GDAL reads the file as a COG. The tiles follow, the smallest overview's first and the full
// raster's last, each level's in row-major order, each between a 4-byte little-endian leader
// holding its size and a trailer repeating its last 4 bytes. `tile_sizes[level][tile]` is a
// tile's encoded size; the header's size does not depend on them. `big` makes it a BigTIFF.
std::vector<std::byte> cog_header(const CogDescription& cog,
                                  const std::vector<std::vector<uint32_t>>& tile_sizes, bool big);

// Whether a COG must be a BigTIFF: when its end, `most_data_bytes` of framed tiles after a
// classic header at most, could lie past what 32-bit offsets reach.
bool needs_big_tiff(const CogDescription& cog, int64_t most_data_bytes);

// The bytes around a tile of `size` encoded bytes: its leader and (space for) its trailer.
inline constexpr int64_t tile_frame_bytes = 8;

}  // namespace demstitch
