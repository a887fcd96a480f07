// Key search in an index: random exact Finds on the TITLE tag of the million-film table, each
// with the record read, shared (argument 0, semaphore brackets around every search) against
// exclusive (1), and the same searches in SQLite (BM_SqliteSeek, when SQLite is found). The tag
// file is written by the test writer from the sorted titles.

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>

#ifdef VX_BENCH_SQLITE
#include <sqlite3.h>
#endif

#include "bench/film_table.h"
#include "engine/foundation/errors.h"
#include "engine/index/index_build.h"
#include "engine/index/orders.h"
#include "engine/startup/engine_startup.h"
#include "engine/table/dbf_records.h"
#include "engine/workarea/locks.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/record_image.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/file.h"
#include "tests/support/mdx_writer.h"

namespace vx::bench {
namespace {

constexpr std::int64_t kFilms = 1000000;
constexpr int kSeeks = 100000;
constexpr std::uint32_t kSeed = 20261209;

std::string Title(std::int64_t i) {
  char text[32];
  std::snprintf(text, sizeof text, "%-20s",
                ("Film number " + std::to_string(static_cast<long long>(i))).c_str());
  return text;
}

// The film table with its production index (tag TITLE, C 20).
const std::string& IndexedFilms() {
  static BenchDir dir;
  static const std::string path = [] {
    const std::string p = dir.File("FILMS.DBF");
    WriteFilms(p, kFilms);
    test::TagShape tag;
    tag.name = "TITLE";
    tag.key_expression = "TITLE";
    tag.key_length = 20;
    tag.items.reserve(kFilms);
    for (std::int64_t i = 0; i < kFilms; ++i) {
      tag.items.emplace_back(Title(i), static_cast<std::uint32_t>(i + 1));
    }
    std::sort(tag.items.begin(), tag.items.end());
    const std::vector<unsigned char> bytes = test::BuildMdx("FILMS", {tag});
    os::File file;
    if (os::File::Create(dir.File("FILMS.MDX"), file) != 0 ||
        file.WriteAt(0, std::as_bytes(std::span(bytes))) != 0) {
      throw std::runtime_error("cannot write the index");
    }
    return p;
  }();
  return path;
}

void BM_IndexSeek(benchmark::State& state) {
  const std::string& path = IndexedFilms();
  InitEngine();
  Select(1);
  Use(path + (state.range(0) == 1 ? " EXCLUSIVE" : ""));
  if (!SetIndexTo()) throw std::logic_error("no index");
  std::mt19937 random(kSeed);
  std::vector<std::int64_t> films(kSeeks);
  for (auto& f : films) f = static_cast<std::int64_t>(random() % kFilms);
  std::vector<std::string> keys;
  for (std::int64_t f : films) keys.push_back(Title(f));
  // Checked once, outside the timing: each search lands on its film.
  for (int i = 0; i < 100; ++i) {
    if (!Find(keys[static_cast<std::size_t>(i)]) ||
        RecNo() != films[static_cast<std::size_t>(i)] + 1) {
      throw std::logic_error("seek landed elsewhere");
    }
  }
  for (auto _ : state) {
    for (const std::string& key : keys) benchmark::DoNotOptimize(Find(key));
  }
  state.SetItemsProcessed(state.iterations() * kSeeks);
  state.counters["us_per_seek"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kSeeks,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  CloseAll();
}
BENCHMARK(BM_IndexSeek)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

#ifdef VX_BENCH_SQLITE
// The same 100,000 exact searches in SQLite: the million films in a native table on disk with
// an index on TITLE, each search an indexed SELECT of the whole row (every column read), beside
// BM_IndexSeek in the same run.
void SqliteExec(sqlite3* db, const char* sql) {
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
    throw std::runtime_error(sqlite3_errmsg(db));
  }
}

void BM_SqliteSeek(benchmark::State& state) {
  BenchDir dir;
  sqlite3* db = nullptr;
  if (sqlite3_open(dir.File("films.db").c_str(), &db) != SQLITE_OK) {
    throw std::runtime_error("cannot open the SQLite database");
  }
  SqliteExec(db,
             "CREATE TABLE films (TITLE TEXT, YEAR INTEGER, COLOR INTEGER, RUNTIME INTEGER, "
             "STARS TEXT, DIRECTOR TEXT, PREMIERE TEXT)");
  SqliteExec(db, "BEGIN");
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO films VALUES (?, ?, ?, ?, ?, ?, ?)", -1, &insert, nullptr);
  for (std::int64_t i = 0; i < kFilms; ++i) {
    char stars[64], director[32], premiere[16];
    std::snprintf(stars, sizeof stars, "Star %lld, Star %lld", static_cast<long long>(i % 997),
                  static_cast<long long>(i % 991));
    std::snprintf(director, sizeof director, "Director %lld", static_cast<long long>(i % 500));
    std::snprintf(premiere, sizeof premiere, "%04d%02d%02d", FilmYear(i),
                  static_cast<int>(1 + i % 12), static_cast<int>(1 + i % 28));
    const std::string title = Title(i);
    sqlite3_bind_text(insert, 1, title.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(insert, 2, FilmYear(i));
    sqlite3_bind_int(insert, 3, i % 3 != 0);
    sqlite3_bind_int(insert, 4, static_cast<int>(60 + i % 120));
    sqlite3_bind_text(insert, 5, stars, -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 6, director, -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 7, premiere, -1, SQLITE_TRANSIENT);
    if (sqlite3_step(insert) != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(db));
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  SqliteExec(db, "COMMIT");
  SqliteExec(db, "CREATE INDEX films_title ON films (TITLE)");
  std::mt19937 random(kSeed);
  std::vector<std::string> keys(kSeeks);
  for (auto& key : keys) key = Title(static_cast<std::int64_t>(random() % kFilms));
  sqlite3_stmt* select = nullptr;
  sqlite3_prepare_v2(db, "SELECT * FROM films WHERE TITLE = ?", -1, &select, nullptr);
  for (auto _ : state) {
    for (const std::string& key : keys) {
      sqlite3_bind_text(select, 1, key.c_str(), static_cast<int>(key.size()), SQLITE_STATIC);
      if (sqlite3_step(select) != SQLITE_ROW) throw std::logic_error("SQLite seek found nothing");
      std::size_t bytes = 0;
      for (int c = 0; c < 7; ++c)
        bytes += static_cast<std::size_t>(sqlite3_column_bytes(select, c));
      benchmark::DoNotOptimize(bytes + static_cast<std::size_t>(sqlite3_column_int(select, 1)));
      sqlite3_reset(select);
    }
  }
  sqlite3_finalize(select);
  sqlite3_close(db);
  state.SetItemsProcessed(state.iterations() * kSeeks);
  state.counters["us_per_seek"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kSeeks,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_SqliteSeek)->Unit(benchmark::kMillisecond);
#endif

// A memory figure of this process in KiB from /proc/self/status: "VmHWM" (the resident-set
// high-water mark) or "VmRSS" (the resident set now). The kernel starts the mark again from
// the current size when "5" is written to clear_refs.
std::int64_t StatusKiB(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::stoll(line.substr(field.size() + 1));
  }
  return -1;
}
std::int64_t PeakResidentKiB() { return StatusKiB("VmHWM"); }
std::int64_t ResidentKiB() { return StatusKiB("VmRSS"); }

// Memory the earlier benchmarks freed goes back to the system first, so that the mark measures
// what the build itself holds.
void ResetPeakResident() {
  malloc_trim(0);
  std::ofstream("/proc/self/clear_refs") << "5";
}

// Building one tag over the million films: TITLE (C 20, argument 0) or YEAR (N, argument 1),
// into an index file of its own, the table exclusive, with the default 64 MiB budget.
void BM_IndexBuild(benchmark::State& state) {
  const std::string& path = IndexedFilms();
  InitEngine();
  Select(1);
  Use(path + " EXCLUSIVE");
  const TagDefinition tag = state.range(0) == 0 ? TagDefinition{"TITLE", "TITLE", "", false, false}
                                                : TagDefinition{"YEAR", "YEAR", "", false, false};
  ResetPeakResident();
  const std::int64_t before = ResidentKiB();
  for (auto _ : state) {
    if (!MakeIndex({tag}, "BUILD.MDX")) throw std::logic_error("build failed");
  }
  state.SetItemsProcessed(state.iterations() * kFilms);
  state.counters["rise_MiB"] = static_cast<double>(PeakResidentKiB() - before) / 1024;
  CloseAll();
}
BENCHMARK(BM_IndexBuild)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);

// The external sort at scale: the C 20 TITLE tag over 10,000,000 films (a 1 GiB table) with a
// 16 MiB budget, so the entries spill to sorted runs and merge. Reports the runs, the peak
// resident memory of the process during the build, and how far it rose above the size before.
// Writing the table takes most of the run; run it alone with --benchmark_filter=IndexBuildLarge.
void BM_IndexBuildLarge(benchmark::State& state) {
  constexpr std::int64_t kLargeFilms = 10000000;
  BenchDir dir;
  const std::string path = dir.File("LARGE.DBF");
  WriteFilms(path, kLargeFilms);
  InitEngine();
  Select(1);
  Use(path + " EXCLUSIVE");
  const std::uint64_t budget = IndexBuildBudget;
  IndexBuildBudget = static_cast<std::uint64_t>(state.range(0)) << 20;
  std::int64_t before = 0;
  std::int64_t peak = 0;
  for (auto _ : state) {
    ResetPeakResident();
    before = ResidentKiB();
    if (!MakeIndex({{"TITLE", "TITLE", "", false, false}}, "LARGE.MDX")) {
      throw std::logic_error("build failed");
    }
    peak = PeakResidentKiB();
  }
  IndexBuildBudget = budget;
  CloseAll();
  state.SetItemsProcessed(state.iterations() * kLargeFilms);
  state.counters["runs"] = LastBuildRuns();
  state.counters["peak_MiB"] = static_cast<double>(peak) / 1024;
  state.counters["rise_MiB"] = static_cast<double>(peak - before) / 1024;
}
BENCHMARK(BM_IndexBuildLarge)->Arg(16)->Unit(benchmark::kMillisecond)->Iterations(1);

// Appends `count` films to the selected table under its append lock: TITLE (the image holds
// it at 1, a count byte and 20 bytes), YEAR (at 22, an int32) and PREMIERE (at 103, a count
// byte and MM/DD/YYYY); the other fields stay blank.
void AppendFilms(std::int64_t count) {
  char* image = FieldAddress(0);
  for (std::int64_t i = 0; i < count; ++i) {
    ClearRecord();
    const std::string title = Title((i * 7919) % kFilms);
    image[1] = 20;
    std::memcpy(image + 2, title.data(), 20);
    const std::int32_t year = static_cast<std::int32_t>(1900 + i % 120);
    std::memcpy(image + 22, &year, 4);
    char date[16];
    std::snprintf(date, sizeof date, "%02d/%02d/%04d", static_cast<int>(1 + i % 12),
                  static_cast<int>(1 + i % 28), year);
    image[103] = 10;
    std::memcpy(image + 104, date, 10);
    Append();
  }
}

// 100,000 appends (APPEND with the record's values) to a shared table with three open tags:
// TITLE (C 20), YEAR (N) and PREMIERE (D), under the append lock; each keeps every tag current.
void BM_IndexAppend(benchmark::State& state) {
  constexpr std::int64_t kAppends = 100000;
  BenchDir dir;
  for (auto _ : state) {
    state.PauseTiming();
    const std::string path = dir.File("APPEND.DBF");
    {
      TableRecord t;
      CreateDBF(t, path, FilmFields());
    }
    InitEngine();
    Select(1);
    Use(path + " EXCLUSIVE");
    if (!MakeIndex({{"TITLE", "TITLE", "", false, false},
                    {"YEAR", "YEAR", "", false, false},
                    {"PREMIERE", "PREMIERE", "", false, false}})) {
      throw std::logic_error("no index");
    }
    CloseAll();
    Use(path);
    if (!SetIndexTo()) throw std::logic_error("no index");
    state.ResumeTiming();
    if (!ALock()) throw std::logic_error("append lock refused");
    AppendFilms(kAppends);
    Unlock();
    CloseAll();
  }
  state.SetItemsProcessed(state.iterations() * kAppends);
  state.counters["us_per_append"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kAppends,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_IndexAppend)->Unit(benchmark::kMillisecond)->Iterations(1);

// The same 100,000 appends in one batch (AppendBatch, as `vxdbf append`, AppendLock::
// append_many and from_pandas take them): argument 1 with the three tags (the update bracket
// taken once every 50 ms), argument 0 to a table without an index, the plain append they are
// measured against (goal: at most 5x).
void BM_IndexAppendBatch(benchmark::State& state) {
  constexpr std::int64_t kAppends = 100000;
  const bool indexed = state.range(0) == 1;
  BenchDir dir;
  for (auto _ : state) {
    state.PauseTiming();
    const std::string path = dir.File("BATCH.DBF");
    std::filesystem::remove(dir.File("BATCH.MDX"));
    {
      TableRecord t;
      CreateDBF(t, path, FilmFields());
    }
    InitEngine();
    Select(1);
    if (indexed) {
      Use(path + " EXCLUSIVE");
      if (!MakeIndex({{"TITLE", "TITLE", "", false, false},
                      {"YEAR", "YEAR", "", false, false},
                      {"PREMIERE", "PREMIERE", "", false, false}})) {
        throw std::logic_error("no index");
      }
      CloseAll();
      Use(path);
      if (!SetIndexTo()) throw std::logic_error("no index");
    } else {
      Use(path);
    }
    state.ResumeTiming();
    if (!ALock()) throw std::logic_error("append lock refused");
    {
      AppendBatch batch;
      AppendFilms(kAppends);
      if (!batch.Close()) throw std::logic_error("batch not written");
    }
    Unlock();
    CloseAll();
  }
  state.SetItemsProcessed(state.iterations() * kAppends);
  state.counters["us_per_append"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kAppends,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_IndexAppendBatch)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(1);

#ifdef VX_BENCH_SQLITE
// SQLite's side of BM_IndexAppendBatch: the same 100,000 rows inserted into a table with three
// indexes (TITLE, YEAR, PREMIERE) in one transaction, with a prepared statement.
void BM_SqliteInsertThreeIndexes(benchmark::State& state) {
  constexpr std::int64_t kAppends = 100000;
  BenchDir dir;
  for (auto _ : state) {
    state.PauseTiming();
    const std::string path = dir.File("insert.db");
    std::filesystem::remove(path);
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db,
                 "CREATE TABLE films (TITLE TEXT, YEAR INTEGER, PREMIERE TEXT);"
                 "CREATE INDEX t ON films (TITLE); CREATE INDEX y ON films (YEAR);"
                 "CREATE INDEX p ON films (PREMIERE);",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO films VALUES (?, ?, ?)", -1, &insert, nullptr);
    state.ResumeTiming();
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    for (std::int64_t i = 0; i < kAppends; ++i) {
      const std::string title = Title((i * 7919) % kFilms);
      const int year = static_cast<int>(1900 + i % 120);
      char date[16];
      std::snprintf(date, sizeof date, "%04d-%02d-%02d", year, static_cast<int>(1 + i % 12),
                    static_cast<int>(1 + i % 28));
      sqlite3_bind_text(insert, 1, title.data(), static_cast<int>(title.size()), SQLITE_STATIC);
      sqlite3_bind_int(insert, 2, year);
      sqlite3_bind_text(insert, 3, date, -1, SQLITE_STATIC);
      if (sqlite3_step(insert) != SQLITE_DONE) throw std::logic_error(sqlite3_errmsg(db));
      sqlite3_reset(insert);
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_finalize(insert);
    sqlite3_close(db);
  }
  state.SetItemsProcessed(state.iterations() * kAppends);
  state.counters["us_per_append"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kAppends,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_SqliteInsertThreeIndexes)->Unit(benchmark::kMillisecond)->Iterations(1);
#endif

// The first edit after the index was opened reads every tree the edit changes whole and makes
// every record's key for it once (the index's items against the records), which later edits
// do not repeat. Argument 1: open the million-film table with its TITLE tag and change record
// 1's title (the first edit); argument 0: the same open and positioning without the edit, to
// set the first edit's cost against.
void BM_IndexFirstEdit(benchmark::State& state) {
  const std::string& path = IndexedFilms();
  InitEngine();
  bool odd = false;
  for (auto _ : state) {
    Select(1);
    Use(path + " EXCLUSIVE");
    if (!SetIndexTo()) throw std::logic_error("no index");
    GO(1);
    if (state.range(0) == 1) {
      odd = !odd;
      RecordImage::Of(*SelectedTable()).SetText(1, odd ? "Film number 0x" : Title(0));
      EngineErrorCode = 0;
      REPLACE();
      const std::string message = LastErrorMessage;
      if (EngineErrorCode != 0) throw std::logic_error("edit refused: " + message);
    }
    CloseAll();
  }
}
BENCHMARK(BM_IndexFirstEdit)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(5);

// The fill setting of built leaves: the C 20 TITLE tag over 200,000 films built with the
// argument's percent of each leaf filled, then 20,000 title edits that put new keys all over
// the tree. Counters: the index file before and after the edits and its growth, and the CPU
// cost of 50,000 random exact seeks on the built tree and again after the edits.
void BM_IndexFill(benchmark::State& state) {
  constexpr std::int64_t kFillFilms = 200000;
  constexpr int kEdits = 20000;
  constexpr int kFillSeeks = 50000;
  BenchDir dir;
  const std::string path = dir.File("FILL.DBF");
  WriteFilms(path, kFillFilms);
  // Asked of the file system: the engine holds the index deny-all.
  const auto index_size = [&] {
    return static_cast<double>(std::filesystem::file_size(dir.File("FILL.MDX")));
  };
  std::mt19937 random(kSeed);
  const auto seeks = [&] {
    std::vector<std::string> keys;
    for (int i = 0; i < kFillSeeks; ++i) keys.push_back(Title(random() % kFillFilms));
    const std::clock_t start = std::clock();
    for (const std::string& key : keys) benchmark::DoNotOptimize(Find(key));
    return static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC / kFillSeeks * 1e6;
  };
  const int fill = IndexBuildFill;
  double before = 0, after = 0, seek_built = 0, seek_edited = 0;
  for (auto _ : state) {
    InitEngine();
    Select(1);
    Use(path + " EXCLUSIVE");
    IndexBuildFill = static_cast<int>(state.range(0));
    if (!MakeIndex({{"TITLE", "TITLE", "", false, false}})) throw std::logic_error("no build");
    IndexBuildFill = fill;
    if (!SetIndexTo()) throw std::logic_error("no index");
    before = index_size();
    seek_built = seeks();
    for (int i = 0; i < kEdits; ++i) {
      GO(static_cast<std::int32_t>(1 + random() % kFillFilms));
      RecordImage::Of(*SelectedTable()).SetText(1, Title(kFillFilms + random() % 10000000));
      REPLACE();
    }
    seek_edited = seeks();
    CloseAll();
    after = index_size();
  }
  state.counters["mdx_MiB"] = before / (1 << 20);
  state.counters["edited_MiB"] = after / (1 << 20);
  state.counters["growth_pct"] = (after / before - 1) * 100;
  state.counters["us_seek_built"] = seek_built;
  state.counters["us_seek_edited"] = seek_edited;
}
BENCHMARK(BM_IndexFill)
    ->Arg(100)
    ->Arg(90)
    ->Arg(80)
    ->Arg(67)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

}  // namespace
}  // namespace vx::bench
