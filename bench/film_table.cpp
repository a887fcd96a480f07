#include "bench/film_table.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "engine/table/dbf_records.h"
#include "platform/os/file.h"

namespace vx::bench {

std::vector<FieldEntry> FilmFields() {
  return {{"TITLE", 'C', 20, 0, 0},  {"YEAR", 'N', 4, 0, 0},   {"COLOR", 'L', 1, 0, 0},
          {"RUNTIME", 'N', 3, 0, 0}, {"STARS", 'C', 50, 0, 0}, {"DIRECTOR", 'C', 20, 0, 0},
          {"PREMIERE", 'D', 8, 0, 0}};
}

int FilmYear(std::int64_t i) { return 1900 + static_cast<int>(i % 120); }

void FillFilm(TableRecord& t, std::int64_t i) {
  char* r = t.record.data();
  std::memset(r, ' ', t.record.size());
  char text[64];
  std::snprintf(text, sizeof text, "Film number %lld", static_cast<long long>(i));
  std::memcpy(r + 1, text, std::strlen(text));
  std::snprintf(text, sizeof text, "%4d", FilmYear(i));
  std::memcpy(r + 21, text, 4);
  r[25] = i % 3 == 0 ? 'F' : 'T';
  std::snprintf(text, sizeof text, "%3d", static_cast<int>(60 + i % 120));
  std::memcpy(r + 26, text, 3);
  std::snprintf(text, sizeof text, "Star %lld, Star %lld", static_cast<long long>(i % 997),
                static_cast<long long>(i % 991));
  std::memcpy(r + 29, text, std::strlen(text));
  std::snprintf(text, sizeof text, "Director %lld", static_cast<long long>(i % 500));
  std::memcpy(r + 79, text, std::strlen(text));
  std::snprintf(text, sizeof text, "%04d%02d%02d", FilmYear(i), static_cast<int>(1 + i % 12),
                static_cast<int>(1 + i % 28));
  std::memcpy(r + 99, text, 8);
}

void WriteFilms(const std::string& path, std::int64_t count,
                const std::function<void(const TableRecord&)>& each) {
  TableRecord t;
  CreateDBF(t, path, FilmFields());
  t.file_name = path;
  t.open_mode = os::kOpenReadWriteDenyAll;
  OpenDbf(t);
  t.append_behind = true;
  for (std::int64_t i = 0; i < count; ++i) {
    FillFilm(t, i);
    AppendFromBuffer(t);
    if (each) each(t);
  }
  CloseDbf(t);
}

BenchDir::BenchDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/vxbench-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

BenchDir::~BenchDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

}  // namespace vx::bench
