// vxdbf: the command-line tool over the library. The library starts the engine with its first
// call, and every operation closes what it opened.

#include <iostream>
#include <string>
#include <vector>

#include "tools/vxdbf/vxdbf.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  return vx::tool::RunVxdbf(args, std::cin, std::cout, std::cerr);
}
