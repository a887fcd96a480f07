#include "fuzz/fuzz_inputs.h"

#include <cstdlib>
#include <fstream>

#include "engine/foundation/errors.h"
#include "engine/memo/memo_file.h"
#include "engine/memo/memo_storage.h"
#include "engine/table/dbf_records.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/file.h"

namespace vx::fuzz {
namespace {

// More records or blocks than these are not read: a large file only repeats the work of its
// first ones.
constexpr std::int32_t kMaxRecords = 2000;
constexpr std::uint32_t kMaxBlocks = 4000;

std::string WriteFile(const std::string& dir, const std::string& name, const std::uint8_t* data,
                      std::size_t size) {
  const std::string path = dir + "/" + name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  if (!out) std::abort();
  return path;
}

void ReadEveryRecord(const std::string& command) {
  try {
    Use(command);
  } catch (const EVexelError&) {
    return;
  }
  TableRecord* table = SelectedTable();
  const std::int32_t count = RecCount();
  for (std::int32_t n = 1; n <= count && n <= kMaxRecords; ++n) {
    try {
      GO(n);
      for (const FieldEntry& field : table->fields) {
        if (field.type != 'M') continue;
        const std::int32_t block = StoredMemoBlock(*table, field, table->record.data());
        std::string text;
        if (block > 0) ReadMemo(*table, block, text);
      }
    } catch (const EVexelError&) {
    }
  }
  try {
    Use("");
  } catch (const EVexelError&) {
  }
}

}  // namespace

void ReadTableBytes(const std::string& dir, const std::uint8_t* data, std::size_t size) {
  const std::string path = WriteFile(dir, "FUZZ.DBF", data, size);
  if (size > 0 && VersionHasMemo(data[0])) {
    try {
      CreateMemoFileForTable(path, MemoVersionOf(data[0]), 512, "fuzz");
    } catch (const EVexelError&) {
    }
  }
  ReadEveryRecord(path);
  ReadEveryRecord(path + " EXCLUSIVE");
}

void ReadMemoBytes(const std::string& dir, const std::uint8_t* data, std::size_t size) {
  if (size < 1) return;
  static constexpr std::uint8_t kVersions[] = {kVersionDbase3Memo, kVersionDbase4Memo,
                                               kVersionFoxProMemo};
  const std::uint8_t version = kVersions[data[0] % 3];
  const std::string path =
      WriteFile(dir, version == kVersionFoxProMemo ? "FUZZ.FPT" : "FUZZ.DBT", data + 1, size - 1);
  QuietErrors quiet;
  MemoFile m;
  if (OpenMemoFile(path, version, os::kOpenReadWriteDenyAll, false, m) != 0) return;
  const std::uint32_t blocks = BlockCount(m);
  for (std::uint32_t b = 1; b < blocks && b < kMaxBlocks; ++b) {
    std::string text;
    ReadMemoText(m, static_cast<std::int32_t>(b), text, "fuzz");
  }
  SummarizeMemo(m);
  AllocateBlocks(m, 1 + data[0] / 3 % 8, "fuzz");
}

}  // namespace vx::fuzz
