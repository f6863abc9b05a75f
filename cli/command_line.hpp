#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "formats/result_formats.hpp"
#include "mosaic/stitch.hpp"
#include "mosaic/window.hpp"

namespace demstitch {

// The command line as a plain value: what to do, the tile names in order, the offsets.
struct CommandLine {
  enum class Outcome {
    run,
    help,
    version,
    no_argument,
    no_tile,
    too_many_tiles,
    name_too_long,
    unknown_option,
    bad_value,  // an option's value cannot be used; `offending` says why
  };
  Outcome outcome = Outcome::run;
  std::vector<std::string> names;
  double offset_x = 0.0;
  double offset_y = 0.0;
  std::string offending;            // the name too long, the unknown option, or what is wrong
  std::optional<GeoWindow> window;  // --bounds
  // --output, --format (or the output's extension), --compress, --level, --overviews
  OutputRequest output;
  bool quiet = false;     // --quiet: no progress lines
  bool no_cache = false;  // --no-cache: archives' indexes neither read nor kept
};

// Reads the arguments that follow the program's name. "--" and a letter begins a named
// option (--help, --version, --quiet, --bounds=, --output=, --format=, --compress=, --level=,
// --overviews=), its value checked by the library and its problems worded here; one dash and the
// first letters (two or more) of an option's name
// ("-bounds=...") is refused as that option mistyped; any other argument starting with "-" is
// the offset option ("-h,w", so "--5,3" is the offsets -5 and 3); every other argument is a
// tile base name. The first of --help, --version, an unknown option, a bad value or a name
// too long decides. Touches no file.
CommandLine parse_command_line(std::span<const std::string_view> args);

// The stitch the command line asks for: its tiles, offsets, window, output and format, with
// the command line's tile limit.
StitchRequest stitch_request(const CommandLine& line);

}  // namespace demstitch
