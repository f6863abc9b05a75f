#include "formats/bil_result.hpp"

#include <algorithm>
#include <memory>

#include "formats/result_header.hpp"

namespace demstitch {

Status write_text_file(OutputSet& outputs, const std::string& path, const std::string& text) {
  File* file = nullptr;
  Status s = outputs.add(path, &file);
  if (s.ok()) s = file->write_all(std::as_bytes(std::span(text)));
  return s;
}

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

BilResult::BilResult(const std::string& base, RawRasterOptions options)
    // The .prj in lower case on purpose: GIS tools look for BASE.prj, BASE.PRJ or base.prj
    // beside BASE.DEM, and on a file system where case matters BASE.PRJ is not found.
    : files_{{base + ".DEM", ResultPart::raster},
             {base + ".HDR", ResultPart::header},
             {base + ".prj", ResultPart::projection}},
      side_files_{base + ".stx", base + ".STX", base + ".DEM.aux.xml", base + ".DEM.ovr",
                  base + ".hdr"},
      options_(options) {}

int64_t BilResult::space_needed(const ResultGrid& grid) const {
  const HeaderCorner& c = grid.header_corner;
  return grid.mosaic_bytes + std::ssize(result_header_text(grid.size.height, grid.size.width, c.ulx,
                                                           c.uly, c.decimals));
}

Status BilResult::start(OutputSet& outputs, const ResultGrid& grid) {
  const HeaderCorner& c = grid.header_corner;
  header_text_ = result_header_text(grid.size.height, grid.size.width, c.ulx, c.uly, c.decimals);
  projection_ = grid.projection;
  if (Status s = outputs.add(raster_path(), &raster_file_); !s.ok()) return s;
  raster_ = std::make_unique<RawRaster>(*raster_file_, options_);
  return {};
}

Status BilResult::finish(OutputSet& outputs, ResultPart* failed) {
  *failed = ResultPart::header;
  if (Status s = write_text_file(outputs, header_path(), header_text_); !s.ok()) return s;
  *failed = ResultPart::projection;
  return write_text_file(outputs, files_[2].path, projection_);
}

}  // namespace demstitch
