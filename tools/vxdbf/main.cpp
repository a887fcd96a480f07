// vxdbf: the command-line tool over the library. The library starts the engine with its first
// call, and every operation closes what it opened.

#include <iostream>
#include <string>
#include <utility>
#include <vector>

#ifdef _WIN32
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on
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
#ifdef _WIN32
  // The arguments in UTF-8, as on Linux, from the UTF-16 command line: argv holds them in the
  // Windows code page, which loses every character outside it (a Cyrillic key on a Western
  // system). File names in UTF-8 are what the library takes.
  std::vector<std::string> args;
  int count = 0;
  if (wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count)) {
    for (int i = 1; i < count; ++i) {
      const int n = ::WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
      std::string arg(static_cast<std::size_t>(n > 0 ? n : 1), '\0');
      if (n > 0) ::WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, arg.data(), n, nullptr, nullptr);
      arg.pop_back();  // the terminating NUL
      args.push_back(std::move(arg));
    }
    ::LocalFree(wide);
  } else {
    args.assign(argv + 1, argv + argc);
  }
#else
  const std::vector<std::string> args(argv + 1, argv + argc);
#endif
  return vx::tool::RunVxdbf(args, std::cin, std::cout, std::cerr);
}
