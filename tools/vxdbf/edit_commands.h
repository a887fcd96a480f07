#pragma once
// vxdbf's editing commands over the work-area layer: append rows, set fields of a record,
// delete and recall, and locate. Each takes the locks a shared table needs and releases them.

#include <iosfwd>

#include "tools/vxdbf/command_line.h"

namespace vx::tool {

int AppendRows(const Options& options, std::istream& in, std::ostream& out);
int SetFields(const Options& options, std::ostream& out);
int DeleteOrRecall(const Options& options, std::ostream& out, bool recall);
int LocateRecords(const Options& options, std::ostream& out);

}  // namespace vx::tool
