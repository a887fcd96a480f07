#pragma once
// The expression language's share of an engine: the list of compiled expressions, the key
// expression the index engine evaluates, the case page of UPPER and LOWER with its tables, and
// the text buffer of memo values. Each evaluation keeps its stack and pool in its compiled
// expression and its string scratch on the stack, so two engines evaluate at the same time
// without sharing a byte.

#include <cstdint>
#include <string>

#include "engine/foundation/engine_state.h"

namespace vx {

namespace os {
struct PageCase;
}  // namespace os

struct CompiledExpr;

struct ExprState {
  CompiledExpr* all_expressions = nullptr;  // every live handle of this engine, linked
  CompiledExpr* current_key_expression = nullptr;
  int case_code_page = 0;
  std::uint16_t memo_pool_size = 256;
  // The memo text read for an M value; it keeps its capacity between evaluations.
  std::string memo_text;
  // Case tables: those of the last explicit case page, and those of the ANSI page in force,
  // rebuilt when that page changes.
  int last_case_page = 0;
  const os::PageCase* last_case = nullptr;
  int ansi_page = -1;
  unsigned char ansi_upper[256] = {};
  unsigned char ansi_lower[256] = {};
};

extern constinit thread_local ExprState* tls_expr;
extern ExprState default_expr;

template <>
inline ExprState& CurrentState<ExprState>() {
  return *tls_expr;
}

}  // namespace vx
