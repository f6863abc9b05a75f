#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "formats/bil_result.hpp"
#include "formats/cog_options.hpp"
#include "formats/result.hpp"
#include "formats/tile_codec.hpp"

namespace demstitch {

// What the result is: the raw raster with its header and coordinate system, one
// Cloud-Optimized GeoTIFF, or one NetCDF file.
enum class ResultFormat { dem, cog, netcdf };

// Where the result goes, in which format, with that format's options.
struct OutputRequest {
  // The raw result is BASE.DEM, BASE.HDR and BASE.prj; a one-file format's file is `path`,
  // or BASE followed by its extension when `path` is empty.
  std::string base = "GTResult";
  std::string path;
  ResultFormat format = ResultFormat::dem;
  CogOptions cog;
  std::string history;  // how the result was made, for the formats that keep it (NetCDF)
};

// One row of the table of result formats: what the command line and Python call it, the
// extensions that choose it from an output path, and how one is made.
struct ResultFormatEntry {
  ResultFormat format;
  std::string_view name;         // --format=NAME, format="NAME"
  std::string_view description;  // for messages: "a GeoTIFF"
  // Extensions of an output path that name this format (the first is the one it is given);
  // the raw result's name its files, and are taken off to give the base.
  std::span<const std::string_view> extensions;
  bool one_file;  // its one file is the output path itself
  std::unique_ptr<Result> (*make)(const OutputRequest& request, const RawRasterOptions& raw);
};

std::span<const ResultFormatEntry> result_formats();
const ResultFormatEntry& result_format(ResultFormat format);
const ResultFormatEntry* result_format_named(std::string_view name);
// The format an output path's extension names, in any case.
const ResultFormatEntry* result_format_of_path(std::string_view path);

// The path of the result's raster (or only file), for the lock and messages.
std::string result_path(const OutputRequest& request);
std::unique_ptr<Result> make_result(const OutputRequest& request, const RawRasterOptions& raw = {});

// What a caller chose of the output, before it is checked: each as given, or not given.
struct OutputChoices {
  std::optional<std::string> output;
  std::optional<ResultFormat> format;
  std::optional<Compression> compression;
  std::optional<int> level;
  std::optional<bool> overviews;  // none (false), or made with `resampling`
  Resampling resampling = Resampling::average;
};

// Takes an overviews choice by its name ("average", "nearest" or "none"); false for any other.
bool choose_overviews(std::string_view name, OutputChoices* choices);

// What is wrong with the output chosen, in neutral terms; each caller words it.
struct OutputProblem {
  enum class Kind {
    none,
    no_name,              // the output names no file (empty, or only an extension)
    format_clash,         // `format` asked, and the path's extension names `named`
    option_not_taken,     // a GeoTIFF's option (`option`) for another format
    compression_missing,  // this build cannot write `compression`
    no_level,             // `compression` takes no level
    level_out_of_range,   // `level` is not in `levels` for `compression`
  };
  Kind kind = Kind::none;
  ResultFormat format = ResultFormat::dem;  // the one asked
  ResultFormat named = ResultFormat::dem;   // the one the path's extension names
  std::string extension;                    // as the path ends
  std::string_view option;                  // compress, level or overviews
  Compression compression = Compression::deflate;
  int level = 0;
  LevelRange levels{};
};

// Checks the choices against each other and makes the request: the format asked, or the
// one the output path's extension names, or the raw result.
OutputRequest resolve_output(const OutputChoices& choices, OutputProblem* problem);

}  // namespace demstitch
