#include "engine/index/table_check.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <optional>
#include <span>

#include "engine/foundation/errors.h"
#include "engine/foundation/strings.h"
#include "engine/index/cdx_build.h"
#include "engine/index/cdx_orders.h"
#include "engine/index/index_check.h"
#include "engine/index/key_maker.h"
#include "engine/index/orders.h"
#include "engine/index/sorted_runs.h"
#include "engine/memo/memo_check.h"
#include "engine/memo/memo_storage.h"
#include "engine/table/field_values.h"
#include "engine/table/replacement_journal.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/file.h"
#include "platform/os/system.h"

namespace vx {

bool TableCheckReport::Failed() const {
  bool failed = !table.empty() || memo_problems > 0;
  for (const TagCheckReport& tag : tags) failed = failed || !tag.problems.empty();
  return failed;
}

namespace {

// The table opened in a free work area for the check or the repair, its records passing as
// stored (keys are made from the stored bytes), and the engine as it was when it goes: the
// switches, the selected area.
class OpenedTable {
 public:
  OpenedTable(const std::string& path, bool exclusive, bool writable, int code_page)
      : saved_ansi_(AnsiTables), saved_override_(OpenModeOverride), saved_area_(Selected()) {
    AnsiTables = true;
    // Checking changes nothing: a table that may only be read is checked too.
    if (!writable && !exclusive) OpenModeOverride = os::kOpenReadOnlyDenyNone;
    try {
      Select(0);
      if (SelectedTable() != nullptr) return;  // no free area (reported)
      area_ = Selected();
      const std::string command = path + (exclusive ? " EXCLUSIVE" : "");
      std::uint16_t code = 0;
      std::string message;
      {
        QuietErrors quiet;
        EngineErrorCode = 0;
        Use(command);
        if (EngineErrorCode == 220 && SelectedTable() == nullptr) {
          // The caller has the table open under its alias: this one gets its own.
          EngineErrorCode = 0;
          Use(command + " ALIAS VXCHECK" + std::to_string(area_));
        }
        code = EngineErrorCode;
        message = LastErrorMessage;
      }
      table_ = SelectedTable();
      if (table_ == nullptr) {
        SetEngineError(code != 0 ? code : 2, message);
        return;
      }
      if (table_ != nullptr && code_page != 0) table_->code_page = code_page;
    } catch (...) {
      Restore();
      throw;
    }
  }
  ~OpenedTable() {
    QuietErrors quiet;
    Restore();
  }
  OpenedTable(const OpenedTable&) = delete;
  OpenedTable& operator=(const OpenedTable&) = delete;

  TableRecord* table() { return table_; }
  // Closes the table (the engine reports a failure of the close its way).
  void Close() {
    if (table_ == nullptr) return;
    table_ = nullptr;
    Select(area_);
    CloseArea();
  }

 private:
  void Restore() {
    if (table_ != nullptr) Close();
    AnsiTables = saved_ansi_;
    OpenModeOverride = saved_override_;
    if (saved_area_ >= 1) Select(saved_area_);
  }

  bool saved_ansi_;
  std::uint16_t saved_override_;
  int saved_area_;
  int area_ = 0;
  TableRecord* table_ = nullptr;
};

// Normalizes a key for comparison with the key maker's: numbers may count their digits
// differently in other writers' files (the digit count byte is not part of the value).
void Comparable(const TagHeader& header, std::uint8_t* key) {
  if (header.KeyType() == 'N' || header.KeyType() == 'F') key[1] &= 0x80;
}

// The differences between the keys the records give and the keys the tag holds, both sorted
// by (key bytes, record): missing and extra items, and in a unique tag a key held twice.
void CompareKeys(const TagHeader& header, std::int32_t records, SortedRuns& expected,
                 SortedRuns& stored, TagCheckReport& report) {
  const auto length = static_cast<std::size_t>(header.KeyLength());
  const auto order = [length](const std::uint8_t* a, const std::uint8_t* b) {
    const int c = std::memcmp(a, b, length);
    if (c != 0) return c;
    const std::uint32_t x = GetLe32(a + length), y = GetLe32(b + length);
    return x < y ? -1 : x > y ? 1 : 0;
  };
  constexpr std::size_t kShown = 20;
  constexpr std::size_t kNoted = 20;
  std::vector<std::uint32_t> missing, extra;  // the first kShown of each
  std::size_t missing_count = 0, extra_count = 0, noted = 0;
  // The last stored entry passed over: in a unique tag, a missing key that the tag holds under
  // another record is no damage, and a key held twice is.
  std::vector<std::uint8_t> last_stored(length + 4);
  bool has_last_stored = false;
  const std::uint8_t* want = expected.Next();
  const std::uint8_t* have = stored.Next();
  while (want != nullptr || have != nullptr) {
    const int c = want == nullptr ? 1 : have == nullptr ? -1 : order(want, have);
    if (c > 0) {
      if (header.Unique() && has_last_stored &&
          std::memcmp(last_stored.data(), have, length) == 0) {
        report.problems.push_back("record " + std::to_string(GetLe32(have + length)) +
                                  ": a second item of a key in a unique tag");
      }
      if (++extra_count <= kShown) extra.push_back(GetLe32(have + length));
      std::memcpy(last_stored.data(), have, length + 4);
      has_last_stored = true;
      have = stored.Next();
      continue;
    }
    if (c == 0) {
      if (header.Unique() && has_last_stored &&
          std::memcmp(last_stored.data(), have, length) == 0) {
        report.problems.push_back("record " + std::to_string(GetLe32(have + length)) +
                                  ": a second item of a key in a unique tag");
      }
      std::memcpy(last_stored.data(), have, length + 4);
      has_last_stored = true;
      have = stored.Next();
      want = expected.Next();
      continue;
    }
    const std::uint32_t record = GetLe32(want + length);
    if (header.Unique()) {
      // A unique tag holds one record of each key (any of them, after edits). dBASE keeps the
      // first record of each key and does not put the next record with that key in when the
      // one that held it changes: such a key is no damage (reindex brings it back).
      const bool held = (has_last_stored && std::memcmp(last_stored.data(), want, length) == 0) ||
                        (have != nullptr && std::memcmp(have, want, length) == 0);
      if (!held && ++noted <= kNoted) {
        report.notes.push_back("record " + std::to_string(record) +
                               ": its key is not in the unique tag (the record that held the key "
                               "was changed; reindex puts the key back)");
      }
    } else if (++missing_count <= kShown) {
      missing.push_back(record);
    }
    want = expected.Next();
  }
  if (expected.failed() || stored.failed()) {
    report.problems.push_back("keys not compared: " + LastErrorMessage);
    return;
  }
  for (const std::uint32_t record : missing) {
    report.problems.push_back("record " + std::to_string(record) + ": its key is missing");
  }
  for (const std::uint32_t record : extra) {
    // An item's record number is as stored: one that names no record of the table (0, past
    // the last, or a -1 a damaged node holds) is said as such, not as a record.
    if (record == 0 || record > static_cast<std::uint32_t>(std::max(records, 0))) {
      char stored_number[16];
      std::snprintf(stored_number, sizeof stored_number, "0x%08X", record);
      report.problems.push_back(std::string("an item that names no record of the table (its "
                                            "record number reads ") +
                                stored_number + ", the table has " + std::to_string(records) +
                                " records)");
      continue;
    }
    report.problems.push_back("record " + std::to_string(record) +
                              ": an item whose key the record does not have (or a record the "
                              "tag should not hold)");
  }
  if (missing_count + extra_count > 2 * kShown) {
    report.problems.push_back(std::to_string(missing_count + extra_count) +
                              " key differences in all");
  }
}

// Reads the tag header at `page` as it is, without checking its fields: its expressions may
// still tell how to build the tag again. False when the page is not in the file.
bool ReadRawTagHeader(os::File& file, std::uint64_t size, std::uint32_t page, TagHeader& out) {
  const std::uint64_t offset = std::uint64_t{page} * kMdxPageSize;
  if (offset < kMdxHeaderSize || offset + kTagHeaderSize > size) return false;
  std::size_t got = 0;
  return file.ReadAt(offset, std::as_writable_bytes(std::span(out.bytes)), got) == 0 &&
         got == kTagHeaderSize;
}

// The definition a tag header gives, when its key and FOR expressions compile.
bool DefinitionOf(const std::string& name, const TagHeader& header, TagCheckReport& report,
                  TagExpressions& expressions) {
  report.definition = {name, header.KeyExpression(),
                       header.HasFor() ? header.ForExpression() : std::string(),
                       header.Descending(), header.Unique()};
  report.definition_known = CompileTagExpressions(header, expressions);
  return report.definition_known;
}

void CheckTag(MdxFile& file, int number, TableRecord& t, const TableCheckOptions& options,
              TagCheckReport& report, IndexPages& pages) {
  TagHeader header;
  TagExpressions expressions;
  {
    QuietErrors quiet;
    if (!file.ReadTagHeader(number, header)) {
      const std::string message = LastErrorMessage;
      if (!ReadRawTagHeader(file.file(), file.size(), file.header().EntryAt(number).header_page,
                            header)) {
        report.problems.push_back("tag header unreadable: " + message);
        return;
      }
      report.problems.push_back("tag header damaged: " + TagHeaderFault(header));
      DefinitionOf(report.name, header, report, expressions);
      return;
    }
  }
  if (!DefinitionOf(report.name, header, report, expressions)) {
    report.problems.push_back("key or FOR expression does not compile");
    return;
  }
  const KeyComparator compare =
      ChooseComparator(header.KeyType(), expressions.result_type, header.Descending());
  NoteFieldKey(expressions, header, t);
  const std::string shape = KeyShapeFault(header, expressions);
  if (compare == nullptr || !shape.empty()) {
    report.problems.push_back(shape.empty() ? "key type does not match the key expression" : shape);
    return;
  }
  // The keys the key maker computes against the keys stored, each side as (key, record)
  // entries sorted in bounded memory and compared in one merge.
  const int length = header.KeyLength();
  const std::string temp_dir = SplitPath(file.name()).dir;
  SortedRuns stored(length, CompareCharKeys, options.sort_budget, temp_dir, "Check");
  SortedRuns expected(length, CompareCharKeys, options.sort_budget, temp_dir, "Check");
  bool spooled = true;
  const TagItemVisitor keep = [&](const std::uint8_t* key, std::uint32_t record) {
    std::uint8_t* e = spooled ? stored.Slot() : nullptr;
    if (e == nullptr) {
      spooled = false;
      return;
    }
    std::memcpy(e, key, static_cast<std::size_t>(length));
    Comparable(header, e);
    stored.Add(record);
  };
  const std::size_t before = report.problems.size();
  if (!CheckTagTree(file, header, compare, report.problems, keep, &pages, report.name) &&
      SoundInSignedByteOrder(file, header)) {
    // Out of byte order, yet sound in the order of signed bytes: its writer's collation.
    report.problems.resize(before);
    report.notes.push_back(
        "keys in its writer's own order, " + CollationName(KeyCollation::kSignedBytes) +
        ", which is sound; edits that change its keys are refused (an edit ignoring the index "
        "leaves it stale), and reindex would put it in byte order for every program");
  }
  // A file cut short: only the records it still holds give keys.
  const std::int32_t counted = t.record_count;
  t.record_count = std::min(counted, RecordsTheFileHolds(t));
  spooled =
      spooled && ForEachStoredRecord(
                     t,
                     [&] {
                       if (!MeetsFor(expressions, t, RecordForm::kStored)) return true;
                       KeyBuffer key{};
                       int key_length = 0;
                       if (!MakeKey(expressions, header, t, key, key_length, RecordForm::kStored)) {
                         report.problems.push_back("record " + std::to_string(t.record_number) +
                                                   ": key cannot be made");
                         return true;
                       }
                       std::uint8_t* e = expected.Slot();
                       if (e == nullptr) return false;
                       std::memcpy(e, key.data(), static_cast<std::size_t>(length));
                       Comparable(header, e);
                       expected.Add(static_cast<std::uint32_t>(t.record_number));
                       return true;
                     },
                     "Check");
  t.record_count = counted;
  if (!spooled || !stored.Finish() || !expected.Finish()) {
    report.problems.push_back("keys not compared: " + LastErrorMessage);
    return;
  }
  CompareKeys(header, t.record_count, expected, stored, report);
}

// An index whose file header the reader refuses (version, node size, entry size, tag count):
// the tag table and tag headers behind it may still say which tags it held. Each tag found goes
// into the report with the definition its header gives, so that repair can build it again.
void SalvageTags(const std::string& path, TableCheckReport& report) {
  os::File file;
  std::uint64_t size = 0;
  MdxHeader header;
  std::size_t got = 0;
  if (os::File::Open(path, os::kOpenReadOnlyDenyNone, file) != 0 || file.Size(size) != 0 ||
      file.ReadAt(0, std::as_writable_bytes(std::span(header.bytes)), got) != 0 ||
      got != kMdxHeaderSize) {
    return;
  }
  header.bytes[28] = static_cast<std::uint8_t>(std::min<int>(header.bytes[28], kMdxMaxTags));
  for (int n = 1; n <= header.TagCount(); ++n) {
    TagCheckReport tag;
    tag.name = header.TagName(n);
    if (tag.name.empty()) continue;
    tag.problems.push_back("the index file's header cannot be read");
    TagHeader tag_header;
    TagExpressions expressions;
    if (ReadRawTagHeader(file, size, header.EntryAt(n).header_page, tag_header)) {
      DefinitionOf(tag.name, tag_header, tag, expressions);
    }
    report.tags.push_back(tag);
  }
}

void CheckTableSize(TableRecord& t, TableCheckReport& report) {
  std::uint64_t size = 0;
  t.file.Size(size);
  const std::uint64_t needed =
      t.header_length +
      std::uint64_t{t.record_length} * static_cast<std::uint64_t>(std::max(t.record_count, 0));
  if (size < needed) {
    report.table.push_back({"table", "the header counts " + std::to_string(t.record_count) +
                                         " records, but the file holds " + std::to_string(size) +
                                         " bytes (" + std::to_string(needed) + " needed)"});
  }
}

// Every memo pointer of every record the file holds, in one pass in record order.
void CheckMemoPointers(TableRecord& t, const TableCheckOptions& options, TableCheckReport& report) {
  std::vector<std::size_t> memo_fields;
  for (std::size_t i = 0; i < t.fields.size(); ++i) {
    if (t.fields[i].type == 'M') memo_fields.push_back(i);
  }
  if (memo_fields.empty()) return;
  if (!TolerantMemoOpen::Failure().empty()) {
    report.table.push_back({"memo file", TolerantMemoOpen::Failure()});
    return;
  }
  MemoFile* memo = MemoOf(t);
  if (memo == nullptr) return;
  std::vector<std::string> names;
  for (std::size_t i : memo_fields) {
    names.push_back(options.name_text ? options.name_text(t.fields[i].name) : t.fields[i].name);
  }
  std::uint64_t size = 0;
  t.file.Size(size);
  const std::uint64_t start = t.RecordOffset(1);
  const std::uint64_t held =
      t.record_length == 0 || size < start ? 0 : (size - start) / t.record_length;
  const auto records = static_cast<std::int32_t>(
      std::min<std::uint64_t>(held, static_cast<std::uint64_t>(std::max(t.record_count, 0))));
  MemoPointerCheck check(*memo);
  for (std::int32_t n = 1; n <= records; ++n) {
    GoRaw(n);
    for (std::size_t i = 0; i < memo_fields.size(); ++i) {
      const FieldEntry& f = t.fields[memo_fields[i]];
      // A Visual FoxPro memo field holds its block number in 4 binary bytes.
      std::string what = f.storage == FieldStorage::kBinaryMemo
                             ? check.Check(std::to_string(BinaryMemoBlock(f, t.record.data())))
                             : check.Check(std::string_view(t.record.data() + f.offset, f.length));
      if (what.empty()) continue;
      if (++report.memo_problems <= kMemoProblemsKept) {
        report.memos.push_back(
            {"record " + std::to_string(n) + ", field " + names[i], std::move(what)});
      }
    }
  }
}

// The tags of a FoxPro table's structural .CDX: each tree, and each tag's keys against the
// records where they can be made. Findings go under "compound index".
void CheckStructuralCdx(TableRecord& t, TableCheckReport& report) {
  const std::string path = DerivedFileName(t.file_name, "CDX");
  QuietErrors quiet;
  EngineErrorCode = 0;
  CdxIndex cdx;
  bool readable = OpenCdxFor(t, path, cdx);
  std::optional<CdxReadHold> hold;
  if (readable) readable = hold.emplace(cdx.file).held();
  if (!readable) {
    report.table.push_back({"compound index", LastErrorMessage});
    EngineErrorCode = 0;
    return;
  }
  for (std::size_t n = 0; n < cdx.file.tags().size(); ++n) {
    const std::string tag = "tag " + cdx.file.tags()[n].name + " of " + NameOnly(path) + ": ";
    std::vector<std::string> notes;
    for (const std::string& p : CheckCdxTagAgainstTable(t, cdx, n, notes)) {
      report.table.push_back({"compound index", tag + p});
    }
    for (const std::string& note : notes) report.notes.push_back({"compound index", tag + note});
  }
  EngineErrorCode = 0;
}

void RunChecks(TableRecord& t, const TableCheckOptions& options, TableCheckReport& report) {
  // The rule the open applies: fields that do not fit the header's record length are damage
  // (the table is read with records as long as its fields).
  if (!t.damage.empty()) report.table.push_back({"table", "damaged header: " + t.damage});
  CheckTableSize(t, report);
  // Records an append wrote before it could count them (a program stopped in between) are
  // records to every program that shares the table: they are checked like the others.
  const std::int32_t held = RecordsTheFileHolds(t);
  if (held > t.record_count) {
    report.uncounted = held - t.record_count;
    report.table.push_back(
        {"table records", "the file holds " + std::to_string(report.uncounted) +
                              " whole record(s) past the header's count of " +
                              std::to_string(t.record_count) +
                              " (an append that did not finish); programs sharing the table "
                              "count them"});
    t.record_count = held;
  }
  CheckMemoPointers(t, options, report);
  report.index_path = IndexPath(t, {});
  report.has_index = HasProductionIndex() && os::FileExists(report.index_path);
  if (const std::string unsupported = UnsupportedIndex(t); !unsupported.empty()) {
    report.notes.push_back({"index file", unsupported + ": its tags are not checked"});
    report.has_index = false;
  }
  if (UsesStructuralCdx(t)) {
    CheckStructuralCdx(t, report);
  } else if (t.HasStructuralCdx()) {
    // FoxPro programs refuse to open such a table until the index is back or the flag cleared.
    report.table.push_back({"compound index", "the table header names a structural index, but " +
                                                  DerivedFileName(t.file_name, "CDX") +
                                                  " is missing"});
  }
  if (HasProductionIndex() && !os::FileExists(report.index_path) && !t.HasStructuralCdx()) {
    // dBASE programs refuse to open such a table until the index is back or the flag cleared.
    report.table.push_back({"index file", "the table header says it has a production index, but " +
                                              report.index_path + " is missing"});
  }
  if (report.has_index) {
    MdxFile index;
    QuietErrors quiet;
    EngineErrorCode = 0;
    if (!index.Open(report.index_path, os::kOpenReadOnlyDenyNone)) {
      report.table.push_back({"index", LastErrorMessage});
      SalvageTags(report.index_path, report);
    } else {
      IndexPages pages;
      const MdxHeader& h = index.header();
      for (int n = 1; n <= h.TagCount(); ++n)
        pages.headers.emplace(h.EntryAt(n).header_page, h.TagName(n));
      for (int n = 1; n <= h.TagCount(); ++n) {
        TagCheckReport tag;
        tag.name = h.TagName(n);
        // Two entries naming one tag header: the later one's own header is lost.
        const std::uint32_t page = h.EntryAt(n).header_page;
        for (int earlier = 1; earlier < n && tag.problems.empty(); ++earlier) {
          const std::uint32_t other = h.EntryAt(earlier).header_page;
          if (page <= other + 1 && other <= page + 1) {
            tag.problems.push_back("its tag header (page " + std::to_string(page) +
                                   ") is the tag header of tag " + h.TagName(earlier) +
                                   ": its own definition cannot be read");
          }
        }
        if (tag.problems.empty()) CheckTag(index, n, t, options, tag, pages);
        report.tags.push_back(tag);
      }
    }
    EngineErrorCode = 0;
  }
}

// Replacing a tag moves its entry in the tag table; this puts the entries back in the order
// `names` gives, so that tag numbers mean what they meant before the repair.
bool RestoreTagOrder(const std::string& path, const std::vector<std::string>& names) {
  MdxFile file;
  QuietErrors quiet;
  if (!file.Open(path, os::kOpenReadWriteDenyAll)) return false;
  MdxHeader& h = file.header();
  const int count = h.TagCount();
  std::vector<std::array<std::uint8_t, kMdxTagEntrySize>> entries;
  for (const std::string& name : names) {
    for (int i = 1; i <= count; ++i) {
      if (h.TagName(i) != name) continue;
      std::array<std::uint8_t, kMdxTagEntrySize> entry;
      std::memcpy(entry.data(), h.Entry(i), entry.size());
      entries.push_back(entry);
      break;
    }
  }
  bool written = true;
  if (static_cast<int>(entries.size()) == count) {
    for (int i = 1; i <= count; ++i) {
      std::memcpy(h.Entry(i), entries[static_cast<std::size_t>(i - 1)].data(), kMdxTagEntrySize);
    }
    RebuildNameTree(h);
    h.dirty = true;
    written = file.WriteHeader();
  }
  return file.Close() == 0 && written;
}

std::string Joined(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& name : names) out += (out.empty() ? "" : ", ") + name;
  return out;
}

// Whether the reader accepts an index file: its header and every tag header; `why` receives
// the reader's message when not.
bool IndexReadable(const std::string& path, std::string& why) {
  QuietErrors quiet;
  MdxFile file;
  bool ok = file.Open(path, os::kOpenReadOnlyDenyNone);
  for (int n = 1; ok && n <= file.header().TagCount(); ++n) {
    TagHeader header;
    ok = file.ReadTagHeader(n, header);
  }
  if (!ok) why = LastErrorMessage;
  return ok;
}

// Whether the file holds a tag of this name with a sound header and tree.
bool TagBuiltSound(const std::string& path, const std::string& name) {
  QuietErrors quiet;
  MdxFile file;
  if (!file.Open(path, os::kOpenReadOnlyDenyNone)) return false;
  for (int n = 1; n <= file.header().TagCount(); ++n) {
    if (file.header().TagName(n) != name) continue;
    TagHeader header;
    TagExpressions expressions;
    if (!file.ReadTagHeader(n, header) || !CompileTagExpressions(header, expressions)) {
      return false;
    }
    const KeyComparator compare =
        ChooseComparator(header.KeyType(), expressions.result_type, header.Descending());
    std::vector<std::string> problems;
    return compare != nullptr && CheckTagTree(file, header, compare, problems);
  }
  return false;
}

// A structural .CDX that failed its check is written again whole from its tags' definitions,
// after the old file is kept as .bak (records past the header's count counted first). One whose
// definitions cannot be read is left.
void RepairCdx(const std::string& path, const TableCheckOptions& options,
               const TableCheckReport& report, const std::vector<std::string>& findings,
               RepairReport& repair) {
  OpenedTable opened(path, true, true, options.code_page);
  if (opened.table() == nullptr) {
    repair.not_repaired.push_back("the table cannot be opened exclusively: " + LastErrorMessage);
    return;
  }
  TableRecord& t = *opened.table();
  const std::string cdx = DerivedFileName(t.file_name, "CDX");
  std::vector<CdxTagDefinition> definitions;
  std::vector<std::string> unreadable;
  bool readable = false;
  {
    QuietErrors quiet;
    readable = os::FileExists(cdx) && ReadCdxTagDefinitions(cdx, definitions, unreadable) &&
               !definitions.empty();
    EngineErrorCode = 0;
  }
  if (!readable) {
    for (const std::string& f : findings) {
      repair.not_repaired.push_back(f + " (no tag definitions to rebuild it from)");
    }
    return;
  }
  repair.backup = cdx + ".bak";
  repair.backup_of = cdx;
  if (os::CopyWholeFile(cdx, repair.backup) != 0) {
    repair.backup_failed = true;
    return;
  }
  if (report.uncounted > 0) {
    t.record_count = RecordsTheFileHolds(t);
    t.state = kStateAppended;
    repair.counted = report.uncounted;
  }
  bool built = false;
  {
    QuietErrors quiet;
    EngineErrorCode = 0;
    built = BuildCdxFile(cdx, definitions);
  }
  if (!built) {
    repair.not_repaired.push_back("the rebuild of " + cdx + " failed: " + LastErrorMessage);
  } else {
    for (const CdxTagDefinition& s : definitions) repair.rebuilt.push_back(s.name);
    for (const std::string& name : unreadable) {
      repair.not_repaired.push_back("tag " + name + " of " + cdx +
                                    ": its header cannot be read; "
                                    "the file was written again without it");
    }
  }
  EngineErrorCode = 0;
  opened.Close();
}

// Rebuilds the tags that failed, after keeping the old index file. Each is built again from
// its definition by AddIndexTag (which writes the new tree at the end of the file and leaves
// the other tags' pages alone); when a failed tag's definition cannot be read, the whole index
// is written again from the definitions that can.
RepairReport Repair(const std::string& path, const TableCheckOptions& options,
                    const TableCheckReport& report) {
  RepairReport repair;
  std::vector<std::string> cdx_findings;
  for (const CheckFinding& f : report.table) {
    if (f.where == "table") {
      repair.not_repaired.push_back(
          "the table header and the file size (repair rebuilds tags "
          "only)");
    }
    if (f.where == "memo file") repair.not_repaired.push_back("the memo file: " + f.what);
    if (f.where == "index" && report.tags.empty()) {
      repair.not_repaired.push_back("the index file, whose header cannot be read: " + f.what);
    }
    if (f.where == "table records") continue;  // mended below
    if (f.where == "index file") {
      repair.not_repaired.push_back(
          AdvisedText(f.what, {{EngineRemedy::kAddTag, "builds a new one"}}));
    }
    if (f.where == "compound index") cdx_findings.push_back(f.what);
  }
  if (!cdx_findings.empty()) RepairCdx(path, options, report, cdx_findings, repair);
  if (report.memo_problems > 0) {
    repair.not_repaired.push_back(std::to_string(report.memo_problems) +
                                  " memo pointer problem(s) (repair rebuilds tags only)");
  }
  // A file header the reader refuses: the tags found behind it are built into a new file.
  bool header_unreadable = false;
  for (const CheckFinding& f : report.table)
    header_unreadable = header_unreadable || f.where == "index";
  std::vector<const TagCheckReport*> failed;
  std::vector<std::string> unknown;
  for (const TagCheckReport& tag : report.tags) {
    if (tag.problems.empty()) continue;
    failed.push_back(&tag);
    if (!tag.definition_known) unknown.push_back(tag.name);
  }
  if (failed.empty() && report.uncounted == 0) return repair;
  if (!failed.empty()) {
    repair.backup = report.index_path + ".bak";
    if (os::CopyWholeFile(report.index_path, repair.backup) != 0) {
      // A copy cut short (a full disk) left nothing, and an older backup stands as it was.
      repair.backup_failed = true;
      return repair;
    }
  }
  OpenedTable opened(path, true, true, options.code_page);
  if (opened.table() == nullptr) {
    repair.not_repaired.push_back("the table cannot be opened exclusively: " + LastErrorMessage);
    return repair;
  }
  if (report.uncounted > 0) {
    // The header takes the count the file size gives, as sharing programs already do; the
    // tags rebuilt below then hold those records' keys.
    TableRecord& t = *opened.table();
    t.record_count = RecordsTheFileHolds(t);
    t.state = kStateAppended;
    repair.counted = report.uncounted;
  }
  if (!failed.empty()) {
    std::vector<TagDefinition> definitions;
    for (const TagCheckReport& tag : report.tags) {
      if (tag.definition_known) definitions.push_back(tag.definition);
    }
    if (definitions.empty()) {
      // An index without tags is shorter than any reader accepts: the old file stays.
      repair.not_repaired.push_back("no tag's definition can be read (" + Joined(unknown) +
                                    "): the index was left as it was");
    } else if (!unknown.empty() || header_unreadable) {
      bool built;
      {
        QuietErrors quiet;
        built = MakeIndex(definitions, report.index_path);
      }
      for (const TagCheckReport& tag : report.tags) {
        if (tag.definition_known) repair.rebuilt.push_back(tag.name);
      }
      for (const std::string& name : unknown) {
        repair.not_repaired.push_back("tag " + name +
                                      ": its definition cannot be read; the whole index was "
                                      "written again without it");
      }
      if (!built) repair.not_repaired.push_back("the rebuild failed: " + LastErrorMessage);
    } else {
      // Each tag is built again under its name; while other damaged tags remain, the open
      // that ends each build may fail: what counts is the file afterwards.
      for (const TagCheckReport* tag : failed) {
        QuietErrors quiet;
        EngineErrorCode = 0;
        AddIndexTag(tag->definition);
      }
      {
        QuietErrors quiet;
        CloseIndex();
      }
      std::vector<std::string> names;
      for (const TagCheckReport& tag : report.tags) names.push_back(tag.name);
      if (!RestoreTagOrder(report.index_path, names)) {
        repair.not_repaired.push_back("the order of the tags in the tag table (it changed)");
      }
      for (const TagCheckReport* tag : failed) {
        if (TagBuiltSound(report.index_path, tag->name)) {
          repair.rebuilt.push_back(tag->name);
        } else {
          repair.not_repaired.push_back("tag " + tag->name + ": the rebuild failed");
        }
      }
    }
    std::string refused;
    if (!repair.rebuilt.empty() && !IndexReadable(report.index_path, refused)) {
      // Never leave a file the reader refuses: the old one goes back.
      os::CopyWholeFile(repair.backup, report.index_path);
      repair.not_repaired.push_back("the rebuilt index cannot be read (" + refused +
                                    "): the old one was put back");
      repair.rebuilt.clear();
    }
  }
  EngineErrorCode = 0;
  opened.Close();
  return repair;
}

}  // namespace

int IndexFileVersion(const std::string& path) {
  os::File file;
  if (os::File::Open(path, os::kOpenReadOnlyDenyNone, file) != 0) return -1;
  std::array<std::byte, 1> version{};
  std::size_t got = 0;
  const int io = file.ReadAt(0, std::span(version), got);
  file.Close();
  return io == 0 && got == 1 ? static_cast<int>(version[0]) : -1;
}

std::string UnsupportedIndexFile(const std::string& path) {
  if (IndexFileVersion(path) != 3) return {};
  return path +
         " is a dBASE level 7 index (version 3), which this program neither reads nor "
         "maintains";
}

std::string UnsupportedIndex(const TableRecord& table) {
  if (!table.IsLevel7() || table.header[28] == 0) return {};
  return UnsupportedIndexFile(IndexPath(table, {}));
}

namespace {

// The checks alone, on the table opened as the options say.
TableCheckReport Checked(const std::string& path, const TableCheckOptions& options) {
  TableCheckReport report;
  // A memo file that cannot be opened is a finding, not a reason to stop.
  TolerantMemoOpen tolerant;
  OpenedTable opened(path, options.exclusive || options.repair, options.repair, options.code_page);
  if (opened.table() == nullptr) return report;
  report.opened = true;
  RunChecks(*opened.table(), options, report);
  opened.Close();
  return report;
}

// The table is checked again after the repair, which says whether it is sound now. A tag
// counts as rebuilt when the index checks clean for it, its keys against the records included:
// a build that a full disk stopped may leave a tree that is sound but short. When no tag was
// rebuilt, the old index goes back (the rename needs no room on the disk).
void ConfirmRepair(const std::string& path, const TableCheckOptions& options,
                   TableCheckReport& report) {
  RepairReport& repair = *report.repair;
  TableCheckOptions again = options;
  again.repair = false;
  again.exclusive = true;
  const TableCheckReport after = Checked(path, again);
  repair.sound = after.opened && !after.Failed();
  if (repair.rebuilt.empty() && repair.backup.empty()) return;
  std::vector<std::string> rebuilt;
  for (const std::string& name : repair.rebuilt) {
    if (!repair.backup_of.empty()) {
      // A .CDX's tags: sound when the check names nothing of them, or of the file.
      const std::string file = NameOnly(repair.backup_of);
      const bool named =
          std::any_of(after.table.begin(), after.table.end(), [&](const CheckFinding& f) {
            return f.where == "compound index" &&
                   (f.what.rfind("tag " + name + " of " + file + ":", 0) == 0 ||
                    f.what.rfind("tag ", 0) != 0);
          });
      if (after.opened && !named) {
        rebuilt.push_back(name);
      } else {
        repair.not_repaired.push_back("tag " + name + ": the rebuild failed");
      }
      continue;
    }
    const auto tag = std::find_if(after.tags.begin(), after.tags.end(),
                                  [&](const TagCheckReport& t) { return t.name == name; });
    if (after.opened && tag != after.tags.end() && tag->problems.empty()) {
      rebuilt.push_back(name);
    } else {
      repair.not_repaired.push_back("tag " + name + ": the rebuild failed" +
                                    (tag != after.tags.end() && !tag->problems.empty()
                                         ? " (" + tag->problems.front() + ")"
                                         : std::string()));
    }
  }
  repair.rebuilt = std::move(rebuilt);
  // (A backup that could not be made is not there to put back: a file of that name is an older
  // backup, or another file, and stays as it is.)
  if (repair.rebuilt.empty() && !repair.backup.empty() && !repair.backup_failed) {
    const std::string& kept = repair.backup_of.empty() ? report.index_path : repair.backup_of;
    if (os::RenameFile(repair.backup, kept) == os::kIoOk) {
      repair.not_repaired.push_back("the index was left as it was");
      repair.backup.clear();
    } else {
      repair.not_repaired.push_back("the old index is kept as " + repair.backup);
    }
  }
}

}  // namespace

TableCheckReport CheckTable(const std::string& path, const TableCheckOptions& options) {
  // A replacement a killed process left half done is undone (as any open does) and said: until
  // then the table may stand beside another set's memo file or index.
  const JournalOutcome journal = UndoPendingJournal(DefaultExtension(path, "DBF"));
  TableCheckReport report = Checked(path, options);
  if (journal.state == JournalState::kUndone) {
    report.notes.push_back({"journal", JournalUndoneNote(path)});
  } else if (journal.state == JournalState::kRefused) {
    report.table.push_back({"journal", journal.problem});
  }
  if (!report.opened) return report;
  if (options.repair && report.Failed()) {
    report.repair = Repair(path, options, report);
    ConfirmRepair(path, options, report);
  }
  // Files a killed program left beside the table; a repair removes them (a file some program
  // took since the listing stays: DeleteFile refuses a file held open).
  for (const std::string& stray : StrayTemporaryFiles(DefaultExtension(path, "DBF"))) {
    if (options.repair && os::DeleteFile(stray) == os::kIoOk) {
      report.notes.push_back({"folder", "removed " + stray + ", left by a killed program"});
    } else {
      report.table.push_back({"folder",
                              stray + " is a temporary file a killed program left",
                              {{EngineRemedy::kRepair, "removes it"}}});
      if (report.repair) report.repair->sound = false;
    }
  }
  return report;
}

}  // namespace vx
