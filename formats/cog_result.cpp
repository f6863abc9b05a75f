#include "formats/cog_result.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "base/strings.hpp"

namespace demstitch {
namespace {

constexpr int32_t halo_rows = 4;  // rows an overview row may reach back into the band before
constexpr int16_t no_data = -9999;
constexpr int32_t widest_run = 8192;  // columns a task reads at most
// Of the 64 MiB a write keeps to, what reading the raster once takes: the overviews' bands
// and each thread's run of columns.
constexpr int64_t reading_budget = int64_t{40} << 20;
constexpr int32_t reading_rows = 32;    // the full raster's rows read at once for the overviews
constexpr double overview_share = 0.3;  // of the work, for progress, in two readings
constexpr double reading_share = 0.95;  // in one, before the tiles are copied

int64_t framed(uint32_t size) { return int64_t{size} + tile_frame_bytes; }

// A task's part of the full raster: columns [begin, end) of a band of 512 rows.
struct Run {
  int32_t band;
  int32_t begin;
  int32_t end;
};

// The runs a pass reads the full raster in, band by band.
struct BandRuns {
  std::vector<Run> runs;
  std::vector<size_t> first;  // each band's first run, and runs.size() after the last
  int32_t widest = 0;         // the widest run's columns
};

// Runs of bands `band_rows` high that end where the sources' columns do, so that no source
// row is read by two tasks (a raster in an archive is decoded once), and begin and end at
// multiples of `scale` columns (for halvings into the next levels).
BandRuns band_runs(RasterSize size, const RowReader& reader, int threads, int32_t band_rows,
                   int32_t scale, int32_t widest) {
  const int32_t down = (size.height + band_rows - 1) / band_rows;
  // Few bands are cut narrower, so that every thread has runs to take.
  const int32_t most =
      down >= 2 * threads ? widest : std::clamp(size.width / (2 * threads), cog_tile_size, widest);
  BandRuns bands;
  for (int32_t band = 0; band < down; ++band) {
    const int32_t top = band * band_rows;
    bands.first.push_back(bands.runs.size());
    std::vector<int32_t> edges;
    for (int32_t edge : reader.source_edges(top, std::min(band_rows, size.height - top))) {
      if (edge % scale == 0) edges.push_back(edge / scale);
    }
    const std::vector<int32_t> cuts =
        cut_columns(size.width / scale, edges, cog_tile_size / scale, most / scale);
    for (size_t i = 0; i + 1 < cuts.size(); ++i) {
      bands.runs.push_back({band, cuts[i] * scale, cuts[i + 1] * scale});
      bands.widest = std::max(bands.widest, (cuts[i + 1] - cuts[i]) * scale);
    }
  }
  bands.first.push_back(bands.runs.size());
  return bands;
}

// The same runs, each band of `bands` split in two (the second, where `height` leaves one),
// and their columns scaled by `factor`: the runs of the 512-row bands of the full raster
// within 1024-row ones, or of the next level's band.
BandRuns split_runs(const BandRuns& bands, int32_t height, int32_t band_rows) {
  BandRuns split;
  for (size_t band = 0; band + 1 < bands.first.size(); ++band) {
    for (int32_t half = 0; half < 2; ++half) {
      const auto b = static_cast<int32_t>(band) * 2 + half;
      if (b * band_rows >= height) break;
      split.first.push_back(split.runs.size());
      for (size_t i = bands.first[band]; i < bands.first[band + 1]; ++i) {
        split.runs.push_back({b, bands.runs[i].begin, bands.runs[i].end});
      }
    }
  }
  split.first.push_back(split.runs.size());
  split.widest = bands.widest;
  return split;
}

BandRuns halved_runs(const BandRuns& bands) {
  BandRuns halved = bands;
  for (Run& run : halved.runs) run = {run.band, run.begin / 2, run.end / 2};
  halved.widest = bands.widest / 2;
  return halved;
}

// The COG tiles of a band's runs: a tile inside a run is whole at once; one that runs share
// is put together from their parts, and is whole when the last brings its part.
class RunTiles {
 public:
  RunTiles(RasterSize size, const BandRuns& bands) : size_(size), bands_(bands) {}

  // Hands each tile of `run` (its `rows` rows in `columns`, the run's width apart) that is
  // whole to `whole(first sample, stride, width, sequence)`.
  template <typename Whole>
  Status take(const Run& run, int32_t rows, const int16_t* columns, const Whole& whole) {
    const auto width = static_cast<size_t>(run.end - run.begin);
    const int32_t across = tiles_across(size_);
    for (int32_t t = run.begin / cog_tile_size; t * cog_tile_size < run.end; ++t) {
      const int32_t x0 = t * cog_tile_size;
      const int32_t x1 = std::min(x0 + cog_tile_size, size_.width);
      const int64_t sequence = int64_t{run.band} * across + t;
      if (x0 >= run.begin && x1 <= run.end) {
        if (Status s = whole(columns + (x0 - run.begin), width, x1 - x0, sequence); !s.ok()) {
          return s;
        }
        continue;
      }
      Shared* tile = nullptr;
      {
        std::lock_guard<std::mutex> guard(lock_);
        std::unique_ptr<Shared>& slot = shared_[sequence];
        if (!slot) {
          slot = std::make_unique<Shared>();
          slot->samples.resize(static_cast<size_t>(cog_tile_size) * cog_tile_size);
          const auto band = static_cast<size_t>(run.band);
          for (size_t i = bands_.first[band]; i < bands_.first[band + 1]; ++i) {
            if (bands_.runs[i].begin < x1 && bands_.runs[i].end > x0) ++slot->missing;
          }
        }
        tile = slot.get();
      }
      const int32_t from = std::max(x0, run.begin);
      const auto count = static_cast<size_t>(std::min(x1, run.end) - from);
      for (int32_t r = 0; r < rows; ++r) {
        std::memcpy(tile->samples.data() + static_cast<size_t>(r) * cog_tile_size + (from - x0),
                    columns + static_cast<size_t>(r) * width + (from - run.begin),
                    count * sizeof(int16_t));
      }
      if (tile->missing.fetch_sub(1, std::memory_order_acq_rel) != 1) continue;
      std::unique_ptr<Shared> done;
      {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = shared_.find(sequence);
        done = std::move(it->second);
        shared_.erase(it);
      }
      if (Status s = whole(done->samples.data(), cog_tile_size, x1 - x0, sequence); !s.ok()) {
        return s;
      }
    }
    return {};
  }

 private:
  struct Shared {
    std::vector<int16_t> samples;
    std::atomic<int> missing{0};  // runs yet to bring their part
  };
  RasterSize size_;
  const BandRuns& bands_;
  std::mutex lock_;
  std::map<int64_t, std::unique_ptr<Shared>> shared_;
};

// Reads a band's rows [top, top + rows) of `run` into `columns`, rows the run's width apart.
Status read_run(RowReader& reader, const Run& run, int32_t top, int32_t rows,
                std::vector<int16_t>& columns) {
  const auto width = static_cast<size_t>(run.end - run.begin);
  columns.resize(width * static_cast<size_t>(rows));
  for (int32_t r = 0; r < rows; ++r) {
    std::span<int16_t> part(columns.data() + static_cast<size_t>(r) * width, width);
    if (Status s = reader.read(top + r, run.begin, part); !s.ok()) return s;
  }
  return {};
}

// Frames a tile's encoded bytes in place as a COG does: a 4-byte little-endian leader that
// holds their size, the bytes, and their last 4 bytes again.
void frame(std::vector<std::byte>& bytes) {
  const size_t size = bytes.size();
  bytes.resize(size + tile_frame_bytes);
  std::memmove(bytes.data() + 4, bytes.data(), size);
  for (size_t i = 0; i < 4; ++i) {
    bytes[i] = static_cast<std::byte>(static_cast<uint32_t>(size) >> (8 * i));
  }
  std::memcpy(bytes.data() + 4 + size, bytes.data() + size, 4);
}

}  // namespace

// What one thread keeps from tile to tile.
struct CogResult::Worker {
  std::vector<uint16_t> samples;  // a tile, predicted, little-endian
  std::vector<std::byte> encoded;
  std::unique_ptr<TileEncoder> encoder;
  std::vector<int16_t> columns;  // a run of tiles' columns, 512 rows of them
  std::vector<int16_t> halved;   // the first overview's rows of a run, read once

  // Encodes the tile whose upper-left sample is `first` (rows `stride` samples apart; `rows`
  // by `width` of it inside the raster, no-data beyond) into `encoded`: predicted (each
  // sample less the one before it in its row) and little-endian, in one pass.
  Status encode(const int16_t* first, size_t stride, int32_t rows, int32_t width, bool predictor) {
    const auto blank = static_cast<uint16_t>(no_data);
    for (int32_t r = 0; r < cog_tile_size; ++r) {
      uint16_t* out = samples.data() + static_cast<size_t>(r) * cog_tile_size;
      const int16_t* in = first + static_cast<size_t>(r) * stride;
      const int32_t inside = r < rows ? width : 0;
      if (!predictor) {
        std::memcpy(out, in, static_cast<size_t>(inside) * 2);
        std::fill(out + inside, out + cog_tile_size, blank);
        continue;
      }
      if (inside > 0) out[0] = static_cast<uint16_t>(in[0]);
      for (int32_t c = 1; c < inside; ++c) {
        out[c] =
            static_cast<uint16_t>(static_cast<uint16_t>(in[c]) - static_cast<uint16_t>(in[c - 1]));
      }
      if (inside < cog_tile_size) {
        const auto previous = inside > 0 ? static_cast<uint16_t>(in[inside - 1]) : uint16_t{0};
        out[inside] = static_cast<uint16_t>(blank - previous);
        std::fill(out + inside + 1, out + cog_tile_size, uint16_t{0});
      }
    }
    // The file's samples are little-endian.
    if constexpr (std::endian::native == std::endian::big) {
      for (uint16_t& v : samples) v = static_cast<uint16_t>((v >> 8) | (v << 8));
    }
    if (Status s = encoder->encode(std::as_bytes(std::span(samples)), encoded); !s.ok()) return s;
    if (encoded.size() < 4 || encoded.size() > 0xfffffff0u) {
      return Status::error(StatusKind::io_error, Side::output, {},
                           "a tile's encoded size is out of range");
    }
    return {};
  }
};

// A team of threads that run one job at a time, the caller's thread as number 0. A thread
// that cannot be started leaves its share to the others.
class CogResult::Threads {
 public:
  explicit Threads(int count) {
    for (int i = 1; i < count; ++i) {
      try {
        helpers_.emplace_back([this, i] { serve(i); });
      } catch (const std::system_error&) {
        break;
      }
    }
  }
  ~Threads() {
    {
      std::lock_guard<std::mutex> guard(lock_);
      stop_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : helpers_) t.join();
  }
  Threads(const Threads&) = delete;
  Threads& operator=(const Threads&) = delete;

  int count() const { return static_cast<int>(helpers_.size()) + 1; }

  // Runs tasks 0 to count - 1, task(i, thread), on every thread; the first failure stops
  // the rest and is returned.
  Status tasks(int count, const std::function<Status(int, int)>& task) {
    std::atomic<int> next{0};
    std::mutex failure_lock;
    Status failure;
    run([&](int thread) {
      for (int i = next.fetch_add(1); i < count; i = next.fetch_add(1)) {
        if (Status s = task(i, thread); !s.ok()) {
          std::lock_guard<std::mutex> guard(failure_lock);
          if (failure.ok()) failure = s;
          next.store(count);
        }
      }
    });
    return failure;
  }

 private:
  void run(const std::function<void(int)>& job) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      job_ = &job;
      running_ = static_cast<int>(helpers_.size());
      ++generation_;
    }
    wake_.notify_all();
    job(0);
    std::unique_lock<std::mutex> guard(lock_);
    done_.wait(guard, [this] { return running_ == 0; });
    job_ = nullptr;
  }

  void serve(int thread) {
    uint64_t seen = 0;
    for (;;) {
      const std::function<void(int)>* job = nullptr;
      {
        std::unique_lock<std::mutex> guard(lock_);
        wake_.wait(guard, [&] { return stop_ || generation_ != seen; });
        if (stop_) return;
        seen = generation_;
        job = job_;
      }
      (*job)(thread);
      std::lock_guard<std::mutex> guard(lock_);
      if (--running_ == 0) done_.notify_one();
    }
  }

  std::mutex lock_;
  std::condition_variable wake_;
  std::condition_variable done_;
  const std::function<void(int)>* job_ = nullptr;
  uint64_t generation_ = 0;
  int running_ = 0;
  bool stop_ = false;
  std::vector<std::thread> helpers_;
};

// One level of the pyramid as its rows come, a band at a time (and the last rows of the band
// before, for next-level rows that reach back into them). A full band is cut into tiles
// and compressed (an overview's), and folded into the next level.
class CogResult::Level {
 public:
  Level(CogResult& cog, size_t index, Threads& threads, int32_t band_rows, bool compress,
        Level* next)
      : cog_(cog),
        index_(index),
        size_(cog.description_.levels[index]),
        width_(static_cast<size_t>(size_.width)),
        threads_(threads),
        band_rows_(band_rows),
        compress_(compress),
        buffer_(static_cast<size_t>(halo_rows + band_rows) * width_, no_data),
        next_(next) {
    if (next != nullptr) reducer_.emplace(size_, next->size_, cog.options_.resampling, no_data);
  }

  int32_t rows_done() const { return band_start_ + rows_; }
  bool complete() const { return rows_done() == size_.height; }
  // Room for the next rows: whole rows, none once the level is complete.
  std::span<int16_t> room() {
    const int32_t left = std::min(band_rows_ - rows_, size_.height - rows_done());
    return {row(rows_done()), static_cast<size_t>(left) * width_};
  }
  // `count` more rows are in room().
  Status add_rows(int32_t count) {
    rows_ += count;
    if (rows_ < band_rows_ && !complete()) return {};
    return flush();
  }

  // Reads the whole level through `readers`, band by band, each thread a share of the
  // band's whole rows.
  Status read_all(std::span<RowReader* const> readers, const Progress& progress) {
    const int share = threads_.count();
    while (!complete()) {
      std::span<int16_t> space = room();
      const auto rows = static_cast<int32_t>(space.size() / width_);
      const int32_t first_row = rows_done();
      Status s = threads_.tasks(share, [&](int part, int thread) -> Status {
        const int32_t begin = rows * part / share;
        const int32_t end = rows * (part + 1) / share;
        if (begin == end) return {};
        RowReader& reader = *readers[static_cast<size_t>(thread) % readers.size()];
        return reader.read_rows(first_row + begin, end - begin,
                                space.subspan(static_cast<size_t>(begin) * width_,
                                              static_cast<size_t>(end - begin) * width_));
      });
      if (!s.ok()) return s;
      if (Status s = add_rows(rows); !s.ok()) return s;
      if (!progress(overview_share * rows_done() / size_.height)) return Status::cancelled();
    }
    return {};
  }

 private:
  int16_t* row(int32_t y) {
    return buffer_.data() + static_cast<size_t>(y - band_start_ + halo_rows) * width_;
  }

  Status flush() {
    if (compress_) {
      const int32_t across = tiles_across(size_);
      Status s = threads_.tasks(across, [&](int tile_x, int thread) -> Status {
        Worker& worker = *cog_.workers_[static_cast<size_t>(thread)];
        const int32_t x0 = tile_x * cog_tile_size;
        if (Status s = worker.encode(row(band_start_) + x0, width_, rows_,
                                     std::min(cog_tile_size, size_.width - x0),
                                     cog_.description_.predictor);
            !s.ok()) {
          return Status::error(s.kind(), Side::output, cog_.raster_path(), s.detail());
        }
        const auto tile =
            static_cast<size_t>(band_start_ / cog_tile_size) * static_cast<size_t>(across) +
            static_cast<size_t>(tile_x);
        return cog_.store_tile(index_, tile, worker);
      });
      if (!s.ok()) return s;
    }
    if (next_ != nullptr) {
      if (Status s = reduce(); !s.ok()) return s;
    }
    // The last rows of this band stay for the next level's rows that reach back into them.
    if (rows_ >= halo_rows) {
      std::memmove(buffer_.data(), row(rows_done() - halo_rows),
                   static_cast<size_t>(halo_rows) * width_ * sizeof(int16_t));
    }
    band_start_ += rows_;
    rows_ = 0;
    return {};
  }

  // Makes the next level's rows this band completes (every row left, after the last band)
  // straight into its room, each thread a share of the columns.
  Status reduce() {
    const RasterSize to = next_->size_;
    const int share = threads_.count();
    while (next_out_ < to.height) {
      std::span<int16_t> space = next_->room();
      const auto fits = static_cast<int32_t>(space.size() / next_->width_);
      int32_t end = next_out_;
      while (end < to.height && end - next_out_ < fits &&
             (complete() || reducer_->source_rows(end).second <= rows_done())) {
        if (reducer_->source_rows(end).first < band_start_ - halo_rows) {
          return Status::error(StatusKind::io_error, Side::output, cog_.raster_path(),
                               "an overview row reaches too far back");
        }
        ++end;
      }
      if (end == next_out_) break;
      const int32_t first = next_out_;
      threads_.tasks(share, [&](int part, int) -> Status {
        const auto begin = static_cast<int32_t>(int64_t{to.width} * part / share);
        const auto stop = static_cast<int32_t>(int64_t{to.width} * (part + 1) / share);
        std::vector<const int16_t*> sources;
        for (int32_t j = first; j < end; ++j) {
          auto [from, after] = reducer_->source_rows(j);
          sources.clear();
          for (int32_t y = from; y < after; ++y) sources.push_back(row(y));
          reducer_->reduce(j, sources,
                           space.data() + static_cast<size_t>(j - first) * next_->width_, begin,
                           stop);
        }
        return {};
      });
      next_out_ = end;
      if (Status s = next_->add_rows(end - first); !s.ok()) return s;
    }
    return {};
  }

  CogResult& cog_;
  size_t index_;
  RasterSize size_;
  size_t width_;
  Threads& threads_;
  int32_t band_rows_;
  bool compress_;
  std::vector<int16_t> buffer_;  // halo_rows rows before the band, then the band
  int32_t band_start_ = 0;       // the band's first row
  int32_t rows_ = 0;             // rows in the band so far
  Level* next_;
  std::optional<LevelReducer> reducer_;
  int32_t next_out_ = 0;  // the next level's next row to make
};

CogResult::CogResult(const std::string& path, CogOptions options)
    : files_{{path, ResultPart::raster}},
      side_files_{path + ".aux.xml", path + ".ovr", path + ".msk"},
      options_(options) {
  description_.compression = options.compression;
  description_.predictor = options.compression != Compression::none;
  if (options_.level == 0) {
    if (auto levels = compression_levels(options.compression)) options_.level = levels->fallback;
  }
}

CogResult::~CogResult() = default;

Status CogResult::check_size(RasterSize size) const {
  if (size.width <= cog_max_width) return {};
  // Its overviews' bands would not fit in the memory the write keeps to.
  return Status::error(StatusKind::io_error, Side::output, raster_path(),
                       format("%d columns: a GeoTIFF is at most %d wide (write the raw "
                              "result, or a region with --bounds)",
                              size.width, cog_max_width));
}

Status CogResult::start(OutputSet& outputs, const ResultGrid& grid) {
  description_.levels = pyramid_levels(grid.size, cog_tile_size, options_.overviews);
  description_.geo = grid.geo;
  const size_t levels = description_.levels.size();
  tile_at_.resize(levels);
  tile_size_.resize(levels);
  for (size_t l = 0; l < levels; ++l) {
    const auto tiles = static_cast<size_t>(tiles_across(description_.levels[l])) *
                       static_cast<size_t>(tiles_down(description_.levels[l]));
    tile_at_[l].assign(tiles, -1);
    tile_size_[l].assign(tiles, 0);
  }
  if (Status s = outputs.add(raster_path(), &file_); !s.ok()) return s;
  if (levels > 1) return outputs.add_scratch(raster_path(), &tiles_);
  return {};
}

Status CogResult::store_tile(size_t level, size_t tile, Worker& worker) {
  const auto size = static_cast<uint32_t>(worker.encoded.size());
  frame(worker.encoded);
  const int64_t at = tiles_end_.fetch_add(std::ssize(worker.encoded));
  if (Status s = tiles_->write_at(at, worker.encoded); !s.ok()) return s;
  tile_at_[level][tile] = at;
  tile_size_[level][tile] = size;
  return {};
}

Status CogResult::write_rows(std::span<RowReader* const> readers, const Progress& progress) {
  Threads threads(std::max(1, options_.threads));
  for (int i = 0; i < threads.count(); ++i) {
    auto worker = std::make_unique<Worker>();
    worker->encoder = make_encoder(options_.compression, options_.level);
    worker->samples.resize(static_cast<size_t>(cog_tile_size) * cog_tile_size);
    workers_.push_back(std::move(worker));
  }
  // Where reading the raster again would decode it again (from archives), and the first two
  // overviews halve it exactly, it is read once: its tiles wait in the scratch file with the
  // overviews', and are copied to the file with them. Otherwise (from files, where a second
  // reading costs less than that copy) the overviews take a reading of their own, and the
  // full raster's tiles go straight to the file in a second.
  const std::vector<RasterSize>& levels = description_.levels;
  auto halves = [&](size_t l) {
    return levels[l + 1].width * 2 == levels[l].width &&
           levels[l + 1].height * 2 == levels[l].height;
  };
  const bool once = levels.size() > 1 && halves(0) && (levels.size() == 2 || halves(1)) &&
                    readers[0]->reading_decodes();
  if (once) {
    if (Status s = read_once(threads, readers, progress); !s.ok()) return s;
  } else if (levels.size() > 1) {
    if (Status s = make_overviews(threads, readers, progress); !s.ok()) return s;
  }
  // The header's size does not depend on the tiles' sizes: the overviews go after it, the
  // full raster after them, and the header, once the sizes are known, before them.
  int64_t overview_bytes = 0;
  for (size_t l = 1; l < tile_size_.size(); ++l) {
    for (uint32_t size : tile_size_[l]) overview_bytes += framed(size);
  }
  const int64_t most_tile =
      encoded_bound(description_.compression, int64_t{cog_tile_size} * cog_tile_size * 2) +
      tile_frame_bytes;
  const bool big = needs_big_tiff(
      description_, overview_bytes + most_tile * static_cast<int64_t>(tile_size_[0].size()));
  const auto header_bytes = static_cast<int64_t>(cog_header(description_, tile_size_, big).size());
  if (Status s = copy_tiles(threads, header_bytes, once ? 0 : 1); !s.ok()) return s;
  if (once) {
    if (!progress(1.0)) return Status::cancelled();
  } else if (Status s =
                 write_full_raster(threads, readers, progress, header_bytes + overview_bytes);
             !s.ok()) {
    return s;
  }
  const std::vector<std::byte> header = cog_header(description_, tile_size_, big);
  return file_->write_at(0, header);
}

Status CogResult::make_overviews(Threads& threads, std::span<RowReader* const> readers,
                                 const Progress& progress) {
  std::vector<std::unique_ptr<Level>> pyramid = chain(threads, 1);
  // The full raster only passes through, a few rows at a time, on its way to the overviews.
  pyramid[0] = std::make_unique<Level>(*this, 0, threads, reading_rows, false, pyramid[1].get());
  if (Status s = pyramid[0]->read_all(readers, progress); !s.ok()) return s;
  return complete(pyramid);
}

std::vector<std::unique_ptr<CogResult::Level>> CogResult::chain(Threads& threads, size_t first) {
  const size_t levels = description_.levels.size();
  std::vector<std::unique_ptr<Level>> pyramid(levels);
  for (size_t l = levels; l-- > first;) {
    pyramid[l] = std::make_unique<Level>(*this, l, threads, cog_tile_size, true,
                                         l + 1 < levels ? pyramid[l + 1].get() : nullptr);
  }
  return pyramid;
}

Status CogResult::complete(const std::vector<std::unique_ptr<Level>>& pyramid) const {
  for (const auto& level : pyramid) {
    if (level && !level->complete()) {
      return Status::error(StatusKind::io_error, Side::output, raster_path(),
                           "an overview was left incomplete");
    }
  }
  return {};
}

Status CogResult::copy_tiles(Threads& threads, int64_t at, size_t last_level) {
  // Runs of tiles that lie one after another in the scratch file go in one copy.
  struct Stretch {
    int64_t from = 0;
    int64_t to = 0;
    int64_t bytes = 0;
  };
  std::vector<Stretch> stretches;
  for (size_t l = description_.levels.size(); l-- > last_level;) {
    for (size_t t = 0; t < tile_at_[l].size(); ++t) {
      const int64_t from = tile_at_[l][t];
      if (stretches.empty() || stretches.back().from + stretches.back().bytes != from) {
        const int64_t to = stretches.empty() ? at : stretches.back().to + stretches.back().bytes;
        stretches.push_back(Stretch{from, to, 0});
      }
      stretches.back().bytes += framed(tile_size_[l][t]);
    }
  }
  if (stretches.empty()) return {};
  // Each thread copies an equal share of the bytes, through a buffer of its own.
  const int64_t total = stretches.back().to + stretches.back().bytes - at;
  const int share = threads.count();
  return threads.tasks(share, [&](int part, int) -> Status {
    const int64_t begin = at + total * part / share;
    const int64_t end = at + total * (part + 1) / share;
    std::vector<std::byte> buffer(size_t{1} << 20);
    for (const Stretch& stretch : stretches) {
      int64_t to = std::max(begin, stretch.to);
      const int64_t stop = std::min(end, stretch.to + stretch.bytes);
      while (to < stop) {
        const auto n = static_cast<size_t>(std::min<int64_t>(stop - to, std::ssize(buffer)));
        const std::span<std::byte> piece = std::span(buffer).first(n);
        size_t got = 0;
        if (Status s = tiles_->read_at(stretch.from + (to - stretch.to), piece, &got); !s.ok()) {
          return s;
        }
        if (got != n) {
          return Status::error(StatusKind::io_error, Side::output, raster_path(),
                               "the scratch file of the tiles ended early");
        }
        if (Status s = file_->write_at(to, piece); !s.ok()) return s;
        to += static_cast<int64_t>(n);
      }
    }
    return {};
  });
}

Status CogResult::write_full_raster(Threads& threads, std::span<RowReader* const> readers,
                                    const Progress& progress, int64_t at) {
  const RasterSize size = description_.levels[0];
  const int64_t all_tiles = int64_t{tiles_across(size)} * tiles_down(size);
  const BandRuns bands =
      band_runs(size, *readers[0], threads.count(), cog_tile_size, 1, widest_run);
  for (const auto& worker : workers_) {
    worker->columns.reserve(static_cast<size_t>(bands.widest) * cog_tile_size);
  }
  RunTiles tiles(size, bands);

  // Tiles end out of order; they go to the file in order, and progress is told as they go.
  std::mutex order_lock;
  std::map<int64_t, std::vector<std::byte>> waiting;
  int64_t next_to_write = 0;
  auto deposit = [&](int64_t sequence, std::vector<std::byte> bytes) -> Status {
    std::lock_guard<std::mutex> guard(order_lock);
    waiting.emplace(sequence, std::move(bytes));
    for (auto it = waiting.begin(); it != waiting.end() && it->first == next_to_write;
         it = waiting.erase(it), ++next_to_write) {
      if (Status s = file_->write_at(at, it->second); !s.ok()) return s;
      at += std::ssize(it->second);
      const auto done = static_cast<double>(next_to_write + 1) / static_cast<double>(all_tiles);
      if (!progress(overview_share + (1 - overview_share) * done)) return Status::cancelled();
    }
    return {};
  };

  // One pool of tasks for every band: a thread never waits for the other at a band's end.
  return threads.tasks(static_cast<int>(bands.runs.size()), [&](int task, int thread) -> Status {
    const Run run = bands.runs[static_cast<size_t>(task)];
    const int32_t top = run.band * cog_tile_size;
    const int32_t rows = std::min(cog_tile_size, size.height - top);
    Worker& worker = *workers_[static_cast<size_t>(thread)];
    RowReader& reader = *readers[static_cast<size_t>(thread) % readers.size()];
    if (Status s = read_run(reader, run, top, rows, worker.columns); !s.ok()) return s;
    return tiles.take(
        run, rows, worker.columns.data(),
        [&](const int16_t* first, size_t stride, int32_t width, int64_t sequence) -> Status {
          if (Status s = encode_tile(worker, first, stride, rows, width); !s.ok()) {
            return s;
          }
          tile_size_[0][static_cast<size_t>(sequence)] =
              static_cast<uint32_t>(worker.encoded.size());
          std::vector<std::byte> bytes;
          bytes.reserve(worker.encoded.size() + tile_frame_bytes);
          bytes.assign(worker.encoded.begin(), worker.encoded.end());
          frame(bytes);
          return deposit(sequence, std::move(bytes));
        });
  });
}

Status CogResult::read_once(Threads& threads, std::span<RowReader* const> readers,
                            const Progress& progress) {
  const size_t levels = description_.levels.size();
  std::vector<std::unique_ptr<Level>> pyramid = chain(threads, 2);
  Level* quarter = levels > 2 ? pyramid[2].get() : nullptr;
  const RasterSize size = description_.levels[0];
  const RasterSize half = description_.levels[1];
  const auto quarter_width = quarter ? static_cast<size_t>(description_.levels[2].width) : 0;
  const LevelReducer halve(size, half, options_.resampling, no_data);
  std::optional<LevelReducer> halve_again;
  if (quarter) halve_again.emplace(half, description_.levels[2], options_.resampling, no_data);

  // A task reads a run of columns 1024 rows high, a band of 512 rows at a time, and makes
  // the first overview's 512 rows of it in its own room; the bands of the levels from the
  // second on are held whole. The runs share what those bands leave of the budget.
  int64_t held = 0;
  for (size_t l = 2; l < levels; ++l) {
    held += int64_t{halo_rows + cog_tile_size} * description_.levels[l].width * 2;
  }
  const int64_t per_column = int64_t{cog_tile_size} * 2 * 3 / 2;  // a run's rows and its halving
  const auto widest = static_cast<int32_t>(std::clamp<int64_t>(
      (reading_budget - held) / (threads.count() * per_column), cog_tile_size, widest_run));
  const int32_t pair_rows = 2 * cog_tile_size;
  const BandRuns pairs =
      band_runs(size, *readers[0], threads.count(), pair_rows, quarter ? 4 : 2, widest);
  const BandRuns bands = split_runs(pairs, size.height, cog_tile_size);
  const BandRuns half_bands = halved_runs(pairs);
  for (const auto& worker : workers_) {
    worker->columns.reserve(static_cast<size_t>(pairs.widest) * cog_tile_size);
    worker->halved.reserve(static_cast<size_t>(pairs.widest / 2) * cog_tile_size);
  }
  RunTiles tiles(size, bands);
  RunTiles half_tiles(half, half_bands);
  // Two of those bands at a time fill the second overview's band of 512 rows: their tasks
  // share one pool, so that a thread done with the first band's runs goes on to the second's.
  const auto count = static_cast<int32_t>(pairs.first.size() - 1);
  for (int32_t pair = 0; pair < count; pair += 2) {
    const int32_t top_of_two = pair * pair_rows;
    const int32_t rows_of_two = std::min(2 * pair_rows, size.height - top_of_two);
    // The second overview's rows these make go straight into its room.
    std::span<int16_t> room;
    if (quarter) {
      room = quarter->room();
      if (room.size() < static_cast<size_t>(rows_of_two / 4) * quarter_width) {
        return Status::error(StatusKind::io_error, Side::output, raster_path(),
                             "an overview has no room for a band's rows");
      }
    }
    const size_t first = pairs.first[static_cast<size_t>(pair)];
    const auto runs =
        static_cast<int>(pairs.first[static_cast<size_t>(std::min(pair + 2, count))] - first);
    Status s = threads.tasks(runs, [&](int task, int thread) -> Status {
      const Run run = pairs.runs[first + static_cast<size_t>(task)];
      const int32_t top = run.band * pair_rows;
      const int32_t rows = std::min(pair_rows, size.height - top);
      Worker& worker = *workers_[static_cast<size_t>(thread)];
      RowReader& reader = *readers[static_cast<size_t>(thread) % readers.size()];
      const auto width = static_cast<size_t>(run.end - run.begin);
      const size_t halved_width = width / 2;
      worker.halved.resize(halved_width * static_cast<size_t>(rows / 2));
      for (int32_t band_top = top; band_top < top + rows; band_top += cog_tile_size) {
        const int32_t band_rows = std::min(cog_tile_size, top + rows - band_top);
        const Run part{band_top / cog_tile_size, run.begin, run.end};
        if (Status s = read_run(reader, part, band_top, band_rows, worker.columns); !s.ok()) {
          return s;
        }
        const int16_t* columns = worker.columns.data();
        if (Status s = tiles.take(part, band_rows, columns,
                                  [&](const int16_t* from, size_t stride, int32_t tile_width,
                                      int64_t sequence) -> Status {
                                    return store_encoded(worker, 0, from, stride, band_rows,
                                                         tile_width, sequence);
                                  });
            !s.ok()) {
          return s;
        }
        for (int32_t j = 0; j < band_rows / 2; ++j) {
          const std::array<const int16_t*, 2> two{columns + static_cast<size_t>(2 * j) * width,
                                                  columns + static_cast<size_t>(2 * j + 1) * width};
          const int32_t out = (band_top - top) / 2 + j;
          halve.reduce(band_top / 2 + j, two,
                       worker.halved.data() + static_cast<size_t>(out) * halved_width,
                       run.begin / 2, run.end / 2, run.begin, run.begin / 2);
        }
      }
      const Run half_run{run.band, run.begin / 2, run.end / 2};
      const int16_t* halved = worker.halved.data();
      if (Status s = half_tiles.take(half_run, rows / 2, halved,
                                     [&](const int16_t* from, size_t stride, int32_t tile_width,
                                         int64_t sequence) -> Status {
                                       return store_encoded(worker, 1, from, stride, rows / 2,
                                                            tile_width, sequence);
                                     });
          !s.ok()) {
        return s;
      }
      if (quarter) {
        for (int32_t j = 0; j < rows / 4; ++j) {
          const std::array<const int16_t*, 2> two{
              halved + static_cast<size_t>(2 * j) * halved_width,
              halved + static_cast<size_t>(2 * j + 1) * halved_width};
          const int32_t out = (top - top_of_two) / 4 + j;
          halve_again->reduce(top / 4 + j, two,
                              room.data() + static_cast<size_t>(out) * quarter_width, run.begin / 4,
                              run.end / 4, run.begin / 2);
        }
      }
      return {};
    });
    if (!s.ok()) return s;
    if (quarter) {
      if (Status s = quarter->add_rows(rows_of_two / 4); !s.ok()) return s;
    }
    if (!progress(reading_share * std::min(pair + 2, count) / count)) return Status::cancelled();
  }
  return complete(pyramid);
}

Status CogResult::store_encoded(Worker& worker, size_t level, const int16_t* first, size_t stride,
                                int32_t rows, int32_t width, int64_t sequence) {
  if (Status s = encode_tile(worker, first, stride, rows, width); !s.ok()) return s;
  return store_tile(level, static_cast<size_t>(sequence), worker);
}

Status CogResult::encode_tile(Worker& worker, const int16_t* first, size_t stride, int32_t rows,
                              int32_t width) const {
  if (Status s = worker.encode(first, stride, rows, width, description_.predictor); !s.ok()) {
    return Status::error(s.kind(), Side::output, raster_path(), s.detail());
  }
  return {};
}

std::vector<int32_t> cut_columns(int32_t width, std::span<const int32_t> edges, int32_t least,
                                 int32_t most) {
  std::vector<int32_t> cuts{0};
  // Ends the run that begins at the last cut at `end`, in even parts where it is too wide.
  auto close_run = [&](int32_t end) {
    const int32_t begin = cuts.back();
    const int64_t parts = (int64_t{end} - begin + most - 1) / most;
    for (int64_t i = 1; i <= parts; ++i) {
      cuts.push_back(static_cast<int32_t>(begin + (int64_t{end} - begin) * i / parts));
    }
  };
  for (int32_t edge : edges) {
    if (edge - cuts.back() < least || edge >= width) continue;  // a narrow run goes with the next
    close_run(edge);
  }
  // A narrow last run goes with the one before it.
  if (width - cuts.back() < least && cuts.size() > 1) cuts.pop_back();
  if (width > cuts.back()) close_run(width);
  return cuts;
}

}  // namespace demstitch
