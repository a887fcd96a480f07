// Building a C 20 tag over the million films against SQLite's CREATE INDEX over the same titles
// in a table of the same rows, in the same run: each iteration times one build on each side
// (the SQLite database is a file in the benchmark folder, as the index file is) and the counter
// `ratio` is ours over SQLite's, summed over the iterations.

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "bench/film_table.h"
#include "engine/index/index_build.h"
#include "engine/startup/engine_startup.h"
#include "engine/table/dbf_records.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/work_areas.h"

namespace vx::bench {
namespace {

constexpr std::int64_t kFilms = 1000000;

void Exec(sqlite3* db, const std::string& sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string text = error != nullptr ? error : "";
    sqlite3_free(error);
    throw std::runtime_error(sql + ": " + text);
  }
}

// Inserts the film in the record buffer into the SQLite table (TITLE, YEAR, DIRECTOR,
// PREMIERE): the title exactly the table's 20 characters.
void InsertFilm(sqlite3_stmt* insert, const TableRecord& t) {
  const char* r = t.record.data();
  sqlite3_bind_text(insert, 1, r + 1, 20, SQLITE_TRANSIENT);
  sqlite3_bind_int(insert, 2, std::atoi(std::string(r + 21, 4).c_str()));
  sqlite3_bind_text(insert, 3, r + 79, 20, SQLITE_TRANSIENT);
  sqlite3_bind_text(insert, 4, r + 99, 8, SQLITE_TRANSIENT);
  if (sqlite3_step(insert) != SQLITE_DONE) throw std::runtime_error("SQLite insert failed");
  sqlite3_reset(insert);
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

void BM_IndexBuildVsSqlite(benchmark::State& state) {
  BenchDir dir;
  const std::string path = dir.File("FILMS.DBF");
  sqlite3* db = nullptr;
  if (sqlite3_open(dir.File("films.sqlite").c_str(), &db) != SQLITE_OK) {
    throw std::runtime_error("cannot open the SQLite database");
  }
  Exec(db, "CREATE TABLE films (title TEXT, year INTEGER, director TEXT, premiere TEXT)");
  Exec(db, "BEGIN");
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO films VALUES (?, ?, ?, ?)", -1, &insert, nullptr);
  WriteFilms(path, kFilms, [insert](const TableRecord& t) { InsertFilm(insert, t); });
  sqlite3_finalize(insert);
  Exec(db, "COMMIT");
  InitEngine();
  Select(1);
  Use(path + " EXCLUSIVE");
  double ours = 0;
  double theirs = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    if (!MakeIndex({{"TITLE", "TITLE", "", false, false}}, "BUILD.MDX")) {
      throw std::logic_error("build failed");
    }
    ours += Seconds(start);
    start = std::chrono::steady_clock::now();
    Exec(db, "CREATE INDEX films_title ON films (title)");
    theirs += Seconds(start);
    state.PauseTiming();
    Exec(db, "DROP INDEX films_title");
    state.ResumeTiming();
  }
  CloseAll();
  sqlite3_close(db);
  state.counters["ours_s"] = ours / static_cast<double>(state.iterations());
  state.counters["sqlite_s"] = theirs / static_cast<double>(state.iterations());
  state.counters["ratio"] = ours / theirs;
}
BENCHMARK(BM_IndexBuildVsSqlite)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace vx::bench
