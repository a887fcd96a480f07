#pragma once
// The index engine's share of an engine: the search switches and the last search's result, the
// open indexes of the areas, the semaphore states and brackets of the areas, the build settings
// and the test hook of page splits. The names callers use (SoftSeek, IndexBuildBudget, ...) are
// declared with the units that use them.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/foundation/engine_state.h"
#include "platform/os/file.h"

namespace vx {

namespace order_internal {
struct AreaIndex;
}  // namespace order_internal
struct NdxArea;

// Work areas 1..33 and the extra slot of an area opened for a rebuild.
inline constexpr int kMaxIndexArea = 34;

// The semaphore file of one work area on a shared table (semaphore.cpp).
struct SemaphoreState {
  os::File file;
  std::string name;
  std::array<std::uint8_t, 4> record{};
  std::uint8_t users_at_login = 0;
  std::uint16_t last_seen = 0;
  bool holds_region = false;
  bool holds_read = false;
  int read_nesting = 0;
  int lock_nesting = 0;

  std::uint8_t& users() { return record[0]; }
  std::uint8_t& access() { return record[1]; }
  std::uint16_t counter() const { return static_cast<std::uint16_t>(record[2] | (record[3] << 8)); }
  void set_counter(std::uint16_t v) {
    record[2] = static_cast<std::uint8_t>(v);
    record[3] = static_cast<std::uint8_t>(v >> 8);
  }
};

enum class SplitStage;

struct IndexState {
  constexpr IndexState() = default;
  ~IndexState();  // index_state.cpp, where an area's index is a complete type
  IndexState(const IndexState&) = delete;
  IndexState& operator=(const IndexState&) = delete;

  // Searching (orders.h).
  bool index_found = false;
  bool key_padding = false;
  bool soft_seek = false;
  std::uint32_t node_cache_budget = 1 << 20;
  // Index changes this engine made or learnt of, over every open index (mdx_file.h).
  std::uint64_t index_generation = 0;
  // The open index of each area; own_move is set while the order units move the record pointer
  // themselves (order_internal.h).
  std::array<std::unique_ptr<order_internal::AreaIndex>, kMaxIndexArea + 1> areas;
  bool own_move = false;
  // The .NDX files attached to each area (ndx_orders.h).
  std::array<std::unique_ptr<NdxArea>, kMaxIndexArea + 1> ndx_areas;

  // Appends of many records in one call (orders.h, AppendBatch): per area, how deeply batch
  // scopes nest, whether the batch holds the update bracket and since when (milliseconds).
  struct AppendBatchState {
    int depth = 0;
    bool holding = false;
    std::uint32_t since = 0;
  };
  std::array<AppendBatchState, kMaxIndexArea + 1> append_batches{};

  // Semaphores (semaphore.h).
  std::uint32_t semaphore_wait_seconds = 100;
  std::string semaphore_directory;
  std::array<std::unique_ptr<SemaphoreState>, kMaxIndexArea + 1> semaphore_states;
  std::array<int, kMaxIndexArea + 1> read_brackets{};
  std::array<int, kMaxIndexArea + 1> lock_brackets{};

  // Building (index_build.h).
  std::uint64_t index_build_budget = std::uint64_t{64} << 20;
  int index_build_fill = 100;
  void (*progress_proc)(void* context, int step, int steps) = nullptr;
  void* progress_context = nullptr;
  int progress_steps = 0;
  int last_runs = 0;

  // Page splits (tag_tree.h) and the spare record buffer of key evaluation (key_maker.cpp).
  void (*split_stage_test_hook)(SplitStage stage, bool leaf) = nullptr;
  std::vector<char> key_spare;
};

// A new state for an engine (made where an area's index is a complete type).
IndexState* NewIndexState();

extern constinit thread_local IndexState* tls_index;
extern IndexState default_index;

template <>
inline IndexState& CurrentState<IndexState>() {
  return *tls_index;
}

}  // namespace vx
