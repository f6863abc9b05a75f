// demstitch-preview: a PNG quick-look of a mosaic.
//   demstitch-preview [-w WIDTH] [-o FILE.png] BASE
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "preview/preview.hpp"

namespace {

int usage(const char* program) {
  std::fprintf(stderr,
               "Usage: %s [-w WIDTH] [-o FILE.png] BASE\n\n"
               "Writes a PNG quick-look of the mosaic BASE.HDR / BASE.DEM (for example\n"
               "GTResult), at most WIDTH pixels wide (default 1800), to FILE.png\n"
               "(default BASE.png).\n",
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
  if (png.empty()) png = base + ".png";
  std::string summary;
  demstitch::Status status = demstitch::preview::write_preview(base, png, options, &summary);
  if (!status.ok()) {
    std::fprintf(stderr, "demstitch-preview: %s\n", status.message().c_str());
    return 1;
  }
  std::printf("%s\n", summary.c_str());
  return 0;
}
