#pragma once
// One vxdbf command's use of the engine: sets the engine's settings from the options, opens the
// table in a work area with its bytes as stored (the command converts text itself, through the
// session's TableText), and on leaving closes every area and restores the settings, so that
// commands run one after another in one process see the engine as it was.

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>

#include "engine/memo/memo_check.h"
#include "tools/vxdbf/command_line.h"
#include "tools/vxdbf/table_text.h"

namespace vx {
struct TableRecord;
}

namespace vx::tool {

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
