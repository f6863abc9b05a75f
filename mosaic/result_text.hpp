#pragma once

#include <string>
#include <string_view>

#include "mosaic/stitch.hpp"

namespace demstitch {

// The texts of a run's problems, shared by the command line and the Python module.

// How a caller names its options in messages: "--output" on the command line, "output=" in
// Python.
struct OptionWords {
  std::string_view output = "--output";
  std::string_view bounds = "--bounds";
};

// The line that reports a tile problem.
std::string problem_text(const TileProblem& problem);

// The lines that report why a run ended without a result, or with one the input spoiled.
std::string failure_text(const StitchResult& result, const OptionWords& words = {});

// The lines that report what an install left beside the result: side files that are not
// files, and copies of the earlier result it could not remove.
std::string install_notes(const StitchResult& result);

}  // namespace demstitch
