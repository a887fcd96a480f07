#include "engine/foundation/engine_state.h"

namespace vx {

FoundationState default_foundation;
constinit thread_local FoundationState* tls_foundation = &default_foundation;

}  // namespace vx
