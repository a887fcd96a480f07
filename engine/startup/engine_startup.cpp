#include "engine/startup/engine_startup.h"

#include "engine/expr/expression.h"
#include "engine/foundation/errors.h"
#include "engine/foundation/settings.h"
#include "engine/index/orders.h"
#include "engine/memo/memo_storage.h"
#include "engine/workarea/locks.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/codepage.h"

namespace vx {

void InitEngine() {
  os::SetCodePagesFromLocale();
  StartEngine();
}

void ShutdownEngine() { StopEngine(); }

void StartEngine() {
  InitFoundation();
  InitWorkAreas();
  InitExpressions();
  InitMemoStorage();
  IndexInit();
  ShuttingDown = false;
}

void StopEngine() {
  ShuttingDown = true;
  QuietErrors quiet;
  ShutdownIndex();
  ShutdownWorkAreas();
}

}  // namespace vx
