#include "formats/bil_result.hpp"

#include <algorithm>
#include <memory>

namespace demstitch {
namespace {

Status write_text(OutputSet& outputs, const std::string& path, const std::string& text) {
  File* file = nullptr;
  Status s = outputs.add(path, &file);
  if (s.ok()) s = file->write_all(std::as_bytes(std::span(text)));
  return s;
}

}  // namespace

Status RawRaster::begin(int64_t total_bytes) {
  if (!options_.reserve_space) return {};
  return file_.reserve(total_bytes);
}

Status RawRaster::write_band(int64_t /*offset*/, std::span<const std::byte> band) {
  // Bands come in order into a file written from its start: each follows the last.
  while (!band.empty()) {
    size_t n = std::min(band.size(), static_cast<size_t>(options_.write_bytes));
    if (Status s = file_.write_all(band.first(n)); !s.ok()) return s;
    band = band.subspan(n);
  }
  return {};
}

BilResult::BilResult(const std::string& base)
    // The .prj in lower case on purpose: GIS tools look for BASE.prj, BASE.PRJ or base.prj
    // beside BASE.DEM, and on a file system where case matters BASE.PRJ is not found.
    : files_{base + ".DEM", base + ".HDR", base + ".prj"},
      side_files_{base + ".stx", base + ".STX", base + ".DEM.aux.xml", base + ".DEM.ovr",
                  base + ".hdr"} {}

Status BilResult::start_raster(OutputSet& outputs, RawRasterOptions options) {
  if (Status s = outputs.add(files_[0], &raster_file_); !s.ok()) return s;
  raster_ = std::make_unique<RawRaster>(*raster_file_, options);
  return {};
}

Status BilResult::write_header(OutputSet& outputs, const std::string& text) {
  return write_text(outputs, files_[1], text);
}

Status BilResult::write_projection(OutputSet& outputs, const std::string& text) {
  return write_text(outputs, files_[2], text);
}

}  // namespace demstitch
