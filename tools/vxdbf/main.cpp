// vxdbf: the command-line tool over the library. The library starts the engine with its first
// call, and every operation closes what it opened.

#include <iostream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>

#include <cstdio>
#endif

#include "tools/vxdbf/vxdbf.h"

int main(int argc, char** argv) {
#ifdef _WIN32
  // The streams carry bytes as on Linux (no CR added before each LF, none taken away, no
  // Ctrl+Z as the end of input): dumps, JSON lines and exported files are the same everywhere.
  constexpr int kBinaryMode = 0x8000;  // _O_BINARY
  _setmode(_fileno(stdin), kBinaryMode);
  _setmode(_fileno(stdout), kBinaryMode);
  _setmode(_fileno(stderr), kBinaryMode);
#endif
  const std::vector<std::string> args(argv + 1, argv + argc);
  return vx::tool::RunVxdbf(args, std::cin, std::cout, std::cerr);
}
