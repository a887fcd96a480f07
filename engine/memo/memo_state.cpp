#include "engine/memo/memo_state.h"

namespace vx {

MemoState default_memo;
constinit thread_local MemoState* tls_memo = &default_memo;

}  // namespace vx
