#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "base/status.hpp"
#include "formats/cog_options.hpp"

namespace demstitch {

// The compression's name as options spell it ("deflate"), and back.
std::string_view compression_name(Compression compression);
std::optional<Compression> compression_by_name(std::string_view name);
// Whether this build can write it (zstd needs a library not every build has).
bool compression_available(Compression compression);
// The levels it takes, and the default: the fastest level whose files are within 1% of the
// size level 6 gives (measured on elevation tiles, see bench/).
struct LevelRange {
  int low = 0;
  int high = 0;
  int fallback = 0;
};
std::optional<LevelRange> compression_levels(Compression compression);
// Its TIFF Compression tag value.
uint16_t tiff_compression_code(Compression compression);

// The most bytes `raw_bytes` can take once encoded.
int64_t encoded_bound(Compression compression, int64_t raw_bytes);

// Compresses tiles, one at a time; one encoder a thread.
class TileEncoder {
 public:
  virtual ~TileEncoder() = default;
  // Replaces `out` with `raw`, encoded.
  virtual Status encode(std::span<const std::byte> raw, std::vector<std::byte>& out) = 0;
};

// An encoder for `compression` at `level` (ignored where it takes none).
std::unique_ptr<TileEncoder> make_encoder(Compression compression, int level);

}  // namespace demstitch
