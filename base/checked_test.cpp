#include "base/checked.hpp"

#include <gtest/gtest.h>

namespace demstitch {
namespace {

constexpr int64_t max = std::numeric_limits<int64_t>::max();
constexpr int64_t min = std::numeric_limits<int64_t>::min();

// The edges of 64-bit arithmetic, each sign on each side.
static_assert(checked_add(max - 1, 1) == max && !checked_add(max, 1));
static_assert(checked_add(min + 1, -1) == min && !checked_add(min, -1));
static_assert(checked_mul(max / 2, 2) == max - 1 && !checked_mul(max / 2 + 1, 2));
static_assert(checked_mul(min / 2, 2) == min && !checked_mul(min / 2 - 1, 2));
static_assert(checked_mul(-1, max) == -max && !checked_mul(-1, min) && !checked_mul(min, -1));
static_assert(checked_mul(0, min) == 0 && checked_mul(min, 0) == 0);
static_assert(checked_mul(-3037000499, -3037000499) && !checked_mul(-3037000500, -3037000500));

TEST(Checked, IsCheckedAtCompileTime) { SUCCEED(); }

}  // namespace
}  // namespace demstitch
