#include "cli/report.hpp"

#include <vector>

#include "base/strings.hpp"

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

std::string help_text(std::string_view program) {
  std::string name(program);
  return format(
      "Usage: %s [-h,w] [--bounds=WEST,SOUTH,EAST,NORTH] [--output=PATH] [--format=FORMAT]\n"
      "       [--compress=NAME] [--level=N] [--overviews=HOW] [--quiet] [--no-cache] TILE...\n"
      "Stitches tiles of the 30-arc-second elevation grid into one mosaic.\n"
      "\n"
      "Arguments:\n"
      "  TILE        a tile's base name, with or without a folder: NAME.hdr and NAME.dem are\n"
      "              read (or NAME.HDR and NAME.DEM); NAME.DEM or NAME.hdr also name the\n"
      "              tile. An archive as downloaded (.tar.gz, .zip or .tar, known by its\n"
      "              content) stands for the tiles in it, read in place; a folder for its\n"
      "              tiles and archives in name order (a tile extracted beside its archive\n"
      "              is taken once; a file named as an archive that is none is an error).\n"
      "              At most 64 tiles in all; a later tile overwrites an earlier one.\n"
      "  -h,w        shift every tile by h degrees east and w north while the mosaic is\n"
      "              laid out (the shift is taken off again in everything written).\n"
      "              Options take two dashes: -bounds=... is refused, not taken as -h,w.\n"
      "\n"
      "Options:\n"
      "  --bounds=WEST,SOUTH,EAST,NORTH\n"
      "              cut out this region (degrees), snapped outward to the 30-arc-second\n"
      "              grid; WEST above EAST crosses the antimeridian (so does an EAST past\n"
      "              180; EAST may be up to WEST + 360, a whole turn). Tiles outside it are\n"
      "              not read.\n"
      "  --output=PATH\n"
      "              write PATH.DEM, PATH.HDR and PATH.prj instead of GTResult.* in the\n"
      "              current folder (the folder must exist; PATH.DEM names the same)\n"
      "              (an --output PATH ending in .tif or .tiff writes that GeoTIFF, one\n"
      "              ending in .nc that NetCDF file)\n"
      "  --format=cog  write one Cloud-Optimized GeoTIFF, GTResult.tif (or PATH.tif), instead\n"
      "              of the raw raster and its header: 512 x 512 tiles, no-data -9999, WGS 84\n"
      "  --format=netcdf  write one NetCDF file (CF-1.8), GTResult.nc (or PATH.nc): the\n"
      "              elevation as 16-bit integers, rows north to south, with latitude and\n"
      "              longitude at the cells' centres (past 180 across the antimeridian)\n"
      "              (--format=dem, the default, writes the raw raster)\n"
      "  --compress=deflate|zstd|lzw|none\n"
      "              the GeoTIFF's compression (deflate, with the horizontal predictor)\n"
      "  --level=N   its level, a whole number: deflate 1 to 9, zstd 1 to 22 (1 by default:\n"
      "              as small a file as 6 on elevation, several times faster)\n"
      "  --overviews=average|nearest|none\n"
      "              how the GeoTIFF's overviews are made (average: the mean of the samples\n"
      "              that are not no-data, as GDAL makes them)\n"
      "  --quiet     leave out the progress lines (bounds lines and problems stay)\n"
      "  --no-cache  neither read nor keep the index of a .tar.gz (kept in the user's cache,\n"
      "              ~/.cache/demstitch, so that a second run reads only what it needs)\n"
      "  (Options with a value also take it as the next argument.)\n"
      "  --help      print this text and end\n"
      "  --version   print the version and end\n"
      "\n"
      "Written together or not at all (one run at a time writes a result, holding\n"
      "GTResult.DEM.lock; a run killed while installing is finished or undone by the next):\n"
      "  GTResult.DEM  the mosaic: 16-bit samples, most significant byte first, -9999 where\n"
      "                no tile lies\n"
      "  GTResult.HDR  its header\n"
      "  GTResult.prj  its coordinate system (the tiles' own .prj, or WGS 84)\n"
      "GIS side files of an earlier result (GTResult.stx, GTResult.DEM.aux.xml,\n"
      "GTResult.DEM.ovr, GTResult.hdr) are removed with it. A GeoTIFF is one file, written\n"
      "the same way (lock GTResult.tif.lock); its .aux.xml, .ovr and .msk go with it. So is\n"
      "a NetCDF file (lock GTResult.nc.lock), and its .aux.xml.\n"
      "\n"
      "Exit status:\n"
      "  0  every named tile stitched\n"
      "  1  no argument (usage printed)\n"
      "  2  command-line error, or a named tile is the result this run would replace;\n"
      "     nothing read or written\n"
      "  3  the result could not be written (its folder is missing, the lock is another\n"
      "     user's, a GeoTIFF would be over 49152 columns); an earlier one is kept\n"
      "  4  a tile could not be used, or used only in part (an archive member that fails\n"
      "     its CRC is not used at all), or its header is doubtful (the rest is still\n"
      "     stitched), or a named folder or archive could not be read, or the tiles\n"
      "     describe no mosaic, or none touches the window. An earlier result caught by\n"
      "     a wildcard is passed over with a line, and is no failure.\n"
      "  128+n  ended by signal n (130 for Ctrl-C); an earlier result is kept\n",
      name.c_str());
}

std::string tile_bounds_line(const TileRect& bounds, const std::string& path) {
  return format("%40.2lf%10.2lf%10.2lf%10.2lf\r%s\n", bounds.top, bounds.left, bounds.bottom,
                bounds.right, printable(path).c_str());
}

std::string final_bounds_text(const MosaicBounds& bounds, const std::optional<MosaicSize>& size) {
  std::string text = format("\n\nFinal output bounds: %10.1lf%10.2lf%10.2lf%10.2lf\n", bounds.top,
                            bounds.left, bounds.bottom, bounds.right);
  if (size) {
    // The byte count is the true product: the same as a 32-bit one below 2 GiB.
    text += format("%dx%d samples = %lld bytes\n", size->out_cols, size->out_rows,
                   static_cast<long long>(size->bytes()));
  }
  return text;
}

std::string problem_summary(std::span<const TileProblem> problems,
                            std::span<const std::string> names, bool nothing_written) {
  std::vector<bool> troubled(names.size(), nothing_written);
  for (const TileProblem& problem : problems) troubled[problem.tile] = true;
  std::string listed;
  size_t count = 0;
  for (size_t i = 0; i < names.size(); ++i) {
    if (!troubled[i]) continue;
    listed += (count++ == 0 ? "" : ", ") + printable(names[i]);
  }
  return format("%zu of %zu named tiles %s not used, or not used fully: %s\n", count, names.size(),
                count == 1 ? "was" : "were", listed.c_str());
}

}  // namespace demstitch
