#include "formats/result_header.hpp"

#include "base/strings.hpp"
#include "formats/tile_header.hpp"

namespace demstitch {

std::string result_header_text(int32_t out_rows, int32_t out_cols, double result_ulx,
                               double result_uly) {
  const std::string spacing = format("%lf", default_spacing);
  return bil_header_text(out_rows, out_cols, format("%lf", result_ulx), format("%lf", result_uly),
                         spacing, 15);
}

}  // namespace demstitch
