#include "formats/result_header.hpp"

#include "base/strings.hpp"
#include "formats/tile_header.hpp"

namespace demstitch {

namespace {

// The spacing as the tiles' own headers write it: a GIS reads the grid from it, and six
// decimals would put the east edge of a world mosaic 1.7 samples short of 180.
std::string spacing_text() { return format("%.14f", default_spacing); }

// The value of a "KEYWORD value" line of a result's header, as written.
std::string_view value_text(std::string_view text, std::string_view keyword) {
  // A line end, then the keyword padded to the value's column.
  std::string start(1, '\n');
  start.append(keyword);
  start.resize(15, ' ');
  size_t at = text.find(start);
  if (at == std::string_view::npos) return {};
  text.remove_prefix(at + start.size());
  return text.substr(0, text.find('\r'));
}

}  // namespace

GeoTransform result_geotransform(double result_ulx, double result_uly, int corner_decimals) {
  const double spacing = decimal_prefix_value(spacing_text());
  const double ulx = decimal_prefix_value(format("%.*f", corner_decimals, result_ulx));
  const double uly = decimal_prefix_value(format("%.*f", corner_decimals, result_uly));
  return GeoTransform{ulx - spacing / 2, uly + spacing / 2, spacing, spacing};
}

bool is_result_header(std::string_view text) {
  TileHeader header;
  read_header_text(header, text);
  std::string_view ulx = value_text(text, "ULXMAP");
  std::string_view uly = value_text(text, "ULYMAP");
  auto decimals = [](std::string_view value) {
    size_t point = value.find('.');
    return point == std::string_view::npos ? 0 : static_cast<int>(value.size() - point - 1);
  };
  const int corner = decimals(ulx);
  return (corner == 6 || corner == region_corner_decimals) && decimals(uly) == corner &&
         text == bil_header_text(header.nrows, header.ncols, ulx, uly, spacing_text(), 15);
}

std::string result_header_text(int32_t out_rows, int32_t out_cols, double result_ulx,
                               double result_uly, int corner_decimals) {
  const std::string spacing = spacing_text();
  return bil_header_text(out_rows, out_cols, format("%.*f", corner_decimals, result_ulx),
                         format("%.*f", corner_decimals, result_uly), spacing, 15);
}

}  // namespace demstitch
