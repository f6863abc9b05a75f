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

}  // namespace
}  // namespace demstitch
