#pragma once

#include <span>
#include <string_view>

#include "io/console.hpp"
#include "mosaic/raster_writer.hpp"

namespace demstitch {

// Exit statuses of a run.
enum ExitStatus : int {
  exit_ok = 0,             // mosaic and header written, every named tile read
  exit_no_argument = 1,    // usage text
  exit_command_line = 2,   // no tile name, too many tiles, a name too long
  exit_output_failed = 3,  // the result could not be written; an earlier result is kept
  exit_input_problem = 4,  // a tile could not be read or used, or no usable mosaic
  exit_signal_base = 128,  // plus the number of the signal that interrupted the run
};

// How the raster is written: the band writer (tuned by `bands`), or, for comparison, the
// fill-then-patch reference writer. Neither changes a byte of the result or of the console.
struct RunOptions {
  bool reference_writer = false;
  BandOptions bands;
};

// The whole run: arguments (the program's name first) to exit status. Output files are
// written in the current folder.
int run(std::span<const std::string_view> args, Console& console, const RunOptions& options = {});

}  // namespace demstitch
