#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <thread>
#include <utility>
#include <vector>

#include "formats/band_sink.hpp"
#include "mosaic/plan.hpp"

namespace demstitch {

// Told how many bytes of the mosaic are final; returns false to stop the write.
using WriteProgress = std::function<bool(int64_t bytes_done)>;

// Starts a thread; throws std::system_error when it cannot, as std::thread does.
using ThreadStarter = std::function<std::thread(std::function<void()>)>;

// How the band writer cuts its work; the defaults were chosen by measurement (see bench/).
struct BandOptions {
  int64_t band_bytes = int64_t{1} << 20;
  bool two_threads = true;     // two threads taking turns, band by band
  ThreadStarter start_thread;  // std::thread when empty
};

// Makes the mosaic in one sequential pass: each band takes every tile row that falls in it,
// in command-line order, over the no-data background, and goes to `out` once, in order.
// Memory: one band and a bounded list of row pieces a thread, whatever the tiles' shapes. A
// write stopped by `progress` ends with a cancelled status. Bytes a tile could not deliver
// (it shrank since it was measured) are background; `short_copies`, when given, gets the
// indices of those copies in plan order.
Status write_mosaic(BandSink& out, const MosaicPlan& plan, const WriteProgress& progress,
                    const BandOptions& options = {}, std::vector<size_t>* short_copies = nullptr);

// Assembles bands of the mosaic in memory, keeping its scratch space from band to band.
class BandAssembler {
 public:
  explicit BandAssembler(const MosaicPlan& plan)
      : plan_(plan), came_up_short_(plan.copies.size(), false) {}
  // Fills `band` with the mosaic bytes [offset, offset + band.size()): every tile row that
  // falls in it, in command-line order, over the background.
  Status assemble(int64_t offset, std::span<std::byte> band);
  // Whether copy `c` delivered fewer bytes than planned in any band so far.
  bool came_up_short(size_t c) const { return came_up_short_[c]; }

  // Bands with more row pieces than this are filled with the background first and read
  // piece by piece, so that the list of pieces never grows with the tiles' shapes.
  static constexpr int64_t listed_pieces = 16384;

 private:
  // The part of one tile row that falls in the band: `length` bytes from source byte
  // `from` of copy `copy`, to band byte `at`.
  struct Piece {
    size_t copy;
    int64_t from;
    int64_t at;
    int64_t length;
  };

  // Lays the background only where no piece lands: for a mosaic the tiles cover, that
  // saves touching every byte twice.
  void fill_uncovered(int64_t offset, std::span<std::byte> band);
  // Queues a piece; consecutive source bytes of one copy go in one vectored read.
  Status read(const Piece& piece, int64_t offset, std::span<std::byte> band);
  Status flush(int64_t offset, std::span<std::byte> band);

  const MosaicPlan& plan_;
  std::vector<bool> came_up_short_;
  std::vector<Piece> pieces_;  // in command-line order, then row order
  std::vector<std::pair<int64_t, int64_t>> covered_;
  std::vector<std::span<std::byte>> reads_;
  size_t reads_copy_ = 0;
  int64_t reads_from_ = 0;  // source offset of the first queued piece
  int64_t reads_end_ = 0;   // and one past the last
};

// Reads any part of a mosaic row straight from the tiles, as native samples: for a format
// that reads the mosaic itself (one reader a thread).
class MosaicRowReader final : public RowReader {
 public:
  explicit MosaicRowReader(const MosaicPlan& plan) : plan_(plan), assembler_(plan) {}
  Status read(int32_t row, int32_t column, std::span<int16_t> out) override;
  // Whole rows lie one after another in the mosaic: one reading takes them all, a tile's
  // rows in one vectored read.
  Status read_rows(int32_t row, int32_t /*rows*/, std::span<int16_t> out) override {
    return read(row, 0, out);
  }
  // Where each tile's columns begin and end.
  std::vector<int32_t> source_edges(int32_t row, int32_t rows) const override;
  // Whether a tile's raster is decoded as it is read (an archive's compressed member).
  bool reading_decodes() const override;
  // Whether copy `c` delivered fewer bytes than planned in any read so far.
  bool came_up_short(size_t c) const { return assembler_.came_up_short(c); }

 private:
  const MosaicPlan& plan_;
  BandAssembler assembler_;
};

}  // namespace demstitch
