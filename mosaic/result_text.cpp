#include "mosaic/result_text.hpp"

#include "base/strings.hpp"

namespace demstitch {

std::string problem_text(const TileProblem& problem) {
  const std::string shown = printable(problem.path);
  const char* path = shown.c_str();
  switch (problem.kind) {
    case ProblemKind::folder_not_read:
      return format("Error reading folder %s: %s\n", path,
                    printable(problem.cause.detail()).c_str());
    case ProblemKind::header_not_opened:
    case ProblemKind::raster_not_opened:
      // A file that is there but cannot be opened (no permission, too many open files, a
      // folder) must not look like a missing tile.
      if (problem.cause.kind() != StatusKind::not_found) {
        return format("Error opening file %s\n%s\n", path, problem.cause.message().c_str());
      }
      return format("Error opening file %s\n", path);
    case ProblemKind::header_not_read:
    case ProblemKind::raster_not_read:
      return "Error reading file " + problem.cause.message() + "\n";
    case ProblemKind::header_doubtful:
      return format("Doubtful header %s: it %s; the tile is copied as it is\n", path,
                    printable(problem.detail).c_str());
    case ProblemKind::result_not_tile:
      return format(
          "Skipped %s: it is the header of a demstitch result, not of a tile (name it without "
          "the extension to stitch it all the same)\n",
          path);
    case ProblemKind::bad_row_length:
      return format("Skipped %s: its rows are %s bytes long\n", path, problem.detail.c_str());
    case ProblemKind::no_place:
      return format("Skipped %s: the tile has no place in the mosaic\n", path);
    case ProblemKind::raster_short:
      return format(
          "Short raster %s: %lld of %lld rows present (%lld of %lld bytes); the rest "
          "is no-data\n",
          path, static_cast<long long>(problem.whole_rows),
          static_cast<long long>(problem.expected_rows), static_cast<long long>(problem.bytes),
          static_cast<long long>(problem.expected_bytes));
    case ProblemKind::raster_long:
      return format(
          "Long raster %s: %lld bytes where its header describes %lld rows (%lld "
          "bytes)\n",
          path, static_cast<long long>(problem.bytes),
          static_cast<long long>(problem.expected_rows),
          static_cast<long long>(problem.expected_bytes));
    case ProblemKind::raster_changed:
      return format("%s changed while it was read: what it no longer held is no-data\n", path);
  }
  return {};
}

std::string failure_text(const StitchResult& result, const OptionWords& words) {
  const Status& error = result.error;
  if (error.kind() == StatusKind::no_memory) return "Out of memory for the output buffers\n";
  if (error.kind() == StatusKind::busy) {
    // The lock is the raster's name and ".lock".
    std::string raster = printable(error.path());
    if (raster.ends_with(".lock")) raster.resize(raster.size() - 5);
    return "Another run is writing " + raster +
           " now: nothing written (run again when it has finished)\n";
  }
  switch (result.outcome) {
    case StitchOutcome::written:
    case StitchOutcome::cancelled:
      return {};
    case StitchOutcome::bad_request:
      return "A tile name or the window cannot be used: nothing read\n";
    case StitchOutcome::too_many_tiles:
      return format(
          "Too many tiles: at most %zu can be stitched in one run (the folders and "
          "archives named hold %zu)\n",
          max_tiles, result.tiles.size());
    case StitchOutcome::tile_is_result:
      return "The tile " + printable(result.clash) +
             " is the result this run would replace: nothing read or written (remove it from "
             "the tiles, or write the result elsewhere with " +
             std::string(words.output) + ")\n";
    case StitchOutcome::no_header:
      return "No tile header could be read: there is nothing to stitch\n";
    case StitchOutcome::no_usable_size:
      return "The tiles' bounds give no usable mosaic size: nothing written\n";
    case StitchOutcome::outside_window:
      return "No named tile touches the window given by " + std::string(words.bounds) +
             ": nothing written\n";
    case StitchOutcome::input_failed:
      return "Error reading file " + error.message() + "\nNothing written\n";
    case StitchOutcome::output_failed:
      break;
  }
  switch (result.failed_step) {
    case OutputStep::lock:
      return "Unable to lock the result\n" + error.message() + "\n";
    case OutputStep::check_names:
      return error.message() + ": nothing written (choose another name with " +
             std::string(words.output) + ")\n";
    case OutputStep::create_raster:
      return "Unable to open output file\n" + error.message() + "\n";
    case OutputStep::check_space:
      return "Not enough space for " + printable(error.path()) + ": " + printable(error.detail()) +
             "\n";
    case OutputStep::write_raster:
      return "Unable to write output file\n" + error.message() + "\n";
    case OutputStep::write_header:
      return "Unable to write header file for result\n" + error.message() + "\n";
    case OutputStep::write_projection:
      return "Unable to write the coordinate system of the result\n" + error.message() + "\n";
    case OutputStep::install:
    case OutputStep::none:
      break;
  }
  return "Unable to install the result\n" + error.message() + "\n";
}

std::string install_notes(const StitchResult& result) {
  std::string text;
  for (const std::string& path : result.kept) {
    text += printable(path) +
            " is not a file: left as it is, though it may describe an earlier result\n";
  }
  for (const Status& leftover : result.leftovers) {
    text += "A copy of the earlier result could not be removed (" + leftover.message() +
            "): the next run on this result removes it\n";
  }
  return text;
}

}  // namespace demstitch
