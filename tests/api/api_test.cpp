// The public library on real files: values of every field type through every open mode, value
// checks, code pages, cursors and seeks against orders computed here, tags kept current by
// edits, expressions, and locks and appends of a second process.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <thread>
#include <vexel/indexing.hpp>
#include <vexel/vexel.hpp>

#include "platform/os/codepage.h"
#include "platform/os/system_calls.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace {

using vexel::Date;
using vexel::Value;

std::vector<vexel::Field> FilmFields() {
  return {{"TITLE", 'C', 20, 0}, {"YEAR", 'N', 4, 0},     {"RATING", 'N', 5, 2},
          {"SCORE", 'F', 8, 3},  {"PREMIERE", 'D', 8, 0}, {"COLOR", 'L', 1, 0},
          {"PLOT", 'M', 10, 0}};
}

std::string Show(const Value& v) {
  struct {
    std::string operator()(std::monostate) const { return "<blank>"; }
    std::string operator()(const std::string& s) const { return "\"" + s + "\""; }
    std::string operator()(std::int64_t i) const { return std::to_string(i) + "i"; }
    std::string operator()(double d) const { return std::to_string(d) + "d"; }
    std::string operator()(const Date& d) const {
      return std::to_string(d.year) + "-" + std::to_string(d.month) + "-" + std::to_string(d.day);
    }
    std::string operator()(bool b) const { return b ? "true" : "false"; }
    std::string operator()(const vexel::DateTime& t) const {
      return (*this)(t.date) + "T" + std::to_string(t.hour) + ":" + std::to_string(t.minute) + ":" +
             std::to_string(t.second) + "." + std::to_string(t.millisecond);
    }
  } visitor;
  return std::visit(visitor, v);
}

class ApiTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name = "films.dbf") { return dir_.File(name); }
  vexel::Table CreateFilms(const vexel::CreateOptions& options = {}) {
    return vexel::create(Path(), FilmFields(), options);
  }
  vx::test::TempDir dir_;
};

// Every field type goes in and comes back, through each open mode.
TEST_F(ApiTest, ValuesOfEveryTypeRoundTripInEveryOpenMode) {
  struct Row {
    vexel::Assignments in;
    std::vector<Value> out;  // TITLE YEAR RATING SCORE PREMIERE COLOR PLOT
  };
  const std::vector<Row> rows = {
      {{{"TITLE", std::string("Vertigo")},
        {"year", std::int64_t{1958}},
        {"RATING", 8.25},
        {"SCORE", -1.5},
        {"PREMIERE", Date{1958, 5, 9}},
        {"COLOR", true},
        {"PLOT", std::string("A detective\r\nfollows Madeleine.")}},
       {std::string("Vertigo"), std::int64_t{1958}, 8.25, -1.5, Date{1958, 5, 9}, true,
        std::string("A detective\r\nfollows Madeleine.")}},
      // Fields not named: blank numbers, date and logical, empty text and memo.
      {{{"TITLE", std::string("Amélie")}},
       {std::string("Amélie"), std::monostate{}, std::monostate{}, std::monostate{},
        std::monostate{}, std::monostate{}, std::string()}},
      // Blanks given explicitly; a date as text; false.
      {{{"TITLE", std::monostate{}},
        {"PREMIERE", std::string("2001-04-25")},
        {"COLOR", false},
        {"PLOT", std::monostate{}}},
       {std::string(), std::monostate{}, std::monostate{}, std::monostate{}, Date{2001, 4, 25},
        false, std::string()}},
  };
  {
    vexel::Table t = CreateFilms();
    for (const Row& row : rows) t.append(row.in);
  }
  for (const vexel::OpenMode mode :
       {vexel::OpenMode::shared, vexel::OpenMode::exclusive, vexel::OpenMode::read_only}) {
    SCOPED_TRACE(static_cast<int>(mode));
    vexel::Table t = vexel::open(Path(), {.mode = mode});
    ASSERT_EQ(t.size(), rows.size());
    ASSERT_EQ(t.fields(), FilmFields());
    for (std::uint32_t n = 1; n <= rows.size(); ++n) {
      const vexel::Record r = t.read(n);
      EXPECT_EQ(r.recno(), n);
      EXPECT_FALSE(r.deleted());
      for (std::size_t i = 0; i < r.size(); ++i) {
        EXPECT_EQ(r[i], rows[n - 1].out[i])
            << "record " << n << " field " << i << ": " << Show(r[i]);
      }
    }
    EXPECT_EQ(t.read(1).text("rating"), "8.25");
    EXPECT_EQ(t.read(1).text("PREMIERE"), "19580509");
    EXPECT_EQ(t.read(1)["Title"], Value(std::string("Vertigo")));
    if (mode == vexel::OpenMode::read_only) {
      EXPECT_THROW(t.update(1, {{"YEAR", std::int64_t{1}}}), vexel::Error);
      EXPECT_THROW(t.append({}), vexel::Error);
      EXPECT_EQ(t.read(1)["YEAR"], Value(std::int64_t{1958}));
    } else {
      t.update(2, {{"YEAR", std::int64_t{2001}}, {"PLOT", std::string("Paris, ")}});
      EXPECT_EQ(t.read(2)["YEAR"], Value(std::int64_t{2001}));
      EXPECT_EQ(t.read(2)["PLOT"], Value(std::string("Paris,")));
      t.update(2, {{"YEAR", std::monostate{}}, {"PLOT", std::string()}});
      EXPECT_EQ(t.read(2).text("YEAR"), "");  // blanks again, not 0
    }
  }
}

// A value that does not fit is refused (an InputError) with the field's name, and nothing is
// written.
TEST_F(ApiTest, ValuesThatDoNotFitAreRefusedBeforeAnythingIsWritten) {
  vexel::Table t = CreateFilms();
  t.append({{"TITLE", std::string("Alien")}, {"YEAR", std::int64_t{1979}}});
  struct Case {
    vexel::Assignments values;
    std::string says;
  };
  const std::vector<Case> cases = {
      {{{"TITLE", std::string(21, 'x')}}, "longer than field TITLE"},
      {{{"YEAR", std::int64_t{12345}}}, "does not fit field YEAR"},
      {{{"RATING", 1000.0}}, "does not fit field RATING"},
      {{{"YEAR", std::string("1979")}}, "a string cannot go into field YEAR"},
      {{{"TITLE", std::int64_t{3}}}, "a number cannot go into field TITLE"},
      {{{"PREMIERE", Date{2001, 2, 29}}}, "is no date"},
      {{{"PREMIERE", std::string("29.02.2001")}}, "is no date"},
      {{{"COLOR", std::string("T")}}, "a string cannot go into field COLOR"},
      {{{"NOSUCH", std::string("x")}}, "no field NOSUCH"},
      {{{"TITLE", std::string("a")}, {"title", std::string("b")}}, "given twice"},
      {{{"TITLE", std::string("\xC3")}}, "not UTF-8"},
      {{{"TITLE", std::string("東京")}}, "has no place in code page"},
      // A good value first: still nothing is written.
      {{{"TITLE", std::string("ok")}, {"YEAR", 99999.0}}, "does not fit field YEAR"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.says);
    for (const bool append : {true, false}) {
      try {
        if (append) {
          t.append(c.values);
        } else {
          t.update(1, c.values);
        }
        ADD_FAILURE() << "accepted";
      } catch (const vexel::InputError& e) {
        EXPECT_EQ(e.code(), 220) << e.what();
        EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
      }
      EXPECT_EQ(t.size(), 1u);
      EXPECT_EQ(t.read(1)["TITLE"], Value(std::string("Alien")));
      EXPECT_EQ(t.read(1)["YEAR"], Value(std::int64_t{1979}));
    }
  }
}

// A memo update whose record write fails leaves the old memo whole: the new text goes to new
// blocks, and the old ones are given back only once the record names the new ones.
TEST_F(ApiTest, AMemoUpdateWhoseRecordWriteFailsKeepsTheOldMemo) {
  static int table_fd = -1;
  const std::string old_plot(700, 'o');
  for (const std::size_t size : {std::size_t{5}, std::size_t{700}, std::size_t{3000}}) {
    SCOPED_TRACE(size);
    std::filesystem::remove(Path());
    std::filesystem::remove(Path("films.dbt"));
    {
      vexel::Table t = CreateFilms();
      t.append({{"TITLE", std::string("Alien")}, {"PLOT", old_plot}});
    }
    vexel::Table t = vexel::open(Path());
    // Writes to the table file fail from here on (a full disk, a lost connection).
    table_fd = -1;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
      std::error_code ec;
      if (std::filesystem::read_symlink(fd.path(), ec) == std::filesystem::path(Path())) {
        table_fd = std::stoi(fd.path().filename().string());
      }
    }
    ASSERT_GE(table_fd, 0);
    vx::os::Syscalls.pwrite = [](int fd, const void* data, std::size_t count, off_t offset) {
      if (fd == table_fd) {
        errno = ENOSPC;
        return ssize_t{-1};
      }
      return vx::os::RealSystemCalls().pwrite(fd, data, count, offset);
    };
    EXPECT_THROW(t.update(1, {{"PLOT", std::string(size, 'n')}}), vexel::Error);
    vx::os::Syscalls = vx::os::RealSystemCalls();
    // A later memo must not take the old memo's blocks either.
    t.append({{"TITLE", std::string("Brazil")}, {"PLOT", std::string(900, 'b')}});
    t.close();
    const vexel::Table again = vexel::open(Path());
    EXPECT_EQ(again.read(1)["PLOT"], Value(old_plot));
    EXPECT_EQ(again.read(2)["PLOT"], Value(std::string(900, 'b')));
  }
}

// Text is stored in the table's code page: the mark's page, else the locale's DOS page (with
// ansi, its Windows page).
TEST_F(ApiTest, TextGoesThroughTheTablesCodePage) {
  const std::string cyrillic = "Сталкер";
  {
    vexel::Table t = vexel::create(Path("ru.dbf"), {{"NAME", 'C', 10, 0}, {"NOTE", 'M', 10, 0}},
                                   {.codepage = 866});
    EXPECT_EQ(t.codepage(), 866);
    t.append({{"NAME", cyrillic}, {"NOTE", cyrillic + " (1979)"}});
  }
  const std::vector<unsigned char> raw = vx::test::ReadBytes(Path("ru.dbf"));
  const std::string bytes(raw.begin(), raw.end());
  const std::string stored = vx::os::EncodeCodePage(866, cyrillic, vx::os::OnFault::kStop).text;
  EXPECT_NE(bytes.find(stored), std::string::npos);
  {
    vexel::Table t = vexel::open(Path("ru.dbf"));
    EXPECT_EQ(t.read(1)["NAME"], Value(cyrillic));
    EXPECT_EQ(t.read(1)["NOTE"], Value(cyrillic + " (1979)"));
    EXPECT_THROW(t.seek("NAME", cyrillic), vexel::Error) << "no tag yet";
  }
  // An explicit page wins over the mark.
  vexel::Table as1251 = vexel::open(Path("ru.dbf"), {.codepage = 1251});
  EXPECT_EQ(as1251.codepage(), 1251);
  EXPECT_NE(as1251.read(1)["NAME"], Value(cyrillic));
  // New tables hold 1252; a table without a mark, the locale's DOS page.
  CreateFilms();
  EXPECT_EQ(vexel::open(Path()).codepage(), 1252);
  auto unmarked = vx::test::ReadBytes(Path());
  unmarked[29] = 0;
  vx::test::WriteBytes(Path(), unmarked);
  EXPECT_EQ(vexel::open(Path()).codepage(), vx::os::OemCodePage());
  EXPECT_EQ(vexel::open(Path(), {.ansi = true}).codepage(), vx::os::AnsiCodePage());
}

}  // namespace

namespace {

// A table of films with tags over characters, numbers and dates, and the rows as the test
// knows them.
class OrderTest : public ApiTest {
 protected:
  struct Film {
    std::uint32_t recno;
    std::string title;
    std::int64_t year;
    Date premiere;
    bool color;
    bool deleted = false;
  };

  void SetUp() override {
    vexel::Table t = CreateFilms();
    std::mt19937 random(7);
    const std::vector<std::string> words = {"Alien", "Blade", "Brazil", "Casablanca", "Cube",
                                            "Heat",  "Her",   "Ran",    "Rashomon",   "Zelig"};
    for (std::uint32_t n = 1; n <= 300; ++n) {
      Film f{n, words[random() % words.size()] + " " + std::to_string(random() % 40),
             1900 + static_cast<std::int64_t>(random() % 121),
             Date{1950 + static_cast<int>(random() % 70), 1 + static_cast<int>(random() % 12),
                  1 + static_cast<int>(random() % 28)},
             random() % 2 == 0};
      EXPECT_EQ(
          t.append(
              {{"TITLE", f.title}, {"YEAR", f.year}, {"PREMIERE", f.premiere}, {"COLOR", f.color}}),
          n);
      films_.push_back(f);
    }
    t.add_tag({.name = "TITLE", .key = "TITLE", .for_expr = ""});
    t.add_tag({.name = "YEAR", .key = "YEAR", .for_expr = ""});
    t.add_tag({.name = "PREMIERE", .key = "PREMIERE", .for_expr = "", .descending = true});
    t.add_tag({.name = "MODERN", .key = "UPPER(TITLE)", .for_expr = "YEAR >= 1990"});
  }

  // The records in a tag's order as this test computes it: (key, recno) for each record.
  template <class Key>
  std::vector<std::pair<Key, std::uint32_t>> Expected(Key (*key)(const Film&),
                                                      bool (*in)(const Film&) = nullptr,
                                                      bool descending = false) {
    std::vector<std::pair<Key, std::uint32_t>> out;
    for (const Film& f : films_) {
      if (in == nullptr || in(f)) out.emplace_back(key(f), f.recno);
    }
    std::stable_sort(out.begin(), out.end(), [&](const auto& a, const auto& b) {
      return descending ? b.first < a.first : a.first < b.first;
    });
    return out;
  }
  template <class Key>
  static std::vector<Key> Keys(const std::vector<std::pair<Key, std::uint32_t>>& rows) {
    std::vector<Key> keys;
    for (const auto& r : rows) keys.push_back(r.first);
    return keys;
  }
  static std::multiset<std::uint32_t> Records(vexel::Cursor cursor) {
    std::multiset<std::uint32_t> out;
    for (const vexel::Record& r : cursor) out.insert(r.recno());
    return out;
  }
  template <class Key>
  static std::multiset<std::uint32_t> Records(
      const std::vector<std::pair<Key, std::uint32_t>>& rows) {
    std::multiset<std::uint32_t> out;
    for (const auto& r : rows) out.insert(r.second);
    return out;
  }

  static std::string Title(const Film& f) { return f.title; }
  static std::int64_t Year(const Film& f) { return f.year; }
  static Date Premiere(const Film& f) { return f.premiere; }
  static std::string Upper(const Film& f) { return UpperText(f.title); }
  static std::string UpperText(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
  }
  static bool Modern(const Film& f) { return f.year >= 1990; }

  // Every tag's cursor against the order computed here.
  void ExpectOrdersCurrent(vexel::Table& t) {
    std::vector<std::string> titles, uppers;
    std::vector<std::int64_t> years;
    std::vector<Date> premieres;
    for (const vexel::Record& r : t.order("title")) titles.push_back(std::get<std::string>(r[0]));
    for (const vexel::Record& r : t.order("YEAR")) years.push_back(std::get<std::int64_t>(r[1]));
    for (const vexel::Record& r : t.order("PREMIERE")) premieres.push_back(std::get<Date>(r[4]));
    for (const vexel::Record& r : t.order("MODERN")) uppers.push_back(UpperText(r.text(0)));
    EXPECT_EQ(titles, Keys(Expected(&Title)));
    EXPECT_EQ(years, Keys(Expected(&Year)));
    EXPECT_EQ(premieres, Keys(Expected(&Premiere, nullptr, true)));
    EXPECT_EQ(uppers, Keys(Expected(&Upper, &Modern)));
    EXPECT_EQ(Records(t.order("TITLE")), Records(Expected(&Title)));
    EXPECT_EQ(Records(t.order("MODERN")), Records(Expected(&Upper, &Modern)));
  }

  std::vector<Film> films_;
};

TEST_F(OrderTest, CursorsFollowEveryTagAndFileOrder) {
  vexel::Table t = vexel::open(Path());
  const std::vector<vexel::TagInfo> tags = t.tags();
  ASSERT_EQ(tags.size(), 4u);
  EXPECT_EQ(tags[0].name, "TITLE");
  EXPECT_EQ(tags[2].key_type, 'D');
  EXPECT_TRUE(tags[2].descending);
  EXPECT_EQ(tags[3].key, "UPPER(TITLE)");
  EXPECT_EQ(tags[3].for_expr, "YEAR >= 1990");
  ExpectOrdersCurrent(t);

  std::vector<std::uint32_t> natural;
  for (const vexel::Record& r : t.scan()) natural.push_back(r.recno());
  EXPECT_EQ(natural.size(), 300u);
  EXPECT_TRUE(std::is_sorted(natural.begin(), natural.end()));

  // A condition: the same records as computed here.
  std::multiset<std::uint32_t> expected;
  for (const Film& f : films_) {
    if (f.year >= 2000 && f.color) expected.insert(f.recno);
  }
  EXPECT_EQ(Records(t.where("YEAR >= 2000 .AND. COLOR")), expected);
  EXPECT_THROW(t.where("YEAR +"), vexel::ExpressionError);
  EXPECT_THROW(t.where("YEAR + 1"), vexel::ExpressionError);
  EXPECT_THROW(t.order("NOSUCH"), vexel::Error);

  // Two cursors stepped in turn, with reads between, walk as each would alone.
  vexel::Cursor a = t.order("YEAR");
  vexel::Cursor b = t.order("TITLE");
  std::vector<std::int64_t> years;
  std::vector<std::string> titles;
  while (true) {
    const bool more_a = a.next();
    const bool more_b = b.next();
    if (more_a) years.push_back(std::get<std::int64_t>(a.record()[1]));
    if (more_b) titles.push_back(std::get<std::string>(b.record()[0]));
    t.read(150);
    if (!more_a && !more_b) break;
  }
  EXPECT_EQ(years, Keys(Expected(&Year)));
  EXPECT_EQ(titles, Keys(Expected(&Title)));
}

TEST_F(OrderTest, KeyRangesAndSeeksInEveryMode) {
  vexel::Table t = vexel::open(Path(), {.mode = vexel::OpenMode::read_only});
  // Ranges: from is a soft seek, to is inclusive (a character bound also takes its prefix).
  std::vector<std::int64_t> years;
  for (const vexel::Record& r : t.order("YEAR", std::int64_t{1950}, std::int64_t{1960})) {
    years.push_back(std::get<std::int64_t>(r[1]));
  }
  std::vector<std::int64_t> expected_years;
  for (std::int64_t y : Keys(Expected(&Year))) {
    if (y >= 1950 && y <= 1960) expected_years.push_back(y);
  }
  EXPECT_EQ(years, expected_years);
  std::vector<std::string> titles;
  for (const vexel::Record& r : t.order("TITLE", std::string("Br"), std::string("C"))) {
    titles.push_back(std::get<std::string>(r[0]));
  }
  std::vector<std::string> expected_titles;
  for (const std::string& s : Keys(Expected(&Title))) {
    if (s >= "Br" && s.substr(0, 1) <= "C") expected_titles.push_back(s);
  }
  EXPECT_EQ(titles, expected_titles);
  std::vector<Date> dates;
  for (const vexel::Record& r : t.order("PREMIERE", Date{2000, 1, 1}, Date{1990, 1, 1})) {
    dates.push_back(std::get<Date>(r[4]));
  }
  std::vector<Date> expected_dates;
  for (const Date& d : Keys(Expected(&Premiere, nullptr, true))) {
    if (d <= Date{2000, 1, 1} && d >= Date{1990, 1, 1}) expected_dates.push_back(d);
  }
  EXPECT_EQ(dates, expected_dates);

  // Seeks: the record found holds the key (equal keys may stand in any order of records).
  const Film& some = films_[123];
  const auto title_of = [&](std::optional<std::uint32_t> n) {
    return n ? std::get<std::string>(t.read(*n)[0]) : std::string("<none>");
  };
  EXPECT_EQ(title_of(t.seek("TITLE", some.title)), some.title);
  const std::string prefix = some.title.substr(0, some.title.find(' ') + 1);
  EXPECT_EQ(t.seek("TITLE", prefix), std::nullopt) << "exact wants the whole key";
  EXPECT_EQ(title_of(t.seek("TITLE", prefix, vexel::SeekMode::prefix)).substr(0, prefix.size()),
            prefix);
  EXPECT_EQ(t.seek("TITLE", std::string("Bz"), vexel::SeekMode::prefix), std::nullopt);
  std::string next_title = "<none>";
  for (const std::string& s : Keys(Expected(&Title))) {
    if (s >= "Bz") {
      next_title = s;
      break;
    }
  }
  EXPECT_EQ(title_of(t.seek("TITLE", std::string("Bz"), vexel::SeekMode::soft)), next_title);
  EXPECT_EQ(t.seek("TITLE", std::string("zzz"), vexel::SeekMode::soft), std::nullopt);
  const auto year = t.seek("YEAR", some.year);
  ASSERT_TRUE(year);
  EXPECT_EQ(t.read(*year)[1], Value(some.year));
  EXPECT_EQ(t.seek("year", std::int64_t{1899}), std::nullopt);
  const auto premiere = t.seek("PREMIERE", some.premiere);
  ASSERT_TRUE(premiere);
  EXPECT_EQ(t.read(*premiere)[4], Value(some.premiere));
  // Dates of every century are found (a two-digit year would be read back by the century rule).
  for (const Film& f : films_) {
    if (f.premiere.year >= 1956) continue;
    SCOPED_TRACE(f.recno);
    const auto early = t.seek("PREMIERE", f.premiere);
    ASSERT_TRUE(early);
    EXPECT_EQ(t.read(*early)[4], Value(f.premiere));
  }
  // A descending tag: a soft seek goes on toward lower dates.
  const Date between{1985, 6, 15};
  std::optional<Date> next_lower;
  for (const Date& d : Keys(Expected(&Premiere, nullptr, true))) {
    if (d <= between) {
      next_lower = d;
      break;
    }
  }
  ASSERT_TRUE(next_lower);
  const auto soft = t.seek("PREMIERE", std::string("1985-06-15"), vexel::SeekMode::soft);
  ASSERT_TRUE(soft);
  EXPECT_EQ(t.read(*soft)[4], Value(*next_lower));
  // A date's other texts, and a number's text, find what the values find.
  for (const char* text : {"19850615", "06/15/1985", "6.15.1985", "06-15-85"}) {
    EXPECT_EQ(t.seek("PREMIERE", std::string(text), vexel::SeekMode::soft), soft) << text;
  }
  EXPECT_EQ(t.seek("YEAR", std::string(" +1950.0 ")), t.seek("YEAR", std::int64_t{1950}));
  // A key of another type: code 9 (data type mismatch).
  const std::pair<const char*, Value> kWrong[] = {{"YEAR", std::string("nineteen")},
                                                  {"PREMIERE", Date{2001, 2, 30}},
                                                  {"PREMIERE", std::string("02/30/1985")},
                                                  {"PREMIERE", true}};
  for (const auto& [tag, wrong] : kWrong) {
    try {
      t.seek(tag, wrong);
      ADD_FAILURE() << tag;
    } catch (const vexel::InputError& e) {
      EXPECT_EQ(e.code(), 9) << e.what();
    }
  }
}

// OpenOptions::index: another .MDX whose tags a Table reads and searches in place of the
// production index; every edit is refused (nothing written), as is a name that is missing or
// is an .NDX.
TEST_F(OrderTest, AnotherIndexTakesThePlaceOfTheProductionIndexForReading) {
  std::filesystem::copy_file(Path("films.mdx"), Path("other.mdx"));
  {
    vexel::Table t = vexel::open(Path(), {.mode = vexel::OpenMode::exclusive});
    t.add_tag({.name = "EXTRA", .key = "SCORE", .for_expr = ""});
  }
  for (const vexel::OpenMode mode : {vexel::OpenMode::read_only, vexel::OpenMode::shared}) {
    SCOPED_TRACE(static_cast<int>(mode));
    vexel::Table t = vexel::open(Path(), {.mode = mode, .index = "other"});
    std::vector<std::string> names;
    for (const vexel::TagInfo& tag : t.tags()) names.push_back(tag.name);
    EXPECT_EQ(names, (std::vector<std::string>{"TITLE", "YEAR", "PREMIERE", "MODERN"}));
    const Film& some = films_[57];
    const std::optional<std::uint32_t> found = t.seek("TITLE", some.title);
    ASSERT_TRUE(found);
    EXPECT_EQ(t.read(*found).text("TITLE"), some.title);
    EXPECT_THROW(t.seek("EXTRA", 1.0), vexel::InputError);
    EXPECT_THROW(t.update(1, {{"TITLE", std::string("changed")}}), vexel::Error);
    EXPECT_THROW(t.append({{"TITLE", std::string("new")}}), vexel::Error);
    EXPECT_EQ(t.read(1).text("TITLE"), films_[0].title);
    EXPECT_EQ(t.size(), films_.size());
  }
  for (const char* name : {"missing", "films.ndx"}) {
    SCOPED_TRACE(name);
    EXPECT_THROW(vexel::open(Path(), {.mode = vexel::OpenMode::read_only, .index = name}),
                 vexel::InputError);
  }
  // Nothing was left open: the table opens exclusively.
  EXPECT_NO_THROW(vexel::open(Path(), {.mode = vexel::OpenMode::exclusive}).close());
}

TEST_F(OrderTest, EditsKeepEveryTagCurrent) {
  vexel::Table t = vexel::open(Path());
  std::mt19937 random(11);
  for (int i = 0; i < 60; ++i) {
    Film& f = films_[random() % films_.size()];
    switch (random() % 3) {
      case 0:
        f.title = "Edited " + std::to_string(i);
        f.year = 1980 + i;
        t.update(f.recno, {{"TITLE", f.title}, {"YEAR", f.year}});
        break;
      case 1: {
        vexel::RecordLock lock = t.lock(f.recno);
        f.premiere = Date{1990 + i % 20, 2, 3};
        lock.set("PREMIERE", f.premiere).commit();
        f.deleted = !f.deleted;
        if (f.deleted) {
          lock.remove();
        } else {
          lock.recall();
        }
        EXPECT_EQ(lock.record().deleted(), f.deleted);
        break;
      }
      default: {
        vexel::AppendLock lock = t.lock_append();
        Film added{0, "New " + std::to_string(i), 2020 - i, Date{2021, 1, 1 + i % 28}, true};
        added.recno = lock.append({{"TITLE", added.title},
                                   {"YEAR", added.year},
                                   {"PREMIERE", added.premiere},
                                   {"COLOR", true}});
        EXPECT_EQ(added.recno, films_.size() + 1);
        films_.push_back(added);
        break;
      }
    }
  }
  ExpectOrdersCurrent(t);
  for (const Film& f : films_) {
    EXPECT_EQ(t.read(f.recno).deleted(), f.deleted);
  }
  t.close();
  // Another open of the files sees the same.
  vexel::Table again = vexel::open(Path(), {.mode = vexel::OpenMode::exclusive});
  ExpectOrdersCurrent(again);
  again.reindex();
  ExpectOrdersCurrent(again);
}

TEST_F(ApiTest, ExpressionsCompileOnceAndEvaluatePerRecord) {
  vexel::Table t = CreateFilms();
  t.append({{"TITLE", std::string("Vertigo")},
            {"YEAR", std::int64_t{1958}},
            {"PREMIERE", Date{1958, 5, 9}},
            {"COLOR", true}});
  t.append({{"TITLE", std::string("Heat")}, {"YEAR", std::int64_t{1995}}});
  const vexel::Expression upper = t.compile("UPPER(TRIM(TITLE)) + '!'");
  EXPECT_EQ(upper.type(), 'C');
  EXPECT_EQ(t.eval(upper, 1), Value(std::string("VERTIGO!")));
  EXPECT_EQ(t.eval(upper, 2), Value(std::string("HEAT!")));
  EXPECT_EQ(t.eval("YEAR", 2), Value(std::int64_t{1995}));
  EXPECT_EQ(t.eval("YEAR / 8", 2), Value(1995.0 / 8));
  EXPECT_EQ(t.eval("PREMIERE + 1", 1), Value(Date{1958, 5, 10}));
  EXPECT_EQ(t.eval("PREMIERE", 2), Value(std::monostate{}));
  EXPECT_EQ(t.eval("COLOR .AND. YEAR < 1960", 1), Value(true));
  try {
    t.compile("TITLE +");
    ADD_FAILURE() << "compiled";
  } catch (const vexel::Error& e) {
    EXPECT_EQ(e.code(), 351) << e.what();
  }
  vexel::Table other = vexel::create(Path("other.dbf"), {{"A", 'C', 1, 0}});
  EXPECT_THROW(other.eval(upper, 1), vexel::Error);
  EXPECT_THROW(t.eval(upper, 3), vexel::Error);
}

// Each open table takes one of the engine's 33 work areas and gives it back when closed.
TEST_F(ApiTest, TablesTakeAWorkAreaEachAndGiveItBack) {
  CreateFilms().close();
  std::vector<vexel::Table> open;
  try {
    for (int i = 0; i < 40; ++i) open.push_back(vexel::open(Path()));
    ADD_FAILURE() << "40 tables open at once";
  } catch (const vexel::Error& e) {
    EXPECT_EQ(e.code(), 220) << e.what();
  }
  EXPECT_GE(open.size(), 30u);
  EXPECT_LE(open.size(), 33u);
  open.pop_back();
  open.push_back(vexel::open(Path()));
  open.clear();
  for (int i = 0; i < 50; ++i) EXPECT_EQ(vexel::open(Path()).size(), 0u);
  vexel::Table t = vexel::open(Path());
  t.close();
  EXPECT_FALSE(t.is_open());
  try {
    t.size();
    ADD_FAILURE() << "a closed table answered";
  } catch (const vexel::Error& e) {
    EXPECT_EQ(e.code(), 215);
  }
}

// A second program: its record lock and append lock refuse ours; its appends are seen, with
// their keys, by a table opened before them.
TEST_F(ApiTest, LocksAndAppendsOfAnotherProgram) {
  {
    vexel::Table t = CreateFilms();
    for (int i = 0; i < 3; ++i) t.append({{"TITLE", std::string("Film ") + char('A' + i)}});
    t.add_tag({.name = "TITLE", .key = "TITLE", .for_expr = ""});
  }
  const vexel::OpenOptions quick{.lock_retries = 0, .lock_wait_ms = 1};
  vexel::Table t = vexel::open(Path(), quick);
  vx::test::Child child([&](vx::test::Child& self) {
    vexel::Table mine = vexel::open(Path());
    {
      vexel::RecordLock lock = mine.lock(2);
      self.Send('L');
      self.Receive();
    }
    {
      vexel::AppendLock lock = mine.lock_append();
      self.Send('A');
      self.Receive();
      for (int i = 0; i < 5; ++i) lock.append({{"TITLE", "Child " + std::to_string(i)}});
    }
    self.Send('D');
    self.Receive();
    return 0;
  });
  ASSERT_EQ(child.Receive(), 'L');
  try {
    t.update(2, {{"YEAR", std::int64_t{1}}});
    ADD_FAILURE() << "wrote a record another program holds";
  } catch (const vexel::LockError& e) {
    EXPECT_NE(std::string(e.what()).find("record 2"), std::string::npos) << e.what();
  }
  EXPECT_THROW(t.lock(2), vexel::LockError);
  EXPECT_THROW(t.remove(2), vexel::LockError);
  t.update(3, {{"YEAR", std::int64_t{3}}});  // another record is free
  child.Send();
  ASSERT_EQ(child.Receive(), 'A');
  EXPECT_THROW(t.append({{"TITLE", std::string("Parent")}}), vexel::LockError);
  EXPECT_THROW(t.lock_append(), vexel::LockError);
  t.update(2, {{"YEAR", std::int64_t{2}}});  // its record lock is gone
  child.Send();
  ASSERT_EQ(child.Receive(), 'D');
  EXPECT_EQ(t.size(), 8u);
  const auto found = t.seek("TITLE", std::string("Child 3"));
  ASSERT_TRUE(found);
  EXPECT_EQ(*found, 7u);
  std::vector<std::string> titles;
  for (const vexel::Record& r : t.order("TITLE")) titles.push_back(r.text("TITLE"));
  EXPECT_EQ(titles, (std::vector<std::string>{"Child 0", "Child 1", "Child 2", "Child 3", "Child 4",
                                              "Film A", "Film B", "Film C"}));
  t.append({{"TITLE", std::string("Parent")}});
  child.Send();
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_EQ(t.read(9)["TITLE"], Value(std::string("Parent")));
}

}  // namespace

namespace {

// What cannot be opened or created says why, with the engine's code; a damaged index opens only
// on request.
// The kind an error says it is, from its class alone.
vexel::ErrorKind KindOfClass(const vexel::Error& e) {
  if (dynamic_cast<const vexel::LockError*>(&e)) return vexel::ErrorKind::lock;
  if (dynamic_cast<const vexel::NotSupportedError*>(&e)) return vexel::ErrorKind::not_supported;
  if (dynamic_cast<const vexel::InputError*>(&e)) return vexel::ErrorKind::input;
  if (dynamic_cast<const vexel::DataError*>(&e)) return vexel::ErrorKind::data;
  return vexel::ErrorKind::engine;
}

TEST_F(ApiTest, OpenAndCreateRefuseWhatTheyCannotUse) {
  // Every refusal's kind() is its class's, whichever class the library threw; code 0: none.
  const auto failure_of = [](const std::function<void()>& step) {
    try {
      step();
    } catch (const vexel::Error& e) {
      EXPECT_EQ(e.kind(), KindOfClass(e)) << e.what();
      return std::pair(e.code(), e.kind());
    }
    return std::pair(0, vexel::ErrorKind::engine);
  };
  const auto code_of = [&](const std::function<void()>& step) { return failure_of(step).first; };
  const auto kind_of = [&](const std::function<void()>& step) { return failure_of(step).second; };
  vx::test::WriteBytes(Path("junk.dbf"), std::vector<unsigned char>(100, 0xEE));
  EXPECT_EQ(code_of([&] { vexel::open(Path("missing.dbf")); }), 2);
  EXPECT_NE(code_of([&] { vexel::open(Path("junk.dbf")); }), 0);
  EXPECT_EQ(code_of([&] { vexel::open(dir_.File("a EXCLUSIVE b.dbf")); }), 220);
  EXPECT_EQ(code_of([&] { CreateFilms(); }), 0);
  EXPECT_EQ(code_of([&] { CreateFilms(); }), 220) << "exists";
  EXPECT_EQ(kind_of([&] { vexel::open(Path()).append({{"TITLE", std::string(21, 'x')}}); }),
            vexel::ErrorKind::input);
  EXPECT_EQ(kind_of([&] { vexel::open(Path()).append({{"NOPE", std::int64_t{1}}}); }),
            vexel::ErrorKind::input)
      << "no such field";
  EXPECT_EQ(code_of([&] { vexel::open(Path()).read(1); }), 212) << "no record 1";
  EXPECT_EQ(failure_of([&] { vexel::create(Path("none.dbf"), {}); }),
            std::pair(220, vexel::ErrorKind::input));
  EXPECT_THROW(vexel::create(Path("bad.dbf"), {{"X", 'Q', 1, 0}}), vexel::DefinitionError);
  EXPECT_THROW(vexel::create(Path("bad.dbf"), {{"1X", 'C', 1, 0}}), vexel::DefinitionError);
  EXPECT_FALSE(std::filesystem::exists(Path("bad.dbf")));
  // Letters beyond ASCII in a name only when asked for, and only those the page has.
  EXPECT_THROW(vexel::create(Path("bad.dbf"), {{"NOTÉ", 'C', 1, 0}}), vexel::DefinitionError);
  EXPECT_EQ(failure_of([&] {
              vexel::create(Path("bad.dbf"), {{"NOTЖ", 'C', 1, 0}},
                            {.codepage = 850, .national_names = true});
            }).second,
            vexel::ErrorKind::input);
  EXPECT_FALSE(std::filesystem::exists(Path("bad.dbf")));
  EXPECT_EQ(vexel::create(Path("national.dbf"), {{"NOTÉ", 'C', 1, 0}},
                          {.codepage = 850, .national_names = true})
                .fields()
                .at(0)
                .name,
            "NOTÉ");
  EXPECT_EQ(code_of([&] {
              vexel::create(Path("cp.dbf"), {{"X", 'C', 1, 0}}, {.codepage = 12});
            }),
            220);

  // Replacing a table takes its memo file and index along, and waits for nobody.
  {
    vexel::Table t = vexel::open(Path());
    t.append({{"TITLE", std::string("Old")}});
    t.add_tag({.name = "TITLE", .key = "TITLE", .for_expr = ""});
    EXPECT_EQ(kind_of([&] { vexel::create(Path(), FilmFields(), {.overwrite = true}); }),
              vexel::ErrorKind::lock);
  }
  {
    vexel::Table t = vexel::create(Path(), {{"NAME", 'C', 5, 0}}, {.overwrite = true});
    EXPECT_EQ(t.size(), 0u);
    EXPECT_TRUE(t.tags().empty());
  }

  // A damaged production index: refused, unless the table is opened without it.
  {
    vexel::Table t = CreateFilms({.overwrite = true});
    t.append({{"TITLE", std::string("Kept")}});
    t.add_tag({.name = "TITLE", .key = "TITLE", .for_expr = ""});
  }
  std::vector<unsigned char> index = vx::test::ReadBytes(Path("films.mdx"));
  std::fill(index.begin() + 512, index.begin() + 1024, 0xFF);
  vx::test::WriteBytes(Path("films.mdx"), index);
  EXPECT_NE(code_of([&] { vexel::open(Path()); }), 0);
  vexel::Table t = vexel::open(Path(), {.ignore_index = true});
  EXPECT_EQ(t.read(1)["TITLE"], Value(std::string("Kept")));
  t.update(1, {{"YEAR", std::int64_t{2000}}});
  EXPECT_EQ(t.read(1)["YEAR"], Value(std::int64_t{2000}));
}

// A reader needs neither the index nor the memo file to be sound: a read-only open goes on
// without what it cannot read and says so in warnings(); the others refuse, naming the option
// by the name every binding gives it.
TEST_F(ApiTest, ReadOnlyOpensGoOnWithoutIndexAndMemoFileAndSaySo) {
  {
    vexel::Table t = CreateFilms();
    t.append({{"TITLE", std::string("Kept")}, {"PLOT", std::string("a plot")}});
    t.append({{"TITLE", std::string("Also")}, {"PLOT", std::string("another")}});
    t.add_tag({.name = "TITLE", .key = "TITLE", .for_expr = ""});
  }
  const vexel::OpenOptions reading{.mode = vexel::OpenMode::read_only};
  std::vector<unsigned char> index = vx::test::ReadBytes(Path("films.mdx"));
  std::fill(index.begin() + 512, index.begin() + 1024, 0xFF);
  vx::test::WriteBytes(Path("films.mdx"), index);
  try {
    vexel::open(Path());
    ADD_FAILURE() << "a shared open of a table whose index cannot be read";
  } catch (const vexel::Error& e) {
    EXPECT_NE(std::string(e.what()).find("ignore_index"), std::string::npos) << e.what();
    EXPECT_EQ(std::string(e.what()).find("OpenOptions"), std::string::npos) << e.what();
  }
  {
    vexel::Table t = vexel::open(Path(), reading);
    ASSERT_EQ(t.warnings().size(), 1u);
    EXPECT_NE(t.warnings()[0].find("production index"), std::string::npos) << t.warnings()[0];
    EXPECT_TRUE(t.tags().empty());
    EXPECT_EQ(t.read(2)["PLOT"], Value(std::string("another")));
  }
  // Without its memo file (and without the index): the memos read as blank.
  std::filesystem::remove(Path("films.mdx"));
  std::filesystem::remove(Path("films.dbt"));
  EXPECT_THROW(vexel::open(Path()), vexel::Error);
  vexel::Table t = vexel::open(Path(), reading);
  ASSERT_EQ(t.warnings().size(), 1u);
  EXPECT_NE(t.warnings()[0].find("films.dbt"), std::string::npos) << t.warnings()[0];
  std::vector<std::string> titles;
  for (const vexel::Record& r : t.scan()) {
    titles.push_back(r.text("TITLE"));
    EXPECT_EQ(r["PLOT"], Value(std::monostate{}));
  }
  EXPECT_EQ(titles, (std::vector<std::string>{"Kept", "Also"}));
}

// Every kind create() writes, by its version byte: the header's byte (a kind with a memo file
// loses its memo bit without a memo field), the memo file, and the table opened as asked.
TEST_F(ApiTest, CreateWritesTheKindItsVersionByteNames) {
  const struct {
    std::uint8_t version;
    int with_memo;
    int without_memo;
    const char* memo;
  } kKinds[] = {
      {0, 0x8B, 0x03, "dbt"},    {0x03, 0x83, 0x03, "dbt"}, {0x83, 0x83, 0x03, "dbt"},
      {0x8B, 0x8B, 0x03, "dbt"}, {0xF5, 0xF5, 0x03, "fpt"}, {0x04, 0x8C, 0x04, "dbt"},
      {0x8C, 0x8C, 0x04, "dbt"}, {0x30, 0x30, 0x30, "fpt"}, {0x31, 0x31, 0x31, "fpt"},
  };
  for (const auto& k : kKinds) {
    SCOPED_TRACE(k.version);
    {
      vexel::Table t = vexel::create(Path("m.dbf"), {{"NAME", 'C', 8, 0}, {"NOTE", 'M', 0, 0}},
                                     {.version = k.version, .overwrite = true});
      EXPECT_EQ(t.version(), k.with_memo);
      t.append({{"NAME", std::string("a")}, {"NOTE", std::string("memo text")}});
      EXPECT_TRUE(std::filesystem::exists(Path(std::string("m.") + k.memo)));
    }
    EXPECT_EQ(vexel::open(Path("m.dbf")).read(1)["NOTE"], Value(std::string("memo text")));
    vexel::Table plain = vexel::create(Path("p.dbf"), {{"NAME", 'C', 8, 0}},
                                       {.version = k.version, .overwrite = true,
                                        .open = {.mode = vexel::OpenMode::read_only}});
    EXPECT_EQ(plain.version(), k.without_memo);
    EXPECT_THROW(plain.append({{"NAME", std::string("a")}}), vexel::Error);
  }
  EXPECT_THROW(vexel::create(Path("x.dbf"), {{"NAME", 'C', 8, 0}}, {.version = 0x02}),
               vexel::InputError);
}

// Edits that would leave another program's index wrong are refused in the engine, for every
// door: a FoxPro table whose header names a structural .CDX that cannot be kept current (here
// no .CDX at all), and keys of a tag its writer keeps in signed-byte order. ignore_index is the
// way past.
TEST_F(ApiTest, EditsThatWouldLeaveAnotherProgramsIndexWrongAreRefused) {
  {
    vexel::Table t = vexel::create(Path("fox.dbf"), {{"NAME", 'C', 8, 0}},
                                   {.version = 0xF5});
    t.append({{"NAME", std::string("one")}});
  }
  // A Visual FoxPro header naming a structural .CDX, and one is there.
  std::vector<unsigned char> header = vx::test::ReadBytes(Path("fox.dbf"));
  header[0] = 0x30;
  header[28] = 0x01;
  vx::test::WriteBytes(Path("fox.dbf"), header);
  vx::test::WriteBytes(Path("fox.cdx"), std::vector<unsigned char>(1024, 0));
  {
    vexel::Table t = vexel::open(Path("fox.dbf"));
    EXPECT_THROW(t.update(1, {{"NAME", std::string("two")}}), vexel::Error);
    EXPECT_THROW(t.append({{"NAME", std::string("two")}}), vexel::Error);
    EXPECT_THROW(t.remove(1), vexel::Error);
    EXPECT_EQ(t.size(), 1u);
    EXPECT_EQ(t.read(1)["NAME"], Value(std::string("one")));
  }
  EXPECT_EQ(vx::test::ReadBytes(Path("fox.dbf")), header);
  vexel::Table t = vexel::open(Path("fox.dbf"), {.ignore_index = true});
  ASSERT_FALSE(t.warnings().empty());
  EXPECT_NE(t.warnings()[0].find("stale"), std::string::npos);
  t.update(1, {{"NAME", std::string("two")}});
  EXPECT_EQ(t.read(1)["NAME"], Value(std::string("two")));
}

}  // namespace

namespace {

// Two threads, each with its own table, edit and read at once: every call keeps to its table.
TEST_F(ApiTest, TwoThreadsWorkOnTheirOwnTables) {
  const auto work = [&](const std::string& name, const std::string& word) {
    vexel::Table t = vexel::create(Path(name), FilmFields());
    t.add_tag({.name = "TITLE", .key = "TITLE", .for_expr = ""});
    for (int i = 0; i < 150; ++i) {
      const std::uint32_t n = t.append({{"TITLE", word + std::to_string(i)}});
      t.update(n, {{"YEAR", std::int64_t{1900 + i}}});
      if (i % 10 == 0) {
        EXPECT_EQ(t.seek("TITLE", word + std::to_string(i / 2)), std::uint32_t(i / 2 + 1));
      }
    }
    std::size_t count = 0;
    for (const vexel::Record& r : t.order("TITLE")) {
      EXPECT_EQ(r.text("TITLE").substr(0, word.size()), word);
      EXPECT_EQ(r["YEAR"],
                Value(std::int64_t{1900 + std::stoi(r.text("TITLE").substr(word.size()))}));
      ++count;
    }
    EXPECT_EQ(count, 150u);
  };
  std::thread a(work, "a.dbf", "Alpha");
  std::thread b(work, "b.dbf", "Beta");
  a.join();
  b.join();
}

}  // namespace

namespace {

// The check is check_table, by path. A shared Table of this program stays open and usable
// through a check; a repair needs the table to itself (refused, nothing changed, while the
// Table has it open) and says whether it left the table sound: a stale tag is mended, a memo
// pointer past the memo file's end is not.
TEST_F(ApiTest, CheckFindsAStaleTagAndRepairSaysWhetherTheTableIsSoundAfterwards) {
  for (const bool bad_memo : {false, true}) {
    SCOPED_TRACE(bad_memo);
    {
      vexel::Table t = CreateFilms({.overwrite = true});
      for (const char* title : {"Alien", "Brazil", "Cube"}) {
        t.append({{"TITLE", std::string(title)}, {"PLOT", std::string("plot of ") + title}});
      }
      t.add_tag({.name = "TITLE", .key = "TITLE", .for_expr = ""});
    }
    const vexel::TableCheck sound = vexel::check_table(Path());
    EXPECT_TRUE(sound.ok);
    EXPECT_TRUE(sound.findings().empty()) << sound.findings()[0].what;
    EXPECT_EQ(sound.tags.size(), 1u);
    // Another program's write that left the index alone: "Brazil" becomes "Zelig " on disk,
    // and record 1's memo pointer names block 999999.
    std::vector<unsigned char> bytes = vx::test::ReadBytes(Path());
    const std::string brazil = "Brazil";
    auto at = std::search(bytes.begin(), bytes.end(), brazil.begin(), brazil.end());
    ASSERT_NE(at, bytes.end());
    std::copy_n(std::string("Zelig ").begin(), 6, at);
    if (bad_memo) {
      const std::size_t plot = bytes[8] + 256u * bytes[9] + 1 + 20 + 4 + 5 + 8 + 8 + 1;
      std::copy_n(std::string("    999999").begin(), 10, bytes.begin() + plot);
    }
    vx::test::WriteBytes(Path(), bytes);

    vexel::Table t = vexel::open(Path());
    const vexel::TableCheck stale = vexel::check_table(Path());
    EXPECT_FALSE(stale.ok);
    std::size_t tag = 0;
    std::size_t memo = 0;
    for (const vexel::CheckFinding& f : stale.findings()) {
      if (f.where == "tag TITLE") {
        ++tag;
        EXPECT_EQ(f.what.rfind("record 2: ", 0), 0u) << f.what;
      } else {
        ++memo;
        EXPECT_EQ(f.where, "record 1, field PLOT") << f.what;
      }
    }
    EXPECT_GT(tag, 0u);
    EXPECT_EQ(memo, bad_memo ? 1u : 0u);
    EXPECT_EQ(t.read(3).text("TITLE"), "Cube");
    const std::vector<unsigned char> index = vx::test::ReadBytes(dir_.File("films.mdx"));
    EXPECT_THROW(vexel::check_table(Path(), true), vexel::Error);
    EXPECT_EQ(vx::test::ReadBytes(dir_.File("films.mdx")), index);
    t.close();

    // The rebuild reports as "index", up to its whole.
    std::vector<std::int64_t> steps;
    vexel::OpenOptions options;
    options.progress = [&](const std::string& label, std::int64_t done, std::int64_t total) {
      EXPECT_EQ(label, "index");
      if (done >= 0) steps.push_back(done * 100 / total);
    };
    const vexel::TableCheck mended = vexel::check_table(Path(), true, options);
    ASSERT_FALSE(steps.empty());
    EXPECT_EQ(steps.back(), 100);
    EXPECT_FALSE(mended.ok);  // the table as found
    ASSERT_TRUE(mended.repair.has_value());
    EXPECT_EQ(mended.repair->rebuilt, std::vector<std::string>{"TITLE"});
    EXPECT_EQ(mended.repair->sound, !bad_memo);
    EXPECT_EQ(vexel::check_table(Path()).ok, !bad_memo);
    vexel::Table again = vexel::open(Path());
    EXPECT_EQ(again.seek("TITLE", std::string("Zelig")), 2u);
  }
}

}  // namespace

// Visual FoxPro and level 7 fields come back as their values, .NULL. apart from blank, and go
// back into the file in their own forms.
class BinaryFieldTest : public ApiTest {
 protected:
  std::string Copy(const std::string& corpus_table) {
    const std::filesystem::path corpus = vx::test::CorpusDir();
    if (corpus.empty()) return {};
    return vx::test::CopyTableFiles(corpus / corpus_table, dir_.File("copy"));
  }
};

TEST_F(BinaryFieldTest, VisualFoxProValuesAndNullsReadAndWrite) {
  const std::string path = Copy("javadbf/fixtures/foxpro-xsource/payments.dbf");
  if (path.empty()) GTEST_SKIP() << "no corpus";
  // Its header names a structural .CDX: edits go ahead only when the index may go stale.
  EXPECT_THROW(vexel::open(path).update(1, {{"PAYMENTID", std::int64_t{7}}}), vexel::Error);
  vexel::Table t = vexel::open(path, {.ignore_index = true});
  std::string types;
  for (const vexel::Field& f : t.fields()) types += f.type;
  EXPECT_EQ(types, "IIYTCCTCI");
  // As python3-dbfread reads record 1.
  const vexel::Record r = t.read(1);
  EXPECT_EQ(r["PAYMENTID"], Value(std::int64_t{1}));
  EXPECT_EQ(r["PAYMENTAMO"], Value(1000.0));
  EXPECT_EQ(r.text("PAYMENTAMO"), "1000.0000");
  EXPECT_EQ(r["PAYMENTDAT"], Value(vexel::DateTime{{1995, 1, 3}}));
  EXPECT_EQ(r.text("PAYMENTDAT"), "1995-01-03T00:00:00");
  EXPECT_TRUE(r.is_null("CREDITCAR2"));
  EXPECT_EQ(r["CREDITCAR2"], Value());
  EXPECT_FALSE(r.is_null("PAYMENTID"));

  struct Case {
    const char* field;
    Value in;
    Value out;  // read back; monostate with `null`
    bool null = false;
  };
  const std::vector<Case> cases = {
      {"PAYMENTID", std::int64_t{-2147483647 - 1}, std::int64_t{-2147483647 - 1}},
      {"PAYMENTID", 42.0, std::int64_t{42}},
      {"PAYMENTAMO", 12.3456, 12.3456},
      {"PAYMENTAMO", std::int64_t{-7}, -7.0},
      {"PAYMENTDAT", vexel::DateTime{{2024, 2, 29}, 13, 45, 7, 250},
       vexel::DateTime{{2024, 2, 29}, 13, 45, 7, 250}},
      {"PAYMENTDAT", Date{1999, 12, 31}, vexel::DateTime{{1999, 12, 31}}},
      {"PAYMENTDAT", std::string("2001-09-09T01:46:40"), vexel::DateTime{{2001, 9, 9}, 1, 46, 40}},
      {"CREDITCAR2", vexel::DateTime{{1970, 1, 1}, 23, 59, 59, 999},
       vexel::DateTime{{1970, 1, 1}, 23, 59, 59, 999}},
      {"CREDITCAR2", std::monostate{}, std::monostate{}, true},
      {"CREDITCARD", std::string("4111"), std::string("4111")},
      {"CREDITCARD", std::monostate{}, std::monostate{}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.field + (" " + Show(c.in)));
    t.update(2, {{c.field, c.in}});
    const vexel::Record back = vexel::open(path, {.mode = vexel::OpenMode::read_only}).read(2);
    EXPECT_EQ(back[c.field], c.out) << Show(back[c.field]);
    EXPECT_EQ(back.is_null(c.field), c.null);
    // Nothing else of the record moved.
    EXPECT_EQ(back["PROJECTID"], t.read(1)["PROJECTID"]);
  }
  const std::vector<std::pair<const char*, Value>> refused = {
      {"PAYMENTID", 1.5},
      {"PAYMENTID", std::int64_t{1} << 40},
      {"PAYMENTID", std::string("3")},
      {"PAYMENTAMO", 1e300},
      {"PAYMENTDAT", vexel::DateTime{{2023, 2, 29}}},
      {"PAYMENTDAT", vexel::DateTime{{2023, 1, 1}, 24}},
      {"PAYMENTDAT", std::string("yesterday")},
      {"PAYMENTDAT", true},
  };
  const vexel::Record before = t.read(2);
  for (const auto& [field, value] : refused) {
    SCOPED_TRACE(field + (" " + Show(value)));
    try {
      t.update(2, {{field, value}});
      ADD_FAILURE() << "accepted";
    } catch (const vexel::Error& e) {
      EXPECT_EQ(e.code(), 220) << e.what();
      EXPECT_NE(std::string(e.what()).find(field), std::string::npos) << e.what();
    }
    EXPECT_EQ(t.read(2)[field], before[field]);
  }
}

TEST_F(BinaryFieldTest, VaryingAndBinaryFieldsKeepTheirBytes) {
  const std::string path = Copy("php-xbase/foxpro/vfp.dbf");
  if (path.empty()) GTEST_SKIP() << "no corpus";
  vexel::Table t = vexel::open(path);
  // Which fields hold bytes, and which may be null, as the descriptors say.
  std::string binary, nullable;
  for (const vexel::Field& f : t.fields()) {
    binary += f.binary ? f.type : '.';
    nullable += f.nullable ? f.type : '.';
  }
  EXPECT_EQ(binary, ".......GW.......MQ.");
  EXPECT_EQ(nullable, "........WYTBI.VCMQV");
  const std::string bytes("\x00\x01\xFE\xFF", 4);
  t.update(1, {{"VARCHAR", std::string("abc")},
               {"VARBINARY", bytes},
               {"BLOB", std::string("\x89PNG\x00", 5)},
               {"DOUBLE", -0.125},
               {"INTEGER", std::monostate{}}});
  const vexel::Record r = vexel::open(path, {.mode = vexel::OpenMode::read_only}).read(1);
  EXPECT_EQ(r["VARCHAR"], Value(std::string("abc")));
  EXPECT_EQ(r["VARBINARY"], Value(bytes));
  EXPECT_EQ(r["BLOB"], Value(std::string("\x89PNG\x00", 5)));
  EXPECT_EQ(r["DOUBLE"], Value(-0.125));
  EXPECT_TRUE(r.is_null("INTEGER"));
  EXPECT_THROW(t.update(1, {{"VARCHAR", std::string(11, 'x')}}), vexel::Error);
  EXPECT_THROW(t.update(1, {{"VARBINARY", 1.0}}), vexel::Error);
}

TEST_F(BinaryFieldTest, LevelSevenNumbersAndTimestamps) {
  vexel::Table t = vexel::create(
      Path(), {{"N", 'I', 4, 0}, {"D", 'O', 8, 0}, {"AT", '@', 8, 0}, {"SUM", 'N', 6, 1}},
      {.version = 0x8C});
  const std::vector<std::vector<Value>> rows = {
      {std::int64_t{-5}, -1.0e-300, vexel::DateTime{{1, 1, 1}}, 12.5},
      {std::int64_t{2147483647}, 6.02e23, vexel::DateTime{{2038, 1, 19}, 3, 14, 7, 1}, 0.0},
      // A blank number is stored blank, not 0; a blank timestamp reads back blank.
      {std::int64_t{0}, 0.0, std::monostate{}, std::monostate{}},
  };
  for (const auto& row : rows) {
    t.append({{"N", row[0]}, {"D", row[1]}, {"AT", row[2]}, {"SUM", row[3]}});
  }
  t.append({{"N", std::int64_t{9}}});  // SUM not named: blank too
  for (std::uint32_t n = 1; n <= rows.size(); ++n) {
    const vexel::Record r = t.read(n);
    for (std::size_t i = 0; i < 4; ++i) {
      EXPECT_EQ(r[i], rows[n - 1][i]) << "record " << n << " field " << i << ": " << Show(r[i]);
    }
  }
  EXPECT_EQ(t.read(3).text("SUM"), "");
  EXPECT_EQ(t.read(4).text("SUM"), "");
  EXPECT_EQ(t.read(4)["SUM"], Value());
  EXPECT_EQ(t.read(2).text("AT"), "2038-01-19T03:14:07.001");
  EXPECT_EQ(vexel::open(Path(), {.mode = vexel::OpenMode::read_only}).read(2)["N"],
            Value(std::int64_t{2147483647}));
}

// A folder's tables by name (the extension in any case, no folders), and which code pages
// convert.
TEST_F(ApiTest, FolderTablesAndCodePages) {
  const std::filesystem::path folder = dir_.File("tables");
  std::filesystem::create_directories(folder / "sub.dbf");
  for (const char* name : {"b.DBF", "a.dbf", "c.txt", "dbf", ".dbf"}) {
    vx::test::WriteBytes((folder / name).string(), {'x'});
  }
  EXPECT_EQ(vexel::table_files(folder), (std::vector<std::string>{".dbf", "a.dbf", "b.DBF"}));
  std::filesystem::create_directories(dir_.File("empty"));
  EXPECT_EQ(vexel::table_files(dir_.File("empty")), std::vector<std::string>{});
  EXPECT_EQ(vexel::table_files(dir_.File("missing")), std::nullopt);
  EXPECT_EQ(vexel::table_files(folder / "a.dbf"), std::nullopt);
  EXPECT_EQ(vexel::table_files(""), std::nullopt);  // not the current folder
  for (const int page : {437, 850, 1252, 65001}) EXPECT_TRUE(vexel::codepage_available(page));
  for (const int page : {0, -1, 12345}) EXPECT_FALSE(vexel::codepage_available(page));
}
