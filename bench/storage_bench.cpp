// Table storage primitives on the film table: appending, scanning in file order with every
// field decoded, and reading random records.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <random>
#include <stdexcept>

#include "bench/film_table.h"
#include "engine/foundation/dates.h"
#include "engine/table/dbf_records.h"
#include "platform/os/file.h"

namespace vx::bench {
namespace {

constexpr std::int64_t kFilms = 1000000;
constexpr int kRandomReads = 100000;

void OpenFilms(TableRecord& t, const std::string& path) {
  t = TableRecord{};
  t.file_name = path;
  t.open_mode = os::kOpenReadWriteDenyAll;
  t.oem = true;
  OpenDbf(t);
}

void AppendFilms(const std::string& path, std::int64_t count) {
  TableRecord t;
  CreateDBF(t, path, FilmFields());
  OpenFilms(t, path);
  for (std::int64_t i = 0; i < count; ++i) {
    FillFilm(t, i);
    AppendFromBuffer(t);
  }
  CloseDbf(t);
}

// One table of a million films shared by the read benchmarks.
const std::string& SharedFilms() {
  static BenchDir dir;
  static const std::string path = [] {
    const std::string p = dir.File("films.dbf");
    AppendFilms(p, kFilms);
    return p;
  }();
  return path;
}

void BM_StorageAppend(benchmark::State& state) {
  BenchDir dir;
  for (auto _ : state) {
    state.PauseTiming();
    const std::string path = dir.File("append.dbf");
    TableRecord t;
    CreateDBF(t, path, FilmFields());
    OpenFilms(t, path);
    state.ResumeTiming();
    for (std::int64_t i = 0; i < kFilms; ++i) {
      FillFilm(t, i);
      AppendFromBuffer(t);
    }
    CloseDbf(t);
    if (t.record_count != kFilms) throw std::logic_error("append lost records");
  }
  state.SetItemsProcessed(state.iterations() * kFilms);
}
BENCHMARK(BM_StorageAppend)->Unit(benchmark::kMillisecond);

// Decodes every field of the current record; answers the YEAR.
int DecodeFilm(const TableRecord& t) {
  const char* r = t.record.data();
  std::string title(r + 1, 20);
  while (!title.empty() && title.back() == ' ') title.pop_back();
  const int year = std::atoi(std::string(r + 21, 4).c_str());
  const bool color = r[25] == 'T' || r[25] == 't' || r[25] == 'Y' || r[25] == 'y';
  const int runtime = std::atoi(std::string(r + 26, 3).c_str());
  std::string stars(r + 29, 50), director(r + 79, 20);
  while (!stars.empty() && stars.back() == ' ') stars.pop_back();
  while (!director.empty() && director.back() == ' ') director.pop_back();
  const double premiere = StoredToDayNumber(std::string_view(r + 99, 8));
  benchmark::DoNotOptimize(title);
  benchmark::DoNotOptimize(color);
  benchmark::DoNotOptimize(runtime);
  benchmark::DoNotOptimize(stars);
  benchmark::DoNotOptimize(director);
  benchmark::DoNotOptimize(premiere);
  return year;
}

void BM_StorageScan(benchmark::State& state) {
  const std::string& path = SharedFilms();
  TableRecord t;
  OpenFilms(t, path);
  std::int64_t expected = 0;
  for (std::int64_t i = 0; i < kFilms; ++i) expected += FilmYear(i);
  for (auto _ : state) {
    std::int64_t years = 0;
    for (std::int32_t n = 1; n <= t.record_count; ++n) {
      GetDbfRecord(t, n);
      years += DecodeFilm(t);
    }
    if (years != expected) throw std::logic_error("scan read wrong values");
  }
  CloseDbf(t);
  state.SetItemsProcessed(state.iterations() * kFilms);
}
BENCHMARK(BM_StorageScan)->Unit(benchmark::kMillisecond);

void BM_StorageRandomRead(benchmark::State& state) {
  const std::string& path = SharedFilms();
  TableRecord t;
  OpenFilms(t, path);
  for (auto _ : state) {
    std::mt19937 random(20261208);
    std::uniform_int_distribution<std::int32_t> pick(1, static_cast<std::int32_t>(kFilms));
    for (int i = 0; i < kRandomReads; ++i) {
      const std::int32_t n = pick(random);
      GetDbfRecord(t, n);
      if (DecodeFilm(t) != FilmYear(n - 1)) throw std::logic_error("read the wrong record");
    }
  }
  CloseDbf(t);
  state.SetItemsProcessed(state.iterations() * kRandomReads);
}
BENCHMARK(BM_StorageRandomRead)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vx::bench
