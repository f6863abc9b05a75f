// Any bytes as a header file: the read must not fail, and reading the same bytes in two
// pieces must give the same record as reading them whole.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "formats/tile_header.hpp"

namespace {

bool same(const demstitch::TileHeader& a, const demstitch::TileHeader& b) {
  auto same_real = [](double x, double y) { return x == y || (x != x && y != y); };
  return a.byte_order == b.byte_order && a.layout == b.layout && a.nrows == b.nrows &&
         a.ncols == b.ncols && a.nbits == b.nbits && a.nbands == b.nbands &&
         a.band_row_bytes == b.band_row_bytes && a.total_row_bytes == b.total_row_bytes &&
         a.band_gap_bytes == b.band_gap_bytes && a.nodata == b.nodata && same_real(a.ulx, b.ulx) &&
         same_real(a.uly, b.uly) && same_real(a.xdim, b.xdim) && same_real(a.ydim, b.ydim);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  demstitch::TileHeader whole;
  int32_t whole_count = demstitch::read_header_text(whole, text);

  size_t cut = size == 0 ? 0 : data[0] % size;
  demstitch::TileHeader pieces;
  demstitch::HeaderReader reader(pieces);
  reader.feed(text.substr(0, cut));
  reader.feed(text.substr(cut));
  int32_t pieces_count = reader.finish();

  if (whole_count < 0 || whole_count != pieces_count || !same(whole, pieces)) std::abort();
  if (whole.layout.size() > 63) std::abort();
  return 0;
}
