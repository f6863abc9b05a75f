#include <cstdio>
#include <string_view>
#include <vector>

#include "cli/run.hpp"
#include "io/platform.hpp"

int main(int argc, char** argv) {
  demstitch::open_closed_standard_streams();
  std::vector<std::string_view> args(argv, argv + argc);
  demstitch::Console console(stdout, stderr);
  return demstitch::run(args, console);
}
