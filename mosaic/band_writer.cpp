#include "mosaic/band_writer.hpp"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace demstitch {
namespace {

int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// Calls `piece(source_offset, band_offset, length)` for the part of every row of `copy`
// that falls inside the band [band_start, band_end), in row order.
template <typename Visit>
void for_each_piece(const TileCopy& copy, int64_t band_start, int64_t band_end, Visit piece) {
  // Rows from the first that ends after the band's start to the last that starts before
  // its end.
  int64_t first =
      std::max<int64_t>(0, floor_div(band_start - copy.start - copy.row_bytes, copy.stride) + 1);
  int64_t last = std::min(copy.rows, floor_div(band_end - 1 - copy.start, copy.stride) + 1);
  for (int64_t row = first; row < last; ++row) {
    int64_t destination = copy.destination(row);
    int64_t lo = std::max(band_start, destination);
    int64_t hi = std::min(band_end, destination + copy.length(row));
    if (lo >= hi) continue;
    piece(copy.source_offset(row) + (lo - destination), lo - band_start, hi - lo);
  }
}

Status write_in_pieces(File& out, std::span<const std::byte> bytes, int64_t piece) {
  while (!bytes.empty()) {
    size_t n = std::min(bytes.size(), static_cast<size_t>(piece));
    if (Status s = out.write_all(bytes.first(n)); !s.ok()) return s;
    bytes = bytes.subspan(n);
  }
  return {};
}

// The band loop. With two threads they take turns: each assembles every other band in its
// own buffer, and writes it when the band before it has been written, so the file is still
// written once, in order, and a band's bytes stay in the cache of the core that assembled
// them. With one thread its turn is always now.
Status write_bands(File& out, const MosaicPlan& plan, const WriteProgress& progress,
                   const BandOptions& options) {
  const int64_t total = plan.final_size();
  const int64_t bands = (total + options.band_bytes - 1) / options.band_bytes;
  const int64_t threads = options.two_threads ? 2 : 1;
  std::mutex mutex;
  std::condition_variable turn_changed;
  int64_t turn = 0;  // the band to be written next
  bool stop = false;
  Status failure;

  auto work = [&](int64_t first_band) {
    BandAssembler assembler(plan);
    std::vector<std::byte> buffer(static_cast<size_t>(std::min(options.band_bytes, total)));
    for (int64_t i = first_band; i < bands; i += threads) {
      const int64_t offset = i * options.band_bytes;
      std::span<std::byte> band(buffer);
      band = band.first(static_cast<size_t>(std::min(options.band_bytes, total - offset)));
      Status s = assembler.assemble(offset, band);
      std::unique_lock lock(mutex);
      turn_changed.wait(lock, [&] { return turn == i || stop; });
      if (stop) return;
      lock.unlock();
      if (s.ok()) s = write_in_pieces(out, band, options.write_bytes);
      if (s.ok() && !progress(offset + static_cast<int64_t>(band.size()))) s = Status::cancelled();
      lock.lock();
      if (!s.ok()) {
        failure = s;
        stop = true;
      }
      ++turn;
      turn_changed.notify_all();
      if (stop) return;
    }
  };
  if (threads == 1) {
    work(0);
    return failure;
  }
  std::thread other(work, 1);
  work(0);
  other.join();
  return failure;
}

}  // namespace

Status BandAssembler::assemble(int64_t offset, std::span<std::byte> band) {
  const auto end = offset + static_cast<int64_t>(band.size());
  pieces_.clear();
  for (size_t c = 0; c < plan_.copies.size(); ++c) {
    for_each_piece(plan_.copies[c], offset, end, [&](int64_t from, int64_t at, int64_t length) {
      pieces_.push_back(Piece{c, from, at, length});
    });
  }
  fill_uncovered(offset, band);
  // Consecutive source bytes of one tile go in one vectored read. Rows longer than the
  // stride overlap, so each of those must land after the one before it: one read a row.
  for (size_t i = 0; i < pieces_.size(); ++i) {
    const Piece& piece = pieces_[i];
    const TileCopy& copy = plan_.copies[piece.copy];
    reads_.push_back(
        band.subspan(static_cast<size_t>(piece.at), static_cast<size_t>(piece.length)));
    const bool last = i + 1 == pieces_.size() || pieces_[i + 1].copy != piece.copy ||
                      pieces_[i + 1].from != piece.from + piece.length ||
                      copy.row_bytes > copy.stride;
    if (!last) continue;
    const int64_t first = pieces_[i + 1 - reads_.size()].from;
    size_t got = 0;
    Status s = copy.source->read_at(first, reads_, &got);
    reads_.clear();
    if (!s.ok()) return s;
  }
  return {};
}

void BandAssembler::fill_uncovered(int64_t offset, std::span<std::byte> band) {
  covered_.clear();
  for (const Piece& piece : pieces_) covered_.emplace_back(piece.at, piece.at + piece.length);
  std::sort(covered_.begin(), covered_.end());
  int64_t filled_to = 0;
  auto fill_to = [&](int64_t to) {
    if (to <= filled_to) return;
    fill_background(
        plan_, offset + filled_to,
        band.subspan(static_cast<size_t>(filled_to), static_cast<size_t>(to - filled_to)));
  };
  for (auto [lo, hi] : covered_) {
    fill_to(lo);
    filled_to = std::max(filled_to, hi);
  }
  fill_to(static_cast<int64_t>(band.size()));
}

Status write_mosaic(File& out, const MosaicPlan& plan, const WriteProgress& progress,
                    const BandOptions& options) {
  if (options.reserve_space) {
    if (Status s = out.reserve(plan.final_size()); !s.ok()) return s;
  }
  return write_bands(out, plan, progress, options);
}

}  // namespace demstitch
