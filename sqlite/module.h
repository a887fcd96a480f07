#pragma once
// The SQLite module's pieces that its files share: the virtual table and cursor, the plan bits
// (see vexel_sqlite.cpp), and the functions one file gives another.

#include <vexel/sqlite.hpp>

#ifdef VEXEL_SQLITE_EXTENSION
#include <sqlite3ext.h>
SQLITE_EXTENSION_INIT3
#else
#include <sqlite3.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>


namespace vexel::sql::detail {


constexpr int kRecnoColumn = 0;
constexpr int kDeletedColumn = 1;
constexpr int kFirstField = 2;

enum PlanKind : int {
  kScan = 0,
  kRecno = 1,
  kEqual = 2,
  kIn = 3,
  kRange = 4,
  kLikePrefix = 5,
  kGlobPrefix = 6,
  kTagOrder = 7,
  kRecnoRange = 8,
};
constexpr int kKindMask = 0x0F;
constexpr int kHasLower = 0x10;
constexpr int kHasUpper = 0x20;
constexpr int kWithDeleted = 0x40;
constexpr int kOrdered = 0x80;
constexpr int kExact = 0x100;
constexpr int kLowerStrict = 0x200;
constexpr int kUpperStrict = 0x400;
constexpr int kTagShift = 11;

// Records a walk reads at a time: a scan's blocks, and the first block of a tag's walk.
constexpr std::size_t kScanBlock = 4096;
constexpr std::size_t kFirstTagBlock = 2;

// A tag that can serve SQL on one field.
struct ServingTag {
  std::string name;
  std::size_t field = 0;
  bool upper = false;       // the key is UPPER(field)
  bool descending = false;  // the walk runs from the largest key down
  char key_type = 'C';
  bool undeleted_only = false;  // FOR .NOT. DELETED(): serves only while deleted rows are hidden
  double depth = 1;             // levels from the root to a leaf, estimated from size and key
};

struct VexelTable : sqlite3_vtab {
  sqlite3* db = nullptr;
  std::optional<Table> table;
  std::string file;  // the table's file as the process-wide count of opens names it
  std::vector<Field> fields;
  std::vector<ServingTag> tags;
  bool read_only = false;
  // The rows of one INSERT statement share the append lock and the index's update bracket
  // (see MayBatch); the statement's end (xSync, xRollback) lets both go.
  std::optional<AppendLock> appending;
};

void EndAppends(VexelTable& vt);

// A value of the key a tag walk starts or stops at, and for = whether the rows can be ended by
// comparing texts (see EqualityStep).
struct WalkKey {
  Value value;
  bool exact_text = false;  // value is the whole SQL text, comparable with Record::text
};

struct VexelCursor : sqlite3_vtab_cursor {
  std::optional<Cursor> walk;
  // The walk's records, read many at a time; `block_row` is the row the cursor stands on, or
  // the next to look at. Columns are decoded from it only when SQLite asks for them.
  RecordBlock block;
  std::size_t block_row = 0;
  std::size_t block_records = 0;  // how many the next read of the walk takes
  bool on_block = false;          // the current row is block_row (else `row`)
  std::optional<Record> direct;   // _recno = ?
  bool direct_pending = false;
  const Record* row = nullptr;
  bool eof = true;

  // Number fields of the block, decoded a whole column at a time when SQLite first asks for one
  // of its values (an aggregate over a scan asks for every row's).
  struct NumberColumn {
    bool ready = false;
    bool whole = true;
    std::vector<std::int64_t> wholes;
    std::vector<double> reals;
    std::vector<std::uint8_t> blank;
  };
  mutable std::vector<NumberColumn> numbers;

  bool OnRow() const { return on_block || row != nullptr; }
  std::uint32_t Recno() const { return on_block ? block.recno(block_row) : row->recno(); }
  bool Deleted() const { return on_block ? block.deleted(block_row) : row->deleted(); }
  Value FieldValue(std::size_t i) const { return on_block ? block.value(block_row, i) : (*row)[i]; }

  int kind = kScan;
  bool with_deleted = false;
  const ServingTag* tag = nullptr;
  // = and IN: the keys still to walk, and the one being walked.
  std::vector<WalkKey> keys;
  std::size_t next_key = 0;
  std::optional<WalkKey> current_key;
  std::unordered_set<std::uint32_t> seen;  // IN: a record reached through two keys comes once
  // A _recno range: the next record to read and the last one.
  std::uint32_t next_recno = 0;
  std::uint32_t last_recno = 0;

  // A range of numbers compared here: each bound's operator and value (see Bound).
  struct Bound {
    int op = 0;         // SQLITE_INDEX_CONSTRAINT_GT, _GE, _LT or _LE
    int type = 0;       // SQLITE_INTEGER, SQLITE_FLOAT, or SQLITE_TEXT for text and blobs
    std::int64_t whole = 0;
    double real = 0;
  };
  std::vector<Bound> bounds;
  // Whether every row of the block meets the bounds, from its first and last rows (see
  // BlockMeetsBounds): then no row's number is read for them.
  bool block_meets = false;

  // Blank numbers and dates in an ordered walk: the walks to make one after the other (the
  // table read through for the blank rows, the tag for the others), and whether the current
  // one gives only the blank rows or only the others.
  struct Phase {
    bool blanks = false;
  };
  std::vector<Phase> phases;
  std::size_t next_phase = 0;
  bool blanks_only = false;
  bool no_blanks = false;

  // A character tag's rows in SQL's order: the rows held back (their text and record number,
  // a heap on the text, smallest on top) and those released, in order, still to give.
  bool sql_text_order = false;
  bool closed_range = false;  // a range with both bounds
  std::vector<std::pair<std::string, std::uint32_t>> held;
  std::vector<std::uint32_t> released;
  std::size_t next_released = 0;
  std::optional<Record> held_row;
};

inline VexelTable* AsTable(sqlite3_vtab* v) { return static_cast<VexelTable*>(v); }
inline VexelCursor* AsCursor(sqlite3_vtab_cursor* c) { return static_cast<VexelCursor*>(c); }

inline void SetMessage(sqlite3_vtab* v, const std::string& message) {
  sqlite3_free(v->zErrMsg);
  v->zErrMsg = sqlite3_mprintf("%s", message.c_str());
}

// An error with its advice in this module's words: the arguments of CREATE VIRTUAL TABLE ...
// USING vexel(...) where it has them.
inline std::string Said(const Error& e) {
  return advised(e.fault(), e.advice(), [](Remedy remedy) -> std::string {
    if (remedy == Remedy::other_code_page) return "the argument codepage=N";
    if (remedy == Remedy::ignore_index) return "the argument ignore_index=1";
    return remedy_words(remedy);
  });
}

// A value that does not fit a field: SQLITE_CONSTRAINT.
struct ConstraintError {
  std::string message;
};

// Runs `body`, turning every exception into an SQLite result code and the table's message.
template <typename Body>
int Guarded(sqlite3_vtab* v, Body&& body) {
  try {
    return body();
  } catch (const ConstraintError& e) {
    SetMessage(v, e.message);
    return SQLITE_CONSTRAINT;
  } catch (const LockError& e) {
    SetMessage(v, Said(e));
    return SQLITE_BUSY;
  } catch (const Error& e) {
    SetMessage(v, Said(e));
    return SQLITE_ERROR;
  } catch (const std::bad_alloc&) {
    return SQLITE_NOMEM;
  } catch (const std::exception& e) {
    SetMessage(v, e.what());
    return SQLITE_ERROR;
  }
}

// The key a tag is walked from for an SQL value compared with its field. `exact`: the caller
// wants the whole value (=, IN), so text longer than the field matches nothing. Answers nothing
// when no row can compare true (NULL, or = with text the field cannot hold), and a key without
// value when the tag cannot be positioned for it (the whole tag is walked).
struct KeyChoice {
  bool none = false;           // no row can match
  std::optional<WalkKey> key;  // empty: walk the whole tag
};

// Values between SQL and fields (sql_values.cpp)
std::string Upper(std::string_view text);
std::string Trim(std::string_view text);
std::size_t CharCount(std::string_view text);
std::string FirstChars(std::string_view text, std::size_t count);
std::string ValueText(sqlite3_value* v);
// An SQL value quoted for a message (cut to 40 characters).
std::string Shown(sqlite3_value* v);
void ResultValue(sqlite3_context* ctx, const Field& field, const Value& value);
// An SQL value for a field; ConstraintError naming the field when it cannot be one.
Value FieldValue(const Field& field, sqlite3_value* v);
KeyChoice ChooseKey(const ServingTag& tag, const Field& field, sqlite3_value* v, bool exact);
std::string PatternPrefix(const ServingTag& tag, const std::string& pattern, bool glob);

// Connecting (vexel_sqlite.cpp): whether `file` is open through more than one table of this
// process.
bool OpenElsewhere(const std::string& file);

// Planning (planning.cpp)
int BestIndex(sqlite3_vtab* v, sqlite3_index_info* info);

// Cursors (cursors.cpp)
int Open(sqlite3_vtab*, sqlite3_vtab_cursor** out);
int Close(sqlite3_vtab_cursor* c);
int Filter(sqlite3_vtab_cursor* cursor, int idx_num, const char*, int argc, sqlite3_value** argv);
int Next(sqlite3_vtab_cursor* cursor);
int Eof(sqlite3_vtab_cursor* cursor);
int Column(sqlite3_vtab_cursor* cursor, sqlite3_context* ctx, int column);
int Rowid(sqlite3_vtab_cursor* cursor, sqlite3_int64* rowid);

// Writing (writing.cpp)
bool MayBatch(const VexelTable& vt);
int Update(sqlite3_vtab* v, int argc, sqlite3_value** argv, sqlite3_int64* rowid);
int Rename(sqlite3_vtab*, const char*);
int Begin(sqlite3_vtab*);
int Sync(sqlite3_vtab* v);
int Finish(sqlite3_vtab* v);

}  // namespace vexel::sql::detail
