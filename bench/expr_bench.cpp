// Compiling a 60-character key expression, and evaluating three expressions over a million
// film records (field decoding included). Evaluation must not allocate once a handle has been
// evaluated: the "allocs" counter is the heap allocations per run after the first evaluation.

#include <benchmark/benchmark.h>

#include <cstring>
#include <stdexcept>
#include <vector>

#include "bench/alloc_counter.h"
#include "bench/film_table.h"
#include "engine/expr/expression.h"
#include "engine/foundation/settings.h"
#include "engine/startup/engine_startup.h"
#include "engine/table/dbf_records.h"
#include "engine/workarea/hooks.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/work_areas.h"

namespace vx::bench {
namespace {

constexpr std::int64_t kEvaluations = 1000000;
constexpr std::size_t kDistinctRecords = 4096;

const char* const kExpressions[] = {
    "UPPER(TITLE)+DTOS(PREMIERE)",
    "YEAR > 1950 .AND. COLOR",
    "STR(RUNTIME,3)+LEFT(DIRECTOR,10)",
};

// An exclusive film table of one record in area 1, whose record buffer the benchmark fills
// from kDistinctRecords prepared films.
struct FilmArea {
  BenchDir dir;
  std::vector<std::vector<char>> records;

  FilmArea() {
    if (!ExpressionHooks->present) InitEngine();
    DateStyle = 0;
    CenturyOn = true;
    const std::string path = dir.File("expr_films.dbf");
    TableRecord created;
    CreateDBF(created, path, FilmFields());
    Select(1);
    Use(path + " EXCLUSIVE");
    Append();
    TableRecord& t = *SelectedTable();
    for (std::size_t i = 0; i < kDistinctRecords; ++i) {
      FillFilm(t, static_cast<std::int64_t>(i) * 7919);
      records.push_back(t.record);
    }
  }
  ~FilmArea() { CloseAll(); }
};

void BM_ExprCompile(benchmark::State& state) {
  FilmArea area;
  const char* text = "UPPER(TITLE)+DTOS(PREMIERE)+STR(RUNTIME,3)+LEFT(DIRECTOR,10)";
  for (auto _ : state) {
    CompiledExpr* e = AssignExpr(text);
    benchmark::DoNotOptimize(e);
    FreeExpr(e);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(std::to_string(std::strlen(text)) + " characters");
}
BENCHMARK(BM_ExprCompile);

void BM_ExprEvaluate(benchmark::State& state) {
  FilmArea area;
  const char* text = kExpressions[state.range(0)];
  Expr e = Expr::Compile(text);
  if (!e) throw std::logic_error("compile failed");
  TableRecord& t = *SelectedTable();
  e.Evaluate();  // the first evaluation may size what it needs
  std::uint64_t allocations = 0;
  for (auto _ : state) {
    StartCountingAllocations();
    for (std::int64_t i = 0; i < kEvaluations; ++i) {
      const std::vector<char>& r = area.records[static_cast<std::size_t>(i) % kDistinctRecords];
      std::memcpy(t.record.data(), r.data(), r.size());
      benchmark::DoNotOptimize(e.Evaluate());
    }
    allocations += StopCountingAllocations();
  }
  state.SetItemsProcessed(state.iterations() * kEvaluations);
  state.counters["allocs"] = static_cast<double>(allocations);
  state.counters["ns_per_eval"] = benchmark::Counter(
      static_cast<double>(state.iterations() * kEvaluations),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.SetLabel(text);
}
BENCHMARK(BM_ExprEvaluate)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vx::bench
