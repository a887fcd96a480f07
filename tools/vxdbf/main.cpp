// vxdbf: the command-line tool over the engine.

#include <iostream>
#include <string>
#include <vector>

#include "engine/startup/engine_startup.h"
#include "tools/vxdbf/vxdbf.h"

int main(int argc, char** argv) {
  vx::InitEngine();
  const std::vector<std::string> args(argv + 1, argv + argc);
  const int status = vx::tool::RunVxdbf(args, std::cin, std::cout, std::cerr);
  vx::ShutdownEngine();
  return status;
}
