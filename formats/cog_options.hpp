#pragma once

namespace demstitch {

// A GeoTIFF's tile compression, and how its overviews are made.
enum class Compression { none, deflate, zstd, lzw };
enum class Resampling { average, nearest };

// What a caller chooses of a Cloud-Optimized GeoTIFF result.
struct CogOptions {
  Compression compression = Compression::deflate;
  int level = 0;  // the compression's default when 0
  bool overviews = true;
  Resampling resampling = Resampling::average;
  int threads = 2;  // that read and compress at once
};

}  // namespace demstitch
