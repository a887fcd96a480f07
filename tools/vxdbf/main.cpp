// vxdbf: the command-line tool over the library.

#include <string>
#include <vector>

#include "tools/vxdbf/vxdbf.h"

int main(int argc, char** argv) {
  return vx::tool::VxdbfMain(std::vector<std::string>(argv + 1, argv + argc));
}
