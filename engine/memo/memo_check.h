#pragma once
// Verifying a table's memo pointers against its memo file without changing either. A memo
// field holds its first block as text (blank or 0: no memo). A pointer is sound when it is a
// block number, lies past the memo file's header and before its end, and the memo there reads:
// a dBASE IV or FoxPro block header whose length fits the file, a FoxPro record type of
// picture, text or object, or (dBASE III, and dBASE IV blocks without a header) text that
// reaches its 0x1A end marker. The reading is the memo file's own (memo_file.h).

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/memo/memo_file.h"

namespace vx {

struct TableRecord;

// While one lives, a memo file that cannot be opened does not stop USE: the table is opened
// without it (its memo fields unreadable) and Failure() says why. Nested ones share the
// outermost's record.
class TolerantMemoOpen {
 public:
  TolerantMemoOpen();
  ~TolerantMemoOpen();
  TolerantMemoOpen(const TolerantMemoOpen&) = delete;
  TolerantMemoOpen& operator=(const TolerantMemoOpen&) = delete;

  // Why the memo file could not be opened (empty when it was), and the engine's error code.
  static std::string& Failure();
  static std::uint16_t& FailureCode();
  bool outermost() const { return outermost_; }

 private:
  bool outermost_;
  std::uint16_t (*saved_)(TableRecord&, const std::string&);
};

class MemoPointerCheck {
 public:
  explicit MemoPointerCheck(MemoFile& m);
  // What is wrong with the pointer `stored` (the field's bytes as stored), in words that
  // name its block; empty when it is sound or blank.
  std::string Check(std::string_view stored);

 private:
  MemoFile& m_;
  std::uint64_t size_;
  std::uint32_t first_block_;
  // A stretch of the file already read without finding 0x1A: a memo starting inside it ends
  // nowhere either, and is not read again (a ruined file would otherwise be read once per
  // memo).
  std::uint64_t unended_from_ = 0;
  std::uint64_t unended_to_ = 0;
};

}  // namespace vx
