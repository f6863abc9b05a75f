#include "mosaic/band_writer.hpp"

#include <algorithm>
#include <bit>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "base/samples.hpp"

namespace demstitch {
namespace {

int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// The rows of `copy` that touch the band [band_start, band_end): from the first that ends
// after its start to the last that starts before its end.
std::pair<int64_t, int64_t> rows_in_band(const TileCopy& copy, int64_t band_start,
                                         int64_t band_end) {
  int64_t first =
      std::max<int64_t>(0, floor_div(band_start - copy.start - copy.row_bytes, copy.stride) + 1);
  int64_t last = std::min(copy.rows, floor_div(band_end - 1 - copy.start, copy.stride) + 1);
  return {first, std::max(first, last)};
}

// The band loop. With two threads they take turns: each assembles every other band in its
// own buffer, and writes it when the band before it has been written, so the file is still
// written once, in order, and a band's bytes stay in the cache of the core that assembled
// them. A sink that holds the mosaic in memory has its bands assembled in place, by both
// threads at once, in any order. With one thread (or when the second cannot start) its turn
// is always now. Nothing thrown leaves a thread: it ends the write with a failed status.
Status write_bands(BandSink& out, const MosaicPlan& plan, const WriteProgress& progress,
                   const BandOptions& options, std::vector<size_t>* short_copies) {
  const int64_t total = plan.final_size();
  const int64_t bands = (total + options.band_bytes - 1) / options.band_bytes;
  const bool in_memory = !out.band_memory(0, std::min(options.band_bytes, total)).empty();
  int64_t threads = options.two_threads ? 2 : 1;
  std::mutex mutex;
  std::condition_variable turn_changed;
  int64_t turn = 0;  // the band to be written next
  int64_t done = 0;  // bytes written, for a sink that takes its bands in any order
  bool stop = false;
  Status failure;
  std::vector<bool> came_up_short(plan.copies.size(), false);

  auto end_with = [&](Status s) {
    std::lock_guard lock(mutex);
    if (failure.ok()) failure = std::move(s);
    stop = true;
    turn_changed.notify_all();
  };
  auto bands_from = [&](int64_t first_band) {
    BandAssembler assembler(plan);
    std::vector<std::byte> buffer(
        in_memory ? 0 : static_cast<size_t>(std::min(options.band_bytes, total)));
    for (int64_t i = first_band; i < bands; i += threads) {
      const int64_t offset = i * options.band_bytes;
      const int64_t size = std::min(options.band_bytes, total - offset);
      std::span<std::byte> band = in_memory ? out.band_memory(offset, size) : std::span(buffer);
      if (band.empty()) {
        buffer.resize(static_cast<size_t>(size));  // past the sink's memory
        band = buffer;
      }
      band = band.first(static_cast<size_t>(size));
      Status s = assembler.assemble(offset, band);
      std::unique_lock lock(mutex);
      turn_changed.wait(lock, [&] { return in_memory || turn == i || stop; });
      if (stop) return;
      lock.unlock();
      if (s.ok()) s = out.write_band(offset, band);
      lock.lock();
      // Progress is told one call at a time, and only grows.
      done = in_memory ? done + size : offset + size;
      if (s.ok() && !progress(done)) s = Status::cancelled();
      if (!s.ok()) {
        lock.unlock();
        return end_with(s);
      }
      ++turn;
      turn_changed.notify_all();
    }
    std::lock_guard lock(mutex);
    for (size_t c = 0; c < plan.copies.size(); ++c) {
      if (assembler.came_up_short(c)) came_up_short[c] = true;
    }
  };
  auto work = [&](int64_t first_band) noexcept {
    try {
      bands_from(first_band);
    } catch (const std::bad_alloc&) {
      end_with(Status::error(StatusKind::no_memory, Side::none, {}, "out of memory"));
    } catch (const std::exception& e) {
      end_with(Status::error(StatusKind::io_error, Side::none, {}, e.what()));
    }
  };

  std::thread other;
  if (threads == 2) {
    try {
      other = options.start_thread ? options.start_thread([&] { work(1); }) : std::thread(work, 1);
    } catch (const std::exception&) {
      threads = 1;  // no second thread to be had: this one does every band
    }
  }
  work(0);
  if (other.joinable()) other.join();
  if (short_copies != nullptr) {
    for (size_t c = 0; c < came_up_short.size(); ++c) {
      if (came_up_short[c]) short_copies->push_back(c);
    }
  }
  return failure;
}

}  // namespace

Status BandAssembler::assemble(int64_t offset, std::span<std::byte> band) {
  const auto end = offset + static_cast<int64_t>(band.size());
  int64_t count = 0;
  for (const TileCopy& copy : plan_.copies) {
    auto [first, last] = rows_in_band(copy, offset, end);
    count += last - first;
  }
  pieces_.clear();
  const bool listed = count <= listed_pieces;
  if (!listed) fill_background(plan_, offset, band);
  for (size_t c = 0; c < plan_.copies.size(); ++c) {
    const TileCopy& copy = plan_.copies[c];
    auto [first, last] = rows_in_band(copy, offset, end);
    for (int64_t row = first; row < last; ++row) {
      int64_t destination = copy.destination(row);
      int64_t lo = std::max(offset, destination);
      int64_t hi = std::min(end, destination + copy.length(row));
      if (lo >= hi) continue;
      Piece piece{c, copy.source_offset(row) + (lo - destination), lo - offset, hi - lo};
      if (listed) {
        pieces_.push_back(piece);
      } else if (Status s = read(piece, offset, band); !s.ok()) {
        return s;
      }
    }
  }
  if (listed) {
    fill_uncovered(offset, band);
    for (const Piece& piece : pieces_) {
      if (Status s = read(piece, offset, band); !s.ok()) return s;
    }
  }
  return flush(offset, band);
}

Status BandAssembler::read(const Piece& piece, int64_t offset, std::span<std::byte> band) {
  const TileCopy& copy = plan_.copies[piece.copy];
  // Rows longer than the stride overlap, so each of those must land after the one before
  // it: one read a row.
  if (!reads_.empty() && (piece.copy != reads_copy_ || piece.from != reads_end_ ||
                          copy.row_bytes > copy.stride || reads_.size() >= 1024)) {
    if (Status s = flush(offset, band); !s.ok()) return s;
  }
  if (reads_.empty()) {
    reads_copy_ = piece.copy;
    reads_from_ = piece.from;
  }
  reads_.push_back(band.subspan(static_cast<size_t>(piece.at), static_cast<size_t>(piece.length)));
  reads_end_ = piece.from + piece.length;
  return {};
}

Status BandAssembler::flush(int64_t offset, std::span<std::byte> band) {
  if (reads_.empty()) return {};
  size_t got = 0;
  Status s = plan_.copies[reads_copy_].source->read_at(reads_from_, reads_, &got);
  if (s.ok() && static_cast<int64_t>(got) < reads_end_ - reads_from_) {
    // The source ends sooner than when it was measured: what it did not deliver is
    // background, never whatever the band held before.
    came_up_short_[reads_copy_] = true;
    for (std::span<std::byte> piece : reads_) {
      size_t kept = std::min(got, piece.size());
      got -= kept;
      std::span<std::byte> rest = piece.subspan(kept);
      if (!rest.empty()) fill_background(plan_, offset + (rest.data() - band.data()), rest);
    }
  }
  reads_.clear();
  return s;
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

Status write_mosaic(BandSink& out, const MosaicPlan& plan, const WriteProgress& progress,
                    const BandOptions& options, std::vector<size_t>* short_copies) {
  if (Status s = out.begin(plan.final_size()); !s.ok()) return s;
  return write_bands(out, plan, progress, options, short_copies);
}

Status MosaicRowReader::read(int32_t row, int32_t column, std::span<int16_t> out) {
  const auto bytes = std::as_writable_bytes(out);
  const int64_t offset = int64_t{row} * plan_.row_bytes + int64_t{column} * 2;
  if (Status s = assembler_.assemble(offset, bytes); !s.ok()) return s;
  // The mosaic's bytes are big-endian.
  if constexpr (std::endian::native == std::endian::little) swap_sample_bytes(out);
  return {};
}

bool MosaicRowReader::reading_decodes() const {
  return std::any_of(plan_.copies.begin(), plan_.copies.end(),
                     [](const TileCopy& copy) { return copy.source && copy.source->decoded(); });
}

std::vector<int32_t> MosaicRowReader::source_edges(int32_t row, int32_t rows) const {
  std::vector<int32_t> edges;
  const int64_t row_bytes = plan_.row_bytes;
  const int64_t width = row_bytes / 2;
  for (const TileCopy& copy : plan_.copies) {
    // Only copies laid out row under row have columns of their own.
    if (copy.stride != row_bytes || copy.rows <= 0 || row_bytes <= 0) continue;
    const int64_t first =
        copy.start >= 0 ? copy.start / row_bytes : -((-copy.start + row_bytes - 1) / row_bytes);
    if (first >= int64_t{row} + rows || first + copy.rows <= row) continue;
    const int64_t begin = copy.start - first * row_bytes;
    for (int64_t at : {begin, begin + copy.row_bytes}) {
      const int64_t column = (at % row_bytes) / 2;
      if (column > 0 && column < width) edges.push_back(static_cast<int32_t>(column));
    }
  }
  std::sort(edges.begin(), edges.end());
  edges.erase(std::unique(edges.begin(), edges.end()), edges.end());
  return edges;
}

}  // namespace demstitch
