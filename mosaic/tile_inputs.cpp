#include "mosaic/tile_inputs.hpp"

#include <algorithm>

#include "base/strings.hpp"
#include "formats/projection.hpp"

namespace demstitch {
namespace {

// The bases a tile's files may have: its name, and for a name given with the extension of
// either file (NAME.DEM, NAME.hdr), the same without it.
std::vector<std::string> tile_bases(const std::string& name) {
  const std::string extension = extension_of(name);
  if (extension != ".dem" && extension != ".hdr") return {name};
  return {name, name.substr(0, name.size() - 4)};
}

Status clash(const std::string& path, const TileInput& tile) {
  return Status::error(StatusKind::io_error, Side::output, path,
                       "would replace a file of the named tile " + tile.name);
}

}  // namespace

// What the observer is told of a tile.
TileReport report_of(const TileInput& tile) {
  TileReport report{tile.name,
                    tile.header_path,
                    tile.raster_path,
                    tile.projection_path,
                    tile.header_read,
                    tile.bounds,
                    tile.header.nrows,
                    0,
                    !tile.copies.empty(),
                    tile.problems};
  for (const TileCopy& copy : tile.copies) report.rows_used += copy.rows;
  return report;
}

bool TileInputs::find() {
  projection_ = wgs84_esri_wkt;
  return find_tiles(request_, opener_, observer_, &named_);
}

bool TileInputs::only_failures() const {
  return headers_read_ == 0 && std::all_of(named_.begin(), named_.end(),
                                           [](const NamedTile& n) { return !n.failure.ok(); });
}

// Where a tile's files are opened: its archive, or the request's opener.
SourceOpener& TileInputs::opener_of(const TileInput& tile) {
  const NamedTile& named = named_[static_cast<size_t>(&tile - tiles_.data())];
  if (named.archive) return *named.archive;
  return opener_;
}

bool TileInputs::in_archive(const TileInput& tile) const {
  return named_[static_cast<size_t>(&tile - tiles_.data())].archive != nullptr;
}

void TileInputs::problem(TileInput& tile, ProblemKind kind, std::string path, Status cause,
                         std::string detail) {
  tile.problems.push_back(TileProblem{static_cast<size_t>(&tile - tiles_.data()), std::move(path),
                                      kind, std::move(cause), std::move(detail)});
}

// A named tile whose header, and so its raster, is the result this run replaces (an old
// mosaic caught by *.DEM would stand in for the tiles it was made from).
std::optional<size_t> TileInputs::tile_that_is(std::span<const ResultFile> result) const {
  std::vector<FileId> result_files;
  for (const ResultFile& file : result) {
    if (auto id = target_id(file.path)) result_files.push_back(*id);
  }
  for (size_t i = 0; i < named_.size() && !result_files.empty(); ++i) {
    if (named_[i].archive || !named_[i].failure.ok()) continue;
    for (const std::string& base : tile_bases(named_[i].name)) {
      std::vector<std::optional<FileId>> files;
      for (const char* extension : {".hdr", ".HDR", ".dem", ".DEM"}) {
        files.push_back(target_id(base + extension));
      }
      if (!files[0] && !files[1]) continue;  // no header: not this tile's files
      for (const auto& id : files) {
        if (id && std::find(result_files.begin(), result_files.end(), *id) != result_files.end()) {
          return i;
        }
      }
      break;
    }
  }
  return std::nullopt;
}

// Opens a tile's header: NAME.hdr or NAME.HDR, or else the same for the name without the
// extension it was given with.
Status TileInputs::open_header(TileInput& tile, std::unique_ptr<Source>* source) {
  tile.base = tile.name;
  SourceOpener& opener = opener_of(tile);
  Status s = open_either_case(opener, tile.base, ".hdr", ".HDR", source, &tile.header_path);
  std::vector<std::string> bases = tile_bases(tile.name);
  if (s.ok() || bases.size() == 1) return s;
  const std::string& base = bases[1];
  std::string path;
  Status stripped = open_either_case(opener, base, ".hdr", ".HDR", source, &path);
  if (stripped.ok() ||
      (s.kind() == StatusKind::not_found && stripped.kind() != StatusKind::not_found)) {
    tile.base = base;
    tile.header_path = path;
    return stripped;
  }
  return s;
}

void TileInputs::read_headers() {
  tiles_.resize(named_.size());
  for (size_t i = 0; i < tiles_.size(); ++i) {
    TileInput& tile = tiles_[i];
    tile.name = named_[i].name;
    if (const Status& failure = named_[i].failure; !failure.ok()) {
      // A folder that cannot be listed, or an archive that cannot be read through.
      tile.header_path = tile.name;
      problem(tile, named_[i].folder ? ProblemKind::folder_not_read : ProblemKind::header_not_read,
              tile.name, failure);
      observer_.header_problem(report_of(tile), tile.problems.back());
      continue;
    }
    std::unique_ptr<Source> source;
    Status s = open_header(tile, &source);
    if (s.ok() && tile_bases(tile.name).size() > 1 && is_a_result(*source)) {
      // Named with an extension, as a wildcard names files: an earlier result in a folder
      // of tiles is not taken for one. Named by its base name, it is.
      problem(tile, ProblemKind::result_not_tile, tile.header_path);
      observer_.header_problem(report_of(tile), tile.problems.back());
      continue;
    }
    if (s.ok()) {
      if (auto id = source->id()) tile.files.push_back(*id);
      s = read_header(*source, tile.header);
      if (!s.ok()) {
        tile.header = TileHeader{};
        problem(tile, ProblemKind::header_not_read, tile.header_path, s);
      }
    } else {
      problem(tile, ProblemKind::header_not_opened, tile.header_path, s);
    }
    if (!s.ok()) {
      observer_.header_problem(report_of(tile), tile.problems.back());
      continue;
    }
    tile.header.name = tile.name;
    tile.header_read = true;
    ++headers_read_;
    const Offsets& offsets = request_.offsets;
    tile.placed = tile_rect(tile.header, tile.header.ulx + offsets.x, tile.header.uly + offsets.y);
    tile.bounds = unshifted(tile.placed, offsets);
    bounds_ = fold(bounds_, tile.placed);
    observer_.tile_read(report_of(tile));
    if (std::vector<std::string> doubts = header_doubts(tile.header); !doubts.empty()) {
      std::string detail;
      for (const std::string& doubt : doubts) detail += (detail.empty() ? "" : "; ") + doubt;
      problem(tile, ProblemKind::header_doubtful, tile.header_path, {}, std::move(detail));
      observer_.header_problem(report_of(tile), tile.problems.back());
    }
    take_projection(tile);
  }
}

// The result's coordinate system is the first tile's that brings one.
void TileInputs::take_projection(TileInput& tile) {
  std::unique_ptr<Source> source;
  std::string text;
  Status s =
      open_either_case(opener_of(tile), tile.base, ".prj", ".PRJ", &source, &tile.projection_path);
  if (s.ok()) s = read_projection(*source, &text);
  if (!s.ok()) {
    // No .prj is the usual case; one that is there but cannot be read is told.
    if (s.kind() != StatusKind::not_found) observer_.projection_not_read(report_of(tile), s);
    tile.projection_path.clear();
    return;
  }
  if (auto id = source->id()) tile.files.push_back(*id);
  if (!projection_from_) {
    projection_from_ = &tile - tiles_.data();
    projection_ = std::move(text);
  } else if (text != projection_ && !projections_differ_) {
    projections_differ_ = true;
    observer_.projections_differ(report_of(tiles_[*projection_from_]), report_of(tile));
  }
}

// Opens a tile's raster and measures it; false, with the problem noted, when it cannot be
// used.
bool TileInputs::open_raster(TileInput& tile, int64_t* size) {
  Status s =
      open_either_case(opener_of(tile), tile.base, ".dem", ".DEM", &tile.raster, &tile.raster_path);
  if (!s.ok()) {
    problem(tile, ProblemKind::raster_not_opened, tile.raster_path, s);
    return false;
  }
  if (tile.header.total_row_bytes < 0) {
    problem(tile, ProblemKind::bad_row_length, tile.raster_path, {},
            std::to_string(tile.header.total_row_bytes));
    return false;
  }
  if (auto id = tile.raster->id()) tile.files.push_back(*id);
  if (s = tile.raster->size(size); !s.ok()) {
    problem(tile, ProblemKind::raster_not_read, tile.raster_path, s);
    return false;
  }
  return true;
}

// A raster of another length than its header describes is copied as far as it goes, and
// reported: a truncated download must not pass unnoticed.
void TileInputs::check_length(TileInput& tile, int64_t size) {
  const TileHeader& header = tile.header;
  const int64_t expected = std::max<int64_t>(0, header.nrows) * header.total_row_bytes;
  if (size == expected) return;
  problem(tile, size < expected ? ProblemKind::raster_short : ProblemKind::raster_long,
          tile.raster_path);
  TileProblem& length = tile.problems.back();
  length.bytes = size;
  length.whole_rows = header.total_row_bytes > 0 ? size / header.total_row_bytes : 0;
  length.expected_rows = header.nrows;
  length.expected_bytes = expected;
}

// No name the result takes or removes may be a named tile's file: not by its name in
// any case (--output=w020n40 beside w020n40.hdr), nor as a link to it or another name of
// it (the files actually read are compared, whatever led to them). A GeoTIFF named after
// its tile (T1.tif from T1) is none of these.
Status TileInputs::check_not_a_tile(std::span<const std::string> touched,
                                    const std::string& result_path) const {
  const std::optional<FileId> result_folder = target_id(folder_of(result_path));
  for (const TileInput& tile : tiles_) {
    std::vector<FileId> files = tile.files;
    // A tile in an archive is known by the archive's identity alone.
    const std::vector<std::string> bases =
        in_archive(tile) ? std::vector<std::string>{} : tile_bases(tile.name);
    for (const std::string& base : bases) {
      // By name in any case: a file system that ignores case would give the same file.
      if (target_id(folder_of(base)) == result_folder) {
        for (const std::string& path : touched) {
          for (const char* extension : {".hdr", ".dem", ".prj"}) {
            if (equal_ignoring_case(base_name(path), base_name(base) + extension)) {
              return clash(path, tile);
            }
          }
        }
      }
      for (const char* extension : {"", ".hdr", ".HDR", ".dem", ".DEM", ".prj", ".PRJ"}) {
        for (auto id : {file_id(base + extension), target_id(base + extension)}) {
          if (id) files.push_back(*id);
        }
      }
    }
    for (const std::string& path : touched) {
      for (auto id : {file_id(path), target_id(path)}) {
        if (id && std::find(files.begin(), files.end(), *id) != files.end()) {
          return clash(path, tile);
        }
      }
    }
  }
  return {};
}

}  // namespace demstitch
