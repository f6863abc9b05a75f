#pragma once

#include <cstdint>
#include <string>

namespace demstitch {

// The text of the result's header: 14 keyword lines, values from column 15, each line ending
// in CR LF as the format has always been written, whatever the platform. The spacing
// written is the fixed one, to fourteen decimals; the corner is the mosaic's, in the tiles'
// own coordinates, to six.
std::string result_header_text(int32_t out_rows, int32_t out_cols, double result_ulx,
                               double result_uly);

}  // namespace demstitch
