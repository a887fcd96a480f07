#pragma once
// One vxdbf command's use of the engine: sets the engine's settings from the options, opens the
// table in a work area, and on leaving closes every area and restores the settings, so that
// commands run one after another in one process see the engine as it was.

#include <string>

#include "tools/vxdbf/command_line.h"

namespace vx {
struct TableRecord;
}

namespace vx::tool {

// kIndex: read and write like kWrite, without opening the production index (the commands that
// build or check it open it themselves).
enum class Access { kRead, kWrite, kIndex };

class TableSession {
 public:
  TableSession(const Options& options, const std::string& file, Access access);
  ~TableSession();
  TableSession(const TableSession&) = delete;
  TableSession& operator=(const TableSession&) = delete;

  TableRecord& table() { return *table_; }
  // Closes the table and reports a failure of the close (the header write, the end marker).
  void Close();

 private:
  void Restore();

  bool saved_ansi_;
  unsigned saved_override_;
  unsigned saved_retries_;
  unsigned saved_wait_;
  TableRecord* table_ = nullptr;
};

}  // namespace vx::tool
