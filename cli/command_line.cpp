#include "cli/command_line.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <system_error>
#include <utility>

#include "base/strings.hpp"
#include "formats/tile_codec.hpp"

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

// Every named option, without its dashes.
constexpr std::string_view option_names[] = {"bounds", "output",    "format", "compress",
                                             "level",  "overviews", "quiet",  "no-cache",
                                             "help",   "version"};

// The named option a one-dash word was surely meant as ("-bounds=5,43,17,48" for --bounds):
// its letters, two or more, begin an option's name. Any other word after one dash is the
// offset option (a lone letter too, as "-h,w" in the usage text).
std::optional<std::string_view> meant_option(std::string_view arg) {
  if (arg.size() < 3 || arg[0] != '-' || !is_letter(arg[1])) return std::nullopt;
  size_t end = 1;
  while (end < arg.size() && is_letter(arg[end])) ++end;
  if (end < 3) return std::nullopt;
  const std::string letters = ascii_lower(arg.substr(1, end - 1));
  for (std::string_view name : option_names) {
    if (name.starts_with(letters)) return name;
  }
  return std::nullopt;
}

// A whole number in decimal digits, with an optional sign, and nothing else.
std::optional<int32_t> strict_int(std::string_view text) {
  if (text.starts_with('+')) text.remove_prefix(1);
  int32_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// "--" and a letter: --help, --bounds=...; "--5" is the offset option.
bool is_named_option(std::string_view arg) {
  return arg.size() > 2 && arg.starts_with("--") && is_letter(arg[2]);
}

// A whole field as a finite decimal number, or nothing.
std::optional<double> strict_number(std::string_view field) {
  if (field.starts_with('+')) field.remove_prefix(1);
  double value = 0;
  auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
  if (field.empty() || error != std::errc() || end != field.data() + field.size() ||
      !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

// Reads WEST,SOUTH,EAST,NORTH; on failure says what is wrong.
std::optional<GeoWindow> parse_bounds(std::string_view text, std::string* why) {
  std::vector<double> values;
  for (size_t at = 0; at <= text.size();) {
    size_t comma = std::min(text.find(',', at), text.size());
    auto value = strict_number(text.substr(at, comma - at));
    if (!value) {
      values.clear();
      break;
    }
    values.push_back(*value);
    at = comma + 1;
  }
  if (values.size() != 4) {
    *why = "give four numbers in degrees, WEST,SOUTH,EAST,NORTH";
    return std::nullopt;
  }
  GeoWindow window{values[0], values[1], values[2], values[3]};
  switch (check_window(&window)) {
    case WindowProblem::none:
      return window;
    case WindowProblem::latitude_range:
      *why = "latitudes lie between -90 and 90";
      break;
    case WindowProblem::longitude_range:
      *why = "longitudes lie between -180 and 180 (EAST up to WEST + 360)";
      break;
    case WindowProblem::south_not_below_north:
      *why = "SOUTH must be below NORTH";
      break;
    case WindowProblem::west_is_east:
      *why = "WEST and EAST must differ (WEST above EAST crosses the antimeridian)";
      break;
    case WindowProblem::empty:
      *why = "the window is empty: 180 and -180 are one meridian";
      break;
  }
  return std::nullopt;
}

// Options whose value may also be the next argument.
bool takes_value(std::string_view option) {
  for (std::string_view name : option_names) {
    if (option.substr(2) == name) {
      return name != "quiet" && name != "no-cache" && name != "help" && name != "version";
    }
  }
  return false;
}

// The formats by name, for messages: "dem (the raw raster), cog (a GeoTIFF) or ...".
std::string format_names() {
  std::string names;
  const auto formats = result_formats();
  for (size_t i = 0; i < formats.size(); ++i) {
    if (i > 0) names += i + 1 == formats.size() ? " or " : ", ";
    names += std::string(formats[i].name) + " (" + std::string(formats[i].description) + ")";
  }
  return names;
}

// What is wrong with the output options, worded for the command line; `first_cog_option` is
// the first option given that only a GeoTIFF takes.
std::string output_problem_text(const OutputProblem& p, std::string_view first_cog_option) {
  const std::string compression(compression_name(p.compression));
  switch (p.kind) {
    case OutputProblem::Kind::none:
      return {};
    case OutputProblem::Kind::no_name:
      return "give the result's path, such as regions/alps";
    case OutputProblem::Kind::format_clash:
      return "--format=" + std::string(result_format(p.format).name) +
             ": the --output path ends in " + p.extension + ", which names " +
             std::string(result_format(p.named).description) + "; choose one";
    case OutputProblem::Kind::option_not_taken:
      return std::string(first_cog_option) + ": only a GeoTIFF takes it (add --format=cog)";
    case OutputProblem::Kind::compression_missing:
      return "--compress=" + compression +
             ": this build of demstitch cannot write it (deflate, lzw and none it can)";
    case OutputProblem::Kind::no_level:
      return "--level: --compress=" + compression + " takes no level";
    case OutputProblem::Kind::level_out_of_range:
      return format("--level=%d: --compress=%s takes a level from %d to %d", p.level,
                    compression.c_str(), p.levels.low, p.levels.high);
  }
  return {};
}

}  // namespace

CommandLine parse_command_line(std::span<const std::string_view> args) {
  CommandLine line;
  if (args.empty()) {
    line.outcome = CommandLine::Outcome::no_argument;
    return line;
  }
  OutputChoices choices;
  std::string cog_option;  // the first option that only a GeoTIFF takes
  for (size_t i = 0; i < args.size(); ++i) {
    std::string_view arg = args[i];
    if (is_named_option(arg)) {
      // A value follows its option after "=" or as the next argument.
      std::string_view option = arg.substr(0, arg.find('='));
      std::optional<std::string_view> value;
      std::string given(arg);  // as the user wrote it, for messages
      if (option.size() < arg.size()) {
        value = arg.substr(option.size() + 1);
      } else if (takes_value(option) && i + 1 < args.size() && !is_named_option(args[i + 1])) {
        value = args[++i];
        given.append(1, ' ').append(*value);
      }
      std::string why;
      if (option == "--bounds") {
        why = "give four numbers in degrees, WEST,SOUTH,EAST,NORTH";
        if (value) line.window = parse_bounds(*value, &why);
        if (line.window) continue;
      } else if (option == "--output") {
        why = "give the result's path, such as regions/alps";
        if (value) {
          OutputChoices output_only;
          output_only.output = std::string(*value);
          OutputProblem problem;
          resolve_output(output_only, &problem);
          choices.output = output_only.output;
          if (problem.kind != OutputProblem::Kind::no_name) continue;
        }
      } else if (option == "--format") {
        const ResultFormatEntry* entry = value ? result_format_named(*value) : nullptr;
        if (entry) {
          choices.format = entry->format;
          continue;
        }
        why = "give " + format_names();
      } else if (option == "--compress") {
        std::optional<Compression> c = value ? compression_by_name(*value) : std::nullopt;
        if (c) {
          choices.compression = *c;
          if (cog_option.empty()) cog_option = "--compress";
          continue;
        }
        why = "give deflate, zstd, lzw or none";
      } else if (option == "--level") {
        std::optional<int32_t> level = value ? strict_int(*value) : std::nullopt;
        if (level) {
          choices.level = *level;
          if (cog_option.empty()) cog_option = "--level";
          continue;
        }
        why = "give a whole number, such as 6";
      } else if (option == "--overviews") {
        if (value && choose_overviews(*value, &choices)) {
          if (cog_option.empty()) cog_option = "--overviews";
          continue;
        }
        why = "give average, nearest or none";
      } else if (arg == "--quiet") {
        line.quiet = true;
        continue;
      } else if (arg == "--no-cache") {
        line.no_cache = true;
        continue;
      }
      if (!why.empty()) {
        line.outcome = CommandLine::Outcome::bad_value;
        line.offending = std::move(given.append(": ").append(why));
        return line;
      }
      line.outcome = arg == "--help"      ? CommandLine::Outcome::help
                     : arg == "--version" ? CommandLine::Outcome::version
                                          : CommandLine::Outcome::unknown_option;
      if (line.outcome == CommandLine::Outcome::unknown_option) line.offending = arg;
      return line;
    }
    if (std::optional<std::string_view> meant = meant_option(arg)) {
      // A one-dash word that names an option would otherwise be an offset of zero and a run
      // over the whole mosaic.
      line.outcome = CommandLine::Outcome::bad_value;
      line.offending =
          std::string(arg) + ": did you mean --" + std::string(meant->data(), meant->size()) + "?";
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
  OutputProblem problem;
  line.output = resolve_output(choices, &problem);
  if (problem.kind != OutputProblem::Kind::none) {
    line.outcome = CommandLine::Outcome::bad_value;
    line.offending = output_problem_text(problem, cog_option);
  } else if (line.names.empty()) {
    line.outcome = CommandLine::Outcome::no_tile;
  } else if (line.names.size() > max_tiles) {
    line.outcome = CommandLine::Outcome::too_many_tiles;
  }
  return line;
}

StitchRequest stitch_request(const CommandLine& line) {
  StitchRequest request;
  request.tiles = line.names;
  request.max_tiles = max_tiles;
  request.offsets = Offsets{line.offset_x, line.offset_y};
  request.window = line.window;
  request.output = line.output;
  return request;
}

}  // namespace demstitch
