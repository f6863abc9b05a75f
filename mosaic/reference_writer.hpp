#pragma once

#include "io/file.hpp"
#include "mosaic/plan.hpp"

namespace demstitch {

// The straightforward writer, kept as the reference that the band writer must match: fill
// the mosaic's rows with no-data, then patch every tile row in place by absolute offset.
Status write_mosaic_by_patching(File& out, const MosaicPlan& plan);

}  // namespace demstitch
