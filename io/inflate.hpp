#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
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
  // Why the last run failed.
  const std::string& error() const;
  // Bytes a copy holds, for memory budgets.
  static size_t state_bytes();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The CRC-32 of zip and gzip, continued from `crc` (0 to begin).
uint32_t crc32_of(uint32_t crc, std::span<const std::byte> bytes);

}  // namespace demstitch
