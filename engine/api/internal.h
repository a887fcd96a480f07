#pragma once
// The library behind include/vexel/: what an Engine and a Table hold, the one scope every call
// runs in, and the conversions between the public values and a table's stored bytes.
//
// Every public call enters through a Scope: it takes its engine's mutex, makes the engine's own
// state (work areas, settings, indexes, memo state, expressions: a vx::Engine) the calling
// thread's current one, sets the settings the library runs the engine with (records pass as
// stored, the table's lock retries and waits), selects the table's work area, and puts all of
// it back on leaving. Engine errors leave it as vexel::Error (or LockError). Two Engines share
// nothing but the process-wide code pages, so calls of two Engines run at once.

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>
#include <vexel/block.hpp>
#include <vexel/vexel.hpp>

#include "engine/foundation/engine_state.h"
#include "engine/startup/engine.h"

namespace vx {
struct TableRecord;
struct FieldEntry;
struct CompiledExpr;
struct DateTimeValue;
struct CdxIndex;
class Expr;
class AppendBatch;
}  // namespace vx

// What this header declares is the library's own: never exported from libvexel.so.
#pragma GCC visibility push(hidden)

namespace vexel {

struct __attribute__((visibility("hidden"))) Engine::Impl {
  // The process's code pages come from the locale, set once before the first engine starts
  // (engines only read them).
  static bool CodePagesFromLocale();
  bool pages_set = CodePagesFromLocale();
  // One call at a time: a Scope holds it (and nests within the same thread).
  std::recursive_mutex mutex;
  // Everything the engine's procedures act on; made current by a Scope. Dies with the last
  // Table, cursor or lock that keeps this Impl.
  vx::Engine engine;
};

struct __attribute__((visibility("hidden"))) Table::Impl {
  std::shared_ptr<Engine::Impl> engine;
  int area = 0;  // the work area (1..33) the table is open in
  std::filesystem::path path;
  OpenOptions options;
  int codepage = 0;
  int version = 0;
  std::shared_ptr<const std::vector<Field>> fields;
  // Which cursor last moved the area (0: none); a cursor that finds another value positions
  // the area again before it moves on.
  std::uint64_t positioned_by = 0;
  std::uint64_t next_cursor_id = 1;
  // Locks held through RecordLock / AppendLock objects.
  std::vector<std::uint32_t> record_locks;
  bool append_locked = false;
  // AppendLock::begin_batch() .. end_batch(): the appends' shared update bracket.
  std::shared_ptr<vx::AppendBatch> append_batch;
  // The production index is one this library does not read (a dBASE level 7 index): what to
  // say when a tag or an edit needs it; empty otherwise.
  std::string unsupported_index;
  // A read-only open whose index could not be read: its error, for the calls that want a tag.
  int index_fault_code = 0;
  std::string index_fault;
  // What a read-only open did without: a memo file or production index that cannot be read.
  mutable std::vector<std::string> warnings;
  // The structural .CDX of a FoxPro table whose header names one, read for its tags (open for
  // reading as long as the table is); cdx_fault says why it could not be read.
  std::shared_ptr<vx::CdxIndex> cdx;
  std::string cdx_fault;

  vx::TableRecord& table() const;
};

namespace detail {

// Codes that mean a lock another program holds: a file it keeps to itself, a memo file lock, the
// index's semaphore region.
bool IsLockCode(int code);

// The scope of one public call (see above). The table form also selects the table's area.
class Scope {
 public:
  explicit Scope(const std::shared_ptr<Engine::Impl>& engine);
  explicit Scope(const Table::Impl& table);
  ~Scope();
  Scope(const Scope&) = delete;
  Scope& operator=(const Scope&) = delete;

 private:
  void Enter();
  std::unique_lock<std::recursive_mutex> lock_;
  vx::EngineScope engine_scope_;
  struct Saved;
  std::unique_ptr<Saved> saved_;
};

// The engine's advice as the library's remedies.
std::vector<Advice> AdviceOf(const std::vector<vx::EngineAdvice>& engine);

// Runs `body` and turns the engine's errors into vexel::Error / LockError.
[[noreturn]] void RethrowEngineError();
template <class F>
auto Guarded(F&& body) -> decltype(body()) {
  try {
    return body();
  } catch (const Error&) {
    throw;
  } catch (...) {
    RethrowEngineError();
  }
}

// Ends the table's open append batch (AppendLock::begin_batch), if any: its records and keys are
// written and its update bracket let go; raises when a write failed (the batch's rows since the
// bracket was last let go are then taken back). Runs in the table's scope.
void EndAppendBatch(Table::Impl& impl);

// Clears the selected area's record image for a new record: every field blank, logical and
// number fields without a value (not false or 0).
void ClearNewRecord(vx::TableRecord& table);

// A release step of a destructor or a move assignment: its failure is dropped.
template <class F>
void Quietly(F&& step) noexcept {
  try {
    step();
  } catch (...) {
  }
}
// Frees a compiled expression under the engine's scope (quietly).
void FreeExpression(const std::shared_ptr<Engine::Impl>& engine, vx::Expr& expr) noexcept;

// Refuses (Error 220) a table name the engine's USE would misread (one holding EXCLUSIVE or
// ALIAS as a word) and an empty one.
void RefuseUnusableName(const std::string& name);

[[noreturn]] void Fail(int code, const std::string& message);
[[noreturn]] void FailLock(const std::string& message);
// A value, name or request that does not fit the table: nothing was changed.
[[noreturn]] void FailInput(int code, const std::string& message);

// Text between UTF-8 and a table's page. Decoding never fails (a byte the page lacks becomes
// "?"); encoding refuses a character the page lacks, naming `where`.
std::string ToUtf8(int page, std::string_view stored);
std::string FromUtf8(int page, std::string_view utf8, const std::string& where);

// Dates: stored YYYYMMDD (or YYYY-MM-DD for ParseDateText) to a valid Date, or none.
std::optional<Date> ParseStoredDate(std::string_view stored);
std::optional<Date> ParseDateText(std::string_view text);
bool DateIsValid(const Date& d);
// A stored date-time as a DateTime; none for a blank one or a day beyond the calendar.
std::optional<DateTime> SplitDateTime(const vx::DateTimeValue& value);
std::string UpperAscii(std::string_view text);
// The shortest text that reads back as the same double.
std::string NumberText(double v);

// Opens impl.path with impl.options into a free work area and fills in what the open tells.
void OpenArea(Table::Impl& impl);

// Whether a field's values are bytes rather than text: varbinary, pictures, objects, binary
// memos (the memo letters B, G, P, W, and fields flagged binary).
bool BytesField(const vx::FieldEntry& f);
// The public field list of an open table.
std::vector<Field> FieldsOf(const vx::TableRecord& table, int page);
// The record in the table's buffer as a Record (memo text read from the memo file).
Record RecordFromBuffer(vx::TableRecord& table, const Table::Impl& impl, std::uint32_t recno);
// A record's stored bytes (record_length of them, the deletion flag first) as a Record.
Record RecordFromBytes(vx::TableRecord& table, const Table::Impl& impl, const char* record,
                       std::uint32_t recno);
// Field types whose bytes name a block of the memo file.
bool IsMemoType(char type);
// A field of any other type from its stored bytes: its Value and its text (as Record gives
// them). Needs no engine state.
void DecodeStored(char type, int decimals, int page, std::string_view stored, Value& value,
                  std::string& text);
// A memo field of `record`: the memo's text read from the memo file (under a Scope).
void DecodeMemo(vx::TableRecord& table, const Table::Impl& impl, const vx::FieldEntry& field,
                const char* record, std::uint32_t recno, Value& value, std::string& text);
// Any field of `record` (under a Scope): .NULL. (`null` set, no value), the binary forms, memos
// and the stored ones, as Record gives them.
void DecodeField(vx::TableRecord& table, const Table::Impl& impl, const vx::FieldEntry& field,
                 const char* record, std::uint32_t recno, Value& value, std::string& text,
                 bool& null);
// Whether DecodeStored alone decodes the field: a classic character, number, date or logical
// field without a null bit.
bool DecodesPlain(const vx::FieldEntry& field);
// Reads record n into the table's buffer (natural order, deleted ones too).
void GoRecord(const Table::Impl& impl, std::uint32_t recno);

// The field number (1-based) of a name in any case, or InputError 220 naming the table.
int FieldNumber(const Table::Impl& impl, std::string_view name);
// Checks a value against field n of the selected table and puts it into the record image;
// memo text is stored in the memo file only with `store_memo`. InputError 220 names the field.
// With `superseded`, a memo goes to new blocks and the blocks it replaces are listed there, to be
// released once the record naming the new ones is written (a failed or killed write then leaves
// the old memo whole).
void PutValue(const Table::Impl& impl, int n, const Value& value, bool store_memo,
              std::vector<std::int32_t>* superseded = nullptr);
// All assignments of one edit: checked before anything is written (twice-named fields too).
std::vector<int> CheckAssignments(const Table::Impl& impl, const Assignments& values);

// Refuses an edit of a read-only table, or of one whose production index cannot be kept current.
void RefuseReadOnly(const Table::Impl& impl);

// A key Value as the text Find wants for the tag's key type ('C' stored bytes, 'N' digits,
// 'D' YYYYMMDD).
std::string KeyText(const Table::Impl& impl, char key_type, const Value& key);
// The number of the tag named `tag` (any case), or Error 220.
int TagNumber(const Table::Impl& impl, std::string_view tag);
// Selects the tag named `tag` (any case) as the controlling order; answers its key type.
char SelectTag(const Table::Impl& impl, std::string_view tag);

// The tags of a table's structural .CDX (cdx_tags.cpp). Whether the table takes its tags from
// one; the tag number of a name (InputError 220 when none; the reason when it cannot be read).
bool UsesCdx(const Table::Impl& impl);
std::size_t CdxTagNumber(const Table::Impl& impl, std::string_view tag);
std::vector<TagInfo> CdxTags(const Table::Impl& impl);
// The record a seek in a .CDX tag finds (the area stands on it), or none.
std::optional<std::uint32_t> CdxSeek(const Table::Impl& impl, std::string_view tag,
                                     const Value& key, SeekMode mode);
// The records of a .CDX tag from the first key at or after `from` to the last not after `to`
// (a character key compared over the length of `to`), in the tag's order.
std::vector<std::uint32_t> CdxRange(const Table::Impl& impl, std::string_view tag,
                                    const std::optional<Value>& from,
                                    const std::optional<Value>& to);
// Opens the .CDX of the table just opened: the one OpenOptions::index names, else the
// structural one when its header names one.
void OpenCdx(Table::Impl& impl, vx::TableRecord& table);

// The .NDX files of OpenOptions::ndx_files as tags (ndx_tags.cpp), each named by its file name.
// The path of the one named `tag` (any case), if any; their tags; the record a seek in one
// finds (the area then stands on it), or none; the records of one from `from` to `to` in its
// order, as CdxRange takes them.
std::optional<std::string> NdxNamed(const Table::Impl& impl, std::string_view tag);
std::vector<TagInfo> NdxTags(const Table::Impl& impl);
std::optional<std::uint32_t> NdxSeek(const Table::Impl& impl, const std::string& path,
                                     const Value& key, SeekMode mode);
std::vector<std::uint32_t> NdxRange(const Table::Impl& impl, const std::string& path,
                                    const std::optional<Value>& from,
                                    const std::optional<Value>& to);

// Runs one step of an expression's compilation or evaluation: the engine's errors become
// ExpressionError with the engine's text (its line breaks kept), decoded from `page`.
void ExpressionStep(int page, const std::function<void()>& step);
// Compiles an expression's text (in `page`'s bytes) for the selected area; ExpressionError when
// it does not compile.
vx::Expr CompileExpression(const std::string& stored, int page);
// The number of the memo field an expression's text (stored bytes) names alone; 0 for any
// other expression (its value is read from the memo file, with the line ends an expression's
// value of a memo leaves out).
int MemoFieldNamed(const std::string& stored);
// The value of a compiled expression for the current record of the selected area, as
// Table::eval gives it: text decoded by `to_utf8`, the memo field `memo_field` (0: none) read
// from the memo file. ExpressionError when the evaluation fails.
Value ExpressionValue(vx::CompiledExpr& e, int memo_field, int page,
                      const std::function<std::string(std::string_view)>& to_utf8);

}  // namespace detail

// Where a RecordBlock finds each field in a record.
struct RecordBlock::Layout {
  struct Column {
    std::size_t offset = 0;
    std::size_t length = 0;
    char type = 'C';  // the stored type (memo types as the table holds them)
    int decimals = 0;
    bool plain = true;  // DecodeStored decodes it; others need the table (DecodeField)
    char kind = 'C';    // what its value is: C, N, D, T, L or M (vx::ValueKind)
  };
  std::size_t record_length = 0;
  int codepage = 0;
  std::vector<Column> columns;
  std::shared_ptr<const std::vector<Field>> fields;
};

// Fills RecordBlocks; the library's only way in.
struct __attribute__((visibility("hidden"))) BlockAccess {
  static std::shared_ptr<const RecordBlock::Layout> LayoutOf(const vx::TableRecord& table,
                                                             const Table::Impl& impl);
  // Empties the block and ties it to a table (and its layout).
  static void Start(RecordBlock& block, const std::shared_ptr<Table::Impl>& table,
                    const std::shared_ptr<const RecordBlock::Layout>& layout);
  // Room for `count` more records; answers where they go (the layout's record length each).
  static char* Grow(RecordBlock& block, std::size_t count);
  // Gives back room Grow made that was not filled (`count` records).
  static void Shrink(RecordBlock& block, std::size_t count);
  static void AddRecno(RecordBlock& block, std::uint32_t recno) { block.recnos_.push_back(recno); }
  static void AddRecnos(RecordBlock& block, const std::uint32_t* recnos, std::size_t count) {
    block.recnos_.insert(block.recnos_.end(), recnos, recnos + count);
  }
  // Keeps, of the records from `from` on, those `keep(bytes, recno)` holds for, in their order.
  template <typename Keep>
  static void KeepIf(RecordBlock& block, std::size_t from, Keep&& keep) {
    const std::size_t length = block.layout_->record_length;
    std::size_t kept = from;
    for (std::size_t row = from; row < block.recnos_.size(); ++row) {
      char* bytes = block.bytes_.data() + row * length;
      if (!keep(static_cast<const char*>(bytes), block.recnos_[row])) continue;
      if (kept != row) {
        std::copy(bytes, bytes + length, block.bytes_.data() + kept * length);
        block.recnos_[kept] = block.recnos_[row];
      }
      ++kept;
    }
    block.bytes_.resize(kept * length);
    block.recnos_.resize(kept);
  }
  // Whether field `field` decodes from its stored bytes alone (see DecodesPlain).
  static bool Plain(const RecordBlock& block, std::size_t field);
  // Its value kind (vx::ValueKind).
  static char Kind(const RecordBlock& block, std::size_t field);
  // Decodes field `field` of row `row`: from its bytes when it is plain, else with the table
  // (binary forms, .NULL., memos).
  static void Decode(const RecordBlock& block, std::size_t row, std::size_t field, Value& value,
                     std::string& text);
};

// Builds Records; the library's only way in.
struct RecordAccess {
  static Record Make(std::uint32_t recno, bool deleted,
                     std::shared_ptr<const std::vector<Field>> fields, std::vector<Value> values,
                     std::vector<std::string> texts, std::vector<bool> nulls = {}) {
    Record r;
    r.recno_ = recno;
    r.deleted_ = deleted;
    r.fields_ = std::move(fields);
    r.values_ = std::move(values);
    r.texts_ = std::move(texts);
    r.nulls_ = std::move(nulls);
    return r;
  }
};

}  // namespace vexel

#pragma GCC visibility pop
