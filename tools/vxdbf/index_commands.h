#pragma once
// vxdbf's index commands: `tags` lists the tags of a table's production index (or of a given
// .MDX), `seek` searches one tag for a key, and the helpers through which `dump --tag` walks a
// tag's order and `info` counts the production index's tags.

#include <cstdint>
#include <string>
#include <vector>

#include "tools/vxdbf/command_line.h"

namespace vx {
struct TableRecord;
}

namespace vx::tool {

void RegisterIndexCommands(Commands& commands);
// Binds --tag NAME and --index FILE.MDX to a command (dump).
void AddTagOptions(CLI::App& command, Options& o);
// The records `dump` shows, in their order: 1..count in file order, or with --tag the records
// of that tag in its order (the index is closed again afterwards).
std::vector<std::int32_t> RecordOrder(const Options& o, TableRecord& table);
// The number of tags of a table's production index; -1 when the table has none or it cannot
// be read.
int ProductionTagCount(const std::string& table_file, bool flagged);

}  // namespace vx::tool
