#include "app/report.hpp"

#include <gtest/gtest.h>

#include <string>

#include "mosaic/result_header.hpp"

namespace demstitch {
namespace {

TEST(Report, TileBoundsLinePutsThePathAfterACarriageReturn) {
  TileRect shifted{.top = 90.5, .left = -179.5, .bottom = 40.5, .right = -139.5};
  EXPECT_EQ(tile_bounds_line(shifted, 0.5, 0.5, "A.hdr"),
            std::string(35, ' ') + "90.00   -180.00     40.00   -140.00\rA.hdr\n");
}

TEST(Report, FinalBoundsTakeTheOffsetsOff) {
  MosaicBounds b{.top = 91, .left = -178, .bottom = 41, .right = -98};
  EXPECT_EQ(final_bounds_text(b, 2, 1, MosaicSize{9600, 6000}),
            "\n\nFinal output bounds:       90.0   -180.00     40.00   -100.00\n"
            "9600x6000 samples = 115200000 bytes\n");
}

TEST(Report, ByteCountIsTheTrueProduct) {
  MosaicBounds b;
  EXPECT_EQ(final_bounds_text(b, 0, 0, MosaicSize{-43200, -21600}),
            "\n\nFinal output bounds:      -90.0    180.00     90.00   -180.00\n"
            "-43200x-21600 samples = 1866240000 bytes\n");
  EXPECT_EQ(final_bounds_text(b, 0, 0, MosaicSize{43200, 43200}).substr(64),
            "43200x43200 samples = 3732480000 bytes\n");
  // No size line when the size cannot be represented.
  EXPECT_EQ(final_bounds_text(b, 0, 0, std::nullopt),
            "\n\nFinal output bounds:      -90.0    180.00     90.00   -180.00\n");
}

TEST(Report, UsageTextNamesTheProgram) {
  std::string usage = usage_text("./demstitch");
  EXPECT_EQ(usage.substr(0, 39), "Usage:\n\n\t./demstitch [-h,w] file1 [file");
  EXPECT_EQ(usage.back(), '\n');
}

TEST(ResultHeader, FourteenCrLfLinesWithValuesFromColumn15) {
  EXPECT_EQ(result_header_text(MosaicSize{4800, 6000}, -180, 90),
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
            "XDIM          0.008333\r\n"
            "YDIM          0.008333\r\n");
}

TEST(ResultHeader, CornerShowsItsSinglePrecisionDigits) {
  double ulx = static_cast<float>(-179.995833333333);
  std::string text = result_header_text(MosaicSize{1, 1}, ulx, 0);
  EXPECT_NE(text.find("ULXMAP        -179.995834\r\n"), std::string::npos);
}

}  // namespace
}  // namespace demstitch
