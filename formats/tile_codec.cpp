#include "formats/tile_codec.hpp"

#include <array>
#include <cstring>
#include <memory>
#include <new>

#if defined(DEMSTITCH_HAVE_LIBDEFLATE)
#include <libdeflate.h>
#else
#include <zlib.h>
#endif
#if defined(DEMSTITCH_HAVE_ZSTD)
#include <zstd.h>
#endif

namespace demstitch {
namespace {

Status encode_failed(const char* what) {
  return Status::error(StatusKind::io_error, Side::output, {}, what);
}

// Room that an encoder writes a tile's bytes into before they are copied out. It is kept
// from tile to tile and never cleared: growing a vector to a tile's bound would zero that
// much for every tile.
class Room {
 public:
  std::byte* take(size_t bytes) {
    if (bytes > size_) {
      data_ = std::make_unique_for_overwrite<std::byte[]>(bytes);
      size_ = bytes;
    }
    return data_.get();
  }

 private:
  std::unique_ptr<std::byte[]> data_;
  size_t size_ = 0;
};

class Uncompressed final : public TileEncoder {
 public:
  Status encode(std::span<const std::byte> raw, std::vector<std::byte>& out) override {
    out.assign(raw.begin(), raw.end());
    return {};
  }
};

#if defined(DEMSTITCH_HAVE_LIBDEFLATE)
// Deflate in a zlib stream (TIFF's "Adobe deflate"), by libdeflate: whole buffers, fast.
class Deflate final : public TileEncoder {
 public:
  explicit Deflate(int level) : compressor_(libdeflate_alloc_compressor(level)) {}
  ~Deflate() override { libdeflate_free_compressor(compressor_); }
  Deflate(const Deflate&) = delete;
  Deflate& operator=(const Deflate&) = delete;
  Status encode(std::span<const std::byte> raw, std::vector<std::byte>& out) override {
    if (compressor_ == nullptr) return encode_failed("out of memory for the compressor");
    const size_t bound = libdeflate_zlib_compress_bound(compressor_, raw.size());
    std::byte* room = room_.take(bound);
    const size_t size = libdeflate_zlib_compress(compressor_, raw.data(), raw.size(), room, bound);
    if (size == 0) return encode_failed("compression failed");
    out.assign(room, room + size);
    return {};
  }

 private:
  libdeflate_compressor* compressor_;
  Room room_;
};
#else
// Deflate in a zlib stream (TIFF's "Adobe deflate"), by zlib.
class Deflate final : public TileEncoder {
 public:
  explicit Deflate(int level) : level_(level) {}
  Status encode(std::span<const std::byte> raw, std::vector<std::byte>& out) override {
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    std::byte* room = room_.take(size);
    int result =
        compress2(reinterpret_cast<Bytef*>(room), &size, reinterpret_cast<const Bytef*>(raw.data()),
                  static_cast<uLong>(raw.size()), level_);
    if (result != Z_OK) return encode_failed("compression failed");
    out.assign(room, room + size);
    return {};
  }

 private:
  int level_;
  Room room_;
};
#endif

#if defined(DEMSTITCH_HAVE_ZSTD)
class Zstd final : public TileEncoder {
 public:
  explicit Zstd(int level) : context_(ZSTD_createCCtx()), level_(level) {}
  ~Zstd() override { ZSTD_freeCCtx(context_); }
  Zstd(const Zstd&) = delete;
  Zstd& operator=(const Zstd&) = delete;
  Status encode(std::span<const std::byte> raw, std::vector<std::byte>& out) override {
    if (context_ == nullptr) return encode_failed("out of memory for the compressor");
    const size_t bound = ZSTD_compressBound(raw.size());
    std::byte* room = room_.take(bound);
    const size_t size = ZSTD_compressCCtx(context_, room, bound, raw.data(), raw.size(), level_);
    if (ZSTD_isError(size)) return encode_failed(ZSTD_getErrorName(size));
    out.assign(room, room + size);
    return {};
  }

 private:
  ZSTD_CCtx* context_;
  int level_;
  Room room_;
};
#endif

// TIFF's LZW: codes written most significant bit first, 9 to 12 bits wide, a Clear code
// (256) first and whenever the table is full, EndOfInformation (257) last. Codes widen one
// entry early, as TIFF readers expect.
class Lzw final : public TileEncoder {
 public:
  Status encode(std::span<const std::byte> raw, std::vector<std::byte>& out) override {
    out.clear();
    out.reserve(raw.size() / 2 + 64);
    bits_ = 0;
    pending_ = 0;
    reset_table();
    put(clear_code, out);
    if (!raw.empty()) {
      int32_t prefix = static_cast<uint8_t>(raw[0]);
      for (size_t i = 1; i < raw.size(); ++i) {
        const auto byte = static_cast<uint8_t>(raw[i]);
        const uint32_t key = (static_cast<uint32_t>(prefix) << 8) | byte;
        const size_t slot = find(key);
        if (codes_[slot] >= 0) {
          prefix = codes_[slot];
          continue;
        }
        put(prefix, out);
        keys_[slot] = key;
        codes_[slot] = next_code_;
        added(out);
        prefix = byte;
      }
      put(prefix, out);
      // The reader counts the last code as one more entry: the width follows it.
      added(out);
    }
    put(end_code, out);
    if (bits_ > 0) out.push_back(static_cast<std::byte>((pending_ << (8 - bits_)) & 0xff));
    return {};
  }

 private:
  static constexpr int32_t clear_code = 256;
  static constexpr int32_t end_code = 257;
  static constexpr int32_t full = 4094;       // a table this full starts again
  static constexpr size_t table_size = 8192;  // a power of two above 4096

  // One more entry: the table starts again when it is full (the reader too, told by a
  // Clear code), and codes widen once the next entry needs another bit.
  void added(std::vector<std::byte>& out) {
    ++next_code_;
    if (next_code_ == full) {
      put(clear_code, out);
      reset_table();
    } else if (next_code_ > (1 << width_) - 1) {
      ++width_;
    }
  }
  void reset_table() {
    codes_.fill(-1);
    next_code_ = 258;
    width_ = 9;
  }
  size_t find(uint32_t key) const {
    size_t slot = static_cast<size_t>(key * 2654435761u) & (table_size - 1);
    while (codes_[slot] >= 0 && keys_[slot] != key) slot = (slot + 1) & (table_size - 1);
    return slot;
  }
  void put(int32_t code, std::vector<std::byte>& out) {
    pending_ = (pending_ << width_) | static_cast<uint32_t>(code);
    bits_ += width_;
    while (bits_ >= 8) {
      bits_ -= 8;
      out.push_back(static_cast<std::byte>((pending_ >> bits_) & 0xff));
    }
  }

  std::array<uint32_t, table_size> keys_{};
  std::array<int32_t, table_size> codes_{};
  int32_t next_code_ = 258;
  int width_ = 9;
  uint32_t pending_ = 0;
  int bits_ = 0;
};

}  // namespace

std::string_view compression_name(Compression compression) {
  switch (compression) {
    case Compression::none:
      return "none";
    case Compression::deflate:
      return "deflate";
    case Compression::zstd:
      return "zstd";
    case Compression::lzw:
      return "lzw";
  }
  return "none";
}

std::optional<Compression> compression_by_name(std::string_view name) {
  for (Compression c :
       {Compression::none, Compression::deflate, Compression::zstd, Compression::lzw}) {
    if (name == compression_name(c)) return c;
  }
  return std::nullopt;
}

bool compression_available(Compression compression) {
#if !defined(DEMSTITCH_HAVE_ZSTD)
  if (compression == Compression::zstd) return false;
#endif
  (void)compression;
  return true;
}

std::optional<LevelRange> compression_levels(Compression compression) {
  switch (compression) {
    case Compression::deflate:
      return LevelRange{1, 9, 1};
    case Compression::zstd:
      return LevelRange{1, 22, 1};
    case Compression::none:
    case Compression::lzw:
      break;
  }
  return std::nullopt;
}

uint16_t tiff_compression_code(Compression compression) {
  switch (compression) {
    case Compression::none:
      return 1;
    case Compression::deflate:
      return 8;
    case Compression::zstd:
      return 50000;
    case Compression::lzw:
      return 5;
  }
  return 1;
}

int64_t encoded_bound(Compression compression, int64_t raw_bytes) {
  // LZW spends up to 12 bits on a byte; deflate and zstd fall back to stored blocks.
  if (compression == Compression::lzw) return raw_bytes * 3 / 2 + 1024;
  return raw_bytes + raw_bytes / 8 + 1024;
}

std::unique_ptr<TileEncoder> make_encoder(Compression compression, int level) {
  switch (compression) {
    case Compression::deflate:
      return std::make_unique<Deflate>(level);
    case Compression::lzw:
      return std::make_unique<Lzw>();
#if defined(DEMSTITCH_HAVE_ZSTD)
    case Compression::zstd:
      return std::make_unique<Zstd>(level);
#endif
    default:
      return std::make_unique<Uncompressed>();
  }
}

}  // namespace demstitch
