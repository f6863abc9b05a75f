// demstitch with its writer chosen on the command line, for the benchmark:
//   bench_stitch [--reference] [--band=BYTES] [--write=BYTES] [--no-thread]
//                TILE...
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "cli/run.hpp"

int main(int argc, char** argv) {
  demstitch::WriterOptions options;
  std::vector<std::string_view> args{argv[0]};
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--reference") {
      options.reference = true;
    } else if (arg == "--no-reserve") {
      options.raster.reserve_space = false;
    } else if (arg == "--no-thread") {
      options.bands.two_threads = false;
    } else if (arg.starts_with("--band=")) {
      options.bands.band_bytes = std::atoll(argv[i] + 7);
    } else if (arg.starts_with("--write=")) {
      options.raster.write_bytes = std::atoll(argv[i] + 8);
    } else {
      args.push_back(arg);
    }
  }
  demstitch::Console console(stdout, stderr);
  return demstitch::run(args, console, options);
}
