#include "platform/dataset/sys_utils.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "platform/os/system.h"

namespace vx {
namespace {

// Days before each month in a common year.
constexpr int kDaysBefore[13] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// File-local: the engine's dates unit has its own IsLeapYear, and programs link both.
bool IsLeapYear(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

// Day count (1 January 0001 = 1) of a valid date.
std::int32_t DayNumber(int year, int month, int day) {
  const int y = year - 1;
  int days = y * 365 + y / 4 - y / 100 + y / 400 + kDaysBefore[month - 1] + day;
  if (month > 2 && IsLeapYear(year)) ++days;
  return days;
}

// The date of a day count (>= 1).
void DateOfDay(std::int32_t day_number, int& year, int& month, int& day) {
  int n = day_number - 1;  // days since 1 January 0001
  const int n400 = n / 146097;
  n %= 146097;
  int n100 = n / 36524;
  if (n100 == 4) n100 = 3;  // the last day of a 400-year cycle
  n -= n100 * 36524;
  const int n4 = n / 1461;
  n %= 1461;
  int n1 = n / 365;
  if (n1 == 4) n1 = 3;  // the last day of a leap year
  n -= n1 * 365;
  year = n400 * 400 + n100 * 100 + n4 * 4 + n1 + 1;
  const bool leap = IsLeapYear(year);
  month = 1;
  while (month < 12) {
    const int next = kDaysBefore[month] + (leap && month >= 2 ? 1 : 0);
    if (n < next) break;
    ++month;
  }
  day = n - kDaysBefore[month - 1] - (leap && month > 2 ? 1 : 0) + 1;
}

std::string Digits(int value, int width) {
  std::string text = std::to_string(value);
  if (static_cast<int>(text.size()) < width) text.insert(0, width - text.size(), '0');
  return text;
}

// Counts the run of letter `c` (either case) at `format[i]`.
int RunLength(const std::string& format, std::size_t i) {
  const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(format[i])));
  std::size_t j = i;
  while (j < format.size() && std::tolower(static_cast<unsigned char>(format[j])) == c) ++j;
  return static_cast<int>(j - i);
}

// Reads unsigned decimal digits at `text[pos]`; answers false when there are none.
bool ScanNumber(const std::string& text, std::size_t& pos, int& value, int& digits) {
  value = 0;
  digits = 0;
  while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) {
    if (value > 100000) return false;
    value = value * 10 + (text[pos] - '0');
    ++pos;
    ++digits;
  }
  return digits > 0;
}

void SkipBlanks(const std::string& text, std::size_t& pos) {
  while (pos < text.size() && IsBlank(text[pos])) ++pos;
}

enum class DateOrder { kMdy, kDmy, kYmd };

DateOrder OrderOf(const std::string& format) {
  for (char c : format) {
    switch (std::tolower(static_cast<unsigned char>(c))) {
      case 'd':
        return DateOrder::kDmy;
      case 'y':
        return DateOrder::kYmd;
      case 'm':
        return DateOrder::kMdy;
      default:
        break;
    }
  }
  return DateOrder::kMdy;
}

// Reads a date at `text[pos]`, leaving `pos` after it.
bool ScanDate(const std::string& text, std::size_t& pos, TDateTime& date) {
  const TFormatSettings& fs = FormatSettings();
  int n[3] = {0, 0, 0};
  int digits[3] = {0, 0, 0};
  int count = 0;
  SkipBlanks(text, pos);
  while (count < 3) {
    if (!ScanNumber(text, pos, n[count], digits[count])) return false;
    ++count;
    if (pos < text.size() && text[pos] == fs.DateSeparator && count < 3) {
      ++pos;
    } else {
      break;
    }
  }
  if (count < 2) return false;
  int year = 0, month = 0, day = 0;
  int year_digits = 0;
  const DateOrder order = OrderOf(fs.ShortDateFormat);
  if (count == 3) {
    switch (order) {
      case DateOrder::kMdy:
        month = n[0], day = n[1], year = n[2], year_digits = digits[2];
        break;
      case DateOrder::kDmy:
        day = n[0], month = n[1], year = n[2], year_digits = digits[2];
        break;
      case DateOrder::kYmd:
        year = n[0], month = n[1], day = n[2], year_digits = digits[0];
        break;
    }
  } else {
    // Two numbers: day and month of the current year, in the format's order.
    year = os::Now().year;
    year_digits = 4;
    if (order == DateOrder::kDmy) {
      day = n[0], month = n[1];
    } else {
      month = n[0], day = n[1];
    }
  }
  if (year_digits <= 2 && year < 100) {
    const int current = os::Now().year;
    const int window = fs.TwoDigitYearCenturyWindow;
    if (window > 0) {
      const int pivot = current - window;
      year += pivot / 100 * 100;
      if (year < pivot) year += 100;
    } else {
      year += current / 100 * 100;
    }
  }
  return TryEncodeDate(year, month, day, date);
}

bool ScanTime(const std::string& text, std::size_t& pos, TDateTime& time) {
  const TFormatSettings& fs = FormatSettings();
  int parts[3] = {0, 0, 0};
  int count = 0;
  int digits = 0;
  SkipBlanks(text, pos);
  while (count < 3) {
    if (!ScanNumber(text, pos, parts[count], digits)) return false;
    ++count;
    if (pos < text.size() && text[pos] == fs.TimeSeparator && count < 3) {
      ++pos;
    } else {
      break;
    }
  }
  if (count < 2) return false;
  SkipBlanks(text, pos);
  int hour = parts[0];
  if (pos < text.size()) {
    const std::string rest = UpperCase(text.substr(pos, 2));
    if (rest == "AM" || rest == "PM") {
      if (hour < 1 || hour > 12) return false;
      if (hour == 12) hour = 0;
      if (rest == "PM") hour += 12;
      pos += 2;
    }
  }
  return TryEncodeTime(hour, parts[1], parts[2], 0, time);
}

TFormatSettings& MutableSettings() {
  static TFormatSettings settings;
  return settings;
}

// Inserts thousand separators into the integer digits of a fixed-point text.
std::string GroupThousands(const std::string& fixed, char separator) {
  std::size_t start = (!fixed.empty() && fixed[0] == '-') ? 1 : 0;
  std::size_t end = fixed.find_first_not_of("0123456789", start);
  if (end == std::string::npos) end = fixed.size();
  std::string out = fixed.substr(0, start);
  for (std::size_t i = start; i < end; ++i) {
    out += fixed[i];
    const std::size_t left = end - i - 1;
    if (left > 0 && left % 3 == 0) out += separator;
  }
  out += fixed.substr(end);
  return out;
}

}  // namespace

void Abort() { throw EAbort(); }

TFormatSettings& FormatSettings() { return MutableSettings(); }

void ResetFormatSettings() { MutableSettings() = TFormatSettings(); }

// --- Numbers -----------------------------------------------------------------------------------

std::string IntToStr(std::int64_t value) { return std::to_string(value); }

bool TryStrToInt(const std::string& text, int& value) {
  const std::string t = Trim(text);
  if (t.empty()) return false;
  std::size_t pos = 0;
  bool negative = false;
  if (t[0] == '+' || t[0] == '-') {
    negative = t[0] == '-';
    pos = 1;
  }
  if (pos >= t.size()) return false;
  std::int64_t v = 0;
  for (; pos < t.size(); ++pos) {
    if (!std::isdigit(static_cast<unsigned char>(t[pos]))) return false;
    v = v * 10 + (t[pos] - '0');
    if (v > std::int64_t{INT32_MAX} + 1) return false;
  }
  if (negative) v = -v;
  if (v < INT32_MIN || v > INT32_MAX) return false;
  value = static_cast<int>(v);
  return true;
}

int StrToInt(const std::string& text) {
  int value = 0;
  if (!TryStrToInt(text, value)) {
    throw EConvertError(Format("'%s' is not a valid integer value", {text}));
  }
  return value;
}

std::string FloatToStrF(double value, TFloatFormat format, int precision, int digits) {
  const TFormatSettings& fs = FormatSettings();
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value > 0 ? "INF" : "-INF";
  char buffer[512];
  std::string text;
  switch (format) {
    case ffGeneral: {
      if (precision < 1 || precision > 18) precision = 15;
      std::snprintf(buffer, sizeof buffer, "%.*G", precision, value);
      text = buffer;
      // "1E+20" -> "1E20", "1E-05" -> "1E-5": the exponent as the framework writes it.
      const std::size_t e = text.find('E');
      if (e != std::string::npos) {
        std::string mantissa = text.substr(0, e);
        std::string exponent = text.substr(e + 1);
        bool negative = false;
        if (!exponent.empty() && (exponent[0] == '+' || exponent[0] == '-')) {
          negative = exponent[0] == '-';
          exponent.erase(0, 1);
        }
        exponent.erase(0, std::min(exponent.find_first_not_of('0'), exponent.size() - 1));
        text = mantissa + "E" + (negative ? "-" : "") + exponent;
      }
      if (text == "-0") text = "0";
      break;
    }
    case ffFixed:
    case ffNumber:
    case ffCurrency: {
      if (format == ffCurrency) digits = fs.CurrencyDecimals;
      digits = std::clamp(digits, 0, 18);
      std::snprintf(buffer, sizeof buffer, "%.*f", digits, value);
      text = buffer;
      if (format != ffFixed) text = GroupThousands(text, '\x01');
      break;
    }
  }
  for (char& c : text) {
    if (c == '.') c = fs.DecimalSeparator;
  }
  for (char& c : text) {
    if (c == '\x01') c = fs.ThousandSeparator;
  }
  return text;
}

std::string FloatToStr(double value) { return FloatToStrF(value, ffGeneral, 15, 0); }

bool TryStrToFloat(const std::string& text, double& value) {
  std::string t = Trim(text);
  if (t.empty()) return false;
  const char separator = FormatSettings().DecimalSeparator;
  for (char& c : t) {
    if (c == separator) c = '.';
  }
  // Only sign, digits, one point and an exponent; strtod alone would take "inf" or hex.
  std::size_t i = 0;
  if (t[i] == '+' || t[i] == '-') ++i;
  bool mantissa_digits = false;
  while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i])))
    ++i, mantissa_digits = true;
  if (i < t.size() && t[i] == '.') {
    ++i;
    while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) {
      ++i;
      mantissa_digits = true;
    }
  }
  if (!mantissa_digits) return false;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    bool exponent_digits = false;
    while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) {
      ++i;
      exponent_digits = true;
    }
    if (!exponent_digits) return false;
  }
  if (i != t.size()) return false;
  errno = 0;
  const double v = std::strtod(t.c_str(), nullptr);
  if (errno == ERANGE && std::isinf(v)) return false;
  value = v;
  return true;
}

double StrToFloat(const std::string& text) {
  double value = 0;
  if (!TryStrToFloat(text, value)) {
    throw EConvertError(Format("'%s' is not a valid floating point value", {text}));
  }
  return value;
}

// --- Dates and times ---------------------------------------------------------------------------

int DaysInMonth(int year, int month) {
  if (month < 1 || month > 12) return 0;
  return kDaysBefore[month] - kDaysBefore[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
}

bool TryEncodeDate(int year, int month, int day, TDateTime& date) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month)) {
    return false;
  }
  date = DayNumber(year, month, day) - kDateDelta;
  return true;
}

TDateTime EncodeDate(int year, int month, int day) {
  TDateTime date = 0;
  if (!TryEncodeDate(year, month, day, date)) {
    throw EConvertError("Invalid argument to date encode");
  }
  return date;
}

void DecodeDate(TDateTime date, int& year, int& month, int& day) {
  const TTimeStamp stamp = DateTimeToTimeStamp(date);
  DateOfDay(stamp.Date, year, month, day);
}

bool TryEncodeTime(int hour, int minute, int second, int millisecond, TDateTime& time) {
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 ||
      millisecond < 0 || millisecond > 999) {
    return false;
  }
  time = ((hour * 3600000.0) + minute * 60000.0 + second * 1000.0 + millisecond) / kMSecsPerDay;
  return true;
}

TDateTime EncodeTime(int hour, int minute, int second, int millisecond) {
  TDateTime time = 0;
  if (!TryEncodeTime(hour, minute, second, millisecond, time)) {
    throw EConvertError("Invalid argument to time encode");
  }
  return time;
}

void DecodeTime(TDateTime time, int& hour, int& minute, int& second, int& millisecond) {
  int ms = DateTimeToTimeStamp(time).Time;
  hour = ms / 3600000;
  ms %= 3600000;
  minute = ms / 60000;
  ms %= 60000;
  second = ms / 1000;
  millisecond = ms % 1000;
}

TDateTime Date() {
  const os::LocalTime now = os::Now();
  return EncodeDate(now.year, now.month, now.day);
}

TDateTime Now() {
  const os::LocalTime now = os::Now();
  return EncodeDate(now.year, now.month, now.day) +
         EncodeTime(now.hour, now.minute, now.second, now.millisecond);
}

TTimeStamp DateTimeToTimeStamp(TDateTime value) {
  // Before 30 December 1899 the whole part counts days back and the fraction still counts
  // forwards from midnight: -1.25 is 29 December 1899, 06:00.
  const double total_ms = std::round(std::fabs(value) * kMSecsPerDay);
  double days = std::floor(total_ms / kMSecsPerDay);
  double ms = total_ms - days * kMSecsPerDay;
  if (value < 0) days = -days;
  TTimeStamp stamp;
  const double date = days + kDateDelta;
  if (!(date >= 1 && date <= INT32_MAX)) throw EConvertError("Invalid date/time value");
  stamp.Date = static_cast<std::int32_t>(date);
  stamp.Time = static_cast<std::int32_t>(ms);
  return stamp;
}

TDateTime TimeStampToDateTime(const TTimeStamp& stamp) {
  const double days = static_cast<double>(stamp.Date) - kDateDelta;
  const double fraction = static_cast<double>(stamp.Time) / kMSecsPerDay;
  return days < 0 ? days - fraction : days + fraction;
}

double TimeStampToMSecs(const TTimeStamp& stamp) {
  return static_cast<double>(stamp.Date) * kMSecsPerDay + stamp.Time;
}

TTimeStamp MSecsToTimeStamp(double msecs) {
  TTimeStamp stamp;
  const double days = std::floor(msecs / kMSecsPerDay);
  if (!(days >= 1 && days <= INT32_MAX)) throw EConvertError("Invalid date/time value");
  stamp.Date = static_cast<std::int32_t>(days);
  stamp.Time = static_cast<std::int32_t>(msecs - days * kMSecsPerDay);
  return stamp;
}

std::string FormatDateTime(const std::string& format, TDateTime value) {
  const TFormatSettings& fs = FormatSettings();
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, ms = 0;
  DecodeDate(value, year, month, day);
  DecodeTime(value, hour, minute, second, ms);
  std::string out;
  std::size_t i = 0;
  while (i < format.size()) {
    const char c = format[i];
    const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c == '\'' || c == '"') {
      const std::size_t close = format.find(c, i + 1);
      const std::size_t end = close == std::string::npos ? format.size() : close;
      out += format.substr(i + 1, end - i - 1);
      i = end + 1;
      continue;
    }
    const int run = RunLength(format, i);
    switch (lower) {
      case 'd':
        out += Digits(day, run >= 2 ? 2 : 1);
        i += std::min(run, 2);
        continue;
      case 'm':
        out += Digits(month, run >= 2 ? 2 : 1);
        i += std::min(run, 2);
        continue;
      case 'y':
        out += run >= 3 ? Digits(year, 4) : Digits(year % 100, 2);
        i += run >= 3 ? std::min(run, 4) : std::min(run, 2);
        continue;
      case 'h':
        out += Digits(hour, run >= 2 ? 2 : 1);
        i += std::min(run, 2);
        continue;
      case 'n':
        out += Digits(minute, run >= 2 ? 2 : 1);
        i += std::min(run, 2);
        continue;
      case 's':
        out += Digits(second, run >= 2 ? 2 : 1);
        i += std::min(run, 2);
        continue;
      case 'z':
        out += Digits(ms, run >= 3 ? 3 : 1);
        i += run >= 3 ? 3 : 1;
        continue;
      case '/':
        out += fs.DateSeparator;
        ++i;
        continue;
      case ':':
        out += fs.TimeSeparator;
        ++i;
        continue;
      default:
        out += c;
        ++i;
        continue;
    }
  }
  return out;
}

std::string DateToStr(TDateTime value) {
  return FormatDateTime(FormatSettings().ShortDateFormat, value);
}

std::string TimeToStr(TDateTime value) {
  return FormatDateTime(FormatSettings().LongTimeFormat, value);
}

std::string DateTimeToStr(TDateTime value) {
  std::string text = DateToStr(value);
  if (DateTimeToTimeStamp(value).Time != 0) text += " " + TimeToStr(value);
  return text;
}

bool TryStrToDate(const std::string& text, TDateTime& date) {
  std::size_t pos = 0;
  TDateTime value = 0;
  if (!ScanDate(text, pos, value)) return false;
  SkipBlanks(text, pos);
  if (pos != text.size()) return false;
  date = value;
  return true;
}

TDateTime StrToDate(const std::string& text) {
  TDateTime date = 0;
  if (!TryStrToDate(text, date)) throw EConvertError(Format("'%s' is not a valid date", {text}));
  return date;
}

bool TryStrToTime(const std::string& text, TDateTime& time) {
  std::size_t pos = 0;
  TDateTime value = 0;
  if (!ScanTime(text, pos, value)) return false;
  SkipBlanks(text, pos);
  if (pos != text.size()) return false;
  time = value;
  return true;
}

TDateTime StrToTime(const std::string& text) {
  TDateTime time = 0;
  if (!TryStrToTime(text, time)) throw EConvertError(Format("'%s' is not a valid time", {text}));
  return time;
}

TDateTime StrToDateTime(const std::string& text) {
  std::size_t pos = 0;
  TDateTime date = 0;
  TDateTime time = 0;
  bool ok = ScanDate(text, pos, date);
  if (ok) {
    SkipBlanks(text, pos);
    if (pos < text.size()) ok = ScanTime(text, pos, time);
    SkipBlanks(text, pos);
    ok = ok && pos == text.size();
  }
  if (!ok) throw EConvertError(Format("'%s' is not a valid date and time", {text}));
  return date < 0 ? date - time : date + time;
}

// --- Text --------------------------------------------------------------------------------------

std::string Trim(const std::string& text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && static_cast<unsigned char>(text[begin]) <= ' ') ++begin;
  while (end > begin && static_cast<unsigned char>(text[end - 1]) <= ' ') --end;
  return text.substr(begin, end - begin);
}

std::string TrimRight(const std::string& text) {
  std::size_t end = text.size();
  while (end > 0 && static_cast<unsigned char>(text[end - 1]) <= ' ') --end;
  return text.substr(0, end);
}

std::string UpperCase(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

std::string LowerCase(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

int CompareText(const std::string& a, const std::string& b) {
  const std::string ua = UpperCase(a);
  const std::string ub = UpperCase(b);
  return ua < ub ? -1 : (ua == ub ? 0 : 1);
}

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && CompareText(a, b) == 0;
}

std::string Format(const std::string& format, std::initializer_list<std::string> args) {
  std::string out;
  auto arg = args.begin();
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] == '%' && i + 1 < format.size()) {
      const char kind = format[i + 1];
      if (kind == '%') {
        out += '%';
        ++i;
        continue;
      }
      if (kind == 's' || kind == 'd') {
        if (arg != args.end()) out += *arg++;
        ++i;
        continue;
      }
    }
    out += format[i];
  }
  return out;
}

}  // namespace vx
