#include "preview/preview.hpp"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "base/strings.hpp"
#include "io/source.hpp"

namespace demstitch::preview {
namespace {

constexpr double metres_per_degree = 111320.0;
// Relief is exaggerated so that hills show at the scale of a whole mosaic.
constexpr double vertical_exaggeration = 4.0;

struct RampStop {
  double metres;
  Rgb colour;
};

constexpr RampStop ramp[] = {
    {0, {58, 128, 64}},      {200, {110, 160, 80}},   {600, {190, 190, 110}},
    {1200, {200, 160, 90}},  {2000, {160, 110, 70}},  {3000, {140, 100, 80}},
    {4500, {200, 190, 185}}, {6000, {250, 250, 250}},
};

uint8_t clamp_channel(double value) {
  return static_cast<uint8_t>(std::clamp(std::lround(value), 0L, 255L));
}

}  // namespace

Rgb ramp_colour(double metres) {
  if (metres <= ramp[0].metres) return ramp[0].colour;
  for (size_t i = 1; i < std::size(ramp); ++i) {
    if (metres <= ramp[i].metres) {
      const RampStop& lo = ramp[i - 1];
      const RampStop& hi = ramp[i];
      double t = (metres - lo.metres) / (hi.metres - lo.metres);
      auto mix = [t](uint8_t a, uint8_t b) { return clamp_channel(a + (b - a) * t); };
      return Rgb{mix(lo.colour.r, hi.colour.r), mix(lo.colour.g, hi.colour.g),
                 mix(lo.colour.b, hi.colour.b)};
    }
  }
  return std::end(ramp)[-1].colour;
}

Rgb shaded(Rgb colour, double factor) {
  return Rgb{clamp_channel(colour.r * factor), clamp_channel(colour.g * factor),
             clamp_channel(colour.b * factor)};
}

double hill_shade(double dz_dx, double dz_dy) {
  // Normal of the surface in (east, north, up); the light comes from the north-west, 45
  // degrees above the horizon.
  double nx = -dz_dx;
  double ny = dz_dy;
  double length = std::sqrt(nx * nx + ny * ny + 1);
  const double l = std::sqrt(0.5);
  double lit = (nx * -0.5 + ny * 0.5 + l) / length;
  return std::clamp(lit / l, 0.35, 1.35);
}

Downsampler::Downsampler(int64_t in_cols, int64_t in_rows, int64_t out_cols, int32_t nodata)
    : in_cols_(in_cols),
      in_rows_(in_rows),
      out_cols_(std::clamp<int64_t>(out_cols, 1, in_cols)),
      out_rows_(std::max<int64_t>(1, (in_rows * out_cols_ + in_cols / 2) / in_cols)),
      nodata_(nodata),
      sums_(static_cast<size_t>(out_cols_)),
      counts_(static_cast<size_t>(out_cols_)),
      column_of_(static_cast<size_t>(in_cols)),
      row_(static_cast<size_t>(out_cols_)) {
  for (int64_t c = 0; c < in_cols; ++c) column_of_[c] = c * out_cols_ / in_cols;
}

void Downsampler::add_row(std::span<const int16_t> samples,
                          const std::function<void(std::span<const double>)>& emit) {
  for (int64_t c = 0; c < in_cols_; ++c) {
    if (samples[c] == nodata_) continue;
    sums_[column_of_[c]] += samples[c];
    ++counts_[column_of_[c]];
  }
  ++in_row_;
  // The input row just taken was the last of its output row.
  int64_t next_out = in_row_ == in_rows_ ? out_rows_ : in_row_ * out_rows_ / in_rows_;
  if (next_out == out_row_) return;
  for (int64_t c = 0; c < out_cols_; ++c) {
    row_[c] = counts_[c] > 0 ? sums_[c] / static_cast<double>(counts_[c])
                             : std::numeric_limits<double>::quiet_NaN();
  }
  std::fill(sums_.begin(), sums_.end(), 0.0);
  std::fill(counts_.begin(), counts_.end(), 0);
  for (; out_row_ < next_out; ++out_row_) emit(row_);
}

Status write_preview(const std::string& base, const std::string& png_path,
                     const PreviewOptions& options, std::string* summary) {
  FileOpener opener;
  std::unique_ptr<Source> header_file;
  std::string header_path;
  if (Status s = open_either_case(opener, base, ".HDR", ".hdr", &header_file, &header_path);
      !s.ok()) {
    return s;
  }
  TileHeader header;
  if (Status s = read_header(*header_file, header); !s.ok()) return s;
  if (header.nrows <= 0 || header.ncols <= 0 ||
      header.total_row_bytes < 2 * int64_t{header.ncols}) {
    return Status::error(StatusKind::corrupt, Side::input, header_path,
                         "does not describe rows of 16-bit samples");
  }
  std::unique_ptr<Source> raster;
  std::string raster_path;
  if (Status s = open_either_case(opener, base, ".DEM", ".dem", &raster, &raster_path); !s.ok()) {
    return s;
  }

  Downsampler downsampler(header.ncols, header.nrows, options.width, header.nodata);
  const int64_t width = downsampler.out_cols();
  const int64_t height = downsampler.out_rows();
  // Size of a picture pixel on the ground, in metres (ignoring the narrowing toward the poles).
  const double pixel_metres = static_cast<double>(header.ncols) / static_cast<double>(width) *
                              grid_cell * metres_per_degree;
  std::vector<uint8_t> picture(static_cast<size_t>(width * height * 3));

  // Hill shading needs the rows above and below: each row is coloured one row late.
  std::vector<double> above, current, below;
  int64_t coloured = 0;
  auto colour_row = [&](const std::vector<double>& up, const std::vector<double>& row,
                        const std::vector<double>& down) {
    uint8_t* out = picture.data() + coloured * width * 3;
    for (int64_t c = 0; c < width; ++c) {
      double z = row[c];
      Rgb colour = sea_colour;
      if (!std::isnan(z)) {
        auto near = [z](double v) { return std::isnan(v) ? z : v; };
        double west = near(row[std::max<int64_t>(c - 1, 0)]);
        double east = near(row[std::min(c + 1, width - 1)]);
        double dz_dx = (east - west) / (2 * pixel_metres) * vertical_exaggeration;
        double dz_dy = (near(down[c]) - near(up[c])) / (2 * pixel_metres) * vertical_exaggeration;
        colour = shaded(ramp_colour(z), hill_shade(dz_dx, dz_dy));
      }
      out[3 * c] = colour.r;
      out[3 * c + 1] = colour.g;
      out[3 * c + 2] = colour.b;
    }
    ++coloured;
  };
  auto take = [&](std::span<const double> row) {
    std::vector<double> next(row.begin(), row.end());
    if (current.empty()) {
      current = std::move(next);
      above = current;
      return;
    }
    below = std::move(next);
    colour_row(above, current, below);
    above = std::move(current);
    current = std::move(below);
  };

  std::vector<std::byte> bytes(static_cast<size_t>(2 * header.ncols));
  std::vector<int16_t> samples(static_cast<size_t>(header.ncols));
  const bool big_endian = header.byte_order == 0;
  for (int64_t r = 0; r < header.nrows; ++r) {
    size_t got = 0;
    std::span<std::byte> row(bytes);
    if (Status s = raster->read_at(r * header.total_row_bytes, std::span(&row, 1), &got); !s.ok()) {
      return s;
    }
    std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(got), bytes.end(), std::byte{0});
    for (int64_t c = 0; c < header.ncols; ++c) {
      auto hi = static_cast<uint16_t>(bytes[2 * c]);
      auto lo = static_cast<uint16_t>(bytes[2 * c + 1]);
      if (!big_endian) std::swap(hi, lo);
      samples[c] = static_cast<int16_t>(static_cast<uint16_t>(hi << 8 | lo));
    }
    downsampler.add_row(samples, take);
  }
  colour_row(above, current, current);

  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(width);
  image.height = static_cast<png_uint_32>(height);
  image.format = PNG_FORMAT_RGB;
  if (!png_image_write_to_file(&image, png_path.c_str(), 0, picture.data(), 0, nullptr)) {
    std::string message = image.message;
    png_image_free(&image);
    return Status::error(StatusKind::io_error, Side::output, png_path, message);
  }
  *summary = format("%s: %lldx%lld pixels from %s (%dx%d samples)", png_path.c_str(),
                    static_cast<long long>(width), static_cast<long long>(height),
                    raster_path.c_str(), header.ncols, header.nrows);
  return {};
}

}  // namespace demstitch::preview
