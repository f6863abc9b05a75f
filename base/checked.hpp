#pragma once

#include <cstdint>
#include <limits>
#include <optional>

namespace demstitch {

// a + b and a * b in 64 bits, or nothing where the true result does not fit: offsets and
// sizes that come from a header are computed through these.
constexpr std::optional<int64_t> checked_add(int64_t a, int64_t b) {
  constexpr int64_t max = std::numeric_limits<int64_t>::max();
  constexpr int64_t min = std::numeric_limits<int64_t>::min();
  if ((b > 0 && a > max - b) || (b < 0 && a < min - b)) return std::nullopt;
  return a + b;
}

constexpr std::optional<int64_t> checked_mul(int64_t a, int64_t b) {
  constexpr int64_t max = std::numeric_limits<int64_t>::max();
  constexpr int64_t min = std::numeric_limits<int64_t>::min();
  const bool fits = a > 0 ? (b > 0 ? a <= max / b : b >= min / a)
                          : (b > 0 ? a >= min / b : a == 0 || b >= max / a);
  if (!fits) return std::nullopt;
  return a * b;
}

}  // namespace demstitch
