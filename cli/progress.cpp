#include "cli/progress.hpp"

#include <algorithm>
#include <utility>

#include "base/strings.hpp"
#include "io/file.hpp"

namespace demstitch {
namespace {

int64_t count_of_steps(int64_t rows, int64_t step) { return rows > 0 ? (rows - 1) / step + 1 : 0; }

}  // namespace

int64_t percent(int64_t part, int64_t whole) {
  int64_t twice = 200 * part;
  return twice >= 0 ? (twice + whole) / (2 * whole) : -((-twice + whole) / (2 * whole));
}

ProgressScript::ProgressScript(int32_t out_rows, std::vector<TileProgress> tiles, bool quiet)
    : out_rows_(out_rows), tiles_(std::move(tiles)), quiet_(quiet) {
  segment_sizes_.push_back(count_of_steps(out_rows_, 128));
  for (const TileProgress& tile : tiles_) {
    int64_t lines = tile.error.empty() ? 1 + count_of_steps(tile.nrows, 64) : 1;
    segment_sizes_.push_back(lines + (tile.notice.empty() ? 0 : 1));
  }
  for (int64_t size : segment_sizes_) total_ += size;
}

std::string ProgressScript::line(size_t segment, int64_t index) const {
  if (segment == 0) {
    return format("%lld%% Generating empty output file   \r",
                  static_cast<long long>(percent(index * 128, out_rows_)));
  }
  const TileProgress& tile = tiles_[segment - 1];
  if (!tile.error.empty()) return tile.error;
  if (!tile.notice.empty()) {
    if (index == 0) return tile.notice;
    --index;
  }
  if (index == 0) return "\n";
  return format("%lld%% %s                               \r",
                static_cast<long long>(percent((index - 1) * 64, tile.nrows)), tile.path.c_str());
}

void ProgressScript::play_until(int64_t count, Console& console) {
  std::string text;
  count = std::min(count, total_);
  for (; played_ < count; ++played_) {
    while (index_ >= segment_sizes_[segment_]) {
      ++segment_;
      index_ = 0;
    }
    bool to_error = segment_ > 0 && (!tiles_[segment_ - 1].error.empty() ||
                                     (index_ == 0 && !tiles_[segment_ - 1].notice.empty()));
    if (to_error) {
      console.print(text);
      text.clear();
      console.error(line(segment_, index_));
    } else if (!quiet_) {
      text += line(segment_, index_);
      if (text.size() >= io_chunk_bytes) {
        console.print(text);
        text.clear();
      }
    }
    ++index_;
  }
  console.print(text);
  console.flush();
}

}  // namespace demstitch
