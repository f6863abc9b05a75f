#include "mosaic/stitch.hpp"

#include <algorithm>
#include <memory>
#include <new>
#include <utility>

#include "formats/result_formats.hpp"
#include "io/filesystem.hpp"
#include "io/source.hpp"
#include "mosaic/copy_planning.hpp"
#include "mosaic/result_output.hpp"
#include "mosaic/tile_inputs.hpp"
#include "mosaic/writer_options.hpp"

namespace demstitch {
namespace {

// One run: the tiles found and their headers read (tile_inputs.cpp), the mosaic laid out
// and its copies planned (copy_planning.cpp), the result written and installed, or read
// into memory (result_output.cpp).
class Stitcher {
 public:
  Stitcher(const StitchRequest& request, StitchObserver& observer, const WriterOptions& writer,
           const MosaicMemory* memory)
      : request_(request),
        memory_(memory),
        writer_(writer),
        observer_(observer),
        inputs_(request_, request.opener != nullptr ? *request.opener : file_opener_, observer) {}

  StitchResult run() {
    // The names and the window are checked before anything is read (a library caller may
    // not have).
    result_.request = check_request(&request_);
    if (!result_.request.ok()) return finish(StitchOutcome::bad_request);
    if (memory_ == nullptr) {
      format_ = make_result(request_.output, writer_.raster);
      // A result whose folder is not there fails before any tile is read.
      const std::string& path = format_->files().front().path;
      if (const std::string folder = folder_of(path); !is_folder(folder)) {
        return fail(StitchOutcome::output_failed, OutputStep::create_raster,
                    Status::error(StatusKind::not_found, Side::output, folder,
                                  "no such folder, for " + path + " (make it first)"));
      }
    }
    if (!inputs_.find()) return finish(StitchOutcome::cancelled);
    for (const NamedTile& named : inputs_.named()) result_.tiles.push_back(named.name);
    if (request_.max_tiles != 0 && inputs_.named().size() > request_.max_tiles) {
      return finish(StitchOutcome::too_many_tiles);
    }
    if (auto tile = format_ ? inputs_.tile_that_is(format_->files()) : std::nullopt) {
      result_.clash = inputs_.named()[*tile].name;
      return finish(StitchOutcome::tile_is_result);
    }
    inputs_.read_headers();
    // Only folders and archives that could not be read: there is no mosaic to describe.
    if (inputs_.only_failures()) return finish(StitchOutcome::no_header);
    const MosaicLayout layout = lay_out(request_.window, inputs_.bounds(), request_.offsets);
    result_.bounds = layout.bounds;
    result_.size = layout.size;
    observer_.mosaic_sized(result_.bounds, result_.size);
    if (inputs_.headers_read() == 0) return finish(StitchOutcome::no_header);
    if (!result_.size || !result_.size->usable()) return finish(StitchOutcome::no_usable_size);
    if (layout.window &&
        std::none_of(inputs_.tiles().begin(), inputs_.tiles().end(), [&](const TileInput& t) {
          return t.header_read && touches_window(t.header, *layout.window);
        })) {
      return finish(StitchOutcome::outside_window);
    }
    if (observer_.cancelled()) return finish(StitchOutcome::cancelled);
    // The raw result's cells lie where its header puts them; every other format's and an
    // array's corner is the grid's own.
    const ResultPlace place = result_place(layout);
    const bool raw = format_ && request_.output.format == ResultFormat::dem;
    result_.geotransform = raw ? place.header : place.grid;
    ResultOutput output(inputs_, observer_, writer_, result_);
    if (memory_ != nullptr) {
      output.read_into(*memory_, layout);
    } else {
      ResultGrid grid;
      grid.size = RasterSize{result_.size->out_cols, result_.size->out_rows};
      grid.geo = place.grid;
      grid.header_corner = place.corner;
      grid.projection = inputs_.projection();
      grid.history = request_.output.history;
      output.write_files(*format_, layout, grid);
    }
    return finish(result_.outcome);
  }

 private:
  StitchResult fail(StitchOutcome outcome, OutputStep step, Status error) {
    result_.failed_step = step;
    result_.error = std::move(error);
    return finish(outcome);
  }

  StitchResult finish(StitchOutcome outcome) {
    result_.outcome = outcome;
    for (const TileInput& tile : inputs_.tiles()) {
      result_.problems.insert(result_.problems.end(), tile.problems.begin(), tile.problems.end());
    }
    return std::move(result_);
  }

  StitchRequest request_;
  const MosaicMemory* memory_;  // where a read puts the mosaic; none when files are written
  const WriterOptions& writer_;
  StitchObserver& observer_;
  FileOpener file_opener_;
  TileInputs inputs_;
  std::unique_ptr<Result> format_;  // the result's format, when files are written
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

RequestProblem check_request(StitchRequest* request) {
  RequestProblem problem;
  for (size_t i = 0; i < request->tiles.size() && problem.ok(); ++i) {
    problem.tile = i;
    const std::string& name = request->tiles[i];
    if (name.find('\0') != std::string::npos) problem.names = TileNamesProblem::null_byte;
    if (name.size() > max_name_length) problem.names = TileNamesProblem::name_too_long;
  }
  if (request->window) problem.window = check_window(&*request->window);
  return problem;
}

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
