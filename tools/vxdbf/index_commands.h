#pragma once
// vxdbf's index commands: `tags` lists the tags of a table's production index (or of a given
// .MDX), `seek` searches one tag for a key; and the tag options the commands that walk a tag's
// order share.

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
// One record of a tag's walk, with its key in the tag (stored bytes) when walking a tag.
struct OrderedRecord {
  std::int32_t record = 0;
  std::string key;
};
// The records 1..count in file order (-1: the header's count), or with --tag the records of that
// tag in its order with their keys (the index is closed again afterwards). Copy walks its source
// with it until it reads through the library.
std::vector<OrderedRecord> RecordOrder(const Options& o, TableRecord& table,
                                       std::int32_t count = -1);

}  // namespace vx::tool
