#pragma once

#include <cstdint>
#include <span>

namespace demstitch {

// Swaps the two bytes of every 16-bit sample, in place: between the files' byte order and
// the machine's.
inline void swap_sample_bytes(std::span<int16_t> samples) {
  for (int16_t& sample : samples) {
    const auto v = static_cast<uint16_t>(sample);
    sample = static_cast<int16_t>((v >> 8) | (v << 8));
  }
}

}  // namespace demstitch
