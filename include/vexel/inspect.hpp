#pragma once
// Reading a table as it is stored, for inspection programs: its header and files described, its
// records walked with every value as stored (damage reported, not hidden), one memo's text, the
// memo file packed, the tags of an index summarised, and dBASE expressions listed
// over the records. Each call opens the table by path (shared and read-only
// unless OpenOptions::mode is exclusive), does its work and closes it again; warnings go to
// OpenOptions::warn.
//
//   vexel::TableDescription d = vexel::describe("films.dbf");
//   std::cout << d.version_name << ", " << d.records << " records\n";
//   vexel::read_stored("films.dbf", {}, {}, {nullptr, [](const vexel::StoredRecord& r) {
//     std::cout << r.recno << ": " << r.values[0].text << "\n";
//   }});

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>
#include <vexel/vexel.hpp>

namespace vexel {

// ---------------------------------------------------------------------------------------------
// The table's description

// The memo file beside a table.
struct MemoFileDescription {
  std::string path{};
  std::string kind{};  // "dBASE III", "dBASE IV" or "FoxPro"
  std::uint32_t block_size = 0;
  std::uint64_t size = 0;       // bytes
  std::uint32_t next_free = 0;  // the block the next memo is appended at
  // dBASE IV memo files keep a chain of freed blocks: its groups and blocks, and whether it
  // could be followed to its end.
  bool has_free_chain = false;
  std::uint32_t free_groups = 0;
  std::uint64_t free_blocks = 0;
  bool free_chain_damaged = false;
};

// A field with its place in the record (the deletion mark is byte 0).
struct FieldLayout {
  std::string name{};  // UTF-8
  char type = 'C';
  int length = 0;
  int decimals = 0;
  int offset = 0;
};

// What a table's header and the files beside it say.
struct TableDescription {
  int version = 0;             // the version byte
  std::string version_name{};  // "dBASE IV with memo", ...
  std::string last_update{};   // "YYYY-MM-DD"; empty when the header records none
  std::uint32_t records = 0;   // as the header counts them
  int header_length = 0;
  int record_length = 0;
  bool has_memo = false;                                 // the table has memo fields
  std::optional<MemoFileDescription> memo{};             // none when missing or unreadable
  bool production_index = false;                         // the header flags one
  int index_tags = -1;                                   // its tags; -1 when none or unreadable
  std::optional<int> language_driver{};                  // byte 29; none for a dBASE II table
  std::optional<std::string> language_driver_meaning{};  // none for an id nobody defines
  std::string language_driver_name{};                    // a level 7 table's driver name (UTF-8)
  std::string language_driver_text{};                    // a one-line description of the mark
  int codepage = 0;                                      // the page the table's text is read in
  std::string codepage_reason{};                         // why that page
  std::vector<FieldLayout> fields{};
};

// Describes the table at `file` (opened read-only, shared, without its memo file or index in a
// work area). Error 2 when it does not exist; DataError for a field name the page cannot read.
TableDescription describe(const std::filesystem::path& file, const OpenOptions& options = {});

// ---------------------------------------------------------------------------------------------
// Records as stored

// One field's value as stored.
struct StoredValue {
  enum class Kind {
    none,      // blank date or logical, .NULL., or a memo whose memo file is missing
    text,      // `text` in UTF-8 (character fields trimmed of blanks and NUL padding; memos)
    bytes,     // `text` holds the bytes (varbinary, binary memos)
    number,    // `text` the digits as stored (trimmed; a binary number in its shortest form)
    date,      // `text` "YYYY-MM-DD"
    logical,   // `text` "T" or "F"
    datetime,  // `text` "YYYY-MM-DDTHH:MM:SS" (".mmm" added when there are milliseconds)
  };
  Kind kind = Kind::none;
  std::string text{};
  // A number as a plain decimal (a valid JSON number); empty when the stored digits are none.
  std::string number{};
  // A memo that could not be read: `text` holds what was read (perhaps nothing).
  bool unreadable = false;
};

// One record of a walk.
struct StoredRecord {
  std::uint32_t recno = 0;
  bool deleted = false;
  std::string key{};  // UTF-8: the record's key in the walked tag, when keys were asked for
  std::vector<StoredValue> values{};  // one per field
};

// Which records a walk visits, in which order.
struct RecordWalk {
  std::string tag{};    // empty: file order; else this tag's order (UTF-8 name, any case)
  std::string index{};  // the .MDX the tag is in; empty: the production index
  bool skip_deleted = false;
  bool keys = false;  // fill StoredRecord::key
};

// What the walk receives: the field names (UTF-8) once before the first record, then each record.
struct StoredRecordSink {
  std::function<void(const std::vector<std::string>& names)> begin{};
  std::function<void(const StoredRecord& record)> record{};
};

// How a walk ended. `damaged`: a memo could not be read or had lost its end marker (each named
// in a warning), the memo file is missing, or the file is cut short: it holds `whole` records
// where its header counts `counted` (the records after the last whole one are left out).
struct StoredWalkResult {
  bool damaged = false;
  std::uint32_t counted = 0;
  std::uint32_t whole = 0;
  bool cut_short() const { return whole < counted; }
};

// Walks the records the header counts (those the file holds whole), in file or tag order. A
// memo that cannot be read, or runs into the next memo a record names (a lost end marker; the
// text is cut there), is reported through options.warn ("warning: record 3, field PLOT: ...").
// InputError for a tag or index that is not there; DataError for text the page cannot read
// (unless options.lossy).
StoredWalkResult read_stored(const std::filesystem::path& file, const RecordWalk& walk,
                             const OpenOptions& options, const StoredRecordSink& sink);

// The text (UTF-8) of the memo field `field` of record `recno`; "" when the record has none.
// InputError when there is no such memo field; Error 212 for a record beyond the table.
std::string read_memo(const std::filesystem::path& file, std::uint32_t recno,
                      std::string_view field, const OpenOptions& options = {});

// Rewrites the memo file with only the memos records name (exclusive use); answers the bytes
// saved. InputError for a table without a memo file.
std::int64_t pack_memo(const std::filesystem::path& file, const OpenOptions& options = {});

// ---------------------------------------------------------------------------------------------
// Indexes

// One tag of an index as its header and tree say.
struct TagSummary {
  std::string name{};      // UTF-8
  std::string key{};       // the key expression
  std::string for_expr{};  // the FOR condition; empty when none
  char type = 'C';         // the key type as stored
  int length = 0;
  bool unique = false;
  bool descending = false;
  std::uint32_t root = 0;  // root page (a .CDX tag: the root node's byte offset)
  int depth = 0;           // pages from the root to a leaf
  std::int64_t keys = 0;
  bool candidate = false;  // a .CDX candidate tag: every record, no key twice
  std::string collation{};  // a .CDX tag's collation when it is not byte order
  // Why the tag's header or tree cannot be read (empty when it can); the other members except
  // `name` are then unset.
  std::string damage{};
};

// Summarises every tag of the production index of `file`, or of `index` (a .MDX, whose
// extension may be left out, or a .CDX), walking each tree; a table whose header names a
// structural .CDX has its tags from there. InputError when the index does not exist.
std::vector<TagSummary> summarize_tags(const std::filesystem::path& file,
                                       const std::filesystem::path& index = {},
                                       const OpenOptions& options = {});

// ---------------------------------------------------------------------------------------------
// Expressions

// What list_expressions evaluates, over which records.
struct ExpressionList {
  std::vector<std::string> expressions{};  // UTF-8
  std::string condition{};                 // a logical expression; empty: every record
  bool deleted = false;                    // deleted records too
  std::string tag{};                       // empty: file order
  std::string index{};                     // the .MDX of the tag; empty: the production index
};

// What list_expressions gives: `begin` once every expression has compiled, then a row for each
// record whose condition is true (every value of a row is evaluated before it is given), each
// value as Table::eval gives it.
struct ExpressionRows {
  std::function<void()> begin{};
  std::function<void(std::uint32_t recno, const std::vector<Value>& values)> row{};
};

// Evaluates the expressions over the table's records. ExpressionError (vexel.hpp) for one that
// does not compile or fails; InputError with code 9 when the condition is not logical (before
// `begin`). (One expression over one record: Table::eval; over no table: vexel::evaluate.)
void list_expressions(const std::filesystem::path& file, const ExpressionList& list,
                      const OpenOptions& options, const ExpressionRows& rows);

}  // namespace vexel
