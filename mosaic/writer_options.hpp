#pragma once

// How the raster is written, for the benchmark, the fuzzer and the tests: the band writer
// tuned, or the fill-then-patch reference writer it must match. Callers of the library use
// stitch() as stitch.hpp declares it.
#include "formats/bil_result.hpp"
#include "mosaic/band_writer.hpp"
#include "mosaic/stitch.hpp"

namespace demstitch {

// None of these changes a byte of the result.
struct WriterOptions {
  bool reference = false;
  BandOptions bands;
  RawRasterOptions raster;
};

// stitch() with the raster written as `writer` says.
StitchResult stitch(const StitchRequest& request, StitchObserver& observer,
                    const WriterOptions& writer);

}  // namespace demstitch
