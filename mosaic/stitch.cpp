#include "mosaic/stitch.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <utility>

#include "base/samples.hpp"
#include "base/strings.hpp"
#include "formats/projection.hpp"
#include "formats/result_header.hpp"
#include "formats/tile_header.hpp"
#include "io/archive.hpp"
#include "io/file.hpp"
#include "io/filesystem.hpp"
#include "io/output_set.hpp"
#include "io/platform.hpp"
#include "io/source.hpp"
#include "mosaic/plan.hpp"
#include "mosaic/reference_writer.hpp"
#include "mosaic/tile_finder.hpp"
#include "mosaic/writer_options.hpp"

namespace demstitch {
namespace {

// Everything a run knows about one tile, from its name to its copy.
struct TileInput {
  std::string name;             // as named
  std::string base;             // the name its files were found by: without an extension given
  std::string header_path;      // the header opened, or the lower-case name tried
  std::string raster_path;      // likewise for the raster, once it is looked for
  std::string projection_path;  // its .prj, where it has one
  std::vector<FileId> files;    // the files read for it, whatever names or links led there
  bool header_read = false;
  TileHeader header;  // as read, in the tile's own coordinates
  TileRect placed{};  // its rectangle laid out with the offsets
  TileRect bounds{};  // the same rectangle in the tile's own coordinates
  std::unique_ptr<Source> raster;
  std::vector<TileCopy> copies;  // where its rows land: one place, or two across 180
  std::vector<TileProblem> problems;
};

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

// What the observer is told of a tile.
TileReport report_of(const TileInput& tile) {
  TileReport report{tile.name,
                    tile.header_path,
                    tile.raster_path,
                    tile.projection_path,
                    tile.header_read,
                    tile.bounds,
                    tile.header.nrows,
                    0,
                    !tile.copies.empty(),
                    tile.problems};
  for (const TileCopy& copy : tile.copies) report.rows_used += copy.rows;
  return report;
}

class Stitcher {
 public:
  Stitcher(const StitchRequest& request, StitchObserver& observer, const WriterOptions& writer,
           const MosaicMemory* memory = nullptr)
      : request_(request),
        memory_(memory),
        writer_(writer),
        observer_(observer),
        opener_(request.opener != nullptr ? *request.opener : file_opener_) {}

  StitchResult run() {
    // A result whose folder is not there fails before any tile is read.
    if (memory_ == nullptr) {
      output_ = make_result(request_.output, writer_.raster);
      const std::string& path = output_->files().front().path;
      if (const std::string folder = folder_of(path); !is_folder(folder)) {
        fail(StitchOutcome::output_failed, OutputStep::create_raster,
             Status::error(StatusKind::not_found, Side::output, folder,
                           "no such folder, for " + path + " (make it first)"));
        return finish(result_.outcome);
      }
    }
    if (!find_tiles(request_, opener_, observer_, &named_)) return finish(StitchOutcome::cancelled);
    for (const NamedTile& named : named_) result_.tiles.push_back(named.name);
    if (request_.max_tiles != 0 && named_.size() > request_.max_tiles) {
      return finish(StitchOutcome::too_many_tiles);
    }
    if (std::optional<size_t> tile = memory_ ? std::nullopt : tile_that_is_the_result()) {
      result_.clash = named_[*tile].name;
      return finish(StitchOutcome::tile_is_result);
    }
    read_headers();
    // Only folders and archives that could not be read: there is no mosaic to describe.
    if (tiles_read_ == 0 && std::all_of(named_.begin(), named_.end(),
                                        [](const NamedTile& n) { return !n.failure.ok(); })) {
      return finish(StitchOutcome::no_header);
    }
    if (request_.window) {
      // The mosaic is the window, snapped out to the grid, whatever the tiles cover.
      grid_ = snap_outward(*request_.window);
      result_.bounds = MosaicBounds{static_cast<double>(grid_.north) / samples_per_degree,
                                    static_cast<double>(grid_.west) / samples_per_degree,
                                    static_cast<double>(grid_.south) / samples_per_degree,
                                    static_cast<double>(grid_.east) / samples_per_degree};
      result_.size =
          MosaicSize{static_cast<int32_t>(grid_.cols()), static_cast<int32_t>(grid_.rows())};
    } else {
      result_.bounds = unshifted(bounds_, request_.offsets);
      result_.size = mosaic_size(bounds_);
    }
    observer_.mosaic_sized(result_.bounds, result_.size);
    if (tiles_read_ == 0) return finish(StitchOutcome::no_header);
    if (!result_.size || !result_.size->usable()) return finish(StitchOutcome::no_usable_size);
    if (request_.window && std::none_of(tiles_.begin(), tiles_.end(), [&](const TileInput& t) {
          return t.header_read && touches_window(t);
        })) {
      return finish(StitchOutcome::outside_window);
    }
    if (observer_.cancelled()) return finish(StitchOutcome::cancelled);
    write_result();
    return finish(result_.outcome);
  }

 private:
  // Where a tile's files are opened: its archive, or the request's opener.
  SourceOpener& opener_of(const TileInput& tile) {
    const NamedTile& named = named_[static_cast<size_t>(&tile - tiles_.data())];
    if (named.archive) return *named.archive;
    return opener_;
  }
  bool in_archive(const TileInput& tile) const {
    return named_[static_cast<size_t>(&tile - tiles_.data())].archive != nullptr;
  }

  void problem(TileInput& tile, ProblemKind kind, std::string path, Status cause = {},
               std::string detail = {}) {
    tile.problems.push_back(TileProblem{static_cast<size_t>(&tile - tiles_.data()), std::move(path),
                                        kind, std::move(cause), std::move(detail)});
  }

  // The bases a tile's files may have: its name, and for a name given with the extension of
  // either file (NAME.DEM, NAME.hdr), the same without it.
  static std::vector<std::string> tile_bases(const std::string& name) {
    const std::string extension = extension_of(name);
    if (extension != ".dem" && extension != ".hdr") return {name};
    return {name, name.substr(0, name.size() - 4)};
  }

  // A named tile whose header, and so its raster, is the result this run replaces (an old
  // mosaic caught by *.DEM would stand in for the tiles it was made from).
  std::optional<size_t> tile_that_is_the_result() const {
    std::vector<FileId> result_files;
    for (const ResultFile& file : output_->files()) {
      if (auto id = target_id(file.path)) result_files.push_back(*id);
    }
    for (size_t i = 0; i < named_.size() && !result_files.empty(); ++i) {
      if (named_[i].archive || !named_[i].failure.ok()) continue;
      for (const std::string& base : tile_bases(named_[i].name)) {
        std::vector<std::optional<FileId>> files;
        for (const char* extension : {".hdr", ".HDR", ".dem", ".DEM"}) {
          files.push_back(target_id(base + extension));
        }
        if (!files[0] && !files[1]) continue;  // no header: not this tile's files
        for (const auto& id : files) {
          if (id &&
              std::find(result_files.begin(), result_files.end(), *id) != result_files.end()) {
            return i;
          }
        }
        break;
      }
    }
    return std::nullopt;
  }

  // Opens a tile's header: NAME.hdr or NAME.HDR, or else the same for the name without the
  // extension it was given with.
  Status open_header(TileInput& tile, std::unique_ptr<Source>* source) {
    tile.base = tile.name;
    SourceOpener& opener = opener_of(tile);
    Status s = open_either_case(opener, tile.base, ".hdr", ".HDR", source, &tile.header_path);
    std::vector<std::string> bases = tile_bases(tile.name);
    if (s.ok() || bases.size() == 1) return s;
    const std::string& base = bases[1];
    std::string path;
    Status stripped = open_either_case(opener, base, ".hdr", ".HDR", source, &path);
    if (stripped.ok() ||
        (s.kind() == StatusKind::not_found && stripped.kind() != StatusKind::not_found)) {
      tile.base = base;
      tile.header_path = path;
      return stripped;
    }
    return s;
  }

  void read_headers() {
    tiles_.resize(named_.size());
    for (size_t i = 0; i < tiles_.size(); ++i) {
      TileInput& tile = tiles_[i];
      tile.name = named_[i].name;
      if (const Status& failure = named_[i].failure; !failure.ok()) {
        // A folder that cannot be listed, or an archive that cannot be read through.
        tile.header_path = tile.name;
        problem(tile,
                named_[i].folder ? ProblemKind::folder_not_read : ProblemKind::header_not_read,
                tile.name, failure);
        observer_.header_problem(report_of(tile), tile.problems.back());
        continue;
      }
      std::unique_ptr<Source> source;
      Status s = open_header(tile, &source);
      if (s.ok() && tile_bases(tile.name).size() > 1 && is_a_result(*source)) {
        // Named with an extension, as a wildcard names files: an earlier result in a folder
        // of tiles is not taken for one. Named by its base name, it is.
        problem(tile, ProblemKind::result_not_tile, tile.header_path);
        observer_.header_problem(report_of(tile), tile.problems.back());
        continue;
      }
      if (s.ok()) {
        if (auto id = source->id()) tile.files.push_back(*id);
        s = read_header(*source, tile.header);
        if (!s.ok()) {
          tile.header = TileHeader{};
          problem(tile, ProblemKind::header_not_read, tile.header_path, s);
        }
      } else {
        problem(tile, ProblemKind::header_not_opened, tile.header_path, s);
      }
      if (!s.ok()) {
        observer_.header_problem(report_of(tile), tile.problems.back());
        continue;
      }
      tile.header.name = tile.name;
      tile.header_read = true;
      ++tiles_read_;
      const Offsets& offsets = request_.offsets;
      tile.placed =
          tile_rect(tile.header, tile.header.ulx + offsets.x, tile.header.uly + offsets.y);
      tile.bounds = unshifted(tile.placed, offsets);
      bounds_ = fold(bounds_, tile.placed);
      observer_.tile_read(report_of(tile));
      if (std::vector<std::string> doubts = header_doubts(tile.header); !doubts.empty()) {
        std::string detail;
        for (const std::string& doubt : doubts) detail += (detail.empty() ? "" : "; ") + doubt;
        problem(tile, ProblemKind::header_doubtful, tile.header_path, {}, std::move(detail));
        observer_.header_problem(report_of(tile), tile.problems.back());
      }
      take_projection(tile);
    }
  }

  // The result's coordinate system is the first tile's that brings one.
  void take_projection(TileInput& tile) {
    std::unique_ptr<Source> source;
    std::string text;
    Status s = open_either_case(opener_of(tile), tile.base, ".prj", ".PRJ", &source,
                                &tile.projection_path);
    if (s.ok()) s = read_projection(*source, &text);
    if (!s.ok()) {
      // No .prj is the usual case; one that is there but cannot be read is told.
      if (s.kind() != StatusKind::not_found) observer_.projection_not_read(report_of(tile), s);
      tile.projection_path.clear();
      return;
    }
    if (auto id = source->id()) tile.files.push_back(*id);
    if (!projection_from_) {
      projection_from_ = &tile - tiles_.data();
      projection_ = std::move(text);
    } else if (text != projection_ && !projections_differ_) {
      projections_differ_ = true;
      observer_.projections_differ(report_of(tiles_[*projection_from_]), report_of(tile));
    }
  }

  // The columns a tile is moved east for each of its places in the window: across the
  // antimeridian a tile west of 180 may also lie a turn further east.
  std::vector<int64_t> shifts() const {
    if (request_.window && grid_.east > world_columns / 2) return {0, world_columns};
    return {0};
  }

  // Whether a tile's cells meet the window.
  bool touches_window(const TileInput& tile) const {
    auto cells = tile_cells(tile.header);
    if (!cells) return false;
    for (int64_t shift : shifts()) {
      if (window_copy(*cells, shift, grid_, int64_t{2} * cells->cols, nullptr, 0)) return true;
    }
    return false;
  }

  // Opens a tile's raster and measures it; false, with the problem noted, when it cannot be
  // used.
  bool open_raster(TileInput& tile, int64_t* size) {
    Status s = open_either_case(opener_of(tile), tile.base, ".dem", ".DEM", &tile.raster,
                                &tile.raster_path);
    if (!s.ok()) {
      problem(tile, ProblemKind::raster_not_opened, tile.raster_path, s);
      return false;
    }
    if (tile.header.total_row_bytes < 0) {
      problem(tile, ProblemKind::bad_row_length, tile.raster_path, {},
              std::to_string(tile.header.total_row_bytes));
      return false;
    }
    if (auto id = tile.raster->id()) tile.files.push_back(*id);
    if (s = tile.raster->size(size); !s.ok()) {
      problem(tile, ProblemKind::raster_not_read, tile.raster_path, s);
      return false;
    }
    return true;
  }

  // A raster of another length than its header describes is copied as far as it goes, and
  // reported: a truncated download must not pass unnoticed.
  void check_length(TileInput& tile, int64_t size) {
    const TileHeader& header = tile.header;
    const int64_t expected = std::max<int64_t>(0, header.nrows) * header.total_row_bytes;
    if (size == expected) return;
    problem(tile, size < expected ? ProblemKind::raster_short : ProblemKind::raster_long,
            tile.raster_path);
    TileProblem& length = tile.problems.back();
    length.bytes = size;
    length.whole_rows = header.total_row_bytes > 0 ? size / header.total_row_bytes : 0;
    length.expected_rows = header.nrows;
    length.expected_bytes = expected;
  }

  // Opens the raster of every tile that lands in the mosaic and describes its copies. With a
  // window, a tile that misses it has only its header read.
  void plan_copies() {
    plan_ = MosaicPlan{result_.size->row_bytes(), result_.size->out_rows, {}};
    for (TileInput& tile : tiles_) {
      if (!tile.header_read) continue;  // no known place: nothing to copy
      if (request_.window && !touches_window(tile)) continue;
      int64_t size = 0;
      if (!open_raster(tile, &size)) continue;
      const TileHeader& header = tile.header;
      // A raster cut inside a sample leaves that sample no-data, like the rows it lacks,
      // instead of joining half of it to the byte already there.
      const int64_t expected = std::max<int64_t>(0, header.nrows) * header.total_row_bytes;
      const int64_t whole_samples =
          size < expected && size % 2 != 0 && header.total_row_bytes % 2 == 0 ? size - 1 : size;
      if (request_.window) {
        for (int64_t shift : shifts()) {
          auto copy = window_copy(*tile_cells(header), shift, grid_, header.total_row_bytes,
                                  tile.raster.get(), whole_samples);
          if (copy) tile.copies.push_back(*copy);
        }
      } else if (auto start =
                     placement_start(bounds_, tile.placed.left, tile.placed.top, plan_.row_bytes)) {
        auto copy = plan_tile_copy(tile.raster.get(), whole_samples, header.total_row_bytes,
                                   header.nrows, *start, plan_.row_bytes);
        if (copy) tile.copies.push_back(*copy);
      }
      if (tile.copies.empty()) {
        problem(tile, ProblemKind::no_place, tile.raster_path);
        continue;
      }
      plan_.copies.insert(plan_.copies.end(), tile.copies.begin(), tile.copies.end());
      check_length(tile, size);
    }
  }

  void fail(StitchOutcome outcome, OutputStep step, Status error) {
    result_.outcome = outcome;
    result_.failed_step = step;
    result_.error = std::move(error);
  }

  // The step that writes a result's file of that part, and the one that takes its name.
  static OutputStep write_step(ResultPart part) {
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
  static OutputStep name_step(ResultPart part) {
    return part == ResultPart::raster ? OutputStep::create_raster : write_step(part);
  }

  // The result's files, checked, locked and planned for; false, with the failure noted,
  // when nothing can be written. The lock, the checks and the install are the same for
  // every format.
  bool prepare_output(OutputSet& outputs, const Result& format) {
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
    plan_copies();
    if (Status s = check_not_a_tile(touched); !s.ok()) {
      fail(StitchOutcome::output_failed, OutputStep::check_names, s);
      return false;
    }
    return true;
  }

  // Writes the mosaic's bytes through `write`, which notes the copies that came up short;
  // false, with the failure noted, when the result cannot be had.
  bool write_raster(const std::function<Status(std::vector<size_t>*)>& write) {
    std::vector<TileReport> reports;
    for (const TileInput& tile : tiles_) reports.push_back(report_of(tile));
    observer_.raster_started(reports, result_.size->out_rows);
    std::vector<size_t> short_copies;
    Status s = write(&short_copies);
    if (s.kind() == StatusKind::cancelled || observer_.cancelled()) {
      fail(StitchOutcome::cancelled, OutputStep::none, Status::cancelled());
      return false;
    }
    if (!s.ok() && s.side() == Side::input) {
      // A tile that could be opened but not read would leave the mosaic incomplete.
      for (TileInput& tile : tiles_) {
        if (tile.raster && tile.raster->name() == s.path()) {
          problem(tile, ProblemKind::raster_not_read, tile.raster_path, s);
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
    for (TileInput& tile : tiles_) {
      if (std::any_of(short_copies.begin(), short_copies.end(),
                      [&](size_t c) { return plan_.copies[c].source == tile.raster.get(); })) {
        problem(tile, ProblemKind::raster_changed, tile.raster_path);
      }
    }
    return true;
  }

  // The corner the header gives: a window's header gives the centre of its upper-left
  // sample, as the tiles' headers do; a plain mosaic's gives its corner as it has always
  // been written.
  struct Corner {
    double ulx;
    double uly;
    int decimals;
  };
  Corner header_corner() const {
    if (!request_.window) return Corner{result_.bounds.left, result_.bounds.top, 6};
    return Corner{result_.bounds.left + grid_cell / 2, result_.bounds.top - grid_cell / 2,
                  region_corner_decimals};
  }

  // A corner within a millionth of a degree of the 1/120-degree grid (every tile's is, and
  // the raw header's six decimals of it) lies on the grid, at full precision.
  static GeoTransform on_grid(GeoTransform g) {
    auto snap = [](double degrees) {
      const double line = std::round(degrees * samples_per_degree) / samples_per_degree;
      return std::fabs(line - degrees) < 1e-6 ? line : degrees;
    };
    g.west = snap(g.west);
    g.north = snap(g.north);
    return g;
  }

  // What the result is told of the mosaic.
  ResultGrid result_grid() const {
    const Corner corner = header_corner();
    ResultGrid grid;
    grid.size = RasterSize{result_.size->out_cols, result_.size->out_rows};
    grid.header_corner = HeaderCorner{corner.ulx, corner.uly, corner.decimals};
    grid.geo = on_grid(result_geotransform(corner.ulx, corner.uly, corner.decimals));
    grid.projection = projection_from_ ? projection_ : wgs84_text_;
    grid.history = request_.output.history;
    return grid;
  }

  void write_result() {
    const Corner corner = header_corner();
    // The raw result's cells lie where its header puts them; every other format's and an
    // array's corner is the grid's own.
    result_.geotransform = result_geotransform(corner.ulx, corner.uly, corner.decimals);
    if (memory_ != nullptr || request_.output.format != ResultFormat::dem) {
      result_.geotransform = on_grid(*result_.geotransform);
    }
    if (memory_ != nullptr) return read_into_memory();
    Result& format = *output_;
    ResultGrid grid = result_grid();
    if (Status s = format.check_size(grid.size); !s.ok()) {
      // Refused before anything is locked or written.
      return fail(StitchOutcome::output_failed, OutputStep::create_raster, s);
    }
    OutputSet outputs;
    if (!prepare_output(outputs, format)) return;
    grid.mosaic_bytes = plan_.final_size();
    if (Status s = format.start(outputs, grid); !s.ok()) {
      return fail(StitchOutcome::output_failed, OutputStep::create_raster, s);
    }
    if (Status s = check_space(format.files().front().path, format.space_needed(grid)); !s.ok()) {
      return fail(StitchOutcome::output_failed, OutputStep::check_space, s);
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
  bool write_bands(Result& format) {
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
  bool write_rows(Result& format) {
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
  void read_into_memory() {
    plan_copies();
    const std::span<int16_t> samples = (*memory_)(*result_.size);
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
  void install(OutputSet& outputs, const Result& format) {
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

  // No name the result takes or removes may be a named tile's file: not by its name in
  // any case (--output=w020n40 beside w020n40.hdr), nor as a link to it or another name of
  // it (the files actually read are compared, whatever led to them). A GeoTIFF named after
  // its tile (T1.tif from T1) is none of these.
  Status check_not_a_tile(const std::vector<std::string>& touched) const {
    const std::optional<FileId> result_folder = target_id(folder_of(output_->files().front().path));
    for (const TileInput& tile : tiles_) {
      std::vector<FileId> files = tile.files;
      // A tile in an archive is known by the archive's identity alone.
      const std::vector<std::string> bases =
          in_archive(tile) ? std::vector<std::string>{} : tile_bases(tile.name);
      for (const std::string& base : bases) {
        // By name in any case: a file system that ignores case would give the same file.
        if (target_id(folder_of(base)) == result_folder) {
          for (const std::string& path : touched) {
            for (const char* extension : {".hdr", ".dem", ".prj"}) {
              if (equal_ignoring_case(base_name(path), base_name(base) + extension)) {
                return clash(path, tile);
              }
            }
          }
        }
        for (const char* extension : {"", ".hdr", ".HDR", ".dem", ".DEM", ".prj", ".PRJ"}) {
          for (auto id : {file_id(base + extension), target_id(base + extension)}) {
            if (id) files.push_back(*id);
          }
        }
      }
      for (const std::string& path : touched) {
        for (auto id : {file_id(path), target_id(path)}) {
          if (id && std::find(files.begin(), files.end(), *id) != files.end()) {
            return clash(path, tile);
          }
        }
      }
    }
    return {};
  }

  Status clash(const std::string& path, const TileInput& tile) const {
    return Status::error(StatusKind::io_error, Side::output, path,
                         "would replace a file of the named tile " + tile.name);
  }

  // Whether the disk holding the result has room for `needed` bytes.
  static Status check_space(const std::string& raster_path, int64_t needed) {
    if (needed <= 0) return {};  // not known ahead
    std::optional<int64_t> available = free_space(folder_of(raster_path));
    if (!available || needed <= *available) return {};  // nothing known: let the writes tell
    return Status::error(
        StatusKind::no_space, Side::output, raster_path,
        format("%lld bytes needed, %lld bytes free", static_cast<long long>(needed),
               static_cast<long long>(*available)));
  }

  StitchResult finish(StitchOutcome outcome) {
    result_.outcome = outcome;
    for (const TileInput& tile : tiles_) {
      result_.problems.insert(result_.problems.end(), tile.problems.begin(), tile.problems.end());
    }
    return std::move(result_);
  }

  const StitchRequest& request_;
  const MosaicMemory* memory_;  // where a read puts the mosaic; none when files are written
  const WriterOptions& writer_;
  StitchObserver& observer_;
  std::unique_ptr<Result> output_;  // the result's format, when files are written
  FileOpener file_opener_;
  SourceOpener& opener_;
  std::vector<NamedTile> named_;
  std::vector<TileInput> tiles_;
  MosaicBounds bounds_;  // laid out with the offsets
  MosaicPlan plan_;
  GridWindow grid_{};  // the window on the grid, when one is asked for
  int tiles_read_ = 0;
  std::optional<size_t> projection_from_;  // the tile whose .prj the result takes
  std::string projection_;
  bool projections_differ_ = false;
  const std::string wgs84_text_ = wgs84_esri_wkt;
  StitchResult result_;
};

// A run, with running out of memory as its outcome rather than an exception.
StitchResult stitch_guarded(const StitchRequest& request, StitchObserver& observer,
                            const WriterOptions& writer, const MosaicMemory* memory) {
  try {
    return Stitcher(request, observer, writer, memory).run();
  } catch (const std::bad_alloc&) {
    StitchResult result;
    result.outcome = StitchOutcome::output_failed;
    result.error = Status::error(StatusKind::no_memory, Side::none, {}, "out of memory");
    return result;
  }
}

}  // namespace

TileNamesProblem check_tile_names(std::span<const std::string> names, size_t* which) {
  *which = 0;
  if (names.empty()) return TileNamesProblem::no_tiles;
  if (names.size() > max_tiles) return TileNamesProblem::too_many;
  for (size_t i = 0; i < names.size(); ++i) {
    *which = i;
    if (names[i].empty()) return TileNamesProblem::empty_name;
    if (names[i].find('\0') != std::string::npos) return TileNamesProblem::null_byte;
    if (names[i].size() > max_name_length) return TileNamesProblem::name_too_long;
  }
  return TileNamesProblem::none;
}

StitchResult stitch(const StitchRequest& request, StitchObserver& observer) {
  return stitch(request, observer, WriterOptions{});
}

StitchResult read_mosaic(const StitchRequest& request, StitchObserver& observer,
                         const MosaicMemory& memory) {
  return stitch_guarded(request, observer, WriterOptions{}, &memory);
}

StitchResult stitch(const StitchRequest& request, StitchObserver& observer,
                    const WriterOptions& writer) {
  return stitch_guarded(request, observer, writer, nullptr);
}

}  // namespace demstitch
