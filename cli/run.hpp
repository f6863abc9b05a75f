#pragma once

#include <span>
#include <string_view>

#include "io/console.hpp"
#include "mosaic/writer_options.hpp"

namespace demstitch {

// Exit statuses of a run.
enum ExitStatus : int {
  exit_ok = 0,             // mosaic and header written, every named tile read
  exit_no_argument = 1,    // usage text
  exit_command_line = 2,   // no tile name, too many tiles, a name too long
  exit_output_failed = 3,  // the result could not be written; an earlier result is kept
  exit_input_problem = 4,  // a tile could not be read or used, or no usable mosaic
  exit_signal_base = 128,  // plus a signal's number: what a shell shows for a run it ended
};

// The whole run: arguments (the program's name first) to exit status, with the result
// written in the current folder. `writer` chooses how the raster is written; it changes no
// byte of the result or of the console.
int run(std::span<const std::string_view> args, Console& console, const WriterOptions& writer = {});

}  // namespace demstitch
