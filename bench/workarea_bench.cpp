// The work-area commands on the film table, shared (argument 0) against exclusive (1), beside
// shapelib (a plain DBF library without sharing) on the same workload in the same run:
//   W1 append a million films under one append lock, W2 scan them with every field read,
//   W3 GO to random records reading three fields, W4 lock, change and REPLACE random records.
// Peek reads one field of random records directly, with and without the read-ahead cache.

#include <benchmark/benchmark.h>
#include <shapefil.h>

#include <cstring>
#include <random>
#include <stdexcept>

#include "bench/film_table.h"
#include "engine/foundation/dates.h"
#include "engine/foundation/errors.h"
#include "engine/foundation/settings.h"
#include "engine/startup/engine_startup.h"
#include "engine/table/dbf_records.h"
#include "engine/workarea/locate.h"
#include "engine/workarea/locks.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/record_image.h"
#include "engine/workarea/work_areas.h"

namespace vx::bench {
namespace {

constexpr std::int64_t kFilms = 1000000;
constexpr int kRandomOps = 100000;
constexpr std::uint32_t kSeed = 20261208;

// Field numbers of the film table (FilmFields).
enum FilmField { kTitle = 1, kYear, kColor, kRuntime, kStars, kDirector, kPremiere };

RecordImage Image() { return RecordImage::Of(*SelectedTable()); }

void FillImage(RecordImage image, std::int64_t i) {
  char text[64];
  std::snprintf(text, sizeof text, "Film number %lld", static_cast<long long>(i));
  image.SetText(kTitle, text);
  image.SetNumber(kYear, FilmYear(i));
  image.SetLogical(kColor, i % 3 != 0);
  image.SetNumber(kRuntime, static_cast<double>(60 + i % 120));
  std::snprintf(text, sizeof text, "Star %lld, Star %lld", static_cast<long long>(i % 997),
                static_cast<long long>(i % 991));
  image.SetText(kStars, text);
  std::snprintf(text, sizeof text, "Director %lld", static_cast<long long>(i % 500));
  image.SetText(kDirector, text);
  std::snprintf(text, sizeof text, "%02d/%02d/%04d", static_cast<int>(1 + i % 12),
                static_cast<int>(1 + i % 28), FilmYear(i));
  image.SetText(kPremiere, text);
}

struct Engine {
  Engine() {
    InitEngine();
    DateStyle = 0;
    CenturyOn = true;
  }
};

void UseFilms(const std::string& path, bool exclusive) {
  static Engine engine;
  Select(1);
  Use(path + (exclusive ? " EXCLUSIVE" : ""));
}

std::string CreateFilms(const BenchDir& dir, const char* name) {
  const std::string path = dir.File(name);
  TableRecord t;
  CreateDBF(t, path, FilmFields());
  return path;
}

void AppendAll(std::int64_t count) {
  if (!ALock()) throw std::logic_error("append lock refused");
  RecordImage image = Image();
  for (std::int64_t i = 0; i < count; ++i) {
    FillImage(image, i);
    Append();
  }
  Unlock();
}

// The million-film table the read benchmarks share.
const std::string& Films() {
  static BenchDir dir;
  static const std::string path = [] {
    const std::string p = CreateFilms(dir, "films.dbf");
    UseFilms(p, true);
    AppendAll(kFilms);
    CloseAll();
    return p;
  }();
  return path;
}

void BM_W1_Append(benchmark::State& state) {
  BenchDir dir;
  for (auto _ : state) {
    state.PauseTiming();
    const std::string path = CreateFilms(dir, "append.dbf");
    UseFilms(path, state.range(0) == 1);
    state.ResumeTiming();
    AppendAll(kFilms);
    CloseAll();
    state.PauseTiming();
    UseFilms(path, true);
    if (RecCount() != kFilms) throw std::logic_error("append lost records");
    CloseAll();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kFilms);
}
BENCHMARK(BM_W1_Append)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_W2_Scan(benchmark::State& state) {
  UseFilms(Films(), state.range(0) == 1);
  std::int64_t expected = 0;
  for (std::int64_t i = 0; i < kFilms; ++i) expected += FilmYear(i);
  for (auto _ : state) {
    std::int64_t years = 0;
    std::size_t text = 0;
    const RecordImage image = Image();
    for (GoTop(); !dEOF(); SKIP(1)) {
      // Every field, as a caller reads them from the image.
      text += image.Text(kTitle).size() + image.Text(kStars).size() + image.Text(kDirector).size() +
              image.Text(kPremiere).size();
      years += static_cast<std::int64_t>(image.Number(kYear));
      benchmark::DoNotOptimize(image.Number(kRuntime) + image.Logical(kColor));
    }
    benchmark::DoNotOptimize(text);
    if (years != expected) throw std::logic_error("scan read wrong values");
  }
  CloseAll();
  state.SetItemsProcessed(state.iterations() * kFilms);
}
BENCHMARK(BM_W2_Scan)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_W3_Go(benchmark::State& state) {
  UseFilms(Films(), state.range(0) == 1);
  for (auto _ : state) {
    std::mt19937 random(kSeed);
    std::uniform_int_distribution<std::int32_t> pick(1, static_cast<std::int32_t>(kFilms));
    for (int i = 0; i < kRandomOps; ++i) {
      const std::int32_t n = pick(random);
      GO(n);
      const RecordImage image = Image();
      if (image.Number(kYear) != FilmYear(n - 1))
        throw std::logic_error("GO read the wrong record");
      benchmark::DoNotOptimize(image.Number(kRuntime) + image.Text(kTitle).size());
    }
  }
  CloseAll();
  state.SetItemsProcessed(state.iterations() * kRandomOps);
}
BENCHMARK(BM_W3_Go)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_W4_Replace(benchmark::State& state) {
  UseFilms(Films(), state.range(0) == 1);
  for (auto _ : state) {
    std::mt19937 random(kSeed);
    std::uniform_int_distribution<std::int32_t> pick(1, static_cast<std::int32_t>(kFilms));
    for (int i = 0; i < kRandomOps; ++i) {
      GO(pick(random));
      if (!RLock()) throw std::logic_error("record lock refused");
      RecordImage image = Image();
      image.SetNumber(kRuntime, 60 + (static_cast<int>(image.Number(kRuntime)) + 1) % 120);
      REPLACE();
      Unlock();
    }
  }
  CloseAll();
  state.SetItemsProcessed(state.iterations() * kRandomOps);
}
BENCHMARK(BM_W4_Replace)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Peek of RUNTIME from records near each other (a window of 200), argument = PeekCacheSize.
void BM_Peek(benchmark::State& state) {
  UseFilms(Films(), false);
  PeekCacheSize = static_cast<std::uint16_t>(state.range(0));
  const int runtime_field = FieldNo("RUNTIME");
  for (auto _ : state) {
    std::mt19937 random(kSeed);
    std::uniform_int_distribution<std::int32_t> step(0, 199);
    std::int32_t base = 1;
    for (int i = 0; i < kRandomOps; ++i) {
      if (i % 1000 == 0) base = 1 + (i / 1000) * 5000;
      const std::string value = Peek(runtime_field, base + step(random));
      benchmark::DoNotOptimize(value);
    }
  }
  PeekCacheSize = 0;
  CloseAll();
  state.SetItemsProcessed(state.iterations() * kRandomOps);
}
BENCHMARK(BM_Peek)->Arg(0)->Arg(32768)->Unit(benchmark::kMillisecond);

// --- shapelib on the same workload ---

struct ShpFields {
  int title, year, color, runtime, stars, director, premiere;
};

DBFHandle CreateShp(const std::string& path, ShpFields& f) {
  DBFHandle h = DBFCreate(path.c_str());
  f.title = DBFAddField(h, "TITLE", FTString, 20, 0);
  f.year = DBFAddField(h, "YEAR", FTInteger, 4, 0);
  f.color = DBFAddField(h, "COLOR", FTLogical, 1, 0);
  f.runtime = DBFAddField(h, "RUNTIME", FTInteger, 3, 0);
  f.stars = DBFAddField(h, "STARS", FTString, 50, 0);
  f.director = DBFAddField(h, "DIRECTOR", FTString, 20, 0);
  f.premiere = DBFAddNativeFieldType(h, "PREMIERE", 'D', 8, 0);
  return h;
}

void ShpAppendAll(DBFHandle h, const ShpFields& f, std::int64_t count) {
  char text[64];
  for (std::int64_t i = 0; i < count; ++i) {
    const int r = static_cast<int>(i);
    std::snprintf(text, sizeof text, "Film number %lld", static_cast<long long>(i));
    DBFWriteStringAttribute(h, r, f.title, text);
    DBFWriteIntegerAttribute(h, r, f.year, FilmYear(i));
    DBFWriteLogicalAttribute(h, r, f.color, i % 3 == 0 ? 'F' : 'T');
    DBFWriteIntegerAttribute(h, r, f.runtime, static_cast<int>(60 + i % 120));
    std::snprintf(text, sizeof text, "Star %lld, Star %lld", static_cast<long long>(i % 997),
                  static_cast<long long>(i % 991));
    DBFWriteStringAttribute(h, r, f.stars, text);
    std::snprintf(text, sizeof text, "Director %lld", static_cast<long long>(i % 500));
    DBFWriteStringAttribute(h, r, f.director, text);
    std::snprintf(text, sizeof text, "%04d%02d%02d", FilmYear(i), static_cast<int>(1 + i % 12),
                  static_cast<int>(1 + i % 28));
    DBFWriteStringAttribute(h, r, f.premiere, text);
  }
}

const std::string& ShpFilms() {
  static BenchDir dir;
  static const std::string path = [] {
    const std::string p = dir.File("films_shp.dbf");
    ShpFields f;
    DBFHandle h = CreateShp(p, f);
    ShpAppendAll(h, f, kFilms);
    DBFClose(h);
    return p;
  }();
  return path;
}

void BM_Shp_Append(benchmark::State& state) {
  BenchDir dir;
  for (auto _ : state) {
    ShpFields f;
    DBFHandle h = CreateShp(dir.File("append_shp.dbf"), f);
    ShpAppendAll(h, f, kFilms);
    DBFClose(h);
  }
  state.SetItemsProcessed(state.iterations() * kFilms);
}
BENCHMARK(BM_Shp_Append)->Unit(benchmark::kMillisecond);

void BM_Shp_Scan(benchmark::State& state) {
  DBFHandle h = DBFOpen(ShpFilms().c_str(), "rb+");
  std::int64_t expected = 0;
  for (std::int64_t i = 0; i < kFilms; ++i) expected += FilmYear(i);
  for (auto _ : state) {
    std::int64_t years = 0;
    std::size_t text = 0;
    const int count = DBFGetRecordCount(h);
    for (int r = 0; r < count; ++r) {
      text += std::strlen(DBFReadStringAttribute(h, r, 0));
      years += DBFReadIntegerAttribute(h, r, 1);
      benchmark::DoNotOptimize(DBFReadLogicalAttribute(h, r, 2));
      benchmark::DoNotOptimize(DBFReadIntegerAttribute(h, r, 3));
      text += std::strlen(DBFReadStringAttribute(h, r, 4));
      text += std::strlen(DBFReadStringAttribute(h, r, 5));
      text += std::strlen(DBFReadStringAttribute(h, r, 6));
    }
    benchmark::DoNotOptimize(text);
    if (years != expected) throw std::logic_error("shapelib scan read wrong values");
  }
  DBFClose(h);
  state.SetItemsProcessed(state.iterations() * kFilms);
}
BENCHMARK(BM_Shp_Scan)->Unit(benchmark::kMillisecond);

void BM_Shp_Go(benchmark::State& state) {
  DBFHandle h = DBFOpen(ShpFilms().c_str(), "rb+");
  for (auto _ : state) {
    std::mt19937 random(kSeed);
    std::uniform_int_distribution<std::int32_t> pick(1, static_cast<std::int32_t>(kFilms));
    for (int i = 0; i < kRandomOps; ++i) {
      const int r = pick(random) - 1;
      if (DBFReadIntegerAttribute(h, r, 1) != FilmYear(r)) throw std::logic_error("wrong record");
      benchmark::DoNotOptimize(DBFReadIntegerAttribute(h, r, 3));
      benchmark::DoNotOptimize(DBFReadStringAttribute(h, r, 0));
    }
  }
  DBFClose(h);
  state.SetItemsProcessed(state.iterations() * kRandomOps);
}
BENCHMARK(BM_Shp_Go)->Unit(benchmark::kMillisecond);

void BM_Shp_Replace(benchmark::State& state) {
  DBFHandle h = DBFOpen(ShpFilms().c_str(), "rb+");
  for (auto _ : state) {
    std::mt19937 random(kSeed);
    std::uniform_int_distribution<std::int32_t> pick(1, static_cast<std::int32_t>(kFilms));
    for (int i = 0; i < kRandomOps; ++i) {
      const int r = pick(random) - 1;
      const int runtime = DBFReadIntegerAttribute(h, r, 3);
      DBFWriteIntegerAttribute(h, r, 3, 60 + (runtime + 1) % 120);
    }
    DBFUpdateHeader(h);
  }
  DBFClose(h);
  state.SetItemsProcessed(state.iterations() * kRandomOps);
}
BENCHMARK(BM_Shp_Replace)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vx::bench
