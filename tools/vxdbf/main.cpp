// vxdbf: the command-line tool over the engine.

#include <iostream>
#include <string>
#include <vector>

#include "engine/foundation/settings.h"
#include "platform/os/codepage.h"
#include "tools/vxdbf/vxdbf.h"

int main(int argc, char** argv) {
  vx::os::SetCodePagesFromLocale();
  vx::InitFoundation();
  const std::vector<std::string> args(argv + 1, argv + argc);
  return vx::tool::RunVxdbf(args, std::cin, std::cout, std::cerr);
}
