#pragma once
// vxdbf, the command-line tool over the engine: inspects, dumps and creates tables for people
// and scripts. A thin layer: the engine does the work, this unit parses arguments and converts
// text between UTF-8 and the table's code page at its edges. No engine logic of its own.

#include <iosfwd>
#include <string>
#include <vector>

namespace vx::tool {

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitEngineError = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitLockRefused = 3;

// The tool's version, as `vxdbf --version` prints it.
inline constexpr const char* kVxdbfVersion = VXDBF_VERSION;

// Runs one vxdbf command line (without the program name) and answers its exit status. Engine
// errors print the EVexelError text on `err`.
int RunVxdbf(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
             std::ostream& err);

}  // namespace vx::tool
