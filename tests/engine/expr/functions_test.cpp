// The answers dBASE gives: every function's value, type, width and decimals in one table; date
// parts in all nine date styles; decimal rounding at its boundaries; date literals and "!".

#include <functional>

#include "engine/foundation/settings.h"
#include "tests/engine/expr/expr_test_support.h"

namespace vx {
namespace {

class FunctionsTest : public test::ExprTest {
 protected:
  void SetUp() override {
    ExprTest::SetUp();
    OpenStaff();
  }
  void TearDown() override {
    DateStyle = 0;
    CenturyOn = false;
    ExprTest::TearDown();
  }
};

struct Shaped {
  const char* text;
  const char* value;
  int width;
  int decimals;
};

void CheckShapes(test::ExprTest& t, std::initializer_list<Shaped> rows,
                 const std::function<std::string(const std::string&)>& eval) {
  for (const Shaped& r : rows) {
    SCOPED_TRACE(r.text);
    EXPECT_EQ(eval(r.text), r.value);
    QuietErrors quiet;
    Expr e = Expr::Compile(r.text);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->result_width, r.width);
    EXPECT_EQ(e->result_decimals, r.decimals);
  }
}

// Record 1 of STAFF: NAME "ABC", PAY 12.50 (N 8 2), BORN 1970-01-31, OK .T., AGE 53 (N 3).
TEST_F(FunctionsTest, EveryFunctionGivesItsValueTypeWidthAndDecimals) {
  CheckShapes(*this,
              {
                  // The original set, with the widths a key built from them gets.
                  {"LEFT(NAME, 2)", "C:AB", 2, 0},
                  {"LEFT(NAME, 25)", "C:ABC       ", 10, 0},
                  {"RIGHT(NAME, 3)", "C:   ", 3, 0},
                  {"SUBSTR('ABC', 3, 1)", "C:C", 1, 0},  // not empty
                  {"SUBSTR(NAME, 9, 5)", "C:  ", 2, 0},
                  {"STR(AGE, 11, 0)", "C:         53", 11, 0},
                  {"STR(PAY)", "C:        13", 10, 0},
                  {"STR(AGE,5)+STR(AGE,6,1)", "C:   53  53.0", 11, 0},
                  {"TRIM(NAME) + 'X'", "C:ABCX", 0, 0},  // as long as its value
                  {"UPPER(TRIM(NAME))", "C:ABC", 10, 0},
                  {"UPPER(LTRIM(TRIM(NAME)))", "C:ABC", 10, 0},
                  {"SPACE(3)", "C:   ", 3, 0},
                  {"REPLICATE('AB', 3)", "C:ABABAB", 6, 0},
                  {"LEN(REPLICATE('AB', AGE))", "N:106", 13, 2},
                  {"DTOC(BORN)", "C:01/31/70", 8, 0},
                  {"CHR(65)", "C:A", 1, 0},
                  {"SOUNDEX(NAME)", "C:A120", 4, 0},
                  {"CDOW(BORN)", "C:Saturday ", 9, 0},
                  {"VAL('1E-5') * 100000 = 1", "L:T", 1, 0},
                  {"STR(VAL('1E-5'), 10, 5)", "C:   0.00001", 10, 0},
                  {"VAL('2.5E2')", "N:250", 13, 2},
                  // IIF of every type, as wide as the wider result.
                  {"IIF(OK, 1, 2)", "N:1", 10, 0},
                  {"IIF(OK, PAY, AGE)", "N:12.5", 8, 2},
                  {"IIF(.NOT. OK, 'AB', 'CDE')", "C:CDE", 3, 0},
                  {"IIF(OK, BORN, BORN + 1)", "D:19700131", 8, 0},
                  {"IIF(OK, .F., .T.)", "L:F", 1, 0},
                  {"IIF(OK, NAME, 'X') + '|'", "C:ABC       |", 11, 0},
                  {"IIF(.NOT. OK, NAME, 'X') + '|'", "C:X|", 11, 0},
                  {"'<' + IIF(OK, 'Y', SPACE(AGE)) + NAME", "C:<YABC       ", 0, 0},
                  {"BETWEEN(NAME, 'A', 'B') .AND. NAME = 'ABC'", "L:T", 1, 0},
                  {"INLIST(NAME, 'X', 'AB') .AND. EMPTY(SPACE(3))", "L:T", 1, 0},
                  // Functions other dBASE programs put in keys and conditions.
                  {"ALLTRIM('  A B  ')", "C:A B", 7, 0},
                  {"ALLTRIM(NAME) + '|'", "C:ABC|", 0, 0},
                  {"EMPTY('   ')", "L:T", 1, 0},
                  {"EMPTY(NAME)", "L:F", 1, 0},
                  {"EMPTY(0)", "L:T", 1, 0},
                  {"EMPTY(CTOD(''))", "L:T", 1, 0},
                  {"EMPTY(BORN)", "L:F", 1, 0},
                  {"EMPTY(.F.)", "L:T", 1, 0},
                  {"STOD('19991225')", "D:19991225", 8, 0},
                  {"STOD('19990230')", "D:        ", 8, 0},
                  {"STOD('')", "D:        ", 8, 0},
                  {"LEN(TIME())", "N:8", 13, 2},
                  {"STRZERO(AGE, 5)", "C:00053", 5, 0},
                  {"STRZERO(-5, 4)", "C:-005", 4, 0},
                  {"STRZERO(2.5, 3)", "C:003", 3, 0},
                  {"STRZERO(1.5, 5, 1)", "C:001.5", 5, 0},
                  {"STRZERO(12345, 3)", "C:***", 3, 0},
                  {"STRZERO(7)", "C:0000000007", 10, 0},
                  {"PADL('AB', 4)", "C:  AB", 4, 0},
                  {"PADR('AB', 4, '*')", "C:AB**", 4, 0},
                  {"PADC('AB', 5)", "C: AB  ", 5, 0},
                  {"PADL('ABCDEF', 3)", "C:ABC", 3, 0},
                  {"PADR(NAME, 0)", "C:", 0, 0},
                  {"BETWEEN(AGE, 50, 60)", "L:T", 1, 0},
                  {"BETWEEN(AGE, 54, 60)", "L:F", 1, 0},
                  {"BETWEEN('B', 'A', 'C')", "L:T", 1, 0},
                  {"BETWEEN(BORN, BORN, BORN)", "L:T", 1, 0},
                  {"INLIST(AGE, 1, 53, 3)", "L:T", 1, 0},
                  {"INLIST(AGE, 1, 2)", "L:F", 1, 0},
                  {"INLIST(TRIM(NAME), 'XY', 'ABC')", "L:T", 1, 0},
                  {"INLIST(OK, .F.)", "L:F", 1, 0},
                  {"SQRT(16)", "N:4", 13, 2},
                  {"SQRT(-1)", "N:0", 13, 2},
                  {"EXP(0)", "N:1", 13, 2},
                  {"LOG(1)", "N:0", 13, 2},
                  {"LOG(0)", "N:0", 13, 2},
                  {"LOG10(1000)", "N:3", 13, 2},
                  {"FLOOR(-2.5)", "N:-3", 10, 0},
                  {"FLOOR(PAY)", "N:12", 8, 0},
                  {"CEILING(2.1)", "N:3", 10, 0},
                  {"CEILING(-2.1)", "N:-2", 10, 0},
                  {"SIGN(-4)", "N:-1", 2, 0},
                  {"SIGN(0)", "N:0", 2, 0},
                  {"ISALPHA('a1')", "L:T", 1, 0},
                  {"ISALPHA('1a')", "L:F", 1, 0},
                  {"ISALPHA('')", "L:F", 1, 0},
                  {"ISDIGIT('1a')", "L:T", 1, 0},
                  {"ISUPPER('Ab')", "L:T", 1, 0},
                  {"ISUPPER('1')", "L:F", 1, 0},
                  {"ISLOWER('Ab')", "L:F", 1, 0},
                  {"ISLOWER('ab')", "L:T", 1, 0},
                  {"LIKE('A*', 'ABC')", "L:T", 1, 0},
                  {"LIKE('A?C', 'ABC')", "L:T", 1, 0},
                  {"LIKE('a*', 'ABC')", "L:F", 1, 0},
                  {"LIKE('*B*', 'ABC')", "L:T", 1, 0},
                  {"LIKE('*', '')", "L:T", 1, 0},
                  {"LIKE('A?', 'ABC')", "L:F", 1, 0},
                  {"RECCOUNT()", "N:3", 10, 0},
                  {"TRANSFORM(1234.5, '99,999.99')", "C: 1,234.50", 0, 0},
                  {"TRANSFORM(12, '99,999')", "C:    12", 0, 0},
                  {"TRANSFORM(-12, '9999')", "C: -12", 0, 0},
                  {"TRANSFORM(123456, '999')", "C:***", 0, 0},
                  {"TRANSFORM(-5, '@( 999')", "C:(  5)", 0, 0},
                  {"TRANSFORM(0, '@Z 99')", "C:  ", 0, 0},
                  {"TRANSFORM(5, '@L 999')", "C:005", 0, 0},
                  {"TRANSFORM(5, '@C 9')", "C:5 CR", 0, 0},
                  {"TRANSFORM(PAY, '@$ 9999.99')", "C: $12.50", 0, 0},
                  {"TRANSFORM('abc', '@!')", "C:ABC", 0, 0},
                  {"TRANSFORM('abc', '!X-X')", "C:Ab-c", 0, 0},
                  {"TRANSFORM(BORN, '@E')", "C:31/01/70", 0, 0},
                  {"TRANSFORM(OK, 'Y')", "C:Y", 0, 0},
                  {"TRANSFORM(PAY, '')", "C:12.5", 0, 0},
              },
              [this](const std::string& text) { return Eval(text); });
}

// 25 December 1999 (a Saturday) in all nine date styles, with and without the century: the
// parts are the date's own, not the digits of its text.
TEST_F(FunctionsTest, DatePartsInEveryDateStyle) {
  const char* const kSaturday[] = {"Saturday ", "Saturday ", "Saturday ",
                                   "Sabato   ", "Samedi  ",  "Samstag   ",
                                   "Sabado   ", "Samedi  ",  "\x91\xe3\xa1\xa1\xae\xe2\xa0    "};
  const char* const kDecember[] = {"December ",
                                   "December ",
                                   "December ",
                                   "Dicembre ",
                                   "D\x82"
                                   "cembre ",
                                   "Dezember ",
                                   "Diciembre ",
                                   "D\x82"
                                   "cembre ",
                                   "\x84\xa5\xaa\xa0\xa1\xe0\xec "};
  for (int style = 0; style <= 8; ++style) {
    for (bool century : {false, true}) {
      SCOPED_TRACE(std::to_string(style) + (century ? " century" : ""));
      DateStyle = style;
      CenturyOn = century;
      EXPECT_EQ(Eval("DAY(STOD('19991225'))"), "N:25");
      EXPECT_EQ(Eval("MONTH(STOD('19991225'))"), "N:12");
      EXPECT_EQ(Eval("YEAR(STOD('19991225'))"), "N:1999");
      EXPECT_EQ(Eval("YEAR(STOD('19991225')) > 1990"), "L:T");
      EXPECT_EQ(Eval("DOW(STOD('19991225'))"), "N:7");
      EXPECT_EQ(Eval("CDOW(STOD('19991225'))"), std::string("C:") + kSaturday[style]);
      EXPECT_EQ(Eval("CMONTH(STOD('19991225'))"), std::string("C:") + kDecember[style]);
      // 1 January 1850 was a Tuesday, whatever century a two-digit year would be read in.
      EXPECT_EQ(Eval("DOW(STOD('18500101'))"), "N:3");
      EXPECT_EQ(Eval("CDOW(STOD('18500101')) = CDOW(STOD('18500101') + 7)"), "L:T");
      EXPECT_EQ(Eval("DOW(STOD('18500101')) = DOW(STOD('20240102'))"), "L:T");
      EXPECT_EQ(Eval("DAY(CTOD(''))"), "N:0");
      // CTOD reads what DTOC wrote, in every style.
      EXPECT_EQ(Eval("DTOS(CTOD(DTOC(STOD('19991225'))))"), "C:19991225");
    }
  }
  DateStyle = 5;
  EXPECT_EQ(Eval("DTOS(CTOD('25.12.1999'))"), "C:19991225");
  EXPECT_EQ(Eval("DTOS({25.12.99})"), "C:19991225");
  DateStyle = 1;
  EXPECT_EQ(Eval("DTOS({99.12.25})"), "C:19991225");
}

// Halves go away from zero on the decimal value the double stands for; a double is read as its
// 15 significant digits first, so 2.675 (stored as 2.67499999...) is a half.
TEST_F(FunctionsTest, RoundAndStrRoundHalvesAwayFromZero) {
  const test::Case cases[] = {
      {"ROUND(2.5, 0)", "N:3"},
      {"ROUND(-2.5, 0)", "N:-3"},
      {"ROUND(2.4999, 0)", "N:2"},
      {"ROUND(6851.88, 0)", "N:6852"},
      {"ROUND(2.675, 2)", "N:2.68"},
      {"ROUND(1.005, 2)", "N:1.01"},
      {"ROUND(2.567, 2)", "N:2.57"},
      {"ROUND(-2.567, 1)", "N:-2.6"},
      {"ROUND(0.125, 2)", "N:0.13"},
      {"ROUND(9.995, 2)", "N:10"},
      {"ROUND(1234.5, -1)", "N:1230"},
      {"ROUND(1235, -1)", "N:1240"},
      {"ROUND(0.0000001, 2)", "N:0"},
      {"ROUND(7.9, -1)", "N:10"},
      {"ROUND(1.25, 1E9)", "N:1.25"},
      {"ROUND(1.005 * 1000, 0)", "N:1005"},
      {"STR(2.5)", "C:         3"},
      {"STR(-2.5)", "C:        -3"},
      {"STR(0.125, 6, 2)", "C:  0.13"},
      {"STR(2.675, 5, 2)", "C: 2.68"},
      {"STR(-0.001, 5, 2)", "C: 0.00"},
      {"STR(0.5, 1)", "C:1"},
      {"STR(9.5, 1)", "C:*"},
      {"STR(1E15 + 1, 16)", "C:1000000000000001"},
      {"STR(3.7)", "C:         4"},
      {"STR(1.005 * 1000, 10, 0)", "C:      1005"},
      // Whole exponents give exact powers.
      {"2 ^ 3 = 8", "L:T"},
      {"INT(2 ** 3)", "N:8"},
      {"INT(10 ^ 2)", "N:100"},
      {"2 ^ -1", "N:0.5"},
      {"INT(1.1 ^ 2 * 100)", "N:121"},
  };
  for (const test::Case& c : cases) EXPECT_EQ(Eval(c.text), c.expected) << c.text;
}

TEST_F(FunctionsTest, DateLiteralsAndExclamationMark) {
  const test::Case cases[] = {
      {"{01/31/70} = BORN", "L:T"},
      {"{^1970-01-31} = BORN", "L:T"},
      {"{^1970/1/31} = BORN", "L:T"},
      {"DTOS({})", "C:        "},
      {"DTOS({  /  /  })", "C:        "},
      {"{12/25/99} - {12/24/99}", "N:1"},
      {"YEAR({^2024-02-29})", "N:2024"},
      {"!OK", "L:F"},
      {"!(1 > 2)", "L:T"},
      {"1 != 2", "L:T"},
      {"!OK .OR. AGE > 50", "L:T"},
      {"{^1970-02-30}", "351"},
  };
  for (const test::Case& c : cases) EXPECT_EQ(Eval(c.text), c.expected) << c.text;
}

}  // namespace
}  // namespace vx
