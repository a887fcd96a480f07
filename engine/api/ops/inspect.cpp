// Reading a table as stored (include/vexel/inspect.hpp): its description, its records with every
// value as stored, memos, tag summaries and expressions over the records.

#include <algorithm>
#include <cstdio>
#include <vexel/inspect.hpp>

#include "engine/api/ops/operation.h"
#include "engine/api/ops/record_order.h"
#include "engine/api/ops/table_rewrite.h"
#include "engine/expr/expression.h"
#include "engine/foundation/dates.h"
#include "engine/foundation/errors.h"
#include "engine/foundation/strings.h"
#include "engine/index/cdx_orders.h"
#include "engine/index/ndx_orders.h"
#include "engine/index/orders.h"
#include "engine/index/table_check.h"
#include "engine/memo/memo_file.h"
#include "engine/memo/memo_storage.h"
#include "engine/table/dbf_file.h"
#include "engine/table/dbf_records.h"
#include "engine/table/field_values.h"
#include "engine/table/language_driver.h"
#include "engine/table/stored_number.h"
#include "engine/workarea/field_input.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/codepage.h"
#include "platform/os/file.h"
#include "platform/os/path_text.h"

namespace vx::ops {
namespace {

using vexel::StoredValue;

std::string Dashed(const std::string& yyyymmdd) {
  return yyyymmdd.substr(0, 4) + "-" + yyyymmdd.substr(4, 2) + "-" + yyyymmdd.substr(6, 2);
}

const char* MemoKindName(MemoKind kind) {
  switch (kind) {
    case MemoKind::kDbase3:
      return "dBASE III";
    case MemoKind::kDbase4:
      return "dBASE IV";
    case MemoKind::kFoxPro:
      return "FoxPro";
  }
  return "unknown";
}

// A table opened on its own (in no work area), closed when this ends.
struct LooseTable {
  TableRecord t;
  ~LooseTable() {
    if (t.file.IsOpen()) {
      QuietErrors quiet;
      CloseDbf(t);
    }
  }
};

// The memo file beside a table; none when the table has none or it cannot be opened.
std::optional<vexel::MemoFileDescription> DescribeMemo(const TableRecord& t) {
  if (!t.has_memo) return std::nullopt;
  const std::uint8_t version = MemoVersionOf(t.version());
  MemoFile m;
  if (OpenMemoFile(DerivedFileName(t.file_name, MemoExtension(version)), version,
                   os::kOpenReadOnlyDenyNone, false, m) != 0) {
    return std::nullopt;
  }
  vexel::MemoFileDescription d;
  d.path = m.file.path();
  d.kind = MemoKindName(m.kind);
  d.block_size = m.block_size;
  d.size = FileSize(m);
  const MemoSummary summary = SummarizeMemo(m);
  d.next_free = summary.next_free;
  d.has_free_chain = m.kind == MemoKind::kDbase4;
  if (d.has_free_chain) {
    d.free_groups = summary.chain_groups;
    d.free_blocks = summary.chain_blocks;
    d.free_chain_damaged = summary.chain_damaged;
  }
  return d;
}

std::string NameOf(TableText& text, const TableRecord& t, std::size_t i) {
  return text.ToUtf8(t.fields[i].name, "the name of field " + std::to_string(i + 1));
}

// ---------------------------------------------------------------------------------------------
// Stored values

// The memo blocks the first `count` records name, ascending and without repeats.
std::vector<std::int32_t> MemoStarts(TableRecord& t, std::int32_t count) {
  std::vector<std::int32_t> starts;
  if (std::none_of(t.fields.begin(), t.fields.end(),
                   [](const FieldEntry& f) { return f.type == 'M'; })) {
    return starts;
  }
  for (std::int32_t n = 1; n <= count; ++n) {
    GO(n);
    for (const FieldEntry& f : t.fields) {
      if (f.type != 'M') continue;
      const std::int32_t block = StoredMemoBlock(t, f, t.record.data());
      if (block > 0) starts.push_back(block);
    }
  }
  std::sort(starts.begin(), starts.end());
  starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
  return starts;
}

// A .NULL. field and the binary field kinds (all but binary memos).
StoredValue BinaryValue(const TableRecord& t, const FieldEntry& f, TableText& text,
                        const std::string& where) {
  StoredValue v;
  bool has_value = false;
  if (FieldIsNull(t, f, t.record.data())) return v;
  std::string value = BinaryFieldText(t, f, t.record.data(), &has_value);
  if (!has_value) return v;
  if (HoldsBytes(f)) {
    v.kind = StoredValue::Kind::bytes;
    v.text = std::move(value);
  } else if (ValueKind(f) == 'C') {
    v.kind = StoredValue::Kind::text;
    v.text = text.ToUtf8(value, where);
  } else if (ValueKind(f) == 'N') {
    v.kind = StoredValue::Kind::number;
    v.number = value;
    v.text = std::move(value);
  } else {
    v.kind = StoredValue::Kind::datetime;
    v.text = std::move(value);
  }
  return v;
}

// Reads the records of one walk.
class StoredReader {
 public:
  StoredReader(TableSession& session, const vexel::OpenOptions& options, std::int32_t readable)
      : t_(session.table()),
        text_(session.text()),
        options_(options),
        memo_starts_(MemoStarts(t_, readable)),
        memo_file_(MemoOf(t_) != nullptr) {
    for (std::size_t i = 0; i < t_.fields.size(); ++i) names_.push_back(NameOf(text_, t_, i));
  }

  const std::vector<std::string>& names() const { return names_; }
  bool damaged() const { return damaged_; }

  // The current record's field i.
  StoredValue Value(std::int32_t recno, std::size_t i) {
    const FieldEntry& f = t_.fields[i];
    const auto where = [&] { return "record " + std::to_string(recno) + ", field " + names_[i]; };
    if (FieldIsNull(t_, f, t_.record.data()) || (IsBinaryField(f) && ValueKind(f) != 'M')) {
      return BinaryValue(t_, f, text_, where());
    }
    const std::string stored(t_.record.data() + f.offset, f.length);
    StoredValue v;
    switch (f.type) {
      case 'C': {
        // Blanks and the NUL bytes some writers pad with are no part of the value.
        const std::size_t end = stored.find_last_not_of(std::string_view(" \0", 2));
        v.kind = StoredValue::Kind::text;
        v.text = text_.ToUtf8(stored.substr(0, end == std::string::npos ? 0 : end + 1), where());
        break;
      }
      case 'L': {
        // Blank or "?": no value given, as other readers show it.
        const char c = stored.empty() ? ' ' : stored[0];
        if (c == ' ' || c == '?' || c == '\0') break;
        v.kind = StoredValue::Kind::logical;
        v.text = c == 'T' || c == 't' || c == 'Y' || c == 'y' ? "T" : "F";
        break;
      }
      case 'D':
        if (StoredToDayNumber(stored) == kBlankDate) break;
        v.kind = StoredValue::Kind::date;
        v.text = Dashed(stored);
        break;
      case 'M':
        return Memo(recno, i);
      default:  // N and F
        v.kind = StoredValue::Kind::number;
        v.text = TrimText(stored);
        v.number = StoredNumberJson(stored).value_or("");
        break;
    }
    return v;
  }

 private:
  void WarnAboutMemo(std::int32_t recno, std::size_t i, const std::string& what) {
    Warn(options_,
         "warning: record " + std::to_string(recno) + ", field " + names_[i] + ": " + what);
  }

  // A memo that cannot be read (or only in part) keeps what there is, and the damage is named.
  StoredValue Memo(std::int32_t recno, std::size_t i) {
    const FieldEntry& f = t_.fields[i];
    StoredValue v;
    if (!memo_file_) {
      // The memo file is missing (named when the table was opened): no value.
      damaged_ = true;
      return v;
    }
    const std::int32_t block = StoredMemoBlock(t_, f, t_.record.data());
    std::string memo;
    bool read = true, unterminated = false, binary = false;
    if (block > 0) {
      QuietErrors quiet;
      EngineErrorCode = 0;
      read = ReadMemo(t_, block, memo, &binary, &unterminated);
    }
    if (!read) {
      WarnAboutMemo(recno, i,
                    "memo unreadable, left out (" + ErrorDescription(EngineErrorCode) + ": " +
                        TakeErrorMessage() + ")");
      EngineErrorCode = 0;
    } else {
      // A memo ends where the next memo that a record names begins, at the latest: reading on
      // means a lost end marker.
      const auto next = std::upper_bound(memo_starts_.begin(), memo_starts_.end(), block);
      const MemoFile* file = MemoOf(t_);
      if (next != memo_starts_.end() && file != nullptr) {
        const std::uint64_t room = static_cast<std::uint64_t>(*next - block) * file->block_size;
        if (memo.size() > room) {
          memo.resize(static_cast<std::size_t>(room));
          unterminated = true;
        }
      }
      if (unterminated) {
        WarnAboutMemo(recno, i,
                      "memo has no end marker, cut at " + std::to_string(memo.size()) + " bytes");
      }
    }
    damaged_ = damaged_ || !read || unterminated;
    v.unreadable = !read;
    // Bytes as the library reads them: the binary memo kinds, and a memo its block marks as a
    // picture or object.
    if (binary || vexel::detail::BytesField(f)) {
      v.kind = StoredValue::Kind::bytes;
      v.text = std::move(memo);
    } else {
      v.kind = StoredValue::Kind::text;
      v.text = text_.ToUtf8(memo, "record " + std::to_string(recno) + ", field " + names_[i]);
    }
    return v;
  }

  TableRecord& t_;
  TableText& text_;
  const vexel::OpenOptions& options_;
  std::vector<std::string> names_;
  std::vector<std::int32_t> memo_starts_;
  bool memo_file_;
  bool damaged_ = false;
};

// ---------------------------------------------------------------------------------------------
// Expressions

// Compiles UTF-8 text in the table's page (lossy as the options say).
Expr CompileText(const std::string& utf8, TableText& text, int* memo_field = nullptr) {
  const std::string stored = text.FromUtf8(utf8, "the expression");
  Expr e = vexel::detail::CompileExpression(stored, text.page());
  if (memo_field != nullptr) *memo_field = vexel::detail::MemoFieldNamed(stored);
  return e;
}

}  // namespace
}  // namespace vx::ops

namespace vexel {

using namespace vx;
using vx::ops::Access;
using vx::ops::Run;
using vx::ops::TableSession;

TableDescription describe(const std::filesystem::path& file, const OpenOptions& options) {
  return Run([&] {
    ops::LooseTable loose;
    TableRecord& t = loose.t;
    // Read-only and shared, with the bytes as stored.
    t.file_name = vx::os::PathText(file);
    t.open_mode = os::kOpenReadOnlyDenyNone;
    t.oem = false;
    OpenDbf(t);
    const TableMark mark = ReadTableMark(t);
    const CodePageChoice page = ops::ChooseCodePage(mark, options);
    if (!page.warning.empty()) ops::Warn(options, page.warning);
    ops::TableText text(page.page, options.lossy);

    TableDescription d;
    d.version = t.version();
    d.version_name = VersionName(t.version());
    // Some writers leave the date bytes zero (dBASE II tables): no date, not 1900-00-00.
    const std::string& u = t.update_date;
    if (u.size() == 8 && u.substr(4, 2) != "00" && u.substr(6, 2) != "00") {
      d.last_update = ops::Dashed(u);
    }
    d.records = static_cast<std::uint32_t>(t.record_count);
    d.header_length = t.header_length;
    d.record_length = t.record_length;
    d.has_memo = t.has_memo;
    d.memo = ops::DescribeMemo(t);
    d.production_index = !t.IsDbase2() && !t.IsVisualFoxPro() && t.header[28] != 0;
    d.index_tags = ops::ProductionTagCount(t.file_name, d.production_index);
    if (mark.has_byte) {
      d.language_driver = mark.id;
      if (const LanguageDriver* driver = FindLanguageDriver(mark.id)) {
        d.language_driver_meaning = driver->meaning;
      }
    }
    d.language_driver_name = text.Name(mark.driver_name);
    d.language_driver_text = DescribeMark(mark);
    d.codepage = page.page;
    d.codepage_reason = page.reason;
    for (std::size_t i = 0; i < t.fields.size(); ++i) {
      const FieldEntry& f = t.fields[i];
      d.fields.push_back({ops::NameOf(text, t, i), f.type, f.length, f.decimals, f.offset});
    }
    return d;
  });
}

StoredWalkResult read_stored(const std::filesystem::path& file, const RecordWalk& walk,
                             const OpenOptions& options, const StoredRecordSink& sink) {
  return Run([&] {
    const std::string path = vx::os::PathText(file);
    TableSession session(options, path, Access::kRead);
    TableRecord& t = session.table();
    // A file cut short: the whole records are read, the caller is told of the rest.
    const RecordTally tally = TallyRecords(t);
    StoredWalkResult result;
    result.counted = static_cast<std::uint32_t>(std::max<std::int64_t>(0, tally.counted));
    result.whole = static_cast<std::uint32_t>(std::max<std::int64_t>(0, tally.whole));
    const auto readable =
        static_cast<std::int32_t>(std::min<std::int64_t>(t.record_count, tally.whole));
    ops::StoredReader reader(session, options, readable);
    if (sink.begin) sink.begin(reader.names());
    if (walk.skip_deleted) SetIgnoreDel(true);
    StoredRecord record;
    // The records the header counts, in file order: bytes after them are not records, even
    // though a shared table's count would take them in as another program's appends.
    for (const ops::OrderedRecord& ordered :
         ops::RecordOrder({walk.tag, walk.index}, path, t, readable)) {
      if (ordered.record > readable) continue;
      GO(ordered.record);
      if (!IsVisible(t)) continue;
      record.recno = static_cast<std::uint32_t>(ordered.record);
      record.deleted = t.record[0] == kDeletedFlag;
      record.key = walk.keys
                       ? session.text().ToUtf8(
                             ordered.key, "the key of record " + std::to_string(ordered.record))
                       : std::string();
      record.values.clear();
      for (std::size_t i = 0; i < t.fields.size(); ++i) {
        record.values.push_back(reader.Value(ordered.record, i));
      }
      if (sink.record) sink.record(record);
    }
    result.damaged = reader.damaged() || result.cut_short();
    session.Close();
    return result;
  });
}

std::string read_memo(const std::filesystem::path& file, std::uint32_t recno,
                      std::string_view field, const OpenOptions& options) {
  return Run([&] {
    const std::string path = vx::os::PathText(file);
    TableSession session(options, path, Access::kRead);
    TableRecord& t = session.table();
    const int n = FieldNo(session.text().Name(field));
    if (n == 0 || t.fields[static_cast<std::size_t>(n - 1)].type != 'M') {
      throw ops::InputError{"no memo field " + ops::Quoted(field) + " in " + path};
    }
    const FieldEntry& f = t.fields[static_cast<std::size_t>(n - 1)];
    GO(static_cast<std::int32_t>(std::min<std::uint32_t>(recno, 2147483647u)));
    const std::int32_t block = StoredMemoBlock(t, f, t.record.data());
    std::string text;
    if (block > 0) ReadMemo(t, block, text);
    std::string utf8 =
        session.text().ToUtf8(text, "record " + std::to_string(recno) + ", field " + f.name);
    session.Close();
    return utf8;
  });
}

std::int64_t pack_memo(const std::filesystem::path& file, const OpenOptions& options) {
  // Rewritten beside the old files and replaced as one: a kill half way leaves the old memo
  // file with the old block numbers, never new blocks under old pointers.
  return Run([&] { return ops::PackMemoFile(vx::os::PathText(file), options); });
}

namespace {

// The one "tag" of an .NDX: its file name stands for the tag name.
std::vector<TagSummary> SummarizeNdx(const std::string& file, const std::string& index,
                                     const OpenOptions& options) {
  TableSession session(options, file, Access::kRead);
  TableRecord& t = session.table();
  const std::string path = NdxPath(t, index);
  if (!os::FileExists(path)) throw ops::InputError{"no index " + path};
  std::vector<TagSummary> out;
  TagSummary& s = out.emplace_back();
  s.name = session.text().ToUtf8(SplitPath(path).name, "the index name");
  NdxIndex ndx;
  QuietErrors quiet;
  if (!OpenNdxFor(t, path, ndx, false)) {
    s.damage = LastErrorMessage;
    EngineErrorCode = 0;
    return out;
  }
  const NdxHeader& h = ndx.file.header();
  s.key = session.text().ToUtf8(h.expression, "the index");
  s.type = !h.numeric ? 'C' : (ndx.expressions.result_type == 'D' ? 'D' : 'N');
  s.length = h.key_length;
  s.unique = h.unique;
  const NdxReadHold hold(ndx.file);
  s.root = ndx.file.header().root;
  const bool walked = hold.held() && ndx.file.Walk([&](const std::uint8_t*, std::uint32_t) {
    ++s.keys;
    return true;
  });
  s.depth = ndx.file.Depth();
  if (!walked) s.damage = LastErrorMessage;
  EngineErrorCode = 0;
  session.Close();
  return out;
}

// The tags of a FoxPro .CDX (`index`, or the table's structural one when empty).
std::vector<TagSummary> SummarizeCdx(TableSession& session, const std::string& index) {
  TableRecord& t = session.table();
  const std::string path = CdxPath(t, index);
  if (!os::FileExists(path)) throw ops::InputError{"no index " + path};
  const auto utf8 = [&](const std::string& bytes) { return session.text().ToUtf8(bytes, "the index"); };
  std::vector<TagSummary> out;
  CdxIndex cdx;
  if (!OpenCdxFor(t, path, cdx)) throw ops::DataError{LastErrorMessage};
  const CdxReadHold hold(cdx.file);
  if (!hold.held()) throw ops::DataError{LastErrorMessage};
  for (std::size_t n = 0; n < cdx.file.tags().size(); ++n) {
    const CdxTag& tag = cdx.file.tags()[n];
    TagSummary& s = out.emplace_back();
    s.name = utf8(tag.name);
    if (!tag.fault.empty()) {
      s.damage = tag.fault;
      continue;
    }
    const CdxHeader& h = tag.header;
    s.key = utf8(h.key_expression);
    s.for_expr = h.HasFor() ? utf8(h.for_expression) : std::string();
    s.type = cdx.keys[n].type;
    s.length = h.key_length;
    s.unique = h.Unique();
    s.candidate = h.Candidate();
    s.descending = h.descending;
    s.collation = h.Machine() ? std::string() : utf8(h.collation);
    s.root = h.root;
    QuietErrors quiet;
    const bool walked = cdx.file.Walk(tag, [&](const std::uint8_t*, std::uint32_t) {
      ++s.keys;
      return true;
    });
    s.depth = cdx.file.Depth();
    if (!walked) s.damage = LastErrorMessage;
    EngineErrorCode = 0;
  }
  return out;
}

}  // namespace

std::vector<TagSummary> summarize_tags(const std::filesystem::path& file,
                                       const std::filesystem::path& index,
                                       const OpenOptions& options) {
  return Run([&] {
    if (IsNdxName(vx::os::PathText(index))) return SummarizeNdx(vx::os::PathText(file), vx::os::PathText(index), options);
    const std::string path = index.empty() ? DerivedFileName(vx::os::PathText(file), "MDX")
                                           : DefaultExtension(vx::os::PathText(index), "MDX");
    // Tag names and expressions are in the table's code page. The table first: a file that is
    // missing or no table is reported as such, not as a table without index.
    TableSession session(options, vx::os::PathText(file), Access::kRead);
    if (IsCdxName(vx::os::PathText(index)) || (index.empty() && UsesStructuralCdx(session.table()))) {
      std::vector<TagSummary> tags = SummarizeCdx(session, vx::os::PathText(index));
      session.Close();
      return tags;
    }
    if (!os::FileExists(path)) throw ops::InputError{"no index " + path};
    if (const std::string unsupported = UnsupportedIndexFile(path); !unsupported.empty()) {
      throw vexel::NotSupported(220, unsupported);
    }
    const auto utf8 = [&](const std::string& bytes) {
      return session.text().ToUtf8(bytes, "the index");
    };
    std::vector<TagSummary> out;
    MdxFile mdx;
    if (!mdx.Open(path, os::kOpenReadOnlyDenyNone)) return out;
    // The tree of each tag is walked for its depth and key count. A tag whose header or tree
    // cannot be read is kept with the reader's message.
    for (int i = 1; i <= mdx.header().TagCount(); ++i) {
      TagSummary& s = out.emplace_back();
      const std::string name = mdx.header().TagName(i);
      s.name = utf8(name);
      QuietErrors quiet;
      TagHeader header;
      if (!mdx.ReadTagHeader(i, header)) {
        s.damage = LastErrorMessage;
        continue;
      }
      s.key = utf8(TrimText(header.KeyExpression()));
      s.for_expr = header.HasFor() ? utf8(TrimText(header.ForExpression())) : std::string();
      s.type = header.KeyType();
      s.length = header.KeyLength();
      s.unique = header.Unique();
      s.descending = header.Descending();
      s.root = header.RootPage();
      const char result = s.type == 'C' ? 'C' : (s.type == 'D' ? 'D' : 'N');
      TagCursor cursor;
      cursor.Attach(&mdx, header, ChooseComparator(s.type, result, s.descending),
                    {path, name, 0, i});
      bool walked = cursor.First();
      s.depth = static_cast<int>(cursor.PathPages().size());
      while (walked && cursor.OnItem() && !cursor.AtEnd()) {
        ++s.keys;
        walked = cursor.Next();
      }
      if (!walked) s.damage = LastErrorMessage;
    }
    EngineErrorCode = 0;
    session.Close();
    return out;
  });
}

void list_expressions(const std::filesystem::path& file, const ExpressionList& list,
                      const OpenOptions& options, const ExpressionRows& rows) {
  Run([&] {
    const std::string path = vx::os::PathText(file);
    TableSession session(options, path, Access::kRead);
    ops::TableText& text = session.text();
    std::vector<Expr> columns;
    std::vector<int> memo_fields(list.expressions.size());
    for (std::size_t i = 0; i < list.expressions.size(); ++i) {
      columns.push_back(ops::CompileText(list.expressions[i], text, &memo_fields[i]));
    }
    Expr condition;
    if (!list.condition.empty()) {
      condition = ops::CompileText(list.condition, text);
      if (condition->result_type != 'L') {
        throw vexel::InputError(9, "the condition is not logical: " + list.condition);
      }
    }
    if (rows.begin) rows.begin();
    TableRecord& t = session.table();
    std::vector<Value> values;
    for (const ops::OrderedRecord& ordered :
         ops::RecordOrder({list.tag, list.index}, path, t, RecCount())) {
      const std::int32_t n = ordered.record;
      GO(n);
      if (!list.deleted && !t.record.empty() && t.record[0] == '*') continue;
      if (condition) {
        bool holds = false;
        detail::ExpressionStep(text.page(), [&] {
          holds = *static_cast<const std::int32_t*>(condition.Evaluate()) != 0;
        });
        if (!holds) continue;
      }
      // Every value first, so that an evaluation error gives no partial row.
      values.clear();
      const std::string where = "record " + std::to_string(n);
      for (std::size_t i = 0; i < columns.size(); ++i) {
        values.push_back(detail::ExpressionValue(
            *columns[i].get(), memo_fields[i], text.page(),
            [&](std::string_view stored) { return text.ToUtf8(stored, where); }));
      }
      if (rows.row) rows.row(static_cast<std::uint32_t>(n), values);
    }
    session.Close();
  });
}

}  // namespace vexel
