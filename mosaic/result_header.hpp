#pragma once

#include <string>

#include "mosaic/extent.hpp"

namespace demstitch {

// The text of "GTResult.HDR": 14 keyword lines, values from column 15, each line ending in
// CR LF as the format has always been written. The spacing written is the fixed one, to six
// decimals; the corner is the mosaic's, in the tiles' own coordinates.
std::string result_header_text(const MosaicSize& size, double result_ulx, double result_uly);

}  // namespace demstitch
