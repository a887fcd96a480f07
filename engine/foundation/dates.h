#pragma once
// Dates in their four forms: day numbers (Julian day numbers in doubles, the blank date 1e100),
// the 8-character stored text of D fields (YYYYMMDD), display text in the nine date styles, and
// the month/day/year working text of the calendar routines; with the century rule, validation,
// weekdays and the day and month names. The style settings themselves live in settings.h.

#include <cstdint>
#include <string>
#include <string_view>

namespace vx {

// The value of an empty D field; it compares greater than every real date.
inline constexpr double kBlankDate = 1e100;
// Day numbers of 1 January of year 1 and of 31 December 9999: the range that has text.
inline constexpr double kFirstDayNumber = 1721426;
inline constexpr double kLastDayNumber = 5373484;
// The 8 blanks of a blank stored date.
inline constexpr std::string_view kBlankStoredDate = "        ";

// --- Calendar arithmetic (proleptic Gregorian) ---

bool IsLeapYear(int year);
// The day's number within its year, 1..366; -1 when year < 0, month is not 1..12, day < 1 or
// day exceeds the month's length.
int DayOfYear(int year, int month, int day);
// Days in the years before `year`: (y-1)*365 + (y-1)/4 - (y-1)/100 + (y-1)/400, or 0 when
// year - 1 < 1.
std::int64_t DaysBeforeYear(int year);

struct MonthDay {
  int month = 0;
  int day = 0;
};
// The month and day of a day of the year; {0, 0} when day_of_year is outside the year.
MonthDay MonthDayOfYear(int day_of_year, bool leap);

// The Julian day number of a date, or kBlankDate when the date does not exist. Years before 1
// are rejected too: year 0 would otherwise collide with the day numbers of year 1.
double DayNumber(int year, int month, int day);

struct YearMonthDay {
  int year = 0;
  int month = 0;
  int day = 0;
};
// Splits a day number into year, month and day (fractions of a day are dropped). Answers false
// for day numbers outside kFirstDayNumber..kLastDayNumber, the blank date included.
bool SplitDayNumber(double day_number, YearMonthDay& out);

// --- Stored text (YYYYMMDD) ---

// The day number of stored text; 8 blanks, short text and any text that is not a real date give
// kBlankDate. Blanks around the digits of a part are allowed (" 5" reads as 5).
double StoredToDayNumber(std::string_view text);
// The stored text of a day number; 8 blanks outside kFirstDayNumber..kLastDayNumber.
std::string DayNumberToStored(double day_number);
// Today's local date as stored text.
std::string TodayStored();

// --- Display text in the date styles ---

// The blank picture of a style (a style above 8 counts as 0) with a 2- or 4-blank year part.
std::string BlankPictureIn(int style, bool century);
// The blank picture of a style under the current century switch.
std::string BlankPicture(int style);
// A day number as display text in the given style and century switch: day and month with 2
// digits, the year with 4 or 2; the style's blank picture outside the range of real dates.
std::string DateTextIn(int style, bool century, double day_number);
// DateTextIn under the current settings (DTOC).
std::string DateToText(double day_number);
// The day number of display text in the current style (CTOD): the first 10 characters are read
// with the century switch forced on, so a two-digit year gets its century by the century rule;
// anything that is not a real date gives kBlankDate.
double TextToDate(std::string_view text);

// The four-digit year of a two-digit year by the century rule: yy belongs to the century of
// CenturyBase when yy is not below CenturyBase mod 100, else to the next century.
int ExpandYear(int two_digit_year);
// Completes a year part: with the century switch on, a 2-character year gets the century digits
// of the century rule and a shorter one leading "0"s up to 4 characters; with it off the part
// stays as it is, cut to 4 characters.
std::string NormalizeYear(std::string_view part);
// Rewrites display text in the current style as month/day/year text ("MM/DD/YY" or
// "MM/DD/YYYY"). The separator is the last of ".", "-", "/" that occurs; text without one stays
// unchanged (cut at a NUL). Each part is trimmed and padded to two characters with "0"; three
// empty parts give the blank month/day/year picture.
void StyleToMonthDayYear(std::string& text);
// Rewrites month/day/year text in the current style's order and separator; text whose parts
// are all blank gives the style's blank picture.
void MonthDayYearToStyle(std::string& text);

// --- Calendar routines (each takes display text of up to 10 characters in the current style) ---

// Whether the text is a real date or the blank date; when it is, rewrites it in normalized form
// (two-digit parts, the year by the century switch, the current style). Invalid text is left
// as it was.
bool IsValidDateText(std::string& text);
// 1 (Sunday) .. 7 (Saturday); 0 when the text is not a readable date.
int WeekdayOf(std::string_view text);
// The weekday or month name in the style's language as OEM bytes, padded to the language's
// width; 10 (day) or 9 (month) blanks for the blank date, the language's width in blanks for
// text that cannot be read.
std::string DayNameOf(std::string_view text);
std::string MonthNameOf(std::string_view text);
// The names by number, 1 = Sunday / January, in the language of `style`; blanks of the
// language's width for a number out of range.
std::string DayNameIn(int style, int weekday);
std::string MonthNameIn(int style, int month);
// The month, day and year parts of the month/day/year form as numbers; 0 when a part is not a
// number and for the blank date. YearOf gives two digits when the year shows two.
int MonthOf(std::string_view text);
int DayOf(std::string_view text);
int YearOf(std::string_view text);
// The stored text (YYYYMMDD) of display text; a year of fewer than 4 digits gets the century
// digits in front. The blank date and text that is not a real date give 8 blanks, so that no
// malformed date reaches a record.
std::string MonthDayYearToStored(std::string_view text);

// The millisecond tick count since the platform's clock start, in seconds.
double ElapsedSeconds();
// a - b * floor(a / b); with b = 0 it answers a.
double FloorMod(double a, double b);

}  // namespace vx
