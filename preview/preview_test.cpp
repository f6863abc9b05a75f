#include "preview/preview.hpp"

#include <gtest/gtest.h>
#include <png.h>

#if defined(DEMSTITCH_PREVIEW_TIFF)
#include <tiffio.h>
#endif

#include <cmath>
#include <string>
#include <vector>

#include "tests/tile_writer.hpp"

namespace demstitch::preview {
namespace {

TEST(Preview, DownsamplerAveragesBlocksAndSkipsNoData) {
  Downsampler d(4, 4, 2, -9999);
  EXPECT_EQ(d.out_rows(), 2);
  std::vector<std::vector<double>> rows;
  auto keep = [&](std::span<const double> row) { rows.emplace_back(row.begin(), row.end()); };
  std::vector<std::vector<int16_t>> input = {
      {1, 3, -9999, -9999}, {5, 7, -9999, -9999}, {10, 10, 20, -9999}, {10, 10, 40, -9999}};
  for (const auto& row : input) d.add_row(row, keep);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0][0], 4.0);
  EXPECT_TRUE(std::isnan(rows[0][1]));
  EXPECT_EQ(rows[1][0], 10.0);
  EXPECT_EQ(rows[1][1], 30.0);
}

TEST(Preview, DownsamplerNeverEnlarges) {
  Downsampler d(3, 5, 1800, -9999);
  EXPECT_EQ(d.out_cols(), 3);
  EXPECT_EQ(d.out_rows(), 5);
}

TEST(Preview, HillShadeLightsSlopesFacingNorthWest) {
  EXPECT_DOUBLE_EQ(hill_shade(0, 0), 1.0);
  // Rising eastward and southward: the slope faces north-west, toward the light.
  EXPECT_GT(hill_shade(0.5, 0.5), 1.0);
  EXPECT_LT(hill_shade(-0.5, -0.5), 1.0);
}

TEST(Preview, RampRunsFromGreenToWhite) {
  Rgb low = ramp_colour(100);
  EXPECT_GT(low.g, low.r);
  EXPECT_GT(low.g, low.b);
  Rgb peak = ramp_colour(8000);
  EXPECT_EQ(peak, (Rgb{250, 250, 250}));
  EXPECT_EQ(ramp_colour(-300), ramp_colour(0));
}

void put_sample(std::string& bytes, int16_t value) {
  auto bits = static_cast<uint16_t>(value);
  bytes.push_back(static_cast<char>(bits >> 8));
  bytes.push_back(static_cast<char>(bits & 0xFF));
}

TEST(Preview, PictureOfAKnownMosaic) {
  // 90 x 30 samples: a third sea, a third lowland at 100 m, a third mountains at 4000 m.
  testing::TempDir dir;
  std::string raster;
  for (int r = 0; r < 30; ++r) {
    for (int c = 0; c < 90; ++c) put_sample(raster, c < 30 ? -9999 : c < 60 ? 100 : 4000);
  }
  testing::write_file(dir / "GTResult.DEM", raster);
  testing::write_file(dir / "GTResult.HDR",
                      "BYTEORDER     M\r\nNROWS         30\r\nNCOLS         90\r\n"
                      "TOTALROWBYTES 180\r\nNODATA        -9999\r\n");
  std::string summary;
  std::string png = dir / "out.png";
  Status s = write_preview(dir / "GTResult", png, PreviewOptions{45}, &summary);
  ASSERT_TRUE(s.ok()) << s.message();

  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  ASSERT_TRUE(png_image_begin_read_from_file(&image, png.c_str()));
  image.format = PNG_FORMAT_RGB;
  std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
  ASSERT_TRUE(png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr));
  ASSERT_EQ(image.width, 45u);
  ASSERT_EQ(image.height, 15u);
  auto at = [&](int x, int y) {
    const uint8_t* p = &pixels[(y * 45 + x) * 3];
    return Rgb{p[0], p[1], p[2]};
  };
  EXPECT_EQ(at(5, 7), sea_colour);
  Rgb low = at(22, 7);
  EXPECT_GT(low.g, low.r);
  EXPECT_GT(low.g, low.b);
  Rgb high = at(40, 7);
  EXPECT_GT(high.r, low.r);
  EXPECT_GE(high.r, high.g);
  EXPECT_GE(high.g, high.b);
}

#if defined(DEMSTITCH_PREVIEW_TIFF)
TEST(Preview, AGeoTiffAndItsRawResultNamedWithAnExtensionLookTheSame) {
  // 40 x 30 samples: a slope with a hole of no-data, as a raw result and as a TIFF tiled
  // 16 x 16 (its last tiles partly outside).
  testing::TempDir dir;
  constexpr int cols = 40;
  constexpr int rows = 30;
  auto sample = [](int r, int c) {
    return static_cast<int16_t>(r > 10 && r < 20 && c > 5 && c < 15 ? -9999 : 50 * r + 20 * c);
  };
  std::string raster;
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < cols; ++c) put_sample(raster, sample(r, c));
  }
  testing::write_file(dir / "m.DEM", raster);
  testing::write_file(dir / "m.HDR", "BYTEORDER M\nNROWS 30\nNCOLS 40\nTOTALROWBYTES 80\n");
  TIFF* tiff = TIFFOpen((dir / "m.tif").c_str(), "w");
  ASSERT_NE(tiff, nullptr);
  TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, cols);
  TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, rows);
  TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 16);
  TIFFSetField(tiff, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_INT);
  TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
  TIFFSetField(tiff, TIFFTAG_TILEWIDTH, 16);
  TIFFSetField(tiff, TIFFTAG_TILELENGTH, 16);
  std::vector<int16_t> tile(16 * 16);
  for (int y = 0; y < rows; y += 16) {
    for (int x = 0; x < cols; x += 16) {
      for (int i = 0; i < 16 * 16; ++i) {
        const int r = y + i / 16;
        const int c = x + i % 16;
        tile[i] = r < rows && c < cols ? sample(r, c) : 0;
      }
      ASSERT_GE(TIFFWriteTile(tiff, tile.data(), x, y, 0, 0), 0);
    }
  }
  TIFFClose(tiff);
  std::string summary;
  ASSERT_TRUE(write_preview(dir / "m.tif", dir / "tif.png", PreviewOptions{20}, &summary).ok());
  ASSERT_TRUE(write_preview(dir / "m.DEM", dir / "dem.png", PreviewOptions{20}, &summary).ok());
  EXPECT_EQ(testing::read_file(dir / "tif.png"), testing::read_file(dir / "dem.png"));
  // Anything else named .tif is told as such.
  testing::write_file(dir / "not.tif", "<html>");
  EXPECT_EQ(write_preview(dir / "not.tif", dir / "x.png", {}, &summary).detail(),
            "not a TIFF file");
}
#endif

TEST(Preview, MissingMosaicIsReported) {
  testing::TempDir dir;
  std::string summary;
  Status s = write_preview(dir / "GTResult", dir / "x.png", {}, &summary);
  EXPECT_FALSE(s.ok());
  EXPECT_NE(s.message().find("GTResult.HDR: No such file or directory"), std::string::npos);
}

}  // namespace
}  // namespace demstitch::preview
