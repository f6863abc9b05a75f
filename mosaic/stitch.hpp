#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/status.hpp"
#include "formats/geo_transform.hpp"
#include "formats/result_formats.hpp"
#include "mosaic/grid.hpp"
#include "mosaic/window.hpp"

namespace demstitch {

class SourceOpener;

// The most tiles one run names, and the longest name (it must leave room for a
// four-character extension in a 512-byte path).
inline constexpr size_t max_tiles = 64;
inline constexpr size_t max_name_length = 507;

// What is wrong with the tile names of a request, if anything.
enum class TileNamesProblem { none, no_tiles, too_many, empty_name, name_too_long, null_byte };
// Checks the names against the limits above; `*which` is the offending name's index.
TileNamesProblem check_tile_names(std::span<const std::string> names, size_t* which);

// What to stitch, and where to.
struct StitchRequest {
  // Base names, in the order they overwrite each other. A folder stands for the tiles in it
  // (loose and in archives) in name order, an archive (.tar.gz, .zip, .tar) for the tiles in
  // it in its order.
  std::vector<std::string> tiles;
  // The most tiles a run takes, those of folders and archives counted; 0 for no limit.
  size_t max_tiles = 0;
  Offsets offsets;  // a plain stitch's; a window places tiles by their own corners
  // The region to cut out; without one the mosaic covers every tile.
  std::optional<GeoWindow> window;
  // Where the result goes and in which format (resolve_output makes one from a caller's
  // choices).
  OutputRequest output;
  // Whether the result may replace files of the named tiles: so a previous GTResult named
  // as a tile is updated in place, as it always was; a chosen --output never replaces a tile.
  bool may_replace_tiles = false;
  SourceOpener* opener = nullptr;  // where tiles are read from; the file system when null
  // The folder the indexes of .tar.gz archives are kept in between runs (the command line's
  // is user_cache_folder()); empty: none is read or kept.
  std::string index_cache;
};

// Why a named tile was not used, or not used whole.
enum class ProblemKind {
  folder_not_read,  // a named folder is not there, cannot be listed or holds no tiles
  header_not_opened,
  header_not_read,  // opened, but reading it failed
  header_doubtful,  // read and used, but it lacks a corner or describes other samples
  result_not_tile,  // named with an extension, it is a result of this program: not read
  raster_not_opened,
  raster_not_read,  // opened, but its size could not be had
  bad_row_length,   // its rows are said to be shorter than nothing
  no_place,         // its corner puts it beyond any mosaic
  raster_short,     // it holds fewer rows than its header describes (the rest is no-data)
  raster_long,      // it holds more bytes than its header describes
  raster_changed,   // it delivered fewer bytes than it had when the run began
};

struct TileProblem {
  size_t tile = 0;  // index among the request's tiles
  std::string path;
  ProblemKind kind = ProblemKind::header_not_opened;
  Status cause;        // the failure behind it, where there was one
  std::string detail;  // the offending value, where there was one
  // For a raster of another length than its header describes: what it holds (bytes, whole
  // rows) and what the header describes (rows, bytes).
  int64_t bytes = 0;
  int64_t whole_rows = 0;
  int64_t expected_rows = 0;
  int64_t expected_bytes = 0;
};

// What a caller learns of one tile: its names, where it lies, how much of it the mosaic
// takes, and what went wrong with it.
struct TileReport {
  std::string name;             // as named, or "ARCHIVE:STEM" for a tile in an archive
  std::string header_path;      // the header opened, or the lower-case name tried
  std::string raster_path;      // likewise for the raster, once it is looked for
  std::string projection_path;  // its .prj, where it has one
  bool header_read = false;
  TileRect bounds{};      // in the tile's own coordinates, once its header is read
  int32_t rows = 0;       // the rows its header describes
  int64_t rows_used = 0;  // the rows of it that land in the mosaic (with a window, those in it)
  bool used = false;      // whether any of it lands in the mosaic
  std::vector<TileProblem> problems;
};

// Events of a run, in the order they happen; the command line turns them into console text.
// Calls come from the thread that called stitch(), except archives_read, bytes_written and
// cancelled, which may come from a listing or writer thread (one at a time).
class StitchObserver {
 public:
  virtual ~StitchObserver() = default;
  // Files in a named folder that are neither tiles nor archives (or are results of this
  // program) were passed over.
  virtual void folder_skipped(const std::string& /*folder*/, size_t /*files*/) {}
  // So many bytes of the named archives' files are read, of `total`, while they are listed
  // (from a listing thread, one call at a time); a tile's header is read after.
  virtual void archives_read(int64_t /*done*/, int64_t /*total*/) {}
  // A header was read: the tile's bounds are known.
  virtual void tile_read(const TileReport& /*tile*/) {}
  // A tile's header could not be opened or read, or was read and is doubtful (raster problems
  // arrive with raster_started, and a raster that changed while it was read in the result).
  virtual void header_problem(const TileReport& /*tile*/, const TileProblem& /*problem*/) {}
  // A tile's .prj is there but cannot be used (see `cause`): the result does without it.
  virtual void projection_not_read(const TileReport& /*tile*/, const Status& /*cause*/) {}
  // Two tiles bring different coordinate systems; the result takes the first's. Told once.
  virtual void projections_differ(const TileReport& /*taken*/, const TileReport& /*other*/) {}
  // All headers are read: the mosaic's bounds in the tiles' own coordinates, and its size
  // when that can be represented.
  virtual void mosaic_sized(const MosaicBounds& /*bounds*/,
                            const std::optional<MosaicSize>& /*size*/) {}
  // The raster is about to be written; the tiles carry the rows they give and their raster
  // problems.
  virtual void raster_started(std::span<const TileReport> /*tiles*/, int32_t /*out_rows*/) {}
  // So many of the mosaic's bytes are final.
  virtual void bytes_written(int64_t /*done*/, int64_t /*total*/) {}
  // Asked between steps; true ends the run as cancelled, removing what it wrote.
  virtual bool cancelled() { return false; }
};

enum class StitchOutcome {
  written,         // the result is in place (see `problems` for tiles not used whole)
  bad_request,     // the request's tile names or window cannot be used (`request`): nothing read
  too_many_tiles,  // the folders and archives named hold more than max_tiles: nothing read
  tile_is_result,  // a named tile is the result this run would replace: nothing read
  no_header,       // no header could be read: nothing written
  no_usable_size,  // the headers describe no mosaic that can be written: nothing written
  outside_window,  // no named tile touches the window: nothing written
  output_failed,   // the result could not be written; an earlier one is kept
  input_failed,    // a tile failed while being copied: nothing written
  cancelled,       // stopped on request; an earlier result is kept
};

// The step of writing the result that failed.
enum class OutputStep {
  none,
  lock,
  check_names,  // a name the result would take or remove belongs to a named tile
  create_raster,
  check_space,
  write_raster,
  write_header,
  write_projection,
  install,
};

// What is wrong with a request, in neutral terms: its tile names (the offending one's index)
// or its window.
struct RequestProblem {
  TileNamesProblem names = TileNamesProblem::none;
  size_t tile = 0;
  WindowProblem window = WindowProblem::none;
  bool ok() const { return names == TileNamesProblem::none && window == WindowProblem::none; }
};

// Checks what a request names before anything is read: no name holds a NUL or is longer
// than max_name_length, and the window is one (put in the form the run uses, as
// check_window does). stitch() and read_mosaic() check; a front end checks first (with
// check_tile_names and check_window, which also refuse what a command line or a Python call
// must not name) to word a problem its own way.
RequestProblem check_request(StitchRequest* request);

struct StitchResult {
  StitchOutcome outcome = StitchOutcome::written;
  RequestProblem request;  // what is wrong with the request (bad_request)
  OutputStep failed_step = OutputStep::none;
  Status error;  // what ended the run, when it did not end written
  std::vector<TileProblem> problems;
  // The tiles by name, once folders and archives are opened ("W020N40.tar.gz:W020N40" for
  // one in an archive); a problem's `tile` indexes these.
  std::vector<std::string> tiles;
  MosaicBounds bounds;  // in the tiles' own coordinates
  std::optional<MosaicSize> size;
  // Where GDAL puts the result's cells (from the header as written), once the size is known.
  std::optional<GeoTransform> geotransform;
  // The files put in place, when the result is written (none for read_mosaic).
  std::vector<std::string> files;
  std::string clash;  // the named tile whose file is in the way (tile_is_result, check_names)
  // Side files of an earlier result left in place because they are not files (a folder).
  std::vector<std::string> kept;
  // Copies of the earlier result the install could not remove: the next run removes them.
  std::vector<Status> leftovers;
};

// Stitches the named tiles into the result request.output names. Prints nothing: what
// happens is told to `observer` and summed up in the result.
StitchResult stitch(const StitchRequest& request, StitchObserver& observer);

// Where read_mosaic() puts the mosaic: room for size.out_cols * size.out_rows samples, asked
// for once the size is known; an empty span when it cannot be had (the read then fails with
// kind no_memory).
using MosaicMemory = std::function<std::span<int16_t>(const MosaicSize& size)>;

// The same mosaic as stitch() would write, into memory: rows north to south, samples in the
// machine's byte order. No file is written and no lock taken; the request's output, format
// and may_replace_tiles are not used. Outcomes as stitch()'s (output_failed when the memory
// cannot be had).
StitchResult read_mosaic(const StitchRequest& request, StitchObserver& observer,
                         const MosaicMemory& memory);

}  // namespace demstitch
