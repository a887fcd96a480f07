#pragma once
// vxdbf sample: creates the demo's film table (dBASE IV with a memo file) filled with twenty
// well-known films and their plots, so that a new user sees data at once.

#include <iosfwd>

#include "tools/vxdbf/command_line.h"

namespace vx::tool {

// Registers `sample FILE`: creates FILE (replacing it) and appends the films; prints the number
// appended.
void RegisterSampleCommand(Commands& commands);

}  // namespace vx::tool
