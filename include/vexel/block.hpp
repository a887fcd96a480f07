#pragma once
// Reading many records at once: a RecordBlock holds records as the file stores them and decodes
// a field when asked, one value or one whole column at a time. Fill one from any Cursor:
//
//   vexel::Cursor all = films.scan();
//   vexel::RecordBlock block;
//   std::vector<std::int64_t> years;
//   while (all.next(block, 4096) > 0) {
//     std::vector<std::int64_t> part(block.size());
//     block.whole_numbers(*films.field_index("YEAR"), part.data(), nullptr);
//     years.insert(years.end(), part.begin(), part.end());
//   }
//
// A scan's block is one read of the file: the record count is read again from the file first
// (records another program appended are seen), and no lock or index is consulted (a record
// another program holds locked reads as it is on disk, as Table::read does).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>
#include <vexel/vexel.hpp>

namespace vexel {

class RecordBlock {
 public:
  RecordBlock();
  RecordBlock(const RecordBlock&);
  RecordBlock(RecordBlock&&) noexcept;
  RecordBlock& operator=(const RecordBlock&);
  RecordBlock& operator=(RecordBlock&&) noexcept;
  ~RecordBlock();

  // Records held (0 before the first fill and after the end of a cursor).
  std::size_t size() const noexcept { return recnos_.size(); }
  bool empty() const noexcept { return recnos_.empty(); }
  const std::vector<Field>& fields() const;

  // Row i (0-based, below size(); Error 220 beyond) of the block.
  std::uint32_t recno(std::size_t row) const;
  bool deleted(std::size_t row) const;
  // A field's bytes as stored, padding included (a memo field: its block pointer).
  std::string_view stored(std::size_t row, std::size_t field) const;
  // A field's value and text as Record gives them. Memo text is read from the memo file now
  // (Error 215 once the table is closed).
  Value value(std::size_t row, std::size_t field) const;
  std::string text(std::size_t row, std::size_t field) const;
  Record record(std::size_t row) const;

  // One field of every row, into the caller's arrays of size() entries; `blank`, when not null,
  // gets 1 where the value is blank (else 0). Error 220 for a field of another type.
  // N and F: the numbers as whole numbers (0 for blank); false, with `out` unfinished, as soon as
  // a value is a number that is not a whole one of 64 bits (use numbers() then).
  bool whole_numbers(std::size_t field, std::int64_t* out, std::uint8_t* blank) const;
  // N and F: the numbers (NaN for blank).
  void numbers(std::size_t field, double* out, std::uint8_t* blank) const;
  // D: days since 1970-01-01 (INT64_MIN for a blank or invalid date).
  void days(std::size_t field, std::int64_t* out, std::uint8_t* blank) const;
  // L: 1 for true, 0 for false or blank.
  void logicals(std::size_t field, std::uint8_t* out, std::uint8_t* blank) const;
  // Any field: each row's text in UTF-8 (as value() gives a character or memo field, as text()
  // the others) appended to `joined`, and where it ends there to `ends` (size() entries).
  void texts(std::size_t field, std::string& joined, std::vector<std::size_t>& ends) const;
  // Any field: each row's value (as value() gives it) appended to `out`. The memos of a
  // block are read together, faster than one value() at a time.
  void values(std::size_t field, std::vector<Value>& out) const;

  struct Layout;

 private:
  friend struct BlockAccess;
  std::shared_ptr<Table::Impl> table_;
  std::shared_ptr<const Layout> layout_;
  std::vector<char> bytes_;  // size() records of the table's record length
  std::vector<std::uint32_t> recnos_;
};

}  // namespace vexel
