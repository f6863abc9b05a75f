#include "cli/command_line.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace demstitch {
namespace {

CommandLine parse(std::vector<std::string_view> args) { return parse_command_line(args); }

using Outcome = CommandLine::Outcome;

TEST(CommandLine, NoArgumentAndNoTileAreUsageErrors) {
  EXPECT_EQ(parse({}).outcome, Outcome::no_argument);
  EXPECT_EQ(parse({"-1,2"}).outcome, Outcome::no_tile);
}

TEST(CommandLine, OptionAppliesToEveryTileWhereverItStands) {
  CommandLine line = parse({"A", "-0.5,0.25", "B"});
  EXPECT_EQ(line.outcome, Outcome::run);
  EXPECT_EQ(line.names, (std::vector<std::string>{"A", "B"}));
  EXPECT_EQ(line.offset_x, 0.5);
  EXPECT_EQ(line.offset_y, 0.25);
}

TEST(CommandLine, OffsetFields) {
  struct Case {
    const char* option;
    double x;
    double y;
  };
  for (Case c : {Case{"--0.5", -0.5, 0.0}, Case{"-,7", 7.0, 0.0}, Case{"-abc", 0.0, 0.0},
                 Case{"-1,,2,9", 1.0, 2.0}, Case{"-", 0.0, 0.0}, Case{"- 3e1x,.5.5", 30.0, 0.5},
                 Case{"-1e,2E-1", 1.0, 0.2}, Case{"-+.e5,-.", 0.0, 0.0}}) {
    CommandLine line = parse({c.option, "A"});
    EXPECT_EQ(line.offset_x, c.x) << c.option;
    EXPECT_EQ(line.offset_y, c.y) << c.option;
  }
}

TEST(CommandLine, LaterOptionOverridesOnlyTheFieldsItGives) {
  CommandLine line = parse({"-1,2", "-3", "A"});
  EXPECT_EQ(line.offset_x, 3.0);
  EXPECT_EQ(line.offset_y, 2.0);
}

TEST(CommandLine, NamesAreTakenAsTheyStand) {
  CommandLine line = parse({"A.DEM", "", "A.DEM"});
  EXPECT_EQ(line.names, (std::vector<std::string>{"A.DEM", "", "A.DEM"}));
}

TEST(CommandLine, LimitsOnTileCountAndNameLength) {
  std::vector<std::string> many(65, "T");
  std::vector<std::string_view> args(many.begin(), many.end());
  EXPECT_EQ(parse(args).outcome, Outcome::too_many_tiles);
  args.pop_back();
  EXPECT_EQ(parse(args).outcome, Outcome::run);

  std::string longest(507, 'n');
  std::string too_long(508, 'n');
  EXPECT_EQ(parse({longest}).outcome, Outcome::run);
  CommandLine line = parse({too_long});
  EXPECT_EQ(line.outcome, Outcome::name_too_long);
  EXPECT_EQ(line.offending, too_long);
}

TEST(CommandLine, BoundsAndOutput) {
  CommandLine line = parse({"--bounds=170,-20,-170,-10", "--output=fiji/islands", "A"});
  ASSERT_EQ(line.outcome, Outcome::run);
  ASSERT_TRUE(line.window);
  EXPECT_EQ(line.window->west, 170);
  EXPECT_EQ(line.window->east, -170);
  EXPECT_EQ(line.output.base, "fiji/islands");
  EXPECT_EQ(parse({"A"}).output.base, "GTResult");
  EXPECT_FALSE(parse({"A"}).window);
}

TEST(CommandLine, OptionValuesMayFollowAsTheNextArgument) {
  CommandLine line = parse({"--bounds", "5,43,17,48", "--output", "alps", "A"});
  ASSERT_EQ(line.outcome, Outcome::run);
  EXPECT_EQ(line.window->north, 48);
  EXPECT_EQ(line.output.base, "alps");
  EXPECT_EQ(line.names, std::vector<std::string>{"A"});
  line = parse({"--bounds", "5,43,17", "A"});
  EXPECT_EQ(line.outcome, Outcome::bad_value);
  EXPECT_EQ(line.offending.find("--bounds 5,43,17: "), 0u) << line.offending;
}

TEST(CommandLine, AnEastEdgePast180IsTheSameMeridianATurnWest) {
  CommandLine line = parse({"--bounds=170,-20,190,-10", "A"});
  ASSERT_EQ(line.outcome, Outcome::run);
  EXPECT_EQ(line.window->west, 170);
  EXPECT_EQ(line.window->east, -170);
}

TEST(CommandLine, AnOutputNamedWithTheResultsExtensionNamesItsBase) {
  for (const char* output : {"--output=regions/alps2.DEM", "--output=regions/alps2.hdr",
                             "--output=regions/alps2.Prj", "--output=regions/alps2"}) {
    EXPECT_EQ(parse({output, "A"}).output.base, "regions/alps2") << output;
  }
  EXPECT_EQ(parse({"--output=alps.tar", "A"}).output.base, "alps.tar");
}

TEST(CommandLine, AnOutputThatIsOnlyAnExtensionIsRefused) {
  for (const char* output :
       {"--output=.DEM", "--output=.tif", "--output=d/.tif", "--output=d/.hdr"}) {
    EXPECT_EQ(parse({output, "A"}).outcome, Outcome::bad_value) << output;
  }
}

TEST(CommandLine, AOneDashWordThatBeginsAnOptionsNameIsRefused) {
  for (const char* arg : {"-bounds=5,43,17,48", "-output=x", "-Format=cog", "-compress", "-level=3",
                          "-overviews=none", "-help", "-version", "-quiet", "-bo"}) {
    CommandLine line = parse({arg, "A"});
    EXPECT_EQ(line.outcome, Outcome::bad_value) << arg;
    EXPECT_NE(line.offending.find("did you mean --"), std::string::npos) << line.offending;
  }
  EXPECT_NE(parse({"-bounds=5,43,17,48", "A"}).offending.find("--bounds?"), std::string::npos);
  // A lone letter stays the offset option, as the usage text's -h,w shows it.
  EXPECT_EQ(parse({"-h,w", "A"}).outcome, Outcome::run);
}

TEST(CommandLine, LevelIsAWholeNumber) {
  for (const char* level : {"--level=7junk", "--level=5.9", "--level=0x5", "--level="}) {
    CommandLine line = parse({"--format=cog", level, "A"});
    EXPECT_EQ(line.outcome, Outcome::bad_value) << level;
    EXPECT_EQ(line.offending.find(std::string(level) + ": "), 0u) << line.offending;
  }
  EXPECT_EQ(parse({"--format=cog", "--level=+7", "A"}).output.cog.level, 7);
}

TEST(CommandLine, AWholeTurnFromWestIsTheWorldFromWestEastwards) {
  CommandLine line = parse({"--bounds=0,-90,360,90", "A"});
  ASSERT_EQ(line.outcome, Outcome::run);
  EXPECT_EQ(snap_outward(*line.window).cols(), world_columns);
  EXPECT_EQ(snap_outward(*line.window).west, 0);
  EXPECT_EQ(parse({"--bounds=10,49,370,50", "A"}).outcome, Outcome::run);
  EXPECT_TRUE(parse({"--quiet", "A"}).quiet);
}

TEST(CommandLine, BoundsThatCannotBeUsedAreRefused) {
  for (const char* bounds :
       {"--bounds=5,43,17", "--bounds=5,43,17,48,1", "--bounds=5,43,x,48", "--bounds=5,43,17,",
        "--bounds=nan,43,17,48", "--bounds=5,43,inf,48", "--bounds=5, 43,17,48",
        "--bounds=", "--bounds=5,48,17,43", "--bounds=5,43,17,43", "--bounds=5,43,5,48",
        "--bounds=5,-91,17,48", "--bounds=5,43,17,90.5", "--bounds=-180.5,43,17,48",
        "--bounds=5,43,366,48", "--output=", "--output=regions/"}) {
    CommandLine line = parse({bounds, "A"});
    EXPECT_EQ(line.outcome, Outcome::bad_value) << bounds;
    EXPECT_EQ(line.offending.find(std::string(bounds) + ": "), 0u) << line.offending;
  }
  EXPECT_EQ(parse({"--bounds=-180,-90,180,90", "A"}).outcome, Outcome::run);
  for (const char* bounds : {"--bounds=180,49,-180,50", "--bounds=10,49,371,50"}) {
    EXPECT_EQ(parse({bounds, "A"}).outcome, Outcome::bad_value) << bounds;
  }
  EXPECT_EQ(parse({"A", "--bounds"}).outcome, Outcome::bad_value);
  EXPECT_EQ(parse({"--output", "--bounds=5,43,17,48", "A"}).outcome, Outcome::bad_value);
  EXPECT_EQ(parse({"--bounds=+5,43e0,17.0,48", "A"}).outcome, Outcome::run);
}

TEST(CommandLine, AGeoTiffByFormatOrByTheOutputsExtension) {
  CommandLine by_name = parse({"--output", "regions/alps.TIFF", "A"});
  EXPECT_EQ(by_name.outcome, Outcome::run);
  EXPECT_EQ(by_name.output.format, ResultFormat::cog);
  EXPECT_EQ(by_name.output.path, "regions/alps.TIFF");
  EXPECT_EQ(by_name.output.base, "regions/alps");
  CommandLine chosen = parse({"--format", "cog", "--compress=lzw", "--overviews=nearest", "A"});
  EXPECT_EQ(chosen.outcome, Outcome::run);
  EXPECT_EQ(chosen.output.format, ResultFormat::cog);
  EXPECT_EQ(chosen.output.cog.compression, Compression::lzw);
  EXPECT_EQ(chosen.output.cog.resampling, Resampling::nearest);
  EXPECT_EQ(parse({"--format=dem", "A"}).output.format, ResultFormat::dem);
  EXPECT_EQ(parse({"--output=a.tif", "--level=6", "A"}).output.cog.level, 6);
  // NetCDF by its name or extension: the path kept whole, or the base given its extension.
  CommandLine netcdf = parse({"--output=regions/alps.NC", "A"});
  EXPECT_EQ(netcdf.output.format, ResultFormat::netcdf);
  EXPECT_EQ(result_path(netcdf.output), "regions/alps.NC");
  EXPECT_EQ(result_path(parse({"--format=netcdf", "--output=alps.DEM", "A"}).output), "alps.nc");
}

TEST(CommandLine, GeoTiffOptionsThatDoNotFitAreUsageErrors) {
  struct Case {
    std::vector<std::string_view> args;
    const char* says;
  };
  for (const Case& c : {
           Case{{"--format=dem", "--output=a.tif", "A"}, "names a GeoTIFF"},
           Case{{"--compress=deflate", "A"}, "only a GeoTIFF takes it"},
           Case{{"--format=cog", "--level=10", "A"}, "from 1 to 9"},
           Case{{"--format=cog", "--compress=lzw", "--level=3", "A"}, "takes no level"},
           Case{{"--format=cog", "--level=x", "A"}, "whole number"},
           Case{{"--format=tiff", "A"}, "cog (a GeoTIFF)"},
           Case{{"--format=cog", "--output=a.nc", "A"}, "ends in .nc, which names a NetCDF file"},
           Case{{"--format=netcdf", "--level=3", "A"}, "--level: only a GeoTIFF takes it"},
           Case{{"--format=cog", "--overviews=cubic", "A"}, "average, nearest or none"},
       }) {
    CommandLine line = parse(c.args);
    EXPECT_EQ(line.outcome, Outcome::bad_value) << c.args[0];
    EXPECT_NE(line.offending.find(c.says), std::string::npos) << line.offending;
  }
}

}  // namespace
}  // namespace demstitch
