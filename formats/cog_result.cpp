#include "formats/cog_result.hpp"

#include <algorithm>
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
constexpr int32_t widest_run = 8192;    // columns a task of the second pass reads at most
constexpr int32_t reading_rows = 32;    // the full raster's rows read at once for the overviews
constexpr double overview_share = 0.3;  // of the work, for progress

int64_t framed(uint32_t size) { return int64_t{size} + tile_frame_bytes; }

// Appends a tile's encoded bytes as a COG frames them: a 4-byte little-endian leader that
// holds their size, the bytes, and their last 4 bytes again.
void append_framed(std::vector<std::byte>& out, std::span<const std::byte> encoded) {
  const auto size = static_cast<uint32_t>(encoded.size());
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::byte>(size >> (8 * i)));
  out.insert(out.end(), encoded.begin(), encoded.end());
  out.insert(out.end(), encoded.end() - 4, encoded.end());
}

}  // namespace

// What one thread keeps from tile to tile.
struct CogResult::Worker {
  std::vector<uint16_t> samples;  // a tile, predicted, little-endian
  std::vector<std::byte> encoded;
  std::vector<std::byte> framed;  // the same with its leader and trailer
  std::unique_ptr<TileEncoder> encoder;
  std::vector<int16_t> columns;  // a run of tiles' columns, 512 rows of them

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
  // columns.
  Status read_all(std::span<RowReader* const> readers, const Progress& progress) {
    const int share = threads_.count();
    while (!complete()) {
      std::span<int16_t> space = room();
      const auto rows = static_cast<int32_t>(space.size() / width_);
      const int32_t first_row = rows_done();
      Status s = threads_.tasks(share, [&](int part, int thread) -> Status {
        const auto begin = static_cast<int32_t>(int64_t{size_.width} * part / share);
        const auto end = static_cast<int32_t>(int64_t{size_.width} * (part + 1) / share);
        RowReader& reader = *readers[static_cast<size_t>(thread) % readers.size()];
        for (int32_t r = 0; r < rows; ++r) {
          std::span<int16_t> part_row(space.data() + static_cast<size_t>(r) * width_ + begin,
                                      static_cast<size_t>(end - begin));
          if (Status s = reader.read(first_row + r, begin, part_row); !s.ok()) return s;
        }
        return {};
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
  worker.framed.clear();
  append_framed(worker.framed, worker.encoded);
  const int64_t at = tiles_end_.fetch_add(std::ssize(worker.framed));
  if (Status s = tiles_->write_at(at, worker.framed); !s.ok()) return s;
  tile_at_[level][tile] = at;
  tile_size_[level][tile] = static_cast<uint32_t>(worker.encoded.size());
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
  if (description_.levels.size() > 1) {
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
  if (Status s = copy_overviews(header_bytes); !s.ok()) return s;
  if (Status s = write_full_raster(threads, readers, progress, header_bytes + overview_bytes);
      !s.ok()) {
    return s;
  }
  const std::vector<std::byte> header = cog_header(description_, tile_size_, big);
  return file_->write_at(0, header);
}

Status CogResult::make_overviews(Threads& threads, std::span<RowReader* const> readers,
                                 const Progress& progress) {
  const size_t levels = description_.levels.size();
  std::vector<std::unique_ptr<Level>> pyramid(levels);
  for (size_t l = levels; l-- > 1;) {
    pyramid[l] = std::make_unique<Level>(*this, l, threads, cog_tile_size, true,
                                         l + 1 < levels ? pyramid[l + 1].get() : nullptr);
  }
  // The full raster only passes through, a few rows at a time, on its way to the overviews.
  pyramid[0] = std::make_unique<Level>(*this, 0, threads, reading_rows, false, pyramid[1].get());
  if (Status s = pyramid[0]->read_all(readers, progress); !s.ok()) return s;
  for (const auto& level : pyramid) {
    if (!level->complete()) {
      return Status::error(StatusKind::io_error, Side::output, raster_path(),
                           "an overview was left incomplete");
    }
  }
  return {};
}

Status CogResult::copy_overviews(int64_t at) {
  std::vector<std::byte> buffer(size_t{1} << 20);
  // Runs of tiles that lie one after another in the scratch file go in one copy.
  int64_t run_at = -1;
  int64_t run_bytes = 0;
  auto copy_run = [&]() -> Status {
    while (run_bytes > 0) {
      const auto n = static_cast<size_t>(std::min<int64_t>(run_bytes, std::ssize(buffer)));
      size_t got = 0;
      if (Status s = tiles_->read_at(run_at, std::span(buffer).first(n), &got); !s.ok()) return s;
      if (got != n) {
        return Status::error(StatusKind::io_error, Side::output, raster_path(),
                             "the scratch file of the overviews ended early");
      }
      if (Status s = file_->write_at(at, std::span(buffer).first(n)); !s.ok()) return s;
      at += static_cast<int64_t>(n);
      run_at += static_cast<int64_t>(n);
      run_bytes -= static_cast<int64_t>(n);
    }
    return {};
  };
  for (size_t l = description_.levels.size(); l-- > 1;) {
    for (size_t t = 0; t < tile_at_[l].size(); ++t) {
      const int64_t from = tile_at_[l][t];
      if (run_at + run_bytes != from) {
        if (Status s = copy_run(); !s.ok()) return s;
        run_at = from;
      }
      run_bytes += framed(tile_size_[l][t]);
    }
  }
  return copy_run();
}

Status CogResult::write_full_raster(Threads& threads, std::span<RowReader* const> readers,
                                    const Progress& progress, int64_t at) {
  const RasterSize size = description_.levels[0];
  const int32_t across = tiles_across(size);
  const int32_t down = tiles_down(size);
  // Each task reads one run of columns of a band. Runs end where the sources' columns do,
  // so that no source row is read by two tasks (a raster in an archive is decoded once);
  // a tile that runs share is put together from their parts by the last to bring one.
  struct Run {
    int32_t band;
    int32_t begin;
    int32_t end;
  };
  std::vector<Run> runs;
  std::vector<size_t> first_run;  // of each band, and runs.size() after the last
  const int32_t most = down >= 2 * threads.count()
                           ? widest_run
                           : std::max(cog_tile_size, size.width / (2 * threads.count()));
  for (int32_t band = 0; band < down; ++band) {
    const int32_t top = band * cog_tile_size;
    first_run.push_back(runs.size());
    const std::vector<int32_t> cuts = cut_columns(
        size.width, readers[0]->source_edges(top, std::min(cog_tile_size, size.height - top)),
        cog_tile_size, most);
    for (size_t i = 0; i + 1 < cuts.size(); ++i) runs.push_back({band, cuts[i], cuts[i + 1]});
  }
  first_run.push_back(runs.size());
  const int64_t all_tiles = int64_t{across} * down;

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
  auto encode = [&](Worker& worker, const int16_t* first, size_t stride, int32_t rows,
                    int32_t width, int64_t sequence) -> Status {
    if (Status s = worker.encode(first, stride, rows, width, description_.predictor); !s.ok()) {
      return Status::error(s.kind(), Side::output, raster_path(), s.detail());
    }
    tile_size_[0][static_cast<size_t>(sequence)] = static_cast<uint32_t>(worker.encoded.size());
    std::vector<std::byte> bytes;
    append_framed(bytes, worker.encoded);
    return deposit(sequence, std::move(bytes));
  };

  // The tiles that runs share, while their parts come.
  struct SharedTile {
    std::vector<int16_t> samples;
    std::atomic<int> missing{0};  // runs yet to bring their part
  };
  std::mutex shared_lock;
  std::map<int64_t, std::unique_ptr<SharedTile>> shared;

  // One pool of tasks for every band: a thread never waits for the other at a band's end.
  return threads.tasks(static_cast<int>(runs.size()), [&](int task, int thread) -> Status {
    const Run run = runs[static_cast<size_t>(task)];
    const int32_t top = run.band * cog_tile_size;
    const int32_t rows = std::min(cog_tile_size, size.height - top);
    Worker& worker = *workers_[static_cast<size_t>(thread)];
    RowReader& reader = *readers[static_cast<size_t>(thread) % readers.size()];
    const auto width = static_cast<size_t>(run.end - run.begin);
    worker.columns.resize(width * static_cast<size_t>(rows));
    for (int32_t r = 0; r < rows; ++r) {
      std::span<int16_t> part(worker.columns.data() + static_cast<size_t>(r) * width, width);
      if (Status s = reader.read(top + r, run.begin, part); !s.ok()) return s;
    }
    for (int32_t t = run.begin / cog_tile_size; t * cog_tile_size < run.end; ++t) {
      const int32_t x0 = t * cog_tile_size;
      const int32_t x1 = std::min(x0 + cog_tile_size, size.width);
      const int64_t sequence = int64_t{run.band} * across + t;
      if (x0 >= run.begin && x1 <= run.end) {
        if (Status s = encode(worker, worker.columns.data() + (x0 - run.begin), width, rows,
                              x1 - x0, sequence);
            !s.ok()) {
          return s;
        }
        continue;
      }
      SharedTile* tile = nullptr;
      {
        std::lock_guard<std::mutex> guard(shared_lock);
        std::unique_ptr<SharedTile>& slot = shared[sequence];
        if (!slot) {
          slot = std::make_unique<SharedTile>();
          slot->samples.resize(static_cast<size_t>(cog_tile_size) * cog_tile_size);
          for (size_t i = first_run[static_cast<size_t>(run.band)];
               i < first_run[static_cast<size_t>(run.band) + 1]; ++i) {
            if (runs[i].begin < x1 && runs[i].end > x0) ++slot->missing;
          }
        }
        tile = slot.get();
      }
      const int32_t from = std::max(x0, run.begin);
      const auto count = static_cast<size_t>(std::min(x1, run.end) - from);
      for (int32_t r = 0; r < rows; ++r) {
        std::memcpy(tile->samples.data() + static_cast<size_t>(r) * cog_tile_size + (from - x0),
                    worker.columns.data() + static_cast<size_t>(r) * width + (from - run.begin),
                    count * sizeof(int16_t));
      }
      if (tile->missing.fetch_sub(1, std::memory_order_acq_rel) != 1) continue;
      std::unique_ptr<SharedTile> whole;
      {
        std::lock_guard<std::mutex> guard(shared_lock);
        auto it = shared.find(sequence);
        whole = std::move(it->second);
        shared.erase(it);
      }
      if (Status s = encode(worker, whole->samples.data(), cog_tile_size, rows, x1 - x0, sequence);
          !s.ok()) {
        return s;
      }
    }
    return {};
  });
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
