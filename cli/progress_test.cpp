#include "cli/progress.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/tile_writer.hpp"

namespace demstitch {
namespace {

TEST(Progress, PercentRoundsHalvesAwayFromZero) {
  EXPECT_EQ(percent(0, 6000), 0);
  EXPECT_EQ(percent(512, 6000), 9);
  EXPECT_EQ(percent(5888, 6000), 98);
  EXPECT_EQ(percent(5952, 6000), 99);
  EXPECT_EQ(percent(1, 200), 1);  // 0.5
  EXPECT_EQ(percent(1, 8), 13);   // 12.5
  EXPECT_EQ(percent(INT32_MAX, INT32_MAX), 100);
}

// What the script prints up to line `count`, both streams in one (a binary file, so that
// line ends arrive as written).
std::string play(ProgressScript& script, int64_t count) {
  testing::TempDir dir;
  std::FILE* out = std::fopen((dir / "console").c_str(), "w+b");
  Console console(out, out);
  script.play_until(count, console);
  std::rewind(out);
  std::string result;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, out)) > 0;) result.append(buffer, n);
  std::fclose(out);
  return result;
}

TEST(Progress, ScriptPlaysFillThenTilesInOrder) {
  ProgressScript script(300, {{"A.dem", 130, "", ""},
                              {"B.dem", 5, "Error opening file B.dem\n", ""},
                              {"C.dem", 0, "", "Short raster C.dem\n"}});
  // Fill: rows 0, 128, 256; A: line feed and rows 0, 64, 128; B: its message; C: its notice
  // and a line feed.
  EXPECT_EQ(script.size(), 3 + 4 + 1 + 2);
  const std::string blanks(31, ' ');
  EXPECT_EQ(play(script, 2),
            "0% Generating empty output file   \r43% Generating empty output file   \r");
  EXPECT_EQ(play(script, 100), "85% Generating empty output file   \r\n0% A.dem" + blanks +
                                   "\r49% A.dem" + blanks + "\r98% A.dem" + blanks +
                                   "\rError opening file B.dem\nShort raster C.dem\n\n");
  EXPECT_EQ(play(script, 100), "");
}

}  // namespace
}  // namespace demstitch
