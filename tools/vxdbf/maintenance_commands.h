#pragma once
// vxdbf's table maintenance: create (an empty table from field definitions), pack (drop deleted
// records, compact the memo file, rebuild the tags), zap (empty the table), copy (a new table
// from a table's records) and alter (change the fields). The work is the library's
// (<vexel/maintenance.hpp>); this unit parses the command lines and prints the results. Also
// the help commands (`completion`, `man`), which need every command registered before them.

#include "tools/vxdbf/command_line.h"

namespace vx::tool {

// `create`, registered among the table commands (the overview lists it after `dump`).
void RegisterCreateCommand(Commands& commands);
// pack, zap, copy and alter.
void RegisterMaintenanceCommands(Commands& commands);
// `completion bash` and `man`, made from every command registered before them.
void RegisterHelpCommands(Commands& commands);

}  // namespace vx::tool
