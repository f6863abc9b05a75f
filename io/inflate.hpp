#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace demstitch {

// A deflate decoder that can be copied mid-stream: a copy resumes where the original stood,
// given the compressed bytes from the same place. ISA-L's where the build has it (about
// twice as fast), zlib's otherwise.
class Inflater {
 public:
  // What the compressed bytes are: a raw deflate stream (a zip member), or gzip members one
  // after another (a .tar.gz), each with its header, checked length and CRC.
  enum class Wrapper { raw, gzip };
  enum class Result {
    more,   // give it more input or more room
    end,    // the stream is over (for gzip, a member; see `next_member`)
    error,  // the bytes are not deflate data, or a check failed: see `error`
  };

  explicit Inflater(Wrapper wrapper);
  // A decoder entering a stream at a block's start (an access point): `window` the up to
  // 32 KiB decoded before it, and `bits` (0 to 7) of the byte before its input still to be
  // decoded, their value in the low bits of `value`. In a gzip stream it decodes the rest of
  // its member without the member's check (the caller checks what it decodes); after the
  // member's end `next_member` passes the member's trailer and goes on with the next.
  Inflater(Wrapper wrapper, std::span<const std::byte> window, int bits, unsigned value);
  Inflater(const Inflater& other);
  Inflater& operator=(const Inflater& other);
  Inflater(Inflater&&) noexcept;
  Inflater& operator=(Inflater&&) noexcept;
  ~Inflater();

  // Decodes from `in` into `out`; *consumed and *produced tell how far it came.
  Result run(std::span<const std::byte> in, std::span<std::byte> out, size_t* consumed,
             size_t* produced);
  // After a gzip member's end: starts on the next member.
  void next_member();
  // Where a deflate block that is not its member's first begins, when the last run stopped
  // in its header, with all the bytes before it produced: how many of the bytes the runs
  // took lie at or after it (`bytes_back`), and the bits of the byte before those still to
  // decode (as the entering constructor takes them). Feeding a few bytes at a time makes a
  // run stop in a header, where headers span several bytes (as dynamic Huffman headers do).
  // Only ISA-L's decoder tells it; zlib's never does (BlockInflater finds them there).
  struct BlockStart {
    size_t bytes_back = 0;
    int bits = 0;
    unsigned value = 0;
  };
  std::optional<BlockStart> block_start() const;
  // Whether block_start can ever tell one.
  static bool finds_block_starts();
  // Why the last run failed.
  const std::string& error() const;
  // Bytes a copy holds, for memory budgets.
  static size_t state_bytes();

 private:
  // Passes what is left of a member's trailer at the front of `in`; the bytes passed.
  size_t pass_trailer(std::span<const std::byte> in);

  struct State;
  std::unique_ptr<State> state_;
};

// zlib's decoder of a gzip stream, stopping at the end of every deflate block: it finds the
// places a stream may be entered again. Slower than an Inflater where that is ISA-L's.
class BlockInflater {
 public:
  BlockInflater();
  BlockInflater(const BlockInflater&) = delete;
  BlockInflater& operator=(const BlockInflater&) = delete;
  ~BlockInflater();

  // As Inflater::run, but it returns at each block's end too.
  Inflater::Result run(std::span<const std::byte> in, std::span<std::byte> out, size_t* consumed,
                       size_t* produced);
  // Whether it stands where a block begins that is not its member's first (all it decoded
  // before is then its bytes), and how many bits of the last byte it took are still unread.
  bool at_block_start(int* bits) const;
  // Whether it has just read the stream's gzip header, and stands at its first block.
  bool at_first_block() const;
  void next_member();
  const std::string& error() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The CRC-32 of zip and gzip, continued from `crc` (0 to begin).
uint32_t crc32_of(uint32_t crc, std::span<const std::byte> bytes);

}  // namespace demstitch
