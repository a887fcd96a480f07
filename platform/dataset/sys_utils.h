#pragma once
// The run-time helpers the framework's fields and the components format values with: the
// silent abort exception, the conversion error, the process-wide format settings, number and
// date-time conversions between values and text. No dataset or field logic here.

#include <cstdint>
#include <initializer_list>
#include <string>

#include "platform/os/exception.h"

namespace vx {

// The silent exception: unwinds the current operation and is dropped by the application's
// exception handler without a message. Raised by Abort().
class EAbort : public os::Exception {
 public:
  EAbort() : os::Exception("Operation aborted") {}
};
[[noreturn]] void Abort();

// A text that is not a valid number or date, or a date out of range.
class EConvertError : public os::Exception {
 public:
  using os::Exception::Exception;
};

// How dates and numbers are written and read. One process-wide instance, FormatSettings().
// In ShortDateFormat, d/dd are the day, m/mm the month, yy/yyyy the year, and "/" stands for
// DateSeparator; in time formats h/hh, n/nn, s/ss, z/zzz, and ":" stands for TimeSeparator.
// The defaults are the US forms; the GUI or the program replaces them from the user's locale
// (platform/os has no LC_TIME service yet).
struct TFormatSettings {
  std::string ShortDateFormat = "mm/dd/yyyy";
  char DateSeparator = '/';
  std::string LongTimeFormat = "hh:nn:ss";
  std::string ShortTimeFormat = "hh:nn";
  char TimeSeparator = ':';
  char DecimalSeparator = '.';
  char ThousandSeparator = ',';
  int CurrencyDecimals = 2;
  // Two-digit years read by StrToDate fall within the hundred years that start this many years
  // before the current year; 0 puts them in the current century.
  int TwoDigitYearCenturyWindow = 50;
};
TFormatSettings& FormatSettings();
// Restores the defaults above (for tests and for a program that changes locale).
void ResetFormatSettings();

// --- Numbers ---------------------------------------------------------------------------------

std::string IntToStr(std::int64_t value);
// Reads a decimal integer with an optional sign and surrounding blanks; raises EConvertError
// "'%s' is not a valid integer value" otherwise, or when it does not fit 32 bits.
int StrToInt(const std::string& text);
bool TryStrToInt(const std::string& text, int& value);

enum TFloatFormat { ffGeneral, ffFixed, ffNumber, ffCurrency };
// ffGeneral: the shortest text with at most `precision` significant digits; ffFixed: `digits`
// decimals; ffNumber and ffCurrency: like ffFixed with thousand separators (ffCurrency uses
// CurrencyDecimals and no currency sign). The decimal point is DecimalSeparator.
std::string FloatToStrF(double value, TFloatFormat format, int precision, int digits);
// FloatToStrF(value, ffGeneral, 15, 0): 3.14 gives "3.14", 1e20 gives "1E20".
std::string FloatToStr(double value);
// Reads a decimal number written with DecimalSeparator (a "." is accepted as well) and an
// optional exponent; raises EConvertError "'%s' is not a valid floating point value".
double StrToFloat(const std::string& text);
bool TryStrToFloat(const std::string& text, double& value);

// --- Dates and times -------------------------------------------------------------------------
//
// TDateTime counts days since 30 December 1899 (day 0); the fraction is the time of day.
// TTimeStamp counts days since 1 January 0001, which is day 1, and milliseconds since midnight;
// a field of type ftDate holds TTimeStamp::Date as its native value, so that
// TTimeStamp::Date == TDateTime + kDateDelta for a whole date.

using TDateTime = double;
inline constexpr int kDateDelta = 693594;  // TTimeStamp::Date of 30 December 1899
inline constexpr int kMSecsPerDay = 86400000;

struct TTimeStamp {
  std::int32_t Time = 0;  // milliseconds since midnight
  std::int32_t Date = 0;  // days since 1 January 0001, plus one
};

int DaysInMonth(int year, int month);
// Raises EConvertError "Invalid argument to date encode" outside 1/1/1 .. 31/12/9999.
TDateTime EncodeDate(int year, int month, int day);
bool TryEncodeDate(int year, int month, int day, TDateTime& date);
void DecodeDate(TDateTime date, int& year, int& month, int& day);
// Raises EConvertError "Invalid argument to time encode" for an hour above 23 and so on.
TDateTime EncodeTime(int hour, int minute, int second, int millisecond);
bool TryEncodeTime(int hour, int minute, int second, int millisecond, TDateTime& time);
void DecodeTime(TDateTime time, int& hour, int& minute, int& second, int& millisecond);
// Today's date (no time part) and the current date and time, from the system clock.
TDateTime Date();
TDateTime Now();

// The time part is rounded to the millisecond. Dates before 1 January 0001 raise EConvertError
// "Invalid date/time value" where the result would be a day number below 1.
TTimeStamp DateTimeToTimeStamp(TDateTime value);
TDateTime TimeStampToDateTime(const TTimeStamp& stamp);
// Milliseconds since the start of 1 January 0001 (the native value of ftDateTime fields).
double TimeStampToMSecs(const TTimeStamp& stamp);
TTimeStamp MSecsToTimeStamp(double msecs);

// Writes `value` by a format of the letters described at TFormatSettings; other characters are
// copied, text in single or double quotes is copied without the quotes.
std::string FormatDateTime(const std::string& format, TDateTime value);
std::string DateToStr(TDateTime value);      // ShortDateFormat
std::string TimeToStr(TDateTime value);      // LongTimeFormat
std::string DateTimeToStr(TDateTime value);  // the date, then the time unless it is midnight

// Reads a date in the order of ShortDateFormat (month-day-year, day-month-year or
// year-month-day) with DateSeparator between the numbers; a missing year is the current year, a
// two-digit year goes through TwoDigitYearCenturyWindow. Raises EConvertError
// "'%s' is not a valid date".
TDateTime StrToDate(const std::string& text);
bool TryStrToDate(const std::string& text, TDateTime& date);
// Reads hours, minutes and optional seconds separated by TimeSeparator, with an optional
// "AM"/"PM"; raises EConvertError "'%s' is not a valid time".
TDateTime StrToTime(const std::string& text);
bool TryStrToTime(const std::string& text, TDateTime& time);
// A date, optionally followed by a blank and a time; raises "'%s' is not a valid date and time".
TDateTime StrToDateTime(const std::string& text);

// --- Text ------------------------------------------------------------------------------------

std::string Trim(const std::string& text);
std::string TrimRight(const std::string& text);
std::string UpperCase(const std::string& text);  // ASCII letters only
std::string LowerCase(const std::string& text);
// Case-insensitive comparison of ASCII letters: <0, 0, >0.
int CompareText(const std::string& a, const std::string& b);
bool SameText(const std::string& a, const std::string& b);
// Replaces each "%s" and "%d" in turn by the arguments' text ("%%" gives "%").
std::string Format(const std::string& format, std::initializer_list<std::string> args);

}  // namespace vx
