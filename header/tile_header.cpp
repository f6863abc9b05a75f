#include "header/tile_header.hpp"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <vector>

namespace demstitch {
namespace {

constexpr char ctrl_z = 26;

bool is_c_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The "%d" conversion: white space, an optional sign, decimal digits. A value outside the
// 32-bit range does not convert.
std::optional<int32_t> scan_int(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && is_c_space(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  size_t first_digit = i;
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > int64_t{INT32_MAX} + 1) return std::nullopt;
  }
  if (i == first_digit) return std::nullopt;
  if (negative) value = -value;
  if (value > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(value);
}

// The "%f" conversion into single precision, widened to double.
std::optional<double> scan_real(std::string_view text) {
  std::string terminated(text);
  float value = 0;
  if (std::sscanf(terminated.c_str(), "%f", &value) != 1) return std::nullopt;
  return static_cast<double>(value);
}

char first_letter(std::string_view value) { return value.empty() ? '\0' : value.front(); }

template <auto field>
bool set_int(TileHeader& header, std::string_view value) {
  auto number = scan_int(value);
  if (number) header.*field = *number;
  return number.has_value();
}

template <auto field>
bool set_real(TileHeader& header, std::string_view value) {
  auto number = scan_real(value);
  if (number) header.*field = *number;
  return number.has_value();
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
  auto number = scan_real(value);
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
    {"ULXMAP", false, set_real<&TileHeader::ulx>},
    {"ULYMAP", false, set_real<&TileHeader::uly>},
    {"XDIM", false, set_real<&TileHeader::xdim>},
    {"YDIM", false, set_real<&TileHeader::ydim>},
    {"left_map_x", true, set_real<&TileHeader::ulx>},
    {"upper_map_y", true, set_real<&TileHeader::uly>},
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

Status read_header_file(File& file, TileHeader& header) {
  HeaderReader reader(header);
  std::vector<std::byte> buffer(65536);
  for (;;) {
    size_t got = 0;
    if (Status s = file.read_some(buffer, &got); !s.ok()) return s;
    if (got == 0) break;
    reader.feed(std::string_view(reinterpret_cast<const char*>(buffer.data()), got));
  }
  reader.finish();
  return {};
}

}  // namespace demstitch
