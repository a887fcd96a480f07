// The run-time helpers: date serials and day numbers against a calendar computed elsewhere,
// date text in each field order, number text, string lists and memory streams.

#include "platform/dataset/sys_utils.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "platform/dataset/streams.h"
#include "platform/dataset/strings.h"

namespace vx {
namespace {

template <typename F>
std::string ErrorOf(F&& action) {
  try {
    action();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "no error";
}

class SysUtilsTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetFormatSettings(); }
  void TearDown() override { ResetFormatSettings(); }
};

TEST_F(SysUtilsTest, DatesMapToSerialsAndDayNumbers) {
  // Day numbers are proleptic Gregorian ordinals (1 January 0001 = 1).
  const struct {
    int y, m, d;
    double serial;
    int day_number;
  } kCases[] = {
      {1899, 12, 30, 0, 693594},        {1900, 1, 1, 2, 693596},       {2000, 1, 1, 36526, 730120},
      {2024, 2, 29, 45351, 738945},     {1600, 3, 1, -109511, 584083}, {1, 1, 1, -693593, 1},
      {9999, 12, 31, 2958465, 3652059},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.y * 10000 + c.m * 100 + c.d);
    const TDateTime date = EncodeDate(c.y, c.m, c.d);
    EXPECT_EQ(date, c.serial);
    EXPECT_EQ(DateTimeToTimeStamp(date).Date, c.day_number);
    int y = 0, m = 0, d = 0;
    DecodeDate(date, y, m, d);
    EXPECT_EQ(y * 10000 + m * 100 + d, c.y * 10000 + c.m * 100 + c.d);
  }
  EXPECT_EQ(ErrorOf([] { EncodeDate(2023, 2, 29); }), "Invalid argument to date encode");
  EXPECT_EQ(ErrorOf([] { EncodeDate(1900, 2, 29); }), "Invalid argument to date encode");
  EXPECT_EQ(ErrorOf([] { EncodeDate(0, 1, 1); }), "Invalid argument to date encode");
}

TEST_F(SysUtilsTest, TimeStampsSplitDaysAndMilliseconds) {
  TTimeStamp noon = DateTimeToTimeStamp(36526.5);
  EXPECT_EQ(noon.Date, 730120);
  EXPECT_EQ(noon.Time, 43200000);
  // Before 30 December 1899 the fraction still counts from midnight: -1.25 is 29 December, 6:00.
  TTimeStamp early = DateTimeToTimeStamp(-1.25);
  EXPECT_EQ(early.Date, 693593);
  EXPECT_EQ(early.Time, 21600000);
  EXPECT_EQ(TimeStampToDateTime(early), -1.25);
  EXPECT_EQ(TimeStampToMSecs(noon), 730120.0 * 86400000 + 43200000);
  EXPECT_EQ(TimeStampToDateTime(MSecsToTimeStamp(TimeStampToMSecs(noon))), 36526.5);
  int h = 0, n = 0, s = 0, ms = 0;
  DecodeTime(EncodeTime(23, 59, 58, 999), h, n, s, ms);
  EXPECT_EQ(h * 10000000 + n * 100000 + s * 1000 + ms, 235958999);
  EXPECT_EQ(ErrorOf([] { EncodeTime(24, 0, 0, 0); }), "Invalid argument to time encode");
  EXPECT_EQ(ErrorOf([] { DateTimeToTimeStamp(std::numeric_limits<double>::quiet_NaN()); }),
            "Invalid date/time value");
  EXPECT_EQ(ErrorOf([] { DateTimeToTimeStamp(-693594.0); }), "Invalid date/time value");
}

TEST_F(SysUtilsTest, DateTextFollowsTheShortDateFormat) {
  const struct {
    const char* format;
    char separator;
    const char* text;
  } kCases[] = {
      {"mm/dd/yyyy", '/', "03/07/2024"},
      {"dd/mm/yyyy", '.', "07.03.2024"},
      {"yyyy-mm-dd", '-', "2024-03-07"},
      {"d/m/yy", '/', "7/3/24"},
  };
  const TDateTime date = EncodeDate(2024, 3, 7);
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.format);
    FormatSettings().ShortDateFormat = c.format;
    FormatSettings().DateSeparator = c.separator;
    EXPECT_EQ(DateToStr(date), c.text);
    FormatSettings().TwoDigitYearCenturyWindow = 0;
    EXPECT_EQ(StrToDate(c.text), date);
  }
  FormatSettings().ShortDateFormat = "dd/mm/yyyy";
  FormatSettings().DateSeparator = '.';
  EXPECT_EQ(ErrorOf([] { StrToDate("31.04.2024"); }), "'31.04.2024' is not a valid date");
  EXPECT_EQ(ErrorOf([] { StrToDate("07/03/2024"); }), "'07/03/2024' is not a valid date");
  EXPECT_EQ(ErrorOf([] { StrToDate("7.3.2024x"); }), "'7.3.2024x' is not a valid date");
  EXPECT_EQ(FormatDateTime("dd.mm.yyyy hh:nn:ss.zzz 'at' h", EncodeDate(2024, 3, 7) + 0.75),
            "07.03.2024 18:00:00.000 at 18");
  EXPECT_EQ(DateTimeToStr(EncodeDate(2024, 3, 7) + 0.5), "07.03.2024 12:00:00");
  EXPECT_EQ(StrToDateTime("07.03.2024 6:30 PM"), EncodeDate(2024, 3, 7) + EncodeTime(18, 30, 0, 0));
  EXPECT_EQ(StrToTime("12:00 AM"), 0.0);
}

TEST_F(SysUtilsTest, NumbersConvertWithTheDecimalSeparator) {
  const struct {
    double value;
    const char* text;
  } kCases[] = {{3.14, "3.14"}, {0.1 + 0.2, "0.3"}, {1e20, "1E20"},
                {-0.0, "0"},    {1.5e-7, "1.5E-7"}, {123456789012345678.0, "1.23456789012346E17"},
                {-2.5, "-2.5"}, {100, "100"}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(FloatToStr(c.value), c.text);
  }
  EXPECT_EQ(FloatToStrF(1234567.891, ffNumber, 15, 2), "1,234,567.89");
  EXPECT_EQ(FloatToStrF(-1234.5, ffCurrency, 15, 0), "-1,234.50");
  FormatSettings().DecimalSeparator = ',';
  FormatSettings().ThousandSeparator = '.';
  EXPECT_EQ(FloatToStrF(1234.5, ffNumber, 15, 1), "1.234,5");
  EXPECT_EQ(StrToFloat(" 2,5 "), 2.5);
  EXPECT_EQ(StrToFloat("1e3"), 1000.0);
  double value = 0;
  EXPECT_FALSE(TryStrToFloat("inf", value));
  EXPECT_FALSE(TryStrToFloat("0x10", value));
  EXPECT_FALSE(TryStrToFloat("1e", value));
  EXPECT_EQ(ErrorOf([] { StrToFloat("abc"); }), "'abc' is not a valid floating point value");

  EXPECT_EQ(StrToInt(" -12 "), -12);
  EXPECT_EQ(StrToInt("-2147483648"), INT32_MIN);
  EXPECT_EQ(ErrorOf([] { StrToInt("2147483648"); }), "'2147483648' is not a valid integer value");
  EXPECT_EQ(ErrorOf([] { StrToInt("+"); }), "'+' is not a valid integer value");
  EXPECT_EQ(Format("Field '%s' at %d, 100%%", {"NAME", "3"}), "Field 'NAME' at 3, 100%");
}

TEST_F(SysUtilsTest, StringListsSplitLinesAndReadValues) {
  TStringList list;
  int changes = 0;
  list.OnChange = [&](TObject*) { ++changes; };
  list.SetText("title, C, 20, 0\r\nyear, N, 4, 0\nplot, M, 10, 0\rlast\n");
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(list.Count(), 4);
  EXPECT_EQ(list[3], "last");
  EXPECT_EQ(list.Text(), "title, C, 20, 0\nyear, N, 4, 0\nplot, M, 10, 0\nlast\n");
  EXPECT_EQ(list.IndexOf("LAST"), 3);
  list.Delete(3);
  EXPECT_EQ(changes, 2);
  EXPECT_EQ(ErrorOf([&] { list.Delete(3); }), "List index out of bounds (3)");

  TStringList columns{"cvColumn=0", "cvWidthStr=64", "cvFieldNameStr=TITLE"};
  EXPECT_EQ(columns.Values("cvwidthstr"), "64");
  EXPECT_EQ(columns.Names(2), "cvFieldNameStr");
  EXPECT_EQ(columns.ValueFromIndex(2), "TITLE");
  columns.SetValues("cvWidthStr", "");
  EXPECT_EQ(columns.Count(), 2);
  columns.SetValues("cvColorStr", "clRed");
  EXPECT_EQ(columns[2], "cvColorStr=clRed");

  TStringList comma;
  comma.SetCommaText("a, \"b c\",\"say \"\"hi\"\"\",");
  EXPECT_EQ(comma.Count(), 4);
  EXPECT_EQ(comma[1], "b c");
  EXPECT_EQ(comma[2], "say \"hi\"");
  EXPECT_EQ(comma[3], "");
  EXPECT_EQ(comma.CommaText(), "a,\"b c\",\"say \"\"hi\"\"\",\"\"");

  TStringList copy;
  copy.Assign(columns);
  EXPECT_TRUE(copy.Equals(columns));
  copy.Exchange(0, 1);
  EXPECT_EQ(copy[0], "cvFieldNameStr=TITLE");
}

TEST_F(SysUtilsTest, MemoryStreamsGrowAndReportShortReads) {
  TMemoryStream stream;
  stream.Seek(4, soBeginning);
  stream.WriteBuffer("ab", 2);
  EXPECT_EQ(stream.Size(), 6);
  EXPECT_EQ(stream.Bytes()[0], std::byte{0});
  stream.SetPosition(0);
  char buffer[8] = {};
  EXPECT_EQ(stream.Read(buffer, 8), 6);
  EXPECT_EQ(std::string(buffer + 4, 2), "ab");
  stream.SetPosition(5);
  EXPECT_EQ(ErrorOf([&] { stream.ReadBuffer(buffer, 2); }), "Stream read error");
  stream.SetSize(2);
  EXPECT_EQ(stream.Position(), 2);

  TStringStream text("hello");
  TMemoryStream copy;
  EXPECT_EQ(copy.CopyFrom(text, 0), 5);
  copy.SetPosition(1);
  EXPECT_EQ(copy.ReadAllText(), "ello");
}

}  // namespace
}  // namespace vx
