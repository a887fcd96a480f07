// The dataset component over the film table as a grid uses it: open the table shared, go to the
// last and the first record, and scroll a 20-row window (a data link with BufferCount 20) by
// MoveBy, then close. The dataset only ever reads the records of its window, so the time must
// not grow with the table: the pair runs the same work over 10,000 and 1,000,000 records.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
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
#include "tests/support/mdx_writer.h"

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

// The same table with its production index (tag TITLE, C 20, written by the test writer) and
// the TITLE keys in the tag's order.
struct TaggedFilms {
  std::string path;
  std::vector<std::string> keys;
};
const TaggedFilms& TaggedFilmTable(std::int64_t count) {
  static std::map<std::int64_t, TaggedFilms> made;
  if (auto it = made.find(count); it != made.end()) return it->second;
  const std::string plain = FilmTable(count);
  TaggedFilms films;
  films.path = plain.substr(0, plain.size() - 4) + "t.dbf";
  std::filesystem::copy_file(plain, films.path, std::filesystem::copy_options::overwrite_existing);
  {
    std::fstream file(films.path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(28);
    file.put(1);  // the production index flag
  }
  test::TagShape tag;
  tag.name = "TITLE";
  tag.key_expression = "TITLE";
  tag.key_length = 20;
  tag.items.reserve(static_cast<std::size_t>(count));
  for (std::int64_t i = 0; i < count; ++i) {
    char title[32];
    std::snprintf(title, sizeof title, "%-20s",
                  ("Film number " + std::to_string(static_cast<long long>(i))).c_str());
    tag.items.emplace_back(title, static_cast<std::uint32_t>(i + 1));
  }
  std::sort(tag.items.begin(), tag.items.end());
  for (const auto& item : tag.items) films.keys.push_back(item.first);
  const std::vector<unsigned char> bytes = test::BuildMdx("FILMS", {tag});
  std::ofstream index(films.path.substr(0, films.path.size() - 4) + ".mdx", std::ios::binary);
  index.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  if (!index) throw std::runtime_error("could not write the index of " + films.path);
  return made[count] = std::move(films);
}

// As above, in the order of the production index's tag: the dataset positions and scrolls
// through the tag, so the time must not grow with the table either.
void BM_Dataset_TagOrderLastFirstScroll(benchmark::State& state) {
  const std::int64_t count = state.range(0);
  const TaggedFilms& table = TaggedFilmTable(count);
  StartOnce();
  bool checked = false;
  for (auto _ : state) {
    TComponent form(nullptr);
    auto* films = new ZOvEzi(&form);
    films->SetName("Films");
    films->SetDbfFileName(table.path);
    auto* source = new TDataSource(&form);
    source->SetDataSet(films);
    TDataLink grid;
    grid.SetBufferCount(kWindow);
    grid.SetDataSource(source);
    films->Open();
    films->Last();
    const std::string last = films->FieldByName("TITLE")->AsString();
    films->First();
    for (int page = 0; page < kPages; ++page) films->MoveBy(kWindow);
    if (!checked) {
      std::string expected = table.keys[kPages * kWindow];
      expected.erase(expected.find_last_not_of(' ') + 1);
      std::string expected_last = table.keys.back();
      expected_last.erase(expected_last.find_last_not_of(' ') + 1);
      if (films->ActiveOrder() != 1 || last != expected_last ||
          films->FieldByName("TITLE")->AsString() != expected || grid.RecordCount() != kWindow) {
        throw std::logic_error("the dataset read the wrong records in tag order");
      }
      checked = true;
    }
    grid.SetDataSource(nullptr);
    films->Close();
  }
}
BENCHMARK(BM_Dataset_TagOrderLastFirstScroll)
    ->Arg(10000)
    ->Arg(1000000)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace vx::bench
