#include "app/command_line.hpp"

#include <cstdlib>

namespace demstitch {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

size_t skip_digits(std::string_view text, size_t i) {
  while (i < text.size() && is_digit(text[i])) ++i;
  return i;
}

// Splits the option text at commas; doubled, leading and trailing commas give no field.
std::vector<std::string_view> option_fields(std::string_view text) {
  std::vector<std::string_view> fields;
  while (!text.empty()) {
    size_t comma = text.find(',');
    if (comma != 0) fields.push_back(text.substr(0, comma));
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return fields;
}

}  // namespace

double decimal_prefix_value(std::string_view field) {
  size_t i = 0;
  while (i < field.size() && (field[i] == ' ' || (field[i] >= '\t' && field[i] <= '\r'))) ++i;
  size_t begin = i;
  if (i < field.size() && (field[i] == '+' || field[i] == '-')) ++i;
  size_t integer_end = skip_digits(field, i);
  bool digits = integer_end > i;
  i = integer_end;
  if (i < field.size() && field[i] == '.') {
    size_t fraction_end = skip_digits(field, i + 1);
    digits = digits || fraction_end > i + 1;
    i = fraction_end;
  }
  if (!digits) return 0.0;
  if (i < field.size() && (field[i] == 'e' || field[i] == 'E')) {
    size_t j = i + 1;
    if (j < field.size() && (field[j] == '+' || field[j] == '-')) ++j;
    size_t exponent_end = skip_digits(field, j);
    if (exponent_end > j) i = exponent_end;
  }
  std::string number(field.substr(begin, i - begin));
  return std::strtod(number.c_str(), nullptr);
}

CommandLine parse_command_line(std::span<const std::string_view> args) {
  CommandLine line;
  if (args.empty()) {
    line.outcome = CommandLine::Outcome::no_argument;
    return line;
  }
  for (std::string_view arg : args) {
    if (!arg.empty() && arg.front() == '-') {
      // The last value given applies to every tile, named before or after the option.
      std::vector<std::string_view> fields = option_fields(arg.substr(1));
      if (!fields.empty()) line.offset_x = decimal_prefix_value(fields[0]);
      if (fields.size() > 1) line.offset_y = decimal_prefix_value(fields[1]);
      continue;
    }
    if (arg.size() > max_name_length) {
      line.outcome = CommandLine::Outcome::name_too_long;
      line.long_name = std::string(arg);
      return line;
    }
    line.names.emplace_back(arg);
  }
  if (line.names.empty()) {
    line.outcome = CommandLine::Outcome::no_tile;
  } else if (line.names.size() > max_tiles) {
    line.outcome = CommandLine::Outcome::too_many_tiles;
  }
  return line;
}

}  // namespace demstitch
