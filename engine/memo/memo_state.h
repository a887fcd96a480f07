#pragma once
// The memo storage's share of an engine: the memo lines of GetMemo and CloseMemo, the memo
// file settings and the tolerant open of a table whose memo file is missing.

#include <cstdint>
#include <string>
#include <vector>

#include "engine/foundation/engine_state.h"

namespace vx {

struct MemoState {
  std::vector<std::string> memo_lines;
  std::uint16_t memo_width = 0;
  std::uint16_t default_memo_block_size = 512;
  std::uint32_t memo_lock_position = 0x40000000;
  // TolerantMemoOpen (memo_check.h): the memo open it stands in for, and why the last memo
  // file could not be opened.
  std::uint16_t (*tolerant_saved_open)(TableRecord&, const std::string&) = nullptr;
  std::string tolerant_failure;
  std::uint16_t tolerant_failure_code = 0;
};

extern constinit thread_local MemoState* tls_memo;
extern MemoState default_memo;

template <>
inline MemoState& CurrentState<MemoState>() {
  return *tls_memo;
}

}  // namespace vx
