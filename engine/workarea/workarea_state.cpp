#include "engine/workarea/workarea_state.h"

namespace vx {

constinit WorkAreaState default_workarea;
constinit thread_local WorkAreaState* tls_workarea = &default_workarea;

}  // namespace vx
