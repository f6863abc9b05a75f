#include "formats/result_formats.hpp"

#include <array>

#include "base/strings.hpp"
#include "formats/cog_result.hpp"
#include "formats/netcdf_result.hpp"

namespace demstitch {
namespace {

constexpr std::string_view dem_extensions[] = {".dem", ".hdr", ".prj"};
constexpr std::string_view cog_extensions[] = {".tif", ".tiff"};
constexpr std::string_view netcdf_extensions[] = {".nc"};

// The table: a new format is one row here and its own file pair.
const std::array<ResultFormatEntry, 3> formats = {{
    {ResultFormat::dem, "dem", "the raw raster", dem_extensions, false,
     [](const OutputRequest& request, const RawRasterOptions& raw) -> std::unique_ptr<Result> {
       return std::make_unique<BilResult>(request.base, raw);
     }},
    {ResultFormat::cog, "cog", "a GeoTIFF", cog_extensions, true,
     [](const OutputRequest& request, const RawRasterOptions&) -> std::unique_ptr<Result> {
       return std::make_unique<CogResult>(result_path(request), request.cog);
     }},
    {ResultFormat::netcdf, "netcdf", "a NetCDF file", netcdf_extensions, true,
     [](const OutputRequest& request, const RawRasterOptions&) -> std::unique_ptr<Result> {
       return std::make_unique<NetcdfResult>(result_path(request));
     }},
}};

bool ends_with_ignoring_case(std::string_view text, std::string_view end) {
  return text.size() >= end.size() &&
         equal_ignoring_case(text.substr(text.size() - end.size()), end);
}

// The extension of `path` that names `entry`, if any.
std::optional<std::string_view> extension_for(const ResultFormatEntry& entry,
                                              std::string_view path) {
  for (std::string_view extension : entry.extensions) {
    if (ends_with_ignoring_case(path, extension)) return extension;
  }
  return std::nullopt;
}

}  // namespace

std::span<const ResultFormatEntry> result_formats() { return formats; }

const ResultFormatEntry& result_format(ResultFormat format) {
  for (const ResultFormatEntry& entry : formats) {
    if (entry.format == format) return entry;
  }
  return formats[0];
}

const ResultFormatEntry* result_format_named(std::string_view name) {
  for (const ResultFormatEntry& entry : formats) {
    if (entry.name == name) return &entry;
  }
  return nullptr;
}

const ResultFormatEntry* result_format_of_path(std::string_view path) {
  for (const ResultFormatEntry& entry : formats) {
    if (extension_for(entry, path)) return &entry;
  }
  return nullptr;
}

std::string result_path(const OutputRequest& request) {
  const ResultFormatEntry& entry = result_format(request.format);
  if (!entry.one_file) return request.base + ".DEM";
  if (!request.path.empty()) return request.path;
  return request.base + std::string(entry.extensions.front());
}

std::unique_ptr<Result> make_result(const OutputRequest& request, const RawRasterOptions& raw) {
  return result_format(request.format).make(request, raw);
}

bool choose_overviews(std::string_view name, OutputChoices* choices) {
  if (name != "average" && name != "nearest" && name != "none") return false;
  choices->overviews = name != "none";
  choices->resampling = name == "nearest" ? Resampling::nearest : Resampling::average;
  return true;
}

OutputRequest resolve_output(const OutputChoices& choices, OutputProblem* problem) {
  *problem = OutputProblem{};
  OutputRequest request;
  const ResultFormatEntry* named = nullptr;  // by the output path's extension
  if (choices.output) {
    const std::string& output = *choices.output;
    named = result_format_of_path(output);
    std::string_view base = output;
    if (named) base.remove_suffix(extension_for(*named, output)->size());
    request.base = std::string(base);
    if (named && named->one_file) request.path = output;
    // A name that is only an extension (".tif", "d/.DEM") names no result.
    if (request.base.empty() || request.base.ends_with('/')) {
      problem->kind = OutputProblem::Kind::no_name;
      return request;
    }
  }
  request.format = named && named->one_file ? named->format : ResultFormat::dem;
  if (choices.format) {
    if (named && named->one_file && named->format != *choices.format) {
      problem->kind = OutputProblem::Kind::format_clash;
      problem->format = *choices.format;
      problem->named = named->format;
      problem->extension = choices.output->substr(request.base.size());
      return request;
    }
    request.format = *choices.format;
  }
  CogOptions& cog = request.cog;
  if (choices.compression) cog.compression = *choices.compression;
  if (choices.level) cog.level = *choices.level;
  if (choices.overviews) cog.overviews = *choices.overviews;
  cog.resampling = choices.resampling;
  if (request.format != ResultFormat::cog) {
    const std::string_view option = choices.compression ? "compress"
                                    : choices.level     ? "level"
                                    : choices.overviews ? "overviews"
                                                        : "";
    if (!option.empty()) {
      problem->kind = OutputProblem::Kind::option_not_taken;
      problem->format = request.format;
      problem->option = option;
    }
    return request;
  }
  problem->compression = cog.compression;
  if (!compression_available(cog.compression)) {
    problem->kind = OutputProblem::Kind::compression_missing;
    return request;
  }
  const std::optional<LevelRange> levels = compression_levels(cog.compression);
  if (choices.level && !levels) {
    problem->kind = OutputProblem::Kind::no_level;
  } else if (choices.level && (*choices.level < levels->low || *choices.level > levels->high)) {
    problem->kind = OutputProblem::Kind::level_out_of_range;
    problem->level = *choices.level;
    problem->levels = *levels;
  }
  return request;
}

}  // namespace demstitch
