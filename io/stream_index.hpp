#pragma once

// A compressed stream's index: the places it may be entered again (a deflate block's start,
// with the 32 KiB decoded before it) and the CRC-32 of every piece it decodes to, so that a
// read far into the stream decodes only from the place before it, and no byte it delivers
// goes unchecked. Made while an archive is listed (StreamIndexBuilder), kept between runs
// in the user's cache (archive_index.hpp). For io/ only.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "io/inflate.hpp"
#include "io/source.hpp"

namespace demstitch {

// Decoded bytes a piece's CRC covers; a piece also ends at the next access point.
inline constexpr int64_t index_piece = int64_t{64} << 10;
// The decoded bytes between the access points a builder takes, at least.
inline constexpr int64_t index_spacing = int64_t{2} << 20;
inline constexpr size_t index_window = size_t{32} << 10;

struct AccessPoint {
  int64_t position = 0;        // decoded bytes before it
  int64_t input = 0;           // the file offset of its first whole compressed byte
  uint8_t bits = 0;            // bits of the byte before `input` still to decode (0 to 7)
  uint8_t value = 0;           // their value, in the low bits
  uint32_t first_piece = 0;    // its first piece among the CRCs
  int64_t window_at = 0;       // where its window lies, packed, among the index's windows
  uint32_t window_packed = 0;  // 0: none kept, so it is not entered (the start needs none)
  uint32_t window_size = 0;    // unpacked
  uint32_t window_crc = 0;     // of the window unpacked
  bool operator==(const AccessPoint&) const = default;
};

class StreamIndex {
 public:
  struct Piece {
    int64_t begin = 0;
    int64_t end = 0;
    uint32_t crc = 0;
  };

  int64_t decoded_size = 0;
  // The first point is the stream's start: its first block after the gzip header, entered
  // without the member's CRC (the pieces' CRCs check it), or else the header itself.
  bool raw_start = false;
  std::vector<AccessPoint> points;
  std::vector<uint32_t> piece_crcs;
  std::shared_ptr<const Source> windows;  // the packed windows, read by window_at
  std::string file;                       // the index's file in the cache, where it has one

  // Whether the points and pieces describe one stream of a file of `input_size` bytes;
  // an index that does not is never used.
  bool consistent(int64_t input_size) const;
  // The piece that holds decoded position `position` (below decoded_size).
  Piece piece_at(int64_t position) const;
  // The last point at or before `position` that can be entered, below point `limit`.
  size_t entry_before(int64_t position, size_t limit) const;
  // A decoder of a `wrapper` stream at point `p`; false when its window cannot be read or
  // fails its check (an earlier point then serves).
  bool enter(size_t p, Inflater::Wrapper wrapper, std::unique_ptr<Inflater>* decoder) const;
  // Removes the index's file: the stream turned out not to be the one it was made from, so
  // the next run makes it again.
  void forget() const;
};

// Takes the places to enter a stream, and its pieces' CRCs, while the stream is decoded
// through once from its start.
class StreamIndexBuilder {
 public:
  explicit StreamIndexBuilder(int64_t spacing = index_spacing);
  // Every decoded byte, in order.
  void decoded(std::span<const std::byte> bytes);
  // Whether a block's start here should be a point: `spacing` past the last.
  bool wants_point() const { return position_ - points_.back().position >= spacing_; }
  // Decoded bytes until it wants one.
  int64_t before_point() const { return points_.back().position + spacing_ - position_; }
  void add_point(int64_t input, int bits, uint8_t value);
  // The stream's first block begins at `input`, after its gzip header.
  void start_at(int64_t input);
  // The index, its windows kept in memory, dropping every other window until they take at
  // most `budget` bytes.
  StreamIndex finish(int64_t budget);

 private:
  void close_piece();

  int64_t spacing_;
  bool raw_start_ = false;
  int64_t position_ = 0;
  std::vector<std::byte> recent_;  // the last index_window bytes decoded, as a ring
  std::vector<AccessPoint> points_;
  std::vector<uint32_t> crcs_;
  std::string windows_;
  int64_t piece_begin_ = 0;
  uint32_t piece_crc_ = 0;
};

}  // namespace demstitch
