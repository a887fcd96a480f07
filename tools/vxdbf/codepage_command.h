#pragma once
// vxdbf codepage: the code-page assistant. For a table without a language driver mark, or one
// whose mark is doubtful, it scores candidate pages on the table's own text and memos and lists
// them best first with sample words decoded in each (the ranking is the engine's); --set N
// writes the mark.

#include "tools/vxdbf/command_line.h"

namespace vx::tool {

void RegisterCodepageCommand(Commands& commands);

}  // namespace vx::tool
