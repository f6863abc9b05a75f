// A whole stitch in a temporary folder from fuzzer-chosen headers and raster sizes. The run
// must end with a defined status, and the band writer must produce the same files as the
// fill-then-patch reference writer.
//
// Input: an optional part of options (the byte 0xFE, then arguments such as --bounds=... and
// --output=..., one a line, up to the first 0xFF), then up to three tiles separated by the
// byte 0xFF; in each, the first two bytes give the raster's length (raster bytes are a
// repeating pattern) and the rest is the header. Options never name another folder.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "cli/command_line.hpp"
#include "cli/run.hpp"
#include "formats/tile_header.hpp"

namespace {

namespace fs = std::filesystem;

std::string slurp(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

int stitch(bool reference, std::vector<std::string_view> args, std::string* raster,
           std::string* header) {
  demstitch::CommandLine line = demstitch::parse_command_line(std::span(args).subspan(1));
  const std::string& base = line.output.base;
  for (const char* extension : {".DEM", ".HDR", ".prj"}) fs::remove(base + extension);
  static std::FILE* null = std::fopen("/dev/null", "w");
  demstitch::Console console(null, null);
  demstitch::WriterOptions options;
  options.reference = reference;
  options.bands.band_bytes = 4096;  // many bands even for small mosaics
  int status = demstitch::run(args, console, options);
  *raster = slurp((base + ".DEM").c_str());
  *header = slurp((base + ".HDR").c_str());
  for (const char* extension : {".DEM", ".HDR", ".prj"}) fs::remove(base + extension);
  return status;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Work in a private folder, and cap every file written at 1 MB: a larger mosaic fails
  // its writes, which is a path worth taking too.
  std::string folder = fs::temp_directory_path() / "demstitch-fuzz-XXXXXX";
  if (::mkdtemp(folder.data()) == nullptr || ::chdir(folder.c_str()) != 0) std::abort();
  rlimit limit{1 << 20, 1 << 20};
  ::setrlimit(RLIMIT_FSIZE, &limit);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> options;
  if (input.starts_with('\xFE')) {
    size_t end = input.find('\xFF');
    std::string_view part = input.substr(1, end == std::string_view::npos ? end : end - 1);
    input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
    for (size_t at = 0; at <= part.size() && options.size() < 4;) {
      size_t line_end = std::min(part.find('\n', at), part.size());
      std::string option(part.substr(at, line_end - at));
      for (char& c : option) c = c == '/' || c == '\\' || c == '\0' ? '_' : c;
      // The GeoTIFF's compression of a wide window takes the time limit under the fuzzer's
      // instrumentation; GDAL judges it in the tests. This target compares the two writers.
      std::string lower = option;
      for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (lower.find("tif") != std::string::npos || lower.find("cog") != std::string::npos) {
        return -1;
      }
      options.push_back(option);
      at = line_end + 1;
    }
  }
  std::vector<std::string> names;
  for (int tile = 0; tile < 3 && !input.empty(); ++tile) {
    size_t end = input.find('\xFF');
    std::string_view part = input.substr(0, end);
    input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
    size_t raster_bytes = 0;
    if (part.size() >= 2) {
      raster_bytes = static_cast<uint8_t>(part[0]) * 256 + static_cast<uint8_t>(part[1]);
      part.remove_prefix(2);
    }
    demstitch::TileHeader header;
    demstitch::read_header_text(header, part);
    // Millions of rows only make millions of progress lines; the unit tests cover them.
    if (header.nrows > 100000 || header.nrows < -100000) return -1;
    std::string name = "t" + std::to_string(tile);
    std::ofstream(name + ".hdr", std::ios::binary) << part;
    std::string raster(raster_bytes, '\0');
    for (size_t i = 0; i < raster_bytes; ++i) raster[i] = static_cast<char>(i * 7 + tile);
    std::ofstream(name + ".dem", std::ios::binary) << raster;
    names.push_back(name);
  }
  if (names.empty()) return -1;
  std::vector<std::string_view> args{"demstitch"};
  for (const std::string& o : options) args.push_back(o);
  for (const std::string& n : names) args.push_back(n);

  std::string band_raster, band_header, reference_raster, reference_header;
  int band_status = stitch(false, args, &band_raster, &band_header);
  int reference_status = stitch(true, args, &reference_raster, &reference_header);
  if (band_status < 0 || band_status > 4) std::abort();
  // A write that fails may fail at another point in each writer; otherwise all must agree.
  if (band_status != 3 && reference_status != 3) {
    if (band_status != reference_status || band_raster != reference_raster ||
        band_header != reference_header) {
      std::abort();
    }
  }
  return 0;
}
