#pragma once
// vxdbf's index commands: `tags` lists the tags of a table's production index (or of a given
// .MDX), `seek` searches one tag for a key; and the tag options the commands that walk a tag's
// order share.

#include "tools/vxdbf/command_line.h"

namespace vx::tool {

void RegisterIndexCommands(Commands& commands);
// Binds --tag NAME and --index FILE.MDX to a command (list), and --recno (dump).
enum class TagOptions { kOrderOnly, kWithRecordNumbers };
void AddTagOptions(CLI::App& command, Options& o,
                   TagOptions which = TagOptions::kWithRecordNumbers);

}  // namespace vx::tool
