#pragma once
// Vexel: dBASE-family tables (.DBF), their memo files (.DBT, .FPT) and production indexes (.MDX)
// for C++20 programs. This is the only header a program includes.
//
//   vexel::Table films = vexel::open("films.dbf");
//   for (const vexel::Record& r : films.order("TITLE", std::string("M")))
//     std::cout << r.text("TITLE") << "\n";
//   if (auto n = films.seek("TITLE", std::string("Metropolis"))) films.remove(*n);
//
// Files are shared with other dBASE programs under their lock and semaphore protocols: every
// edit locks what it changes, keeps every tag of the production index and the memo file current,
// and sees what the other programs changed. Text goes in and out as UTF-8 and is stored in the
// table's code page.
//
// Threads: each Engine has work areas, settings and indexes of its own, so two threads that use
// two Engines run at the same time. An Engine serves one call at a time (each call takes the
// engine's mutex), so sharing one between threads is safe but serial. The whole-table
// operations (inspect.hpp, edit.hpp, indexing.hpp, maintenance.hpp, codepage_assistant.hpp)
// each run on an engine of their own.
// Two Engines that open one file lock it against each other as two programs do. A Table keeps
// its engine alive; cursors, locks and expressions keep their table's state alive, and once the
// Table is closed or destroyed their calls fail with Error 215 (their destructors never throw).

#include <compare>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>
#include <vexel/codepage.hpp>
#include <vexel/folder.hpp>

namespace vexel {

// ---------------------------------------------------------------------------------------------
// Errors

// What kind of failure an Error is, one kind per class below (engine: a plain Error).
enum class ErrorKind { engine, lock, input, not_supported, data };

// What the person who asked for an operation can do about its refusal or its warning. The
// library names the remedy and what it does; each program words the remedy in its own terms
// (an option, a menu item), and what() words it as this library's options.
enum class Remedy {
  other_code_page,  // read or write the text in another page (OpenOptions::codepage)
  lossy,            // store what does not convert as "?", or cut (OpenOptions::lossy)
  ignore_index,     // edit anyway and leave the index stale (OpenOptions::ignore_index)
  repair,           // mend what a check found: rebuild the failed tags (check_table with repair)
  check,            // see the damage (check_table)
  overwrite,        // replace what is there (the overwrite option of create and copy)
  repair_ndx,       // build a damaged .NDX again from its own key (check_ndx with repair)
  reindex,          // rebuild every tag of the index from its definition (Table::reindex)
  add_tag,          // build a new production index, tag by tag (Table::add_tag)
  build_ndx,        // write the .NDX again (build_ndx)
};

// One piece of advice: a remedy and what it does ("stores \"?\"").
struct Advice {
  Remedy remedy;
  std::string effect;
};

// This library's words for a remedy: "the lossy option", "check_table with repair", ...
std::string remedy_words(Remedy remedy);

// A fault followed by its advice in brackets, each remedy worded by `words` (this library's when
// null): "\"é\" has no place in code page 437 (the lossy option stores \"?\")".
std::string advised(const std::string& fault, const std::vector<Advice>& advice,
                    std::string (*words)(Remedy) = nullptr);

// Every failure: the engine's error code (the numbers dBASE programs know: 2 file not found, 210
// not a dBASE data file, 220 invalid parameter, 222 corrupted index file, 351 error in expression,
// ...) and a message that names the file, record and field concerned. kind() tells the class
// apart without a cascade of catch clauses (a binding maps it to its own exception types).
// Where the caller can do something about it, advice() says what, and what() ends with it in
// this library's words; fault() is the message without it, for a program that words the advice
// as its own options.
class Error : public std::runtime_error {
 public:
  Error(int code, const std::string& message, std::vector<Advice> advice = {})
      : Error(ErrorKind::engine, code, message, std::move(advice)) {}
  int code() const noexcept { return code_; }
  ErrorKind kind() const noexcept { return kind_; }
  const std::string& fault() const noexcept;
  const std::vector<Advice>& advice() const noexcept;

 protected:
  Error(ErrorKind kind, int code, const std::string& message, std::vector<Advice> advice = {});

 private:
  struct Details;
  int code_;
  ErrorKind kind_;
  std::shared_ptr<const Details> details_;  // shared: copying an exception does not throw
};

// A lock another program (or another Table of this process) holds, still held after the
// retries OpenOptions allows: a record, the append lock, the file, the memo file or the
// index's semaphore. Nothing was changed.
class LockError : public Error {
 public:
  LockError(int code, const std::string& message) : Error(ErrorKind::lock, code, message) {}
};

// A request that does not fit the table: values that do not fit their fields, a field or tag
// that does not exist, text the table's code page cannot hold. Nothing was changed.
class InputError : public Error {
 public:
  InputError(int code, const std::string& message, std::vector<Advice> advice = {})
      : Error(ErrorKind::input, code, message, std::move(advice)) {}

 protected:
  InputError(ErrorKind kind, int code, const std::string& message,
             std::vector<Advice> advice = {})
      : Error(kind, code, message, std::move(advice)) {}
};

// What this library does not do with a table it otherwise reads: a dBASE level 7 index (its
// records read; its tags cannot be used, and edits, which would leave it stale, are refused).
// Nothing was changed.
class NotSupportedError : public InputError {
 public:
  NotSupportedError(int code, const std::string& message, std::vector<Advice> advice = {})
      : InputError(ErrorKind::not_supported, code, message, std::move(advice)) {}
};
using NotSupported = NotSupportedError;  // the earlier name

// A field definition that create() or alter_table refuses (see check_fields, maintenance.hpp),
// so that a program can tell a wrong definition from other refusals.
class DefinitionError : public InputError {
 public:
  using InputError::InputError;
};

// An expression that does not compile or fails while it is evaluated. what() is the engine's
// message in UTF-8, with its line breaks, quoting the expression.
class ExpressionError : public InputError {
 public:
  using InputError::InputError;
};

// A file that cannot be read or written as asked: text that is no text of the table's code
// page, a memo that cannot be read, a disk that refused a write.
class DataError : public Error {
 public:
  DataError(int code, const std::string& message, std::vector<Advice> advice = {})
      : Error(ErrorKind::data, code, message, std::move(advice)) {}
};

// ---------------------------------------------------------------------------------------------
// Values

// shared: other programs may open, read and edit the table at the same time (locks are taken
// for every edit); exclusive: nobody else may open it; read_only: shared, and every edit is
// refused.
enum class OpenMode { shared, exclusive, read_only };

// A warning or note for the person running the program: its text, with any advice in this
// library's words, and the fault and the advice apart for a program that words the advice as
// its own options (Error's fault() and advice()).
struct Warning {
  Warning(std::string fault, std::vector<Advice> advice = {})
      : text(advised(fault, advice)), fault(std::move(fault)), advice(std::move(advice)) {}
  std::string text;
  std::string fault;
  std::vector<Advice> advice;
  // A callback that takes a string takes the text.
  operator const std::string&() const noexcept { return text; }
};

// How a call opens its table: vexel::open and Engine::open (the Table keeps them), and every
// whole-table operation (inspect.hpp, edit.hpp, indexing.hpp, maintenance.hpp,
// codepage_assistant.hpp), which opens the table itself and closes it again.
struct OpenOptions {
  // Shared by default. The operations that rewrite or rebuild a table's files (pack, zap, copy,
  // alter, index builds) take it exclusively whatever this says. A read_only operation that
  // would write is refused (InputError) before anything is opened.
  OpenMode mode = OpenMode::shared;
  // The code page the table's text is stored in. 0: the table's language driver mark (byte 29,
  // or a level 7 table's driver name), else the locale's DOS (OEM) code page, or with `ansi` its
  // Windows (ANSI) page.
  int codepage = 0;
  bool ansi = false;
  // Open even when the production index cannot be read; edits then leave it stale (reindex
  // rebuilds it) and a warning says so. Without this such an edit is refused, and vexel::open
  // refuses the table unless read_only: a reader never needs the index (nor the memo file) to be
  // sound, and Table::warnings() says what it does without.
  bool ignore_index = false;
  // Extra attempts after a lock is refused, and the pause between them in milliseconds: by
  // default two more attempts, 100 ms apart. A program that should fail at once sets both to 0.
  int lock_retries = 2;
  int lock_wait_ms = 100;
  // dBASE III index files (.NDX) that edits keep current beside the production index (not
  // read_only): a name without extension gets ".NDX", one without a folder the table's folder.
  // One that is missing, damaged or does not agree with the table refuses the edit before
  // anything is written.
  std::vector<std::filesystem::path> ndx_files{};
  // Another index whose tags a Table reads in place of its production index: an .MDX (a name
  // without extension gets ".MDX", one without a folder the table's folder) or a FoxPro .CDX.
  // InputError when it is missing. Its tags are only read: every edit of the Table is refused
  // (an edit would leave the production index stale).
  std::filesystem::path index{};
  // The whole-table operations: text that does not convert becomes "?" and is counted (a note
  // says how many), instead of an InputError or DataError naming the record and field.
  bool lossy = false;
  // The whole-table operations: messages for the person running the program, a line each
  // without its end of line: warnings ("warning: ...") and notes. Null: dropped. A function of a
  // string gets the text. (A vexel::Table keeps its warnings in Table::warnings().)
  std::function<void(const Warning& warning)> warn{};
  // The whole-table operations: how far long work has come: what it does ("pack", "index"), how
  // much of `total` is done. done < 0 ends that piece of work. Null: not told. While pack, copy
  // and alter copy the records (labels "pack", "copy", "alter") it may throw to stop the work:
  // the table's files stay as they were, and an exception of the caller's own type (not a
  // std::exception) reaches the caller unchanged. Elsewhere ("index", "append") a throw is no
  // way to stop.
  std::function<void(const std::string& label, std::int64_t done, std::int64_t total)> progress{};
};

// One field of a table, type as stored: 'C' character, 'N' number, 'F' float, 'D' date,
// 'L' logical, 'M' memo (and the other memo-block types 'B', 'G', 'P', 'W': pictures, objects
// and binary memos read as bytes). Visual FoxPro: 'I' integer, 'B' double, 'Y' currency, 'T'
// date-time, 'V' varchar, 'Q' varbinary (bytes); dBASE level 7: 'I' integer, '+' autoincrement,
// 'O' double, '@' timestamp.
struct Field {
  std::string name{};  // UTF-8, upper case as stored
  char type = 'C';
  int length = 0;
  int decimals = 0;
  // Read only: the values are bytes, not text (Q, pictures, objects, binary memos).
  bool binary = false;
  // Read only: a Visual FoxPro field that may be .NULL.
  bool nullable = false;
  bool operator==(const Field&) const = default;
};

// A calendar date (proleptic Gregorian).
struct Date {
  int year = 0;
  int month = 0;
  int day = 0;
  auto operator<=>(const Date&) const = default;
};

// A date and time of day (T and @ fields).
struct DateTime {
  Date date{};
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
  auto operator<=>(const DateTime&) const = default;
};

// A field's value. monostate: blank (a blank or unreadable date or number, a logical "?" or
// blank) or .NULL. (Record::is_null tells them apart). Character and memo text: UTF-8, trailing
// blanks removed (an empty field or memo is ""); a byte the code page lacks reads as "?". Binary
// memos (pictures, objects) come back as bytes. Numbers: int64 when the field has no decimals and
// the value fits, else double (Record::text gives the exact stored digits); integer fields (I, +)
// give int64, the other binary numbers (B, O, Y) double. Date-times: DateTime. Varbinary (Q) and
// binary memos: their bytes.
using Value = std::variant<std::monostate, std::string, std::int64_t, double, Date, bool, DateTime>;

// The values an edit assigns, by field name (any case). monostate stores the field's blank
// (blanks in a number, date or logical field), or .NULL. in a field that may be null.
using Assignments = std::vector<std::pair<std::string, Value>>;

class Table;
class Engine;
class RecordBlock;  // vexel/block.hpp

// A snapshot of one record, taken when it was read; later edits do not change it.
class Record {
 public:
  Record() = default;
  std::uint32_t recno() const noexcept { return recno_; }
  bool deleted() const noexcept { return deleted_; }
  std::size_t size() const noexcept { return values_.size(); }
  // Field i (0-based) or by name (any case); Error 220 for no such field.
  const Value& operator[](std::size_t i) const;
  const Value& operator[](std::string_view name) const;
  // The field as stored, in UTF-8, trailing blanks removed: a number's digits, a date as
  // YYYYMMDD, a logical's letter, a memo's text.
  const std::string& text(std::size_t i) const;
  const std::string& text(std::string_view name) const;
  // Whether the field is .NULL. (a Visual FoxPro table's null flag); its value is then blank.
  bool is_null(std::size_t i) const;
  bool is_null(std::string_view name) const;
  const std::vector<Field>& fields() const;

 private:
  friend class Table;
  friend struct RecordAccess;
  std::size_t index_of(std::string_view name) const;
  std::uint32_t recno_ = 0;
  bool deleted_ = false;
  std::shared_ptr<const std::vector<Field>> fields_;
  std::vector<Value> values_;
  std::vector<std::string> texts_;
  std::vector<bool> nulls_;  // empty when no field is .NULL.
};

// ---------------------------------------------------------------------------------------------
// Cursors

// A forward walk over records: while (c.next()) use(c.record()); or for (const Record& r : c).
// The table may be edited during a walk; the walk goes on from the record it stands on.
class Cursor {
 public:
  class iterator {
   public:
    using iterator_category = std::input_iterator_tag;
    using value_type = Record;
    using difference_type = std::ptrdiff_t;
    using pointer = const Record*;
    using reference = const Record&;
    iterator() = default;
    reference operator*() const { return cursor_->record(); }
    pointer operator->() const { return &cursor_->record(); }
    iterator& operator++() {
      if (!cursor_->next()) cursor_ = nullptr;
      return *this;
    }
    void operator++(int) { ++*this; }
    bool operator==(const iterator& other) const { return cursor_ == other.cursor_; }

   private:
    friend class Cursor;
    explicit iterator(Cursor* cursor) : cursor_(cursor) {}
    Cursor* cursor_ = nullptr;
  };

  Cursor(Cursor&&) noexcept;
  Cursor& operator=(Cursor&&) noexcept;
  ~Cursor();

  // Moves to the next record; false at the end.
  bool next();
  // The record next() moved to (Error 220 before the first next() or after the end).
  const Record& record() const;
  // Moves over up to `count` records at once and puts them into `block` (which then holds
  // them alone); answers how many (0 at the end). Faster than next() for many records: nothing
  // is decoded before the block is asked, and a scan reads them with one read of the file.
  // record() stands on no record afterwards.
  std::size_t next(RecordBlock& block, std::size_t count);
  // Starts the walk (calls next()).
  iterator begin();
  iterator end() { return {}; }

  struct Impl;

 private:
  friend class Table;
  explicit Cursor(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// ---------------------------------------------------------------------------------------------
// Indexes and expressions

// exact: the whole key equals (blanks pad a shorter character key); prefix: a character key that
// begins with the given text (numbers and dates: equal); soft: the first key at or after the
// given one (nullopt only past the last key).
enum class SeekMode { exact, soft, prefix };

// A tag of the table's production index.
struct TagInfo {
  std::string name{};
  std::string key{};       // the key expression
  std::string for_expr{};  // the FOR condition, empty when none
  bool descending = false;
  bool unique = false;
  char key_type = 'C';  // 'C', 'N' (also for F keys) or 'D'
  // false: a tag whose keys this library cannot make (a FoxPro .CDX tag in another collation
  // than byte order): its order is walked whole, but it is not searched or walked by key range.
  bool searchable = true;
};

// A tag to add: the key expression (dBASE syntax), an optional FOR condition.
struct NewTag {
  std::string name{};  // at most 10 characters
  std::string key{};
  std::string for_expr{};
  bool descending = false;
  bool unique = false;
};

// A compiled dBASE expression over one table's fields (Table::compile) or over none (compile).
// Its value (Table::eval, evaluate) is a Value as a field's: text for C and M (UTF-8, blanks
// kept; an expression that is a memo field alone gives the memo's text with its line ends), a
// number for N (int64 when the expression has no decimals and the value is whole, else double),
// a Date for D (monostate for a blank date), bool for L.
class Expression {
 public:
  Expression(Expression&&) noexcept;
  Expression& operator=(Expression&&) noexcept;
  ~Expression();
  // 'C', 'N', 'D', 'L' or 'M'.
  char type() const;
  // The width of its values as the engine gives them (a number's digits with sign and point,
  // a text's length) and a number's decimals.
  int width() const;
  int decimals() const;
  const std::string& text() const;

  struct Impl;

 private:
  friend class Table;
  friend Expression compile(std::string_view expression);
  friend Value evaluate(const Expression& expression);
  explicit Expression(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// ---------------------------------------------------------------------------------------------
// Locks

// Holds the lock of one record (RAII): read it, assign fields, commit; released when destroyed.
// Obtained from Table::lock; LockError when another program holds the record.
class RecordLock {
 public:
  RecordLock(RecordLock&&) noexcept;
  RecordLock& operator=(RecordLock&&) noexcept;
  ~RecordLock();

  std::uint32_t recno() const;
  // The record as it is now (read again under the lock).
  Record record() const;
  // Assigns a field; nothing is written before commit(). Values are checked here (Error naming
  // the field when one does not fit).
  RecordLock& set(std::string_view field, const Value& value);
  // Writes the assigned fields (and their memos), keeps every tag current.
  void commit();
  void remove();  // deletion mark
  void recall();  // clears the mark
  // Releases the lock now (assignments not committed are dropped).
  void release();

  struct Impl;

 private:
  friend class Table;
  explicit RecordLock(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// Holds the table's append lock (RAII) for many appends; released when destroyed.
class AppendLock {
 public:
  AppendLock(AppendLock&&) noexcept;
  AppendLock& operator=(AppendLock&&) noexcept;
  ~AppendLock();

  // Appends one record (fields not named are blank); answers its record number.
  std::uint32_t append(const Assignments& values);
  // Appends the rows in order, each as append() does, in one call: the index's update bracket
  // is taken once for many rows (and let go at least every 50 ms, so other programs wait no
  // longer). Answers the first new record's number (0 for no rows). A row that fails stops the
  // call with its error; the rows before it stay appended.
  std::uint32_t append_many(const std::vector<Assignments>& rows);
  // The append() calls that follow share the index's update bracket, as the rows of one
  // append_many() call do (let go at least every 50 ms while appends go on), until end_batch(),
  // release() or the table's close. For a caller whose rows come one call at a time with no
  // wait between them: between the calls other programs' readers and writers of the index
  // wait, so a caller that may pause ends the batch first. end_batch() writes what the batch
  // holds back and lets the bracket go; when a write fails it raises, and the rows appended
  // since the bracket was last let go are taken back.
  void begin_batch();
  void end_batch();
  void release();

  struct Impl;

 private:
  friend class Table;
  explicit AppendLock(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// ---------------------------------------------------------------------------------------------
// Tables

class Table {
 public:
  Table(Table&&) noexcept;
  Table& operator=(Table&&) noexcept;
  // Closes the table (errors on closing are swallowed; call close() to see them).
  ~Table();
  void close();
  bool is_open() const noexcept;

  // Schema and header.
  const std::vector<Field>& fields() const;
  std::optional<std::size_t> field_index(std::string_view name) const;
  // Records in the file, including those other programs appended since it was opened.
  std::uint32_t size() const;
  int codepage() const;
  std::filesystem::path path() const;
  OpenMode mode() const;
  // The version byte (0x03, 0x83, 0x8B, 0xF5, 0x04, 0x8C, ...).
  int version() const;
  // What the open did without, in words: a memo file that cannot be opened (memo fields then
  // read as blank), a production index that cannot be read (no tags). Only read_only opens
  // (and ignore_index, for the index) go on without them; also what the open got past (an
  // index read without its semaphore file, which this user may not write). Empty when nothing
  // was missing.
  const std::vector<std::string>& warnings() const;

  // Reading. Record numbers run from 1 to size(); Error 212 beyond.
  Record read(std::uint32_t recno) const;
  // Every record in file order, deleted ones included (Record::deleted).
  Cursor scan() const;
  // The records of a tag in key order, deleted ones included. from: the first key (a soft seek);
  // to: the last key (inclusive; a character `to` also takes in keys that begin with it).
  Cursor order(std::string_view tag, std::optional<Value> from = {},
               std::optional<Value> to = {}) const;
  // The records in file order for which a dBASE condition is true ("YEAR > 1950 .AND.
  // .NOT. DELETED()"); ExpressionError (351, 362) for a condition that does not compile or is
  // not logical.
  Cursor where(std::string_view condition) const;
  // The record a tag finds for a key (a string for a character tag, a number for N, a Date;
  // or a number's or date's text: "1902.5", "1902-01-02", "19020102", "01/02/1902", "01/02/56"
  // with a two-digit year from 56 in the 1900s): a tag of the production index (or of
  // OpenOptions::index), or one of the .NDX files of OpenOptions::ndx_files, named by its file
  // name ("NAMES.NDX"). InputError for a tag that is not there or a key the code page cannot
  // hold; InputError with code 9 (data type mismatch) for a key of another type.
  std::optional<std::uint32_t> seek(std::string_view tag, const Value& key,
                                    SeekMode mode = SeekMode::exact) const;
  // The same seek, answering the record itself (one read less than seek() and read()).
  std::optional<Record> find(std::string_view tag, const Value& key,
                             SeekMode mode = SeekMode::exact) const;

  // Writing (Error 5 on a read-only table). Each call takes and releases the locks it needs
  // (update/remove/recall use a RecordLock this Table already holds on the record). Appended
  // records enter the header's count when the append lock is released.
  RecordLock lock(std::uint32_t recno);
  AppendLock lock_append();
  void update(std::uint32_t recno, const Assignments& values);
  std::uint32_t append(const Assignments& values);
  void remove(std::uint32_t recno);
  void recall(std::uint32_t recno);

  // Tags of the production index (or of OpenOptions::index; empty when there is none), then one
  // for each .NDX of OpenOptions::ndx_files, named by its file name ("NAMES.NDX"), which
  // order(), seek() and find() take as a tag.
  std::vector<TagInfo> tags() const;
  // Adds a tag (replacing one of the same name); creates the production index when missing (a
  // FoxPro table's tags go into its structural .CDX, made and named in its header when it has
  // none). The name and expressions are UTF-8, stored in the table's code page (InputError when
  // they do not fit it, unless OpenOptions::lossy). `fill_percent` (1..100, else InputError
  // before anything) of each built leaf is filled, leaving room for later inserts. Needs the
  // table to itself: a shared table is reopened for the build (Error 225 when another program
  // has it open); InputError 5 when opened read_only, InputError when opened with another
  // OpenOptions::index. The build reports progress as "index" and the engine's warnings
  // through the OpenOptions the table was opened with.
  void add_tag(const NewTag& tag, int fill_percent = 100);
  // Rebuilds every tag of the production index from its definition (as add_tag); InputError
  // when the table has none. Trees that are damaged are built again; an index whose header
  // cannot be read (the table opens with it only with ignore_index) fails with the reason. (The
  // check of a table and its index is vexel::check_table, <vexel/indexing.hpp>: it works on
  // tables that cannot be opened here for writing.)
  void reindex(int fill_percent = 100);

  // Expressions over this table's fields (ExpressionError when one does not compile), evaluated
  // against record `recno`, or with recno 0 against a blank record (every field blank, as a
  // table without records has it). Error 212 for a record beyond the table; ExpressionError
  // when the evaluation fails (358 division by zero, ...).
  Expression compile(std::string_view expression) const;
  Value eval(const Expression& expression, std::uint32_t recno) const;
  Value eval(std::string_view expression, std::uint32_t recno) const;

  struct Impl;

 private:
  friend class Engine;
  explicit Table(std::shared_ptr<Impl> impl);
  std::shared_ptr<Impl> impl_;
};

// ---------------------------------------------------------------------------------------------
// Engines

// How create() makes a table.
struct CreateOptions {
  // The table's kind, as its version byte: 0x03 dBASE III (0x83 with a memo file, .DBT), 0x8B
  // dBASE IV with a memo file (.DBT), 0xF5 FoxPro with a memo file (.FPT), 0x04 dBASE level 7
  // (0x8C with a memo file, .DBT), 0x30 Visual FoxPro, 0x31 Visual FoxPro with an autoincrement
  // field (.FPT). A kind "with a memo file" is written without its memo bit when no field needs
  // one. 0: dBASE IV (0x8B).
  std::uint8_t version = 0;
  // The code page of the table's text, written as its language driver mark (or, for a page no
  // mark names, such as 65001 UTF-8, as a .cpg file beside it); 0: 1252, Windows Latin 1.
  int codepage = 0;
  bool overwrite = false;  // replace an existing table, its memo file and production index
  // Field names may also hold letters beyond ASCII that the code page has ("NOTÉ"), stored in
  // that page; without it a name is letters A-Z, digits and "_", as check_fields requires.
  bool national_names = false;
  OpenOptions open{};  // how the new table is opened
};

// Owns open tables (33 work areas), settings and error state, apart from every other Engine.
// One call at a time per engine; two engines run in two threads at once (see above).
class Engine {
 public:
  Engine();
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  Table open(const std::filesystem::path& path, const OpenOptions& options = {});
  // Creates an empty table FILE (".DBF" added when it has no extension) and, when a field needs
  // one, its memo file, and opens it. The definitions are checked first (check_fields,
  // maintenance.hpp: DefinitionError naming the field); no field at all, an unknown version or
  // a code page without a language driver is an InputError; an existing table is an InputError
  // unless `overwrite`, and with it a LockError when another program has the table, its memo
  // file or index open. Every refusal comes before anything is removed or written; an existing
  // table is replaced by the new one in one step (the old files stay whole until then).
  Table create(const std::filesystem::path& path, const std::vector<Field>& fields,
               const CreateOptions& options = {});

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

// The engine vexel::open and vexel::create use, made on first use.
Engine& default_engine();
Table open(const std::filesystem::path& path, const OpenOptions& options = {});
Table create(const std::filesystem::path& path, const std::vector<Field>& fields,
             const CreateOptions& options = {});

// An expression over no table: constants and functions alone (a field name does not compile),
// its text in the Windows (ANSI) page. compile() keeps it (its type, width and decimals);
// evaluate() gives its value. ExpressionError as Table::compile and Table::eval.
Expression compile(std::string_view expression);
Value evaluate(const Expression& expression);
Value evaluate(std::string_view expression);

// The text a number field (N, F) `length` wide with `decimals` decimals stores for `value`, by
// the rule every writer of this library follows: the number's decimal value (its 15 significant
// digits, so 2.675 is 2.675) rounded half away from zero, right-aligned, never "-0". No value
// when it does not fit the width. For callers that check values before they hand them over.
std::optional<std::string> number_field_text(double value, int length, int decimals);

// The library's version ("0.1.0").
const char* version() noexcept;

}  // namespace vexel

#include <vexel/block.hpp>
