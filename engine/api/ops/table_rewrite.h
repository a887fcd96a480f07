#pragma once
// Writing a table's new files sequentially, for the commands that rewrite a table whole (pack,
// zap, copy, alter): records appended in large blocks after a given header, memos appended
// one after another in the memo file's own form, and the production index built from tag
// definitions once the table is complete. Every failure throws DataError naming the file; the
// caller's FileReplacement then removes the half-written files.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>
#include <vexel/vexel.hpp>

#include "engine/index/index_build.h"
#include "engine/memo/memo_file.h"
#include "platform/os/file.h"

namespace vx {
struct TableRecord;
}

namespace vx::ops {

class Progress;
class FileReplacement;

// A new table file: the header as given (its count and date are set at Finish), then records.
class DbfWriter {
 public:
  // `file`: the new file, open and empty (FileReplacement::CreateTemp); `path` its name.
  DbfWriter(os::File file, const std::string& path, std::vector<char> header,
            std::uint16_t record_length, bool dbase2);
  // Appends one record (record_length bytes, the deletion flag first).
  void Append(const char* record);
  // Writes what waits, the end-of-file marker and the header with the count and today's date.
  void Finish();
  std::int32_t count() const { return count_; }

 private:
  void Flush();
  std::string path_;
  os::File file_;
  std::vector<char> header_;
  std::uint16_t record_length_;
  bool dbase2_;
  std::vector<char> buffer_;
  std::uint64_t offset_;
  std::int32_t count_ = 0;
};

// A new memo file: the header block as given, then memos appended one after another.
class MemoWriter {
 public:
  // `header`: the bytes before the first memo block (padded with zeros to whole blocks);
  // `file` the new file, open and empty, `path` its name.
  MemoWriter(os::File file, const std::string& path, std::vector<char> header, MemoKind kind,
             std::uint32_t block_size, bool lossy = false);
  // Stores a memo's text in this file's form and answers its block (0 for an empty text). A
  // dBASE III memo ends at its first byte 0x1A, so it cannot hold one: such a text is an
  // InputError naming `where` ("record 3, field NOTES"), or, with `lossy`, stored cut before
  // that byte (as every reader would read it) and counted.
  std::int32_t AppendText(std::string_view text, const std::string& where);
  // How many memos `lossy` stored cut; tells the caller when any were.
  std::size_t cut() const { return cut_; }
  void ReportCuts(const vexel::OpenOptions& options) const;
  // Stores a memo already in this file's form (its block header first); answers its block.
  std::int32_t AppendStored(std::string_view bytes);
  // Writes what waits and the header's next free block (the end of the dBASE IV free chain).
  void Finish();
  std::uint64_t size() const { return end_; }
  MemoKind kind() const { return kind_; }

 private:
  std::int32_t Place(std::string_view bytes, std::uint64_t blocks);
  void Flush();
  std::string path_;
  os::File file_;
  MemoKind kind_;
  std::uint32_t block_size_;
  std::vector<char> buffer_;
  std::uint64_t flushed_ = 0;  // bytes of the file written
  std::uint64_t end_ = 0;      // bytes of the file once the buffer is written
  bool lossy_;
  std::size_t cut_ = 0;
};

// Copies memo `block` of `from` into `to` (raw when both are of the same form) and answers the
// new block. A memo that cannot be read throws DataError naming the record and the field.
std::int32_t CopyMemoInto(MemoFile& from, std::int32_t block, MemoWriter& to, std::int32_t record,
                          const std::string& field);

// The header bytes of an open table, as stored.
std::vector<char> ReadHeaderBytes(TableRecord& table);
// The memo file's header block(s) as stored, zero-padded to whole blocks.
std::vector<char> ReadMemoHeader(MemoFile& memo);

// The definitions of every tag of an index file, in the order of its tag table.
std::vector<TagDefinition> ReadTagDefinitions(const std::string& index_path);

// Builds the production index of the table `temp_table` (closed, complete) from `tags` and
// writes `final_table`'s name into it, as the index of the table it will become; the index is
// then `replacement`'s temporary file number `index_entry`.
void BuildProductionIndex(const std::string& temp_table, const std::string& final_table,
                          const std::vector<TagDefinition>& tags, Progress& progress,
                          FileReplacement& replacement, std::size_t index_entry);

// Writes the memo file again without the space no record uses, as pack does but keeping every
// record (deleted ones too): table, memo file and index replaced as one through the journal.
// Answers the bytes saved. InputError when the table has no memo file.
std::int64_t PackMemoFile(const std::string& file, const vexel::OpenOptions& options);

// Checks a new table before it replaces anything: it opens, and holds `records` records.
void VerifyNewTable(const std::string& path, std::int32_t records);

}  // namespace vx::ops
