#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "base/status.hpp"
#include "formats/band_sink.hpp"
#include "formats/geo_transform.hpp"
#include "formats/overview.hpp"
#include "io/output_set.hpp"

namespace demstitch {

// The corner a raw header writes: the mosaic's outer corner (a plain mosaic), or the centre
// of its upper-left sample (a region), with so many decimals.
struct HeaderCorner {
  double ulx = 0;
  double uly = 0;
  int decimals = 6;
};

// What a result is told of the mosaic before it is written.
struct ResultGrid {
  RasterSize size;
  GeoTransform geo;  // the grid's own corner: where a GeoTIFF or an array puts the cells
  HeaderCorner header_corner;
  // The bytes the band writer hands over: the rows, and any spill of a long last row past
  // them (a raw raster keeps it, as it always has).
  int64_t mosaic_bytes = 0;
  std::string projection;  // the coordinate system as a .prj holds it
  std::string history;     // how the result was made (the command), for formats that keep it
};

// The part a result's file plays, so a failure can say which step it was.
enum class ResultPart { raster, header, projection };

struct ResultFile {
  std::string path;
  ResultPart part = ResultPart::raster;
};

// One result format: its files, how it takes the mosaic and how it finishes. The lock, the
// name checks, the journal and the all-or-nothing install are the caller's, the same for
// every format: a result only adds its files to the OutputSet it is given.
//
// A result takes the mosaic one of two ways: as finished bands in order (band_sink(), the
// raw raster and the NetCDF file), or by reading any rows it needs itself (reads_rows(), a
// tiled format such as the GeoTIFF).
class Result {
 public:
  virtual ~Result() = default;
  // The files put in place, the raster (or the only file) first.
  virtual std::span<const ResultFile> files() const = 0;
  // What GIS tools keep beside such a result (statistics, overviews): they describe an earlier
  // result, and go when the new one comes.
  virtual std::span<const std::string> side_files() const = 0;
  // Refuses a mosaic this format cannot hold, before anything is locked or written.
  virtual Status check_size(RasterSize /*size*/) const { return {}; }
  // The bytes its files take, for the free-space check made before any is started; 0 when
  // that is not known ahead.
  virtual int64_t space_needed(const ResultGrid& /*grid*/) const { return 0; }
  // Creates its files in `outputs`, for the mosaic `grid` describes.
  virtual Status start(OutputSet& outputs, const ResultGrid& grid) = 0;
  // Where the mosaic's bands go, for a format that takes them in order.
  virtual BandSink* band_sink() { return nullptr; }
  // For a format that reads rows: how many readers it uses at once.
  virtual int readers_wanted() const { return 0; }
  // Told what share of the work is done (0 to 1); false stops the write (cancelled).
  using Progress = std::function<bool(double done)>;
  // Reads the mosaic through `readers` (one a thread) and writes it.
  virtual Status write_rows(std::span<RowReader* const> /*readers*/, const Progress& /*progress*/) {
    return Status::error(StatusKind::io_error, Side::output, files().front().path,
                         "this format takes bands");
  }
  // Writes what follows the mosaic (a header, the coordinate system); `failed` is set to the
  // part of the file that could not be written.
  virtual Status finish(OutputSet& /*outputs*/, ResultPart* /*failed*/) { return {}; }
};

}  // namespace demstitch
