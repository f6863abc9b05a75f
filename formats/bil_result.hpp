#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "base/status.hpp"
#include "formats/band_sink.hpp"
#include "formats/result.hpp"
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
// coordinate system), three files of one OutputSet. It takes the mosaic's bands as they are.
class BilResult final : public Result {
 public:
  explicit BilResult(const std::string& base, RawRasterOptions options = {});

  std::span<const ResultFile> files() const override { return files_; }
  // Statistics, overviews, and the copy of the header GDAL writes in lower case when it
  // updates one.
  std::span<const std::string> side_files() const override { return side_files_; }
  int64_t space_needed(const ResultGrid& grid) const override;
  Status start(OutputSet& outputs, const ResultGrid& grid) override;
  BandSink* band_sink() override { return raster_.get(); }
  Status finish(OutputSet& outputs, ResultPart* failed) override;

  const std::string& raster_path() const { return files_[0].path; }
  const std::string& header_path() const { return files_[1].path; }
  // The raster as a file, for the fill-then-patch reference writer; once started.
  File& raster_file() { return *raster_file_; }

 private:
  std::vector<ResultFile> files_;
  std::vector<std::string> side_files_;
  RawRasterOptions options_;
  std::string header_text_;
  std::string projection_;
  File* raster_file_ = nullptr;
  std::unique_ptr<RawRaster> raster_;
};

// Writes `text` as the whole of a new file of `outputs`.
Status write_text_file(OutputSet& outputs, const std::string& path, const std::string& text);

}  // namespace demstitch
