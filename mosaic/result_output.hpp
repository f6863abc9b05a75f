#pragma once

// A planned mosaic written out: into a format's files, checked, locked and installed all or
// nothing the same way for every format, or into a caller's memory. Internal to stitch().
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "formats/result.hpp"
#include "io/output_set.hpp"
#include "mosaic/copy_planning.hpp"
#include "mosaic/plan.hpp"
#include "mosaic/stitch.hpp"
#include "mosaic/tile_inputs.hpp"
#include "mosaic/writer_options.hpp"

namespace demstitch {

// Where the result's cells lie: for the raw result where its header puts them, for every
// other format and an array the grid's own corner. `grid` says which.
struct ResultPlace {
  GeoTransform header;  // as the raw header gives it
  GeoTransform grid;    // the corner on the 1/120-degree grid at full precision
  HeaderCorner corner;  // what the raw header writes
};
ResultPlace result_place(const MosaicLayout& layout);

class ResultOutput {
 public:
  // Problems are noted on `inputs`' tiles, failures and what was written in `result`.
  ResultOutput(TileInputs& inputs, StitchObserver& observer, const WriterOptions& writer,
               StitchResult& result)
      : inputs_(inputs), observer_(observer), writer_(writer), result_(result) {}

  // The mosaic as `format`'s files: names checked, the lock taken, the copies planned, the
  // files written and finished, then installed.
  void write_files(Result& format, const MosaicLayout& layout, ResultGrid grid);
  // The mosaic into the caller's memory: no file, no lock.
  void read_into(const MosaicMemory& memory, const MosaicLayout& layout);

 private:
  void fail(StitchOutcome outcome, OutputStep step, Status error);
  bool prepare(OutputSet& outputs, const Result& format, const MosaicLayout& layout);
  bool write_raster(const std::function<Status(std::vector<size_t>*)>& write);
  bool write_bands(Result& format);
  bool write_rows(Result& format);
  void install(OutputSet& outputs, const Result& format);

  TileInputs& inputs_;
  StitchObserver& observer_;
  const WriterOptions& writer_;
  StitchResult& result_;
  MosaicPlan plan_;
};

}  // namespace demstitch
