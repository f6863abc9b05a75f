#include "preview/preview.hpp"

#include <png.h>

#if defined(DEMSTITCH_PREVIEW_TIFF)
#include <tiffio.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>

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

namespace {

// A mosaic's samples, a row at a time, north to south.
struct Rows {
  std::string path;  // the raster read, for the summary
  int64_t cols = 0;
  int64_t rows = 0;
  int32_t nodata = -9999;
  std::function<Status(int64_t row, std::span<int16_t> samples)> read;
};

bool ends_with_ignoring_case(const std::string& name, std::string_view end) {
  return name.size() > end.size() &&
         equal_ignoring_case(std::string_view(name).substr(name.size() - end.size()), end);
}

// The raw result BASE.HDR and BASE.DEM (either case), named by its base or either file.
Status raw_rows(const std::string& name, Rows* rows) {
  std::string base = name;
  for (std::string_view extension : {".dem", ".hdr"}) {
    if (ends_with_ignoring_case(name, extension)) base = name.substr(0, name.size() - 4);
  }
  auto opener = std::make_shared<FileOpener>();
  std::unique_ptr<Source> header_file;
  std::string header_path;
  if (Status s = open_either_case(*opener, base, ".HDR", ".hdr", &header_file, &header_path);
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
  if (Status s = open_either_case(*opener, base, ".DEM", ".dem", &raster, &rows->path); !s.ok()) {
    return s;
  }
  rows->cols = header.ncols;
  rows->rows = header.nrows;
  rows->nodata = header.nodata;
  rows->read = [raster = std::shared_ptr<Source>(std::move(raster)), header,
                bytes = std::vector<std::byte>(static_cast<size_t>(2 * header.ncols))](
                   int64_t r, std::span<int16_t> samples) mutable {
    size_t got = 0;
    std::span<std::byte> row(bytes);
    if (Status s = raster->read_at(r * header.total_row_bytes, std::span(&row, 1), &got); !s.ok()) {
      return s;
    }
    std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(got), bytes.end(), std::byte{0});
    const bool big_endian = header.byte_order == 0;
    for (size_t c = 0; c < samples.size(); ++c) {
      auto hi = static_cast<uint16_t>(bytes[2 * c]);
      auto lo = static_cast<uint16_t>(bytes[2 * c + 1]);
      if (!big_endian) std::swap(hi, lo);
      samples[c] = static_cast<int16_t>(static_cast<uint16_t>(hi << 8 | lo));
    }
    return Status();
  };
  return {};
}

#if defined(DEMSTITCH_PREVIEW_TIFF)
// A tiled GeoTIFF of 16-bit signed samples (the one demstitch writes, or GDAL's), read a
// band of tiles at a time through libtiff.
Status tiff_rows(const std::string& path, Rows* rows) {
  auto refuse = [&](const std::string& why) {
    return Status::error(StatusKind::corrupt, Side::input, path, why);
  };
  TIFFSetWarningHandler(nullptr);
  TIFFSetErrorHandler(nullptr);
  std::shared_ptr<TIFF> tiff(TIFFOpen(path.c_str(), "r"), [](TIFF* t) {
    if (t != nullptr) TIFFClose(t);
  });
  if (!tiff) {
    // A file that is not there is told as such; one that is, as no TIFF.
    FileOpener opener;
    std::unique_ptr<Source> probe;
    if (Status s = opener.open(path, &probe); !s.ok()) return s;
    return refuse("not a TIFF file");
  }
  uint32_t width = 0, height = 0, tile_width = 0, tile_height = 0;
  uint16_t bits = 0, format = SAMPLEFORMAT_UINT, channels = 1;
  TIFFGetField(tiff.get(), TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(tiff.get(), TIFFTAG_IMAGELENGTH, &height);
  TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_SAMPLEFORMAT, &format);
  TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_SAMPLESPERPIXEL, &channels);
  if (!TIFFIsTiled(tiff.get()) || !TIFFGetField(tiff.get(), TIFFTAG_TILEWIDTH, &tile_width) ||
      !TIFFGetField(tiff.get(), TIFFTAG_TILELENGTH, &tile_height) || tile_width == 0 ||
      tile_height == 0) {
    return refuse("not a tiled GeoTIFF");
  }
  if (bits != 16 || format != SAMPLEFORMAT_INT || channels != 1 || width == 0 || height == 0) {
    return refuse("not one band of 16-bit signed samples");
  }
  rows->path = path;
  rows->cols = width;
  rows->rows = height;
  // GDAL's no-data tag (42113) holds the value as text.
  // libtiff knows it as an unnamed field, read with its count where the field says so.
  if (const TIFFField* field = TIFFFindField(tiff.get(), 42113, TIFF_ANY); field != nullptr) {
    char* text = nullptr;
    uint32_t count = 0;
    const int found = TIFFFieldPassCount(field) != 0
                          ? TIFFGetField(tiff.get(), 42113, &count, &text)
                          : TIFFGetField(tiff.get(), 42113, &text);
    if (found == 1 && text != nullptr) {
      const std::string value_text(
          text, TIFFFieldPassCount(field) != 0 ? strnlen(text, count) : std::strlen(text));
      if (std::optional<int32_t> value = scan_c_int(value_text)) rows->nodata = *value;
    }
  }
  // The band of tile rows last read, and a tile's worth of room.
  struct Band {
    int64_t first = -1;
    std::vector<int16_t> samples;
    std::vector<int16_t> tile;
  };
  rows->read = [tiff, path, width, height, tile_width, tile_height,
                band = std::make_shared<Band>()](int64_t r, std::span<int16_t> samples) {
    const int64_t first = r / tile_height * tile_height;
    if (band->first != first) {
      band->samples.assign(static_cast<size_t>(width) * tile_height, 0);
      band->tile.resize(static_cast<size_t>(tile_width) * tile_height);
      for (uint32_t x = 0; x < width; x += tile_width) {
        const tmsize_t got =
            TIFFReadTile(tiff.get(), band->tile.data(), x, static_cast<uint32_t>(first), 0, 0);
        if (got < 0) {
          return Status::error(StatusKind::corrupt, Side::input, path, "a tile cannot be read");
        }
        const uint32_t across = std::min(tile_width, width - x);
        const auto down = static_cast<uint32_t>(std::min<int64_t>(tile_height, height - first));
        for (uint32_t y = 0; y < down; ++y) {
          std::copy_n(band->tile.data() + static_cast<size_t>(y) * tile_width, across,
                      band->samples.data() + static_cast<size_t>(y) * width + x);
        }
      }
      band->first = first;
    }
    std::copy_n(band->samples.data() + static_cast<size_t>(r - first) * width, samples.size(),
                samples.data());
    return Status();
  };
  return {};
}
#endif

}  // namespace

Status write_preview(const std::string& name, const std::string& png_path,
                     const PreviewOptions& options, std::string* summary) {
  Rows mosaic;
  if (ends_with_ignoring_case(name, ".tif") || ends_with_ignoring_case(name, ".tiff")) {
#if defined(DEMSTITCH_PREVIEW_TIFF)
    if (Status s = tiff_rows(name, &mosaic); !s.ok()) return s;
#else
    return Status::error(
        StatusKind::io_error, Side::input, name,
        "this build of demstitch-preview reads no GeoTIFF (libtiff was not found)");
#endif
  } else if (Status s = raw_rows(name, &mosaic); !s.ok()) {
    return s;
  }
  TileHeader header;
  header.ncols = static_cast<int32_t>(mosaic.cols);
  header.nrows = static_cast<int32_t>(mosaic.rows);
  header.nodata = mosaic.nodata;
  const std::string raster_path = mosaic.path;

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

  std::vector<int16_t> samples(static_cast<size_t>(header.ncols));
  for (int64_t r = 0; r < header.nrows; ++r) {
    if (Status s = mosaic.read(r, samples); !s.ok()) return s;
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
