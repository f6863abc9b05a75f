#include "formats/netcdf_result.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "base/strings.hpp"
#include "io/file.hpp"

namespace demstitch {
namespace {

// The classic format's tags and types (big-endian 32-bit integers).
constexpr int32_t tag_dimension = 0x0A;
constexpr int32_t tag_variable = 0x0B;
constexpr int32_t tag_attribute = 0x0C;
constexpr int32_t type_char = 2;
constexpr int32_t type_short = 3;
constexpr int32_t type_int = 4;
constexpr int32_t type_double = 6;

constexpr int16_t no_data = -9999;
constexpr double samples_per_degree = 120;
constexpr int64_t page_bytes = 4096;
constexpr int64_t preamble_piece_bytes = 64 << 10;
constexpr int64_t largest_vsize = 0xFFFFFFFCLL;  // larger variables say 2^32 - 1

// GDAL's text for EPSG:4326, which it reads back as that code.
constexpr const char* wgs84_wkt =
    "GEOGCS[\"WGS 84\",DATUM[\"WGS_1984\",SPHEROID[\"WGS 84\",6378137,298.257223563,"
    "AUTHORITY[\"EPSG\",\"7030\"]],AUTHORITY[\"EPSG\",\"6326\"]],PRIMEM[\"Greenwich\",0,"
    "AUTHORITY[\"EPSG\",\"8901\"]],UNIT[\"degree\",0.0174532925199433,"
    "AUTHORITY[\"EPSG\",\"9122\"]],AXIS[\"Latitude\",NORTH],AXIS[\"Longitude\",EAST],"
    "AUTHORITY[\"EPSG\",\"4326\"]]";

// An attribute's value: text, one short, or doubles.
struct Attribute {
  std::string name;
  int32_t type = type_char;
  std::string text;
  std::vector<double> doubles;
  int16_t short_value = 0;
};

Attribute text(std::string name, std::string value) {
  return Attribute{std::move(name), type_char, std::move(value), {}, 0};
}
Attribute number(std::string name, double value) {
  return Attribute{std::move(name), type_double, {}, {value}, 0};
}

struct Variable {
  std::string name;
  std::vector<int32_t> dimensions;
  std::vector<Attribute> attributes;
  int32_t type = type_int;
  int64_t bytes = 0;  // its data, before padding
};

// A coordinate variable of `count` doubles along dimension `dimension`.
Variable coordinate(const std::string& name, int32_t dimension, const std::string& standard_name,
                    const std::string& units, const std::string& axis, int32_t count) {
  return Variable{name,
                  {dimension},
                  {text("standard_name", standard_name), text("long_name", standard_name),
                   text("units", units), text("axis", axis)},
                  type_double,
                  int64_t{8} * count};
}

int64_t padded(int64_t bytes) { return (bytes + 3) / 4 * 4; }

// Big-endian header bytes, as the format lays them out.
class Writer {
 public:
  void int32(int64_t value) {
    const auto v = static_cast<uint32_t>(value);
    for (int shift = 24; shift >= 0; shift -= 8) out_.push_back(std::byte(v >> shift));
  }
  void int64(int64_t value) {
    const auto v = static_cast<uint64_t>(value);
    for (int shift = 56; shift >= 0; shift -= 8) out_.push_back(std::byte(v >> shift));
  }
  void float64(double value) { int64(std::bit_cast<int64_t>(value)); }
  void int16(int16_t value) {
    out_.push_back(std::byte(static_cast<uint16_t>(value) >> 8));
    out_.push_back(std::byte(static_cast<uint16_t>(value) & 0xFF));
  }
  void pad() {
    while (out_.size() % 4 != 0) out_.push_back(std::byte{0});
  }
  // A name, or a text attribute's characters: their count, the bytes, padding.
  void chars(std::string_view text) {
    int32(std::ssize(text));
    for (char c : text) out_.push_back(std::byte(c));
    pad();
  }
  void attributes(const std::vector<Attribute>& list) {
    if (list.empty()) {
      int32(0);
      int32(0);
      return;
    }
    int32(tag_attribute);
    int32(std::ssize(list));
    for (const Attribute& a : list) {
      chars(a.name);
      int32(a.type);
      if (a.type == type_char) {
        chars(a.text);
      } else if (a.type == type_short) {
        int32(1);
        int16(a.short_value);
        pad();
      } else {
        int32(std::ssize(a.doubles));
        for (double d : a.doubles) float64(d);
      }
    }
  }
  std::vector<std::byte>& bytes() { return out_; }

 private:
  std::vector<std::byte> out_;
};

std::string number_text(double value) { return format("%.17g", value); }

// The grid's corner with its spacing as the grid has it: a header's spacing, written to 14
// decimals, is 1/120 degree.
GeoTransform exact(GeoTransform g) {
  auto snap = [](double cell) {
    return std::fabs(cell * samples_per_degree - 1) < 1e-9 ? 1.0 / samples_per_degree : cell;
  };
  g.cell_width = snap(g.cell_width);
  g.cell_height = snap(g.cell_height);
  return g;
}

std::vector<Variable> variables(const ResultGrid& grid) {
  const GeoTransform g = exact(grid.geo);
  const std::string transform = number_text(g.west) + " " + number_text(g.cell_width) + " 0 " +
                                number_text(g.north) + " 0 " + number_text(-g.cell_height);
  std::vector<Variable> list;
  list.push_back(Variable{
      "crs",
      {},
      {text("grid_mapping_name", "latitude_longitude"), number("longitude_of_prime_meridian", 0.0),
       number("semi_major_axis", 6378137.0), number("inverse_flattening", 298.257223563),
       text("crs_wkt", wgs84_wkt), text("spatial_ref", wgs84_wkt), text("GeoTransform", transform)},
      type_int,
      4});
  list.push_back(coordinate("lat", 0, "latitude", "degrees_north", "Y", grid.size.height));
  list.push_back(coordinate("lon", 1, "longitude", "degrees_east", "X", grid.size.width));
  Attribute fill{"_FillValue", type_short, {}, {}, no_data};
  list.push_back(Variable{
      "elevation",
      {0, 1},
      {text("standard_name", "surface_altitude"), text("long_name", "elevation above sea level"),
       text("units", "m"), fill, text("grid_mapping", "crs")},
      type_short,
      int64_t{2} * grid.size.width * grid.size.height});
  return list;
}

// The header, with every variable's data placed after it in order. Null bytes after it (room
// the format allows a header, as the netCDF library leaves) put the last variable, the
// samples, on a page boundary, where whole pages are written faster than pieces of two.
std::vector<std::byte> header(const ResultGrid& grid, const std::vector<Variable>& vars) {
  // The header's length does not depend on the offsets written into it.
  int64_t begin = 0;
  int64_t before_last = 0;  // the data before the last variable's
  for (size_t i = 0; i + 1 < vars.size(); ++i) before_last += padded(vars[i].bytes);
  for (int pass = 0; pass < 2; ++pass) {
    Writer w;
    for (char c : std::string_view("CDF\x02")) w.bytes().push_back(std::byte(c));
    w.int32(0);  // records: none
    w.int32(tag_dimension);
    w.int32(2);
    w.chars("lat");
    w.int32(grid.size.height);
    w.chars("lon");
    w.int32(grid.size.width);
    w.attributes({text("Conventions", "CF-1.8"), text("title", "Elevation mosaic"),
                  text("source", "30-arc-second elevation tiles, stitched by demstitch"),
                  text("history", grid.history)});
    w.int32(tag_variable);
    w.int32(std::ssize(vars));
    int64_t at = begin;
    for (const Variable& v : vars) {
      w.chars(v.name);
      w.int32(std::ssize(v.dimensions));
      for (int32_t d : v.dimensions) w.int32(d);
      w.attributes(v.attributes);
      w.int32(v.type);
      const int64_t size = padded(v.bytes);
      w.int32(size > largest_vsize ? int64_t{0xFFFFFFFF} : size);
      w.int64(at);
      at += size;
    }
    if (pass == 1) {
      w.bytes().resize(static_cast<size_t>(begin));
      return std::move(w.bytes());
    }
    const int64_t length = std::ssize(w.bytes());
    begin = length + (page_bytes - (length + before_last) % page_bytes) % page_bytes;
  }
  return {};
}

}  // namespace

Status write_netcdf_preamble(const ResultGrid& grid, const PreambleOut& out) {
  if (Status s = out(header(grid, variables(grid))); !s.ok()) return s;
  // The coordinates a piece at a time: a mosaic may have millions of rows.
  Writer data;
  auto flush = [&](bool full) -> Status {
    if (full && std::ssize(data.bytes()) < preamble_piece_bytes) return {};
    Status s = out(data.bytes());
    data.bytes().clear();
    return s;
  };
  data.int32(0);  // the grid mapping's value, which nothing reads
  const GeoTransform g = exact(grid.geo);
  for (int32_t row = 0; row < grid.size.height; ++row) {
    data.float64(g.north - (row + 0.5) * g.cell_height);
    if (Status s = flush(true); !s.ok()) return s;
  }
  for (int32_t column = 0; column < grid.size.width; ++column) {
    data.float64(g.west + (column + 0.5) * g.cell_width);
    if (Status s = flush(true); !s.ok()) return s;
  }
  return flush(false);
}

std::vector<std::byte> netcdf_preamble(const ResultGrid& grid) {
  std::vector<std::byte> bytes;
  (void)write_netcdf_preamble(grid, [&](std::span<const std::byte> piece) {
    bytes.insert(bytes.end(), piece.begin(), piece.end());
    return Status{};
  });
  return bytes;
}

int64_t netcdf_file_size(const ResultGrid& grid) {
  const std::vector<Variable> vars = variables(grid);
  int64_t size = std::ssize(header(grid, vars));
  for (const Variable& v : vars) size += padded(v.bytes);
  return size;
}

std::string history_line(std::chrono::system_clock::time_point when, std::string_view command) {
  using namespace std::chrono;
  const auto day = floor<days>(when);
  const year_month_day date{day};
  const hh_mm_ss time{floor<seconds>(when - day)};
  return format("%04d-%02u-%02uT%02d:%02d:%02dZ %s", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()), std::string(command).c_str());
}

// The samples as the bands bring them, up to the variable's end: a long last row's spill
// has no place in the grid.
class NetcdfResult::Sink final : public BandSink {
 public:
  Sink(File& file, int64_t samples_bytes, int64_t file_size)
      : file_(file), end_(samples_bytes), file_size_(file_size) {}
  // The whole file's disk space is had before the samples come.
  Status begin(int64_t /*total_bytes*/) override { return file_.reserve(file_size_); }
  Status write_band(int64_t offset, std::span<const std::byte> band) override {
    const int64_t end = std::min(end_, offset + std::ssize(band));
    band = band.first(static_cast<size_t>(std::max<int64_t>(0, end - offset)));
    while (!band.empty()) {
      const size_t n = std::min(band.size(), static_cast<size_t>(io_chunk_bytes));
      if (Status s = file_.write_all(band.first(n)); !s.ok()) return s;
      band = band.subspan(n);
    }
    return {};
  }
  // The padding to a whole 4 bytes, in the variable's fill value.
  Status finish() {
    if (end_ % 4 == 0) return {};
    const std::byte fill[2] = {std::byte(static_cast<uint16_t>(no_data) >> 8),
                               std::byte(static_cast<uint16_t>(no_data) & 0xFF)};
    return file_.write_all(fill);
  }

 private:
  File& file_;
  int64_t end_;
  int64_t file_size_;
};

NetcdfResult::NetcdfResult(const std::string& path)
    : files_{{path, ResultPart::raster}}, side_files_{path + ".aux.xml"} {}

NetcdfResult::~NetcdfResult() = default;

BandSink* NetcdfResult::band_sink() { return sink_.get(); }

int64_t NetcdfResult::space_needed(const ResultGrid& grid) const { return netcdf_file_size(grid); }

Status NetcdfResult::start(OutputSet& outputs, const ResultGrid& grid) {
  File* file = nullptr;
  if (Status s = outputs.add(files_[0].path, &file); !s.ok()) return s;
  if (Status s = write_netcdf_preamble(
          grid, [&](std::span<const std::byte> piece) { return file->write_all(piece); });
      !s.ok()) {
    return s;
  }
  sink_ = std::make_unique<Sink>(*file, int64_t{2} * grid.size.width * grid.size.height,
                                 netcdf_file_size(grid));
  return {};
}

Status NetcdfResult::finish(OutputSet& /*outputs*/, ResultPart* failed) {
  *failed = ResultPart::raster;
  return sink_->finish();
}

}  // namespace demstitch
