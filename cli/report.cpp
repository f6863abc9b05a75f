#include "cli/report.hpp"

#include "base/strings.hpp"

namespace demstitch {

std::string usage_text(std::string_view program) {
  std::string name(program);
  return format(
      "Usage:\n\n\t%s [-h,w] file1 [file2 [file3 [...]]]\n\n"
      "where file[n] is the name of the GTOPO30 tile to be stitched together,\n"
      "These file names should have no extensions. The .HDR and .DEM files must\n"
      "be present on the path provided.\n"
      "If provided h and w are numeric offsets for the input positions\n",
      name.c_str());
}

std::string tile_bounds_line(const TileRect& bounds, const std::string& path) {
  return format("%40.2lf%10.2lf%10.2lf%10.2lf\r%s\n", bounds.top, bounds.left, bounds.bottom,
                bounds.right, path.c_str());
}

std::string final_bounds_text(const MosaicBounds& bounds, const std::optional<MosaicSize>& size) {
  std::string text = format("\n\nFinal output bounds: %10.1lf%10.2lf%10.2lf%10.2lf\n", bounds.top,
                            bounds.left, bounds.bottom, bounds.right);
  if (size) {
    // The byte count is the true product: the same as a 32-bit one below 2 GiB.
    text += format("%dx%d samples = %lld bytes\n", size->out_cols, size->out_rows,
                   static_cast<long long>(size->bytes()));
  }
  return text;
}

std::string problem_text(const TileProblem& problem) {
  const char* path = problem.path.c_str();
  switch (problem.kind) {
    case ProblemKind::header_not_opened:
    case ProblemKind::raster_not_opened:
      return format("Error opening file %s\n", path);
    case ProblemKind::header_not_read:
    case ProblemKind::raster_not_read:
      return "Error reading file " + problem.cause.message() + "\n";
    case ProblemKind::bad_row_length:
      return format("Skipped %s: its rows are %s bytes long\n", path, problem.detail.c_str());
    case ProblemKind::no_place:
      return format("Skipped %s: the tile has no place in the mosaic\n", path);
    case ProblemKind::raster_changed:
      return format("%s changed while it was read: what it no longer held is no-data\n", path);
  }
  return {};
}

std::string failure_text(const StitchResult& result) {
  const Status& error = result.error;
  if (error.kind() == StatusKind::no_memory) return "Out of memory for the output buffers\n";
  if (error.kind() == StatusKind::busy) {
    return "Another run is writing " + error.path() +
           " now: nothing written (run again when it has finished)\n";
  }
  switch (result.outcome) {
    case StitchOutcome::written:
    case StitchOutcome::cancelled:
      return {};
    case StitchOutcome::no_header:
      return "No tile header could be read: there is nothing to stitch\n";
    case StitchOutcome::no_usable_size:
      return "The tiles' bounds give no usable mosaic size: nothing written\n";
    case StitchOutcome::input_failed:
      return "Error reading file " + error.message() + "\nNothing written\n";
    case StitchOutcome::output_failed:
      break;
  }
  switch (result.failed_step) {
    case OutputStep::create_raster:
      return "Unable to open output file\n" + error.message() + "\n";
    case OutputStep::check_space:
      return "Not enough space for " + error.path() + ": " + error.detail() + "\n";
    case OutputStep::write_raster:
      return "Unable to write output file\n" + error.message() + "\n";
    case OutputStep::write_header:
      return "Unable to write header file for result\n" + error.message() + "\n";
    case OutputStep::install:
    case OutputStep::none:
      break;
  }
  return "Unable to install the result\n" + error.message() + "\n";
}

}  // namespace demstitch
