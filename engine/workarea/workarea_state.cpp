#include "engine/workarea/workarea_state.h"

namespace vx {

WorkAreaState default_workarea;
constinit thread_local WorkAreaState* tls_workarea = &default_workarea;

}  // namespace vx
