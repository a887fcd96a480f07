#include "engine/memo/memo_state.h"

namespace vx {

constinit MemoState default_memo;
constinit thread_local MemoState* tls_memo = &default_memo;

}  // namespace vx
