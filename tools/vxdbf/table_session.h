#pragma once
// One vxdbf command's use of the engine: sets the engine's settings from the options, opens the
// table in a work area with its bytes as stored (the command converts text itself, through the
// session's TableText), and on leaving closes every area and restores the settings, so that
// commands run one after another in one process see the engine as it was.

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>

#include "tools/vxdbf/command_line.h"
#include "tools/vxdbf/table_text.h"

namespace vx {
struct TableRecord;
}

namespace vx::tool {

// The version byte of an index file (2 for dBASE IV, 3 for dBASE level 7), or -1 when it cannot
// be read.
int IndexFileVersion(const std::string& path);

// While one lives, a memo file that cannot be opened does not stop USE: the table is opened
// without it (its memo fields unreadable) and Failure() says why. Nested ones share the
// outermost's record.
class TolerantMemoOpen {
 public:
  TolerantMemoOpen();
  ~TolerantMemoOpen();
  TolerantMemoOpen(const TolerantMemoOpen&) = delete;
  TolerantMemoOpen& operator=(const TolerantMemoOpen&) = delete;

  // Why the memo file could not be opened (empty when it was).
  static std::string& Failure();
  bool outermost() const { return outermost_; }

 private:
  bool outermost_;
  std::uint16_t (*saved_)(TableRecord&, const std::string&);
};

// kIndex: read and write like kWrite, without opening the production index (the commands that
// build or check it open it themselves).
// kRead opens the table read-only (unless exclusive) and without its memo file when that is
// missing or cannot be opened: a warning says so, and memo fields read as null.
enum class Access { kRead, kWrite, kIndex };

class TableSession {
 public:
  // Warnings (a mark that cannot be followed, characters replaced with --lossy) go to `err`.
  TableSession(const Options& options, const std::string& file, Access access, std::ostream& err);
  ~TableSession();
  TableSession(const TableSession&) = delete;
  TableSession& operator=(const TableSession&) = delete;

  TableRecord& table() { return *table_; }
  // The table's text in its code page, and UTF-8.
  TableText& text() { return *text_; }
  // Closes the table and reports a failure of the close (the header write, the end marker);
  // then says how many characters --lossy replaced.
  void Close();

 private:
  void Restore();

  bool saved_ansi_;
  unsigned saved_override_;
  unsigned saved_retries_;
  unsigned saved_wait_;
  unsigned saved_wait_ms_;
  TableRecord* table_ = nullptr;
  std::optional<TableText> text_;
  std::ostream& err_;
};

}  // namespace vx::tool
