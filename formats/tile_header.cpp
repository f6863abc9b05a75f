#include "formats/tile_header.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

#include "base/strings.hpp"

namespace demstitch {
namespace {

constexpr char ctrl_z = 26;

char first_letter(std::string_view value) { return value.empty() ? '\0' : value.front(); }

template <auto field>
bool set_int(TileHeader& header, std::string_view value) {
  auto number = scan_c_int(value);
  if (number) header.*field = *number;
  return number.has_value();
}

template <auto field>
bool set_real(TileHeader& header, std::string_view value) {
  auto number = scan_c_float(value);
  if (number) header.*field = *number;
  return number.has_value();
}

template <auto field, auto given>
bool set_corner(TileHeader& header, std::string_view value) {
  bool set = set_real<field>(header, value);
  if (set) header.*given = true;
  return set;
}

bool set_byte_order(TileHeader& header, std::string_view value) {
  header.byte_order = first_letter(value) == 'M' ? 0 : 1;
  return true;
}

bool set_layout(TileHeader& header, std::string_view value) {
  header.layout = std::string(value.substr(0, 63));
  return true;
}

bool set_grid_size(TileHeader& header, std::string_view value) {
  auto number = scan_c_float(value);
  if (number) header.xdim = header.ydim = *number;
  return number.has_value();
}

bool set_representation(TileHeader& header, std::string_view value) {
  switch (first_letter(value)) {
    case 'b':
      header.nbits = 8;
      return true;
    case 's':
      header.nbits = 16;
      return true;
    case 'l':
      header.nbits = 32;
      return true;
    default:
      return false;
  }
}

bool set_data_byte_order(TileHeader& header, std::string_view value) {
  header.byte_order = first_letter(value) == 'b' ? 0 : 1;
  return true;
}

// One keyword: its vocabulary, and how its value is applied (true when the line counts).
struct Keyword {
  std::string_view word;
  bool descriptive;
  bool (*apply)(TileHeader&, std::string_view);
};

constexpr Keyword keywords[] = {
    {"BYTEORDER", false, set_byte_order},
    {"LAYOUT", false, set_layout},
    {"NROWS", false, set_int<&TileHeader::nrows>},
    {"NCOLS", false, set_int<&TileHeader::ncols>},
    {"NBANDS", false, set_int<&TileHeader::nbands>},
    {"NBITS", false, set_int<&TileHeader::nbits>},
    {"BANDROWBYTES", false, set_int<&TileHeader::band_row_bytes>},
    {"TOTALROWBYTES", false, set_int<&TileHeader::total_row_bytes>},
    {"BANDGAPBYTES", false, set_int<&TileHeader::band_gap_bytes>},
    {"NODATA", false, set_int<&TileHeader::nodata>},
    {"ULXMAP", false, set_corner<&TileHeader::ulx, &TileHeader::ulx_given>},
    {"ULYMAP", false, set_corner<&TileHeader::uly, &TileHeader::uly_given>},
    {"XDIM", false, set_real<&TileHeader::xdim>},
    {"YDIM", false, set_real<&TileHeader::ydim>},
    {"left_map_x", true, set_corner<&TileHeader::ulx, &TileHeader::ulx_given>},
    {"upper_map_y", true, set_corner<&TileHeader::uly, &TileHeader::uly_given>},
    {"number_of_rows", true, set_int<&TileHeader::nrows>},
    {"number_of_columns", true, set_int<&TileHeader::ncols>},
    {"data_representation", true, set_representation},
    {"data_byte_order", true, set_data_byte_order},
    {"grid_size", true, set_grid_size},
};

}  // namespace

void parse_line(TileHeader& header, std::string_view line, ParseState& state) {
  // Only a blank (not a tab) ends the keyword; blanks and '=' before the value are skipped.
  // A keyword with no blank after it has an empty value.
  size_t blank = line.find(' ');
  std::string_view keyword = line.substr(0, blank);
  std::string_view value;
  if (blank != std::string_view::npos) {
    value = line.substr(blank + 1);
    value.remove_prefix(std::min(value.find_first_not_of(" ="), value.size()));
  }
  for (const Keyword& entry : keywords) {
    if (entry.word != keyword) continue;
    if (entry.descriptive) state.descriptive_seen = true;
    if (entry.apply(header, value)) ++state.recognised_count;
    return;
  }
}

void HeaderReader::feed(std::string_view bytes) {
  for (char c : bytes) {
    if (stopped_) return;
    if (c == ctrl_z) {
      stopped_ = true;
      if (pending_cr_) take('\r');
      pending_cr_ = false;
      return;
    }
    if (pending_cr_) {
      pending_cr_ = false;
      if (c == '\n') {
        take('\n');
        continue;
      }
      take('\r');
    }
    if (c == '\r') {
      pending_cr_ = true;
    } else {
      take(c);
    }
  }
}

void HeaderReader::take(char c) {
  piece_.push_back(c);
  if (c == '\n' || piece_.size() == piece_limit) end_piece();
}

void HeaderReader::end_piece() {
  // A piece is a C string: whatever follows a NUL byte in it is never seen.
  std::string_view text(piece_);
  text = text.substr(0, text.find('\0'));
  while (!text.empty()) {
    size_t end = text.find_first_of("\r\n");
    if (end != 0) parse_line(header_, text.substr(0, end), state_);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  piece_.clear();
}

int32_t HeaderReader::finish() {
  if (pending_cr_) take('\r');
  pending_cr_ = false;
  stopped_ = true;
  if (!piece_.empty()) end_piece();
  if (state_.descriptive_seen) {
    // The descriptive vocabulary says nothing about row layout: one band of whole samples.
    header_.total_row_bytes = header_.band_row_bytes = int64_t{header_.nbits / 8} * header_.ncols;
    header_.band_gap_bytes = 0;
    header_.nbands = 1;
  }
  return state_.recognised_count;
}

int32_t read_header_text(TileHeader& header, std::string_view text) {
  HeaderReader reader(header);
  reader.feed(text);
  return reader.finish();
}

Status read_header(const Source& source, TileHeader& header) {
  HeaderReader reader(header);
  std::vector<std::byte> buffer(io_chunk_bytes);
  for (int64_t offset = 0;;) {
    size_t got = 0;
    std::span<std::byte> piece(buffer);
    if (Status s = source.read_at(offset, std::span(&piece, 1), &got); !s.ok()) return s;
    if (got == 0) break;
    offset += static_cast<int64_t>(got);
    reader.feed(std::string_view(reinterpret_cast<const char*>(buffer.data()), got));
  }
  reader.finish();
  return {};
}

std::string keyword_line(std::string_view keyword, std::string_view value, size_t value_column) {
  std::string line(keyword);
  line.resize(std::max(line.size() + 1, value_column - 1), ' ');
  line += value;
  line += "\r\n";
  return line;
}

std::string bil_header_text(int64_t rows, int64_t cols, std::string_view ulx, std::string_view uly,
                            std::string_view spacing, size_t value_column) {
  const std::string row_bytes = std::to_string(2 * cols);
  std::string text;
  for (auto [keyword, value] : {std::pair<std::string_view, std::string>{"BYTEORDER", "M"},
                                {"LAYOUT", "BIL"},
                                {"NROWS", std::to_string(rows)},
                                {"NCOLS", std::to_string(cols)},
                                {"NBANDS", "1"},
                                {"NBITS", "16"},
                                {"BANDROWBYTES", row_bytes},
                                {"TOTALROWBYTES", row_bytes},
                                {"BANDGAPBYTES", "0"},
                                {"NODATA", "-9999"},
                                {"ULXMAP", std::string(ulx)},
                                {"ULYMAP", std::string(uly)},
                                {"XDIM", std::string(spacing)},
                                {"YDIM", std::string(spacing)}}) {
    text += keyword_line(keyword, value, value_column);
  }
  return text;
}

std::vector<std::string> header_doubts(const TileHeader& header) {
  std::vector<std::string> doubts;
  if (!header.ulx_given && !header.uly_given) {
    doubts.push_back("gives no corner (ULXMAP and ULYMAP, or left_map_x and upper_map_y)");
  } else if (!header.ulx_given || !header.uly_given) {
    doubts.push_back(!header.ulx_given ? "gives no ULXMAP (or left_map_x)"
                                       : "gives no ULYMAP (or upper_map_y)");
  }
  if (header.byte_order != 0)
    doubts.push_back("says the samples are not most significant byte first");
  if (header.nbits != 16) doubts.push_back(format("says NBITS %d, not 16", header.nbits));
  // Relative to 1/120 degree, so that the six-decimal 0.008333 of older headers passes.
  auto off_grid = [](double spacing) {
    return !(std::fabs(spacing * samples_per_degree - 1) <= 1e-4);
  };
  if (off_grid(header.xdim) || off_grid(header.ydim)) {
    doubts.push_back(
        format("says a spacing of %g by %g degrees, not 1/120", header.xdim, header.ydim));
  }
  return doubts;
}

}  // namespace demstitch
