#include "engine/workarea/hooks.h"

namespace vx {

IndexHookTable IndexHooks;
bool IndexMaintenance = true;
MemoOpenType MemoOpenProc = nullptr;
MemoCloseType MemoCloseProc = nullptr;
MemoHookTable MemoHooks;
ExpressionHookTable ExpressionHooks;
RelationSyncType RelationSyncProc = nullptr;
SkipProcType SkipProc = nullptr;

}  // namespace vx
