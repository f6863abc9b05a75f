#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "base/status.hpp"
#include "formats/band_sink.hpp"
#include "io/file.hpp"
#include "io/output_set.hpp"

namespace demstitch {

// How a raw raster is written; the defaults were chosen by measurement (see bench/).
struct RawRasterOptions {
  int64_t write_bytes = io_chunk_bytes;  // the most one write moves
  bool reserve_space = true;             // allocate the whole file before writing it
};

// A raw raster file that takes the mosaic's bands as they are: its bytes are the mosaic's,
// written once, in order. The file must be new and empty.
class RawRaster final : public BandSink {
 public:
  explicit RawRaster(File& file, RawRasterOptions options = {}) : file_(file), options_(options) {}
  Status begin(int64_t total_bytes) override;
  Status write_band(int64_t offset, std::span<const std::byte> band) override;

 private:
  File& file_;
  RawRasterOptions options_;
};

// The BIL result: BASE.DEM (the raw raster), BASE.HDR (its header) and BASE.prj (its
// coordinate system), three files of one OutputSet.
class BilResult {
 public:
  explicit BilResult(const std::string& base);

  // Its files, in the order they are written: raster, header, coordinate system.
  const std::vector<std::string>& files() const { return files_; }
  const std::string& raster_path() const { return files_[0]; }
  const std::string& header_path() const { return files_[1]; }
  // What GIS tools keep beside the raster (statistics, overviews, and the copy of the
  // header GDAL writes in lower case when it updates one): it describes an earlier mosaic,
  // and goes when the new one comes.
  const std::vector<std::string>& side_files() const { return side_files_; }

  // Starts the raster's file in `outputs`.
  Status start_raster(OutputSet& outputs, RawRasterOptions options = {});
  // The raster, as bands come, and as a file (for the fill-then-patch reference writer).
  BandSink& raster() { return *raster_; }
  File& raster_file() { return *raster_file_; }
  Status write_header(OutputSet& outputs, const std::string& text);
  Status write_projection(OutputSet& outputs, const std::string& text);

 private:
  std::vector<std::string> files_;
  std::vector<std::string> side_files_;
  File* raster_file_ = nullptr;
  std::unique_ptr<RawRaster> raster_;
};

}  // namespace demstitch
