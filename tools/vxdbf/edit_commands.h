#pragma once
// vxdbf's editing commands over the library's edits (vexel/edit.hpp): append rows read as CSV
// or JSON lines, set fields of a record, delete and recall, and locate.

#include <iosfwd>

#include "tools/vxdbf/command_line.h"

namespace vx::tool {

// Registers append, set, delete, recall and locate.
void RegisterEditCommands(Commands& commands);

// Appends the rows read from `in` (CSV or JSON lines as options.format says) and prints their
// number; `sample` fills its table through it.
int AppendRows(const Options& options, const Streams& io);

}  // namespace vx::tool
