// The band writer under a file-size limit (POSIX): a write that fails ends the write.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <string>

#include "formats/bil_result.hpp"
#include "mosaic/band_writer.hpp"
#include "tests/tile_writer.hpp"

namespace demstitch {
namespace {

TEST(BandWriter, AFailedWriteEndsTheWriteWithOneThreadOrTwo) {
  testing::TempDir dir;
  // Files may grow to 64 KiB only; the space is not reserved, so the writes themselves fail.
  MosaicPlan plan{1000, 1000, {}};
  rlimit saved{};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  auto handler = ::signal(SIGXFSZ, SIG_IGN);
  for (bool thread : {true, false}) {
    auto path = dir / (thread ? "threaded" : "single");
    File out;
    ASSERT_TRUE(File::create_new(path, path, &out).ok());
    BandOptions options;
    options.band_bytes = 4096;
    options.two_threads = thread;
    RawRaster raster(out, RawRasterOptions{.reserve_space = false});
    rlimit limit{65536, saved.rlim_max};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    int64_t last_progress = 0;
    Status s = write_mosaic(
        raster, plan,
        [&](int64_t done) {
          last_progress = done;
          return true;
        },
        options);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_FALSE(s.ok());
    EXPECT_NE(s.message().find("File too large"), std::string::npos) << s.message();
    EXPECT_LE(last_progress, 65536);
  }
  ::signal(SIGXFSZ, handler);
}

}  // namespace
}  // namespace demstitch
