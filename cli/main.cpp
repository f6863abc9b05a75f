#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "cli/run.hpp"
#include "io/platform.hpp"

int main(int argc, char** argv) {
  demstitch::open_closed_standard_streams();
  std::vector<std::string> arguments = demstitch::utf8_arguments(argc, argv);
  std::vector<std::string_view> args(arguments.begin(), arguments.end());
  demstitch::Console console(stdout, stderr);
  return demstitch::run(args, console);
}
