#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/status.hpp"
#include "io/source.hpp"

namespace demstitch {

// Samples per degree of the dataset's grid in both directions, whatever a tile's spacing
// says, and the width of one cell in degrees.
inline constexpr double samples_per_degree = 120.0;
inline constexpr double grid_cell = 1.0 / samples_per_degree;

// The grid spacing as the header format has always written it: a little less than 1/120.
inline constexpr double default_spacing = 0.00833333333333;

// Everything known about one input tile: its header values and the base name it was given
// by. The defaults are those of a 6000 x 4800 tile of 16-bit samples in one band; a header
// that leaves a value out keeps the default.
struct TileHeader {
  std::string unit = "m";
  int32_t byte_order = 0;  // 0: most significant byte first; 1: any other order
  std::string layout;      // at most 63 characters
  int32_t nrows = 6000;
  int32_t ncols = 4800;
  int32_t nbits = 16;
  int32_t nbands = 1;
  // Row lengths are 64-bit so that deriving them from nbits and ncols cannot overflow.
  int64_t band_row_bytes = 9600;
  int64_t total_row_bytes = 9600;
  int32_t band_gap_bytes = 0;
  int32_t nodata = -9999;
  // The corner as the header gives it, in degrees, never shifted: a plain mosaic takes it as
  // the tile's left and top edges, a window as the centre of its first sample.
  double ulx = 0.0;
  double uly = 0.0;
  double xdim = default_spacing;
  double ydim = default_spacing;
  std::string name;
  // Whether a line gave the corner ("ULXMAP" or "left_map_x", "ULYMAP" or "upper_map_y"),
  // rather than the record keeping the default 0.
  bool ulx_given = false;
  bool uly_given = false;
};

// What makes a header doubtful, though the tile is still laid out and copied as it says: it
// gives no corner, or describes samples other than the 16-bit, most significant byte first
// ones its bytes are copied as, or a spacing other than the grid's. One short phrase a
// doubt, in the header's own words ("says NBITS 32"); none for a sound header.
std::vector<std::string> header_doubts(const TileHeader& header);

// What one read of a header file has seen so far.
struct ParseState {
  int32_t recognised_count = 0;
  bool descriptive_seen = false;
};

// Applies one header line (without its line end) to the record.
void parse_line(TileHeader& header, std::string_view line, ParseState& state);

// Reads header bytes as they arrive, in pieces of any size, the way a header file has
// always been read: reading stops at the first Ctrl-Z, CR LF counts as one line end, a lone
// CR splits a line, and a line longer than 510 characters is handled as several pieces.
class HeaderReader {
 public:
  explicit HeaderReader(TileHeader& header) : header_(header) {}
  void feed(std::string_view bytes);
  // Ends the read: applies the row layout of the descriptive vocabulary if it was used, and
  // returns the number of lines recognised.
  int32_t finish();

 private:
  void take(char c);
  void end_piece();

  static constexpr size_t piece_limit = 510;
  TileHeader& header_;
  ParseState state_;
  std::string piece_;
  bool pending_cr_ = false;
  bool stopped_ = false;
};

// Reads a whole header held in memory; returns the number of lines recognised.
int32_t read_header_text(TileHeader& header, std::string_view text);

// Reads a header from its source, to the end, into the record.
Status read_header(const Source& source, TileHeader& header);

// A header in the upper-case vocabulary, as the dataset's tiles and the result both write it:
// 14 keyword lines for one band of 16-bit samples, most significant byte first, values from
// column `value_column` (counted from 1), CR LF line ends. Corner and spacing come as text.
std::string bil_header_text(int64_t rows, int64_t cols, std::string_view ulx, std::string_view uly,
                            std::string_view spacing, size_t value_column);

// One "KEYWORD value" line of a header, the value from column `value_column` (counted from
// 1), ending in CR LF.
std::string keyword_line(std::string_view keyword, std::string_view value, size_t value_column);

}  // namespace demstitch
