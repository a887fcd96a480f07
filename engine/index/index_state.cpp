#include "engine/index/index_state.h"

#include "engine/index/ndx_orders.h"
#include "engine/index/order_internal.h"

namespace vx {

IndexState::~IndexState() = default;

IndexState* NewIndexState() { return new IndexState; }

IndexState default_index;
constinit thread_local IndexState* tls_index = &default_index;

}  // namespace vx
