#include "base/strings.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace demstitch {
namespace {

bool is_c_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

size_t skip_spaces(std::string_view text, size_t i) {
  while (i < text.size() && is_c_space(text[i])) ++i;
  return i;
}

size_t skip_digits(std::string_view text, size_t i) {
  while (i < text.size() && is_digit(text[i])) ++i;
  return i;
}

}  // namespace

std::string format(const char* pattern, ...) {
  va_list args;
  va_start(args, pattern);
  // The analyzer does not see va_start through the printf attribute of the declaration.
  int length =
      std::vsnprintf(nullptr, 0, pattern, args);  // NOLINT(clang-analyzer-valist.Uninitialized)
  va_end(args);
  std::string text(static_cast<size_t>(length > 0 ? length : 0), '\0');
  va_start(args, pattern);
  std::vsnprintf(text.data(), text.size() + 1, pattern, args);
  va_end(args);
  return text;
}

std::optional<int32_t> scan_c_int(std::string_view text) {
  size_t i = skip_spaces(text, 0);
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  size_t first_digit = i;
  int64_t value = 0;
  for (; i < text.size() && is_digit(text[i]); ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > int64_t{INT32_MAX} + 1) return std::nullopt;
  }
  if (i == first_digit) return std::nullopt;
  if (negative) value = -value;
  if (value > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(value);
}

std::optional<double> scan_c_float(std::string_view text) {
  // The program never changes its locale, so the C library reads in the "C" locale.
  std::string terminated(text);
  float value = 0;
  if (std::sscanf(terminated.c_str(), "%f", &value) != 1) return std::nullopt;
  return static_cast<double>(value);
}

double decimal_prefix_value(std::string_view text) {
  size_t i = skip_spaces(text, 0);
  size_t begin = i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  size_t integer_end = skip_digits(text, i);
  bool digits = integer_end > i;
  i = integer_end;
  if (i < text.size() && text[i] == '.') {
    size_t fraction_end = skip_digits(text, i + 1);
    digits = digits || fraction_end > i + 1;
    i = fraction_end;
  }
  if (!digits) return 0.0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    size_t j = i + 1;
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
    size_t exponent_end = skip_digits(text, j);
    if (exponent_end > j) i = exponent_end;
  }
  std::string number(text.substr(begin, i - begin));
  return std::strtod(number.c_str(), nullptr);
}

std::string ascii_lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return lower;
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
  return ascii_lower(a) == ascii_lower(b);
}

namespace {

std::string escaped(std::string_view text, bool keep_lines) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const bool c1 = c == 0xC2 && i + 1 < text.size() &&
                    static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                    static_cast<unsigned char>(text[i + 1]) <= 0x9F;
    const bool kept_line_end = keep_lines && (c == '\n' || c == '\r' || c == '\t');
    if (c1) {
      out += format("\\xC2\\x%02X", static_cast<unsigned char>(text[++i]));
    } else if ((c < 0x20 || c == 0x7F) && !kept_line_end) {
      out += format("\\x%02X", c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace

std::string printable(std::string_view name) { return escaped(name, false); }
std::string printable_lines(std::string_view text) { return escaped(text, true); }

}  // namespace demstitch
