#include "formats/overview.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace demstitch {

std::vector<RasterSize> pyramid_levels(RasterSize full, int32_t tile_size, bool overviews) {
  std::vector<RasterSize> levels{full};
  if (!overviews) return levels;
  RasterSize size = full;
  while (size.width > tile_size || size.height > tile_size) {
    // Halved and rounded down, as GDAL's COG driver sizes them (a side of one stays one).
    size = RasterSize{std::max(1, size.width / 2), std::max(1, size.height / 2)};
    levels.push_back(size);
  }
  return levels;
}

namespace {

// The source sample NEAREST takes for output sample `index`: as GDAL takes it, the one at
// index * ratio, rounded half up.
int32_t nearest(int32_t index, double ratio) {
  return static_cast<int32_t>(std::floor(index * ratio + 0.5));
}

}  // namespace

int16_t round_sample(float value) {
  // In float, as GDAL does: 0.49999997f + 0.5f is 1.
  float rounded =
      value >= 0.0f ? std::min(value + 0.5f, 32767.0f) : std::max(value - 0.5f, -32768.0f);
  return static_cast<int16_t>(rounded);
}

LevelReducer::LevelReducer(RasterSize from, RasterSize to, Resampling method, int16_t no_data)
    : from_(from),
      to_(to),
      method_(method),
      no_data_(no_data),
      ratio_x_(static_cast<double>(from.width) / to.width),
      ratio_y_(static_cast<double>(from.height) / to.height) {
  if (method_ == Resampling::nearest) {
    nearest_columns_.resize(static_cast<size_t>(to.width));
    for (int32_t c = 0; c < to.width; ++c) {
      nearest_columns_[c] = std::min(nearest(c, ratio_x_), from.width - 1);
    }
    return;
  }
  columns_.resize(static_cast<size_t>(to.width));
  halving_x_ = true;
  for (int32_t c = 0; c < to.width; ++c) {
    columns_[c] = window(c, ratio_x_, from.width);
    const Window& w = columns_[c];
    halving_x_ = halving_x_ && w.first == 2 * c && w.last == 2 * c + 2 && w.first_weight == 1.0 &&
                 w.last_weight == 1.0;
  }
  // Halving both ways, every output sample is two by two whole ones: no window is looked up.
  if (halving_x_ && from.height == 2 * to.height) columns_ = {};
}

LevelReducer::Window LevelReducer::window(int32_t index, double ratio, int32_t source_size) {
  // The source span [index * ratio, (index + 1) * ratio), its ends nudged so that a ratio
  // computed in floating point does not reach into a neighbouring sample.
  const double start = index * ratio;
  const double end = (index + 1) * ratio;
  Window w;
  w.first = static_cast<int32_t>(start + 1e-8);
  w.last = static_cast<int32_t>(std::ceil(end - 1e-8));
  if (w.last == w.first) ++w.last;
  w.last = std::min(w.last, source_size);
  w.first_weight = w.last == w.first + 1 ? 1.0 : 1 - (start - w.first);
  w.last_weight = 1 - (w.last - end);
  return w;
}

std::pair<int32_t, int32_t> LevelReducer::source_rows(int32_t row) const {
  if (method_ == Resampling::nearest) {
    int32_t y = std::min(nearest(row, ratio_y_), from_.height - 1);
    return {y, y + 1};
  }
  Window y = row_window(row);
  return {y.first, y.last};
}

void LevelReducer::reduce(int32_t row, std::span<const int16_t* const> rows, int16_t* out,
                          int32_t begin, int32_t end, int32_t first_column,
                          int32_t out_first) const {
  if (method_ == Resampling::nearest) {
    for (int32_t c = begin; c < end; ++c) {
      out[c - out_first] = rows[0][nearest_columns_[c] - first_column];
    }
    return;
  }
  const Window y = row_window(row);
  if (halving_x_ && y.last == y.first + 2 && y.first_weight == 1.0 && y.last_weight == 1.0) {
    halve(rows[0], rows[1], out, begin, end, first_column, out_first);
    return;
  }
  for (int32_t c = begin; c < end; ++c) {
    out[c - out_first] = average(y, columns_[c], rows, first_column);
  }
}

void LevelReducer::halve(const int16_t* top, const int16_t* bottom, int16_t* out, int32_t begin,
                         int32_t end, int32_t first_column, int32_t out_first) const {
  const int32_t nd = no_data_;
  const int16_t* t = top + (2 * begin - first_column);
  const int16_t* b = bottom + (2 * begin - first_column);
  int16_t* o = out + (begin - out_first);
  // The mean of the valid ones of two by two whole samples, without a branch, so that the
  // compiler vectorizes the loop. Taken in float it is exact for one, two or four samples,
  // and a third of a sum is never within float's error of a half. It equals GDAL's mean in
  // doubles, and an exact no-data mean is one above it.
  auto any = [&](int32_t from, int32_t to) {
    for (int32_t i = from; i < to; ++i) {
      const ptrdiff_t x = ptrdiff_t{2} * i;
      const int32_t s0 = t[x];
      const int32_t s1 = t[x + 1];
      const int32_t s2 = b[x];
      const int32_t s3 = b[x + 1];
      const auto v0 = static_cast<int32_t>(s0 != nd);
      const auto v1 = static_cast<int32_t>(s1 != nd);
      const auto v2 = static_cast<int32_t>(s2 != nd);
      const auto v3 = static_cast<int32_t>(s3 != nd);
      const int32_t sum = (s0 & -v0) + (s1 & -v1) + (s2 & -v2) + (s3 & -v3);
      const int32_t count = v0 + v1 + v2 + v3;
      const float share = count == 4 ? 0.25f : count == 3 ? 1.0f / 3 : count == 2 ? 0.5f : 1.0f;
      const float mean = static_cast<float>(sum) * share;
      // Half away from zero.
      const auto rounded = static_cast<int32_t>(mean + std::copysign(0.5f, mean));
      const int32_t value = sum == nd * count ? nd + 1 : rounded;
      o[i] = static_cast<int16_t>(count == 0 ? nd : value);
    }
  };
  // Most blocks are all land or all sea: four valid samples take a shift, and four blank
  // ones stay blank.
  constexpr int32_t block = 16;
  const int32_t n = end - begin;
  int32_t i = 0;
  for (; i + block <= n; i += block) {
    int32_t valid = 0;
    for (int32_t k = 2 * i; k < 2 * (i + block); ++k) {
      valid += static_cast<int32_t>(t[k] != nd) + static_cast<int32_t>(b[k] != nd);
    }
    if (valid == 0) {
      std::fill(o + i, o + i + block, no_data_);
    } else if (valid == 4 * block) {
      for (int32_t k = i; k < i + block; ++k) {
        const ptrdiff_t x = ptrdiff_t{2} * k;
        const int32_t sum = t[x] + t[x + 1] + b[x] + b[x + 1];
        // (sum + 2) / 4 from zero up, one less added below it.
        const int32_t mean = (sum + 1 + static_cast<int32_t>(sum >= 0)) >> 2;
        o[k] = static_cast<int16_t>(sum == 4 * nd ? nd + 1 : mean);
      }
    } else {
      any(i, i + block);
    }
  }
  any(i, n);
}

int16_t LevelReducer::average(const Window& y, const Window& x,
                              std::span<const int16_t* const> rows, int32_t first_column) const {
  // The sums are taken in the order GDAL takes them, so that a mean on a rounding edge
  // rounds the same way.
  double total = 0;
  double total_weight = 0;
  int count = 0;
  for (int32_t r = y.first; r < y.last; ++r) {
    const int16_t* samples = rows[r - y.first];
    double line = 0;
    double line_weight = 0;
    if (samples[x.first - first_column] != no_data_) {
      ++count;
      line_weight = x.first_weight;
      line = samples[x.first - first_column] * x.first_weight;
    }
    if (x.first + 1 < x.last) {
      for (int32_t c = x.first + 1; c + 1 < x.last; ++c) {
        if (samples[c - first_column] != no_data_) {
          ++count;
          line_weight += 1;
          line += samples[c - first_column];
        }
      }
      if (samples[x.last - 1 - first_column] != no_data_) {
        ++count;
        line_weight += x.last_weight;
        line += samples[x.last - 1 - first_column] * x.last_weight;
      }
    }
    const double weight_y = r == y.first ? y.first_weight : r + 1 == y.last ? y.last_weight : 1.0;
    total += line * weight_y;
    total_weight += line_weight * weight_y;
  }
  if (count == 0) return no_data_;
  float mean = static_cast<float>(total / total_weight);
  if (mean == static_cast<float>(no_data_)) mean = static_cast<float>(no_data_ + 1);
  return round_sample(mean);
}

}  // namespace demstitch
