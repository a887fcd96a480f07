#include "tools/vxdbf/table_session.h"

#include <algorithm>
#include <cmath>
#include <ostream>

#include "engine/foundation/errors.h"
#include "engine/index/orders.h"
#include "engine/memo/memo_file.h"
#include "engine/workarea/hooks.h"
#include "engine/workarea/locks.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/file.h"

namespace vx::tool {

namespace {

// Opens the production index of the selected table for an edit. One that exists but cannot be
// read refuses the edit before anything is written (the engine's error), unless --ignore-index
// asks to edit anyway, which warns that the index is then stale.
void OpenIndexForEdits(const Options& options, const std::string& file, std::ostream& err) {
  const TableRecord* t = SelectedTable();
  if (t == nullptr || !HasProductionIndex() || !os::FileExists(IndexPath(*t, {}))) return;
  bool opened;
  {
    QuietErrors quiet;
    EngineErrorCode = 0;
    opened = OpenProductionIndex();
  }
  if (opened) {
    Set_Order_To(0);
    return;
  }
  const std::uint16_t code = EngineErrorCode != 0 ? EngineErrorCode : 222;
  const std::string message = LastErrorMessage;
  if (options.ignore_index) {
    err << "vxdbf: warning: the production index of " << file << " cannot be read (" << message
        << ") and is now stale; check --repair rebuilds it\n";
    EngineErrorCode = 0;
    return;
  }
  SetEngineError(code, message +
                           " (nothing was changed; check --repair rebuilds the index, "
                           "--ignore-index edits without it)");
}

}  // namespace

TableSession::TableSession(const Options& options, const std::string& file, Access access,
                           std::ostream& err)
    : saved_ansi_(AnsiTables),
      saved_override_(OpenModeOverride),
      saved_retries_(LockRetries),
      saved_wait_(LockWaitSeconds),
      saved_wait_ms_(LockWaitMs),
      err_(err) {
  // The engine's ANSI switch on: records pass as stored, and the commands convert between the
  // table's code page and UTF-8 themselves, never by way of another page.
  AnsiTables = true;
  if (access == Access::kRead && !options.exclusive) OpenModeOverride = os::kOpenReadOnlyDenyNone;
  LockRetries = static_cast<std::uint8_t>(options.retries);
  // Whole milliseconds, at least 1 for a pause that asked for any: 0 would mean "seconds".
  LockWaitSeconds = 0;
  LockWaitMs = options.wait_seconds > 0
                   ? std::max<std::uint32_t>(1, std::lround(options.wait_seconds * 1000))
                   : 0;
  try {
    Select(0);
    {
      std::optional<TolerantMemoOpen> tolerant;
      if (access == Access::kRead) tolerant.emplace();
      Use(file + (options.exclusive ? " EXCLUSIVE" : ""));
      // A name of blanks and control characters is no name: USE only closes the area.
      if (SelectedTable() == nullptr) throw InputError{"no table named " + Quoted(file)};
      if (tolerant && tolerant->outermost() && !TolerantMemoOpen::Failure().empty()) {
        err << "vxdbf: warning: " << TolerantMemoOpen::Failure() << "; memo fields read as null\n";
      }
    }
    table_ = SelectedTable();
    text_.emplace(*table_, options, err);
    // Keys convert case in the page this command reads the text in (the engine's choice for a
    // table without a mark follows the ANSI switch, which is on here only to pass bytes).
    table_->code_page = text_->page();
    // Edits keep the production index current: it is open (in natural order, so that record
    // numbers mean what they say) for every command that writes.
    if (access == Access::kWrite) OpenIndexForEdits(options, file, err);
  } catch (...) {
    Restore();
    throw;
  }
}

void TableSession::Close() {
  CloseAll();
  text_->ReportReplacements(err_);
}

void TableSession::Restore() {
  {
    QuietErrors quiet;
    CloseAll();
  }
  AnsiTables = saved_ansi_;
  OpenModeOverride = static_cast<std::uint16_t>(saved_override_);
  LockRetries = static_cast<std::uint8_t>(saved_retries_);
  LockWaitSeconds = static_cast<std::uint8_t>(saved_wait_);
  LockWaitMs = saved_wait_ms_;
}

TableSession::~TableSession() { Restore(); }

}  // namespace vx::tool
