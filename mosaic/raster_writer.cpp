#include "mosaic/raster_writer.hpp"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace demstitch {
namespace {

int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// Calls `piece(source_offset, band_offset, length)` for the part of every row of `copy`
// that falls inside the band [band_start, band_end), in row order.
template <typename Piece>
Status for_each_piece(const TileCopy& copy, int64_t band_start, int64_t band_end, Piece piece) {
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
    Status s = piece(copy.source_offset(row) + (lo - destination), lo - band_start, hi - lo);
    if (!s.ok()) return s;
  }
  return {};
}

Status write_in_pieces(File& out, std::span<const std::byte> bytes, int64_t piece) {
  while (!bytes.empty()) {
    size_t n = std::min(bytes.size(), static_cast<size_t>(piece));
    if (Status s = out.write_all(bytes.first(n)); !s.ok()) return s;
    bytes = bytes.subspan(n);
  }
  return {};
}

// A second thread that writes bands while the next ones are assembled. At most `depth`
// bands are handed over and not yet written; their buffers must stay untouched till then.
class BandWriterThread {
 public:
  BandWriterThread(File& out, int64_t write_bytes, size_t depth)
      : out_(out), write_bytes_(write_bytes), depth_(depth), thread_([this] { loop(); }) {}
  ~BandWriterThread() {
    {
      std::lock_guard lock(mutex_);
      closing_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }

  // Hands over a band; waits while `depth` bands are still waiting to be written.
  Status submit(std::span<const std::byte> band) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return queue_.size() < depth_ || !status_.ok(); });
    if (!status_.ok()) return status_;
    queue_.push_back(band);
    changed_.notify_all();
    return {};
  }

  // Bytes written so far.
  int64_t written() {
    std::lock_guard lock(mutex_);
    return written_;
  }

  // Waits until every band handed over is written.
  Status drain() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return queue_.empty() || !status_.ok(); });
    return status_;
  }

 private:
  void loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return !queue_.empty() || closing_; });
      if (queue_.empty()) return;
      std::span<const std::byte> band = queue_.front();
      const bool failed = !status_.ok();  // after a failure the rest is only drained
      lock.unlock();
      Status s = failed ? Status{} : write_in_pieces(out_, band, write_bytes_);
      lock.lock();
      if (!s.ok()) status_ = s;
      written_ += static_cast<int64_t>(band.size());
      queue_.pop_front();
      changed_.notify_all();
    }
  }

  File& out_;
  int64_t write_bytes_;
  size_t depth_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::span<const std::byte>> queue_;
  int64_t written_ = 0;
  bool closing_ = false;
  Status status_;
  std::thread thread_;
};

}  // namespace

BandAssembler::BandAssembler(const MosaicPlan& plan, std::span<const File> sources)
    : plan_(plan), sources_(sources) {}

Status BandAssembler::assemble(int64_t offset, std::span<std::byte> band) {
  fill_uncovered(offset, band);
  const auto end = offset + static_cast<int64_t>(band.size());
  for (const TileCopy& copy : plan_.copies) {
    const File& source = sources_[copy.source];
    // Rows longer than the stride overlap: each must land after the one before it.
    const bool rows_overlap = copy.row_bytes > copy.stride;
    Status s = for_each_piece(copy, offset, end, [&](int64_t from, int64_t at, int64_t length) {
      if (!pieces_.empty() && (from != next_offset_ || rows_overlap)) {
        if (Status read = read_pieces(source); !read.ok()) return read;
      }
      if (pieces_.empty()) first_offset_ = from;
      pieces_.push_back(iovec{band.data() + at, static_cast<size_t>(length)});
      next_offset_ = from + length;
      return Status{};
    });
    if (s.ok()) s = read_pieces(source);
    if (!s.ok()) return s;
  }
  return {};
}

Status BandAssembler::read_pieces(const File& source) {
  if (pieces_.empty()) return {};
  size_t got = 0;
  Status s = source.read_pieces_at(first_offset_, pieces_, &got);
  pieces_.clear();
  return s;
}

void BandAssembler::fill_uncovered(int64_t offset, std::span<std::byte> band) {
  covered_.clear();
  const auto end = offset + static_cast<int64_t>(band.size());
  for (const TileCopy& copy : plan_.copies) {
    for_each_piece(copy, offset, end, [&](int64_t, int64_t at, int64_t length) {
      covered_.emplace_back(at, at + length);
      return Status{};
    });
  }
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
  const size_t depth = options.writer_thread ? std::max<size_t>(options.queued_bands, 1) : 0;
  std::vector<std::vector<std::byte>> buffers(depth + 1);
  for (std::vector<std::byte>& buffer : buffers) {
    buffer.resize(static_cast<size_t>(std::min(options.band_bytes, total)));
  }
  std::optional<BandWriterThread> writer;
  if (depth > 0) writer.emplace(out, options.write_bytes, depth);

  BandAssembler assembler(plan, sources);
  size_t which = 0;
  for (int64_t offset = 0; offset < total; offset += options.band_bytes) {
    std::span<std::byte> band(buffers[which]);
    band = band.first(static_cast<size_t>(std::min(options.band_bytes, total - offset)));
    which = (which + 1) % buffers.size();
    if (Status s = assembler.assemble(offset, band); !s.ok()) return s;
    if (writer) {
      if (Status s = writer->submit(band); !s.ok()) return s;
    } else if (Status s = write_in_pieces(out, band, options.write_bytes); !s.ok()) {
      return s;
    }
    int64_t done = writer ? writer->written() : offset + static_cast<int64_t>(band.size());
    if (!progress(done)) return {};
  }
  if (writer) {
    if (Status s = writer->drain(); !s.ok()) return s;
  }
  progress(total);
  return {};
}

Status write_mosaic_by_patching(File& out, const MosaicPlan& plan, std::span<const File> sources) {
  std::vector<std::byte> row(static_cast<size_t>(plan.row_bytes));
  fill_background(plan, 0, row);
  for (int64_t r = 0; r < plan.rows; ++r) {
    if (Status s = out.write_at(r * plan.row_bytes, row); !s.ok()) return s;
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
