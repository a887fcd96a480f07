#pragma once
// vxdbf's index building and checking commands: `index` adds or replaces one tag of the
// production index, `reindex` rebuilds every tag, `check` verifies the table header, every
// memo pointer against the memo file, and every tag of the production index against the table
// (tree shape, order, and exactly the keys the key maker computes for the records meeting the
// FOR condition); `check --repair` rebuilds the tags that failed after keeping the old file as
// NAME.MDX.bak.

#include "tools/vxdbf/command_line.h"

namespace vx::tool {

// The exit status of `check` when it found a problem.
inline constexpr int kExitCheckFailed = 4;

void RegisterBuildCommands(Commands& commands);

}  // namespace vx::tool
