// Memo storage: M1 appends 100,000 memos of about 500 bytes (AddMemo, dBASE IV and FoxPro),
// M2 reads them all back, M3 rewrites random memos of a dBASE IV file through the free chain.
// Exclusive tables, so that the numbers show the memo file work rather than the lock calls.

#include <benchmark/benchmark.h>

#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/film_table.h"
#include "engine/foundation/errors.h"
#include "engine/foundation/settings.h"
#include "engine/memo/memo_storage.h"
#include "engine/startup/engine_startup.h"
#include "engine/table/dbf_records.h"
#include "engine/workarea/work_areas.h"

namespace vx::bench {
namespace {

constexpr int kMemos = 100000;
constexpr std::uint32_t kSeed = 20261208;

// Memo i: 400 to 600 bytes of text with line breaks.
std::string MemoText(int i) {
  std::string text = "Plot of film " + std::to_string(i) + ".";
  const std::size_t length = 400 + static_cast<std::size_t>(i * 7919 % 201);
  while (text.size() < length) text += (text.size() % 70 < 60) ? " a story" : "\r\n";
  text.resize(length);
  text.back() = '.';  // AddMemo drops trailing blanks
  return text;
}

// A table with one memo field of `version`, opened exclusive in area 1.
void OpenMemoTable(BenchDir& dir, std::uint8_t version) {
  InitEngine();
  SharingEnabled = false;
  const std::uint8_t saved = DefaultDbfVersion;
  DefaultDbfVersion = version;
  TableRecord t;
  CreateDBF(t, dir.File("plots.dbf"), {{"PLOT", 'M', 10}});
  DefaultDbfVersion = saved;
  Select(1);
  Use(dir.File("plots.dbf"));
}

std::vector<std::int32_t> AppendAll() {
  std::vector<std::int32_t> blocks;
  blocks.reserve(kMemos);
  for (int i = 0; i < kMemos; ++i) blocks.push_back(AddMemo(MemoText(i)));
  return blocks;
}

void BM_Memo_Append(benchmark::State& state) {
  const auto version = static_cast<std::uint8_t>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    BenchDir dir;
    OpenMemoTable(dir, version);
    state.ResumeTiming();
    const std::vector<std::int32_t> blocks = AppendAll();
    state.PauseTiming();
    std::string text;
    if (!ReadMemo(*SelectedTable(), blocks.back(), text) || text != MemoText(kMemos - 1)) {
      throw std::runtime_error("last memo reads back wrong");
    }
    ShutdownEngine();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kMemos);
}

void BM_Memo_ReadAll(benchmark::State& state) {
  const auto version = static_cast<std::uint8_t>(state.range(0));
  BenchDir dir;
  OpenMemoTable(dir, version);
  const std::vector<std::int32_t> blocks = AppendAll();
  TableRecord& table = *SelectedTable();
  std::string text;
  bool checked = false;
  for (auto _ : state) {
    std::size_t bytes = 0;
    for (std::int32_t block : blocks) {
      ReadMemo(table, block, text);
      bytes += text.size();
    }
    benchmark::DoNotOptimize(bytes);
    if (!checked) {
      std::size_t expected = 0;
      for (int i = 0; i < kMemos; ++i) expected += MemoText(i).size();
      if (bytes != expected) throw std::runtime_error("memo bytes differ");
      checked = true;
    }
  }
  state.SetItemsProcessed(state.iterations() * kMemos);
  ShutdownEngine();
}

// Random rewrites of 10,000 dBASE IV memos with texts of 100 to 2,000 bytes: the free chain
// finds room for most of them, so the file stays near the live data.
void BM_Memo_RewriteDbase4(benchmark::State& state) {
  constexpr int kLive = 10000;
  BenchDir dir;
  OpenMemoTable(dir, kVersionDbase4Memo);
  TableRecord& table = *SelectedTable();
  std::vector<std::int32_t> blocks;
  for (int i = 0; i < kLive; ++i) blocks.push_back(AddMemo(MemoText(i)));
  std::mt19937 random(kSeed);
  for (auto _ : state) {
    const auto i = static_cast<std::size_t>(random() % kLive);
    const std::string text(100 + random() % 1900, 'r');
    blocks[i] = ReplaceMemo(table, blocks[i], text);
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["file_blocks"] = BlockCount(*MemoOf(table));
  ShutdownEngine();
}

BENCHMARK(BM_Memo_Append)
    ->Arg(kVersionDbase4Memo)
    ->Arg(kVersionFoxProMemo)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Memo_ReadAll)
    ->Arg(kVersionDbase4Memo)
    ->Arg(kVersionFoxProMemo)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Memo_RewriteDbase4)->Iterations(20000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace vx::bench
