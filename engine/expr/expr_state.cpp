#include "engine/expr/expr_state.h"

namespace vx {

ExprState default_expr;
constinit thread_local ExprState* tls_expr = &default_expr;

}  // namespace vx
