// The dataset component over the film table as a grid uses it: open the table shared, go to the
// last and the first record, and scroll a 20-row window (a data link with BufferCount 20) by
// MoveBy, then close. The dataset only ever reads the records of its window, so the time must
// not grow with the table: the pair runs the same work over 10,000 and 1,000,000 records.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/film_table.h"
#include "components/dataset/file_dataset.h"
#include "engine/startup/engine_startup.h"
#include "engine/table/dbf_records.h"
#include "platform/dataset/data_source.h"

namespace vx::bench {
namespace {

constexpr int kWindow = 20;
constexpr int kPages = 50;

// Writes a film table of `count` records straight to the file: the header CreateDBF wrote,
// then the records, the count and the end-of-file marker.
std::string FilmTable(std::int64_t count) {
  static BenchDir dir;
  static std::map<std::int64_t, std::string> made;
  if (auto it = made.find(count); it != made.end()) return it->second;
  const std::string path = dir.File("films" + std::to_string(count) + ".dbf");
  {
    TableRecord created;
    CreateDBF(created, path, FilmFields());
  }
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  unsigned char prologue[12];
  file.read(reinterpret_cast<char*>(prologue), sizeof prologue);
  const int header_length = prologue[8] | prologue[9] << 8;
  const int record_length = prologue[10] | prologue[11] << 8;
  TableRecord scratch;
  scratch.record.resize(static_cast<std::size_t>(record_length));
  std::vector<char> block;
  file.seekp(header_length);
  for (std::int64_t i = 0; i < count; ++i) {
    FillFilm(scratch, i);
    block.insert(block.end(), scratch.record.begin(), scratch.record.end());
    if (block.size() >= (1u << 20) || i + 1 == count) {
      file.write(block.data(), static_cast<std::streamsize>(block.size()));
      block.clear();
    }
  }
  file.put(0x1A);
  const std::uint32_t n = static_cast<std::uint32_t>(count);
  const char count_bytes[4] = {char(n & 0xFF), char(n >> 8 & 0xFF), char(n >> 16 & 0xFF),
                               char(n >> 24)};
  file.seekp(4);
  file.write(count_bytes, 4);
  if (!file) throw std::runtime_error("could not write " + path);
  return made[count] = path;
}

void StartOnce() {
  static const bool started = [] {
    InitEngine();
    InitTableDatasetUnit();
    return true;
  }();
  benchmark::DoNotOptimize(started);
}

void BM_Dataset_OpenLastFirstScroll(benchmark::State& state) {
  const std::int64_t count = state.range(0);
  const std::string path = FilmTable(count);
  StartOnce();
  bool checked = false;
  for (auto _ : state) {
    TComponent form(nullptr);
    auto* films = new ZOvEzi(&form);
    films->SetName("Films");
    films->SetDbfFileName(path);
    auto* source = new TDataSource(&form);
    source->SetDataSet(films);
    TDataLink grid;
    grid.SetBufferCount(kWindow);
    grid.SetDataSource(source);
    films->Open();
    films->Last();
    const int last = films->RecNo();
    films->First();
    for (int page = 0; page < kPages; ++page) films->MoveBy(kWindow);
    if (!checked) {
      char title[64];
      std::snprintf(title, sizeof title, "Film number %d", kPages * kWindow);
      if (last != count || films->RecNo() != kPages * kWindow + 1 ||
          films->FieldByName("TITLE")->AsString() != title || grid.RecordCount() != kWindow) {
        throw std::logic_error("the dataset read the wrong records");
      }
      checked = true;
    }
    grid.SetDataSource(nullptr);
    films->Close();
  }
}
BENCHMARK(BM_Dataset_OpenLastFirstScroll)->Arg(10000)->Arg(1000000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace vx::bench
