#include "mosaic/result_output.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <memory>

#include "base/samples.hpp"
#include "base/strings.hpp"
#include "formats/bil_result.hpp"
#include "formats/result_header.hpp"
#include "io/filesystem.hpp"
#include "io/platform.hpp"
#include "mosaic/band_writer.hpp"
#include "mosaic/reference_writer.hpp"

namespace demstitch {
namespace {

// The mosaic's bands into memory, as native samples: bytes past the filled rows (a long
// last row's spill) have no place there and are dropped.
class MemorySink final : public BandSink {
 public:
  MemorySink(std::span<int16_t> samples, int64_t fill)
      : bytes_(std::as_writable_bytes(samples)), fill_(fill) {}
  Status begin(int64_t /*total_bytes*/) override { return {}; }
  std::span<std::byte> band_memory(int64_t offset, int64_t size) override {
    if (offset < 0 || size <= 0 || offset + size > fill_) return {};
    const std::span<std::byte> band =
        bytes_.subspan(static_cast<size_t>(offset), static_cast<size_t>(size));
    // Fresh memory: its pages are had in one call, not a fault at a time under the reads.
    prefault_for_writing(band);
    return band;
  }
  Status write_band(int64_t offset, std::span<const std::byte> band) override {
    // Bands start at whole samples (their size is even) and the fill ends at one.
    const int64_t end = std::min(fill_, offset + std::ssize(band));
    if (offset >= end) return {};
    const std::span<std::byte> out =
        bytes_.subspan(static_cast<size_t>(offset), static_cast<size_t>(end - offset));
    if (band.data() != out.data()) std::memcpy(out.data(), band.data(), out.size());
    if constexpr (std::endian::native == std::endian::little) {
      swap_sample_bytes({reinterpret_cast<int16_t*>(out.data()), out.size() / 2});
    }
    return {};
  }

 private:
  std::span<std::byte> bytes_;
  int64_t fill_;
};

// The step that writes a result's file of that part, and the one that takes its name.
OutputStep write_step(ResultPart part) {
  switch (part) {
    case ResultPart::header:
      return OutputStep::write_header;
    case ResultPart::projection:
      return OutputStep::write_projection;
    case ResultPart::raster:
      break;
  }
  return OutputStep::write_raster;
}
OutputStep name_step(ResultPart part) {
  return part == ResultPart::raster ? OutputStep::create_raster : write_step(part);
}

// A corner within a millionth of a degree of the 1/120-degree grid (every tile's is, and
// the raw header's six decimals of it) lies on the grid, at full precision.
GeoTransform on_grid(GeoTransform g) {
  auto snap = [](double degrees) {
    const double line = std::round(degrees * samples_per_degree) / samples_per_degree;
    return std::fabs(line - degrees) < 1e-6 ? line : degrees;
  };
  g.west = snap(g.west);
  g.north = snap(g.north);
  return g;
}

// Whether the disk holding the result has room for `needed` bytes.
Status check_space(const std::string& raster_path, int64_t needed) {
  if (needed <= 0) return {};  // not known ahead
  std::optional<int64_t> available = free_space(folder_of(raster_path));
  if (!available || needed <= *available) return {};  // nothing known: let the writes tell
  return Status::error(StatusKind::no_space, Side::output, raster_path,
                       format("%lld bytes needed, %lld bytes free", static_cast<long long>(needed),
                              static_cast<long long>(*available)));
}

}  // namespace

ResultPlace result_place(const MosaicLayout& layout) {
  // The corner the header gives: a window's header gives the centre of its upper-left
  // sample, as the tiles' headers do; a plain mosaic's gives its corner as it has always
  // been written.
  HeaderCorner corner{layout.bounds.left, layout.bounds.top, 6};
  if (layout.window) {
    corner = HeaderCorner{layout.bounds.left + grid_cell / 2, layout.bounds.top - grid_cell / 2,
                          region_corner_decimals};
  }
  const GeoTransform header = result_geotransform(corner.ulx, corner.uly, corner.decimals);
  return ResultPlace{header, on_grid(header), corner};
}

void ResultOutput::fail(StitchOutcome outcome, OutputStep step, Status error) {
  result_.outcome = outcome;
  result_.failed_step = step;
  result_.error = std::move(error);
}

// The result's files, checked, locked and planned for; false, with the failure noted,
// when nothing can be written. The lock, the checks and the install are the same for
// every format.
bool ResultOutput::prepare(OutputSet& outputs, const Result& format, const MosaicLayout& layout) {
  // Every final name is checked before anything is written or locked: on Windows a device
  // name (CON, NUL) would open the device. A name that cannot be taken is told as the step
  // that would write it.
  for (const ResultFile& file : format.files()) {
    if (Status s = OutputSet::check_replaceable({{file.path}}); !s.ok()) {
      fail(StitchOutcome::output_failed, name_step(file.part), s);
      return false;
    }
  }
  const std::string& raster_path = format.files().front().path;
  std::vector<std::string> touched;
  for (const ResultFile& file : format.files()) touched.push_back(file.path);
  touched.insert(touched.end(), format.side_files().begin(), format.side_files().end());
  if (Status s = outputs.lock(raster_path + ".lock", touched); !s.ok()) {
    // A folder that is not there is the result's problem, not the lock's.
    if (s.kind() == StatusKind::not_found) {
      s = Status::error(s.kind(), Side::output, raster_path, s.detail());
      fail(StitchOutcome::output_failed, OutputStep::create_raster, s);
    } else {
      fail(StitchOutcome::output_failed, OutputStep::lock, s);
    }
    return false;
  }
  plan_ = plan_copies(inputs_, layout);
  if (Status s = inputs_.check_not_a_tile(touched, raster_path); !s.ok()) {
    fail(StitchOutcome::output_failed, OutputStep::check_names, s);
    return false;
  }
  return true;
}

// Writes the mosaic's bytes through `write`, which notes the copies that came up short;
// false, with the failure noted, when the result cannot be had.
bool ResultOutput::write_raster(const std::function<Status(std::vector<size_t>*)>& write) {
  std::vector<TileReport> reports;
  for (const TileInput& tile : inputs_.tiles()) reports.push_back(report_of(tile));
  observer_.raster_started(reports, result_.size->out_rows);
  std::vector<size_t> short_copies;
  Status s = write(&short_copies);
  if (s.kind() == StatusKind::cancelled || observer_.cancelled()) {
    fail(StitchOutcome::cancelled, OutputStep::none, Status::cancelled());
    return false;
  }
  if (!s.ok() && s.side() == Side::input) {
    // A tile that could be opened but not read would leave the mosaic incomplete.
    for (TileInput& tile : inputs_.tiles()) {
      if (tile.raster && tile.raster->name() == s.path()) {
        inputs_.problem(tile, ProblemKind::raster_not_read, tile.raster_path, s);
        break;
      }
    }
    fail(StitchOutcome::input_failed, OutputStep::write_raster, s);
    return false;
  }
  if (!s.ok()) {
    fail(StitchOutcome::output_failed, OutputStep::write_raster, s);
    return false;
  }
  for (TileInput& tile : inputs_.tiles()) {
    if (std::any_of(short_copies.begin(), short_copies.end(),
                    [&](size_t c) { return plan_.copies[c].source == tile.raster.get(); })) {
      inputs_.problem(tile, ProblemKind::raster_changed, tile.raster_path);
    }
  }
  return true;
}

void ResultOutput::write_files(Result& format, const MosaicLayout& layout, ResultGrid grid) {
  if (Status s = format.check_size(grid.size); !s.ok()) {
    // Refused before anything is locked or written.
    return fail(StitchOutcome::output_failed, OutputStep::create_raster, s);
  }
  OutputSet outputs;
  if (!prepare(outputs, format, layout)) return;
  grid.mosaic_bytes = plan_.final_size();
  if (Status s = check_space(format.files().front().path, format.space_needed(grid)); !s.ok()) {
    return fail(StitchOutcome::output_failed, OutputStep::check_space, s);
  }
  if (Status s = format.start(outputs, grid); !s.ok()) {
    return fail(StitchOutcome::output_failed, OutputStep::create_raster, s);
  }
  const bool written = format.band_sink() != nullptr ? write_bands(format) : write_rows(format);
  if (!written) return;
  ResultPart failed = ResultPart::raster;
  if (Status s = format.finish(outputs, &failed); !s.ok()) {
    return fail(StitchOutcome::output_failed, write_step(failed), s);
  }
  install(outputs, format);
}

// The mosaic's bands, in order, into a format that takes them.
bool ResultOutput::write_bands(Result& format) {
  const int64_t total = plan_.final_size();
  return write_raster([&](std::vector<size_t>* short_copies) {
    auto* raw = dynamic_cast<BilResult*>(&format);
    if (writer_.reference && raw != nullptr) {
      Status s = write_mosaic_by_patching(raw->raster_file(), plan_);
      if (s.ok()) observer_.bytes_written(total, total);
      return s;
    }
    return write_mosaic(
        *format.band_sink(), plan_,
        [&](int64_t done) {
          observer_.bytes_written(done, total);
          return !observer_.cancelled();
        },
        writer_.bands, short_copies);
  });
}

// A format that reads the mosaic itself, each of its threads through a reader of its own.
bool ResultOutput::write_rows(Result& format) {
  std::vector<std::unique_ptr<MosaicRowReader>> readers;
  std::vector<RowReader*> reader_list;
  for (int i = 0; i < std::max(1, format.readers_wanted()); ++i) {
    readers.push_back(std::make_unique<MosaicRowReader>(plan_));
    reader_list.push_back(readers.back().get());
  }
  const int64_t total = plan_.final_size();
  return write_raster([&](std::vector<size_t>* short_copies) {
    Status s = format.write_rows(reader_list, [&](double done) {
      observer_.bytes_written(static_cast<int64_t>(done * static_cast<double>(total)), total);
      return !observer_.cancelled();
    });
    for (size_t c = 0; c < plan_.copies.size(); ++c) {
      if (std::any_of(readers.begin(), readers.end(),
                      [&](const auto& r) { return r->came_up_short(c); })) {
        short_copies->push_back(c);
      }
    }
    return s;
  });
}

// The mosaic into the caller's memory: no file, no lock.
void ResultOutput::read_into(const MosaicMemory& memory, const MosaicLayout& layout) {
  plan_ = plan_copies(inputs_, layout);
  const std::span<int16_t> samples = memory(*result_.size);
  const int64_t fill = plan_.fill_bytes();
  if (std::ssize(samples) < fill / 2) {
    return fail(StitchOutcome::output_failed, OutputStep::create_raster,
                Status::error(StatusKind::no_memory, Side::output, {}, "out of memory"));
  }
  MemorySink sink(samples, fill);
  const int64_t total = plan_.final_size();
  const bool read = write_raster([&](std::vector<size_t>* short_copies) {
    return write_mosaic(
        sink, plan_,
        [&](int64_t done) {
          observer_.bytes_written(done, total);
          return !observer_.cancelled();
        },
        writer_.bands, short_copies);
  });
  if (read) result_.outcome = StitchOutcome::written;
}

// Puts the result in place, all or nothing, its stale side files gone with it.
void ResultOutput::install(OutputSet& outputs, const Result& format) {
  for (const std::string& path : format.side_files()) outputs.remove_on_install(path);
  if (observer_.cancelled()) {
    return fail(StitchOutcome::cancelled, OutputStep::none, Status::cancelled());
  }
  Status s = outputs.install();
  result_.kept = outputs.kept();
  result_.leftovers = outputs.leftovers();
  if (s.kind() == StatusKind::cancelled) {
    return fail(StitchOutcome::cancelled, OutputStep::none, Status::cancelled());
  }
  if (!s.ok()) return fail(StitchOutcome::output_failed, OutputStep::install, s);
  result_.outcome = StitchOutcome::written;
  for (const ResultFile& file : format.files()) result_.files.push_back(file.path);
}

}  // namespace demstitch
