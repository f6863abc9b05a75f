// demstitch-preview: a PNG quick-look of a mosaic.
//   demstitch-preview [-w WIDTH] [-o FILE.png] BASE
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/strings.hpp"
#include "preview/preview.hpp"

namespace {

int usage(const char* program) {
  std::fprintf(stderr,
               "Usage: %s [-w WIDTH] [-o FILE.png] MOSAIC\n\n"
               "Writes a PNG quick-look of MOSAIC: a raw result by its base name or either\n"
               "file (GTResult, GTResult.DEM, GTResult.HDR) or a GeoTIFF (alps.tif), at most\n"
               "WIDTH pixels wide (default 1800), to FILE.png (default MOSAIC without its\n"
               "extension, and .png).\n",
               program);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  demstitch::preview::PreviewOptions options;
  std::string base;
  std::string png;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if ((arg == "-w" || arg == "-o") && i + 1 < argc) {
      if (arg == "-o") {
        png = argv[++i];
        continue;
      }
      char* end = nullptr;
      long width = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || width < 1 || width > 100000) return usage(argv[0]);
      options.width = width;
    } else if (base.empty() && !arg.empty() && arg.front() != '-') {
      base = arg;
    } else {
      return usage(argv[0]);
    }
  }
  if (base.empty()) return usage(argv[0]);
  if (png.empty()) {
    // alps.tif, alps.DEM and alps all give alps.png.
    png = base;
    for (std::string_view extension : {".tiff", ".tif", ".dem", ".hdr"}) {
      if (png.size() > extension.size() &&
          demstitch::equal_ignoring_case(
              std::string_view(png).substr(png.size() - extension.size()), extension)) {
        png.resize(png.size() - extension.size());
        break;
      }
    }
    png += ".png";
  }
  std::string summary;
  demstitch::Status status = demstitch::preview::write_preview(base, png, options, &summary);
  if (!status.ok()) {
    std::fprintf(stderr, "demstitch-preview: %s\n", status.message().c_str());
    return 1;
  }
  std::printf("%s\n", summary.c_str());
  return 0;
}
