#pragma once
// vxdbf sample: creates the demo's film table (dBASE IV with a memo file) filled with twenty
// well-known films and their plots, so that a new user sees data at once.

#include <iosfwd>

#include "tools/vxdbf/command_line.h"

namespace vx::tool {

// Creates FILE (replacing it) and appends the films; prints the number appended.
int CreateSample(const Options& options, std::ostream& out);

}  // namespace vx::tool
