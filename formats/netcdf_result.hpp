#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/status.hpp"
#include "formats/result.hpp"

namespace demstitch {

// The NetCDF result: one CF-1.8 file in the classic format with 64-bit offsets, read by
// the netCDF library and everything on it (GDAL, xarray, CDO, NCO). Its header, the grid
// mapping and the coordinates come first, the elevation variable last: its samples are the
// mosaic's own big-endian bytes, rows north to south, taken as bands in one sequential pass
// (so the last variable may exceed 4 GiB, as the format allows).
class NetcdfResult final : public Result {
 public:
  explicit NetcdfResult(const std::string& path);
  ~NetcdfResult() override;
  NetcdfResult(const NetcdfResult&) = delete;
  NetcdfResult& operator=(const NetcdfResult&) = delete;

  std::span<const ResultFile> files() const override { return files_; }
  // What GIS tools keep beside it: statistics.
  std::span<const std::string> side_files() const override { return side_files_; }
  int64_t space_needed(const ResultGrid& grid) const override;
  Status start(OutputSet& outputs, const ResultGrid& grid) override;
  BandSink* band_sink() override;
  Status finish(OutputSet& outputs, ResultPart* failed) override;

 private:
  class Sink;
  std::vector<ResultFile> files_;
  std::vector<std::string> side_files_;
  std::unique_ptr<Sink> sink_;
};

// The file's bytes before the elevation's samples: the header, the grid mapping and the
// coordinates (cell centres) of a grid of that size and corner, handed to `out` a piece of
// at most 64 KiB at a time (the header whole); the first failure of `out` ends it.
using PreambleOut = std::function<Status(std::span<const std::byte> piece)>;
Status write_netcdf_preamble(const ResultGrid& grid, const PreambleOut& out);
// The same bytes in one vector, for a small grid.
std::vector<std::byte> netcdf_preamble(const ResultGrid& grid);

// The file's length for a grid of that size: the preamble, the samples, their padding.
int64_t netcdf_file_size(const ResultGrid& grid);

// A line of the file's history: the UTC time (ISO 8601) and the command that made it.
std::string history_line(std::chrono::system_clock::time_point when, std::string_view command);

}  // namespace demstitch
