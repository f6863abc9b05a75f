#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "mosaic/grid.hpp"
#include "mosaic/result_text.hpp"
#include "mosaic/stitch.hpp"

namespace demstitch {

// The usage text, with the program's own name.
std::string usage_text(std::string_view program);

// What --help prints: the usage, the arguments and options, the files written and the exit
// statuses.
std::string help_text(std::string_view program);

// One tile's bounds in its own coordinates, then a carriage return and the header's path:
// on a terminal the path overwrites the blanks before the first number.
std::string tile_bounds_line(const TileRect& bounds, const std::string& path);

// The "Final output bounds" lines, from the mosaic's bounds in the tiles' own coordinates;
// the size line is left out when the size cannot be represented.
std::string final_bounds_text(const MosaicBounds& bounds, const std::optional<MosaicSize>& size);

// The closing line of a run with input problems: how many named tiles were not used, or
// not used fully, and which (all of them when nothing was written).
std::string problem_summary(std::span<const TileProblem> problems,
                            std::span<const std::string> names, bool nothing_written);

}  // namespace demstitch
