// Key search in an index: random exact Finds on the TITLE tag of the million-film table, each
// with the record read, shared (argument 0, semaphore brackets around every search) against
// exclusive (1). The tag file is written by the test writer from the sorted titles.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <stdexcept>

#include "bench/film_table.h"
#include "engine/foundation/errors.h"
#include "engine/index/orders.h"
#include "engine/startup/engine_startup.h"
#include "engine/table/dbf_records.h"
#include "engine/workarea/navigation.h"
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
    TableRecord t;
    CreateDBF(t, p, FilmFields());
    t.file_name = p;
    t.open_mode = os::kOpenReadWriteDenyAll;
    OpenDbf(t);
    t.append_behind = true;
    for (std::int64_t i = 0; i < kFilms; ++i) {
      FillFilm(t, i);
      AppendFromBuffer(t);
    }
    CloseDbf(t);
    test::TagSpec tag;
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

}  // namespace
}  // namespace vx::bench
