#include "engine/foundation/dates.h"

#include <array>
#include <cmath>
#include <cstdio>

#include "engine/foundation/settings.h"
#include "engine/foundation/strings.h"
#include "platform/os/system.h"

namespace vx {

namespace {

// Julian day number of 31 December of year 0: day n of the calendar is kEpoch + n.
constexpr std::int64_t kEpoch = 1721425;

constexpr std::array<int, 12> kDaysBeforeMonth = {0,   31,  59,  90,  120, 151,
                                                  181, 212, 243, 273, 304, 334};
constexpr std::array<int, 12> kDaysInMonth = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

// The languages of the day and month names. Names are OEM bytes: French and German accented
// letters in code page 850 (e-acute 0x82, u-circumflex 0x96, a-umlaut 0x84), Russian in code
// page 866. Each name is padded with blanks to its language's width when it is cut out.
struct NameTable {
  int day_width;
  int month_width;
  std::array<const char*, 7> days;  // Sunday first
  std::array<const char*, 12> months;
};

constexpr NameTable kEnglish = {
    9,
    9,
    {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"},
    {"January", "February", "March", "April", "May", "June", "July", "August", "September",
     "October", "November", "December"}};

constexpr NameTable kItalian = {
    9,
    9,
    {"Domenica", "Lunedi", "Martedi", "Mercoledi", "Giovedi", "Venerdi", "Sabato"},
    {"Gennaio", "Febbraio", "Marzo", "Aprile", "Maggio", "Giugno", "Luglio", "Agosto", "Settembre",
     "Ottobre", "Novembre", "Dicembre"}};

constexpr NameTable kFrench = {
    8,
    9,
    {"Dimanche", "Lundi", "Mardi", "Mercredi", "Jeudi", "Vendredi", "Samedi"},
    // Février, Août, Décembre (octal escape there: a hex escape would swallow the "c")
    {"Janvier", "F\x82vrier", "Mars", "Avril", "Mai", "Juin", "Juillet", "Ao\x96t", "Septembre",
     "Octobre", "Novembre", "D\202cembre"}};

constexpr NameTable kGerman = {
    10,
    9,
    {"Sonntag", "Montag", "Dienstag", "Mittwoch", "Donnerstag", "Freitag", "Samstag"},
    // März
    {"Januar", "Februar", "M\x84rz", "April", "Mai", "Juni", "Juli", "August", "September",
     "Oktober", "November", "Dezember"}};

constexpr NameTable kSpanish = {
    9,
    10,
    {"Domingo", "Lunes", "Martes", "Miercoles", "Jueves", "Viernes", "Sabado"},
    {"Enero", "Febrero", "Marzo", "Abril", "Mayo", "Junio", "Julio", "Agosto", "Septiembre",
     "Octubre", "Noviembre", "Diciembre"}};

// Воскресенье .. Суббота, Январь .. Декабрь in code page 866.
constexpr NameTable kRussian = {
    11,
    8,
    {"\x82\xAE\xE1\xAA\xE0\xA5\xE1\xA5\xAD\xEC\xA5", "\x8F\xAE\xAD\xA5\xA4\xA5\xAB\xEC\xAD\xA8\xAA",
     "\x82\xE2\xAE\xE0\xAD\xA8\xAA", "\x91\xE0\xA5\xA4\xA0", "\x97\xA5\xE2\xA2\xA5\xE0\xA3",
     "\x8F\xEF\xE2\xAD\xA8\xE6\xA0", "\x91\xE3\xA1\xA1\xAE\xE2\xA0"},
    {"\x9F\xAD\xA2\xA0\xE0\xEC", "\x94\xA5\xA2\xE0\xA0\xAB\xEC", "\x8C\xA0\xE0\xE2",
     "\x80\xAF\xE0\xA5\xAB\xEC", "\x8C\xA0\xA9", "\x88\xEE\xAD\xEC", "\x88\xEE\xAB\xEC",
     "\x80\xA2\xA3\xE3\xE1\xE2", "\x91\xA5\xAD\xE2\xEF\xA1\xE0\xEC", "\x8E\xAA\xE2\xEF\xA1\xE0\xEC",
     "\x8D\xAE\xEF\xA1\xE0\xEC", "\x84\xA5\xAA\xA0\xA1\xE0\xEC"}};

enum class PartOrder { kMonthDayYear, kYearMonthDay, kDayMonthYear };

// What each date style means: the order of the parts, their separator, the names' language.
struct StyleInfo {
  PartOrder order;
  char separator;
  const NameTable* names;
};

constexpr std::array<StyleInfo, 9> kStyles = {{
    {PartOrder::kMonthDayYear, '/', &kEnglish},  // 0 MM/DD/YY
    {PartOrder::kYearMonthDay, '.', &kEnglish},  // 1 YY.MM.DD
    {PartOrder::kDayMonthYear, '/', &kEnglish},  // 2 DD/MM/YY
    {PartOrder::kDayMonthYear, '-', &kItalian},  // 3 DD-MM-YY
    {PartOrder::kDayMonthYear, '.', &kFrench},   // 4 DD.MM.YY
    {PartOrder::kDayMonthYear, '.', &kGerman},   // 5 DD.MM.YY
    {PartOrder::kDayMonthYear, '.', &kSpanish},  // 6 DD.MM.YY
    {PartOrder::kDayMonthYear, '.', &kFrench},   // 7 DD.MM.YY
    {PartOrder::kDayMonthYear, '.', &kRussian},  // 8 DD.MM.YY
}};

const StyleInfo& StyleOf(int style) { return kStyles[style >= 0 && style <= 8 ? style : 0]; }

// Reads a part of a date as a number: optional blanks around at least one digit and nothing
// else. Parts of dates never need more than 9 digits, so longer runs are rejected.
bool ReadNumber(std::string_view part, int& value) {
  std::size_t start = 0;
  std::size_t end = part.size();
  while (start < end && part[start] == ' ') ++start;
  while (end > start && part[end - 1] == ' ') --end;
  if (start == end || end - start > 9) return false;
  int result = 0;
  for (std::size_t i = start; i < end; ++i) {
    if (part[i] < '0' || part[i] > '9') return false;
    result = result * 10 + (part[i] - '0');
  }
  value = result;
  return true;
}

std::string PadLeft(std::string part, std::size_t width, char fill) {
  if (part.size() < width) part.insert(0, width - part.size(), fill);
  return part;
}

std::string Digits(std::int64_t value, int width) {
  return PadLeft(std::to_string(value), static_cast<std::size_t>(width), '0');
}

std::string PaddedName(const char* name, int width) {
  std::string text(name);
  text.resize(static_cast<std::size_t>(width), ' ');
  return text;
}

bool IsBlankText(std::string_view text) {
  for (char c : text) {
    if (c != ' ') return false;
  }
  return true;
}

// Display text cut to its 10 characters (after leading and trailing blanks) and brought to the
// month/day/year form.
std::string ToMonthDayYear(std::string_view text) {
  std::string working = TrimText(text);
  if (working.size() > 10) working.resize(10);
  StyleToMonthDayYear(working);
  return working;
}

bool IsBlankMonthDayYear(std::string_view mdy) {
  return mdy == BlankPictureIn(0, false) || mdy == BlankPictureIn(0, true);
}

// Reads the month, day and year of month/day/year text ("MM/DD/YY" or "MM/DD/YYYY"); a
// two-digit year gets its century by the century rule. Answers false unless the text has that
// shape with numbers in every part and the date exists.
bool ReadMonthDayYear(std::string_view mdy, YearMonthDay& out) {
  if ((mdy.size() != 8 && mdy.size() != 10) || mdy[2] != '/' || mdy[5] != '/') return false;
  YearMonthDay date;
  if (!ReadNumber(mdy.substr(0, 2), date.month) || !ReadNumber(mdy.substr(3, 2), date.day) ||
      !ReadNumber(mdy.substr(6), date.year)) {
    return false;
  }
  if (mdy.size() == 8) date.year = ExpandYear(date.year);
  if (DayNumber(date.year, date.month, date.day) == kBlankDate) return false;
  out = date;
  return true;
}

// The number at [pos, pos + count) of display text brought to month/day/year form; 0 for the
// blank date, for text without that form and for a part that is not a number.
int MonthDayYearPart(std::string_view text, std::size_t pos, std::size_t count) {
  const std::string mdy = ToMonthDayYear(text);
  if (mdy.size() < 7 || mdy[2] != '/' || mdy[5] != '/') return 0;
  int value = 0;
  return ReadNumber(std::string_view(mdy).substr(pos, count), value) ? value : 0;
}

// Restores the century switch when a routine that forced it leaves.
class CenturyOverride {
 public:
  explicit CenturyOverride(bool on) : previous_(CenturyOn) { CenturyOn = on; }
  ~CenturyOverride() { CenturyOn = previous_; }
  CenturyOverride(const CenturyOverride&) = delete;
  CenturyOverride& operator=(const CenturyOverride&) = delete;

 private:
  bool previous_;
};

}  // namespace

// --- Calendar arithmetic ---

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DayOfYear(int year, int month, int day) {
  if (year < 0 || month < 1 || month > 12 || day < 1) return -1;
  const bool leap = IsLeapYear(year);
  const int length = kDaysInMonth[month - 1] + (leap && month == 2 ? 1 : 0);
  if (day > length) return -1;
  return kDaysBeforeMonth[month - 1] + (leap && month > 2 ? 1 : 0) + day;
}

std::int64_t DaysBeforeYear(int year) {
  const std::int64_t y = static_cast<std::int64_t>(year) - 1;
  if (y < 1) return 0;
  return y * 365 + y / 4 - y / 100 + y / 400;
}

MonthDay MonthDayOfYear(int day_of_year, bool leap) {
  if (day_of_year < 1 || day_of_year > (leap ? 366 : 365)) return {};
  for (int month = 12; month >= 1; --month) {
    const int before = kDaysBeforeMonth[month - 1] + (leap && month > 2 ? 1 : 0);
    if (day_of_year > before) return {month, day_of_year - before};
  }
  return {};  // not reached: every day of the year is after January's 0 days
}

double DayNumber(int year, int month, int day) {
  if (year < 1) return kBlankDate;
  const int day_of_year = DayOfYear(year, month, day);
  if (day_of_year <= 0) return kBlankDate;
  return static_cast<double>(DaysBeforeYear(year) + day_of_year + kEpoch);
}

bool SplitDayNumber(double day_number, YearMonthDay& out) {
  // The comparisons are false for NaN, so NaN is rejected too.
  if (!(day_number >= kFirstDayNumber && day_number <= kLastDayNumber)) return false;
  const std::int64_t days = static_cast<std::int64_t>(std::floor(day_number)) - kEpoch;
  // 146097 days make 400 years; the estimate is at most one year off either way.
  int year = static_cast<int>(days * 400 / 146097) + 1;
  while (DaysBeforeYear(year + 1) < days) ++year;
  while (year > 1 && DaysBeforeYear(year) >= days) --year;
  const MonthDay md =
      MonthDayOfYear(static_cast<int>(days - DaysBeforeYear(year)), IsLeapYear(year));
  out = {year, md.month, md.day};
  return true;
}

// --- Stored text ---

double StoredToDayNumber(std::string_view text) {
  if (text.size() < 8) return kBlankDate;
  int year = 0;
  int month = 0;
  int day = 0;
  if (!ReadNumber(text.substr(0, 4), year) || !ReadNumber(text.substr(4, 2), month) ||
      !ReadNumber(text.substr(6, 2), day)) {
    return kBlankDate;
  }
  return DayNumber(year, month, day);
}

std::string DayNumberToStored(double day_number) {
  YearMonthDay date;
  if (!SplitDayNumber(day_number, date)) return std::string(kBlankStoredDate);
  return Digits(date.year, 4) + Digits(date.month, 2) + Digits(date.day, 2);
}

std::string TodayStored() {
  const os::LocalTime now = os::Now();
  return Digits(now.year, 4) + Digits(now.month, 2) + Digits(now.day, 2);
}

// --- Display text ---

std::string BlankPictureIn(int style, bool century) {
  const StyleInfo& info = StyleOf(style);
  const std::string year(century ? 4 : 2, ' ');
  const std::string sep(1, info.separator);
  if (info.order == PartOrder::kYearMonthDay) return year + sep + "  " + sep + "  ";
  return "  " + sep + "  " + sep + year;
}

std::string BlankPicture(int style) { return BlankPictureIn(style, CenturyOn); }

std::string DateTextIn(int style, bool century, double day_number) {
  YearMonthDay date;
  if (!SplitDayNumber(day_number, date)) return BlankPictureIn(style, century);
  const StyleInfo& info = StyleOf(style);
  const std::string year = century ? Digits(date.year, 4) : Digits(date.year % 100, 2);
  const std::string month = Digits(date.month, 2);
  const std::string day = Digits(date.day, 2);
  const char sep = info.separator;
  switch (info.order) {
    case PartOrder::kMonthDayYear:
      return month + sep + day + sep + year;
    case PartOrder::kYearMonthDay:
      return year + sep + month + sep + day;
    case PartOrder::kDayMonthYear:
      return day + sep + month + sep + year;
  }
  return BlankPictureIn(style, century);  // not reached: every order is handled above
}

std::string DateToText(double day_number) {
  return DateTextIn(EffectiveDateStyle(), CenturyOn, day_number);
}

double TextToDate(std::string_view text) {
  std::string mdy(text.substr(0, 10));
  {
    CenturyOverride century(true);
    StyleToMonthDayYear(mdy);
  }
  if (mdy.size() != 10 || mdy[2] != '/' || mdy[5] != '/') return kBlankDate;
  int month = 0;
  int day = 0;
  int year = 0;
  if (!ReadNumber(mdy.substr(0, 2), month) || !ReadNumber(mdy.substr(3, 2), day) ||
      !ReadNumber(mdy.substr(6, 4), year)) {
    return kBlankDate;
  }
  return DayNumber(year, month, day);
}

int ExpandYear(int two_digit_year) {
  const int base = CenturyBase;
  const int century = static_cast<int>(std::floor(base / 100.0));
  const int base_yy = base - century * 100;
  return (two_digit_year >= base_yy ? century : century + 1) * 100 + two_digit_year;
}

std::string NormalizeYear(std::string_view part) {
  if (!CenturyOn) return std::string(part.substr(0, 4));
  if (part.size() == 2) {
    int yy = 0;
    if (ReadNumber(part, yy)) return Digits(ExpandYear(yy), 4);
    // Not a number: keep the text, behind the base's century, for the reader to reject.
    return Digits(ExpandYear(0) / 100, 2) + std::string(part);
  }
  return PadLeft(std::string(part), 4, '0');
}

void StyleToMonthDayYear(std::string& text) {
  const std::size_t nul = text.find('\0');
  if (nul != std::string::npos) text.resize(nul);
  char sep = 0;
  for (char candidate : {'.', '-', '/'}) {
    if (text.find(candidate) != std::string::npos) sep = candidate;
  }
  if (sep == 0) return;

  std::array<std::string, 3> parts;
  std::size_t start = 0;
  for (int i = 0; i < 3 && start <= text.size(); ++i) {
    const std::size_t end = i < 2 ? text.find(sep, start) : std::string::npos;
    const std::size_t stop = end == std::string::npos ? text.size() : end;
    parts[i] = TrimText(std::string_view(text).substr(start, stop - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  if (parts[0].empty() && parts[1].empty() && parts[2].empty()) {
    text = BlankPictureIn(0, CenturyOn);
    return;
  }
  for (std::string& part : parts) part = PadLeft(std::move(part), 2, '0');

  const PartOrder order = StyleOf(EffectiveDateStyle()).order;
  const std::string* month = &parts[1];
  const std::string* day = &parts[0];
  const std::string* year = &parts[2];
  if (order == PartOrder::kMonthDayYear) {
    month = &parts[0];
    day = &parts[1];
  } else if (order == PartOrder::kYearMonthDay) {
    month = &parts[1];
    day = &parts[2];
    year = &parts[0];
  }
  text = *month + "/" + *day + "/" + NormalizeYear(*year);
}

void MonthDayYearToStyle(std::string& text) {
  const int style = EffectiveDateStyle();
  if (IsBlankText(text)) {
    text = BlankPicture(style);
    return;
  }
  if (text.find('/') == std::string::npos) return;
  std::array<std::string, 3> parts;  // month, day, year
  std::size_t start = 0;
  for (int i = 0; i < 3; ++i) {
    const std::size_t end = i < 2 ? text.find('/', start) : std::string::npos;
    const std::size_t stop = end == std::string::npos ? text.size() : end;
    parts[i] = TrimText(std::string_view(text).substr(start, stop - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  if (parts[0].empty() && parts[1].empty() && parts[2].empty()) {
    text = BlankPicture(style);
    return;
  }
  const std::string month = PadLeft(std::move(parts[0]), 2, '0');
  const std::string day = PadLeft(std::move(parts[1]), 2, '0');
  const std::string year = NormalizeYear(PadLeft(std::move(parts[2]), 2, '0'));

  const StyleInfo& info = StyleOf(style);
  const char sep = info.separator;
  switch (info.order) {
    case PartOrder::kMonthDayYear:
      text = month + sep + day + sep + year;
      break;
    case PartOrder::kYearMonthDay:
      text = year + sep + month + sep + day;
      break;
    case PartOrder::kDayMonthYear:
      text = day + sep + month + sep + year;
      break;
  }
}

// --- Calendar routines ---

bool IsValidDateText(std::string& text) {
  std::string mdy = ToMonthDayYear(text);
  if (!IsBlankMonthDayYear(mdy)) {
    if ((mdy.size() != 8 && mdy.size() != 10) || mdy[2] != '/' || mdy[5] != '/') return false;
    int month = 0;
    int day = 0;
    int year = 0;
    if (!ReadNumber(mdy.substr(6), year) || !ReadNumber(mdy.substr(0, 2), month) ||
        !ReadNumber(mdy.substr(3, 2), day)) {
      return false;
    }
    if (month < 1 || month > 12 || day < 1 || day > 31) return false;
    if (month == 2 && day > 29) return false;
    if ((month == 4 || month == 6 || month == 9 || month == 11) && day > 30) return false;
    if (mdy.size() == 8) year = ExpandYear(year);
    if (month == 2 && day == 29 && !IsLeapYear(year)) return false;
    // There is no year 0: a text that no day number can hold is not a date.
    if (year < 1) return false;
    if (mdy.size() == 10 && !CenturyOn) mdy.erase(6, 2);
  }
  if (EffectiveDateStyle() != 0) MonthDayYearToStyle(mdy);
  text = std::move(mdy);
  return true;
}

int WeekdayOf(std::string_view text) {
  YearMonthDay date;
  if (!ReadMonthDayYear(ToMonthDayYear(text), date)) return 0;
  int m = date.month;
  int k = date.year % 100;
  int j = date.year / 100;
  if (m < 3) {
    m += 12;
    if (--k == -1) {
      k = 99;
      --j;
    }
  }
  const int h = date.day + ((m + 1) * 26) / 10 + k + k / 4 + j / 4 - 2 * j;
  const int w = static_cast<int>(FloorMod(h, 7));
  return w == 0 ? 7 : w;
}

std::string DayNameIn(int style, int weekday) {
  const NameTable& names = *StyleOf(style).names;
  if (weekday < 1 || weekday > 7) return std::string(names.day_width, ' ');
  return PaddedName(names.days[weekday - 1], names.day_width);
}

std::string MonthNameIn(int style, int month) {
  const NameTable& names = *StyleOf(style).names;
  if (month < 1 || month > 12) return std::string(names.month_width, ' ');
  return PaddedName(names.months[month - 1], names.month_width);
}

std::string DayNameOf(std::string_view text) {
  if (IsBlankMonthDayYear(ToMonthDayYear(text))) return std::string(10, ' ');
  return DayNameIn(EffectiveDateStyle(), WeekdayOf(text));
}

std::string MonthNameOf(std::string_view text) {
  if (IsBlankMonthDayYear(ToMonthDayYear(text))) return std::string(9, ' ');
  return MonthNameIn(EffectiveDateStyle(), MonthOf(text));
}

int MonthOf(std::string_view text) { return MonthDayYearPart(text, 0, 2); }

int DayOf(std::string_view text) { return MonthDayYearPart(text, 3, 2); }

int YearOf(std::string_view text) { return MonthDayYearPart(text, 6, std::string::npos); }

std::string MonthDayYearToStored(std::string_view text) {
  YearMonthDay date;
  if (!ReadMonthDayYear(ToMonthDayYear(text), date)) return std::string(kBlankStoredDate);
  return Digits(date.year, 4) + Digits(date.month, 2) + Digits(date.day, 2);
}

double ElapsedSeconds() { return os::TickCount() / 1000.0; }

double FloorMod(double a, double b) {
  if (b == 0) return a;
  return a - b * std::floor(a / b);
}

}  // namespace vx
