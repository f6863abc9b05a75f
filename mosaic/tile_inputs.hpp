#pragma once

// A run's tiles, from their names to their rasters: found (folders, archives), their headers
// read and folded into the mosaic's bounds, the coordinate system taken from the first .prj,
// each raster opened and measured, and the checks that keep a result from taking a tile's
// file. Internal to stitch().
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "formats/result.hpp"
#include "formats/tile_header.hpp"
#include "io/filesystem.hpp"
#include "io/source.hpp"
#include "mosaic/plan.hpp"
#include "mosaic/stitch.hpp"
#include "mosaic/tile_finder.hpp"

namespace demstitch {

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

// What the observer is told of a tile.
TileReport report_of(const TileInput& tile);

class TileInputs {
 public:
  TileInputs(const StitchRequest& request, SourceOpener& opener, StitchObserver& observer)
      : request_(request), opener_(opener), observer_(observer) {}

  // Finds the named tiles (find_tiles); false when the run is cancelled.
  bool find();
  const std::vector<NamedTile>& named() const { return named_; }
  // A named tile whose header, and so its raster, is one of the result's files (an old
  // mosaic caught by *.DEM would stand in for the tiles it was made from).
  std::optional<size_t> tile_that_is(std::span<const ResultFile> result_files) const;

  // Reads every tile's header and .prj, telling the observer.
  void read_headers();
  std::vector<TileInput>& tiles() { return tiles_; }
  const std::vector<TileInput>& tiles() const { return tiles_; }
  int headers_read() const { return headers_read_; }
  // Whether every name was a folder or archive that could not be read.
  bool only_failures() const;
  // The tiles' bounds, laid out with the offsets.
  const MosaicBounds& bounds() const { return bounds_; }
  // The coordinate system the result takes: the first tile's .prj, or WGS 84.
  const std::string& projection() const { return projection_; }

  // Opens a tile's raster and measures it; false, with the problem noted, when it cannot be
  // used.
  bool open_raster(TileInput& tile, int64_t* size);
  // A raster of another length than its header describes is copied as far as it goes, and
  // reported: a truncated download must not pass unnoticed.
  void check_length(TileInput& tile, int64_t size);
  void problem(TileInput& tile, ProblemKind kind, std::string path, Status cause = {},
               std::string detail = {});

  // No name the result takes or removes (`touched`, beside `result_path`) may be a named
  // tile's file: not by its name in any case (--output=w020n40 beside w020n40.hdr), nor as
  // a link to it or another name of it (the files actually read are compared, whatever led
  // to them). A GeoTIFF named after its tile (T1.tif from T1) is none of these.
  Status check_not_a_tile(std::span<const std::string> touched,
                          const std::string& result_path) const;

 private:
  SourceOpener& opener_of(const TileInput& tile);
  bool in_archive(const TileInput& tile) const;
  Status open_header(TileInput& tile, std::unique_ptr<Source>* source);
  void take_projection(TileInput& tile);

  const StitchRequest& request_;
  SourceOpener& opener_;
  StitchObserver& observer_;
  std::vector<NamedTile> named_;
  std::vector<TileInput> tiles_;
  MosaicBounds bounds_;
  int headers_read_ = 0;
  std::optional<size_t> projection_from_;  // the tile whose .prj the result takes
  std::string projection_;
  bool projections_differ_ = false;
};

}  // namespace demstitch
