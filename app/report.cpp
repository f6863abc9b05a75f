#include "app/report.hpp"

#include "io/console.hpp"

namespace demstitch {

std::string usage_text(std::string_view program) {
  std::string name(program);
  return format(
      "Usage:\n\n\t%s [-h,w] file1 [file2 [file3 [...]]]\n\n"
      "where file[n] is the name of the GTOPO30 tile to be stitched together,\n"
      "These file names should have no extensions. The .HDR and .DEM files must\n"
      "be present on the path provided.\n"
      "If provided h and w are numeric offsets for the input positions\n",
      name.c_str());
}

std::string tile_bounds_line(const TileRect& shifted, double offset_x, double offset_y,
                             const std::string& path) {
  return format("%40.2lf%10.2lf%10.2lf%10.2lf\r%s\n", shifted.top - offset_y,
                shifted.left - offset_x, shifted.bottom - offset_y, shifted.right - offset_x,
                path.c_str());
}

MosaicCorner result_corner(const MosaicBounds& bounds, double offset_x, double offset_y) {
  return MosaicCorner{bounds.left - offset_x, bounds.top - offset_y};
}

std::string final_bounds_text(const MosaicBounds& bounds, double offset_x, double offset_y,
                              const std::optional<MosaicSize>& size) {
  MosaicCorner corner = result_corner(bounds, offset_x, offset_y);
  std::string text =
      format("\n\nFinal output bounds: %10.1lf%10.2lf%10.2lf%10.2lf\n", corner.result_uly,
             corner.result_ulx, bounds.bottom - offset_y, bounds.right - offset_x);
  if (size) {
    // The byte count is the true product: the same as a 32-bit one below 2 GiB.
    text += format("%dx%d samples = %lld bytes\n", size->out_cols, size->out_rows,
                   static_cast<long long>(size->bytes()));
  }
  return text;
}

}  // namespace demstitch
