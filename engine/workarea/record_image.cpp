#include "engine/workarea/record_image.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "engine/foundation/dates.h"
#include "engine/foundation/errors.h"
#include "engine/foundation/number_text.h"
#include "engine/foundation/settings.h"
#include "engine/table/field_values.h"

namespace vx {

std::uint16_t FieldImageSize(const FieldEntry& f) {
  switch (f.storage) {
    case FieldStorage::kClassic:
      break;
    case FieldStorage::kInt32:
    case FieldStorage::kInt32Flipped:
    case FieldStorage::kBinaryMemo:
      return 4;
    case FieldStorage::kVarchar:
    case FieldStorage::kVarbinary:
      return static_cast<std::uint16_t>(f.length + 1);
    default:  // doubles, currency, date-times
      return 8;
  }
  switch (f.type) {
    case 'C':
      return static_cast<std::uint16_t>(f.length + 1);
    case 'D':
      return static_cast<std::uint16_t>(f.length + 3);
    case 'N':
    case 'F':
      return f.decimals == 0 ? 4 : 8;
    case 'L':
      return 1;
    default:
      return 4;
  }
}

std::vector<std::uint32_t> ImageOffsets(const std::vector<FieldEntry>& fields) {
  std::vector<std::uint32_t> offsets;
  offsets.reserve(fields.size() + 1);
  std::uint32_t at = 1;
  for (const FieldEntry& f : fields) {
    offsets.push_back(at);
    at += FieldImageSize(f);
  }
  offsets.push_back(at);
  return offsets;
}

std::uint32_t RecordImageSizeOf(const TableRecord& t) {
  std::uint32_t size = 1;
  for (const FieldEntry& f : t.fields) size += FieldImageSize(f);
  return size;
}

std::string FieldLabel(const FieldEntry& f) {
  return "field " + f.name + " (" + std::string(1, f.type) + " " + std::to_string(f.length) + " " +
         std::to_string(f.decimals) + ")";
}

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\0'; }

// Reads a stored integer (blanks around it allowed); anything unreadable is 0. Values beyond
// 32 bits saturate: the image has only 4 bytes for them.
std::int32_t ParseStoredInteger(const char* text, std::size_t length) {
  std::size_t i = 0;
  while (i < length && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < length && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  std::int64_t value = 0;
  while (i < length && text[i] >= '0' && text[i] <= '9') {
    value = value * 10 + (text[i++] - '0');
    if (value > 0x7FFFFFFFLL + 1) value = 0x7FFFFFFFLL + 1;
  }
  if (negative) value = -value;
  if (value > 0x7FFFFFFF) value = 0x7FFFFFFF;
  return static_cast<std::int32_t>(value);
}

double ParseStoredFloat(const char* text, std::size_t length) {
  std::size_t i = 0;
  while (i < length && IsBlank(text[i])) ++i;
  if (i < length && text[i] == '+') ++i;
  std::size_t end = length;
  while (end > i && IsBlank(text[end - 1])) --end;
  double value = 0;
  const auto result = std::from_chars(text + i, text + end, value);
  return result.ec == std::errc() ? value : 0.0;
}

// Writes text right-aligned into the field; answers false, writing nothing, when it does not
// fit.
bool PutRightAligned(char* field, std::size_t width, const char* text, std::size_t length) {
  if (length > width) return false;
  std::memset(field, ' ', width - length);
  std::memcpy(field + width - length, text, length);
  return true;
}

bool PutInteger(char* field, std::size_t width, std::int64_t value) {
  char digits[24];
  char* end = digits + sizeof digits;
  char* p = end;
  const bool negative = value < 0;
  std::uint64_t magnitude =
      negative ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  do {
    *--p = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (negative) *--p = '-';
  return PutRightAligned(field, width, p, static_cast<std::size_t>(end - p));
}

// Formats a number into its field (which is `f.length` bytes) by the one rule every writer of
// a number field follows (NumberFieldText); answers false, writing nothing, when it is too wide.
bool PutNumber(const FieldEntry& f, double value, char* field) {
  const std::optional<std::string> text = NumberFieldText(value, f.length, f.decimals);
  if (!text) return false;
  std::memcpy(field, text->data(), text->size());
  return true;
}

// The stored date text rearranged into the current style.
std::size_t StoredDateToStyle(const char* stored, char* out) {
  // Separator and order of year, month and day for styles 0 to 3; styles 4 to 8 share the last.
  struct Layout {
    char separator;
    char order[4];
  };
  static constexpr Layout kLayouts[] = {
      {'/', "MDY"}, {'.', "YMD"}, {'/', "DMY"}, {'-', "DMY"}, {'.', "DMY"}};
  const int style = EffectiveDateStyle();
  const Layout& layout = kLayouts[style >= 0 && style <= 3 ? style : 4];
  const bool century = CenturyOn;
  std::size_t n = 0;
  for (int i = 0; i < 3; ++i) {
    if (i > 0) out[n++] = layout.separator;
    const char* part = layout.order[i] == 'M' ? stored + 4 : stored + 6;
    std::size_t length = 2;
    if (layout.order[i] == 'Y') {
      part = century ? stored : stored + 2;
      length = century ? 4 : 2;
    }
    std::memcpy(out + n, part, length);
    n += length;
  }
  return n;
}

// Whether a date text holds nothing but blanks and the separators of one style.
bool IsBlankDateText(std::string_view text) {
  bool only_blanks = true;
  char separator = 0;
  for (char c : text) {
    if (c == ' ' || c == '\0') continue;
    if (c == '/' || c == '-' || c == '.') {
      if (separator != 0 && separator != c) return false;
      separator = c;
      continue;
    }
    only_blanks = false;
  }
  return only_blanks;
}

// Reads `count` digits; answers -1 when any is not a digit.
int Digits(const char* p, int count) {
  int value = 0;
  for (int i = 0; i < count; ++i) {
    if (p[i] < '0' || p[i] > '9') return -1;
    value = value * 10 + (p[i] - '0');
  }
  return value;
}

// The common case without allocations: a complete date in the current style's own layout.
bool FastStyleDateToStored(std::string_view text, char* stored) {
  if (text.size() != 8 && text.size() != 10) return false;
  const int year_digits = text.size() == 10 ? 4 : 2;
  const char* p = text.data();
  const int style = EffectiveDateStyle();
  int year, month, day;
  if (style == 1) {  // YY.MM.DD
    year = Digits(p, year_digits);
    month = Digits(p + year_digits + 1, 2);
    day = Digits(p + year_digits + 4, 2);
  } else {
    const int first = Digits(p, 2);
    const int second = Digits(p + 3, 2);
    year = Digits(p + 6, year_digits);
    month = style == 0 ? first : second;
    day = style == 0 ? second : first;
  }
  if (year < 0 || month < 0 || day < 0) return false;
  if (year_digits == 2) year = ExpandYear(year);
  if (DayNumber(year, month, day) == kBlankDate) return false;
  const int parts[3][2] = {{year, 4}, {month, 2}, {day, 2}};
  char* out = stored;
  for (const auto& [value, width] : parts) {
    int v = value;
    for (int i = width - 1; i >= 0; --i) {
      out[i] = static_cast<char>('0' + v % 10);
      v /= 10;
    }
    out += width;
  }
  return true;
}

std::string StyleDateToStored(std::string_view text) {
  if (IsBlankDateText(text)) return std::string(kBlankStoredDate);
  char stored[9];
  if (FastStyleDateToStored(text, stored)) return std::string(stored, 8);  // fits in SSO
  // A two-digit year is completed by the century rule, as reading a date does.
  const bool century = CenturyOn;
  CenturyOn = true;
  std::string normal(text);
  StyleToMonthDayYear(normal);
  CenturyOn = century;
  return MonthDayYearToStored(normal);
}

}  // namespace

bool NumberFits(const FieldEntry& f, double value) {
  std::vector<char> scratch(f.length);
  return PutNumber(f, value, scratch.data());
}

RecordImage RecordImage::Of(TableRecord& t) {
  if (t.image_offsets.size() != t.fields.size() + 1) t.image_offsets = ImageOffsets(t.fields);
  if (t.image_changed.size() != t.fields.size()) t.image_changed.assign(t.fields.size(), 0);
  return RecordImage(t.fields, t.image_offsets, t.image, &t.image_changed);
}

bool RecordImage::Changed(int n) const {
  return changed_ != nullptr && static_cast<std::size_t>(n - 1) < changed_->size() &&
         (*changed_)[static_cast<std::size_t>(n - 1)] != 0;
}

// The changed flag of a field: 1 set to a value, kChangedToBlank set to none.
constexpr std::uint8_t kChangedToBlank = 2;

void RecordImage::MarkChanged(int n) {
  if (changed_ != nullptr && static_cast<std::size_t>(n - 1) < changed_->size()) {
    (*changed_)[static_cast<std::size_t>(n - 1)] = 1;
  }
}

bool RecordImage::SetBlank(int n) const {
  return changed_ != nullptr && static_cast<std::size_t>(n - 1) < changed_->size() &&
         (*changed_)[static_cast<std::size_t>(n - 1)] == kChangedToBlank;
}

std::string_view RecordImage::Text(int n) const {
  const FieldEntry& f = Field(n);
  const char* slot = Slot(n);
  std::size_t count = static_cast<unsigned char>(slot[0]);
  if (f.type == 'C') {
    if (f.length > 255 && count == 255) count = f.length;  // a wide field's characters
    if (count > f.length) count = f.length;
  } else if (count > static_cast<std::size_t>(f.length) + 2) {
    count = f.length + 2u;
  }
  return std::string_view(slot + 1, count);
}

bool RecordImage::SetText(int n, std::string_view text) {
  const FieldEntry& f = Field(n);
  char* slot = Slot(n);
  if (f.type == 'C') {
    if (text.size() > f.length) text = text.substr(0, f.length);
    // Blank-padded to the full width: the count byte then covers wide fields too.
    slot[0] = static_cast<char>(f.length > 255 ? 255 : f.length);
    std::memset(slot + 1, ' ', f.length);
    std::memcpy(slot + 1, text.data(), text.size());
  } else {
    if (text.size() > std::min<std::size_t>(f.length + 2u, 255)) return false;
    slot[0] = static_cast<char>(text.size());
    std::memcpy(slot + 1, text.data(), text.size());
  }
  MarkChanged(n);
  return true;
}

double RecordImage::Number(int n) const {
  const FieldEntry& f = Field(n);
  const char* slot = Slot(n);
  if (ImageHoldsDouble(f)) {
    double value;
    std::memcpy(&value, slot, sizeof value);
    return value;
  }
  std::int32_t value;
  std::memcpy(&value, slot, sizeof value);
  return value;
}

bool RecordImage::SetNumber(int n, double value) {
  const FieldEntry& f = Field(n);
  char* slot = Slot(n);
  if (ImageHoldsDouble(f) || (f.storage == FieldStorage::kClassic && f.decimals != 0)) {
    std::memcpy(slot, &value, sizeof value);
  } else {
    // A field without decimals stores the number rounded half away from zero (2.5 is 3), as
    // every number is stored; the image slot holds 32 bits.
    if (f.storage == FieldStorage::kClassic) value = RoundDecimal(value, 0);
    if (!(value == std::floor(value) && value >= -2147483648.0 && value <= 2147483647.0)) {
      return false;
    }
    const auto whole = static_cast<std::int32_t>(value);
    std::memcpy(slot, &whole, sizeof whole);
  }
  MarkChanged(n);
  return true;
}

void RecordImage::SetNumberBlank(int n) {
  SetNumber(n, 0);
  if (changed_ != nullptr) (*changed_)[static_cast<std::size_t>(n - 1)] = kChangedToBlank;
}

void RecordImage::SetLogical(int n, bool value) {
  Slot(n)[0] = value ? 1 : 0;
  MarkChanged(n);
}

void RecordImage::SetLogicalBlank(int n) {
  Slot(n)[0] = 0;
  MarkChanged(n);
  if (changed_ != nullptr) (*changed_)[static_cast<std::size_t>(n - 1)] = kChangedToBlank;
}

std::int32_t RecordImage::MemoBlock(int n) const {
  std::int32_t block;
  std::memcpy(&block, Slot(n), sizeof block);
  return block;
}

void RecordImage::SetMemoBlock(int n, std::int32_t block) {
  std::memcpy(Slot(n), &block, sizeof block);
  MarkChanged(n);
}

double RecordImage::Date(int n) const {
  const std::string stored = StyleDateToStored(Text(n));
  return StoredToDayNumber(stored);
}

void RecordImage::SetDate(int n, double day_number) {
  if (day_number == kBlankDate) {
    SetText(n, "");
    return;
  }
  SetText(n, DateTextIn(EffectiveDateStyle(), true, day_number));
}

void RecordImage::SetNull(int n) {
  MarkChanged(n);
  if (changed_ != nullptr) (*changed_)[static_cast<std::size_t>(n - 1)] = kChangedToBlank;
}

double RecordImage::DateTime(int n) const {
  double value;
  std::memcpy(&value, Slot(n), sizeof value);
  return value;
}

void RecordImage::SetDateTime(int n, double day_number) {
  std::memcpy(Slot(n), &day_number, sizeof day_number);
  MarkChanged(n);
}

bool ImageHoldsDouble(const FieldEntry& f) {
  switch (f.storage) {
    case FieldStorage::kClassic:
      return (f.type == 'N' || f.type == 'F') && f.decimals != 0;
    case FieldStorage::kDouble:
    case FieldStorage::kDoubleFlipped:
    case FieldStorage::kCurrency:
      return true;
    default:
      return false;
  }
}

namespace {

// Binary fields to the image: numbers as the image's integer or double, a date-time as a day
// number with the time as its fraction (kBlankDate when blank), V/Q as a count and the bytes.
void BinaryFieldToImage(const TableRecord& t, const FieldEntry& f, const char* record, char* slot) {
  switch (ValueKind(f)) {
    case 'N': {
      const double value = BinaryNumber(f, record).value_or(0);
      if (ImageHoldsDouble(f)) {
        std::memcpy(slot, &value, 8);
      } else {
        const auto whole = static_cast<std::int32_t>(value);
        std::memcpy(slot, &whole, 4);
      }
      break;
    }
    case 'T': {
      const auto value = BinaryDateTime(f, record);
      const double day = value ? value->day_number + value->milliseconds / 86400000.0 : kBlankDate;
      std::memcpy(slot, &day, 8);
      break;
    }
    case 'C': {
      const std::string_view bytes = VaryingBytes(t, f, record);
      slot[0] = static_cast<char>(bytes.size());
      std::memcpy(slot + 1, bytes.data(), bytes.size());
      break;
    }
    default: {
      const std::int32_t block = BinaryMemoBlock(f, record);
      std::memcpy(slot, &block, 4);
      break;
    }
  }
}

// The image to a binary field; false when the number does not fit the field. A field given a
// value is no longer .NULL.
bool BinaryFieldFromImage(const TableRecord& t, const FieldEntry& f, const RecordImage& view, int n,
                          char* record) {
  const bool null = f.null_bit >= 0 && view.SetBlank(n);
  SetFieldNull(t, f, record, null);
  if (null) {
    BlankBinaryField(f, record);
    return true;
  }
  switch (ValueKind(f)) {
    case 'N':
      return PutBinaryNumber(f, record, view.Number(n));
    case 'T': {
      const double day = view.DateTime(n);
      DateTimeValue value{kBlankDate, 0};
      if (day != kBlankDate) {
        value.day_number = std::floor(day);
        value.milliseconds =
            static_cast<std::int32_t>(std::llround((day - value.day_number) * 86400000.0));
        if (value.milliseconds >= 86400000) {
          value.day_number += 1;
          value.milliseconds -= 86400000;
        }
      }
      PutBinaryDateTime(f, record, value);
      return true;
    }
    case 'C':
      PutVaryingBytes(t, f, record, view.Text(n));
      return true;
    default:
      PutBinaryMemoBlock(f, record, view.MemoBlock(n));
      return true;
  }
}

}  // namespace

void GetRecordImage(TableRecord& t) {
  if (t.image == nullptr || t.record.empty()) return;
  const RecordImage view = RecordImage::Of(t);
  const char* record = t.record.data();
  t.image[0] = record[0] == kDeletedFlag ? 1 : 0;
  for (int n = 1; n <= view.FieldCount(); ++n) {
    const FieldEntry& f = view.Field(n);
    const char* field = record + f.offset;
    char* slot = view.Slot(n);
    if (IsBinaryField(f)) {
      BinaryFieldToImage(t, f, record, slot);
      continue;
    }
    switch (f.type) {
      case 'C':
        slot[0] = static_cast<char>(f.length > 255 ? 255 : f.length);
        std::memcpy(slot + 1, field, f.length);
        break;
      case 'D': {
        char text[16];
        const std::size_t count = f.length >= 8 ? StoredDateToStyle(field, text) : 0;
        slot[0] = static_cast<char>(count);
        std::memcpy(slot + 1, text, count);
        break;
      }
      case 'N':
      case 'F':
        if (f.decimals == 0) {
          const std::int32_t value = ParseStoredInteger(field, f.length);
          std::memcpy(slot, &value, 4);
        } else {
          const double value = ParseStoredFloat(field, f.length);
          std::memcpy(slot, &value, 8);
        }
        break;
      case 'L': {
        const char c = f.length > 0 ? field[0] : ' ';
        slot[0] = (c == 'T' || c == 't' || c == 'Y' || c == 'y') ? 1 : 0;
        break;
      }
      default: {
        const std::int32_t block = ParseStoredInteger(field, f.length);
        std::memcpy(slot, &block, 4);
        break;
      }
    }
  }
  t.image_as_read.assign(t.image, t.image + t.image_size);
  t.record_as_read = t.record;
  std::fill(t.image_changed.begin(), t.image_changed.end(), 0);
}

bool PutRecordImage(TableRecord& t, bool all_fields, std::string_view command) {
  if (t.image == nullptr || t.record.empty()) return true;
  const RecordImage view = RecordImage::Of(t);
  // The unchanged fields come from the buffer the image was made from (a failed read since may
  // have left other bytes in the buffer); the copy also keeps the buffer as it was when a value
  // is refused.
  const bool known =
      t.image_as_read.size() == t.image_size && t.record_as_read.size() == t.record.size();
  std::vector<char> record = known ? t.record_as_read : t.record;
  // A flag other writers leave (a NUL for a live record) stays while the state is unchanged.
  if (!known || (t.image[0] != 0) != (record[0] == kDeletedFlag)) {
    record[0] = t.image[0] != 0 ? kDeletedFlag : kLiveFlag;
  }
  for (int n = 1; n <= view.FieldCount(); ++n) {
    const FieldEntry& f = view.Field(n);
    const char* slot = view.Slot(n);
    const std::size_t at = static_cast<std::size_t>(slot - t.image);
    const bool changed = all_fields || !known || view.Changed(n) ||
                         std::memcmp(slot, t.image_as_read.data() + at, FieldImageSize(f)) != 0;
    if (!changed) continue;
    char* field = record.data() + f.offset;
    bool fits = true;
    if (IsBinaryField(f)) {
      if (!BinaryFieldFromImage(t, f, view, n, record.data())) {
        char value[64];
        std::snprintf(value, sizeof value, "%.4f", view.Number(n));
        SetEngineError(220, "Value " + std::string(value) + " does not fit " + FieldLabel(f) +
                                " [" + std::string(command) + "]");
        return false;
      }
      continue;
    }
    if (f.null_bit >= 0) {
      // Visual FoxPro: a field set to no value is .NULL.; one given a value no longer is. A
      // .NULL. field shows as blank: set to that same image, it stays .NULL.
      if (known && !view.SetBlank(n) && FieldIsNull(t, f, record.data()) &&
          std::memcmp(slot, t.image_as_read.data() + at, FieldImageSize(f)) == 0) {
        continue;
      }
      const bool null = view.SetBlank(n);
      SetFieldNull(t, f, record.data(), null);
      if (null) {
        std::memset(field, ' ', f.length);
        continue;
      }
    }
    switch (f.type) {
      case 'C': {
        const std::string_view text = view.Text(n);
        std::memcpy(field, text.data(), text.size());
        std::memset(field + text.size(), ' ', f.length - text.size());
        break;
      }
      case 'D': {
        const std::string stored = StyleDateToStored(view.Text(n));
        std::memset(field, ' ', f.length);
        std::memcpy(field, stored.data(), f.length < 8 ? f.length : 8);
        break;
      }
      case 'N':
      case 'F':
        // Set to no value, and no number written into the image since: blanks.
        if (view.SetBlank(n) && view.Number(n) == 0) {
          std::memset(field, ' ', f.length);
        } else {
          fits = PutNumber(f, view.Number(n), field);
        }
        break;
      case 'L':
        // Set to no value, and not set again since: a blank. Any value written into the
        // image since (by a caller that writes the bytes) is taken.
        if (f.length > 0) {
          field[0] = view.SetBlank(n) && !view.Logical(n) ? ' ' : view.Logical(n) ? 'T' : 'F';
        }
        break;
      default: {
        const std::int32_t block = view.MemoBlock(n);
        if (block == 0) {
          std::memset(field, ' ', f.length);
        } else {
          fits = PutInteger(field, f.length, block);
        }
        break;
      }
    }
    if (!fits) {
      char value[64];
      std::snprintf(value, sizeof value, "%.*f", f.decimals > 20 ? 20 : int{f.decimals},
                    view.Number(n));
      SetEngineError(220, "Value " + std::string(value) + " does not fit " + FieldLabel(f) + " [" +
                              std::string(command) + "]");
      return false;
    }
  }
  t.record = std::move(record);
  return true;
}

}  // namespace vx
