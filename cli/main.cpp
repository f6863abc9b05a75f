#include <cstdio>
#include <string_view>
#include <vector>

#include "cli/run.hpp"

int main(int argc, char** argv) {
  std::vector<std::string_view> args(argv, argv + argc);
  demstitch::Console console(stdout, stderr);
  return demstitch::run(args, console);
}
