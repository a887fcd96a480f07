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
// Binds --tag NAME and --index FILE.MDX to a command (list), and --recno (dump).
enum class TagOptions { kOrderOnly, kWithRecordNumbers };
void AddTagOptions(CLI::App& command, Options& o,
                   TagOptions which = TagOptions::kWithRecordNumbers);
// One record as `dump` walks them, with its key in the tag (display text) when walking a tag.
struct OrderedRecord {
  std::int32_t record = 0;
  std::string key;
};
// The records `dump` and `list` show, in their order: 1..count in file order, or with --tag the
// records of that tag in its order with the keys our key maker makes for them (the index is closed
// again afterwards).
// `count` is the number of records walked in file order (-1: the header's count).
std::vector<OrderedRecord> RecordOrder(const Options& o, TableRecord& table,
                                       std::int32_t count = -1);
// The number of tags of a table's production index; -1 when the table has none or it cannot
// be read.
int ProductionTagCount(const std::string& table_file, bool flagged);

}  // namespace vx::tool
