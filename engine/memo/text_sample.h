#pragma once
// The stored text of a table that the code-page ranking judges: its character fields and its
// memos, read as stored, bounded for large tables.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/table/dbf_file.h"

namespace vx {

struct TableSample {
  std::vector<std::string> texts;  // values holding a byte beyond ASCII, binary ones left out
  std::int32_t records = 0;
  std::int32_t memos = 0;
  std::size_t high_bytes = 0;
};

// Reads the sample from the records of `table` (selected, open) from the first on, moving its
// current record; memos are read when the memo file is open.
TableSample ReadCodePageSample(TableRecord& table);

}  // namespace vx
