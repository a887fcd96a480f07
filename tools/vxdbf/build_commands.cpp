#include "tools/vxdbf/build_commands.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <ostream>

#include "engine/foundation/errors.h"
#include "engine/index/index_build.h"
#include "engine/index/index_check.h"
#include "engine/index/key_maker.h"
#include "engine/index/orders.h"
#include "engine/memo/memo_check.h"
#include "engine/memo/memo_storage.h"
#include "engine/workarea/hooks.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/file.h"
#include "platform/os/system.h"
#include "tools/vxdbf/table_session.h"
#include "tools/vxdbf/text_formats.h"
#include "tools/vxdbf/vxdbf.h"

namespace vx::tool {

namespace {

// A progress bar on standard error while a build runs, when standard error is a terminal.
struct ProgressBar {
  std::ostream* err = nullptr;
  std::int32_t records = 0;
  std::uint32_t start = os::TickCount();

  static void Step(void* context, int step, int steps) {
    auto* bar = static_cast<ProgressBar*>(context);
    const double seconds = (os::TickCount() - bar->start) / 1000.0;
    const double done = bar->records * (static_cast<double>(step) / steps) / 2;
    *bar->err << "\r" << (100 * step / steps) << "%  "
              << static_cast<long long>(seconds > 0 ? done / seconds : 0) << " records/s   ";
    if (step == steps) *bar->err << "\n";
    bar->err->flush();
  }
};

class ProgressScope {
 public:
  ProgressScope(std::ostream& err, std::int32_t records) {
    if (!os::StandardErrorIsTerminal()) return;
    bar_.err = &err;
    bar_.records = records;
    SetIndexProgress(ProgressBar::Step, &bar_, 100);
  }
  ~ProgressScope() { SetIndexProgress(nullptr, nullptr, 0); }
  ProgressScope(const ProgressScope&) = delete;
  ProgressScope& operator=(const ProgressScope&) = delete;

 private:
  ProgressBar bar_;
};

Options Exclusive(const Options& o) {
  Options exclusive = o;
  exclusive.exclusive = true;
  return exclusive;
}

int IndexTag(const Options& o, const Streams& io) {
  TableSession session(Exclusive(o), o.file, Access::kIndex, io.err);
  ProgressScope progress(io.err, session.table().record_count);
  // The tag's name and expressions go into the index in the table's code page.
  TableText& text = session.text();
  AddIndexTag({text.FromUtf8(o.tag, "the tag name"), text.FromUtf8(o.key, "the key"),
               text.FromUtf8(o.condition, "the FOR condition"), o.descending, o.unique});
  session.Close();
  return kExitOk;
}

int ReindexTable(const Options& o, const Streams& io) {
  TableSession session(Exclusive(o), o.file, Access::kIndex, io.err);
  if (!os::FileExists(IndexPath(session.table(), {}))) {
    throw InputError{o.file + " has no production index"};
  }
  SetIndexTo();
  ProgressScope progress(io.err, session.table().record_count);
  Reindex();
  session.Close();
  return kExitOk;
}

// One tag's definition and findings.
struct TagReport {
  std::string name;
  TagDefinition definition;
  bool definition_known = false;  // the key and FOR expressions can be read and compile
  std::vector<std::string> problems;
  std::vector<std::string> notes;  // what is not damage but worth knowing
};

// Normalizes a key for comparison with the key maker's: numbers may count their digits
// differently in other writers' files (the digit count byte is not part of the value).
std::string Comparable(const TagHeader& header, std::string key) {
  if ((header.KeyType() == 'N' || header.KeyType() == 'F') && key.size() >= 2) {
    key[1] = static_cast<char>(key[1] & 0x80);
  }
  return key;
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
bool DefinitionOf(const std::string& name, const TagHeader& header, TagReport& report,
                  TagExpressions& expressions) {
  report.definition = {name, header.KeyExpression(),
                       header.HasFor() ? header.ForExpression() : std::string(),
                       header.Descending(), header.Unique()};
  report.definition_known = CompileTagExpressions(header, expressions);
  return report.definition_known;
}

// What is wrong between a sound header's key type and length and its key expression (what
// appends and reindex would refuse), even in a tag that holds no keys; empty when they agree.
std::string KeyShapeFault(const TagHeader& header, const TagExpressions& expressions) {
  const char type = header.KeyType();
  const char result = expressions.result_type;
  if ((type == 'C') != (result == 'C')) {
    return std::string("key type ") + type + " does not match the key expression's type " + result;
  }
  if (type == 'C' && expressions.width != 0 && expressions.width != header.KeyLength()) {
    return "key length " + std::to_string(header.KeyLength()) + ", but the key expression gives " +
           std::to_string(expressions.width) + " characters";
  }
  return {};
}

void CheckTag(MdxFile& file, int number, TableRecord& t, TagReport& report, IndexPages& pages) {
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
  const std::string shape = KeyShapeFault(header, expressions);
  if (compare == nullptr || !shape.empty()) {
    report.problems.push_back(shape.empty() ? "key type does not match the key expression" : shape);
    return;
  }
  std::vector<TagItem> items;
  const std::size_t before = report.problems.size();
  if (!CheckTagTree(file, header, compare, report.problems, &items, &pages, report.name) &&
      SoundInSignedByteOrder(file, header)) {
    // Out of byte order, yet sound in the order of signed bytes: its writer's collation.
    report.problems.resize(before);
    report.notes.push_back(
        "keys in its writer's own order, " + CollationName(KeyCollation::kSignedBytes) +
        ", which is sound; vxdbf refuses edits that change its keys (--ignore-index edits "
        "anyway), and reindex would put it in byte order for every program");
  }
  // The keys the key maker computes, against the keys stored, as (key, record) sets.
  const auto length = static_cast<std::size_t>(header.KeyLength());
  std::vector<std::pair<std::string, std::uint32_t>> expected;
  for (std::int32_t n = 1; n <= t.record_count; ++n) {
    GoRaw(n);
    if (!MeetsFor(expressions, t)) continue;
    KeyBuffer key{};
    int key_length = 0;
    if (!MakeKey(expressions, header, t, key, key_length)) {
      report.problems.push_back("record " + std::to_string(n) + ": key cannot be made");
      continue;
    }
    expected.emplace_back(
        Comparable(header, std::string(reinterpret_cast<const char*>(key.data()), length)),
        static_cast<std::uint32_t>(n));
  }
  std::vector<std::pair<std::string, std::uint32_t>> stored;
  for (const TagItem& item : items) stored.emplace_back(Comparable(header, item.key), item.record);
  std::sort(expected.begin(), expected.end());
  std::sort(stored.begin(), stored.end());
  std::vector<std::pair<std::string, std::uint32_t>> missing;
  std::vector<std::pair<std::string, std::uint32_t>> extra;
  std::set_difference(expected.begin(), expected.end(), stored.begin(), stored.end(),
                      std::back_inserter(missing));
  std::set_difference(stored.begin(), stored.end(), expected.begin(), expected.end(),
                      std::back_inserter(extra));
  if (header.Unique()) {
    // A unique tag holds one record of each key (any of them, after edits).
    std::vector<std::pair<std::string, std::uint32_t>> still_missing;
    for (const auto& m : missing) {
      // `stored` is sorted: the first item at or after (key, 0) holds the key if any does.
      const auto at = std::lower_bound(stored.begin(), stored.end(), std::make_pair(m.first, 0u));
      if (at == stored.end() || at->first != m.first) still_missing.push_back(m);
    }
    // dBASE keeps the first record of each key and does not put the next record with that key
    // in when the one that held it changes: such a key is no damage (reindex brings it back).
    constexpr std::size_t kNoted = 20;
    for (std::size_t i = 0; i < still_missing.size() && i < kNoted; ++i) {
      report.notes.push_back("record " + std::to_string(still_missing[i].second) +
                             ": its key is not in the unique tag (the record that held the key "
                             "was changed; reindex puts the key back)");
    }
    missing.clear();
    for (std::size_t i = 1; i < stored.size(); ++i) {
      if (stored[i].first == stored[i - 1].first) {
        report.problems.push_back("record " + std::to_string(stored[i].second) +
                                  ": a second item of a key in a unique tag");
      }
    }
  }
  constexpr std::size_t kShown = 20;
  for (std::size_t i = 0; i < missing.size() && i < kShown; ++i) {
    report.problems.push_back("record " + std::to_string(missing[i].second) +
                              ": its key is missing");
  }
  for (std::size_t i = 0; i < extra.size() && i < kShown; ++i) {
    report.problems.push_back("record " + std::to_string(extra[i].second) +
                              ": an item whose key the record does not have (or a record the "
                              "tag should not hold)");
  }
  if (missing.size() + extra.size() > 2 * kShown) {
    report.problems.push_back(std::to_string(missing.size() + extra.size()) +
                              " key differences in all");
  }
}

// Memo pointers: after this many problems only their number is told.
constexpr std::size_t kMemoProblemsShown = 100;

// One problem as printed: "<where>: <what>".
struct Finding {
  std::string where;
  std::string what;
};

// What `check` found, by the part of the files it concerns.
struct CheckReport {
  std::vector<Finding> table;  // the table header, the index file, the memo file
  std::vector<Finding> memos;  // memo pointers (at most kMemoProblemsShown)
  std::size_t memo_problems = 0;
  std::int32_t uncounted = 0;  // whole records past the header's count
  std::vector<TagReport> tags;
  std::vector<Finding> notes;  // about the table's files, not faults
  bool has_index = false;
  std::string index_path;

  bool Failed() const {
    bool failed = !table.empty() || memo_problems > 0;
    for (const TagReport& tag : tags) failed = failed || !tag.problems.empty();
    return failed;
  }
};

// An index whose file header the reader refuses (version, node size, entry size, tag count):
// the tag table and tag headers behind it may still say which tags it held. Each tag found goes
// into the report with the definition its header gives, so that repair can build it again.
void SalvageTags(const std::string& path, CheckReport& report) {
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
    TagReport tag;
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

void CheckTableSize(TableRecord& t, CheckReport& report) {
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
void CheckMemoPointers(TableSession& session, CheckReport& report) {
  TableRecord& t = session.table();
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
    names.push_back(session.text().ToUtf8(t.fields[i].name, "a field name"));
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
      std::string what = check.Check(std::string_view(t.record.data() + f.offset, f.length));
      if (what.empty()) continue;
      if (++report.memo_problems <= kMemoProblemsShown) {
        report.memos.push_back(
            {"record " + std::to_string(n) + ", field " + names[i], std::move(what)});
      }
    }
  }
}

CheckReport RunChecks(const Options& options, const std::string& file, std::ostream& err) {
  CheckReport report;
  // Checking changes nothing: a table that may only be read is checked too.
  TableSession session(options, file, options.repair ? Access::kIndex : Access::kRead, err);
  TableRecord& t = session.table();
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
  CheckMemoPointers(session, report);
  report.index_path = IndexPath(t, {});
  report.has_index = HasProductionIndex() && os::FileExists(report.index_path);
  if (report.has_index && t.IsLevel7() && IndexFileVersion(report.index_path) == 3) {
    report.notes.push_back(
        {"index file", report.index_path + ": not checked (dBASE level 7 index, version 3)"});
    report.has_index = false;
  }
  if (t.HasStructuralCdx()) {
    report.notes.push_back({"index file", DerivedFileName(t.file_name, "CDX") +
                                              ": not checked (FoxPro compound index)"});
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
        TagReport tag;
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
        if (tag.problems.empty()) CheckTag(index, n, t, tag, pages);
        report.tags.push_back(tag);
      }
    }
    EngineErrorCode = 0;
  }
  session.Close();
  return report;
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

// What --repair did.
struct RepairReport {
  std::string backup;
  std::vector<std::string> rebuilt;       // tag names
  std::vector<std::string> not_repaired;  // in words
  std::int32_t counted = 0;               // records the header now counts in addition
};

// Rebuilds the tags that failed, after keeping the old index file. Each is built again from
// its definition by AddIndexTag (which writes the new tree at the end of the file and leaves
// the other tags' pages alone); when a failed tag's definition cannot be read, the whole index
// is written again from the definitions that can.
RepairReport Repair(const Options& options, const Streams& io, const CheckReport& report) {
  RepairReport repair;
  for (const Finding& f : report.table) {
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
      repair.not_repaired.push_back(f.what + " (vxdbf index builds a new one)");
    }
  }
  if (report.memo_problems > 0) {
    repair.not_repaired.push_back(std::to_string(report.memo_problems) +
                                  " memo pointer problem(s) (repair rebuilds tags only)");
  }
  // A file header the reader refuses: the tags found behind it are built into a new file.
  bool header_unreadable = false;
  for (const Finding& f : report.table) header_unreadable = header_unreadable || f.where == "index";
  std::vector<const TagReport*> failed;
  std::vector<std::string> unknown;
  for (const TagReport& tag : report.tags) {
    if (tag.problems.empty()) continue;
    failed.push_back(&tag);
    if (!tag.definition_known) unknown.push_back(tag.name);
  }
  if (failed.empty() && report.uncounted == 0) return repair;
  if (!failed.empty()) {
    repair.backup = report.index_path + ".bak";
    if (os::CopyWholeFile(report.index_path, repair.backup) != 0) {
      throw InputError{"cannot keep the old index as " + repair.backup};
    }
  }
  TableSession session(options, options.file, Access::kIndex, io.err);
  if (report.uncounted > 0) {
    // The header takes the count the file size gives, as sharing programs already do; the
    // tags rebuilt below then hold those records' keys.
    TableRecord& t = session.table();
    t.record_count = RecordsTheFileHolds(t);
    t.state = kStateAppended;
    repair.counted = report.uncounted;
  }
  if (!failed.empty()) {
    std::vector<TagDefinition> definitions;
    for (const TagReport& tag : report.tags) {
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
      for (const TagReport& tag : report.tags) {
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
      for (const TagReport* tag : failed) {
        QuietErrors quiet;
        EngineErrorCode = 0;
        AddIndexTag(tag->definition);
      }
      {
        QuietErrors quiet;
        CloseIndex();
      }
      std::vector<std::string> names;
      for (const TagReport& tag : report.tags) names.push_back(tag.name);
      if (!RestoreTagOrder(report.index_path, names)) {
        repair.not_repaired.push_back("the order of the tags in the tag table (it changed)");
      }
      for (const TagReport* tag : failed) {
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
  session.Close();
  return repair;
}

int Check(const Options& o, const Streams& io) {
  const Options options = o.repair ? Exclusive(o) : o;
  TolerantMemoOpen tolerant;
  const CheckReport report = RunChecks(options, o.file, io.err);
  const bool failed = report.Failed();
  std::vector<Finding> findings = report.table;
  findings.insert(findings.end(), report.memos.begin(), report.memos.end());
  if (report.memo_problems > kMemoProblemsShown) {
    findings.push_back(
        {"memo pointers",
         "... and " + std::to_string(report.memo_problems - kMemoProblemsShown) + " more"});
  }
  std::vector<Finding> notes = report.notes;
  for (const TagReport& tag : report.tags) {
    for (const auto& p : tag.problems) findings.push_back({"tag " + tag.name, p});
    for (const auto& n : tag.notes) notes.push_back({"tag " + tag.name, n});
  }
  std::optional<RepairReport> repair;
  if (failed && o.repair) repair = Repair(options, io, report);
  if (o.json) {
    io.out << "{\"ok\":" << (failed ? "false" : "true") << ",\"problems\":[";
    bool first = true;
    for (const Finding& f : findings) {
      io.out << (first ? "" : ",") << "{\"where\":" << JsonString(f.where)
             << ",\"problem\":" << JsonString(f.what) << "}";
      first = false;
    }
    io.out << "]";
    if (!notes.empty()) {
      io.out << ",\"notes\":[";
      for (std::size_t i = 0; i < notes.size(); ++i) {
        io.out << (i > 0 ? "," : "") << "{\"where\":" << JsonString(notes[i].where)
               << ",\"note\":" << JsonString(notes[i].what) << "}";
      }
      io.out << "]";
    }
    if (report.memo_problems > 0) io.out << ",\"memo_problems\":" << report.memo_problems;
    if (repair) {
      const auto list = [&](const std::vector<std::string>& items) {
        io.out << "[";
        for (std::size_t i = 0; i < items.size(); ++i) {
          io.out << (i > 0 ? "," : "") << JsonString(items[i]);
        }
        io.out << "]";
      };
      io.out << ",\"repair\":{\"backup\":"
             << (repair->backup.empty() ? "null" : JsonString(repair->backup)) << ",\"rebuilt\":";
      list(repair->rebuilt);
      io.out << ",\"not_repaired\":";
      list(repair->not_repaired);
      io.out << "}";
    }
    io.out << "}\n";
  } else {
    for (const Finding& f : findings) io.out << f.where << ": " << f.what << "\n";
    for (const Finding& f : notes) io.out << f.where << ": note: " << f.what << "\n";
    if (!failed) {
      io.out << "No problems found"
             << (report.has_index ? " (" + std::to_string(report.tags.size()) + " tags)" : "")
             << "\n";
    }
  }
  if (repair) {
    if (repair->counted > 0) {
      io.err << "vxdbf: the header now counts the " << repair->counted
             << " record(s) past its old count\n";
    }
    if (!repair->rebuilt.empty()) {
      io.err << "vxdbf: rebuilt tag(s) " << Joined(repair->rebuilt) << " of " << report.index_path
             << "; the old file is " << repair->backup << "\n";
    }
    for (const std::string& what : repair->not_repaired) {
      io.err << "vxdbf: not repaired: " << what << "\n";
    }
  }
  return failed ? kExitCheckFailed : kExitOk;
}

}  // namespace

void RegisterBuildCommands(Commands& commands) {
  Options& o = commands.options();
  CLI::App& index = commands.Add(
      {"index", "FILE --tag NAME --key EXPR [--for COND] [--descending] [--unique]",
       "Adds a tag to the production index (or replaces the tag of that name), creating the "
       "index when the table has none.",
       "vxdbf index films.dbf --tag TITLE --key \"UPPER(TITLE)\"",
       [](const Options& options, const Streams& io) { return IndexTag(options, io); }});
  AddFileArgument(index, o);
  index.add_option("--tag", o.tag, "the tag name (at most 10 characters)")->required();
  index.add_option("--key", o.key, "the key expression")->required();
  index.add_option("--for", o.condition, "only records meeting this condition");
  index.add_flag("--descending", o.descending, "highest key first");
  index.add_flag("--unique", o.unique, "one record of each key");

  CLI::App& reindex = commands.Add(
      {"reindex", "FILE", "Rebuilds every tag of the production index from its definition.",
       "vxdbf reindex films.dbf",
       [](const Options& options, const Streams& io) { return ReindexTable(options, io); }});
  AddFileArgument(reindex, o);

  CLI::App& check = commands.Add(
      {"check", "FILE [--json] [--repair]",
       "Verifies the table header, every memo pointer against the memo file and every tag of "
       "the production index against the table; "
       "exit status 4 when it finds a problem. Changes nothing unless --repair.",
       "vxdbf check films.dbf --repair",
       [](const Options& options, const Streams& io) { return Check(options, io); }});
  AddFileArgument(check, o);
  check.add_flag("--json", o.json, "print one JSON object");
  check.add_flag("--repair", o.repair,
                 "rebuild the tags that failed (exclusive use), keeping the old index as .bak");
  AddSharingOptions(check, o);
}

}  // namespace vx::tool
