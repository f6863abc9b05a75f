#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "formats/cog_options.hpp"

namespace demstitch {

struct RasterSize {
  int32_t width = 0;
  int32_t height = 0;
  bool operator==(const RasterSize&) const = default;
};

// The levels of a tiled pyramid: the full raster first, then overviews, each half the one
// before (rounded down), until both sides of the last fit in one tile. Without overviews,
// only the full raster.
std::vector<RasterSize> pyramid_levels(RasterSize full, int32_t tile_size, bool overviews);

// Makes one level of a pyramid from the level above it, row by row, as GDAL's overview
// builder does: an output sample covers a window of source samples, fractions of a sample
// at its edges weighted by the part covered. AVERAGE takes the weighted mean of the
// samples that are not no-data (all no-data gives no-data; a mean that would read as
// no-data is one above it) and rounds half away from zero; NEAREST takes one sample.
class LevelReducer {
 public:
  LevelReducer(RasterSize from, RasterSize to, Resampling method, int16_t no_data);

  RasterSize to() const { return to_; }
  // The source rows [first, last) that output row `row` is made of.
  std::pair<int32_t, int32_t> source_rows(int32_t row) const;
  // Makes output row `row`, columns [begin, end), into out from column `out_first` on;
  // rows[i] is source row source_rows(row).first + i from column `first_column` on, as far
  // as those columns' windows reach.
  void reduce(int32_t row, std::span<const int16_t* const> rows, int16_t* out, int32_t begin,
              int32_t end, int32_t first_column = 0, int32_t out_first = 0) const;

 private:
  // A window of source samples along one axis: [first, last), its first and last samples
  // weighted (a window of one sample weighs one).
  struct Window {
    int32_t first = 0;
    int32_t last = 0;
    double first_weight = 1.0;
    double last_weight = 1.0;
  };
  static Window window(int32_t index, double ratio, int32_t source_size);
  Window row_window(int32_t row) const { return window(row, ratio_y_, from_.height); }
  // Output columns [begin, end) of a row made of two whole source rows, two samples each.
  void halve(const int16_t* top, const int16_t* bottom, int16_t* out, int32_t begin, int32_t end,
             int32_t first_column, int32_t out_first) const;
  int16_t average(const Window& y, const Window& x, std::span<const int16_t* const> rows,
                  int32_t first_column) const;

  RasterSize from_;
  RasterSize to_;
  Resampling method_;
  int16_t no_data_;
  double ratio_x_;
  double ratio_y_;
  std::vector<Window> columns_;
  std::vector<int32_t> nearest_columns_;
  bool halving_x_ = false;  // every column window is two whole samples, side by side
};

// A float rounded to a 16-bit sample as GDAL converts one: half away from zero, clamped.
int16_t round_sample(float value);

}  // namespace demstitch
