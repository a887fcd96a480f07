// The `vexel` SQLite virtual-table module over the public vexel API.
//
// Columns: _recno and _deleted first (hidden, so SELECT * and INSERT without a column list skip
// them, and their bits in colUsed are always bits 0 and 1), then one column per field.
// Row ids are record numbers.
//
// Plans (xBestIndex writes them into idxNum and a readable idxStr that EXPLAIN QUERY PLAN shows):
//
//   idxNum bits 0-3  the kind: natural order, _recno =, a tag walked for =, IN, a range,
//                    a LIKE or GLOB prefix, the whole tag for ORDER BY, or a _recno range
//          bit 4/5   a lower / upper bound is among the arguments (range), in that order
//          bit 6     deleted records are returned (_deleted is read or constrained)
//          bit 7     ORDER BY is left to the walk: its rows come in SQL's order
//          bit 8     a range of numbers compared here (omit): the bounds are exact
//          bit 9/10  the lower / upper bound of that range is strict (> or <)
//          bits 11-  the tag's position in VexelTable::tags
//
// Every tag plan walks a superset of the rows in key order. A tag's key is the stored text in
// the table's code page, blank-padded and cut to the field's width, so comparisons of text are
// left to SQLite (omit stays 0); a range of numbers is compared here, on the values SQLite
// would be given, as SQLite compares them, and SQLite does not ask for the column again.
//
// Rows in the tag's order are SQL's order once two differences are mended: a number or date
// tag holds blank values (NULL in SQL) among the zeros or after the last date, so an ordered
// walk gives them first (last, descending) in a walk of their own; and a character tag orders
// bytes of the code page with blanks padding the key, so where a key holds a byte outside
// printable ASCII the rows are held back until no later key can sort before them in SQL.

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

namespace vexel::sql {

namespace {

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

VexelTable* AsTable(sqlite3_vtab* v) { return static_cast<VexelTable*>(v); }
VexelCursor* AsCursor(sqlite3_vtab_cursor* c) { return static_cast<VexelCursor*>(c); }

void SetMessage(sqlite3_vtab* v, const std::string& message) {
  sqlite3_free(v->zErrMsg);
  v->zErrMsg = sqlite3_mprintf("%s", message.c_str());
}

// An error with its advice in this module's words: the arguments of CREATE VIRTUAL TABLE ...
// USING vexel(...) where it has them.
std::string Said(const Error& e) {
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

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

std::string Trim(std::string_view text) {
  const std::size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string_view::npos) return {};
  const std::size_t end = text.find_last_not_of(" \t");
  return std::string(text.substr(begin, end - begin + 1));
}

// The characters of UTF-8 text (continuation bytes not counted).
std::size_t CharCount(std::string_view text) {
  return static_cast<std::size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

// The first `count` characters of UTF-8 text.
std::string FirstChars(std::string_view text, std::size_t count) {
  std::size_t i = 0;
  for (std::size_t seen = 0; i < text.size(); ++i) {
    if ((text[i] & 0xC0) != 0x80 && seen++ == count) break;
  }
  return std::string(text.substr(0, i));
}

std::string ValueText(sqlite3_value* v) {
  const unsigned char* text = sqlite3_value_text(v);
  return text == nullptr ? std::string()
                         : std::string(reinterpret_cast<const char*>(text),
                                       static_cast<std::size_t>(sqlite3_value_bytes(v)));
}

std::optional<Date> ParseDate(std::string_view text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
  int parts[3] = {0, 0, 0};
  const std::size_t starts[3] = {0, 5, 8};
  const std::size_t lengths[3] = {4, 2, 2};
  for (int p = 0; p < 3; ++p) {
    for (std::size_t i = 0; i < lengths[p]; ++i) {
      const char c = text[starts[p] + i];
      if (c < '0' || c > '9') return std::nullopt;
      parts[p] = parts[p] * 10 + (c - '0');
    }
  }
  static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const Date d{parts[0], parts[1], parts[2]};
  if (d.month < 1 || d.month > 12 || d.day < 1 || d.day > kDays[d.month - 1]) return std::nullopt;
  const bool leap = (d.year % 4 == 0 && d.year % 100 != 0) || d.year % 400 == 0;
  if (d.month == 2 && d.day == 29 && !leap) return std::nullopt;
  return d;
}

std::string DateText(const Date& d) {
  char out[16];
  std::snprintf(out, sizeof out, "%04d-%02d-%02d", d.year, d.month, d.day);
  return out;
}

// ---------------------------------------------------------------------------------------------
// Values between SQL and fields

// "YYYY-MM-DD HH:MM:SS" (".mmm" added when there are milliseconds), as SQLite's date functions
// read it.
std::string DateTimeText(const DateTime& t) {
  char out[48];
  std::snprintf(out, sizeof out, "%s %02d:%02d:%02d", DateText(t.date).c_str(), t.hour, t.minute,
                t.second);
  std::string text = out;
  if (t.millisecond != 0) {
    std::snprintf(out, sizeof out, ".%03d", t.millisecond);
    text += out;
  }
  return text;
}

// Fields whose values are bytes: varbinary, pictures, objects, binary memos (not Visual
// FoxPro's B, a double).
bool HoldsBytes(const Field& field) {
  const char type = field.type;
  return field.binary || type == 'Q' || type == 'G' || type == 'P' || type == 'W';
}

void ResultValue(sqlite3_context* ctx, const Field& field, const Value& value) {
  if (const auto* s = std::get_if<std::string>(&value)) {
    if (HoldsBytes(field)) {
      sqlite3_result_blob(ctx, s->data(), static_cast<int>(s->size()), SQLITE_TRANSIENT);
    } else {
      sqlite3_result_text(ctx, s->data(), static_cast<int>(s->size()), SQLITE_TRANSIENT);
    }
  } else if (const auto* t = std::get_if<DateTime>(&value)) {
    const std::string text = DateTimeText(*t);
    sqlite3_result_text(ctx, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  } else if (const auto* i = std::get_if<std::int64_t>(&value)) {
    sqlite3_result_int64(ctx, *i);
  } else if (const auto* d = std::get_if<double>(&value)) {
    sqlite3_result_double(ctx, *d);
  } else if (const auto* date = std::get_if<Date>(&value)) {
    const std::string text = DateText(*date);
    sqlite3_result_text(ctx, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  } else if (const auto* b = std::get_if<bool>(&value)) {
    sqlite3_result_int(ctx, *b ? 1 : 0);
  } else if (field.type == 'C' && !field.nullable) {
    sqlite3_result_text(ctx, "", 0, SQLITE_STATIC);  // a blank character field is ''
  } else {  // blank, or .NULL. (a character field that may be null reads '' when blank)
    sqlite3_result_null(ctx);
  }
}

std::string Shown(sqlite3_value* v) {
  std::string text = ValueText(v);
  if (text.size() > 40) text = FirstChars(text, 37) + "...";
  return "'" + text + "'";
}

// An SQL value for a field; ConstraintError naming the field when it cannot be one. Widths,
// decimals and code pages are checked by the engine when the value is assigned.
Value FieldValue(const Field& field, sqlite3_value* v) {
  const int type = sqlite3_value_type(v);
  if (type == SQLITE_NULL) return std::monostate{};
  const auto refuse = [&](const char* what) {
    throw ConstraintError{"field " + field.name + ": " + Shown(v) + " is not " + what};
  };
  // Visual FoxPro's B is a double: taken as the other binary numbers are, below.
  switch (field.type == 'B' && !field.binary ? 'O' : field.type) {
    case 'C':
    case 'M':
    case 'B':
    case 'G':
    case 'P':
      if (type == SQLITE_BLOB) {
        const auto* bytes = static_cast<const char*>(sqlite3_value_blob(v));
        return std::string(bytes == nullptr ? "" : bytes,
                           static_cast<std::size_t>(sqlite3_value_bytes(v)));
      }
      return ValueText(v);
    case 'N':
    case 'F': {
      if (type == SQLITE_TEXT && Trim(ValueText(v)).empty()) return std::monostate{};
      const int numeric = sqlite3_value_numeric_type(v);
      if (numeric == SQLITE_INTEGER) return static_cast<std::int64_t>(sqlite3_value_int64(v));
      if (numeric == SQLITE_FLOAT) {
        const double d = sqlite3_value_double(v);
        if (!std::isfinite(d)) refuse("a finite number");
        return d;
      }
      refuse("a number");
      break;
    }
    case 'D': {
      if (type != SQLITE_TEXT) refuse("a date YYYY-MM-DD");
      const std::string text = Trim(ValueText(v));
      if (text.empty()) return std::monostate{};
      if (const auto d = ParseDate(text)) return *d;
      refuse("a date YYYY-MM-DD");
      break;
    }
    case 'L': {
      if (type == SQLITE_INTEGER || type == SQLITE_FLOAT) {
        const double d = sqlite3_value_double(v);
        if (d == 0) return false;
        if (d == 1) return true;
        refuse("a logical 0 or 1");
      }
      const std::string text = Upper(Trim(ValueText(v)));
      if (text.empty() || text == "?") return std::monostate{};
      if (text == "T" || text == "Y" || text == "TRUE" || text == "1" || text == ".T.") return true;
      if (text == "F" || text == "N" || text == "FALSE" || text == "0" || text == ".F.")
        return false;
      refuse("a logical (0, 1, T, F, Y or N)");
      break;
    }
    default:
      break;
  }
  // Other field types: as SQLite holds the value; the engine decides whether it fits.
  if (type == SQLITE_INTEGER) return static_cast<std::int64_t>(sqlite3_value_int64(v));
  if (type == SQLITE_FLOAT) return sqlite3_value_double(v);
  return ValueText(v);
}

// ---------------------------------------------------------------------------------------------
// Keys for a tag walk

// The key a tag is walked from for an SQL value compared with its field. `exact`: the caller
// wants the whole value (=, IN), so text longer than the field matches nothing. Answers nothing
// when no row can compare true (NULL, or = with text the field cannot hold), and a key without
// value when the tag cannot be positioned for it (the whole tag is walked).
struct KeyChoice {
  bool none = false;           // no row can match
  std::optional<WalkKey> key;  // empty: walk the whole tag
};

KeyChoice ChooseKey(const ServingTag& tag, const Field& field, sqlite3_value* v, bool exact) {
  KeyChoice choice;
  const int type = sqlite3_value_type(v);
  if (type == SQLITE_NULL) {
    choice.none = true;
    return choice;
  }
  switch (tag.key_type) {
    case 'C': {
      if (type == SQLITE_BLOB) return choice;
      std::string text = ValueText(v);
      bool whole = true;
      if (tag.upper) {
        // The engine's UPPER may change letters outside ASCII that SQL leaves alone: the key
        // stops before the first of them.
        const auto cut = std::find_if(text.begin(), text.end(), [](char c) { return c & 0x80; });
        whole = cut == text.end();
        text = Upper(std::string_view(text.data(), static_cast<std::size_t>(cut - text.begin())));
      } else if (!exact) {
        // A range's bound: SQL orders the bytes of UTF-8, the tag those of the code page with
        // blanks padding the key. Up to the first byte outside printable ASCII the two agree,
        // so the walk is bounded by that part alone (it then holds every row the range takes).
        const auto cut = std::find_if(text.begin(), text.end(), [](char c) {
          return static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x80;
        });
        whole = cut == text.end();
        text.erase(cut, text.end());
      }
      if (CharCount(text) > static_cast<std::size_t>(field.length)) {
        if (exact && whole && !tag.upper) {
          choice.none = true;
          return choice;
        }
        text = FirstChars(text, static_cast<std::size_t>(field.length));
        whole = false;
      }
      choice.key = WalkKey{text, whole};
      return choice;
    }
    case 'N': {
      const int numeric = sqlite3_value_numeric_type(v);
      if (numeric == SQLITE_INTEGER) {
        choice.key = WalkKey{static_cast<std::int64_t>(sqlite3_value_int64(v)), false};
      } else if (numeric == SQLITE_FLOAT) {
        const double d = sqlite3_value_double(v);
        if (std::isfinite(d)) choice.key = WalkKey{d, false};
      }
      return choice;
    }
    case 'D': {
      if (type != SQLITE_TEXT) return choice;
      if (const auto d = ParseDate(ValueText(v))) choice.key = WalkKey{*d, false};
      return choice;
    }
    default:
      return choice;
  }
}

// The literal start of a LIKE or GLOB pattern, as far as the tag can seek it: a plain tag
// takes a LIKE prefix only up to the first letter (LIKE ignores the case of ASCII letters), an
// UPPER tag takes the prefix in capitals up to the first character outside ASCII.
std::string PatternPrefix(const ServingTag& tag, const std::string& pattern, bool glob) {
  std::string prefix;
  for (char c : pattern) {
    if (glob ? (c == '*' || c == '?' || c == '[') : (c == '%' || c == '_')) break;
    prefix += c;
  }
  if (tag.upper) {
    const auto cut = std::find_if(prefix.begin(), prefix.end(), [](char c) { return c & 0x80; });
    return Upper(std::string_view(prefix.data(), static_cast<std::size_t>(cut - prefix.begin())));
  }
  if (!glob) {
    const auto letter = std::find_if(prefix.begin(), prefix.end(), [](char c) {
      return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    });
    prefix.erase(letter, prefix.end());
  }
  return prefix;
}

// ---------------------------------------------------------------------------------------------
// Connecting

std::string Unquoted(std::string_view text) {
  std::string t = Trim(text);
  if (t.size() >= 2 && (t.front() == '\'' || t.front() == '"') && t.back() == t.front()) {
    const char q = t.front();
    std::string out;
    for (std::size_t i = 1; i + 1 < t.size(); ++i) {
      out += t[i];
      if (t[i] == q && i + 2 < t.size() && t[i + 1] == q) ++i;
    }
    return out;
  }
  return t;
}

bool IsUndeletedCondition(std::string_view for_expr) {
  std::string compact;
  for (char c : for_expr) {
    if (c != ' ') compact += c;
  }
  compact = Upper(compact);
  return compact == ".NOT.DELETED()" || compact == "!DELETED()" || compact == ".NOT.(DELETED())";
}

// Levels of a B-tree of `records` keys of `key_length` bytes in 512-byte blocks (a lower bound:
// the real tag may be deeper after splits, never much shallower).
double EstimatedDepth(std::uint32_t records, int key_length) {
  const double per_node = std::max(4.0, 500.0 / (key_length + 4));
  return 1 + std::ceil(std::log(static_cast<double>(records) + 1) / std::log(per_node));
}

int KeyLength(const ServingTag& tag, const Field& field) {
  if (tag.key_type == 'N') return 12;
  if (tag.key_type == 'D') return 8;
  return field.length;
}

std::vector<ServingTag> ServingTags(const Table& table, const std::vector<Field>& fields) {
  std::vector<ServingTag> out;
  for (const TagInfo& info : table.tags()) {
    // A unique tag holds one record per key (the first): a walk would miss the others.
    if (info.unique) continue;
    // A tag whose keys cannot be made here cannot serve a key range.
    if (!info.searchable) continue;
    const bool undeleted_only = IsUndeletedCondition(info.for_expr);
    if (!Trim(info.for_expr).empty() && !undeleted_only) continue;
    const auto key = key_field(info, fields);
    if (!key) continue;
    ServingTag tag;
    tag.name = info.name;
    tag.field = key->field;
    tag.upper = key->upper;
    tag.descending = info.descending;
    tag.key_type = info.key_type;
    tag.undeleted_only = undeleted_only;
    if (tag.upper && tag.key_type != 'C') continue;
    out.push_back(tag);
  }
  return out;
}

OpenOptions ParseOptions(int argc, const char* const* argv, std::string& path) {
  // argv[0..2]: module, database and table names; then the arguments as written.
  if (argc < 4)
    throw Error(220,
                "vexel: USING vexel('FILE.dbf' [, mode=shared|exclusive|read_only] [, codepage=N] "
                "[, ignore_index=1])");
  path = Unquoted(argv[3]);
  OpenOptions options;
  for (int i = 4; i < argc; ++i) {
    const std::string argument = argv[i];
    const std::size_t eq = argument.find('=');
    if (eq == std::string::npos)
      throw Error(220, "vexel: option " + argument + " wants NAME=VALUE");
    const std::string name = Upper(Trim(argument.substr(0, eq)));
    const std::string value = Unquoted(argument.substr(eq + 1));
    const auto number = [&](int low, int high) {
      char* end = nullptr;
      const long n = std::strtol(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || n < low || n > high) {
        throw Error(220, "vexel: option " + Trim(argument.substr(0, eq)) + " wants a number from " +
                             std::to_string(low) + " to " + std::to_string(high) + ", not " +
                             value);
      }
      return static_cast<int>(n);
    };
    if (name == "MODE") {
      const std::string mode = Upper(value);
      if (mode == "SHARED") {
        options.mode = OpenMode::shared;
      } else if (mode == "EXCLUSIVE") {
        options.mode = OpenMode::exclusive;
      } else if (mode == "READ_ONLY" || mode == "READONLY") {
        options.mode = OpenMode::read_only;
      } else {
        throw Error(220, "vexel: mode is shared, exclusive or read_only, not " + value);
      }
    } else if (name == "CODEPAGE") {
      options.codepage = number(0, 65535);
    } else if (name == "IGNORE_INDEX") {
      options.ignore_index = number(0, 1) == 1;
    } else if (name == "RETRIES") {
      options.lock_retries = number(0, 1000);
    } else if (name == "WAIT_MS") {
      options.lock_wait_ms = number(0, 60000);
    } else {
      throw Error(220, "vexel: unknown option " + Trim(argument.substr(0, eq)) +
                           " (mode, codepage, ignore_index, retries, wait_ms)");
    }
  }
  return options;
}

// A relative file name is taken from the folder of the database file, so a database that
// declares its tables by relative names works from any current folder; an in-memory
// database takes it from the current folder.
std::filesystem::path ResolvePath(sqlite3* db, const std::string& name) {
  std::filesystem::path path(name);
  if (path.is_absolute()) return path;
  const char* main_file = sqlite3_db_filename(db, "main");
  if (main_file != nullptr && main_file[0] != '\0') {
    return std::filesystem::path(main_file).parent_path() / path;
  }
  return path;
}

// The tables of this process open through the module, counted by file: a batch of appends
// (MayBatch) holds the index's update bracket between its rows, which another open of the same
// file in this process, reading in the same statement, would wait for without end.
std::mutex open_files_mutex;
std::multiset<std::string> open_files;

void CountOpen(const std::string& file) {
  const std::lock_guard<std::mutex> hold(open_files_mutex);
  open_files.insert(file);
}

void UncountOpen(const std::string& file) {
  const std::lock_guard<std::mutex> hold(open_files_mutex);
  const auto at = open_files.find(file);
  if (at != open_files.end()) open_files.erase(at);
}

bool OpenElsewhere(const std::string& file) {
  const std::lock_guard<std::mutex> hold(open_files_mutex);
  return open_files.count(file) > 1;
}

int Connect(sqlite3* db, void*, int argc, const char* const* argv, sqlite3_vtab** out,
            char** error) {
  auto vt = std::make_unique<VexelTable>();
  vt->db = db;
  try {
    std::string name;
    const OpenOptions options = ParseOptions(argc, argv, name);
    vt->table.emplace(default_engine().open(ResolvePath(db, name), options));
    std::error_code ignored;
    vt->file = std::filesystem::weakly_canonical(vt->table->path(), ignored).string();
    if (vt->file.empty()) vt->file = vt->table->path().string();
    vt->read_only = options.mode == OpenMode::read_only;
    vt->fields = vt->table->fields();
    vt->tags = ServingTags(*vt->table, vt->fields);
    const std::uint32_t records = vt->table->size();
    for (ServingTag& tag : vt->tags) {
      tag.depth = EstimatedDepth(records, KeyLength(tag, vt->fields[tag.field]));
    }
    std::string schema = "CREATE TABLE x(_recno INTEGER HIDDEN, _deleted INTEGER HIDDEN";
    const std::vector<std::string> names = column_names(vt->fields);
    for (std::size_t i = 0; i < vt->fields.size(); ++i) {
      schema += ", " + quote_identifier(names[i]) + " " + column_type(vt->fields[i]);
    }
    schema += ")";
    const int rc = sqlite3_declare_vtab(db, schema.c_str());
    if (rc != SQLITE_OK) {
      *error = sqlite3_mprintf("vexel: cannot declare the columns: %s", sqlite3_errmsg(db));
      return rc;
    }
  } catch (const Error& e) {
    *error = sqlite3_mprintf("%s", Said(e).c_str());
    return SQLITE_ERROR;
  } catch (const std::exception& e) {
    *error = sqlite3_mprintf("%s", e.what());
    return SQLITE_ERROR;
  }
  CountOpen(vt->file);
  *out = vt.release();
  return SQLITE_OK;
}

int Disconnect(sqlite3_vtab* v) {
  UncountOpen(AsTable(v)->file);
  delete AsTable(v);
  return SQLITE_OK;
}

// ---------------------------------------------------------------------------------------------
// Planning

struct Candidate {
  int idx_num = kScan;
  std::string description;
  double cost = 0;
  double rows = 0;
  bool unique = false;
  bool order_consumed = false;
  bool omit = false;           // the plan compares its arguments exactly (SQLite need not)
  std::vector<int> arguments;  // constraint positions, in argv order
};

// Whether a walk of the tag can give its field's rows in SQL's order (see the notes at the top
// for what the walk mends). Not: an UPPER key, a field that may hold .NULL. (where its key
// sorts is not where SQL puts NULL), a descending character tag, numbers of more digits than
// a double holds exactly (SQL could tell apart values whose keys tie).
bool GivesSqlOrder(const ServingTag& tag, const Field& field) {
  if (tag.upper || field.nullable) return false;
  switch (tag.key_type) {
    case 'C':
      return field.type == 'C' && !tag.descending;
    case 'N':
      return (field.type == 'N' || field.type == 'F') && field.length <= 15;
    case 'D':
      return field.type == 'D';
    default:
      return false;
  }
}

bool BinaryCollation(sqlite3_index_info* info, int i) {
  const char* collation = sqlite3_vtab_collation(info, i);
  return collation == nullptr || sqlite3_stricmp(collation, "BINARY") == 0;
}

// The pattern of a LIKE or GLOB constraint when SQLite knows it while planning.
std::optional<std::string> PatternOf(sqlite3_index_info* info, int i) {
  sqlite3_value* v = nullptr;
  if (sqlite3_vtab_rhs_value(info, i, &v) != SQLITE_OK || v == nullptr) return std::nullopt;
  if (sqlite3_value_type(v) != SQLITE_TEXT) return std::nullopt;
  return ValueText(v);
}

void ConsiderTag(const VexelTable& vt, sqlite3_index_info* info, std::size_t tag_index,
                 bool with_deleted, std::vector<Candidate>& out) {
  const ServingTag& tag = vt.tags[tag_index];
  if (tag.undeleted_only && with_deleted) return;
  const int column = kFirstField + static_cast<int>(tag.field);
  const double records = std::max<double>(1, vt.table->size());
  const int base = (with_deleted ? kWithDeleted : 0) | static_cast<int>(tag_index << kTagShift);
  const bool text_key = tag.key_type == 'C';
  const Field& field = vt.fields[tag.field];
  const bool order_matches = info->nOrderBy == 1 && info->aOrderBy[0].iColumn == column &&
                             GivesSqlOrder(tag, field) &&
                             info->aOrderBy[0].desc == (tag.descending ? 1 : 0);
  // A range of a number field is compared here, exactly: SQLite reads no column for it.
  const bool exact_numbers = tag.key_type == 'N' && (field.type == 'N' || field.type == 'F');
  // A walk reads one record per key at a random place: twice a sequential read.
  const auto cost_of = [&](double rows) { return tag.depth + 2 * rows; };
  const std::string label = "tag " + tag.name;

  int lower = -1, upper = -1;
  for (int i = 0; i < info->nConstraint; ++i) {
    const auto& c = info->aConstraint[i];
    if (!c.usable || c.iColumn != column) continue;
    const bool exact_collation = !text_key || BinaryCollation(info, i);
    switch (c.op) {
      case SQLITE_INDEX_CONSTRAINT_EQ: {
        if (!exact_collation && !tag.upper) break;
        const bool in = sqlite3_vtab_in(info, i, -1) != 0;
        if (in) sqlite3_vtab_in(info, i, 1);  // all the values at once, in xFilter
        const double per_key = std::min(records, 10.0);
        const double rows = in ? 4 * per_key : per_key;
        Candidate k;
        k.idx_num = base | (in ? kIn : kEqual);
        k.description = label + (in ? " (IN)" : " (=)");
        k.rows = rows;
        k.cost = (in ? 4 : 1) * cost_of(per_key) + (tag.upper ? 1 : 0);
        k.order_consumed = order_matches && !in;
        k.arguments = {i};
        out.push_back(k);
        break;
      }
      case SQLITE_INDEX_CONSTRAINT_GT:
      case SQLITE_INDEX_CONSTRAINT_GE:
        // An UPPER key orders letters apart from SQL's binary order: it serves no range.
        if (!tag.upper && exact_collation && lower < 0) lower = i;
        break;
      case SQLITE_INDEX_CONSTRAINT_LT:
      case SQLITE_INDEX_CONSTRAINT_LE:
        if (!tag.upper && exact_collation && upper < 0) upper = i;
        break;
      case SQLITE_INDEX_CONSTRAINT_LIKE:
      case SQLITE_INDEX_CONSTRAINT_GLOB: {
        if (!text_key) break;
        const bool glob = c.op == SQLITE_INDEX_CONSTRAINT_GLOB;
        const auto pattern = PatternOf(info, i);
        std::size_t usable = 3;  // a bound parameter: a short prefix is likely
        if (pattern) usable = CharCount(PatternPrefix(tag, *pattern, glob));
        if (usable == 0) break;
        const double rows =
            std::max(1.0, records / std::pow(8.0, std::min<std::size_t>(usable, 6)));
        Candidate k;
        k.idx_num = base | (glob ? kGlobPrefix : kLikePrefix);
        k.description = label + (glob ? " (GLOB prefix)" : " (LIKE prefix)");
        k.rows = rows;
        k.cost = cost_of(rows) + (pattern ? 0 : 1);
        k.order_consumed = order_matches;
        k.arguments = {i};
        out.push_back(k);
        break;
      }
      default:
        break;
    }
  }
  if (lower >= 0 || upper >= 0) {
    Candidate k;
    const double rows = records / (lower >= 0 && upper >= 0 ? 16 : 4);
    k.idx_num = base | kRange | (lower >= 0 ? kHasLower : 0) | (upper >= 0 ? kHasUpper : 0);
    if (exact_numbers) {
      k.omit = true;
      k.idx_num |= kExact;
      if (lower >= 0 && info->aConstraint[lower].op == SQLITE_INDEX_CONSTRAINT_GT) {
        k.idx_num |= kLowerStrict;
      }
      if (upper >= 0 && info->aConstraint[upper].op == SQLITE_INDEX_CONSTRAINT_LT) {
        k.idx_num |= kUpperStrict;
      }
    }
    k.description = label + " (range)";
    k.rows = rows;
    k.cost = cost_of(rows);
    k.order_consumed = order_matches;
    if (lower >= 0) k.arguments.push_back(lower);
    if (upper >= 0) k.arguments.push_back(upper);
    out.push_back(k);
  }
  if (order_matches) {
    Candidate k;
    k.idx_num = base | kTagOrder;
    k.description = label + " (order)";
    k.rows = records;
    // The whole tag: its leaves in sequence, about what reading the table through costs,
    // and SQLite's sort is saved.
    k.cost = tag.depth + records;
    k.order_consumed = true;
    out.push_back(k);
  }
}

int BestIndex(sqlite3_vtab* v, sqlite3_index_info* info) {
  VexelTable& vt = *AsTable(v);
  return Guarded(v, [&] {
    // Deleted records come back only when the query reads or constrains _deleted. An UPDATE
    // reads every column (the new row is built from the old one), so a query that reads
    // every column asks for them by a constraint only: UPDATE t SET YEAR = 0 leaves deleted
    // records alone.
    const std::size_t columns = vt.fields.size() + kFirstField;
    const sqlite3_uint64 every_column = columns >= 64 ? ~0ULL : (1ULL << columns) - 1;
    bool with_deleted = (info->colUsed & (1ULL << kDeletedColumn)) != 0 &&
                        (info->colUsed & every_column) != every_column;
    for (int i = 0; i < info->nConstraint; ++i) {
      if (info->aConstraint[i].iColumn == kDeletedColumn) with_deleted = true;
    }
    const double records = std::max<double>(1, vt.table->size());
    std::vector<Candidate> candidates;
    Candidate scan;
    scan.idx_num = kScan | (with_deleted ? kWithDeleted : 0);
    scan.description = "natural order";
    scan.rows = records;
    scan.cost = records + 1;
    candidates.push_back(scan);
    for (int i = 0; i < info->nConstraint; ++i) {
      const auto& c = info->aConstraint[i];
      if (c.usable && c.op == SQLITE_INDEX_CONSTRAINT_EQ &&
          (c.iColumn == -1 || c.iColumn == kRecnoColumn)) {
        Candidate k;
        k.idx_num = kRecno | (with_deleted ? kWithDeleted : 0);
        k.description = "_recno (=)";
        k.rows = 1;
        k.cost = 1;
        k.unique = true;
        k.order_consumed = info->nOrderBy == 0;
        k.arguments = {i};
        candidates.push_back(k);
        break;
      }
    }
    int recno_lower = -1, recno_upper = -1;
    for (int i = 0; i < info->nConstraint; ++i) {
      const auto& c = info->aConstraint[i];
      if (!c.usable || (c.iColumn != -1 && c.iColumn != kRecnoColumn)) continue;
      if ((c.op == SQLITE_INDEX_CONSTRAINT_GT || c.op == SQLITE_INDEX_CONSTRAINT_GE) &&
          recno_lower < 0) {
        recno_lower = i;
      }
      if ((c.op == SQLITE_INDEX_CONSTRAINT_LT || c.op == SQLITE_INDEX_CONSTRAINT_LE) &&
          recno_upper < 0) {
        recno_upper = i;
      }
    }
    if (recno_lower >= 0 || recno_upper >= 0) {
      // Records read by number from the first to the last: a part of a read through.
      Candidate k;
      k.rows = records / (recno_lower >= 0 && recno_upper >= 0 ? 16 : 4);
      k.idx_num = kRecnoRange | (recno_lower >= 0 ? kHasLower : 0) |
                  (recno_upper >= 0 ? kHasUpper : 0) | (with_deleted ? kWithDeleted : 0);
      k.description = "_recno (range)";
      k.cost = k.rows + 1;
      k.order_consumed =
          info->nOrderBy == 1 && !info->aOrderBy[0].desc &&
          (info->aOrderBy[0].iColumn == -1 || info->aOrderBy[0].iColumn == kRecnoColumn);
      if (recno_lower >= 0) k.arguments.push_back(recno_lower);
      if (recno_upper >= 0) k.arguments.push_back(recno_upper);
      candidates.push_back(k);
    }
    for (std::size_t t = 0; t < vt.tags.size(); ++t) {
      ConsiderTag(vt, info, t, with_deleted, candidates);
    }
    // Natural order is record number order: ORDER BY _recno or rowid ascending comes free.
    if (info->nOrderBy == 1 && !info->aOrderBy[0].desc &&
        (info->aOrderBy[0].iColumn == -1 || info->aOrderBy[0].iColumn == kRecnoColumn)) {
      candidates[0].order_consumed = true;
    }
    // SQLite sees only the plan chosen here: one that leaves ORDER BY to SQLite is weighed
    // with the sort it then needs.
    const auto weight = [&](const Candidate& k) {
      const bool sorts = info->nOrderBy > 0 && !k.order_consumed;
      return k.cost + (sorts ? k.rows * std::log2(k.rows + 2) / 4 : 0);
    };
    const Candidate* best = &candidates[0];
    for (const Candidate& k : candidates) {
      if (weight(k) < weight(*best)) best = &k;
    }
    info->idxNum = best->idx_num | (best->order_consumed ? kOrdered : 0);
    std::string description = best->description;
    if (with_deleted) description += ", deleted included";
    info->idxStr = sqlite3_mprintf("%s", description.c_str());
    info->needToFreeIdxStr = 1;
    info->estimatedCost = best->cost;
    info->estimatedRows = static_cast<sqlite3_int64>(std::ceil(best->rows));
    info->orderByConsumed = best->order_consumed ? 1 : 0;
    if (best->unique) info->idxFlags |= SQLITE_INDEX_SCAN_UNIQUE;
    int argv_index = 1;
    for (int i : best->arguments) {
      info->aConstraintUsage[i].argvIndex = argv_index++;
      // A record number and a range of numbers are matched exactly; SQLite checks every other
      // comparison again.
      info->aConstraintUsage[i].omit = (best->idx_num & kKindMask) == kRecno || best->omit ? 1 : 0;
    }
    return SQLITE_OK;
  });
}

// ---------------------------------------------------------------------------------------------
// Cursors

int Open(sqlite3_vtab*, sqlite3_vtab_cursor** out) {
  auto* c = new (std::nothrow) VexelCursor();
  if (c == nullptr) return SQLITE_NOMEM;
  *out = c;
  return SQLITE_OK;
}

int Close(sqlite3_vtab_cursor* c) {
  delete AsCursor(c);
  return SQLITE_OK;
}

enum class Step { emit, skip, stop };

// = on a character tag: the walk holds every key that begins with the text, the equal ones
// first (blank padding sorts below every printable character); the first key that goes on with
// a printable character ends it. Control characters sort below the padding: skipped, not ended.
Step EqualityStep(const VexelCursor& c, std::size_t row) {
  if (!c.current_key || !c.current_key->exact_text) return Step::emit;
  const auto* key = std::get_if<std::string>(&c.current_key->value);
  if (key == nullptr) return Step::emit;
  const std::string field = c.block.text(row, c.tag->field);
  const std::string text = c.tag->upper ? Upper(field) : field;
  if (text == *key) return Step::emit;
  if (text.size() > key->size() && text.compare(0, key->size(), *key) == 0) {
    return static_cast<unsigned char>(text[key->size()]) < 0x20 ? Step::skip : Step::stop;
  }
  return Step::skip;
}

// A walk over a tag from `from` to `to` (inclusive). An empty text is no starting key: the
// walk starts at the tag's first key (where the engine's seek of an empty key lands too).
Cursor TagWalk(const Table& table, const ServingTag& tag, std::optional<Value> from,
               std::optional<Value> to) {
  if (from) {
    if (const auto* text = std::get_if<std::string>(&*from); text != nullptr && text->empty()) {
      from.reset();
    }
  }
  return table.order(tag.name, std::move(from), std::move(to));
}

// Starts the walk for the next key of = or IN; false when none is left.
bool StartNextKey(VexelTable& vt, VexelCursor& c) {
  while (c.next_key < c.keys.size()) {
    c.current_key = c.keys[c.next_key++];
    c.walk.emplace(TagWalk(*vt.table, *c.tag, c.current_key->value, c.current_key->value));
    c.block_records = 0;
    return true;
  }
  c.walk.reset();
  return false;
}

// Number field i of the block, decoded a whole column at a time when first asked.
const VexelCursor::NumberColumn& Numbers(const VexelCursor& c, std::size_t i) {
  if (c.numbers.size() <= i) c.numbers.resize(i + 1);
  VexelCursor::NumberColumn& n = c.numbers[i];
  if (!n.ready) {
    const std::size_t rows = c.block.size();
    n.blank.resize(rows);
    n.wholes.resize(rows);
    n.whole = c.block.whole_numbers(i, n.wholes.data(), n.blank.data());
    if (!n.whole) {
      n.reals.resize(rows);
      c.block.numbers(i, n.reals.data(), n.blank.data());
    }
    n.ready = true;
  }
  return n;
}

// Whether field i of the block row is NULL in SQL.
bool BlankAt(const VexelCursor& c, std::size_t i, std::size_t row) {
  const char type = c.block.fields()[i].type;
  if (type == 'N' || type == 'F') return Numbers(c, i).blank[row] != 0;
  return std::holds_alternative<std::monostate>(c.block.value(row, i));
}

// SQLite's comparison of an integer with a real number (sqlite3IntFloatCompare).
int CompareWholeReal(std::int64_t i, double r) {
  if (r < -9223372036854775808.0) return 1;
  if (r >= 9223372036854775808.0) return -1;
  const auto y = static_cast<std::int64_t>(r);
  if (i < y) return -1;
  if (i > y) return 1;
  const auto s = static_cast<double>(i);
  return s < r ? -1 : s > r ? 1 : 0;
}

// Whether a number (whole w, or else r) meets every bound as SQLite compares: a number is below
// every text and blob.
bool NumberMeetsBounds(const VexelCursor& c, bool whole, std::int64_t w, double r) {
  for (const VexelCursor::Bound& b : c.bounds) {
    int order = -1;  // the value against the bound
    if (b.type == SQLITE_INTEGER) {
      order = whole ? (w < b.whole ? -1 : w > b.whole ? 1 : 0) : -CompareWholeReal(b.whole, r);
    } else if (b.type == SQLITE_FLOAT) {
      order = whole ? CompareWholeReal(w, b.real) : (r < b.real ? -1 : r > b.real ? 1 : 0);
    }
    const bool meets = b.op == SQLITE_INDEX_CONSTRAINT_GT   ? order > 0
                       : b.op == SQLITE_INDEX_CONSTRAINT_GE ? order >= 0
                       : b.op == SQLITE_INDEX_CONSTRAINT_LT ? order < 0
                                                            : order <= 0;
    if (!meets) return false;
  }
  return true;
}

// The value of number field i of the block row as Column gives it; false for NULL.
bool NumberAt(const VexelCursor& c, std::size_t i, std::size_t row, bool& whole, std::int64_t& w,
              double& r) {
  const Value v = c.block.value(row, i);
  if (const auto* x = std::get_if<std::int64_t>(&v)) {
    whole = true;
    w = *x;
    return true;
  }
  if (const auto* d = std::get_if<double>(&v)) {
    whole = false;
    r = *d;
    return true;
  }
  return false;
}

// Whether number field i of the block row, as Column gives it to SQLite, meets every bound as
// SQLite compares: NULL meets none.
bool MeetsBounds(const VexelCursor& c, std::size_t i, std::size_t row) {
  if (c.block_meets) return true;
  const VexelCursor::NumberColumn& n = Numbers(c, i);
  if (n.blank[row]) return false;
  bool whole = n.whole;
  std::int64_t w = whole ? n.wholes[row] : 0;
  double r = 0;
  if (!whole && !NumberAt(c, i, row, whole, w, r)) return false;
  return NumberMeetsBounds(c, whole, w, r);
}

// A range walk gives its rows in the tag's order, which is the order of their numbers, blank
// numbers (NULL in SQL) keyed as 0: when the block's first and last rows meet the bounds and 0
// does not lie between them, every row between meets them too.
bool BlockMeetsBounds(const VexelCursor& c, std::size_t i) {
  const std::size_t rows = c.block.size();
  if (rows == 0) return false;
  bool whole[2] = {};
  std::int64_t w[2] = {};
  double r[2] = {};
  double value[2] = {};
  for (int end = 0; end < 2; ++end) {
    const std::size_t row = end == 0 ? 0 : rows - 1;
    if (!NumberAt(c, i, row, whole[end], w[end], r[end]) ||
        !NumberMeetsBounds(c, whole[end], w[end], r[end])) {
      return false;
    }
    value[end] = whole[end] ? static_cast<double>(w[end]) : r[end];
  }
  return std::min(value[0], value[1]) > 0 || std::max(value[0], value[1]) < 0;
}

// The first walk of the phases still to make (see VexelCursor::Phase); false when none is left.
bool StartNextPhase(VexelTable& vt, VexelCursor& c) {
  if (c.next_phase >= c.phases.size()) return false;
  const VexelCursor::Phase& p = c.phases[c.next_phase++];
  // Blank values are found by reading the table through: their keys are not SQL's order.
  c.walk.emplace(p.blanks ? vt.table->scan() : vt.table->order(c.tag->name));
  c.blanks_only = p.blanks;
  c.no_blanks = !p.blanks;
  c.block_records = 0;
  return true;
}

// Where no later row of a character tag's walk can sort before `text` in SQL: every later key
// is at least the key of this row under the tag's order, and so at least, in SQL, the text up
// to its first byte outside printable ASCII, trailing blanks removed.
std::string_view FloorOfLaterRows(std::string_view text) {
  std::size_t end = 0;
  while (end < text.size()) {
    const auto b = static_cast<unsigned char>(text[end]);
    if (b < 0x20 || b >= 0x80) break;
    ++end;
  }
  while (end > 0 && text[end - 1] == ' ') --end;
  return text.substr(0, end);
}

bool Clean(std::string_view text) { return FloorOfLaterRows(text).size() == text.size(); }

// Releases the held rows that sort at or below `floor` (all with no floor), in SQL's order.
void Release(VexelCursor& c, const std::string* floor) {
  const auto above = [](const std::pair<std::string, std::uint32_t>& a,
                        const std::pair<std::string, std::uint32_t>& b) { return a > b; };
  while (!c.held.empty() && (floor == nullptr || c.held.front().first <= *floor)) {
    std::pop_heap(c.held.begin(), c.held.end(), above);
    c.released.push_back(c.held.back().second);
    c.held.pop_back();
  }
}

// Puts the cursor on the next released row, read again by its number; false when none is left.
bool NextReleased(VexelTable& vt, VexelCursor& c) {
  while (c.next_released < c.released.size()) {
    c.held_row.emplace(vt.table->read(c.released[c.next_released++]));
    if (c.with_deleted || !c.held_row->deleted()) {
      c.row = &*c.held_row;
      return true;
    }
  }
  c.released.clear();
  c.next_released = 0;
  return false;
}

// Moves to the next row the plan returns.
void Advance(VexelTable& vt, VexelCursor& c) {
  c.row = nullptr;
  if (c.on_block) ++c.block_row;
  c.on_block = false;
  if (c.sql_text_order && NextReleased(vt, c)) {
    c.eof = false;
    return;
  }
  if (c.kind == kRecnoRange) {
    while (c.next_recno != 0 && c.next_recno <= c.last_recno) {
      c.direct.emplace(vt.table->read(c.next_recno++));
      if (c.with_deleted || !c.direct->deleted()) {
        c.row = &*c.direct;
        break;
      }
    }
    c.eof = c.row == nullptr;
    return;
  }
  if (c.direct) {
    if (c.direct_pending) {
      c.direct_pending = false;
      if (c.with_deleted || !c.direct->deleted()) c.row = &*c.direct;
    }
    c.eof = c.row == nullptr;
    return;
  }
  while (c.walk) {
    if (c.block_row >= c.block.size()) {
      // A scan reads big blocks, and so does a walk between two keys (it stops at the last);
      // another tag walk starts small (a point query reads one record and the one past it) and
      // takes more each time.
      c.block_records = c.kind == kScan || c.closed_range ? kScanBlock
                        : c.block_records == 0            ? kFirstTagBlock
                                                          : std::min(c.block_records * 2, kScanBlock);
      c.block_row = 0;
      c.block_meets = false;
      for (VexelCursor::NumberColumn& n : c.numbers) n.ready = false;
      if (c.walk->next(c.block, c.block_records) == 0) {
        if ((c.kind == kEqual || c.kind == kIn) && StartNextKey(vt, c)) continue;
        if (StartNextPhase(vt, c)) continue;
        c.walk.reset();
        if (c.sql_text_order) {
          Release(c, nullptr);
          NextReleased(vt, c);
        }
        break;
      }
      if (c.kind == kRange && !c.bounds.empty()) c.block_meets = BlockMeetsBounds(c, c.tag->field);
    }
    const std::size_t row = c.block_row;
    if (!c.with_deleted && c.block.deleted(row)) {
      ++c.block_row;
      continue;
    }
    if ((c.blanks_only || c.no_blanks) && BlankAt(c, c.tag->field, row) != c.blanks_only) {
      ++c.block_row;
      continue;
    }
    if (!c.bounds.empty() && !MeetsBounds(c, c.tag->field, row)) {
      ++c.block_row;
      continue;
    }
    if (c.kind == kEqual || c.kind == kIn) {
      const Step step = EqualityStep(c, row);
      if (step == Step::skip) {
        ++c.block_row;
        continue;
      }
      if (step == Step::stop) {
        c.block_row = c.block.size();
        if (StartNextKey(vt, c)) continue;
        break;
      }
      if (c.kind == kIn && !c.seen.insert(c.block.recno(row)).second) {
        ++c.block_row;
        continue;
      }
    }
    if (c.sql_text_order) {
      // A row whose text is plain ASCII comes at once while nothing is held back; any other
      // is held until the walk has passed every key that could sort before it.
      const Value v = c.block.value(row, c.tag->field);
      const auto* text = std::get_if<std::string>(&v);
      const std::string_view t = text != nullptr ? std::string_view(*text) : std::string_view();
      if (!c.held.empty() || !Clean(t)) {
        c.held.emplace_back(std::string(t), c.block.recno(row));
        std::push_heap(c.held.begin(), c.held.end(),
                       [](const auto& a, const auto& b) { return a > b; });
        const std::string floor(FloorOfLaterRows(t));
        Release(c, &floor);
        ++c.block_row;
        if (NextReleased(vt, c)) break;
        continue;
      }
    }
    c.on_block = true;
    break;
  }
  c.eof = !c.OnRow();
}

int Filter(sqlite3_vtab_cursor* cursor, int idx_num, const char*, int argc, sqlite3_value** argv) {
  VexelCursor& c = *AsCursor(cursor);
  VexelTable& vt = *AsTable(cursor->pVtab);
  return Guarded(cursor->pVtab, [&] {
    // A read of the table in the statement that appends to it sees the rows appended so far.
    EndAppends(vt);
    c.walk.reset();
    c.direct.reset();
    c.keys.clear();
    c.next_key = 0;
    c.current_key.reset();
    c.seen.clear();
    c.row = nullptr;
    c.on_block = false;
    c.block = RecordBlock();
    c.numbers.clear();
    c.block_row = 0;
    c.block_records = 0;
    c.eof = true;
    c.bounds.clear();
    c.phases.clear();
    c.next_phase = 0;
    c.blanks_only = c.no_blanks = false;
    c.held.clear();
    c.released.clear();
    c.next_released = 0;
    c.held_row.reset();
    c.kind = idx_num & kKindMask;
    c.closed_range = c.kind == kRange && (idx_num & kHasLower) && (idx_num & kHasUpper);
    c.with_deleted = (idx_num & kWithDeleted) != 0;
    const std::size_t tag_index = static_cast<std::size_t>(idx_num >> kTagShift);
    const bool tag_plan = c.kind >= kEqual && c.kind <= kTagOrder;
    c.tag = tag_plan && tag_index < vt.tags.size() ? &vt.tags[tag_index] : nullptr;
    if (tag_plan && c.tag == nullptr) c.kind = kScan;
    const Field* field = c.tag != nullptr ? &vt.fields[c.tag->field] : nullptr;
    // ORDER BY left to a character tag's walk: rows in SQL's order of their texts (one key
    // gives one text, so = and IN need nothing more).
    c.sql_text_order = (idx_num & kOrdered) != 0 && c.tag != nullptr && c.tag->key_type == 'C' &&
                       c.kind != kEqual && c.kind != kIn;

    switch (c.kind) {
      case kRecno: {
        if (argc < 1) break;
        const int numeric = sqlite3_value_numeric_type(argv[0]);
        if (numeric != SQLITE_INTEGER && numeric != SQLITE_FLOAT) break;
        const double d = sqlite3_value_double(argv[0]);
        if (d != std::floor(d) || d < 1 || d > vt.table->size()) break;
        c.direct.emplace(vt.table->read(static_cast<std::uint32_t>(d)));
        c.direct_pending = true;
        break;
      }
      case kRecnoRange: {
        // Bounds that are no number leave the range open on that side; SQLite compares again.
        double first = 1, last = vt.table->size();
        int arg = 0;
        const auto bound = [&](double& out, bool lower) {
          if (arg >= argc) return;
          sqlite3_value* v = argv[arg++];
          const int numeric = sqlite3_value_numeric_type(v);
          if (numeric != SQLITE_INTEGER && numeric != SQLITE_FLOAT) return;
          const double d = sqlite3_value_double(v);
          out = lower ? std::max(out, std::ceil(d)) : std::min(out, std::floor(d));
        };
        if (idx_num & kHasLower) bound(first, true);
        if (idx_num & kHasUpper) bound(last, false);
        c.next_recno = 0;
        if (first <= last) {
          c.next_recno = static_cast<std::uint32_t>(first);
          c.last_recno = static_cast<std::uint32_t>(last);
        }
        break;
      }
      case kEqual:
      case kIn: {
        // Each value becomes its key at once: SQLite reuses the value of an IN list's walk.
        bool whole_tag = false;
        const auto take = [&](sqlite3_value* value) {
          const KeyChoice choice = ChooseKey(*c.tag, *field, value, true);
          if (choice.none) return;
          if (!choice.key) whole_tag = true;
          if (!whole_tag) c.keys.push_back(*choice.key);
        };
        if (c.kind == kEqual) {
          if (argc >= 1) take(argv[0]);
        } else if (argc >= 1) {
          sqlite3_value* each = nullptr;
          for (int rc = sqlite3_vtab_in_first(argv[0], &each); rc == SQLITE_OK && each != nullptr;
               rc = sqlite3_vtab_in_next(argv[0], &each)) {
            take(each);
          }
        }
        if (whole_tag) {
          // A value the tag cannot be positioned for: SQLite compares every row.
          c.keys.clear();
          c.kind = kTagOrder;
          c.walk.emplace(vt.table->order(c.tag->name));
          break;
        }
        StartNextKey(vt, c);
        break;
      }
      case kRange: {
        int arg = 0;
        std::optional<Value> lower, upper;
        bool none = false;
        const auto bound = [&](std::optional<Value>& out) {
          if (arg >= argc) return;
          const KeyChoice choice = ChooseKey(*c.tag, *field, argv[arg++], false);
          none = none || choice.none;
          if (choice.key) out = choice.key->value;
        };
        if (idx_num & kHasLower) bound(lower);
        if (idx_num & kHasUpper) bound(upper);
        if (none) break;
        if (idx_num & kExact) {
          // The bounds as SQLite compares them with a number column: a value that reads as a
          // number is one; other text (and a blob) is above every number.
          arg = 0;
          const auto exact = [&](bool is_lower, bool strict) {
            if (arg >= argc) return;
            sqlite3_value* v = argv[arg++];
            VexelCursor::Bound b;
            b.op = is_lower ? (strict ? SQLITE_INDEX_CONSTRAINT_GT : SQLITE_INDEX_CONSTRAINT_GE)
                            : (strict ? SQLITE_INDEX_CONSTRAINT_LT : SQLITE_INDEX_CONSTRAINT_LE);
            b.type = sqlite3_value_numeric_type(v);
            if (b.type == SQLITE_INTEGER) {
              b.whole = sqlite3_value_int64(v);
            } else if (b.type == SQLITE_FLOAT) {
              b.real = sqlite3_value_double(v);
              if (std::isnan(b.real)) none = true;
            } else if (b.type == SQLITE_NULL) {
              none = true;
            } else {
              b.type = SQLITE_TEXT;
              if (is_lower) none = true;  // no number is above a text
              return;                     // every number is below it
            }
            c.bounds.push_back(b);
          };
          if (idx_num & kHasLower) exact(true, (idx_num & kLowerStrict) != 0);
          if (idx_num & kHasUpper) exact(false, (idx_num & kUpperStrict) != 0);
          if (none) break;
        }
        // A descending tag runs from its largest key: the upper bound is where it starts.
        if (c.tag->descending) std::swap(lower, upper);
        c.walk.emplace(TagWalk(*vt.table, *c.tag, lower, upper));
        break;
      }
      case kLikePrefix:
      case kGlobPrefix: {
        std::string prefix;
        if (argc >= 1 && sqlite3_value_type(argv[0]) == SQLITE_TEXT) {
          prefix = PatternPrefix(*c.tag, ValueText(argv[0]), c.kind == kGlobPrefix);
          if (CharCount(prefix) > static_cast<std::size_t>(field->length)) {
            prefix = FirstChars(prefix, static_cast<std::size_t>(field->length));
          }
        }
        if (prefix.empty() || c.tag->descending) {
          c.walk.emplace(vt.table->order(c.tag->name));
        } else {
          c.walk.emplace(vt.table->order(c.tag->name, Value(prefix), Value(prefix)));
        }
        break;
      }
      case kTagOrder:
        if ((idx_num & kOrdered) != 0 && c.tag->key_type != 'C') {
          // Blank numbers and dates come first in SQL's ascending order, last in descending.
          c.phases = {{!c.tag->descending}, {c.tag->descending}};
          StartNextPhase(vt, c);
          break;
        }
        c.walk.emplace(vt.table->order(c.tag->name));
        break;
      default:
        c.kind = kScan;
        c.walk.emplace(vt.table->scan());
        break;
    }
    Advance(vt, c);
    return SQLITE_OK;
  });
}

int Next(sqlite3_vtab_cursor* cursor) {
  return Guarded(cursor->pVtab, [&] {
    Advance(*AsTable(cursor->pVtab), *AsCursor(cursor));
    return SQLITE_OK;
  });
}

int Eof(sqlite3_vtab_cursor* cursor) { return AsCursor(cursor)->eof ? 1 : 0; }

// Field i (a number field) of the cursor's block row, from the block's decoded column.
void NumberResult(sqlite3_context* ctx, const VexelCursor& c, std::size_t i) {
  const VexelCursor::NumberColumn& n = Numbers(c, i);
  const std::size_t row = c.block_row;
  if (n.blank[row]) {
    sqlite3_result_null(ctx);
  } else if (n.whole) {
    // As the field's value: whole numbers of a field with decimals are REAL.
    if (c.block.fields()[i].decimals > 0) {
      sqlite3_result_double(ctx, static_cast<double>(n.wholes[row]));
    } else {
      sqlite3_result_int64(ctx, n.wholes[row]);
    }
  } else {
    // A column with a fraction or a number beyond 64 bits somewhere: each value as the field
    // gives it (whole values of a field without decimals stay INTEGER).
    ResultValue(ctx, c.block.fields()[i], c.block.value(row, i));
  }
}

int Column(sqlite3_vtab_cursor* cursor, sqlite3_context* ctx, int column) {
  const VexelCursor& c = *AsCursor(cursor);
  const VexelTable& vt = *AsTable(cursor->pVtab);
  return Guarded(cursor->pVtab, [&] {
    if (!c.OnRow()) return SQLITE_OK;
    const std::size_t i = static_cast<std::size_t>(column - kFirstField);
    if (c.on_block && column >= kFirstField && i < vt.fields.size() &&
        (vt.fields[i].type == 'N' || vt.fields[i].type == 'F') && sqlite3_vtab_nochange(ctx) == 0) {
      NumberResult(ctx, c, i);
      return SQLITE_OK;
    }
    if (column == kRecnoColumn) {
      sqlite3_result_int64(ctx, c.Recno());
    } else if (column == kDeletedColumn) {
      sqlite3_result_int(ctx, c.Deleted() ? 1 : 0);
    } else if (sqlite3_vtab_nochange(ctx) == 0) {
      // (During an UPDATE the columns it does not assign are left unread.)
      if (i < vt.fields.size()) ResultValue(ctx, vt.fields[i], c.FieldValue(i));
    }
    return SQLITE_OK;
  });
}

int Rowid(sqlite3_vtab_cursor* cursor, sqlite3_int64* rowid) {
  const VexelCursor& c = *AsCursor(cursor);
  *rowid = c.OnRow() ? c.Recno() : 0;
  return SQLITE_OK;
}

// ---------------------------------------------------------------------------------------------
// Writing

// The record number an INSERT or UPDATE names, if any (NULL: none).
std::optional<std::int64_t> RowNumber(sqlite3_value* v) {
  if (sqlite3_value_type(v) == SQLITE_NULL) return std::nullopt;
  return sqlite3_value_int64(v);
}

std::optional<bool> DeletedMark(sqlite3_value* v) {
  if (sqlite3_value_type(v) == SQLITE_NULL || sqlite3_value_nochange(v)) return std::nullopt;
  const int numeric = sqlite3_value_numeric_type(v);
  if (numeric != SQLITE_INTEGER || (sqlite3_value_int64(v) != 0 && sqlite3_value_int64(v) != 1)) {
    throw ConstraintError{"_deleted: " + Shown(v) + " is not 0 or 1"};
  }
  return sqlite3_value_int64(v) == 1;
}

// Whether an INSERT's row may join the rows its statement appended before under one append
// lock and update bracket (the keys put in together, as AppendLock::begin_batch does): only
// while nothing can pause between the rows and the statement's end lets them go. The
// statement must be a transaction of its own (autocommit: xSync comes as soon as it has run;
// inside BEGIN .. COMMIT the statements between would hold other programs' readers), return no
// rows (with RETURNING the caller steps through them at its own pace before the end), and the
// file must be open through no other table of this process (its reads in the same statement
// would wait for the bracket this one holds).
bool MayBatch(const VexelTable& vt) {
  if (vt.appending) return true;
  if (sqlite3_get_autocommit(vt.db) == 0) return false;
  for (sqlite3_stmt* s = sqlite3_next_stmt(vt.db, nullptr); s != nullptr;
       s = sqlite3_next_stmt(vt.db, s)) {
    if (sqlite3_stmt_busy(s) != 0 && sqlite3_stmt_readonly(s) == 0 && sqlite3_column_count(s) > 0) {
      return false;
    }
  }
  return !OpenElsewhere(vt.file);
}

// Writes what the statement's batch of appends holds back and lets the append lock and the
// update bracket go; raises when a write failed (the batch's rows since the bracket was last
// let go were then taken back).
void EndAppends(VexelTable& vt) {
  if (!vt.appending) return;
  AppendLock lock = std::move(*vt.appending);
  vt.appending.reset();
  lock.release();
}

// INSERT appends under the append lock (the rows of one statement together, see MayBatch);
// UPDATE takes the record's lock, reads the record again under it and writes only the fields
// whose value changes; DELETE sets the deletion mark (the record stays in the file until the
// table is packed, as in dBASE).
int Write(VexelTable& vt, int argc, sqlite3_value** argv, sqlite3_int64* rowid) {
  sqlite3_vtab* v = &vt;
  if (vt.read_only) {
    SetMessage(v, "vexel: " + vt.table->path().string() + " is open read-only (mode=read_only)");
    return SQLITE_READONLY;
  }
  Table& table = *vt.table;
  const bool insert = argc > 1 && sqlite3_value_type(argv[0]) == SQLITE_NULL;
  // Rows appended before are on the disk with their keys before a record is changed.
  if (!insert) EndAppends(vt);
  if (argc == 1) {
    const std::int64_t recno = sqlite3_value_int64(argv[0]);
    if (recno < 1 || recno > table.size()) return SQLITE_OK;
    table.remove(static_cast<std::uint32_t>(recno));
    return SQLITE_OK;
  }
  const std::size_t columns = static_cast<std::size_t>(argc - 2);
  const auto column = [&](int c) { return argv[2 + c]; };
  if (columns != vt.fields.size() + kFirstField) return SQLITE_ERROR;
  if (insert) {
    if (RowNumber(argv[1]) || RowNumber(column(kRecnoColumn))) {
      throw ConstraintError{
          "_recno: a new record's number is its place at the end of the table; leave "
          "_recno and rowid out of an INSERT"};
    }
    Assignments values;
    for (std::size_t i = 0; i < vt.fields.size(); ++i) {
      sqlite3_value* value = column(kFirstField + static_cast<int>(i));
      if (sqlite3_value_type(value) == SQLITE_NULL) continue;
      values.emplace_back(vt.fields[i].name, FieldValue(vt.fields[i], value));
    }
    const std::optional<bool> deleted = DeletedMark(column(kDeletedColumn));
    if (!deleted.value_or(false) && MayBatch(vt)) {
      if (!vt.appending) {
        vt.appending.emplace(table.lock_append());
        vt.appending->begin_batch();
      }
      *rowid = vt.appending->append(values);
      return SQLITE_OK;
    }
    // A row appended deleted is marked on the disk, where the rows before it go first.
    EndAppends(vt);
    const std::uint32_t recno = table.append(values);
    if (deleted.value_or(false)) table.remove(recno);
    *rowid = recno;
    return SQLITE_OK;
  }
  const std::int64_t old_recno = sqlite3_value_int64(argv[0]);
  const auto new_recno = RowNumber(argv[1]);
  const auto named_recno = RowNumber(column(kRecnoColumn));
  if ((new_recno && *new_recno != old_recno) || (named_recno && *named_recno != old_recno)) {
    throw ConstraintError{"_recno: a record's number is its place in the file and cannot change"};
  }
  if (old_recno < 1 || old_recno > table.size()) return SQLITE_OK;
  // Values first, so that a refused one leaves the record unlocked and unchanged.
  std::vector<std::pair<std::size_t, Value>> assigned;
  for (std::size_t i = 0; i < vt.fields.size(); ++i) {
    sqlite3_value* value = column(kFirstField + static_cast<int>(i));
    if (sqlite3_value_nochange(value)) continue;
    assigned.emplace_back(i, FieldValue(vt.fields[i], value));
  }
  const std::optional<bool> deleted = DeletedMark(column(kDeletedColumn));
  RecordLock lock = table.lock(static_cast<std::uint32_t>(old_recno));
  const Record current = lock.record();
  bool changed = false;
  for (const auto& [i, value] : assigned) {
    if (current[i] == value) continue;  // unchanged: its stored text is kept as it is
    lock.set(vt.fields[i].name, value);
    changed = true;
  }
  if (changed) lock.commit();
  if (deleted && *deleted != current.deleted()) {
    if (*deleted) {
      lock.remove();
    } else {
      lock.recall();
    }
  }
  return SQLITE_OK;
}

int Update(sqlite3_vtab* v, int argc, sqlite3_value** argv, sqlite3_int64* rowid) {
  return Guarded(v, [&] {
    try {
      return Write(*AsTable(v), argc, argv, rowid);
    } catch (const LockError&) {
      throw;
    } catch (const Error& e) {
      // The engine refuses a value that does not fit its field with code 220, naming the field.
      if (e.code() == 220) throw ConstraintError{Said(e)};
      throw;
    }
  });
}

int Rename(sqlite3_vtab*, const char*) { return SQLITE_OK; }

// A transaction's end (in autocommit mode, its one statement's): the statement's batch of
// appends is written and its locks let go. A failure here fails the statement.
int Begin(sqlite3_vtab*) { return SQLITE_OK; }

int Sync(sqlite3_vtab* v) {
  return Guarded(v, [&] {
    EndAppends(*AsTable(v));
    return SQLITE_OK;
  });
}

int Finish(sqlite3_vtab* v) { return Sync(v); }

sqlite3_module MakeModule() {
  sqlite3_module m{};
  m.iVersion = 2;
  m.xCreate = Connect;
  m.xConnect = Connect;
  m.xBestIndex = BestIndex;
  m.xDisconnect = Disconnect;
  m.xDestroy = Disconnect;  // dropping the SQL table leaves the dBASE files alone
  m.xOpen = Open;
  m.xClose = Close;
  m.xFilter = Filter;
  m.xNext = Next;
  m.xEof = Eof;
  m.xColumn = Column;
  m.xRowid = Rowid;
  m.xUpdate = Update;
  m.xBegin = Begin;
  m.xSync = Sync;
  m.xCommit = Finish;
  m.xRollback = Finish;
  m.xRename = Rename;
  return m;
}

const sqlite3_module kModule = MakeModule();

}  // namespace

std::vector<std::string> column_names(const std::vector<Field>& fields) {
  std::set<std::string> taken = {"_RECNO", "_DELETED"};
  std::vector<std::string> names;
  for (const Field& f : fields) {
    std::string name = f.name;
    for (int n = 2; !taken.insert(Upper(name)).second; ++n) name = f.name + "_" + std::to_string(n);
    names.push_back(name);
  }
  return names;
}

const char* column_type(const Field& field) {
  switch (field.type) {
    case 'N':
    case 'F':
      return field.decimals == 0 ? "INTEGER" : "REAL";
    case 'L':
    case 'I':
    case '+':
      return "INTEGER";
    case 'Y':
    case 'O':
      return "REAL";
    case 'B':  // Visual FoxPro's double; dBASE's binary memo holds bytes
      return field.binary ? "TEXT" : "REAL";
    default:
      return "TEXT";
  }
}

std::optional<FieldKey> key_field(const TagInfo& tag, const std::vector<Field>& fields) {
  std::string key = Upper(Trim(tag.key));
  FieldKey out;
  if (key.size() > 7 && key.compare(0, 5, "UPPER") == 0) {
    const std::string rest = Trim(std::string_view(key).substr(5));
    if (rest.size() < 2 || rest.front() != '(' || rest.back() != ')') return std::nullopt;
    key = Trim(std::string_view(rest).substr(1, rest.size() - 2));
    out.upper = true;
  }
  // An alias prefix ("FILMS->TITLE") names this table's field as well.
  if (const std::size_t arrow = key.find("->"); arrow != std::string::npos) {
    key = Trim(std::string_view(key).substr(arrow + 2));
  }
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (Upper(fields[i].name) == key) {
      if (out.upper && fields[i].type != 'C') return std::nullopt;
      out.field = i;
      return out;
    }
  }
  return std::nullopt;
}

std::string quote_identifier(const std::string& name) {
  std::string out = "\"";
  for (char c : name) {
    out += c;
    if (c == '"') out += '"';
  }
  return out + "\"";
}

int register_module(sqlite3* db) {
  return sqlite3_create_module_v2(db, "vexel", &kModule, nullptr, nullptr);
}

}  // namespace vexel::sql
