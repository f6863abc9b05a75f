#include "formats/cog_result.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

namespace demstitch {

// What one compressing thread keeps from tile to tile.
struct CogResult::Worker {
  std::vector<uint16_t> samples;
  std::vector<std::byte> raw;
  std::vector<std::byte> encoded;
  std::unique_ptr<TileEncoder> encoder;
};

namespace {

constexpr int32_t halo_rows = 4;  // source rows an overview row may reach back across a band
constexpr int16_t no_data = -9999;

uint16_t swapped(uint16_t v) { return static_cast<uint16_t>((v >> 8) | (v << 8)); }

// Runs `body(i)` on threads 0 to threads - 1, this one being 0; a thread that cannot be
// started leaves its share to the others (`body` takes work until none is left).
void run_on_threads(int threads, const std::function<void(int)>& body) {
  std::vector<std::thread> helpers;
  for (int i = 1; i < threads; ++i) {
    try {
      helpers.emplace_back(body, i);
    } catch (const std::system_error&) {
      break;
    }
  }
  body(0);
  for (std::thread& t : helpers) t.join();
}

}  // namespace

// One level of the pyramid as its rows come: a band of 512 rows (and the last few rows of
// the band before it, for the overview), cut into tiles when full.
class CogResult::Level {
 public:
  Level(CogResult& cog, size_t index, File* rows_out)
      : cog_(cog),
        index_(index),
        size_(cog.description_.levels[index]),
        width_(static_cast<size_t>(size_.width)),
        buffer_(static_cast<size_t>(halo_rows + cog_tile_size) * width_, no_data),
        rows_out_(rows_out) {
    const auto& levels = cog.description_.levels;
    if (index + 1 < levels.size()) {
      reducer_.emplace(size_, levels[index + 1], cog.options_.resampling, no_data);
    }
  }

  // Room for the next rows: whole rows, at least one.
  std::span<int16_t> free_rows() {
    const size_t start = static_cast<size_t>(halo_rows + rows_in_strip_) * width_;
    const int32_t left = std::min(cog_tile_size - rows_in_strip_, size_.height - rows_done());
    return {buffer_.data() + start, static_cast<size_t>(left) * width_};
  }
  int32_t rows_done() const { return strip_start_ + rows_in_strip_; }
  // `count` more rows are in free_rows().
  Status add_rows(int32_t count) {
    rows_in_strip_ += count;
    if (rows_in_strip_ < cog_tile_size && rows_done() < size_.height) return {};
    return flush();
  }

 private:
  const int16_t* row(int32_t y) const {
    return buffer_.data() + static_cast<size_t>(y - strip_start_ + halo_rows) * width_;
  }

  Status flush() {
    const int32_t across = tiles_across(size_);
    const int first_task = reducer_ ? -1 : 0;  // -1: the overview's rows
    std::atomic<int> next_task{first_task};
    std::mutex failure_lock;
    Status failure;
    auto& workers = cog_.workers_;
    run_on_threads(static_cast<int>(workers.size()), [&](int thread) {
      Worker& worker = *workers[static_cast<size_t>(thread)];
      for (;;) {
        const int task = next_task.fetch_add(1);
        if (task >= across) return;
        Status s = task < 0 ? reduce() : compress(task, worker);
        if (!s.ok()) {
          std::lock_guard<std::mutex> guard(failure_lock);
          if (failure.ok()) failure = s;
          next_task.store(across);
          return;
        }
      }
    });
    if (!failure.ok()) return failure;
    // The last rows of this band stay for the overview rows that reach back into them.
    if (rows_in_strip_ >= halo_rows) {
      std::memcpy(buffer_.data(), buffer_.data() + static_cast<size_t>(rows_in_strip_) * width_,
                  static_cast<size_t>(halo_rows) * width_ * sizeof(int16_t));
    }
    strip_start_ += rows_in_strip_;
    rows_in_strip_ = 0;
    return {};
  }

  Status compress(int32_t tile_x, Worker& worker) {
    const int32_t x0 = tile_x * cog_tile_size;
    const int32_t columns = std::min(cog_tile_size, size_.width - x0);
    uint16_t* samples = worker.samples.data();
    for (int32_t r = 0; r < cog_tile_size; ++r) {
      uint16_t* out = samples + static_cast<size_t>(r) * cog_tile_size;
      if (r < rows_in_strip_) {
        std::memcpy(out, row(strip_start_ + r) + x0, static_cast<size_t>(columns) * 2);
        std::fill(out + columns, out + cog_tile_size, static_cast<uint16_t>(no_data));
      } else {
        std::fill(out, out + cog_tile_size, static_cast<uint16_t>(no_data));
      }
      if (cog_.description_.predictor) {
        for (int32_t c = cog_tile_size - 1; c > 0; --c) {
          out[c] = static_cast<uint16_t>(out[c] - out[c - 1]);
        }
      }
    }
    // TIFF samples here are little-endian.
    worker.raw.resize(worker.samples.size() * 2);
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(worker.raw.data(), samples, worker.raw.size());
    } else {
      for (size_t i = 0; i < worker.samples.size(); ++i) {
        const uint16_t v = swapped(samples[i]);
        std::memcpy(worker.raw.data() + 2 * i, &v, 2);
      }
    }
    if (Status s = worker.encoder->encode(worker.raw, worker.encoded); !s.ok()) return s;
    return cog_.store_tile(index_, (strip_start_ / cog_tile_size) * tiles_across(size_) + tile_x,
                           worker.encoded);
  }

  // The overview rows this band completes (all that are left after the last band), written
  // to the next level's rows in order.
  Status reduce() {
    const RasterSize to = reducer_->to();
    const bool last = rows_done() == size_.height;
    std::vector<int16_t> out;
    const size_t out_width = static_cast<size_t>(to.width);
    const size_t batch = std::max<size_t>(1, (size_t{1} << 20) / (out_width * 2));
    std::vector<const int16_t*> sources;
    while (next_out_ < to.height) {
      auto [first, end] = reducer_->source_rows(next_out_);
      if (!last && end > rows_done()) break;
      if (first < strip_start_ - halo_rows) {
        return Status::error(StatusKind::io_error, Side::output, cog_.raster_path(),
                             "an overview row reaches too far back");
      }
      sources.clear();
      for (int32_t y = first; y < end; ++y) sources.push_back(row(y));
      out.resize(out.size() + out_width);
      reducer_->reduce(next_out_, sources, out.data() + out.size() - out_width, 0, to.width);
      ++next_out_;
      if (out.size() >= batch * out_width) {
        if (Status s = write_rows(out); !s.ok()) return s;
      }
    }
    return write_rows(out);
  }

  Status write_rows(std::vector<int16_t>& rows) {
    if (rows.empty()) return {};
    const auto bytes = std::as_bytes(std::span(rows));
    if (Status s = rows_out_->write_at(rows_out_at_, bytes); !s.ok()) return s;
    rows_out_at_ += static_cast<int64_t>(bytes.size());
    rows.clear();
    return {};
  }

  CogResult& cog_;
  size_t index_;
  RasterSize size_;
  size_t width_;
  std::vector<int16_t> buffer_;  // halo_rows rows before the band, then the band
  int32_t strip_start_ = 0;      // the band's first row
  int32_t rows_in_strip_ = 0;
  std::optional<LevelReducer> reducer_;
  int32_t next_out_ = 0;  // the next overview row to make
  File* rows_out_;
  int64_t rows_out_at_ = 0;
};

namespace {

// Turns the raw raster's bytes (big-endian rows) into the full raster's rows.
class RowSink final : public BandSink {
 public:
  RowSink(CogResult::Level& level, RasterSize size) : level_(level), size_(size) {}
  Status begin(int64_t total_bytes) override {
    if (total_bytes != int64_t{size_.width} * size_.height * 2) {
      return Status::error(StatusKind::io_error, Side::output, {}, "the mosaic's size changed");
    }
    return {};
  }
  Status write_band(int64_t offset, std::span<const std::byte> band) override {
    if (offset != next_) {
      return Status::error(StatusKind::io_error, Side::output, {}, "bands came out of order");
    }
    next_ += static_cast<int64_t>(band.size());
    const size_t row_bytes = static_cast<size_t>(size_.width) * 2;
    while (!band.empty()) {
      std::span<int16_t> room = level_.free_rows();
      if (room.empty()) {
        return Status::error(StatusKind::io_error, Side::output, {}, "the mosaic is too long");
      }
      auto* into = reinterpret_cast<std::byte*>(room.data());
      // Whole rows straight into the band, the rest of a row after it.
      const size_t take = std::min(band.size(), room.size() * 2 - filled_);
      std::memcpy(into + filled_, band.data(), take);
      band = band.subspan(take);
      filled_ += take;
      const size_t rows = filled_ / row_bytes;
      if (rows == 0) continue;
      if constexpr (std::endian::native == std::endian::little) {
        auto* samples = reinterpret_cast<uint16_t*>(room.data());
        for (size_t i = 0; i < rows * static_cast<size_t>(size_.width); ++i) {
          samples[i] = swapped(samples[i]);
        }
      }
      // What is left of a row stays where it is: the front of the next room (a band that
      // fills up takes whole rows only).
      if (Status s = level_.add_rows(static_cast<int32_t>(rows)); !s.ok()) return s;
      filled_ -= rows * row_bytes;
    }
    return {};
  }

 private:
  CogResult::Level& level_;
  RasterSize size_;
  int64_t next_ = 0;
  size_t filled_ = 0;  // bytes of rows not yet whole, at the front of the room
};

}  // namespace

CogResult::CogResult(std::string path, CogOptions options) : options_(options) {
  files_ = {path};
  side_files_ = {path + ".aux.xml", path + ".ovr", path + ".msk"};
  description_.compression = options.compression;
  description_.predictor = options.compression != Compression::none;
  if (options_.level == 0) {
    if (auto levels = compression_levels(options.compression)) options_.level = levels->fallback;
  }
}

CogResult::~CogResult() = default;

Status CogResult::start(OutputSet& outputs, RasterSize size, const GeoTransform& geo) {
  description_.levels = pyramid_levels(size, cog_tile_size, options_.overviews);
  description_.geo = geo;
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
  if (Status s = outputs.add_scratch(raster_path(), &tiles_); !s.ok()) return s;
  for (size_t i = 0; i < std::min<size_t>(2, levels - 1); ++i) {
    if (Status s = outputs.add_scratch(raster_path(), &rows_[i]); !s.ok()) return s;
  }
  for (int i = 0; i < std::max(1, options_.threads); ++i) {
    auto worker = std::make_unique<Worker>();
    worker->encoder = make_encoder(options_.compression, options_.level);
    worker->samples.resize(static_cast<size_t>(cog_tile_size) * cog_tile_size);
    workers_.push_back(std::move(worker));
  }
  level_ = std::make_unique<Level>(*this, 0, rows_[0]);
  sink_ = std::make_unique<RowSink>(*level_, size);
  return {};
}

BandSink& CogResult::raster() { return *sink_; }

Status CogResult::store_tile(size_t level, size_t tile, std::span<const std::byte> encoded) {
  if (encoded.size() < 4 || encoded.size() > 0xffffffffu) {
    return Status::error(StatusKind::io_error, Side::output, raster_path(),
                         "a tile's encoded size is out of range");
  }
  const auto size = static_cast<uint32_t>(encoded.size());
  const int64_t at = tiles_end_.fetch_add(static_cast<int64_t>(size) + tile_frame_bytes);
  std::byte leader[4];
  for (int i = 0; i < 4; ++i) leader[i] = static_cast<std::byte>(size >> (8 * i));
  if (Status s = tiles_->write_at(at, leader); !s.ok()) return s;
  if (Status s = tiles_->write_at(at + 4, encoded); !s.ok()) return s;
  if (Status s = tiles_->write_at(at + 4 + size, encoded.last(4)); !s.ok()) return s;
  tile_at_[level][tile] = at;
  tile_size_[level][tile] = size;
  return {};
}

Status CogResult::finish() {
  const size_t levels = description_.levels.size();
  if (level_->rows_done() != description_.levels[0].height) {
    return Status::error(StatusKind::io_error, Side::output, raster_path(),
                         "the mosaic ended early");
  }
  for (size_t l = 1; l < levels; ++l) {
    // This level's rows are in the scratch file the level above wrote them to.
    File* rows_in = rows_[(l - 1) % 2];
    level_ = std::make_unique<Level>(*this, l, l + 1 < levels ? rows_[l % 2] : nullptr);
    const RasterSize size = description_.levels[l];
    int64_t at = 0;
    while (level_->rows_done() < size.height) {
      auto room = std::as_writable_bytes(level_->free_rows());
      size_t got = 0;
      if (Status s = rows_in->read_at(at, room, &got); !s.ok()) return s;
      if (got != room.size()) {
        return Status::error(StatusKind::io_error, Side::output, raster_path(),
                             "an overview's scratch file ended early");
      }
      at += static_cast<int64_t>(got);
      const auto rows = static_cast<int32_t>(got / (static_cast<size_t>(size.width) * 2));
      if (Status s = level_->add_rows(rows); !s.ok()) return s;
    }
  }
  level_.reset();
  return write_file();
}

Status CogResult::write_file() {
  const std::vector<std::byte> header = cog_header(description_, tile_size_);
  if (Status s = file_->write_all(header); !s.ok()) return s;
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
                             "the tiles' scratch file ended early");
      }
      if (Status s = file_->write_all(std::span(buffer).first(n)); !s.ok()) return s;
      run_at += static_cast<int64_t>(n);
      run_bytes -= static_cast<int64_t>(n);
    }
    return {};
  };
  for (size_t l = description_.levels.size(); l-- > 0;) {
    for (size_t t = 0; t < tile_at_[l].size(); ++t) {
      const int64_t at = tile_at_[l][t];
      const int64_t bytes = tile_size_[l][t] + tile_frame_bytes;
      if (run_at + run_bytes != at) {
        if (Status s = copy_run(); !s.ok()) return s;
        run_at = at;
      }
      run_bytes += bytes;
    }
  }
  return copy_run();
}

}  // namespace demstitch
