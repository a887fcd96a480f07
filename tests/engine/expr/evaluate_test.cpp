// Values of every operator and function family, evaluated against a small staff table.

#include "engine/expr/functions.h"
#include "engine/workarea/hooks.h"
#include "tests/engine/expr/expr_test_support.h"

namespace vx {
namespace {

using test::Case;

class EvaluateTest : public test::ExprTest {
 protected:
  void SetUp() override {
    ExprTest::SetUp();
    OpenStaff();
  }
  void Check(std::initializer_list<Case> cases) {
    for (const Case& c : cases) EXPECT_EQ(Eval(c.text), c.expected) << c.text;
  }
};

TEST_F(EvaluateTest, Arithmetic) {
  Check({
      {"1 + 2", "N:3"},        {"PAY * 2", "N:25"},   {"7 / 2", "N:3.5"},     {"2 ^ 10", "N:1024"},
      {"2 ** 3 ** 2", "N:64"}, {"-2 ^ 2", "N:4"},     {"1 - -1", "N:2"},      {"-(3)", "N:-3"},
      {"+3", "N:3"},           {"1 + 2 * 3", "N:7"},  {"(1 + 2) * 3", "N:9"}, {"10 - 2 - 3", "N:5"},
      {"0 ^ 2", "N:0"},        {"-8 ^ (1/3)", "N:0"}, {"0 ^ -1", "N:0"},      {"-8 ^ 2", "N:64"},
      {"1E3 + .5E1", "351"},   {"1E3", "N:1000"},     {"1.5.5", "351"},       {"AGE - 3", "N:50"},
  });
}

TEST_F(EvaluateTest, DateArithmetic) {
  Check({
      {"BORN + 1", "D:19700201"},
      {"1 + BORN", "D:19700201"},
      {"BORN - 1", "D:19700130"},
      {"CTOD('02/10/70') - BORN", "N:10"},
      {"DATE() + 1 - DATE()", "N:1"},
      {"BORN < CTOD('13/45/70')", "L:T"},  // the blank date sorts after every date
      {"MAX(BORN, BORN + 1)", "D:19700201"},
      {"MIN(BORN, CTOD(''))", "D:19700131"},
  });
}

TEST_F(EvaluateTest, StringOperators) {
  Check({
      {"'AB  ' + 'CD'", "C:AB  CD"},
      {"'AB  ' - 'CD'", "C:ABCD  "},
      {"'   ' - 'CD'", "C:CD   "},
      {"'' - ''", "C:"},
      {"NAME + '|'", "C:ABC       |"},
      {"TRIM(NAME) - '|'", "C:ABC|"},
  });
}

TEST_F(EvaluateTest, StringComparisons) {
  Check({
      {"'ABCD' = 'AB'", "L:T"},
      {"'AB' = 'ABCD'", "L:F"},
      {"'AB' = ''", "L:F"},
      {"NAME = 'ABC'", "L:T"},
      {"NAME == 'ABC'", "L:F"},
      {"'ABC' == 'ABC'", "L:T"},
      {"'ABCD' <> 'AB'", "L:T"},
      {"'ABC' # 'ABC'", "L:F"},
      {"'' $ 'ABC'", "L:F"},
      {"'B' $ 'ABC'", "L:T"},
      {"'ABC' $ 'B'", "L:F"},
      {"'AB' < 'ABC'", "L:T"},
      {"'b' > 'B'", "L:T"},
      {"'AB ' > 'AB'", "L:T"},
      {"'AB' <= 'AB'", "L:T"},
      {"'AC' >= 'AB'", "L:T"},
      {"CHR(200) > 'Z'", "L:T"},
      {"'AB' >= 'ABC'", "L:F"},
  });
}

TEST_F(EvaluateTest, NumberDateAndLogicalComparisons) {
  Check({
      {"1 < 2", "L:T"},
      {"2 <= 1", "L:F"},
      {"2 >= 2", "L:T"},
      {"3 <> 3", "L:F"},
      {"3 = 3", "L:T"},
      {"3 > 2", "L:T"},
      {"BORN = BORN", "L:T"},
      {"BORN <> BORN + 1", "L:T"},
      {"BORN >= BORN", "L:T"},
      {".T. = .T.", "L:T"},
      {".T. <> .F.", "L:T"},
      {".T. .AND. .F.", "L:F"},
      {".F. .OR. .T.", "L:T"},
      {".NOT. .F.", "L:T"},
      {"OK", "L:T"},
      {".NOT. .F. = .F.", "L:F"},
      {"1 = 1 .AND. 2 = 2", "L:T"},
      {"(OK).AND.(OK)", "L:T"},
      {"1 = 1 = .T.", "L:T"},
      {"OK = 1 < 2", "L:T"},
  });
}

// Every spelling of the logical constants and operators, in either case, with or without the
// blanks around them (tag headers keep expressions with their blanks dropped).
TEST_F(EvaluateTest, DottedWordsInEverySpellingAndWithoutBlanks) {
  Check({
      {".TRUE.", "L:T"},
      {".false.", "L:F"},
      {".Y.", "L:T"},
      {".n.", "L:F"},
      {".t.", "L:T"},
      {".True. = .Y.", "L:T"},
      {".NOT.DELETED()", "L:T"},
      {".not.OK", "L:F"},
      {"OK.AND.OK", "L:T"},
      {"OK.OR..F.", "L:T"},
      {"AGE>50.AND.OK", "L:T"},
      {"AGE>5.5.AND.OK", "L:T"},
      {"NAME='ABC'.AND..NOT.DELETED()", "L:T"},
      {".NOT..FALSE.", "L:T"},
      {"1.5", "N:1.5"},
      {"2.E1", "N:20"},
      {"'.T.'", "C:.T."},
      {".TRUE", "351"},
      {".X.", "351"},
      {"OK.X", "351"},
      {".T..T.", "351"},
      {"OK .ANDOK", "351"},
  });
}

TEST_F(EvaluateTest, NumericFunctions) {
  Check({
      {"ABS(-2.5)", "N:2.5"},         {"INT(-2.7)", "N:-2"},      {"INT(2.7)", "N:2"},
      {"MOD(-7, 3)", "N:-1"},         {"MOD(7, -3)", "N:1"},      {"MOD(7, 0)", "N:0"},
      {"MOD(7.9, 3.9)", "N:1"},       {"MAX(1, 2)", "N:2"},       {"MIN(1, 2)", "N:1"},
      {"ROUND(1.25, 1E9)", "N:1.25"}, {"RECNO()", "N:1"},         {"DELETED()", "L:F"},
      {"ASC('A')", "N:65"},           {"ASC('')", "N:0"},         {"ASC(CHR(200))", "N:200"},
      {"AT('B', 'ABC')", "N:2"},      {"AT('', 'ABC')", "N:0"},   {"AT('X', 'ABC')", "N:0"},
      {"LEN(NAME)", "N:10"},          {"LEN('')", "N:0"},         {"VAL('  12.5xyz')", "N:12.5"},
      {"VAL('abc')", "N:0"},          {"VAL('-1E3')", "N:-1000"}, {"VAL('12  ')", "N:12"},
      {"VAL('1E999')", "N:inf"},
  });
}

TEST_F(EvaluateTest, StringFunctions) {
  Check({
      {"CHR(65)", "C:A"},
      {"CHR(0)", "C:"},
      {"CHR(321)", "C:A"},
      {"LEFT('ABC', 0)", "C:"},
      {"LEFT('ABC', 5)", "C:ABC"},
      {"LEFT('ABC', 2)", "C:AB"},
      {"LEFT('ABC', -1)", "C:"},
      {"RIGHT('ABC', 0)", "C:"},
      {"RIGHT('ABC', -1)", "C:ABC"},
      {"RIGHT('ABC', 2)", "C:BC"},
      {"LOWER('AbC')", "C:abc"},
      {"UPPER('aBc')", "C:ABC"},
      {"LTRIM('  A ')", "C:A "},
      {"RTRIM(' A  ')", "C: A"},
      {"TRIM(' A  ')", "C: A"},
      {"REPLICATE('AB', 3)", "C:ABABAB"},
      {"REPLICATE('AB', 0)", "C:"},
      {"SPACE(3)", "C:   "},
      {"SPACE(-1)", "C:"},
      {"LEN(REPLICATE('ABC', 100))", "N:255"},
      {"LEN(SPACE(1E9))", "N:255"},
      {"IIF(OK, 'Y', 'N')", "C:Y"},
      {"IIF(1 = 2, 'Y', 'N')", "C:N"},
      {"SUBSTR('ABCDE', 2, 3)", "C:BCD"},
      {"SUBSTR('ABC', 0, 2)", "C:AB"},
      {"SUBSTR('ABC', 5, 1)", "C:"},
      {"SUBSTR('ABC', 2, 0)", "C:"},
      {"SUBSTR('ABC', 2, 9)", "C:BC"},
      {"STUFF('ABCDE', 2, 2, 'xy')", "C:AxyDE"},
      {"STUFF('ABC', 0, 1, 'x')", "C:xABC"},
      {"STUFF('ABC', 9, 1, 'x')", "C:ABCx"},
      {"STUFF('ABC', 2, 9, '')", "C:A"},
      {"UPPER(LEFT(NAME, 2)) + LOWER(RIGHT(NAME, 8))", "C:ABc       "},
  });
}

TEST_F(EvaluateTest, StrAndSoundex) {
  Check({
      {"STR(3.7)", "C:         4"},
      {"STR(-1.5, 4, 1)", "C:-1.5"},
      {"STR(100, 2)", "C:**"},
      {"STR(1234.5, 3)", "C:***"},
      {"STR(1, 0)", "C:"},
      {"STR(PAY, 8, 2)", "C:   12.50"},
      {"STR(2.5, 5, 3)", "C:2.500"},
      {"LEN(STR(1, 1E6))", "N:255"},
      {"SOUNDEX('Robert')", "C:R163"},
      {"SOUNDEX('Tymczak')", "C:T522"},
      {"SOUNDEX('Pfister')", "C:P236"},
      {"SOUNDEX('1ABC')", "C:1120"},
      {"SOUNDEX('')", "C:0000"},
      {"SOUNDEX('Ashcraft')", "C:A226"},
  });
}

TEST_F(EvaluateTest, DateFunctions) {
  Check({
      {"DTOS(BORN)", "C:19700131"},
      {"DTOS(CTOD('x'))", "C:        "},
      {"DTOC(BORN)", "C:01/31/70"},
      {"DAY(BORN)", "N:31"},
      {"MONTH(BORN)", "N:1"},
      {"YEAR(BORN)", "N:1970"},
      {"DOW(BORN)", "N:7"},
      {"DOW(CTOD(''))", "N:0"},
      {"DAY(CTOD(''))", "N:0"},
      {"CDOW(BORN)", "C:Saturday "},
      {"CMONTH(BORN)", "C:January  "},
      {"CTOD('01/31/70') = BORN", "L:T"},
      {"LEN(CDOW(CTOD('')))", "N:10"},
      {"LEN(CMONTH(CTOD('')))", "N:9"},
      // 1 January 1900 was a Monday, though its two-digit year reads as 2000 here.
      {"DOW(CTOD('01/01/00') - 36524)", "N:2"},
      {"YEAR(CTOD('01/01/00') - 36524)", "N:1900"},
      {"CDOW(CTOD('01/01/00') - 36524)", "C:Monday   "},
  });
  CenturyOn = true;
  Check({{"YEAR(BORN)", "N:1970"}, {"DTOC(BORN)", "C:01/31/1970"}});
}

TEST_F(EvaluateTest, DivisionByZeroGivesTheLargeQuotientWhenNotRaised) {
  EXPECT_EQ(Eval("5 / 0"), "N:1e+250");
  Expr e = Expr::Compile("5 / 0");
  try {
    e.Evaluate();
    FAIL() << "no exception";
  } catch (const EVexelError& error) {
    EXPECT_NE(std::string(error.what()).find("Divide by 0 [Evaluate/Engine]"), std::string::npos);
  }
  EXPECT_EQ(EngineErrorCode, 358);
}

TEST_F(EvaluateTest, FieldsFollowTheCurrentRecordAndArea) {
  Expr name = Expr::Compile("NAME");
  Expr aliased = Expr::Compile("STAFF->AGE + RECNO()");
  GO(3);
  EXPECT_EQ(test::Rendered(name.get()), "C:Carol     ");
  EXPECT_EQ(Eval("OK"), "L:T");  // "Y" is true
  EXPECT_EQ(Eval("PAY"), "N:-3000");
  EXPECT_EQ(Eval("YEAR(BORN) + DAY(BORN)"), "N:2029");
  GO(2);
  EXPECT_EQ(Eval("DELETED()"), "L:T");
  EXPECT_EQ(Eval("DTOS(BORN)"), "C:        ");
  Select(2);  // another, empty area: the aliased field still reads STAFF; RECNO() reads area 2
  EXPECT_EQ(test::Rendered(aliased.get()), "N:7");
  EXPECT_EQ(test::Rendered(name.get()), "C:");  // no table here: a blank value
  Select(1);
  CloseArea();
  EXPECT_EQ(test::Rendered(aliased.get()), "N:0");
}

TEST_F(EvaluateTest, AliasedCharacterFieldsReadTheirAreasRecordInFull) {
  // The aliased C field pushes the field's whole text, whichever area is selected, alone and
  // as an operand of the in-place string functions.
  GO(3);
  Select(2);
  EXPECT_EQ(Eval("STAFF->NAME"), "C:Carol     ");
  EXPECT_EQ(Eval("LEN(STAFF->NAME)"), "N:10");
  EXPECT_EQ(Eval("UPPER(STAFF->NAME) + '|'"), "C:CAROL     |");
  EXPECT_EQ(Eval("TRIM(STAFF->NAME) + STAFF->NAME"), "C:CarolCarol     ");
  EXPECT_EQ(Eval("STAFF->NAME = 'Car'"), "L:T");
  Select(1);
  GO(1);
  Select(2);
  EXPECT_EQ(Eval("LEFT(STAFF->NAME, 3)"), "C:ABC");
}

TEST_F(EvaluateTest, FetchFieldValueReadsOneFieldOfAnArea) {
  FieldValueBuffer buffer;
  EXPECT_STREQ(static_cast<const char*>(FetchFieldValue(1, buffer, 33)), "ABC       ");
  EXPECT_EQ(*static_cast<const double*>(FetchFieldValue(2, buffer, 1)), 12.5);
  EXPECT_EQ(*static_cast<const double*>(FetchFieldValue(3, buffer, 1)),
            StoredToDayNumber("19700131"));
  EXPECT_EQ(*static_cast<const std::int32_t*>(FetchFieldValue(4, buffer, 1)), 1);
  EXPECT_EQ(FetchFieldValue(6, buffer, 1), nullptr);
  EXPECT_EQ(FetchFieldValue(1, buffer, 5), nullptr);
}

TEST_F(EvaluateTest, EmptyTableReadsAsBlank) {
  test::WriteBytes(dir_.File("empty.dbf"), test::DbfBuilder(0x03)
                                               .Field("NAME", 'C', 4)
                                               .Field("N", 'N', 5)
                                               .Field("D", 'D', 8)
                                               .Field("L", 'L', 1)
                                               .Build());
  Select(2);
  Use(dir_.File("empty.dbf"));
  Check({{"NAME + '|'", "C:    |"}, {"N", "N:0"}, {"DTOS(D)", "C:        "}, {"L", "L:F"}});
}

// A memo reader standing in for the memo storage.
bool FakeMemo(TableRecord&, std::int32_t block, std::string& text) {
  text = block == 7 ? "Line one\r\nLine two\r\n" : "";
  return true;
}

TEST_F(EvaluateTest, MemoValuesComeThroughTheReaderHookUpToThePoolSize) {
  test::WriteBytes(dir_.File("notes.dbf"),
                   test::DbfBuilder(0x03).Field("NOTES", 'M', 10).Record("          7").Build());
  Select(2);
  Use(dir_.File("notes.dbf"));
  EXPECT_EQ(Eval("NOTES"), "M:");  // no memo storage linked in: empty
  MemoHooks->present = true;
  MemoHooks->AssignMemo = FakeMemo;
  EXPECT_EQ(Eval("(NOTES)"), "M:Line oneLine two");
  SetMemoPoolSize(5);
  EXPECT_EQ(Eval("NOTES"), "M:Line");
  SetMemoPoolSize(0);
  EXPECT_EQ(Eval("NOTES"), "M:");
  SetMemoPoolSize(256);
  EXPECT_EQ(Eval("UPPER(NOTES)"), "351");
  MemoHooks = MemoHookTable{};
}

TEST_F(EvaluateTest, StringsLongerThanThePoolStopWithAnOverflow) {
  // IIF reserves 256 bytes; concatenating two of its results still fits, as every string is
  // cut to 255 characters; a pool exhausted by nested results reports 354.
  EXPECT_EQ(Eval("LEN(IIF(OK, SPACE(200), '') + IIF(OK, SPACE(200), ''))"), "N:255");
  EXPECT_EQ(Eval("LEN(NAME + NAME + NAME)"), "N:30");
}

// Inputs the fuzzer found faults with (empty strings handed on as null data).
TEST_F(EvaluateTest, FuzzerFindings) {
  Check({
      {"SUBSTR(NAME, 2, 3) $ 'ABCDE'", "L:F"},
      {"SUBSTR('', 1, 1) + ''", "C:"},
  });
}

// The constant-time date conversions agree with the calendar routines on every day.
TEST(FastDates, AgreeWithTheCalendarRoutines) {
  for (double d = kFirstDayNumber - 2; d <= kLastDayNumber + 2; d += 1) {
    YearMonthDay slow;
    YearMonthDay fast;
    const bool has_slow = SplitDayNumber(d, slow);
    ASSERT_EQ(expr::FastSplitDayNumber(d, fast), has_slow) << d;
    if (!has_slow) continue;
    ASSERT_TRUE(fast.year == slow.year && fast.month == slow.month && fast.day == slow.day) << d;
    ASSERT_EQ(expr::FastStoredToDayNumber(DayNumberToStored(d)), d);
  }
  for (const char* text : {"20000229", "19000229", "00010101", "99991231", "2024 1 5", "20241301",
                           "        ", "2024013", "abcdefgh", "00000000", "20230229", "20240229",
                           "21000229", "20240431", "20241231", "00001231"}) {
    const double slow = StoredToDayNumber(text);
    EXPECT_EQ(expr::FastStoredToDayNumber(text), slow) << text;
  }
}

}  // namespace
}  // namespace vx
