#include "cli/report.hpp"

#include <gtest/gtest.h>

#include <string>

namespace demstitch {
namespace {

TEST(Report, TileBoundsLinePutsThePathAfterACarriageReturn) {
  TileRect bounds{.top = 90, .left = -180, .bottom = 40, .right = -140};
  EXPECT_EQ(tile_bounds_line(bounds, "A.hdr"),
            std::string(35, ' ') + "90.00   -180.00     40.00   -140.00\rA.hdr\n");
}

TEST(Report, FinalBoundsAreInTheTilesOwnCoordinates) {
  MosaicBounds b{.top = 91, .left = -178, .bottom = 41, .right = -98};
  EXPECT_EQ(final_bounds_text(unshifted(b, Offsets{2, 1}), MosaicSize{9600, 6000}),
            "\n\nFinal output bounds:       90.0   -180.00     40.00   -100.00\n"
            "9600x6000 samples = 115200000 bytes\n");
}

TEST(Report, ByteCountIsTheTrueProduct) {
  MosaicBounds b;
  EXPECT_EQ(final_bounds_text(b, MosaicSize{-43200, -21600}),
            "\n\nFinal output bounds:      -90.0    180.00     90.00   -180.00\n"
            "-43200x-21600 samples = 1866240000 bytes\n");
  EXPECT_EQ(final_bounds_text(b, MosaicSize{43200, 43200}).substr(64),
            "43200x43200 samples = 3732480000 bytes\n");
  // No size line when the size cannot be represented.
  EXPECT_EQ(final_bounds_text(b, std::nullopt),
            "\n\nFinal output bounds:      -90.0    180.00     90.00   -180.00\n");
}

TEST(Report, UsageTextNamesTheProgram) {
  std::string usage = usage_text("./demstitch");
  EXPECT_EQ(usage.substr(0, 39), "Usage:\n\n\t./demstitch [-h,w] file1 [file");
  EXPECT_EQ(usage.back(), '\n');
}

}  // namespace
}  // namespace demstitch
