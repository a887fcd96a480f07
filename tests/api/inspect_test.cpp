// Reading tables as stored through the library: the calls leave the program's own open tables
// and the engine's switches as they found them, and their failures come as the typed errors a
// program can tell apart.

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <tuple>
#include <utility>
#include <vexel/inspect.hpp>
#include <vexel/vexel.hpp>

#include "tests/support/temp_dir.h"

namespace {

class InspectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vexel::Table t =
        vexel::create(path_, {{"TITLE", 'C', 20, 0}, {"YEAR", 'N', 4, 0}, {"PLOT", 'M', 10, 0}},
                      {.open = {.mode = vexel::OpenMode::exclusive}});
    for (const auto& [title, year] :
         {std::pair{"Metropolis", 1927}, {"City Lights", 1931}, {"Modern Times", 1936}}) {
      t.append({{"TITLE", std::string(title)},
                {"YEAR", std::int64_t{year}},
                {"PLOT", std::string("plot of ") + title}});
    }
    t.add_tag({"TITLE", "TITLE", "", false, false});
    t.add_tag({"YEAR", "YEAR", "", false, false});
  }
  vx::test::TempDir dir_;
  std::string path_ = dir_.File("films.dbf");
};

// Every call opens the table in a work area of its own: a table the program holds open stays
// open and positioned in its order, and a soft seek does not leak into the program's exact one.
TEST_F(InspectTest, CallsLeaveTheProgramsTablesAndSwitchesAsTheyWere) {
  vexel::Table films = vexel::open(path_);
  const std::vector<std::pair<std::string, std::function<void()>>> calls = {
      {"describe", [&] { EXPECT_EQ(vexel::describe(path_).fields.size(), 3u); }},
      {"read_stored",
       [&] {
         std::vector<std::uint32_t> seen;
         vexel::read_stored(path_, {.tag = "TITLE", .keys = true}, {},
                            {nullptr, [&](const vexel::StoredRecord& r) {
                               seen.push_back(r.recno);
                               EXPECT_EQ(r.values[1].kind, vexel::StoredValue::Kind::number);
                             }});
         EXPECT_EQ(seen, (std::vector<std::uint32_t>{2, 1, 3}));
       }},
      {"read_memo", [&] { EXPECT_EQ(vexel::read_memo(path_, 2, "plot"), "plot of City Lights"); }},
      {"summarize_tags", [&] { EXPECT_EQ(vexel::summarize_tags(path_).at(1).keys, 3); }},
      {"a soft seek of another Table",
       [&] {
         const vexel::Table other = vexel::open(path_, {.mode = vexel::OpenMode::read_only});
         EXPECT_EQ(other.seek("TITLE", std::string("D"), vexel::SeekMode::soft), 1u);
       }},
      {"list_expressions",
       [&] {
         int rows = 0;
         vexel::list_expressions(path_, {.expressions = {"YEAR + 1"}, .condition = "YEAR > 1930"},
                                 {}, {nullptr, [&](std::uint32_t, const auto&) { ++rows; }});
         EXPECT_EQ(rows, 2);
       }},
      {"evaluate without a table",
       [&] { EXPECT_EQ(vexel::evaluate("1 + 1"), vexel::Value(2.0)); }},
      {"eval over a record of another Table",
       [&] {
         EXPECT_EQ(vexel::open(path_, {.mode = vexel::OpenMode::read_only}).eval("TRIM(TITLE)", 3),
                   vexel::Value("Modern Times"));
       }},
  };
  for (const auto& [name, call] : calls) {
    SCOPED_TRACE(name);
    call();
    ASSERT_TRUE(films.is_open());
    EXPECT_EQ(films.read(1).text("TITLE"), "Metropolis");
    EXPECT_FALSE(films.seek("TITLE", std::string("D")).has_value());
    EXPECT_EQ(films.seek("TITLE", std::string("City"), vexel::SeekMode::prefix), 2u);
  }
}

// What a program catches: the engine's error for a missing table (and nothing is left open, so
// the table can be made and held exclusively afterwards), ExpressionError with the engine's
// message, and InputError code 9 for a condition that is not logical, before anything is given.
TEST_F(InspectTest, FailuresAreTypedAndLeaveNothingOpen) {
  const std::string missing = dir_.File("later.dbf");
  for (int i = 0; i < 3; ++i) {
    try {
      vexel::describe(missing);
      FAIL() << "a missing table was described";
    } catch (const vexel::Error& e) {
      EXPECT_EQ(e.code(), 2);
    }
  }
  vexel::create(missing, {{"A", 'C', 1, 0}}, {.open = {.mode = vexel::OpenMode::exclusive}})
      .close();
  EXPECT_NO_THROW(vexel::open(missing, {.mode = vexel::OpenMode::exclusive}).close());

  try {
    vexel::evaluate("SUBSTR('abc', 2)");
    FAIL() << "a bad expression evaluated";
  } catch (const vexel::ExpressionError& e) {
    EXPECT_NE(std::string(e.what()).find("SUBSTR('abc', 2)"), std::string::npos) << e.what();
  }
  EXPECT_THROW(vexel::open(path_, {.mode = vexel::OpenMode::read_only}).eval("YEAR / 0", 1),
               vexel::ExpressionError);

  bool begun = false;
  const auto code_of = [](const std::function<void()>& call) {
    try {
      call();
    } catch (const vexel::ExpressionError&) {
      return -1;
    } catch (const vexel::InputError& e) {
      return e.code();
    }
    return 0;
  };
  EXPECT_EQ(code_of([&] {
              vexel::list_expressions(path_, {.expressions = {"TITLE"}, .condition = "YEAR"}, {},
                                      {[&] { begun = true; }, nullptr});
            }),
            9);
  EXPECT_FALSE(begun);
}

// An expression's value takes one form wherever it is evaluated (Table::eval, list_expressions,
// over no table): a number without decimals whole as int64 (a field alone), with decimals a
// double (arithmetic has them), a blank
// date none, text with its blanks, a memo field alone with its line ends; a table without
// records evaluates over its blank record (record 0).
TEST_F(InspectTest, ExpressionValuesTakeOneFormWhereverTheyAreEvaluated) {
  vexel::open(path_).update(2, {{"PLOT", std::string("two\r\nlines")}});
  const vexel::Table films = vexel::open(path_, {.mode = vexel::OpenMode::read_only});
  const struct {
    const char* expression;
    vexel::Value value;
    char type;
    int width;  // -1: not checked
    int decimals;
  } kCases[] = {
      {"YEAR", std::int64_t{1931}, 'N', 4, 0},
      {"YEAR + 1", 1932.0, 'N', -1, 2},
      {"YEAR / 4", 482.75, 'N', -1, -1},
      {"1/4 + 1", 1.25, 'N', 13, 2},
      {"CTOD('x')", std::monostate{}, 'D', 8, 0},
      {"TITLE", std::string("City Lights         "), 'C', 20, 0},
      {"PLOT", std::string("two\r\nlines"), 'M', 256, 0},
      {"YEAR > 1930", true, 'L', 1, 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.expression);
    const vexel::Expression e = films.compile(c.expression);
    EXPECT_EQ(films.eval(e, 2), c.value);
    EXPECT_EQ(e.type(), c.type);
    if (c.width >= 0) EXPECT_EQ(e.width(), c.width);
    if (c.decimals >= 0) EXPECT_EQ(e.decimals(), c.decimals);
    std::vector<vexel::Value> listed;
    vexel::list_expressions(path_, {.expressions = {c.expression}, .condition = "RECNO() = 2"}, {},
                            {nullptr, [&](std::uint32_t recno, const auto& values) {
                               EXPECT_EQ(recno, 2u);
                               listed = values;
                             }});
    EXPECT_EQ(listed, std::vector<vexel::Value>{c.value});
  }
  // Over no table: constants and functions, the same forms; a field name does not compile.
  const vexel::Expression quarter = vexel::compile("1/4 + 1");
  EXPECT_EQ(vexel::evaluate(quarter), vexel::Value(1.25));
  EXPECT_EQ(std::make_tuple(quarter.type(), quarter.width(), quarter.decimals()),
            std::make_tuple('N', 13, 2));
  EXPECT_EQ(vexel::evaluate("'ab ' + CHR(67)"), vexel::Value("ab C"));
  EXPECT_EQ(vexel::evaluate("CTOD('x')"), vexel::Value());
  EXPECT_THROW(vexel::evaluate("TITLE"), vexel::ExpressionError);
  EXPECT_THROW(films.eval(quarter, 1), vexel::Error);
  EXPECT_THROW(vexel::evaluate(films.compile("TITLE")), vexel::Error);

  const std::string empty = dir_.File("empty.dbf");
  vexel::Table none = vexel::create(empty, {{"NAME", 'C', 5, 0}, {"N", 'N', 3, 0}});
  EXPECT_EQ(none.eval("NAME + '|'", 0), vexel::Value("     |"));
  EXPECT_EQ(none.eval("N", 0), vexel::Value(std::int64_t{0}));
  EXPECT_THROW(none.eval("NAME", 1), vexel::Error);
  none.append({{"NAME", std::string("abc")}, {"N", std::int64_t{7}}});
  EXPECT_EQ(none.eval("NAME + '|'", 0), vexel::Value("     |")) << "record 0 is blank";
  EXPECT_EQ(none.eval("NAME + '|'", 1), vexel::Value("abc  |"));
}

// A walk gives values as data: stored digits, dashed dates, no value for a blank, the deletion
// mark; keys only when asked; deleted records left out on request; and a memo whose end marker
// is lost is cut at the next memo, named through warn, and makes the walk damaged.
TEST_F(InspectTest, StoredWalksGiveValuesAndDamageAsData) {
  {
    vexel::Table t = vexel::open(path_);
    t.remove(2);
  }
  std::vector<vexel::StoredRecord> seen;
  const auto walk = [&](const vexel::RecordWalk& w, const vexel::OpenOptions& o = {}) {
    seen.clear();
    return vexel::read_stored(path_, w, o,
                              {nullptr, [&](const vexel::StoredRecord& r) { seen.push_back(r); }});
  };
  EXPECT_FALSE(walk({.tag = "YEAR"}).damaged);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].key, "");
  EXPECT_TRUE(seen[1].deleted);
  EXPECT_EQ(seen[1].values[1].text, "1931");
  EXPECT_EQ(seen[1].values[1].number, "1931");
  walk({.tag = "YEAR", .skip_deleted = true, .keys = true});
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].recno, 3u);
  EXPECT_NE(seen[1].key, "");

  // A dBASE III memo ends at its marker: the first one's overwritten, it would read on into
  // the second.
  const std::string old = dir_.File("old.dbf");
  {
    vexel::Table t = vexel::create(old, {{"PLOT", 'M', 10, 0}}, {.version = 0x83});
    t.append({{"PLOT", std::string("first plot")}});
    t.append({{"PLOT", std::string("second plot")}});
  }
  {
    const std::string dbt = dir_.File("old.dbt");
    std::FILE* f = std::fopen(dbt.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    std::vector<char> bytes(1 << 16);
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), f));
    const std::string text(bytes.begin(), bytes.end());
    const std::size_t end = text.find("first plot") + 10;
    const std::size_t next = text.find("second plot");
    ASSERT_LT(end, next);
    std::fseek(f, static_cast<long>(end), SEEK_SET);
    const std::string filler(next - end, 'x');
    std::fwrite(filler.data(), 1, filler.size(), f);
    std::fclose(f);
  }
  std::vector<std::string> warnings;
  vexel::OpenOptions options;
  options.warn = [&](const std::string& m) { warnings.push_back(m); };
  seen.clear();
  const vexel::StoredWalkResult damaged = vexel::read_stored(
      old, {}, options, {nullptr, [&](const vexel::StoredRecord& r) { seen.push_back(r); }});
  EXPECT_TRUE(damaged.damaged);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("record 1, field PLOT: memo has no end marker"), std::string::npos)
      << warnings[0];
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].values[0].text.find("second"), std::string::npos);
  EXPECT_EQ(seen[1].values[0].text, "second plot");
}

}  // namespace
