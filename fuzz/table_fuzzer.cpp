// Fuzz target: the bytes are a table file. It is opened shared and then exclusive (the count
// refresh and the read-ahead block take different paths), every record is read into the record
// image and every memo field is looked up in an empty memo file. Errors are expected; crashes,
// sanitizer reports and loops are not.

#include <cstddef>
#include <cstdint>

#include "engine/foundation/errors.h"
#include "engine/memo/memo_file.h"
#include "engine/memo/memo_storage.h"
#include "engine/table/dbf_records.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/work_areas.h"
#include "fuzz/fuzz_support.h"

namespace {

// More records than this are not read: a large table only repeats the work of its first ones.
constexpr std::int32_t kMaxRecords = 2000;

void ReadEveryRecord(const std::string& command) {
  try {
    vx::Use(command);
  } catch (const vx::EVexelError&) {
    return;
  }
  vx::TableRecord* table = vx::SelectedTable();
  const std::int32_t count = vx::RecCount();
  for (std::int32_t n = 1; n <= count && n <= kMaxRecords; ++n) {
    try {
      vx::GO(n);
      for (const vx::FieldEntry& field : table->fields) {
        if (field.type != 'M') continue;
        const std::int32_t block = vx::StoredMemoBlock(*table, field, table->record.data());
        std::string text;
        if (block > 0) vx::ReadMemo(*table, block, text);
      }
    } catch (const vx::EVexelError&) {
    }
  }
  try {
    vx::Use("");
  } catch (const vx::EVexelError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vx::fuzz::ScratchDir();
  const std::string path = vx::fuzz::WriteScratch("FUZZ.DBF", data, size);
  if (size > 0 && vx::VersionHasMemo(data[0])) {
    try {
      vx::CreateMemoFileForTable(path, vx::MemoVersionOf(data[0]), 512, "fuzz");
    } catch (const vx::EVexelError&) {
    }
  }
  ReadEveryRecord(path);
  ReadEveryRecord(path + " EXCLUSIVE");
  return 0;
}
