#include "base/strings.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace demstitch {
namespace {

TEST(CNumbers, IntegersStopAtTheFirstOtherCharacterAndStayIn32Bits) {
  EXPECT_EQ(scan_c_int(" \t+6000x"), 6000);
  EXPECT_EQ(scan_c_int("-2147483648"), INT32_MIN);
  EXPECT_EQ(scan_c_int("2147483648"), std::nullopt);
  EXPECT_EQ(scan_c_int("99999999999999999999"), std::nullopt);
  EXPECT_EQ(scan_c_int("- 5"), std::nullopt);
  EXPECT_EQ(scan_c_int(""), std::nullopt);
}

TEST(CNumbers, RealsAreHeldInSinglePrecision) {
  // The header spacing in single precision is a little more than 1/120.
  EXPECT_EQ(scan_c_float("0.00833333333333"), static_cast<double>(0.00833333333333f));
  EXPECT_GT(*scan_c_float("0.00833333333333"), 1.0 / 120);
  EXPECT_TRUE(std::isnan(*scan_c_float("nan")));
  EXPECT_EQ(scan_c_float("abc"), std::nullopt);
  // The decimal prefix of an option field is read in double precision.
  EXPECT_EQ(decimal_prefix_value(" -0.1e1x"), -1.0);
  EXPECT_EQ(decimal_prefix_value("0.1"), 0.1);
  EXPECT_EQ(decimal_prefix_value("nan"), 0.0);
}

TEST(Printable, ControlCharactersOfANameAreShownNotObeyed) {
  EXPECT_EQ(printable("\x1b[2J\x1b]0;OWNED\x07"
                      "evil.hdr"),
            "\\x1B[2J\\x1B]0;OWNED\\x07evil.hdr");
  EXPECT_EQ(printable("a\nb\rc\x7f"), "a\\x0Ab\\x0Dc\\x7F");
  EXPECT_EQ(printable("\xc2\x9b"
                      "1m h\xc3\xb6he"),
            "\\xC2\\x9B"
            "1m h\xc3\xb6he");
  EXPECT_EQ(printable_lines("50%\r\x1b[Kname\n"), "50%\r\\x1B[Kname\n");
}

TEST(Format, LongTextIsWhole) {
  std::string long_text(5000, 'x');
  EXPECT_EQ(format("%s|%d", long_text.c_str(), 7), long_text + "|7");
}

}  // namespace
}  // namespace demstitch
