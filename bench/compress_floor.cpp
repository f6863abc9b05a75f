// The floor under a COG's time: only compressing the full raster's 512 x 512 tiles, with the
// horizontal predictor, on N threads, the raster already in memory band by band (reading
// is not timed). Prints the seconds and the compressed bytes.
//
//   compress_floor RAW.DEM WIDTH HEIGHT COMPRESSION LEVEL THREADS
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "formats/cog_layout.hpp"
#include "formats/tile_codec.hpp"
#include "io/file.hpp"

using namespace demstitch;

int main(int argc, char** argv) {
  if (argc != 7) {
    std::fprintf(stderr, "usage: compress_floor RAW.DEM WIDTH HEIGHT COMPRESSION LEVEL THREADS\n");
    return 2;
  }
  const int width = std::atoi(argv[2]);
  const int height = std::atoi(argv[3]);
  const auto compression = compression_by_name(argv[4]);
  const int level = std::atoi(argv[5]);
  const int threads = std::max(1, std::atoi(argv[6]));
  File file;
  if (!compression || !File::open_for_reading(argv[1], &file).ok()) {
    std::fprintf(stderr, "compress_floor: cannot read %s or compression %s\n", argv[1], argv[4]);
    return 2;
  }
  const int across = (width + cog_tile_size - 1) / cog_tile_size;
  std::vector<int16_t> band(static_cast<size_t>(width) * cog_tile_size);
  std::atomic<int64_t> bytes{0};
  double seconds = 0;
  for (int top = 0; top < height; top += cog_tile_size) {
    const int rows = std::min(cog_tile_size, height - top);
    auto raw = std::as_writable_bytes(std::span(band).first(static_cast<size_t>(width) * rows));
    size_t got = 0;
    if (!file.read_at(int64_t{top} * width * 2, raw, &got).ok() || got != raw.size()) return 1;
    for (int16_t& v : band) {
      const auto u = static_cast<uint16_t>(v);
      v = static_cast<int16_t>((u >> 8) | (u << 8));
    }
    const auto start = std::chrono::steady_clock::now();
    std::atomic<int> next{0};
    auto work = [&] {
      auto encoder = make_encoder(*compression, level);
      std::vector<uint16_t> tile(static_cast<size_t>(cog_tile_size) * cog_tile_size);
      std::vector<std::byte> out;
      for (int t = next++; t < across; t = next++) {
        const int x0 = t * cog_tile_size;
        const int columns = std::min(cog_tile_size, width - x0);
        for (int r = 0; r < cog_tile_size; ++r) {
          uint16_t* row = tile.data() + static_cast<size_t>(r) * cog_tile_size;
          std::fill(row, row + cog_tile_size, static_cast<uint16_t>(-9999));
          if (r < rows) {
            std::copy_n(band.data() + static_cast<size_t>(r) * width + x0, columns, row);
          }
          for (int c = cog_tile_size - 1; c > 0; --c)
            row[c] = static_cast<uint16_t>(row[c] - row[c - 1]);
        }
        if (!encoder->encode(std::as_bytes(std::span(tile)), out).ok()) std::abort();
        bytes += static_cast<int64_t>(out.size());
      }
    };
    std::vector<std::thread> helpers;
    for (int i = 1; i < threads; ++i) helpers.emplace_back(work);
    work();
    for (auto& h : helpers) h.join();
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  std::printf("%.3f s %lld bytes\n", seconds, static_cast<long long>(bytes.load()));
  return 0;
}
