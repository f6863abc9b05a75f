#include "io/stream_index.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>

#include "io/filesystem.hpp"
#include "io/member_decoder.hpp"

namespace demstitch {

bool StreamIndex::consistent(int64_t input_size) const {
  if (points.empty() || points.front().position != 0 || points.front().window_packed != 0 ||
      (!raw_start && points.front().input != 0) || decoded_size < 0) {
    return false;
  }
  uint64_t pieces = 0;
  for (size_t i = 0; i < points.size(); ++i) {
    const AccessPoint& p = points[i];
    const int64_t next = i + 1 < points.size() ? points[i + 1].position : decoded_size;
    if (next < p.position || (next == p.position && i > 0)) return false;
    if (p.input < 0 || p.input > input_size || p.bits > 7 || p.window_size > index_window ||
        (i > 0 && p.input < points[i - 1].input) || p.window_at < 0 || p.first_piece != pieces) {
      return false;
    }
    pieces += static_cast<uint64_t>((next - p.position + index_piece - 1) / index_piece);
    if (pieces > piece_crcs.size()) return false;
  }
  return pieces == piece_crcs.size();
}

StreamIndex::Piece StreamIndex::piece_at(int64_t position) const {
  auto after = std::upper_bound(points.begin(), points.end(), position,
                                [](int64_t at, const AccessPoint& p) { return at < p.position; });
  const AccessPoint& p = *(after - 1);
  const int64_t next = after == points.end() ? decoded_size : after->position;
  const int64_t i = (position - p.position) / index_piece;
  const int64_t begin = p.position + i * index_piece;
  return Piece{begin, std::min(begin + index_piece, next),
               piece_crcs[p.first_piece + static_cast<size_t>(i)]};
}

size_t StreamIndex::entry_before(int64_t position, size_t limit) const {
  size_t best = 0;
  for (size_t i = 1; i < std::min(limit, points.size()) && points[i].position <= position; ++i) {
    if (points[i].window_packed > 0) best = i;
  }
  return best;
}

bool StreamIndex::enter(size_t p, Inflater::Wrapper wrapper,
                        std::unique_ptr<Inflater>* decoder) const {
  const AccessPoint& point = points[p];
  if (p == 0) {
    *decoder = raw_start ? std::make_unique<Inflater>(wrapper, std::span<const std::byte>(),
                                                      point.bits, point.value)
                         : std::make_unique<Inflater>(wrapper);
    return true;
  }
  if (point.window_packed == 0 || !windows) return false;
  std::vector<std::byte> packed(point.window_packed);
  std::span<std::byte> room(packed);
  size_t got = 0;
  if (!windows->read_at(point.window_at, std::span(&room, 1), &got).ok() || got != packed.size()) {
    return false;
  }
  std::vector<std::byte> window(index_window);
  uLongf size = index_window;
  if (uncompress(reinterpret_cast<Bytef*>(window.data()), &size,
                 reinterpret_cast<const Bytef*>(packed.data()), packed.size()) != Z_OK ||
      size != point.window_size || crc32_of(0, std::span(window).first(size)) != point.window_crc) {
    return false;
  }
  *decoder =
      std::make_unique<Inflater>(wrapper, std::span(window).first(size), point.bits, point.value);
  return true;
}

void StreamIndex::forget() const {
  if (!file.empty()) (void)remove_file(file);
}

StreamIndexBuilder::StreamIndexBuilder(int64_t spacing) : spacing_(spacing), recent_(index_window) {
  points_.emplace_back();
}

void StreamIndexBuilder::start_at(int64_t input) {
  if (position_ != 0 || points_.size() != 1) return;
  points_.front().input = input;
  raw_start_ = true;
}

void StreamIndexBuilder::decoded(std::span<const std::byte> bytes) {
  // The ring keeps the last bytes at recent_[position_ % size].
  const std::span<const std::byte> last = bytes.last(std::min(bytes.size(), recent_.size()));
  auto at = static_cast<size_t>((position_ + static_cast<int64_t>(bytes.size() - last.size())) %
                                std::ssize(recent_));
  const size_t first = std::min(last.size(), recent_.size() - at);
  std::memcpy(recent_.data() + at, last.data(), first);
  std::memcpy(recent_.data(), last.data() + first, last.size() - first);
  while (!bytes.empty()) {
    const auto n = static_cast<size_t>(
        std::min<int64_t>(std::ssize(bytes), piece_begin_ + index_piece - position_));
    piece_crc_ = crc32_of(piece_crc_, bytes.first(n));
    position_ += static_cast<int64_t>(n);
    bytes = bytes.subspan(n);
    if (position_ == piece_begin_ + index_piece) close_piece();
  }
}

void StreamIndexBuilder::close_piece() {
  if (position_ == piece_begin_) return;
  crcs_.push_back(piece_crc_);
  piece_crc_ = 0;
  piece_begin_ = position_;
}

void StreamIndexBuilder::add_point(int64_t input, int bits, uint8_t value) {
  close_piece();
  AccessPoint& point = points_.emplace_back();
  point.position = position_;
  point.input = input;
  point.bits = static_cast<uint8_t>(bits);
  point.value = static_cast<uint8_t>(value & ((1U << bits) - 1));
  point.first_piece = static_cast<uint32_t>(crcs_.size());
  // The window in order: the ring from the oldest byte on.
  const auto size = static_cast<size_t>(std::min<int64_t>(position_, std::ssize(recent_)));
  std::vector<std::byte> window(size);
  const auto end = static_cast<size_t>(position_ % std::ssize(recent_));
  for (size_t i = 0; i < size; ++i) {
    window[i] = recent_[(end + recent_.size() - size + i) % recent_.size()];
  }
  uLongf packed_size = compressBound(static_cast<uLong>(size));
  std::string packed(packed_size, '\0');
  if (compress2(reinterpret_cast<Bytef*>(packed.data()), &packed_size,
                reinterpret_cast<const Bytef*>(window.data()), size, 1) != Z_OK) {
    return;  // no window: the point only bounds pieces
  }
  point.window_at = static_cast<int64_t>(windows_.size());
  point.window_packed = static_cast<uint32_t>(packed_size);
  point.window_size = static_cast<uint32_t>(size);
  point.window_crc = crc32_of(0, window);
  windows_.append(packed, 0, packed_size);
}

StreamIndex StreamIndexBuilder::finish(int64_t budget) {
  close_piece();
  StreamIndex index;
  index.decoded_size = position_;
  index.raw_start = raw_start_;
  // Past the budget, every other window goes (a point without one still bounds its pieces).
  while (std::ssize(windows_) > budget) {
    std::string kept;
    bool drop = true;
    for (AccessPoint& p : points_) {
      if (p.window_packed == 0) continue;
      if (drop) {
        p.window_packed = 0;
        p.window_size = 0;
        p.window_crc = 0;
        p.window_at = 0;
      } else {
        const int64_t at = std::ssize(kept);
        kept.append(windows_, static_cast<size_t>(p.window_at), p.window_packed);
        p.window_at = at;
      }
      drop = !drop;
    }
    windows_ = std::move(kept);
  }
  index.points = std::move(points_);
  index.piece_crcs = std::move(crcs_);
  index.windows = text_member("index windows", std::move(windows_), std::nullopt);
  return index;
}

}  // namespace demstitch
