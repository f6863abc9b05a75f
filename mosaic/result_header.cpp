#include "mosaic/result_header.hpp"

#include "io/console.hpp"

namespace demstitch {

std::string result_header_text(const MosaicSize& size, double result_ulx, double result_uly) {
  const auto row_bytes = static_cast<long long>(size.row_bytes());
  return format(
      "BYTEORDER     M\r\n"
      "LAYOUT        BIL\r\n"
      "NROWS         %d\r\n"
      "NCOLS         %d\r\n"
      "NBANDS        1\r\n"
      "NBITS         16\r\n"
      "BANDROWBYTES  %lld\r\n"
      "TOTALROWBYTES %lld\r\n"
      "BANDGAPBYTES  %d\r\n"
      "NODATA        -9999\r\n"
      "ULXMAP        %lf\r\n"
      "ULYMAP        %lf\r\n"
      "XDIM          %lf\r\n"
      "YDIM          %lf\r\n",
      size.out_rows, size.out_cols, row_bytes, row_bytes, 0, result_ulx, result_uly,
      default_spacing, default_spacing);
}

}  // namespace demstitch
