// The vexel SQLite module as a program uses it: vexel_sqlite.so loaded into a connection of the
// system's libsqlite3, tables made and checked by the vxdbf program, a lock held by another
// process. Every planned query is also run over a plain SQLite copy of the same rows: a tag
// plan must answer exactly what SQLite answers without it.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>
#include <vexel/vexel.hpp>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace {

using vx::test::TempDir;
using Rows = std::vector<std::vector<std::string>>;

std::string ShellQuoted(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Runs vxdbf (a second program) with the arguments; answers its exit status, its output in `out`.
int Vxdbf(const std::vector<std::string>& args, std::string* out = nullptr,
          const std::string& input_file = {}) {
  std::string command = ShellQuoted(VXDBF_PATH);
  for (const std::string& a : args) command += " " + ShellQuoted(a);
  if (!input_file.empty()) command += " < " + ShellQuoted(input_file);
  command += " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string text;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
  const int status = ::pclose(pipe);
  if (out != nullptr) *out = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class Db {
 public:
  Db() {
    EXPECT_EQ(sqlite3_open(":memory:", &db_), SQLITE_OK);
    sqlite3_enable_load_extension(db_, 1);
    char* error = nullptr;
    if (sqlite3_load_extension(db_, VEXEL_SQLITE_PATH, nullptr, &error) != SQLITE_OK) {
      ADD_FAILURE() << "cannot load " << VEXEL_SQLITE_PATH << ": " << (error ? error : "");
      sqlite3_free(error);
    }
  }
  ~Db() { sqlite3_close(db_); }
  sqlite3* get() { return db_; }

  // Runs statements; answers the result code, the message in `message`.
  int Exec(const std::string& sql, std::string* message = nullptr) {
    char* error = nullptr;
    const int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error);
    if (message != nullptr) *message = error != nullptr ? error : "";
    sqlite3_free(error);
    return rc;
  }
  void Must(const std::string& sql) {
    std::string message;
    ASSERT_EQ(Exec(sql, &message), SQLITE_OK) << sql << ": " << message;
  }
  // Every row, each value as "type:text".
  Rows Query(const std::string& sql) {
    Rows rows;
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr) != SQLITE_OK) {
      ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db_);
      return rows;
    }
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
      std::vector<std::string> row;
      for (int i = 0; i < sqlite3_column_count(s); ++i) {
        static const char* kTypes[] = {"?", "int", "real", "text", "blob", "null"};
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s, i));
        row.push_back(std::string(kTypes[sqlite3_column_type(s, i)]) + ":" + (text ? text : ""));
      }
      rows.push_back(row);
    }
    if (rc != SQLITE_DONE) ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db_);
    sqlite3_finalize(s);
    return rows;
  }
  std::string Plan(const std::string& sql) {
    std::string plan;
    for (const auto& row : Query("EXPLAIN QUERY PLAN " + sql)) plan += row.back() + "\n";
    return plan;
  }

 private:
  sqlite3* db_ = nullptr;
};

// The film table of the tests: characters, whole and decimal numbers, a logical, a date and a
// memo, with tags for each kind of plan and for the ones that must not serve.
struct FilmTable {
  std::string path;
  int records = 0;
  std::vector<int> deleted;
};

const char* kFixedTitles[] = {
    "Alien", "Alien 3", "Aliens",  "alien", "ALIEN", "\xC3\x89mile", "\xC3\xA9mile", "Zorro",
    "",      "The End", "the end", "M",     "Mo"};

FilmTable MakeFilms(const TempDir& dir, int records, unsigned seed) {
  FilmTable t;
  t.path = dir.File("films.dbf");
  t.records = records;
  EXPECT_EQ(Vxdbf({"create", t.path, "--codepage", "850", "--field", "TITLE,C,20", "--field",
                   "YEAR,N,4", "--field", "RATING,N,5,2", "--field", "COLOR,L,1", "--field",
                   "PREMIERE,D,8", "--field", "STARS,C,30", "--field", "PLOT,M"}),
            0);
  std::mt19937 random(seed);
  const auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  const char* words[] = {"Al", "Alien", "Big", "Blue", "Moon", "Mo", "Night", "Zed", "b", "x"};
  const std::string csv = dir.File("films.csv");
  std::ofstream out(csv, std::ios::binary);
  out << "TITLE,YEAR,RATING,COLOR,PREMIERE,STARS,PLOT\n";
  for (int i = 0; i < records; ++i) {
    std::string title =
        i < static_cast<int>(std::size(kFixedTitles))
            ? kFixedTitles[i]
            : std::string(words[pick(10)]) + " " + words[pick(10)] + std::to_string(pick(50));
    const std::string year = pick(10) == 0 ? "" : std::to_string(1900 + pick(121));
    const std::string rating =
        pick(10) == 0 ? "" : std::to_string(pick(100)) + "." + std::to_string(10 + pick(90));
    const char* color[] = {"T", "F", ""};
    char date[16] = "";
    if (pick(8) != 0) {
      std::snprintf(date, sizeof date, "%04d-%02d-%02d", 1900 + pick(121), 1 + pick(12),
                    1 + pick(28));
    }
    out << '"' << title << "\"," << year << "," << rating << "," << color[pick(3)] << "," << date
        << ",Star " << i << ",\"Plot of " << i << "\"\n";
  }
  out.close();
  std::string message;
  EXPECT_EQ(Vxdbf({"append", t.path}, &message, csv), 0) << message;
  const std::vector<std::vector<std::string>> tags = {
      {"--tag", "TITLE", "--key", "TITLE"},
      {"--tag", "UTITLE", "--key", "UPPER(TITLE)"},
      {"--tag", "YEAR", "--key", "YEAR"},
      {"--tag", "RATINGD", "--key", "RATING", "--descending"},
      {"--tag", "LIVEPREM", "--key", "PREMIERE", "--for", ".NOT. DELETED()"},
      {"--tag", "STARSU", "--key", "STARS", "--unique"},
  };
  for (const auto& tag : tags) {
    std::vector<std::string> args = {"index", t.path};
    args.insert(args.end(), tag.begin(), tag.end());
    EXPECT_EQ(Vxdbf(args, &message), 0) << message;
  }
  for (int recno : {2, records / 2, records}) {
    if (recno < 1 || std::find(t.deleted.begin(), t.deleted.end(), recno) != t.deleted.end()) {
      continue;
    }
    EXPECT_EQ(Vxdbf({"delete", t.path, std::to_string(recno)}, &message), 0) << message;
    t.deleted.push_back(recno);
  }
  return t;
}

void Attach(Db& db, const std::string& path, const std::string& options = "") {
  db.Must("CREATE VIRTUAL TABLE films USING vexel('" + path + "'" + options + ")");
}

// A plain SQLite table with every row of the vexel table, deleted ones included.
void CopyToNative(Db& db) {
  db.Must(
      "CREATE TABLE native AS SELECT _recno, _deleted, TITLE, YEAR, RATING, COLOR, PREMIERE, "
      "STARS, PLOT FROM films WHERE _deleted IN (0, 1)");
}

std::size_t CharCount(const std::string& s) {
  return static_cast<std::size_t>(
      std::count_if(s.begin(), s.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

bool IsAscii(const std::string& s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return (c & 0x80) == 0; });
}

TEST(SqliteModule, ColumnsMapFieldsToSqlTypesAndHideDeletedRecords) {
  TempDir dir;
  const FilmTable t = MakeFilms(dir, 20, 1);
  Db db;
  Attach(db, t.path);
  // The declared columns: the hidden ones first, not in SELECT *.
  EXPECT_EQ(db.Query("SELECT name, type, hidden FROM pragma_table_xinfo('films') ORDER BY cid"),
            (Rows{{"text:_recno", "text:INTEGER", "int:1"},
                  {"text:_deleted", "text:INTEGER", "int:1"},
                  {"text:TITLE", "text:TEXT", "int:0"},
                  {"text:YEAR", "text:INTEGER", "int:0"},
                  {"text:RATING", "text:REAL", "int:0"},
                  {"text:COLOR", "text:INTEGER", "int:0"},
                  {"text:PREMIERE", "text:TEXT", "int:0"},
                  {"text:STARS", "text:TEXT", "int:0"},
                  {"text:PLOT", "text:TEXT", "int:0"}}));
  // Deleted records are left out until _deleted is read or constrained.
  EXPECT_EQ(db.Query("SELECT count(*) FROM films"),
            (Rows{{"int:" + std::to_string(20 - t.deleted.size())}}));
  EXPECT_EQ(db.Query("SELECT count(*) FROM films WHERE _deleted IN (0, 1)"), (Rows{{"int:20"}}));
  EXPECT_EQ(db.Query("SELECT _recno FROM films WHERE _deleted = 1"),
            (Rows{{"int:2"}, {"int:10"}, {"int:20"}}));
  EXPECT_EQ(db.Query("SELECT _recno, _deleted FROM films WHERE _recno = 2"),
            (Rows{{"int:2", "int:1"}}));
  EXPECT_TRUE(db.Query("SELECT TITLE FROM films WHERE _recno = 2").empty());
  EXPECT_EQ(db.Query("SELECT rowid FROM films WHERE rowid = 3"), (Rows{{"int:3"}}));
  // Values: trimmed text, blank C as '', blank numbers and dates as NULL, logicals 0/1.
  for (const auto& row :
       db.Query("SELECT typeof(TITLE), typeof(YEAR), typeof(RATING), "
                "typeof(COLOR), typeof(PREMIERE), typeof(PLOT), TITLE FROM films")) {
    EXPECT_EQ(row[0], "text:text");
    EXPECT_TRUE(row[1] == "text:integer" || row[1] == "text:null") << row[1];
    EXPECT_TRUE(row[2] == "text:real" || row[2] == "text:null") << row[2];
    EXPECT_TRUE(row[3] == "text:integer" || row[3] == "text:null") << row[3];
    EXPECT_TRUE(row[4] == "text:text" || row[4] == "text:null") << row[4];
    EXPECT_EQ(row[5], "text:text");
    EXPECT_EQ(row[6].find_last_not_of(' '), row[6].size() - 1);
  }
  EXPECT_EQ(db.Query("SELECT TITLE FROM films WHERE _recno = 9"), (Rows{{"text:"}}));
  EXPECT_EQ(db.Query("SELECT count(*) FROM films WHERE PREMIERE NOT GLOB "
                     "'[12][0-9][0-9][0-9]-[01][0-9]-[0-3][0-9]'"),
            (Rows{{"int:0"}}));
  EXPECT_EQ(db.Query("SELECT count(*) FROM films WHERE COLOR NOT IN (0, 1)"), (Rows{{"int:0"}}));
  EXPECT_EQ(db.Query("SELECT PLOT FROM films WHERE _recno = 4"), (Rows{{"text:Plot of 3"}}));
  EXPECT_EQ(db.Query("SELECT TITLE FROM films WHERE _recno = 6"), (Rows{{"text:\xC3\x89mile"}}));
}

// A number field with decimals reads REAL however the program that wrote it spelled the value
// (another program left out the decimal point): the same in a scan as by record number.
TEST(SqliteModule, ANumberWithDecimalsIsRealInEveryPlanEvenWithoutAPoint) {
  TempDir dir;
  const std::string path = dir.File("points.dbf");
  {
    vexel::Table t = vexel::create(path, {{"R", 'N', 5, 1}});
    for (int i = 0; i < 2; ++i) t.append({{"R", 1.0}});
  }
  {
    std::FILE* f = std::fopen(path.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    unsigned char header[12];
    ASSERT_EQ(std::fread(header, 1, 12, f), 12u);
    const long first = header[8] | header[9] << 8;
    const long length = header[10] | header[11] << 8;
    for (const auto& [record, digits] : {std::pair{0L, "   12"}, std::pair{1L, "    3"}}) {
      std::fseek(f, first + record * length + 1, SEEK_SET);
      std::fwrite(digits, 1, 5, f);
    }
    std::fclose(f);
  }
  Db db;
  db.Must("CREATE VIRTUAL TABLE points USING vexel('" + path + "')");
  EXPECT_EQ(db.Query("SELECT typeof(R), R FROM points"),
            (Rows{{"text:real", "real:12.0"}, {"text:real", "real:3.0"}}));
  EXPECT_EQ(db.Query("SELECT typeof(R), R FROM points WHERE _recno = 1"),
            (Rows{{"text:real", "real:12.0"}}));
}

TEST(SqliteModule, OptionsAndBadDeclarationsAreRefusedWithAMessage) {
  TempDir dir;
  const FilmTable t = MakeFilms(dir, 3, 2);
  Db db;
  std::string message;
  struct Case {
    std::string arguments;
    std::string message;
  };
  for (const Case& c : std::vector<Case>{
           {"", "USING vexel('FILE.dbf'"},
           {"'" + dir.File("missing.dbf") + "'", "missing.dbf"},
           {"'" + t.path + "', mode=sideways", "mode is shared, exclusive or read_only"},
           {"'" + t.path + "', codepage=x", "codepage wants a number"},
           {"'" + t.path + "', colour=1", "unknown option colour"},
           {"'" + t.path + "', retries", "wants NAME=VALUE"},
       }) {
    EXPECT_EQ(db.Exec("CREATE VIRTUAL TABLE bad USING vexel(" + c.arguments + ")", &message),
              SQLITE_ERROR)
        << c.arguments;
    EXPECT_NE(message.find(c.message), std::string::npos) << c.arguments << ": " << message;
  }
  // read_only: every edit refused, the file untouched.
  Attach(db, t.path, ", mode=read_only");
  EXPECT_EQ(db.Exec("UPDATE films SET YEAR = 2000 WHERE _deleted IN (0, 1)", &message),
            SQLITE_READONLY);
  EXPECT_NE(message.find("read-only"), std::string::npos) << message;
  // Dropping the SQL table leaves the dBASE files alone.
  db.Must("DROP TABLE films");
  EXPECT_TRUE(std::filesystem::exists(t.path));
}

// The plans: each operator through its tag (or not, where the tag cannot serve), and the rows
// equal to SQLite's over a plain copy, in the tag's order where ORDER BY was left to it. Over
// table sizes that give the tags one, two and three levels.
TEST(SqliteModule, TagPlansAnswerWhatSqliteAnswersWithoutThem) {
  struct Query {
    Query(std::string w, std::string p, std::string o = {}, bool d = false)
        : where(std::move(w)), plan(std::move(p)), order_column(std::move(o)), descending(d) {}
    std::string where;
    std::string plan;          // in EXPLAIN QUERY PLAN's detail
    std::string order_column;  // ORDER BY left to the tag: the column whose order is checked
    bool descending = false;
  };
  const std::vector<Query> queries = {
      {"TITLE = 'Alien'", "tag TITLE (=)"},
      {"TITLE = 'Alien '", "tag TITLE (=)"},
      {"TITLE = ''", "tag TITLE (=)"},
      {"TITLE = 'A title longer than the field'", "tag TITLE (=)"},
      {"TITLE = '\xC3\x89mile'", "tag TITLE (=)"},
      {"TITLE IN ('Alien', 'Aliens', 'Nope', 'alien', 'The End')", "tag TITLE (IN)"},
      {"TITLE = 'alien' COLLATE NOCASE", "tag UTITLE (=)"},
      {"TITLE > 'M'", "tag TITLE (range)"},
      {"TITLE >= 'Mo' AND TITLE < 'Z'", "tag TITLE (range)"},
      {"TITLE BETWEEN 'A' AND 'Alien 3'", "tag TITLE (range)"},
      {"TITLE <= 'Big'", "tag TITLE (range)"},
      {"TITLE LIKE 'al%'", "tag UTITLE (LIKE prefix)"},
      {"TITLE LIKE 'the e_d'", "tag UTITLE (LIKE prefix)"},
      {"TITLE LIKE '\xC3\x89%'", "tag TITLE (LIKE prefix)"},
      {"TITLE GLOB 'Al*'", "tag TITLE (GLOB prefix)"},
      {"TITLE GLOB 'Alien [3s]'", "tag TITLE (GLOB prefix)"},
      {"YEAR = 1999", "tag YEAR (=)"},
      {"YEAR = '1999'", "tag YEAR (=)"},
      {"YEAR IN (1950, 1960.0, '1970', NULL)", "tag YEAR (IN)"},
      {"YEAR > 1990", "tag YEAR (range)"},
      {"YEAR >= 1990.5", "tag YEAR (range)"},
      {"YEAR < 1950", "tag YEAR (range)"},
      {"YEAR <= 1950", "tag YEAR (range)"},
      {"YEAR BETWEEN 1950 AND 1960", "tag YEAR (range)"},
      {"YEAR > 'abc'", "tag YEAR (range)"},
      {"RATING > 50", "tag RATINGD (range)"},
      {"RATING BETWEEN 10.5 AND 20", "tag RATINGD (range)"},
      {"PREMIERE = '1950-06-01'", "tag LIVEPREM (=)"},
      {"PREMIERE > '1990-01-01'", "tag LIVEPREM (range)"},
      {"PREMIERE < '1930'", "tag LIVEPREM (range)"},
      {"_recno = 5", "_recno (=)"},
      {"rowid = 7", "_recno (=)"},
      {"_recno = 2 AND _deleted = 1", "_recno (=), deleted included"},
      {"_recno BETWEEN 5 AND 12", "_recno (range)"},
      {"rowid > 30 AND rowid <= 35.5", "_recno (range)"},
      {"_recno < 4", "_recno (range)"},
      {"_recno >= 'x'", "_recno (range)"},
      {"1 ORDER BY TITLE", "tag TITLE (order)", "TITLE"},
      {"TITLE > 'B' ORDER BY TITLE", "tag TITLE (range)", "TITLE"},
      {"YEAR >= 1950 ORDER BY YEAR", "tag YEAR (range)", "YEAR"},
      {"1 ORDER BY RATING DESC", "tag RATINGD (order)", "RATING", true},
      {"1 ORDER BY _recno", "natural order", "_recno"},
      // Where no tag can serve.
      {"STARS = 'Star 5'", "natural order"},            // a unique tag misses duplicates
      {"TITLE LIKE '%a%'", "natural order"},            // no prefix
      {"YEAR + 0 = 1999", "natural order"},             // not a column
      {"TITLE > 'M' COLLATE NOCASE", "natural order"},  // another order
      {"PLOT = 'Plot of 3'", "natural order"},          // no tag
      {"PREMIERE > '1990-01-01' AND _deleted IN (0, 1)", "natural order, deleted included"},
  };
  for (const int records : {40, 700, 3000}) {
    SCOPED_TRACE("records: " + std::to_string(records));
    TempDir dir;
    const FilmTable t = MakeFilms(dir, records, static_cast<unsigned>(records));
    Db db;
    Attach(db, t.path);
    CopyToNative(db);
    ASSERT_EQ(db.Query("SELECT count(*) FROM native"), (Rows{{"int:" + std::to_string(records)}}));
    // _deleted only where the query asks for deleted records.
    const std::string columns = "_recno, TITLE, YEAR, RATING, COLOR, PREMIERE, STARS";
    for (const Query& q : queries) {
      SCOPED_TRACE(q.where);
      const bool with_deleted = q.where.find("_deleted") != std::string::npos;
      const std::string select = "SELECT " + columns + " FROM films WHERE " + q.where;
      const std::string plan = db.Plan(select);
      EXPECT_NE(plan.find("INDEX "), std::string::npos) << plan;
      // (A table of 40 records is read through where a tag walk would cost more.)
      if (records > 40) {
        EXPECT_NE(plan.find(":" + q.plan + "\n"), std::string::npos) << plan;
      }
      if (records > 40 && !q.order_column.empty()) {
        EXPECT_EQ(plan.find("TEMP B-TREE"), std::string::npos) << plan;
      }
      Rows got = db.Query(select);
      Rows want = db.Query("SELECT " + columns + " FROM native WHERE " +
                           (with_deleted ? "" : "_deleted = 0 AND ") + q.where);
      if (!q.order_column.empty()) {
        // The tag's order: SQL's order for ASCII text and for numbers (blanks, NULL in SQL,
        // sort as zero; the data holds no negative numbers).
        const std::size_t column = q.order_column == "TITLE"    ? 1
                                   : q.order_column == "YEAR"   ? 2
                                   : q.order_column == "RATING" ? 3
                                                                : 0;
        std::vector<std::string> sequence;
        for (const auto& row : got) {
          if (IsAscii(row[column])) sequence.push_back(row[column]);
        }
        const auto numeric = [](const std::string& v) {
          return v.starts_with("null:") || v.starts_with("text:")
                     ? 0.0
                     : std::stod(v.substr(v.find(':') + 1));
        };
        for (std::size_t i = 1; i < sequence.size(); ++i) {
          const bool in_order = column == 1    ? sequence[i - 1].substr(5) <= sequence[i].substr(5)
                                : q.descending ? numeric(sequence[i - 1]) >= numeric(sequence[i])
                                               : numeric(sequence[i - 1]) <= numeric(sequence[i]);
          ASSERT_TRUE(in_order) << sequence[i - 1] << " before " << sequence[i];
        }
      }
      std::sort(got.begin(), got.end());
      std::sort(want.begin(), want.end());
      Rows extra, missing;
      std::set_difference(got.begin(), got.end(), want.begin(), want.end(),
                          std::back_inserter(extra));
      std::set_difference(want.begin(), want.end(), got.begin(), got.end(),
                          std::back_inserter(missing));
      EXPECT_TRUE(extra.empty() && missing.empty())
          << extra.size() << " rows too many, first " << (extra.empty() ? "" : extra[0][1]) << "; "
          << missing.size() << " missing, first "
          << (missing.empty() ? "" : missing[0][0] + " " + missing[0][1]);
    }
    // Two cursors of one table, interleaved: a self-join through the tag.
    const std::string join = "SELECT count(*) FROM films a JOIN films b ON a.TITLE = b.TITLE";
    if (records > 40) {
      EXPECT_NE(db.Plan(join).find("tag TITLE (=)"), std::string::npos) << db.Plan(join);
    }
    EXPECT_EQ(db.Query(join),
              db.Query("SELECT count(*) FROM native a JOIN native b ON "
                       "a.TITLE = b.TITLE WHERE a._deleted = 0 AND b._deleted = 0"));
  }
}

// A model test of the range and order plans: a table whose values sit where the tag's order
// and SQL's part (text with control characters, letters outside ASCII, leading and trailing
// blanks; negative, decimal and blank numbers; blank dates), and random ranges over every tag
// (literal bounds of every SQL type, strict and not), with and without ORDER BY: each answers
// the rows, in the order, that SQLite answers over a plain copy.
TEST(SqliteModule, RandomRangesAndOrdersThroughTagsAnswerWhatSqliteAnswers) {
  TempDir dir;
  const std::string path = dir.File("edges.dbf");
  ASSERT_EQ(Vxdbf({"create", path, "--codepage", "1252", "--field", "NAME,C,6", "--field",
                   "NUM,N,5", "--field", "AMOUNT,N,7,2", "--field", "DAY,D,8"}),
            0);
  std::mt19937 random(41);
  const auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  // Pieces of text: plain letters, a blank, a control character, a tab, letters outside ASCII
  // (the euro sign is 0x80 in 1252, below the accented letters there, above them in Unicode).
  const std::vector<std::string> pieces = {"a", "b",        "B",        " ",       "~",  "\x01",
                                           "\t", "\xC3\xA9", "\xC3\x89", "\xE2\x82\xAC", "0", "ab"};
  const auto text = [&](int most) {
    std::string out;
    for (int n = pick(most + 1); n > 0; --n) out += pieces[static_cast<std::size_t>(pick(12))];
    return out;
  };
  const int records = 1500;
  const std::string csv = dir.File("edges.csv");
  {
    std::ofstream out(csv, std::ios::binary);
    out << "NAME,NUM,AMOUNT,DAY\n";
    for (int i = 0; i < records; ++i) {
      std::string name = text(4);
      while (CharCount(name) > 6) name.pop_back();
      const std::string num = pick(8) == 0 ? "" : std::to_string(pick(41) - 20);
      char amount[16] = "";
      if (pick(8) != 0) std::snprintf(amount, sizeof amount, "%.2f", (pick(4001) - 2000) / 100.0);
      char day[16] = "";
      if (pick(6) != 0) {
        std::snprintf(day, sizeof day, "%04d-%02d-%02d", 1990 + pick(20), 1 + pick(12),
                      1 + pick(28));
      }
      out << '"' << name << "\"," << num << "," << amount << "," << day << "\n";
    }
  }
  std::string message;
  ASSERT_EQ(Vxdbf({"append", path}, &message, csv), 0) << message;
  for (const auto& tag : std::vector<std::vector<std::string>>{
           {"--tag", "NAME", "--key", "NAME"},
           {"--tag", "NUM", "--key", "NUM"},
           {"--tag", "AMOUNTD", "--key", "AMOUNT", "--descending"},
           {"--tag", "DAY", "--key", "DAY"}}) {
    std::vector<std::string> args = {"index", path};
    args.insert(args.end(), tag.begin(), tag.end());
    ASSERT_EQ(Vxdbf(args, &message), 0) << message;
  }
  for (int recno : {3, 77, 700, 1500}) {
    ASSERT_EQ(Vxdbf({"delete", path, std::to_string(recno)}, &message), 0) << message;
  }
  Db db;
  db.Must("CREATE VIRTUAL TABLE edges USING vexel('" + path + "')");
  db.Must("CREATE TABLE native AS SELECT _recno, _deleted, * FROM edges WHERE _deleted IN (0, 1)");
  const auto quoted = [](const std::string& t) { return "'" + t + "'"; };
  // A bound for a column: mostly a value of its kind, sometimes one of another SQL type.
  const auto bound = [&](const std::string& column) -> std::string {
    switch (pick(12)) {
      case 0:
        return "NULL";
      case 1:
        return quoted(text(3));
      case 2:
        return "x'41'";
      case 3:
        return quoted(std::to_string(pick(41) - 20));  // a number as text
      default:
        break;
    }
    if (column == "NAME") return quoted(text(4));
    if (column == "NUM") return pick(3) == 0 ? std::to_string(pick(41) - 20) + ".5"
                                             : std::to_string(pick(45) - 22);
    if (column == "AMOUNT") {
      return pick(2) == 0 ? std::to_string(pick(45) - 22)
                          : std::to_string((pick(4401) - 2200) / 100.0);
    }
    char day[16];
    std::snprintf(day, sizeof day, "'%04d-%02d-%02d'", 1989 + pick(22), 1 + pick(12),
                  1 + pick(28));
    return pick(5) == 0 ? std::string("'199") + std::to_string(pick(10)) + "'" : day;
  };
  const std::vector<std::string> columns = {"NAME", "NUM", "AMOUNT", "DAY"};
  const std::vector<std::string> lower = {" > ", " >= "};
  const std::vector<std::string> upper = {" < ", " <= "};
  int through_tags = 0;
  for (int q = 0; q < 600; ++q) {
    const std::string& column = columns[static_cast<std::size_t>(pick(4))];
    std::string where;
    switch (pick(5)) {
      case 0:
        where = column + lower[static_cast<std::size_t>(pick(2))] + bound(column);
        break;
      case 1:
        where = column + upper[static_cast<std::size_t>(pick(2))] + bound(column);
        break;
      case 2:
        where = column + " BETWEEN " + bound(column) + " AND " + bound(column);
        break;
      case 3:
        where = column + lower[static_cast<std::size_t>(pick(2))] + bound(column) + " AND " +
                column + upper[static_cast<std::size_t>(pick(2))] + bound(column);
        break;
      default:
        where = "1";
        break;
    }
    // ORDER BY in the direction of the column's tag, where the tag may give it.
    const bool ordered = where == "1" || pick(2) == 0;
    const std::string order =
        ordered ? " ORDER BY " + column + (column == "AMOUNT" ? " DESC" : "") : "";
    SCOPED_TRACE(where + order);
    const std::string select = "SELECT _recno, " + column + " FROM edges WHERE " + where + order;
    const std::string plan = db.Plan(select);
    if (plan.find("tag ") != std::string::npos) ++through_tags;
    Rows got = db.Query(select);
    Rows want =
        db.Query("SELECT _recno, " + column + " FROM native WHERE _deleted = 0 AND (" + where +
                 ")" + order);
    if (ordered) {
      // The column's values in the same sequence (rows of equal values in any order).
      std::vector<std::string> got_values, want_values;
      for (const auto& row : got) got_values.push_back(row[1]);
      for (const auto& row : want) want_values.push_back(row[1]);
      ASSERT_EQ(got_values, want_values) << plan;
    }
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    ASSERT_EQ(got, want) << plan;
    EXPECT_EQ(db.Query("SELECT count(*) FROM edges WHERE " + where),
              db.Query("SELECT count(*) FROM native WHERE _deleted = 0 AND (" + where + ")"));
  }
  EXPECT_GT(through_tags, 400);
}

// A count over a range of a number tag reads a block's numbers only where its first and last
// rows do not settle them: blank numbers (NULL in SQL) sort among the zeros, so a range that
// holds 0 compares every row; deleted records are left out either way.
TEST(SqliteModule, ACountOverANumberRangeLeavesOutBlanksAndDeletedRecords) {
  TempDir dir;
  const std::string path = dir.File("counts.dbf");
  ASSERT_EQ(Vxdbf({"create", path, "--field", "NUM,N,5", "--field", "AMT,N,7,2"}), 0);
  const std::string csv = dir.File("counts.csv");
  {
    std::ofstream out(csv);
    out << "NUM,AMT\n";
    for (int i = 0; i < 3000; ++i) {
      if (i % 7 == 0) {
        out << ",\n";
      } else {
        out << (i % 11) - 5 << "," << ((i * 37) % 1001 - 500) / 100.0 << "\n";
      }
    }
  }
  std::string message;
  ASSERT_EQ(Vxdbf({"append", path}, &message, csv), 0) << message;
  ASSERT_EQ(Vxdbf({"index", path, "--tag", "NUM", "--key", "NUM"}, &message), 0) << message;
  ASSERT_EQ(Vxdbf({"index", path, "--tag", "AMT", "--key", "AMT", "--descending"}, &message), 0)
      << message;
  for (int recno = 2; recno <= 3000; recno += 97) {
    ASSERT_EQ(Vxdbf({"delete", path, std::to_string(recno)}, &message), 0) << message;
  }
  Db db;
  db.Must("CREATE VIRTUAL TABLE counts USING vexel('" + path + "')");
  db.Must("CREATE TABLE native AS SELECT _deleted, * FROM counts WHERE _deleted IN (0, 1)");
  for (const std::string where :
       {"NUM BETWEEN -2 AND 2", "NUM BETWEEN 1 AND 4", "NUM >= -5 AND NUM <= -1",
        "NUM > -1 AND NUM < 1", "NUM BETWEEN 0 AND 3", "NUM >= 0", "NUM < 0", "NUM > 0.5",
        "AMT BETWEEN -1.5 AND 2.25", "AMT BETWEEN 0.01 AND 4", "AMT < 0", "AMT >= -0.5"}) {
    SCOPED_TRACE(where);
    const std::string count = "SELECT count(*) FROM counts WHERE " + where;
    EXPECT_NE(db.Plan(count).find("(range)"), std::string::npos) << db.Plan(count);
    EXPECT_EQ(db.Query(count),
              db.Query("SELECT count(*) FROM native WHERE _deleted = 0 AND (" + where + ")"));
  }
}

TEST(SqliteModule, WritesKeepTagsCurrentPassCheckAndAreSeenByAnotherProgram) {
  TempDir dir;
  const FilmTable t = MakeFilms(dir, 30, 3);
  Db db;
  Attach(db, t.path);
  db.Must(
      "INSERT INTO films (TITLE, YEAR, RATING, COLOR, PREMIERE, STARS, PLOT) VALUES "
      "('Brazil', 1985, 8.25, 1, '1985-02-20', 'Jonathan Pryce', 'A clerk dreams.')");
  EXPECT_EQ(sqlite3_last_insert_rowid(db.get()), 31);
  db.Must("INSERT INTO films (TITLE) VALUES ('Nothing else')");
  // _deleted given: 0 leaves the new record live, 1 marks it.
  db.Must("INSERT INTO films (TITLE, _deleted) VALUES ('Kept', 0), ('Gone', 1)");
  EXPECT_EQ(db.Query("SELECT TITLE, _deleted FROM films WHERE _recno > 32 AND _deleted IN (0, 1)"),
            (Rows{{"text:Kept", "int:0"}, {"text:Gone", "int:1"}}));
  db.Must("UPDATE films SET YEAR = 1901, TITLE = 'Renamed' WHERE TITLE = 'Zorro'");
  db.Must("UPDATE films SET PLOT = 'A longer plot, written again' WHERE _recno = 1");
  db.Must("DELETE FROM films WHERE TITLE = 'Aliens'");
  db.Must("UPDATE films SET _deleted = 0 WHERE _recno = 2 AND _deleted = 1");  // a recall
  // Through the tags, at once.
  EXPECT_EQ(db.Query("SELECT _recno, YEAR FROM films WHERE TITLE = 'Renamed'"),
            (Rows{{"int:8", "int:1901"}}));
  EXPECT_TRUE(db.Query("SELECT 1 FROM films WHERE TITLE = 'Zorro'").empty());
  EXPECT_TRUE(db.Query("SELECT 1 FROM films WHERE TITLE = 'Aliens'").empty());
  EXPECT_EQ(db.Query("SELECT _deleted FROM films WHERE TITLE = 'Aliens' AND _deleted IN (0,1)"),
            (Rows{{"int:1"}}));
  EXPECT_EQ(db.Query("SELECT TITLE, YEAR, RATING, COLOR, PREMIERE, PLOT FROM films "
                     "WHERE YEAR = 1985 AND TITLE GLOB 'Br*'"),
            (Rows{{"text:Brazil", "int:1985", "real:8.25", "int:1", "text:1985-02-20",
                   "text:A clerk dreams."}}));
  EXPECT_EQ(db.Query("SELECT count(*) FROM films WHERE _recno = 2"), (Rows{{"int:1"}}));
  // Another program sees every change while the table is open here.
  std::string out;
  EXPECT_EQ(Vxdbf({"seek", t.path, "--tag", "TITLE", "Renamed"}, &out), 0) << out;
  EXPECT_NE(out.find("8"), std::string::npos) << out;
  EXPECT_EQ(Vxdbf({"list", t.path, "TITLE", "PLOT", "--for", "RECNO() = 1 .OR. RECNO() > 30",
                   "--format", "jsonl"},
                  &out),
            0);
  EXPECT_NE(out.find("A longer plot, written again"), std::string::npos) << out;
  EXPECT_NE(out.find("Brazil"), std::string::npos) << out;
  EXPECT_NE(out.find("Nothing else"), std::string::npos) << out;
  EXPECT_EQ(Vxdbf({"dump", t.path, "--deleted", "--format", "jsonl"}, &out), 0);
  EXPECT_NE(out.find("{\"_deleted\":true,\"TITLE\":\"Aliens\""), std::string::npos) << out;
  EXPECT_NE(out.find("{\"_deleted\":false,\"TITLE\":\"Alien 3\""), std::string::npos) << out;
  // An UPDATE of every row leaves the deleted ones alone.
  db.Must("UPDATE films SET STARS = 'Everyone'");
  EXPECT_EQ(db.Query("SELECT _deleted, STARS = 'Everyone', count(*) FROM films "
                     "WHERE _deleted IN (0, 1) GROUP BY 1, 2"),
            (Rows{{"int:0", "int:1", "int:30"}, {"int:1", "int:0", "int:4"}}));
  // Closed (the engine writes the header's record count when the table closes), the table,
  // its index and its memo file are sound.
  db.Must("DROP TABLE films");
  EXPECT_EQ(Vxdbf({"check", t.path}, &out), 0) << out;
}

// The update counter of a shared table's semaphore file (bytes 2 and 3, little-endian): it
// moves once each time a writer lets the index's update bracket go.
int UpdateCounter(const std::string& table_path) {
  std::filesystem::path semaphore = table_path;
  semaphore.replace_extension(".@S@");
  std::ifstream in(semaphore, std::ios::binary);
  unsigned char bytes[4] = {};
  in.read(reinterpret_cast<char*>(bytes), 4);
  EXPECT_TRUE(in) << semaphore;
  return bytes[2] | (bytes[3] << 8);
}

// The rows of one INSERT statement that is its own transaction share the append lock and the
// index's update bracket, let go at the statement's end (the counter moves a few times for
// 3,000 rows, not once a row); everything else appends a row at a time and holds nothing
// between statements: inside BEGIN .. COMMIT, with RETURNING, and with the file open through
// a second SQL table read in the same statement. A row refused in the middle keeps the rows
// before it with their keys. Another program seeks and appends between the statements.
TEST(SqliteModule, AnInsertStatementAppendsItsRowsTogetherAndHoldsNothingAfterIt) {
  TempDir dir;
  const FilmTable t = MakeFilms(dir, 30, 6);
  Db db;
  Attach(db, t.path);
  db.Must(
      "CREATE TABLE src AS WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
      "WHERE i < 3000) SELECT i, printf('New %05d', (i * 7919) % 10007) AS title FROM n");
  const auto moved = [&](const std::string& sql) {
    const int before = UpdateCounter(t.path);
    db.Must(sql);
    return (UpdateCounter(t.path) - before + 65536) % 65536;
  };
  const auto count = [&](const std::string& where) {
    return db.Query("SELECT count(*) FROM films WHERE " + where).at(0).at(0);
  };
  EXPECT_LT(moved("INSERT INTO films (TITLE, YEAR, STARS) "
                  "SELECT title, 1900 + i % 120, 'Batch ' || i FROM src"),
            100);
  EXPECT_EQ(count("TITLE LIKE 'New %'"), "int:3000");
  EXPECT_EQ(count("STARS LIKE 'Batch %' AND YEAR BETWEEN 1900 AND 2019"), "int:3000");
  std::string out;
  EXPECT_EQ(Vxdbf({"seek", t.path, "--tag", "TITLE", "New 07919"}, &out), 0) << out;

  // Inside a transaction every row lets the bracket go, and nothing is held between the
  // statements: another program seeks and appends before the COMMIT.
  db.Must("BEGIN");
  EXPECT_GE(moved("INSERT INTO films (TITLE) SELECT 'Tx ' || i FROM src WHERE i <= 200"), 200);
  EXPECT_EQ(Vxdbf({"seek", t.path, "--tag", "TITLE", "Tx 7"}, &out), 0) << out;
  const std::string csv = dir.File("one.csv");
  std::ofstream(csv) << "TITLE\nFrom outside\n";
  EXPECT_EQ(Vxdbf({"append", t.path}, &out, csv), 0) << out;
  db.Must("COMMIT");
  EXPECT_EQ(count("TITLE = 'From outside'"), "int:1");

  // RETURNING hands the rows out one step at a time: the statement's rows are appended one by
  // one, and another program seeks while the caller holds the statement between two steps.
  sqlite3_stmt* s = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db.get(),
                               "INSERT INTO films (TITLE) SELECT 'Back ' || i FROM src "
                               "WHERE i <= 50 RETURNING _recno",
                               -1, &s, nullptr),
            SQLITE_OK)
      << sqlite3_errmsg(db.get());
  ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
  EXPECT_EQ(Vxdbf({"seek", t.path, "--tag", "TITLE", "Back 1"}, &out), 0) << out;
  int rows = 1;
  while (sqlite3_step(s) == SQLITE_ROW) ++rows;
  sqlite3_finalize(s);
  EXPECT_EQ(rows, 50);

  // The same file through a second SQL table, read in the statement that appends to the first.
  db.Must("CREATE VIRTUAL TABLE again USING vexel('" + t.path + "')");
  db.Must("INSERT INTO films (TITLE) SELECT 'Twice ' || TITLE FROM again WHERE TITLE LIKE 'Tx %'");
  EXPECT_EQ(count("TITLE LIKE 'Twice Tx %'"), "int:200");
  db.Must("DROP TABLE again");

  // A row refused in the middle: the rows before it stay, with their keys, and the locks go.
  std::string message;
  EXPECT_EQ(db.Exec("INSERT INTO films (TITLE, YEAR) SELECT 'Cut ' || i, "
                    "CASE WHEN i = 150 THEN 99999 ELSE 1950 END FROM src",
                    &message),
            SQLITE_CONSTRAINT)
      << message;
  EXPECT_EQ(count("TITLE LIKE 'Cut %'"), "int:149");
  EXPECT_EQ(count("TITLE LIKE 'Cut %' AND YEAR = 1950"), "int:149");
  EXPECT_EQ(Vxdbf({"append", t.path}, &out, csv), 0) << out;
  db.Must("DROP TABLE films");
  EXPECT_EQ(Vxdbf({"check", t.path}, &out), 0) << out;
}

TEST(SqliteModule, ValuesThatDoNotFitAreRefusedNamingTheFieldAndChangeNothing) {
  TempDir dir;
  const FilmTable t = MakeFilms(dir, 12, 4);
  Db db;
  Attach(db, t.path);
  const Rows before = db.Query("SELECT _recno, _deleted, * FROM films WHERE _deleted IN (0,1)");
  struct Case {
    std::string sql;
    std::string field;
  };
  for (const Case& c : std::vector<Case>{
           {"UPDATE films SET YEAR = 123456 WHERE _recno = 1", "YEAR"},
           {"UPDATE films SET YEAR = 'soon' WHERE _recno = 1", "YEAR"},
           {"UPDATE films SET PREMIERE = '1999-02-30' WHERE _recno = 1", "PREMIERE"},
           {"UPDATE films SET COLOR = 7 WHERE _recno = 1", "COLOR"},
           {"UPDATE films SET TITLE = 'A title much longer than twenty' WHERE _recno = 1", "TITLE"},
           {"UPDATE films SET _recno = 99 WHERE _recno = 1", "_recno"},
           {"UPDATE films SET _deleted = 5 WHERE _recno = 1", "_deleted"},
           {"INSERT INTO films (TITLE, YEAR) VALUES ('Fine', 99999)", "YEAR"},
           {"INSERT INTO films (TITLE) VALUES ('Much too long for the title field')", "TITLE"},
           {"INSERT INTO films (_recno, TITLE) VALUES (5, 'x')", "_recno"},
       }) {
    std::string message;
    EXPECT_EQ(db.Exec(c.sql, &message), SQLITE_CONSTRAINT) << c.sql << ": " << message;
    EXPECT_NE(message.find(c.field), std::string::npos) << c.sql << ": " << message;
  }
  EXPECT_EQ(db.Query("SELECT _recno, _deleted, * FROM films WHERE _deleted IN (0,1)"), before);
  std::string out;
  EXPECT_EQ(Vxdbf({"check", t.path}, &out), 0) << out;
}

TEST(SqliteModule, ALockHeldByAnotherProgramGivesBusyAndChangesNothing) {
  TempDir dir;
  const FilmTable t = MakeFilms(dir, 12, 5);
  vx::test::Child holder([&](vx::test::Child& self) {
    try {
      vexel::Table table = vexel::open(t.path);
      vexel::Table appender = vexel::open(t.path);  // one table may not hold both kinds
      vexel::RecordLock lock = table.lock(3);
      vexel::AppendLock append = appender.lock_append();
      self.Send('L');
      self.Receive();  // holds both until the parent is done
    } catch (const std::exception& e) {
      std::fprintf(stderr, "holder: %s\n", e.what());
      return 1;
    }
    return 0;
  });
  ASSERT_EQ(holder.Receive(), 'L');
  Db db;
  Attach(db, t.path, ", retries=0");
  const Rows before = db.Query("SELECT _recno, _deleted, * FROM films WHERE _deleted IN (0,1)");
  for (const std::string sql :
       {"UPDATE films SET YEAR = 2001 WHERE _recno = 3", "DELETE FROM films WHERE _recno = 3",
        "INSERT INTO films (TITLE) VALUES ('Blocked')"}) {
    std::string message;
    EXPECT_EQ(db.Exec(sql, &message), SQLITE_BUSY) << sql << ": " << message;
    EXPECT_FALSE(message.empty()) << sql;
  }
  // Another record is free.
  db.Must("UPDATE films SET YEAR = 2002 WHERE _recno = 4");
  holder.Send();
  EXPECT_EQ(holder.Wait(), 0);
  Rows after = db.Query("SELECT _recno, _deleted, * FROM films WHERE _deleted IN (0,1)");
  ASSERT_EQ(after.size(), before.size());
  after[3] = before[3];
  EXPECT_EQ(after, before);
}

TEST(SqliteModule, CorpusTableAnswersARangeQueryInTagOrder) {
  // A table and production index written by another program: 444 records, 252 of them
  // deleted; tag SOI_TAG on SOI FOR .NOT. DELETED(), two levels.
  const std::filesystem::path corpus = vx::test::CorpusDir();
  if (corpus.empty()) GTEST_SKIP() << "../shared/corpus is absent: no corpus table to query";
  const std::filesystem::path source = corpus / "cimc-pcs7/meldeom/MELDLNK.DBF";
  if (!std::filesystem::exists(source)) GTEST_SKIP() << source << " is absent";
  TempDir dir;
  for (const char* ext : {".DBF", ".MDX"}) {
    std::filesystem::path from = source;
    from.replace_extension(ext);
    std::filesystem::copy_file(from, dir.path() / ("MELDLNK" + std::string(ext)));
  }
  Db db;
  db.Must("CREATE VIRTUAL TABLE links USING vexel('" + dir.File("MELDLNK.DBF") +
          "', mode=read_only)");
  const std::string sql = "SELECT SOI, _recno FROM links WHERE SOI >= 20 ORDER BY SOI";
  const std::string plan = db.Plan(sql);
  EXPECT_NE(plan.find("tag SOI_TAG (range)"), std::string::npos) << plan;
  EXPECT_EQ(plan.find("TEMP B-TREE"), std::string::npos) << plan;
  const Rows rows = db.Query(sql);
  // The same rows as a read through the file (SOI + 0 is no column: no tag serves it).
  Rows sorted = rows;
  std::sort(sorted.begin(), sorted.end());
  Rows natural = db.Query("SELECT SOI, _recno FROM links WHERE SOI + 0 >= 20");
  std::sort(natural.begin(), natural.end());
  EXPECT_EQ(sorted, natural);
  EXPECT_GT(rows.size(), 10u);
  for (std::size_t i = 1; i < rows.size(); ++i) {
    EXPECT_LE(std::stoi(rows[i - 1][0].substr(4)), std::stoi(rows[i][0].substr(4)));
  }
}

}  // namespace
