#pragma once
// vxdbf sql and vxdbf export --sqlite: SQL over dBASE tables through the `vexel` SQLite module,
// and copies of tables into ordinary SQLite tables with an index per plain-field tag.

#include "tools/vxdbf/command_line.h"

namespace vx::tool {

// Registers `sql "SELECT ..." [--table NAME=FILE ...] [--dir FOLDER] [--format csv|jsonl]` and
// `export FILE... --sqlite OUT.db`.
void RegisterSqlCommands(Commands& commands);

}  // namespace vx::tool
