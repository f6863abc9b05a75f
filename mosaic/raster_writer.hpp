#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "io/file.hpp"
#include "mosaic/plan.hpp"

namespace demstitch {

// Told how many bytes of the mosaic are final; returns false to stop the write.
using WriteProgress = std::function<bool(int64_t bytes_done)>;

// How the band writer cuts its work; the defaults were chosen by measurement (see bench/).
struct BandOptions {
  int64_t band_bytes = int64_t{1} << 20;
  int64_t write_bytes = int64_t{64} << 10;
  bool writer_thread = true;
  size_t queued_bands = 4;    // bands assembled ahead of the writer thread
  bool reserve_space = true;  // allocate the whole file before writing it
};

// Writes the mosaic in one sequential pass: each band of the output starts as the
// background, takes every tile row that falls in it in command-line order, and is written
// once. `out` must be a new, empty file. Memory: queued_bands + 1 bands.
Status write_mosaic(File& out, const MosaicPlan& plan, std::span<const File> sources,
                    const WriteProgress& progress, const BandOptions& options = {});

// Assembles the mosaic bytes [offset, offset + band.size()) in memory.
Status assemble_band(const MosaicPlan& plan, std::span<const File> sources, int64_t offset,
                     std::span<std::byte> band);

// The straightforward writer, kept as the reference that the band writer must match: fill
// the mosaic's rows with no-data, then patch every tile row in place by absolute offset.
Status write_mosaic_by_patching(File& out, const MosaicPlan& plan, std::span<const File> sources);

}  // namespace demstitch
