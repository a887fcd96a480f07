#pragma once
// vxdbf's table maintenance: pack (drop deleted records, compact the memo file, rebuild the
// tags) and zap (empty the table). Both need the table for exclusive use, write the new files
// beside the old ones and put them in place only once they are complete (file_replacement.h).
// Also the checks `create` applies to field definitions before it writes anything.

#include <cstdint>
#include <string>
#include <vector>

#include "tools/vxdbf/command_line.h"

namespace vx {
struct FieldEntry;
}

namespace vx::tool {

void RegisterMaintenanceCommands(Commands& commands);
// `completion bash` and `man`, made from every command registered before them.
void RegisterHelpCommands(Commands& commands);

// Refuses (UsageError naming the field) definitions that dBASE programs would not read back as
// given: empty names, names longer than the version allows, characters other than letters,
// digits and "_" (or a first character that is not a letter), duplicate names in any case,
// widths outside the type's range and decimals not less than the width.
void CheckFieldDefinitions(const std::vector<FieldEntry>& fields, std::uint8_t version);

// Before `create` writes FILE: refuses (InputError) an existing table unless `overwrite`;
// with it, refuses (LockRefused) when another program has the table, its memo file or its
// index open, and removes the old memo file and production index, which belong to nothing once
// the table is new.
void ReplaceOldTable(const std::string& file, bool overwrite);

// The field types and widths, as `create --help` lists them.
const char* FieldTypesHelp();

}  // namespace vx::tool
