#pragma once
// The memo storage's share of an engine: the memo lines of GetMemo and CloseMemo and the memo
// file settings.

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
};

extern constinit thread_local MemoState* tls_memo;
extern MemoState default_memo;

template <>
inline MemoState& CurrentState<MemoState>() {
  return *tls_memo;
}

}  // namespace vx
