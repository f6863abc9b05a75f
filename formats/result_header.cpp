#include "formats/result_header.hpp"

#include "base/strings.hpp"
#include "formats/tile_header.hpp"

namespace demstitch {

std::string result_header_text(int32_t out_rows, int32_t out_cols, double result_ulx,
                               double result_uly, int corner_decimals) {
  // The spacing as the tiles' own headers write it: a GIS reads the grid from it, and six
  // decimals would put the east edge of a world mosaic 1.7 samples short of 180.
  const std::string spacing = format("%.14f", default_spacing);
  return bil_header_text(out_rows, out_cols, format("%.*f", corner_decimals, result_ulx),
                         format("%.*f", corner_decimals, result_uly),
                         spacing, 15);
}

}  // namespace demstitch
