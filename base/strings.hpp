#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace demstitch {

// printf into a string. (DEMSTITCH_PRINTF names the compiler's printf checks for the C
// library in use; the build sets it.)
std::string format(const char* pattern, ...) __attribute__((format(DEMSTITCH_PRINTF, 1, 2)));

// Numbers read the way the C library reads them in the "C" locale, whatever the locale.

// "%d": white space, an optional sign, decimal digits; reading stops at the first character
// that cannot continue the number. A value outside the 32-bit range does not convert.
std::optional<int32_t> scan_c_int(std::string_view text);

// "%f" into single precision, widened to double: decimal or hexadecimal numbers, "inf" and
// "nan" as the C library accepts them.
std::optional<double> scan_c_float(std::string_view text);

// The value of the longest leading part of `text` that reads as a decimal real number (white
// space, sign, digits with an optional point, exponent); 0.0 if there is none.
double decimal_prefix_value(std::string_view text);

// A name as it may be shown on a terminal: control characters (below 0x20, 0x7F, and the C1
// controls U+0080 to U+009F as UTF-8) as "\xNN", so that a name from a downloaded archive
// cannot move the cursor, clear the screen or set a window's title; all else as it is.
std::string printable(std::string_view name);
// The same for a whole text of lines: line feeds, carriage returns and tabs are kept.
std::string printable_lines(std::string_view text);

// Letters A to Z as a to z; every other byte as it is.
std::string ascii_lower(std::string_view text);
// Whether two texts are equal once ascii_lower'd.
bool equal_ignoring_case(std::string_view a, std::string_view b);

}  // namespace demstitch
