#include "mosaic/plan.hpp"

#include <algorithm>
#include <cstring>

#include "base/checked.hpp"

namespace demstitch {

int64_t TileCopy::length(int64_t row) const {
  int64_t offset = source_offset(row);
  if (offset >= file_size) return 0;
  return std::min(row_bytes, file_size - offset);
}

int64_t TileCopy::end() const {
  int64_t last = 0;
  // Earlier rows end before the last two: the last may be short, the one before is whole.
  for (int64_t row = std::max<int64_t>(0, rows - 2); row < rows; ++row) {
    last = std::max(last, destination(row) + length(row));
  }
  return last;
}

std::optional<TileCopy> plan_tile_copy(const Source* source, int64_t file_size, int64_t row_bytes,
                                       int64_t nrows, int64_t start, int64_t stride) {
  TileCopy copy{source, file_size, row_bytes, 0, start, stride, 0, row_bytes};
  if (row_bytes <= 0 || file_size <= 0 || nrows <= 0 || stride <= 0) return copy;
  copy.rows = std::min(nrows, (file_size - 1) / row_bytes + 1);
  // Every offset the copy computes lies between start and the end of its last row; keep a
  // margin so that sums of them cannot overflow either.
  constexpr int64_t limit = int64_t{1} << 62;
  const std::optional<int64_t> last_row = checked_mul(copy.rows - 1, stride);
  const std::optional<int64_t> last_start = last_row ? checked_add(*last_row, start) : std::nullopt;
  const std::optional<int64_t> end =
      last_start ? checked_add(*last_start, row_bytes) : std::nullopt;
  if (!end || *end > limit || start < -limit) return std::nullopt;
  return copy;
}

int64_t MosaicPlan::final_size() const {
  int64_t size = fill_bytes();
  for (const TileCopy& copy : copies) size = std::max(size, copy.end());
  return size;
}

void fill_background(const MosaicPlan& plan, int64_t offset, std::span<std::byte> out) {
  auto filled = static_cast<size_t>(
      std::clamp<int64_t>(plan.fill_bytes() - offset, 0, static_cast<int64_t>(out.size())));
  // The pattern starts on a sample boundary because every mosaic row has an even length.
  std::byte pair[2] = {nodata_high, nodata_low};
  size_t phase = static_cast<size_t>(offset & 1);
  size_t i = 0;
  if (filled > 0 && phase == 1) out[i++] = nodata_low;
  if (i + 2 <= filled) {
    // Double the pattern in place: each memcpy copies what is already there.
    std::memcpy(out.data() + i, pair, 2);
    size_t done = 2;
    while (i + done * 2 <= filled) {
      std::memcpy(out.data() + i + done, out.data() + i, done);
      done *= 2;
    }
    std::memcpy(out.data() + i + done, out.data() + i, filled - i - done);
    i = filled;
  }
  if (i < filled) out[i++] = nodata_high;
  std::memset(out.data() + filled, 0, out.size() - filled);
}

}  // namespace demstitch
