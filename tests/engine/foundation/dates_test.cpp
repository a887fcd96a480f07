#include "engine/foundation/dates.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "engine/foundation/settings.h"
#include "engine/foundation/strings.h"
#include "platform/os/codepage.h"
#include "tests/engine/foundation/test_support.h"

namespace vx {
namespace {

// Julian day numbers from published tables.
constexpr double kJdn0001_01_01 = 1721426;
constexpr double kJdn2000_02_29 = 2451604;
constexpr double kJdn2024_03_07 = 2460377;
constexpr double kJdn9999_12_31 = 5373484;
const std::string kBlank8(8, ' ');

class DatesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DateStyle = 0;
    CenturyOn = false;
    CenturyBase = 1956;
  }
  testing::SettingsGuard guard_;
};

TEST_F(DatesTest, NumbersDaysAsJulianDays) {
  EXPECT_EQ(DayNumber(1, 1, 1), kJdn0001_01_01);
  EXPECT_EQ(DayNumber(2000, 2, 29), kJdn2000_02_29);
  EXPECT_EQ(DayNumber(2024, 3, 7), kJdn2024_03_07);
  EXPECT_EQ(DayNumber(9999, 12, 31), kJdn9999_12_31);
  EXPECT_EQ(DayNumber(1900, 2, 29), kBlankDate);
  EXPECT_EQ(DayNumber(2023, 4, 31), kBlankDate);
  EXPECT_EQ(DayNumber(2023, 13, 1), kBlankDate);
  EXPECT_EQ(DayNumber(2023, 1, 0), kBlankDate);
  // Year 0 would fall on the day numbers of year 1.
  EXPECT_EQ(DayNumber(0, 12, 31), kBlankDate);

  EXPECT_EQ(DayOfYear(-1, 1, 1), -1);
  EXPECT_EQ(DaysBeforeYear(0), 0);
  EXPECT_EQ(MonthDayOfYear(366, false).month, 0);
  EXPECT_EQ(MonthDayOfYear(0, true).month, 0);
}

// Walks every day from 1 January 1 to 31 December 9999 with a calendar counter of its own and
// checks that day numbers and dates map one to one in both directions.
TEST_F(DatesTest, SplitsEveryDayNumberBackIntoItsDate) {
  static const int kLength[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  int year = 1, month = 1, day = 1, mismatches = 0;
  for (double dn = kJdn0001_01_01; dn <= kJdn9999_12_31 && mismatches < 5; ++dn) {
    YearMonthDay split;
    if (!SplitDayNumber(dn, split) || split.year != year || split.month != month ||
        split.day != day || DayNumber(year, month, day) != dn) {
      ADD_FAILURE() << "day number " << dn << " vs " << year << "-" << month << "-" << day;
      ++mismatches;
    }
    const bool leap = year % 400 == 0 || (year % 4 == 0 && year % 100 != 0);
    if (++day > kLength[month - 1] + (month == 2 && leap ? 1 : 0)) {
      day = 1;
      if (++month > 12) {
        month = 1;
        ++year;
      }
    }
  }
  EXPECT_EQ(year, 10000);
}

TEST_F(DatesTest, ReadsAndWritesStoredText) {
  EXPECT_EQ(StoredToDayNumber("20240307"), kJdn2024_03_07);
  EXPECT_EQ(StoredToDayNumber("2024 3 7"), kJdn2024_03_07);
  std::string with_nul = "20240307";
  with_nul[4] = '\0';
  for (const std::string& bad :
       {kBlank8, std::string("20230230"), std::string("00000101"), std::string("2024O307"),
        std::string("-0240307"), std::string("2024  07"), with_nul, std::string("2024030")}) {
    EXPECT_EQ(StoredToDayNumber(bad), kBlankDate) << "'" << bad << "'";
  }

  EXPECT_EQ(DayNumberToStored(kJdn2024_03_07 + 0.75), "20240307");
  EXPECT_EQ(DayNumberToStored(kJdn0001_01_01), "00010101");
  EXPECT_EQ(DayNumberToStored(kJdn9999_12_31), "99991231");
  for (double dn : {kBlankDate, kJdn9999_12_31 + 1, kJdn0001_01_01 - 1,
                    std::numeric_limits<double>::quiet_NaN()}) {
    EXPECT_EQ(DayNumberToStored(dn), kBlank8) << dn;
  }
  EXPECT_NE(StoredToDayNumber(TodayStored()), kBlankDate) << TodayStored();
}

TEST_F(DatesTest, FormatsEveryStyle) {
  const struct {
    int style;
    bool century;
    const char* text;
    const char* blank;
  } kCases[] = {
      {0, false, "03/07/24", "  /  /  "},    {1, false, "24.03.07", "  .  .  "},
      {2, false, "07/03/24", "  /  /  "},    {3, false, "07-03-24", "  -  -  "},
      {4, false, "07.03.24", "  .  .  "},    {8, false, "07.03.24", "  .  .  "},
      {9, false, "03/07/24", "  /  /  "},    {0, true, "03/07/2024", "  /  /    "},
      {1, true, "2024.03.07", "    .  .  "}, {3, true, "07-03-2024", "  -  -    "},
      {5, true, "07.03.2024", "  .  .    "}, {7, true, "07.03.2024", "  .  .    "},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(::testing::Message() << c.style << (c.century ? " century" : ""));
    EXPECT_EQ(DateTextIn(c.style, c.century, kJdn2024_03_07), c.text);
    EXPECT_EQ(BlankPictureIn(c.style, c.century), c.blank);
    EXPECT_EQ(DateTextIn(c.style, c.century, kBlankDate), c.blank);
    EXPECT_EQ(DateTextIn(c.style, c.century, kJdn0001_01_01 - 1), c.blank);
  }
  DateStyle = 2;
  EXPECT_EQ(DateToText(kJdn2024_03_07), "07/03/24");
  DateStyle = 5;
  CenturyOn = true;
  EXPECT_EQ(DateToText(kJdn2024_03_07), "07.03.2024");
}

TEST_F(DatesTest, CompletesYearsByTheCenturyRule) {
  EXPECT_EQ(NormalizeYear("24"), "24");
  EXPECT_EQ(NormalizeYear("20245"), "2024");
  CenturyOn = true;
  const struct {
    int base;
    const char* part;
    const char* year;
  } kCases[] = {
      {1956, "56", "1956"},  {1956, "99", "1999"},   {1956, "00", "2000"}, {1956, "55", "2055"},
      {1956, "123", "0123"}, {1956, "2024", "2024"}, {2000, "99", "2099"}, {1899, "98", "1998"},
  };
  for (const auto& c : kCases) {
    CenturyBase = c.base;
    EXPECT_EQ(NormalizeYear(c.part), c.year) << c.base << " " << c.part;
  }
}

// Runs a text rewriting routine under a style and century switch.
std::string Rewritten(void (*rewrite)(std::string&), int style, bool century, std::string text) {
  DateStyle = style;
  CenturyOn = century;
  rewrite(text);
  return text;
}

TEST_F(DatesTest, ConvertsBetweenStyleAndMonthDayYear) {
  const auto to_mdy = &StyleToMonthDayYear;
  EXPECT_EQ(Rewritten(to_mdy, 0, false, " 3/ 7/24 "), "03/07/24");
  EXPECT_EQ(Rewritten(to_mdy, 0, true, "3/7/60"), "03/07/1960");
  EXPECT_EQ(Rewritten(to_mdy, 1, true, "2024.3.7"), "03/07/2024");
  EXPECT_EQ(Rewritten(to_mdy, 2, false, "07/03/24"), "03/07/24");
  EXPECT_EQ(Rewritten(to_mdy, 3, false, "07-03-24"), "03/07/24");
  EXPECT_EQ(Rewritten(to_mdy, 2, false, "07.03/24"), "24/07.03/00");  // "/" wins over "."
  EXPECT_EQ(Rewritten(to_mdy, 0, false, "030724"), "030724");         // no separator
  EXPECT_EQ(Rewritten(to_mdy, 0, false, std::string("03/07/24\0/99", 12)), "03/07/24");
  EXPECT_EQ(Rewritten(to_mdy, 5, true, "  .  .    "), "  /  /    ");

  const auto to_style = &MonthDayYearToStyle;
  EXPECT_EQ(Rewritten(to_style, 1, false, "03/07/24"), "24.03.07");
  EXPECT_EQ(Rewritten(to_style, 3, false, "03/07/24"), "07-03-24");
  EXPECT_EQ(Rewritten(to_style, 5, true, "3/7/24"), "07.03.2024");
  EXPECT_EQ(Rewritten(to_style, 1, true, ""), "    .  .  ");
  EXPECT_EQ(Rewritten(to_style, 3, false, "  /  /  "), "  -  -  ");
}

TEST_F(DatesTest, ReadsDisplayTextWithTheCenturyRule) {
  EXPECT_EQ(DayNumberToStored(TextToDate("01/02/30")), "20300102");
  EXPECT_EQ(DayNumberToStored(TextToDate("01/02/60")), "19600102");
  EXPECT_EQ(DayNumberToStored(TextToDate("1/2/1930")), "19300102");
  EXPECT_EQ(DayNumberToStored(TextToDate("01/02/2030 and more")), "20300102");
  EXPECT_FALSE(CenturyOn) << "TextToDate left the century switch forced on";
  for (const char* bad :
       {"", "  /  /  ", "02/30/24", "02/29/01", "ab/01/24", "01012024", "01/02/0000", "01/02/3x"}) {
    EXPECT_EQ(TextToDate(bad), kBlankDate) << "'" << bad << "'";
  }
  DateStyle = 1;
  EXPECT_EQ(DayNumberToStored(TextToDate("24.03.07")), "20240307");
  DateStyle = 5;
  EXPECT_EQ(DayNumberToStored(TextToDate("07.03.2024")), "20240307");
}

TEST_F(DatesTest, ValidatesAndNormalizesDateText) {
  const struct {
    int style;
    bool century;
    const char* in;
    const char* out;  // nullptr: invalid, and the text stays as it was
  } kCases[] = {
      {0, false, "02/30/99", nullptr},     {0, false, "02/29/00", "02/29/00"},
      {0, false, "02/29/01", nullptr},     {0, false, "2/9/24", "02/09/24"},
      {0, false, "04/31/24", nullptr},     {0, false, "13/01/24", nullptr},
      {0, false, "ab/01/24", nullptr},     {0, false, "", nullptr},
      {0, false, "  /  /  ", "  /  /  "},  {0, false, "03/07/2024", "03/07/24"},
      {0, true, "03/07/24", "03/07/2024"}, {0, true, "02/29/1900", nullptr},
      {0, true, "12/31/0000", nullptr},    {2, false, " 7/3/24 ", "07/03/24"},
      {5, true, "07.03.24", "07.03.2024"}, {5, false, "  .  .  ", "  .  .  "},
      {1, false, "24.3.7", "24.03.07"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(::testing::Message() << c.style << " " << c.century << " '" << c.in << "'");
    DateStyle = c.style;
    CenturyOn = c.century;
    std::string text = c.in;
    EXPECT_EQ(IsValidDateText(text), c.out != nullptr);
    EXPECT_EQ(text, c.out != nullptr ? c.out : c.in);
  }
}

TEST_F(DatesTest, FindsTheWeekday) {
  EXPECT_EQ(WeekdayOf("01/01/00"), 7);    // Saturday
  EXPECT_EQ(WeekdayOf("01/01/0001"), 2);  // Monday
  EXPECT_EQ(WeekdayOf("12/31/9999"), 6);  // Friday
  EXPECT_EQ(WeekdayOf("  /  /  "), 0);
  EXPECT_EQ(WeekdayOf("02/30/24"), 0);
  // Against the day number: Julian day numbers that leave 6 after division by 7 are Sundays.
  for (double dn = DayNumber(1899, 12, 1); dn < DayNumber(1901, 3, 31); ++dn) {
    const std::string text = DateTextIn(0, true, dn);
    ASSERT_EQ(WeekdayOf(text), static_cast<int>(std::fmod(dn + 1, 7)) + 1) << text;
  }
}

TEST_F(DatesTest, NamesTheDayAndMonthInTheStyleLanguage) {
  DateStyle = 5;
  EXPECT_EQ(DayNameOf("01.01.00"), "Samstag   ");
  EXPECT_EQ(MonthNameOf("01.03.00"), "M\x84rz     ");
  DateStyle = 8;
  EXPECT_EQ(DayNameOf("01.01.00"), "\x91\xE3\xA1\xA1\xAE\xE2\xA0    ");  // Суббота
  DateStyle = 0;
  EXPECT_EQ(DayNameOf("  /  /  "), std::string(10, ' '));
  EXPECT_EQ(MonthNameOf("  /  /  "), std::string(9, ' '));
  EXPECT_EQ(MonthNameOf("13/01/24"), std::string(9, ' '));
  EXPECT_EQ(DayNameOf("02/30/24"), std::string(9, ' '));
  EXPECT_EQ(DayNameIn(8, 0), std::string(11, ' '));
}

std::vector<std::string> Words(const char* list) {
  std::vector<std::string> words;
  std::istringstream in(list);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

// Every name of every language, read back through the code page it is written in.
TEST_F(DatesTest, HoldsEveryNameAsOemBytesOfItsWidth) {
  const struct {
    int style, page, day_width, month_width;
    const char* days;
    const char* months;
  } kLanguages[] = {
      {0, 850, 9, 9, "Sunday Monday Tuesday Wednesday Thursday Friday Saturday",
       "January February March April May June July August September October November December"},
      {3, 850, 9, 9, "Domenica Lunedi Martedi Mercoledi Giovedi Venerdi Sabato",
       "Gennaio Febbraio Marzo Aprile Maggio Giugno Luglio Agosto Settembre Ottobre Novembre "
       "Dicembre"},
      {4, 850, 8, 9, "Dimanche Lundi Mardi Mercredi Jeudi Vendredi Samedi",
       "Janvier Février Mars Avril Mai Juin Juillet Août Septembre Octobre Novembre Décembre"},
      {5, 850, 10, 9, "Sonntag Montag Dienstag Mittwoch Donnerstag Freitag Samstag",
       "Januar Februar März April Mai Juni Juli August September Oktober November Dezember"},
      {6, 850, 9, 10, "Domingo Lunes Martes Miercoles Jueves Viernes Sabado",
       "Enero Febrero Marzo Abril Mayo Junio Julio Agosto Septiembre Octubre Noviembre "
       "Diciembre"},
      {8, 866, 11, 8, "Воскресенье Понедельник Вторник Среда Четверг Пятница Суббота",
       "Январь Февраль Март Апрель Май Июнь Июль Август Сентябрь Октябрь Ноябрь Декабрь"},
  };
  for (const auto& language : kLanguages) {
    SCOPED_TRACE(language.style);
    const std::vector<std::string> days = Words(language.days);
    const std::vector<std::string> months = Words(language.months);
    for (int i = 0; i < 7; ++i) {
      const std::string oem = DayNameIn(language.style, i + 1);
      EXPECT_EQ(oem.size(), static_cast<std::size_t>(language.day_width));
      EXPECT_EQ(os::CodePageToUtf8(language.page, TrimText(oem)), days[i]);
    }
    for (int i = 0; i < 12; ++i) {
      const std::string oem = MonthNameIn(language.style, i + 1);
      EXPECT_EQ(oem.size(), static_cast<std::size_t>(language.month_width));
      EXPECT_EQ(os::CodePageToUtf8(language.page, TrimText(oem)), months[i]);
    }
  }
  EXPECT_EQ(MonthNameIn(7, 2), "F\x82vrier  ");
}

TEST_F(DatesTest, ReadsPartsAndStoredTextOfDisplayText) {
  DateStyle = 2;
  EXPECT_EQ(MonthOf("07/03/24"), 3);
  EXPECT_EQ(DayOf("07/03/24"), 7);
  EXPECT_EQ(YearOf("07/03/24"), 24);
  EXPECT_EQ(YearOf("07/03/2024"), 2024);
  EXPECT_EQ(DayOf("xx/03/24"), 0);
  EXPECT_EQ(MonthOf("0703"), 0);
  EXPECT_EQ(MonthOf("  /  /  ") + DayOf("  /  /  ") + YearOf("  /  /  "), 0);

  EXPECT_EQ(MonthDayYearToStored("07/03/55"), "20550307");
  EXPECT_EQ(MonthDayYearToStored("07/03/56"), "19560307");
  EXPECT_EQ(MonthDayYearToStored("07/03/1924"), "19240307");
  EXPECT_EQ(MonthDayYearToStored("  /  /  "), kBlank8);
  EXPECT_EQ(MonthDayYearToStored("30/02/24"), kBlank8);
}

TEST_F(DatesTest, TakesTheFloorModulus) {
  EXPECT_EQ(FloorMod(-1, 7), 6);
  EXPECT_EQ(FloorMod(-7, 7), 0);
  EXPECT_EQ(FloorMod(1, -3), -2);
  EXPECT_EQ(FloorMod(5.5, 2), 1.5);
  EXPECT_EQ(FloorMod(4, 0), 4);
}

}  // namespace
}  // namespace vx
