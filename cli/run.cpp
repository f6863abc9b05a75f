#include "cli/run.hpp"

#include <algorithm>
#include <chrono>
#include <csignal>

#include "base/strings.hpp"
#include "cli/command_line.hpp"
#include "cli/console_report.hpp"
#include "cli/report.hpp"
#include "formats/netcdf_result.hpp"
#include "io/platform.hpp"

namespace demstitch {
namespace {

int exit_status(const StitchResult& result) {
  switch (result.outcome) {
    case StitchOutcome::written:
      // An earlier result caught by a wildcard is not a tile: passed over, said, no failure.
      return std::all_of(
                 result.problems.begin(), result.problems.end(),
                 [](const TileProblem& p) { return p.kind == ProblemKind::result_not_tile; })
                 ? exit_ok
                 : exit_input_problem;
    case StitchOutcome::no_header:
    case StitchOutcome::no_usable_size:
    case StitchOutcome::outside_window:
    case StitchOutcome::input_failed:
      return exit_input_problem;
    case StitchOutcome::tile_is_result:
    case StitchOutcome::too_many_tiles:
    case StitchOutcome::bad_request:
      return exit_command_line;
    case StitchOutcome::output_failed:
      return exit_output_failed;
    case StitchOutcome::cancelled:
      break;
  }
  return exit_signal_base + SIGINT;
}

// A window across the antimeridian wider than half a turn is more often WEST and EAST
// swapped than meant: it is kept, and said.
std::string window_note(const CommandLine& line) {
  if (!line.window || line.window->west < line.window->east) return {};
  const GridWindow grid = snap_outward(*line.window);
  if (2 * grid.cols() <= world_columns) return {};
  return format(
      "Note: the window crosses the antimeridian and is %.6g degrees wide (from %.6g "
      "east across 180); give WEST first to ask for the other side\n",
      static_cast<double>(grid.cols()) / samples_per_degree, line.window->west);
}

}  // namespace

int run(std::span<const std::string_view> args, Console& console, const WriterOptions& writer) {
  std::string_view program = args.empty() ? "demstitch" : args.front();
  CommandLine line = parse_command_line(args.empty() ? args : args.subspan(1));
  switch (line.outcome) {
    case CommandLine::Outcome::help:
      console.print(help_text(program));
      console.flush();
      return exit_ok;
    case CommandLine::Outcome::version:
      console.print("demstitch " DEMSTITCH_VERSION "\n");
      console.flush();
      return exit_ok;
    case CommandLine::Outcome::unknown_option:
      console.error(format("Unknown option %s: '%s --help' lists the options\n",
                           line.offending.c_str(), std::string(program).c_str()));
      return exit_command_line;
    case CommandLine::Outcome::bad_value:
      console.error(line.offending + "\n");
      return exit_command_line;
    case CommandLine::Outcome::no_argument:
      console.error(usage_text(program));
      return exit_no_argument;
    case CommandLine::Outcome::no_tile:
      console.error(usage_text(program));
      return exit_command_line;
    case CommandLine::Outcome::too_many_tiles:
      console.error(format("Too many tiles: at most %zu can be stitched in one run\n", max_tiles));
      return exit_command_line;
    case CommandLine::Outcome::name_too_long:
      console.error(format("Tile name too long (at most %zu characters): %s\n", max_name_length,
                           line.offending.c_str()));
      return exit_command_line;
    case CommandLine::Outcome::run:
      break;
  }
  end_on_interrupt_signals(
      "\nInterrupted: nothing written, and any earlier result is kept as it was\n");
  StitchRequest request = stitch_request(line);
  if (!line.no_cache) request.index_cache = user_cache_folder();
  // What a NetCDF result keeps as its history: when, and the command.
  std::string command = "demstitch";
  for (std::string_view arg : args.subspan(1)) {
    command += ' ';
    command += printable(arg);
  }
  request.output.history = history_line(std::chrono::system_clock::now(), command);
  if (std::string note = window_note(line); !note.empty()) console.error(note);
  ConsoleReport report(console, request.window.has_value(), line.quiet);
  StitchResult result = stitch(request, report, writer);
  for (const TileProblem& problem : result.problems) {
    if (problem.kind == ProblemKind::raster_changed) console.error(problem_text(problem));
  }
  // On a terminal the prompt must not overwrite the last progress line.
  if (console.last_printed() == '\r' && console.out_is_terminal()) console.print("\n");
  // Named folders that are not there or hold no tiles have said so, each in its line.
  const bool only_folders =
      result.outcome == StitchOutcome::no_header &&
      std::all_of(result.problems.begin(), result.problems.end(),
                  [](const TileProblem& p) { return p.kind == ProblemKind::folder_not_read; });
  if (only_folders) return exit_input_problem;
  if (std::string text = failure_text(result); !text.empty()) console.error(text);
  if (std::string text = install_notes(result); !text.empty()) console.error(text);
  int status = exit_status(result);
  if (status == exit_input_problem) {
    console.error(
        problem_summary(result.problems, result.tiles, result.outcome != StitchOutcome::written));
  }
  return status;
}

}  // namespace demstitch
