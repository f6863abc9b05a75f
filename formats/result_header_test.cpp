#include "formats/result_header.hpp"

#include <gtest/gtest.h>

#include <string>

namespace demstitch {
namespace {

TEST(ResultHeader, FourteenCrLfLinesWithValuesFromColumn15) {
  EXPECT_EQ(result_header_text(6000, 4800, -180, 90),
            "BYTEORDER     M\r\n"
            "LAYOUT        BIL\r\n"
            "NROWS         6000\r\n"
            "NCOLS         4800\r\n"
            "NBANDS        1\r\n"
            "NBITS         16\r\n"
            "BANDROWBYTES  9600\r\n"
            "TOTALROWBYTES 9600\r\n"
            "BANDGAPBYTES  0\r\n"
            "NODATA        -9999\r\n"
            "ULXMAP        -180.000000\r\n"
            "ULYMAP        90.000000\r\n"
            "XDIM          0.00833333333333\r\n"
            "YDIM          0.00833333333333\r\n");
}

TEST(ResultHeader, CornerShowsItsSinglePrecisionDigits) {
  double ulx = static_cast<float>(-179.995833333333);
  std::string text = result_header_text(1, 1, ulx, 0);
  EXPECT_NE(text.find("ULXMAP        -179.995834\r\n"), std::string::npos);
}

}  // namespace
}  // namespace demstitch
