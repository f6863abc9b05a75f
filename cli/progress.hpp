#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "io/console.hpp"

namespace demstitch {

// 100 * part / whole rounded to the nearest integer, halves away from zero, with a 64-bit
// intermediate. `whole` must be positive.
int64_t percent(int64_t part, int64_t whole);

// What the raster stage reports for one tile: its row percentages, or, when its raster could
// not be used, the message that says so.
struct TileProgress {
  std::string path;
  int32_t nrows = 0;
  std::string error;   // sent to standard error in place of the progress lines
  std::string notice;  // sent to standard error before them
};

// The console lines of the raster stage in their fixed order: the fill's percentage every
// 128 mosaic rows, then for each tile a line feed and its percentage every 64 rows. The
// writer works in one pass, so the lines are played out in step with the bytes written.
class ProgressScript {
 public:
  // Quiet, only the errors and notices are played.
  ProgressScript(int32_t out_rows, std::vector<TileProgress> tiles, bool quiet = false);
  int64_t size() const { return total_; }
  // Plays the lines up to (not including) line `count`.
  void play_until(int64_t count, Console& console);

 private:
  std::string line(size_t segment, int64_t index) const;

  int32_t out_rows_;
  std::vector<TileProgress> tiles_;
  bool quiet_;
  std::vector<int64_t> segment_sizes_;  // the fill, then one per tile
  int64_t total_ = 0;
  size_t segment_ = 0;
  int64_t index_ = 0;  // within the segment
  int64_t played_ = 0;
};

}  // namespace demstitch
