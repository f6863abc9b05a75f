#include "formats/tile_header.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace demstitch {
namespace {

TileHeader read(std::string_view text, int32_t* count = nullptr) {
  TileHeader header;
  int32_t n = read_header_text(header, text);
  if (count) *count = n;
  return header;
}

double single(double value) { return static_cast<double>(static_cast<float>(value)); }

TEST(TileHeaderRecord, DefaultsDescribeA6000By4800Tile) {
  TileHeader h;
  EXPECT_EQ(h.nrows, 6000);
  EXPECT_EQ(h.ncols, 4800);
  EXPECT_EQ(h.nbits, 16);
  EXPECT_EQ(h.nbands, 1);
  EXPECT_EQ(h.band_row_bytes, 9600);
  EXPECT_EQ(h.total_row_bytes, 9600);
  EXPECT_EQ(h.band_gap_bytes, 0);
  EXPECT_EQ(h.nodata, -9999);
  EXPECT_EQ(h.ulx, 0.0);
  EXPECT_EQ(h.uly, 0.0);
  EXPECT_EQ(h.xdim, 0.00833333333333);
  EXPECT_EQ(h.ydim, 0.00833333333333);
  EXPECT_EQ(h.byte_order, 0);
  EXPECT_EQ(h.layout, "");
  EXPECT_EQ(h.unit, "m");
}

TEST(HeaderReader, EmptyFileKeepsEveryDefault) {
  int32_t count = -1;
  TileHeader h = read("", &count);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(h.nrows, 6000);
  EXPECT_EQ(h.total_row_bytes, 9600);
}

TEST(HeaderReader, ReadsTheBilVocabulary) {
  int32_t count = 0;
  TileHeader h = read(
      "BYTEORDER      M\nLAYOUT       BIL\nNROWS         6000\nNCOLS         4800\n"
      "NBANDS        1\nNBITS         16\nBANDROWBYTES         9600\n"
      "TOTALROWBYTES        9600\nBANDGAPBYTES         0\nNODATA        -9999\n"
      "ULXMAP        -179.995833333333\nULYMAP        89.9958333333333\n"
      "XDIM          0.00833333333333\nYDIM          0.00833333333333\n",
      &count);
  EXPECT_EQ(count, 14);
  EXPECT_EQ(h.layout, "BIL");
  EXPECT_EQ(h.ulx, single(-179.995833333333));
  EXPECT_EQ(h.uly, single(89.9958333333333));
  // Held in single precision: the spacing is a little above 1/120.
  EXPECT_EQ(h.xdim, single(0.00833333333333));
  EXPECT_GT(h.xdim, 1.0 / 120);
}

TEST(HeaderReader, LineEndsCrLfLfAndLoneCrGiveTheSameRecord) {
  TileHeader lf = read("NROWS 10\nNCOLS 20\nULXMAP 1.5\n");
  TileHeader crlf = read("NROWS 10\r\nNCOLS 20\r\nULXMAP 1.5\r\n");
  TileHeader cr = read("NROWS 10\rNCOLS 20\rULXMAP 1.5");
  for (const TileHeader* h : {&lf, &crlf, &cr}) {
    EXPECT_EQ(h->nrows, 10);
    EXPECT_EQ(h->ncols, 20);
    EXPECT_EQ(h->ulx, 1.5);
  }
}

TEST(HeaderReader, StopsAtCtrlZ) {
  TileHeader h = read("NROWS 10\n\x1aNCOLS 20\n");
  EXPECT_EQ(h.nrows, 10);
  EXPECT_EQ(h.ncols, 4800);
}

TEST(HeaderReader, BytesFedOneAtATimeGiveTheSameRecord) {
  std::string text = "NROWS 10\r\nNCOLS 20\r\r\nXDIM 0.5\r" + std::string(700, 'x') +
                     "\nYDIM 0.25\r\n\x1aNODATA 5\n";
  TileHeader whole = read(text);
  TileHeader pieces;
  HeaderReader reader(pieces);
  for (char c : text) reader.feed(std::string_view(&c, 1));
  reader.finish();
  EXPECT_EQ(pieces.nrows, whole.nrows);
  EXPECT_EQ(pieces.ncols, whole.ncols);
  EXPECT_EQ(pieces.xdim, 0.5);
  EXPECT_EQ(pieces.ydim, 0.25);
  EXPECT_EQ(pieces.nodata, -9999);
}

TEST(HeaderReader, IntegerValuesConvertLikePercentD) {
  int32_t count = 0;
  EXPECT_EQ(read("NROWS abc", &count).nrows, 6000);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(read("NROWS 6000x", &count).nrows, 6000);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(read("NROWS \t-12", &count).nrows, -12);
  EXPECT_EQ(read("NROWS +7", &count).nrows, 7);
  EXPECT_EQ(read("NROWS -2147483648", &count).nrows, INT32_MIN);
  // Out of the 32-bit range: does not convert.
  EXPECT_EQ(read("NROWS 2147483648", &count).nrows, 6000);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(read("NROWS 99999999999999999999", &count).nrows, 6000);
}

TEST(HeaderReader, KeywordEndsAtTheFirstBlankOnly) {
  EXPECT_EQ(read("NROWS = 61").nrows, 61);
  EXPECT_EQ(read("NROWS  ==62").nrows, 62);
  EXPECT_EQ(read("NROWS=63").nrows, 6000);
  EXPECT_EQ(read("XDIM\t0.5").xdim, 0.00833333333333);
  EXPECT_EQ(read("  NROWS 64").nrows, 6000);
  EXPECT_EQ(read("nrows 65").nrows, 6000);
}

TEST(HeaderReader, KeywordWithoutValueReadsAnEmptyValue) {
  int32_t count = 0;
  TileHeader h = read("NROWS\nLAYOUT\nBYTEORDER\n", &count);
  EXPECT_EQ(h.nrows, 6000);
  EXPECT_EQ(h.byte_order, 1);
  EXPECT_EQ(count, 2);
}

TEST(HeaderReader, FirstLetterValues) {
  int32_t count = 0;
  EXPECT_EQ(read("BYTEORDER I").byte_order, 1);
  EXPECT_EQ(read("BYTEORDER Motorola").byte_order, 0);
  EXPECT_EQ(read("data_byte_order big_endian").byte_order, 0);
  EXPECT_EQ(read("data_byte_order little").byte_order, 1);
  EXPECT_EQ(read("data_representation short", &count).nbits, 16);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(read("data_representation byte").nbits, 8);
  EXPECT_EQ(read("data_representation long").nbits, 32);
  TileHeader f = read("data_representation float", &count);
  EXPECT_EQ(f.nbits, 16);
  EXPECT_EQ(count, 0);
}

TEST(HeaderReader, LayoutKeepsAtMost63Characters) {
  EXPECT_EQ(read("LAYOUT " + std::string(80, 'b')).layout, std::string(63, 'b'));
}

TEST(HeaderReader, DescriptiveVocabularyDerivesTheRowLayout) {
  TileHeader h = read(
      "TOTALROWBYTES 1000\nBANDGAPBYTES 7\nNBANDS 3\nnumber_of_columns 4800\n"
      "number_of_rows 10\ndata_representation s\nleft_map_x -20\nupper_map_y 40\n"
      "grid_size 0.5\n");
  EXPECT_EQ(h.total_row_bytes, 9600);
  EXPECT_EQ(h.band_row_bytes, 9600);
  EXPECT_EQ(h.band_gap_bytes, 0);
  EXPECT_EQ(h.nbands, 1);
  EXPECT_EQ(h.nrows, 10);
  EXPECT_EQ(h.ulx, -20.0);
  EXPECT_EQ(h.uly, 40.0);
  EXPECT_EQ(h.xdim, 0.5);
  EXPECT_EQ(h.ydim, 0.5);
}

TEST(HeaderReader, DescriptiveKeywordTriggersDerivationEvenWhenItsValueFails) {
  // "float" changes no bit depth, yet the row layout is derived: 12 / 8 = 1 byte a sample.
  TileHeader h = read("NBITS 12\nNCOLS 100\nTOTALROWBYTES 5\ndata_representation float\n");
  EXPECT_EQ(h.total_row_bytes, 100);
  TileHeader wide = read("NBITS 32\nNCOLS 2147483647\ngrid_size x\n");
  EXPECT_EQ(wide.total_row_bytes, int64_t{4} * 2147483647);
}

TEST(HeaderReader, LongLinesArriveAsPiecesOf510) {
  // The second piece of a 518-character line is a line of its own.
  TileHeader h = read(std::string(510, 'x') + "NROWS 77\n");
  EXPECT_EQ(h.nrows, 77);
  TileHeader split = read("NROWS 79" + std::string(502, ' ') + "NCOLS 10\n");
  EXPECT_EQ(split.nrows, 79);
  EXPECT_EQ(split.ncols, 10);
}

TEST(HeaderReader, NulEndsWhatIsSeenOfAPiece) {
  using namespace std::string_literals;
  TileHeader h = read("NROWS 12\0 NCOLS 5\nNCOLS 34\n"s);
  EXPECT_EQ(h.nrows, 12);
  EXPECT_EQ(h.ncols, 34);
}

TEST(HeaderReader, RealValuesAcceptWhatPercentFAccepts) {
  EXPECT_TRUE(std::isnan(read("ULXMAP nan").ulx));
  EXPECT_TRUE(std::isinf(read("YDIM inf").ydim));
  EXPECT_EQ(read("XDIM 1e30").xdim, single(1e30));
  EXPECT_EQ(read("ULYMAP junk").uly, 0.0);
}

TEST(HeaderReader, LastSuccessfulLineWins) {
  TileHeader h = read("NROWS 5\nNROWS 6\nNROWS x\nnumber_of_rows 7\nNROWS y\n");
  EXPECT_EQ(h.nrows, 7);
}

TEST(HeaderDoubts, ASoundHeaderHasNoneAndEachFlawIsNamed) {
  const std::string corner = "ULXMAP -19.9958333\nULYMAP 89.9958333\n";
  EXPECT_TRUE(
      header_doubts(read(corner + "XDIM 0.00833333333333\nYDIM 0.00833333333333\n")).empty());
  // The six decimals older result headers wrote are close enough to 1/120.
  EXPECT_TRUE(header_doubts(read(corner + "XDIM 0.008333\nYDIM 0.008333\n")).empty());
  EXPECT_TRUE(header_doubts(read("left_map_x 10\nupper_map_y 50\n")).empty());

  using Doubts = std::vector<std::string>;
  EXPECT_EQ(header_doubts(read("")),
            Doubts{"gives no corner (ULXMAP and ULYMAP, or left_map_x and upper_map_y)"});
  // A header cut before its corner; a corner that does not convert is not a corner.
  EXPECT_EQ(header_doubts(read("NROWS 6000\nULXMAP 10\n")),
            Doubts{"gives no ULYMAP (or upper_map_y)"});
  EXPECT_EQ(header_doubts(read("ULXMAP x\nULYMAP 50\n")),
            Doubts{"gives no ULXMAP (or left_map_x)"});
  EXPECT_EQ(header_doubts(read(corner + "BYTEORDER I\nNBITS 32\nXDIM 0.5\n")),
            (Doubts{"says the samples are not most significant byte first", "says NBITS 32, not 16",
                    "says a spacing of 0.5 by 0.00833333 degrees, not 1/120"}));
  EXPECT_EQ(header_doubts(read(corner + "YDIM 0.0084\n")).size(), 1u);
  EXPECT_EQ(header_doubts(read(corner + "XDIM nan\n")).size(), 1u);
}

}  // namespace
}  // namespace demstitch
