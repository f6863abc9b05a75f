#include "mosaic/raster_writer.hpp"

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

// Two threads take turns: each assembles every other band in its own buffer, and writes it
// when the band before it has been written, so the file is still written once, in order,
// and a band's bytes stay in the cache of the core that assembled them.
Status write_in_turns(File& out, const MosaicPlan& plan, std::span<const File> sources,
                      const WriteProgress& progress, const BandOptions& options) {
  const int64_t total = plan.final_size();
  const int64_t bands = (total + options.band_bytes - 1) / options.band_bytes;
  std::mutex mutex;
  std::condition_variable turn_changed;
  int64_t turn = 0;  // the band to be written next
  bool stop = false;
  Status failure;

  auto work = [&](int64_t first_band) {
    BandAssembler assembler(plan, sources);
    std::vector<std::byte> buffer(static_cast<size_t>(std::min(options.band_bytes, total)));
    for (int64_t i = first_band; i < bands; i += 2) {
      const int64_t offset = i * options.band_bytes;
      std::span<std::byte> band(buffer);
      band = band.first(static_cast<size_t>(std::min(options.band_bytes, total - offset)));
      Status s = assembler.assemble(offset, band);
      std::unique_lock lock(mutex);
      turn_changed.wait(lock, [&] { return turn == i || stop; });
      if (stop) return;
      lock.unlock();
      bool go_on = false;
      if (s.ok()) s = write_in_pieces(out, band, options.write_bytes);
      if (s.ok()) go_on = progress(offset + static_cast<int64_t>(band.size()));
      lock.lock();
      if (!s.ok()) failure = s;
      stop = !go_on;
      ++turn;
      turn_changed.notify_all();
      if (stop) return;
    }
  };
  std::thread other(work, 1);
  work(0);
  other.join();
  return failure;
}

}  // namespace

BandAssembler::BandAssembler(const MosaicPlan& plan, std::span<const File> sources)
    : plan_(plan), sources_(sources) {}

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
    reads_.push_back(iovec{band.data() + piece.at, static_cast<size_t>(piece.length)});
    const bool last = i + 1 == pieces_.size() || pieces_[i + 1].copy != piece.copy ||
                      pieces_[i + 1].from != piece.from + piece.length ||
                      copy.row_bytes > copy.stride;
    if (!last) continue;
    const int64_t first = pieces_[i + 1 - reads_.size()].from;
    size_t got = 0;
    Status s = sources_[copy.source].read_pieces_at(first, reads_, &got);
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

Status write_mosaic(File& out, const MosaicPlan& plan, std::span<const File> sources,
                    const WriteProgress& progress, const BandOptions& options) {
  const int64_t total = plan.final_size();
  if (options.reserve_space) {
    if (Status s = out.reserve(total); !s.ok()) return s;
  }
  if (options.two_threads) return write_in_turns(out, plan, sources, progress, options);

  BandAssembler assembler(plan, sources);
  std::vector<std::byte> buffer(static_cast<size_t>(std::min(options.band_bytes, total)));
  for (int64_t offset = 0; offset < total; offset += options.band_bytes) {
    std::span<std::byte> band(buffer);
    band = band.first(static_cast<size_t>(std::min(options.band_bytes, total - offset)));
    if (Status s = assembler.assemble(offset, band); !s.ok()) return s;
    if (Status s = write_in_pieces(out, band, options.write_bytes); !s.ok()) return s;
    if (!progress(offset + static_cast<int64_t>(band.size()))) return {};
  }
  return {};
}

Status write_mosaic_by_patching(File& out, const MosaicPlan& plan, std::span<const File> sources) {
  // Each mosaic row is written full of no-data, in pieces of at most 64 KiB so that a
  // very wide mosaic needs no row-sized buffer. Pieces start on even offsets.
  std::vector<std::byte> fill(static_cast<size_t>(std::min<int64_t>(plan.row_bytes, 65536)));
  fill_background(plan, 0, fill);
  for (int64_t r = 0; r < plan.rows; ++r) {
    for (int64_t at = 0; at < plan.row_bytes; at += static_cast<int64_t>(fill.size())) {
      auto piece = std::span(fill).first(
          static_cast<size_t>(std::min(plan.row_bytes - at, static_cast<int64_t>(fill.size()))));
      if (Status s = out.write_at(r * plan.row_bytes + at, piece); !s.ok()) return s;
    }
  }
  std::vector<std::byte> data;
  for (const TileCopy& copy : plan.copies) {
    for (int64_t r = 0; r < copy.rows; ++r) {
      data.resize(static_cast<size_t>(copy.length(r)));
      size_t got = 0;
      if (Status s = sources[copy.source].read_at(copy.source_offset(r), data, &got); !s.ok()) {
        return s;
      }
      // Bytes that would land before the start of the file are dropped.
      int64_t destination = copy.destination(r);
      int64_t skip = std::clamp<int64_t>(-destination, 0, static_cast<int64_t>(got));
      std::span<const std::byte> kept =
          std::span(data).first(got).subspan(static_cast<size_t>(skip));
      if (Status s = out.write_at(destination + skip, kept); !s.ok()) return s;
    }
  }
  return {};
}

}  // namespace demstitch
