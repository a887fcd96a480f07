#include "fuzz/fuzz_inputs.h"

#include <cstdlib>
#include <fstream>

#include "engine/foundation/errors.h"
#include "engine/index/cdx_orders.h"
#include "engine/index/index_build.h"
#include "engine/index/index_check.h"
#include "engine/index/key_maker.h"
#include "engine/index/ndx_orders.h"
#include "engine/index/orders.h"
#include "engine/memo/memo_file.h"
#include "engine/memo/memo_storage.h"
#include "engine/table/dbf_records.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/record_image.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/file.h"

namespace vx::fuzz {
namespace {

// More records or blocks than these are not read: a large file only repeats the work of its
// first ones.
constexpr std::int32_t kMaxRecords = 2000;
constexpr std::uint32_t kMaxBlocks = 4000;
// Steps taken through one order, and records whose keys are sought.
constexpr int kMaxSteps = 300;
constexpr std::int32_t kSoughtRecords = 8;

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

// Runs one engine step; an error the engine reports is an answer, not a fault.
template <typename Step>
void Try(Step step) {
  try {
    step();
  } catch (const EVexelError&) {
  }
}

// Every tag of the open index file, checked as a tree on its own open of the file.
void CheckEveryTag(const std::string& path) {
  QuietErrors quiet;
  MdxFile file;
  if (!file.Open(path, os::kOpenReadOnlyDenyNone)) return;
  for (int tag = 1; tag <= file.header().TagCount(); ++tag) {
    TagHeader header;
    if (!file.ReadTagHeader(tag, header)) continue;
    TagExpressions expressions;
    if (!CompileTagExpressions(header, expressions)) continue;
    const KeyComparator compare =
        ChooseComparator(header.KeyType(), expressions.result_type, header.Descending());
    if (compare == nullptr) continue;
    std::vector<std::string> problems;
    std::vector<TagItem> items;
    CheckTagTree(file, header, compare, problems, &items);
  }
  file.Close();
}

// Walks order n both ways and seeks the keys of a few records.
void WalkOrder(int n) {
  Try([&] { Set_Order_To(n); });
  Try([] {
    GoTop();
    for (int step = 0; step < kMaxSteps && !dEOF(); ++step) SKIP(1);
  });
  Try([] {
    GoBottom();
    for (int step = 0; step < kMaxSteps && !dBOF(); ++step) SKIP(-1);
  });
  const std::int32_t count = RecCount();
  for (std::int32_t r = 1; r <= count && r <= kSoughtRecords; ++r) {
    Try([&] {
      GO(count - r + 1);
      const std::string key = OrderKeyText(n);
      if (!key.empty()) Find(key);
    });
  }
  Try([] { Find("A"); });
}

// Changes the first character or number field of a record, and appends a copy of it.
void EditAndAppend(std::int32_t record, std::uint8_t seed) {
  TableRecord* table = SelectedTable();
  if (table == nullptr) return;
  const auto change = [&] {
    RecordImage image = RecordImage::Of(*table);
    for (int f = 1; f <= image.FieldCount(); ++f) {
      const char type = image.Field(f).type;
      if (type == 'C') {
        image.SetText(f, std::string(1 + seed % 7, static_cast<char>('A' + seed % 26)));
        return;
      }
      if (type == 'N' || type == 'F') {
        image.SetNumber(f, seed % 100);
        return;
      }
    }
  };
  Try([&] {
    GO(record);
    change();
    REPLACE();
  });
  Try([&] {
    change();
    Append();
  });
}

}  // namespace

std::string IndexInput(const std::string& table, const std::string& index) {
  std::string out(4, '\0');
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>(table.size() >> (8 * i));
  return out + table + index;
}

void ReadIndexBytes(const std::string& dir, const std::uint8_t* data, std::size_t size) {
  if (size < 4) return;
  std::size_t table_size = 0;
  for (int i = 0; i < 4; ++i) table_size |= std::size_t{data[i]} << (8 * i);
  table_size = std::min(table_size, size - 4);
  const std::string table = WriteFile(dir, "FUZZ.DBF", data + 4, table_size);
  const std::string index =
      WriteFile(dir, "FUZZ.MDX", data + 4 + table_size, size - 4 - table_size);
  if (table_size > 0 && VersionHasMemo(data[4])) {
    try {
      CreateMemoFileForTable(table, MemoVersionOf(data[4]), 512, "fuzz");
    } catch (const EVexelError&) {
    }
  }
  try {
    Use(table + " EXCLUSIVE");
  } catch (const EVexelError&) {
    return;
  }
  bool open = false;
  Try([&] { open = SetIndexTo(index); });
  if (!open) {
    Try([] { Use(""); });
    return;
  }
  const int orders = OrderCount();
  for (int n = 1; n <= orders; ++n) WalkOrder(n);
  // The checker opens the file on its own, so the area lets go of it meanwhile.
  Try([] { CloseIndex(); });
  CheckEveryTag(index);
  Try([&] { open = SetIndexTo(index); });
  const std::int32_t count = RecCount();
  if (open && count > 0) {
    EditAndAppend(1 + static_cast<std::int32_t>(data[size - 1]) % count, data[size / 2]);
    for (int n = 1; n <= std::min(OrderCount(), 3); ++n) WalkOrder(n);
  }
  // Every tag rebuilt from its definition, on a table with few enough records.
  if (open && count <= kMaxRecords) Try([] { Reindex(); });
  Try([] { Use(""); });
  CheckEveryTag(index);
}

namespace {

// Writes an input of a table and an index file (the form ReadIndexBytes takes) as FUZZ.DBF
// and `index_name`, and opens the table exclusively; false when it does not open.
bool OpenTableAndIndex(const std::string& dir, const std::uint8_t* data, std::size_t size,
                       const char* index_name, std::string& index) {
  if (size < 4) return false;
  std::size_t table_size = 0;
  for (int i = 0; i < 4; ++i) table_size |= std::size_t{data[i]} << (8 * i);
  table_size = std::min(table_size, size - 4);
  const std::string table = WriteFile(dir, "FUZZ.DBF", data + 4, table_size);
  index = WriteFile(dir, index_name, data + 4 + table_size, size - 4 - table_size);
  try {
    Use(table + " EXCLUSIVE");
  } catch (const EVexelError&) {
    return false;
  }
  return true;
}

}  // namespace

void ReadNdxBytes(const std::string& dir, const std::uint8_t* data, std::size_t size) {
  std::string ndx;
  if (!OpenTableAndIndex(dir, data, size, "FUZZ.NDX", ndx)) return;
  TableRecord* t = SelectedTable();
  const std::int32_t count = RecCount();
  std::string expression;
  bool unique = false;
  NdxHeader header;
  {
    QuietErrors quiet;
    NdxIndex index;
    if (OpenNdxFor(*t, ndx, index, false)) {
      header = index.file.header();
      expression = header.expression;
      unique = header.unique;
      int items = 0;
      index.file.Walk([&](const std::uint8_t*, std::uint32_t) { return ++items < kMaxSteps; });
      for (std::int32_t r = 1; r <= count && r <= kSoughtRecords; ++r) {
        GO(r);
        KeyBuffer key{};
        bool found = false;
        std::string there;
        std::uint32_t record = 0;
        if (NdxRecordKey(*t, index, key)) {
          index.file.Seek(key.data(), index.file.header().key_length, found, there, record);
        }
      }
      if (count <= kMaxRecords) {
        std::vector<std::string> notes;
        CheckNdxAgainstTable(*t, index, notes);
      }
    }
  }
  bool attached = false;
  Try([&] { attached = AttachNdx(ndx); });
  if (attached && count > 0 && count <= kMaxRecords) {
    EditAndAppend(1 + static_cast<std::int32_t>(data[size - 1]) % count, data[size / 2]);
  }
  if (!expression.empty() && count <= kMaxRecords) {
    // Rebuilt in the file's own form (a date keyed as text, fewer keys per node).
    Try([&] { BuildNdx(ndx, expression, unique, &header); });
  }
  Try([] { Use(""); });
}

void ReadCdxBytes(const std::string& dir, const std::uint8_t* data, std::size_t size) {
  std::string cdx;
  if (!OpenTableAndIndex(dir, data, size, "FUZZ.CDX", cdx)) return;
  TableRecord* t = SelectedTable();
  const std::int32_t count = RecCount();
  {
    QuietErrors quiet;
    CdxIndex index;
    if (OpenCdxFor(*t, cdx, index)) {
      for (std::size_t n = 0; n < index.file.tags().size(); ++n) {
        const CdxTag& tag = index.file.tags()[n];
        int items = 0;
        index.file.Walk(tag, [&](const std::uint8_t*, std::uint32_t) { return ++items < kMaxSteps; });
        for (std::int32_t r = 1; r <= count && r <= kSoughtRecords; ++r) {
          GO(r);
          KeyBuffer key{};
          bool included = false;
          bool found = false;
          std::string there;
          std::uint32_t record = 0;
          if (CdxRecordKey(*t, index, n, key, included)) {
            index.file.Seek(tag, key.data(), tag.header.key_length, found, there, record);
            CdxKeyText(index, n, key.data());
          }
        }
        if (count <= kMaxRecords) {
          std::vector<std::string> notes;
          CheckCdxTagAgainstTable(*t, index, n, notes);
        }
      }
    }
    EngineErrorCode = 0;
  }
  // Edits keep every tag current: replacements and appends change the trees in place (splits,
  // merges, the root moving), on whatever the file holds.
  if (t->HasStructuralCdx() && count > 0 && count <= kMaxRecords) {
    for (std::size_t round = 0; round < 4; ++round) {
      const std::uint8_t pick = data[(size - 1) * round / 4];
      EditAndAppend(1 + static_cast<std::int32_t>(pick) % count, data[(size / 2 + round) % size]);
      Try([&] {
        GO(1 + static_cast<std::int32_t>(data[round % size]) % count);
        DeleteRec();
      });
    }
    QuietErrors quiet;
    CdxIndex after;
    if (OpenCdxFor(*t, cdx, after)) {
      for (const CdxTag& tag : after.file.tags()) after.file.CheckTree(tag, nullptr);
    }
    EngineErrorCode = 0;
  }
  Try([] { Use(""); });
}

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
