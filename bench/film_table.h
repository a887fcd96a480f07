#pragma once
// The benchmarks' film table: the demo's schema filled with deterministic contents, built
// outside the timed loops.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/table/dbf_file.h"

namespace vx::bench {

// TITLE C 20, YEAR N 4, COLOR L 1, RUNTIME N 3, STARS C 50, DIRECTOR C 20, PREMIERE D 8.
std::vector<FieldEntry> FilmFields();
// Fills the record buffer (ANSI text, deletion flag blank) with film number i.
void FillFilm(TableRecord& table, std::int64_t i);
// A new film table of `count` films, written behind in large blocks; `each` (when given) sees
// every record after it is filled.
void WriteFilms(const std::string& path, std::int64_t count,
                const std::function<void(const TableRecord&)>& each = {});
// The YEAR of film number i (for checking a scan's result).
int FilmYear(std::int64_t i);
// A fresh folder for benchmark files, removed with the object.
class BenchDir {
 public:
  BenchDir();
  ~BenchDir();
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace vx::bench
