#pragma once
// The index engine's share of an engine: the search switches and the last search's result, the
// semaphore settings, the build settings and the test hook of page splits. The names callers use
// (SoftSeek, IndexBuildBudget, ...) are declared with the units that use them. What the index
// engine keeps for one open table (its open index, .NDX files, semaphore state and brackets,
// append batch) is the table's own: TableIndexState, owned by its TableRecord.

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

struct TableRecord;

// The highest area number the index engine accepts (work areas are 1..33).
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
  // Set while the order units move the record pointer themselves (order_internal.h).
  bool own_move = false;

  // Semaphores (semaphore.h).
  std::uint32_t semaphore_wait_seconds = 100;
  std::string semaphore_directory;

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

// A new state for an engine.
IndexState* NewIndexState();

// Appends of many records in one call (orders.h, AppendBatch): how deeply batch scopes nest,
// whether the batch holds the update bracket and since when (milliseconds).
struct AppendBatchState {
  int depth = 0;
  bool holding = false;
  std::uint32_t since = 0;
};

// What the index engine keeps for one open table. The table owns it (TableRecord::index), so it
// lives and dies with the table, whatever area or engine it is open in.
struct TableIndexState {
  TableIndexState();
  ~TableIndexState();  // index_state.cpp, where the index types are complete
  TableIndexState(const TableIndexState&) = delete;
  TableIndexState& operator=(const TableIndexState&) = delete;

  std::unique_ptr<order_internal::AreaIndex> index;  // the open .MDX (order_internal.h)
  std::unique_ptr<NdxArea> ndx;                      // .NDX files and the kept .CDX (ndx_orders.h)
  AppendBatchState append_batch;
  // Logged in to the table's semaphore file (semaphore.h), and the brackets held on it.
  std::unique_ptr<SemaphoreState> semaphore;
  int read_brackets = 0;
  int lock_brackets = 0;
};

// The index state of `t`, made on first use.
TableIndexState& IndexStateOf(TableRecord& t);
// The index state of `t`, or of the table open in `area`; null when there is none yet.
TableIndexState* FoundIndexState(const TableRecord& t);
TableIndexState* FoundIndexState(int area);

extern constinit thread_local IndexState* tls_index;
extern IndexState default_index;

template <>
inline IndexState& CurrentState<IndexState>() {
  return *tls_index;
}

}  // namespace vx
