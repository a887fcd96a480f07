#include "tools/vxdbf/table_session.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <ostream>
#include <span>

#include "engine/foundation/errors.h"
#include "engine/index/orders.h"
#include "engine/index/table_check.h"
#include "engine/memo/memo_file.h"
#include "engine/workarea/hooks.h"
#include "engine/workarea/locks.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/file.h"

namespace vx::tool {

namespace {

// A FoxPro table with a structural .CDX: this program does not maintain .CDX files, so an edit
// would leave the index stale for every FoxPro program. Refused unless --ignore-index.
void GuardStructuralCdx(const Options& options, const TableRecord& t, std::ostream& err) {
  if (!t.HasStructuralCdx()) return;
  const std::string cdx = DerivedFileName(t.file_name, "CDX");
  if (options.ignore_index) {
    err << "vxdbf: warning: " << cdx
        << " (FoxPro compound index) is not maintained by vxdbf and is now stale\n";
    return;
  }
  throw InputError{t.file_name + " has a structural FoxPro compound index, " + cdx +
                   ", which vxdbf does not maintain: nothing was changed (--ignore-index edits "
                   "anyway and leaves the index stale)"};
}

// Opens the production index of the selected table for an edit. One that exists but cannot be
// read refuses the edit before anything is written (the engine's error), unless --ignore-index
// asks to edit anyway, which warns that the index is then stale.
void OpenIndexForEdits(const Options& options, const std::string& file, std::ostream& err) {
  const TableRecord* t = SelectedTable();
  if (t == nullptr || !HasProductionIndex() || !os::FileExists(IndexPath(*t, {}))) return;
  // dBASE level 7 writes its .MDX in another form (version 3, 43-byte tag entries), which this
  // program neither reads nor maintains: no repair would help, the edit is refused.
  if (t->IsLevel7() && IndexFileVersion(IndexPath(*t, {})) == 3) {
    if (options.ignore_index) {
      err << "vxdbf: warning: " << IndexPath(*t, {})
          << " is a dBASE level 7 index, which vxdbf does not maintain; it is now stale\n";
      return;
    }
    throw InputError{file + " has a dBASE level 7 index, " + IndexPath(*t, {}) +
                     " (version 3), which vxdbf neither reads nor maintains: nothing was "
                     "changed (--ignore-index edits anyway and leaves the index stale)"};
  }
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
    if (!table_->damage.empty()) {
      err << "vxdbf: warning: " << file << " has a damaged header: " << table_->damage
          << "; it is read with records as long as its fields, and opens only for reading\n";
    }
    if (access == Access::kWrite) GuardStructuralCdx(options, *table_, err);
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
