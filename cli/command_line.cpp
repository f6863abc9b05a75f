#include "cli/command_line.hpp"

#include "base/strings.hpp"

namespace demstitch {
namespace {

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

bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

}  // namespace

CommandLine parse_command_line(std::span<const std::string_view> args) {
  CommandLine line;
  if (args.empty()) {
    line.outcome = CommandLine::Outcome::no_argument;
    return line;
  }
  for (std::string_view arg : args) {
    if (arg.size() > 2 && arg.starts_with("--") && is_letter(arg[2])) {
      line.outcome = arg == "--help"      ? CommandLine::Outcome::help
                     : arg == "--version" ? CommandLine::Outcome::version
                                          : CommandLine::Outcome::unknown_option;
      if (line.outcome == CommandLine::Outcome::unknown_option) line.offending = arg;
      return line;
    }
    if (!arg.empty() && arg.front() == '-') {
      // The last value given applies to every tile, named before or after the option.
      std::vector<std::string_view> fields = option_fields(arg.substr(1));
      if (!fields.empty()) line.offset_x = decimal_prefix_value(fields[0]);
      if (fields.size() > 1) line.offset_y = decimal_prefix_value(fields[1]);
      continue;
    }
    if (arg.size() > max_name_length) {
      line.outcome = CommandLine::Outcome::name_too_long;
      line.offending = std::string(arg);
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
