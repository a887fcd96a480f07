// Two threads reading two tables, each on a vexel::Engine of its own, against one thread reading
// both in turn: the throughput the per-engine state buys. Every record of both film tables is
// read through the public library with every field decoded (Table::scan); items per second count
// the records of both tables, so 2 threads / 1 thread is the speed-up (2.0 at best).

#include <benchmark/benchmark.h>

#include <string>
#include <thread>
#include <vexel/vexel.hpp>

#include "bench/film_table.h"

namespace vx::bench {
namespace {

constexpr std::int64_t kFilms = 200000;

struct TwoTables {
  BenchDir dir;
  vexel::Engine engines[2];
  vexel::Table tables[2] = {Open(0), Open(1)};

  vexel::Table Open(int n) {
    const std::string path = dir.File(n == 0 ? "ONE.DBF" : "TWO.DBF");
    WriteFilms(path, kFilms);
    return engines[n].open(path, {.mode = vexel::OpenMode::read_only});
  }
};

TwoTables& Tables() {
  static TwoTables tables;
  return tables;
}

// Reads every record with every field decoded; answers the sum of the text sizes.
std::size_t ReadAll(const vexel::Table& table) {
  std::size_t bytes = 0;
  for (const vexel::Record& r : table.scan()) {
    for (std::size_t f = 0; f < r.size(); ++f) bytes += r.text(f).size();
  }
  return bytes;
}

void BM_ReadTwoTables(benchmark::State& state) {
  TwoTables& two = Tables();
  const bool threaded = state.range(0) == 2;
  for (auto _ : state) {
    std::size_t bytes[2] = {0, 0};
    if (threaded) {
      std::thread other([&] { bytes[1] = ReadAll(two.tables[1]); });
      bytes[0] = ReadAll(two.tables[0]);
      other.join();
    } else {
      bytes[0] = ReadAll(two.tables[0]);
      bytes[1] = ReadAll(two.tables[1]);
    }
    benchmark::DoNotOptimize(bytes[0] + bytes[1]);
  }
  state.SetItemsProcessed(state.iterations() * 2 * kFilms);
}
BENCHMARK(BM_ReadTwoTables)
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vx::bench
