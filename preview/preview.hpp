#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "base/status.hpp"
#include "formats/tile_header.hpp"

namespace demstitch::preview {

struct Rgb {
  uint8_t r;
  uint8_t g;
  uint8_t b;
  bool operator==(const Rgb&) const = default;
};

// The flat colour of no-data (the sea, in this dataset).
inline constexpr Rgb sea_colour{38, 84, 128};

// The colour of an elevation in metres on a hypsometric ramp: greens near sea level through
// yellows and browns to white on the highest peaks.
Rgb ramp_colour(double metres);

// Brightens or darkens a colour by a hill-shading factor (1 is flat ground).
Rgb shaded(Rgb colour, double factor);

// Hill shading of a slope, lit from the north-west: `dz_dx` and `dz_dy` are the rise per
// metre eastward and southward. Flat ground gives 1.
double hill_shade(double dz_dx, double dz_dy);

// Averages blocks of input rows and columns into the rows of a smaller picture, holding only
// one picture row of sums. Samples equal to `nodata` count as no data; an output pixel with
// no data sample at all is no data itself (NaN).
class Downsampler {
 public:
  Downsampler(int64_t in_cols, int64_t in_rows, int64_t out_cols, int32_t nodata);
  int64_t out_cols() const { return out_cols_; }
  int64_t out_rows() const { return out_rows_; }
  // Takes the next input row; calls `emit` with each output row as it completes.
  void add_row(std::span<const int16_t> samples,
               const std::function<void(std::span<const double>)>& emit);

 private:
  int64_t in_cols_;
  int64_t in_rows_;
  int64_t out_cols_;
  int64_t out_rows_;
  int32_t nodata_;
  int64_t in_row_ = 0;
  int64_t out_row_ = 0;
  std::vector<double> sums_;
  std::vector<int64_t> counts_;
  std::vector<int64_t> column_of_;  // output column of each input column
  std::vector<double> row_;
};

struct PreviewOptions {
  int64_t width = 1800;
};

// Reads the mosaic `name` and writes a PNG of it: a raw result by its base or either file
// (BASE.HDR and BASE.DEM, either case), or a GeoTIFF (NAME.tif, NAME.tiff) where the build
// reads them.
Status write_preview(const std::string& name, const std::string& png_path,
                     const PreviewOptions& options, std::string* summary);

}  // namespace demstitch::preview
