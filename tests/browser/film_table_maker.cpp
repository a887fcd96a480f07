// Writes the film table the README's picture of the browser shows: FOLDER/films.DBF with the
// demo's fields and a production index films.MDX holding the tag TITLE (made by the test
// writer, as index building is a separate unit).
//
//   film_table_maker FOLDER

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "components/dataset/file_dataset.h"
#include "components/dataset/table_dataset.h"
#include "engine/startup/engine_startup.h"
#include "tests/support/mdx_writer.h"
#include "tests/support/temp_dir.h"

namespace {

struct Film {
  const char* title;
  int year;
  const char* director;
  int runtime;
};
constexpr Film kFilms[] = {
    {"Metropolis", 1927, "Fritz Lang", 153},
    {"Casablanca", 1942, "Michael Curtiz", 102},
    {"Vertigo", 1958, "Alfred Hitchcock", 128},
    {"Alien", 1979, "Ridley Scott", 117},
    {"Mad Max", 1979, "George Miller", 88},
    {"Brazil", 1985, "Terry Gilliam", 132},
    {"Manhattan", 1979, "Woody Allen", 96},
    {"Psycho", 1960, "Alfred Hitchcock", 109},
    {"Marnie", 1964, "Alfred Hitchcock", 130},
    {"Matrix", 1999, "Lana Wachowski", 136},
    {"Amadeus", 1984, "Milos Forman", 160},
    {"Rashomon", 1950, "Akira Kurosawa", 88},
    {"Mary Poppins", 1964, "Robert Stevenson", 139},
    {"Jaws", 1975, "Steven Spielberg", 124},
    {"M", 1931, "Fritz Lang", 117},
    {"Nosferatu", 1922, "F. W. Murnau", 94},
    {"Magnolia", 1999, "Paul Thomas Anderson", 188},
    {"Heat", 1995, "Michael Mann", 170},
    {"Malcolm X", 1992, "Spike Lee", 202},
    {"Fargo", 1996, "Joel Coen", 98},
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: film_table_maker FOLDER\n";
    return 2;
  }
  const std::filesystem::path folder = argv[1];
  std::filesystem::create_directories(folder);
  const std::string table = (folder / "films.DBF").string();
  std::filesystem::remove(table);
  vx::InitEngine();
  vx::InitTableDatasetUnit();
  {
    vx::TComponent owner(nullptr);
    auto* films = new vx::ZOvEzi(&owner);
    films->SetName("Films");
    films->SetDbfFileName(table);
    for (const char* line :
         {"title, C, 20, 0", "year, N, 4, 0", "color, L, 1, 0", "runtime, N, 3, 0",
          "director, C, 20, 0", "plot, M, 10, 0", "premiere, D, 10, 0"})
      films->DbfFields().Add(line);
    films->SetActive(true);
    for (const Film& film : kFilms) {
      films->Append();
      films->FieldByName("TITLE")->SetAsString(film.title);
      films->FieldByName("YEAR")->SetAsInteger(film.year);
      films->FieldByName("COLOR")->SetAsBoolean(film.year >= 1960);
      films->FieldByName("RUNTIME")->SetAsInteger(film.runtime);
      films->FieldByName("DIRECTOR")->SetAsString(film.director);
      films->Post();
    }
    delete films;
  }
  vx::ShutdownEngine();

  std::vector<unsigned char> bytes = vx::test::ReadBytes(table);
  bytes[28] = 1;  // the production index flag
  vx::test::WriteBytes(table, bytes);
  vx::test::TagShape tag;
  tag.name = "TITLE";
  tag.key_expression = "TITLE";
  tag.key_length = 20;
  std::uint32_t record = 0;
  for (const Film& film : kFilms) {
    std::string key = film.title;
    key.resize(20, ' ');
    tag.items.emplace_back(key, ++record);
  }
  std::sort(tag.items.begin(), tag.items.end());
  vx::test::WriteBytes((folder / "films.MDX").string(), vx::test::BuildMdx("films", {tag}));
  std::cout << table << "\n";
  return 0;
}
