#pragma once
// Editing a table by path with values given as text, for programs that take them from people or
// other files (import tools, command lines, scripts): append many rows, set fields of one record,
// delete and recall, and locate records. Each call opens the table itself (OpenOptions say
// how), takes the locks a shared table needs under the dBASE lock and semaphore protocols, keeps
// every tag of the production index and the memo file current, and closes the table again.
//
//   vexel::RowInput input;
//   input.columns = {"TITLE", "YEAR"};
//   input.next = [&](vexel::TextRow& row) { ... return more; };
//   std::uint64_t added = vexel::append_rows("films.dbf", input);
//   vexel::set_fields("films.dbf", 3, {{"YEAR", "1959"}});
//
// Values are UTF-8 text as a person writes them: a character value no longer than its field, a
// number in plain decimal form that fits the field's width, a date as YYYY-MM-DD or YYYYMMDD, a
// logical as T/F, Y/N, TRUE/FALSE, YES/NO or 1/0 (empty or "?" for none), memo text of any
// length. Text is stored in the table's code page (OpenOptions::codepage, else the table's
// mark): a character that page lacks is an InputError naming the row and field, or with
// OpenOptions::lossy a "?" that is counted and reported through OpenOptions::warn.
//
// Before an edit, a rewrite of the table that a killed process left half done (pack, zap, alter)
// is undone, and a warning says so. An edit whose production index cannot be kept current is
// refused before anything is written unless OpenOptions::ignore_index asks for it (the index
// is then stale, and a warning says so).

#include <cstdint>
#include <filesystem>
#include <functional>
#include <istream>
#include <string>
#include <string_view>
#include <vector>
#include <vexel/vexel.hpp>

namespace vexel {

// One value of an edit: the field (its name in any case, UTF-8) and its text. `null`: no value
// at all (a JSON null): .NULL. in a field that may be null, else the field's blank.
struct FieldText {
  std::string field{};
  std::string text{};
  bool null = false;
};

// One row to append and where it came from ("row 3", "line 2"), which messages about it name.
struct TextRow {
  std::string origin{};
  std::vector<FieldText> values{};
};

// The rows append_rows reads, one at a time.
struct RowInput {
  // A header naming the fields every row gives values for, in that order (a CSV header): each
  // name must be a field and none may come twice (messages call it `columns_origin`). Each row
  // then holds one value per column in that order, and the values' `field` is not looked at.
  // Empty: every value names its own field, and a row may not name one twice.
  std::vector<std::string> columns{};
  std::string columns_origin = "the header";
  // Fills `row` (the same object from call to call: set every member) and answers true, or
  // answers false at the end of the input. An exception it throws ends the append with nothing
  // written and reaches the caller unchanged.
  std::function<bool(TextRow& row)> next{};
};

// Appends the rows `input` gives and answers their number. Every row is read and checked against
// the table first (kept in a temporary file beside the table), so that a row that does not fit
// (InputError naming the row and the field) leaves the table as it was; then all of them are
// appended under the table's append lock, their memos written in batches. Fields a row does not
// name are left blank (no value), as a dBASE program leaves them. A write that fails on the way
// (a full disk) keeps the rows that went in: the DataError names the row that failed and how
// many rows, which records, were appended before it. DataError for a table whose
// file was cut short (its header counts records that are gone); LockError when the append lock
// stays held by another program.
std::uint64_t append_rows(const std::filesystem::path& table, const RowInput& input,
                          const OpenOptions& options = {});

// The rows of text in two forms, CSV and JSON lines, for append_rows. `in` must outlive
// the answer. InputError (nothing appended) for input in neither form.
// CSV (RFC 4180): a header line naming the fields, then one value per column on each line;
// quoted values may hold commas, doubled quotes and line breaks; a UTF-8 byte-order mark first
// is passed over, empty lines are skipped, rows are named "row N" by the line they start on. The
// header is read here.
RowInput csv_rows(std::istream& in);
// JSON lines: one flat object a line ({"TITLE": "Vertigo", "YEAR": 1958}), its keys the fields;
// strings, numbers as written, true and false (as T and F) and null (no value); blank lines are
// skipped, rows are named "line N".
RowInput json_rows(std::istream& in);

// Sets fields of record `recno` under its lock: the record is read again once the lock is
// granted, the values are put into it (InputError, nothing written, when one does not fit or a
// field is named twice) and written with its memos and keys. Error 212 for a record that does not
// exist; LockError when another program holds the record.
void set_fields(const std::filesystem::path& table, std::uint32_t recno,
                const std::vector<FieldText>& values, const OpenOptions& options = {});

// Marks record `recno` deleted, or clears its mark, under the record's lock; the tags whose FOR
// condition asks DELETED() follow.
void delete_record(const std::filesystem::path& table, std::uint32_t recno,
                   const OpenOptions& options = {});
void recall_record(const std::filesystem::path& table, std::uint32_t recno,
                   const OpenOptions& options = {});

// Searches the records in file order for those whose field matches `value` (UTF-8), as dBASE's
// LOCATE does: `condition` is "FIELD [NOCASE] [EXACT] [CONTAINED]" (NOCASE: in any case; EXACT:
// the whole field, blanks included; CONTAINED: anywhere in the field; otherwise the field begins
// with the value, trailing blanks of the value ignored). Calls `found` with each matching record
// number until it answers false; answers how many it was called with. Error 220 for a field that
// does not exist.
std::uint64_t locate(const std::filesystem::path& table, std::string_view condition,
                     std::string_view value, const std::function<bool(std::uint32_t recno)>& found,
                     const OpenOptions& options = {});

}  // namespace vexel
