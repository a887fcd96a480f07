#include "tools/vxdbf/table_session.h"

#include "engine/foundation/errors.h"
#include "engine/index/orders.h"
#include "engine/workarea/locks.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/file.h"

namespace vx::tool {

TableSession::TableSession(const Options& options, const std::string& file, Access access)
    : saved_ansi_(AnsiTables),
      saved_override_(OpenModeOverride),
      saved_retries_(LockRetries),
      saved_wait_(LockWaitSeconds) {
  // Reading commands see the table's bytes as stored and convert them to UTF-8 themselves;
  // writing commands hand the engine ANSI text, which it converts to the table's page.
  AnsiTables = access == Access::kRead || options.ansi;
  if (access == Access::kRead && !options.exclusive) OpenModeOverride = os::kOpenReadOnlyDenyNone;
  LockRetries = static_cast<std::uint8_t>(options.retries);
  LockWaitSeconds = static_cast<std::uint8_t>(options.wait_seconds);
  try {
    Select(0);
    Use(file + (options.exclusive ? " EXCLUSIVE" : ""));
    // Edits keep the production index current: it is open (in natural order, so that record
    // numbers mean what they say) for every command that writes.
    if (access == Access::kWrite && OpenProductionIndex()) Set_Order_To(0);
  } catch (...) {
    Restore();
    throw;
  }
  table_ = SelectedTable();
}

void TableSession::Close() { CloseAll(); }

void TableSession::Restore() {
  {
    QuietErrors quiet;
    CloseAll();
  }
  AnsiTables = saved_ansi_;
  OpenModeOverride = static_cast<std::uint16_t>(saved_override_);
  LockRetries = static_cast<std::uint8_t>(saved_retries_);
  LockWaitSeconds = static_cast<std::uint8_t>(saved_wait_);
}

TableSession::~TableSession() { Restore(); }

}  // namespace vx::tool
