#pragma once
// vxdbf locktest DIR: the share self-test. This process and a second vxdbf process (started as
// `vxdbf locktest DIR --peer`, talking over its standard input and output) open one scratch
// table in DIR shared and check that the byte-range locks and the writes of one are seen by
// the other at once: a record lock, the append lock and the semaphore file's lock region held
// here are refused there, a record written here reads back there, and appends from both are all
// counted. One verdict per check, and what to change on the share when one fails; exit status
// 0 when every check passed, 4 otherwise.

#include "tools/vxdbf/command_line.h"

namespace vx::tool {

void RegisterLocktestCommand(Commands& commands);

}  // namespace vx::tool
