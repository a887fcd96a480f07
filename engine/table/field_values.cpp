#include "engine/table/field_values.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/foundation/dates.h"
#include "engine/foundation/errors.h"
#include "engine/foundation/number_text.h"

namespace vx {

namespace {

constexpr double kMillisecondsPerDay = 86400000.0;
// Level 7 timestamps count milliseconds from 1 January of year 1 as day 1.
constexpr double kTimestampEpoch = kFirstDayNumber - 1;

std::uint32_t LoadLe32(const char* p) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(p[i]);
  return v;
}
std::uint64_t LoadLe64(const char* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(p[i]);
  return v;
}
std::uint64_t LoadBe(const char* p, int size) {
  std::uint64_t v = 0;
  for (int i = 0; i < size; ++i) v = v << 8 | static_cast<unsigned char>(p[i]);
  return v;
}
void StoreLe(char* p, std::uint64_t v, int size) {
  for (int i = 0; i < size; ++i, v >>= 8) p[i] = static_cast<char>(v & 0xFF);
}
void StoreBe(char* p, std::uint64_t v, int size) {
  for (int i = size - 1; i >= 0; --i, v >>= 8) p[i] = static_cast<char>(v & 0xFF);
}

bool AllBytes(const char* p, std::size_t n, char c) {
  for (std::size_t i = 0; i < n; ++i) {
    if (p[i] != c) return false;
  }
  return true;
}

// Level 7 doubles sort as their bytes: a positive value has its sign bit set, a negative one
// every bit inverted.
double UnflipDouble(std::uint64_t bits) {
  bits = (bits & 0x8000000000000000ULL) != 0 ? bits & 0x7FFFFFFFFFFFFFFFULL : ~bits;
  return std::bit_cast<double>(bits);
}
std::uint64_t FlipDouble(double value) {
  if (value == 0) value = 0;  // -0 stores as 0
  const auto bits = std::bit_cast<std::uint64_t>(value);
  return (bits & 0x8000000000000000ULL) != 0 ? ~bits : bits | 0x8000000000000000ULL;
}

bool BitSet(const TableRecord& t, int bit, const char* record) {
  if (bit < 0 || t.null_flags_length == 0 || bit / 8 >= t.null_flags_length) return false;
  return (static_cast<unsigned char>(record[t.null_flags_offset + bit / 8]) >> (bit % 8) & 1) != 0;
}
void SetBit(const TableRecord& t, int bit, char* record, bool on) {
  if (bit < 0 || t.null_flags_length == 0 || bit / 8 >= t.null_flags_length) return;
  auto& byte = reinterpret_cast<unsigned char&>(record[t.null_flags_offset + bit / 8]);
  byte = static_cast<unsigned char>(on ? byte | 1u << (bit % 8) : byte & ~(1u << (bit % 8)));
}

// The fewest significant digits that read back as the same double, without an exponent
// where plain digits are short enough.
void ShortestNumberText(double value, char* out, std::size_t size) {
  int digits = 1;
  for (; digits < 17; ++digits) {
    std::snprintf(out, size, "%.*g", digits, value);
    if (std::strtod(out, nullptr) == value) break;
  }
  std::snprintf(out, size, "%.*g", digits, value);
  const double magnitude = std::fabs(value);
  if (std::strchr(out, 'e') != nullptr && magnitude >= 1e-4 && magnitude < 1e17) {
    const int exponent = static_cast<int>(std::floor(std::log10(magnitude)));
    std::snprintf(out, size, "%.*f", std::max(0, digits - 1 - exponent), value);
  }
}

}  // namespace

char ValueKind(const FieldEntry& f) {
  switch (f.storage) {
    case FieldStorage::kClassic:
      return f.type == 'F' ? 'N' : f.type;
    case FieldStorage::kInt32:
    case FieldStorage::kInt32Flipped:
    case FieldStorage::kDouble:
    case FieldStorage::kDoubleFlipped:
    case FieldStorage::kCurrency:
      return 'N';
    case FieldStorage::kDateTime:
    case FieldStorage::kTimestamp:
      return 'T';
    case FieldStorage::kVarchar:
    case FieldStorage::kVarbinary:
      return 'C';
    case FieldStorage::kBinaryMemo:
      return 'M';
  }
  return f.type;
}

bool FieldIsNull(const TableRecord& t, const FieldEntry& f, const char* record) {
  return BitSet(t, f.null_bit, record);
}

void SetFieldNull(const TableRecord& t, const FieldEntry& f, char* record, bool null) {
  SetBit(t, f.null_bit, record, null);
}

std::optional<double> BinaryNumber(const FieldEntry& f, const char* record) {
  const char* p = record + f.offset;
  switch (f.storage) {
    case FieldStorage::kInt32:
      return static_cast<double>(static_cast<std::int32_t>(LoadLe32(p)));
    case FieldStorage::kInt32Flipped:
      if (AllBytes(p, 4, 0)) return std::nullopt;
      return static_cast<double>(
          static_cast<std::int32_t>(static_cast<std::uint32_t>(LoadBe(p, 4)) ^ 0x80000000u));
    case FieldStorage::kDouble:
      return std::bit_cast<double>(LoadLe64(p));
    case FieldStorage::kDoubleFlipped:
      if (AllBytes(p, 8, 0)) return std::nullopt;
      return UnflipDouble(LoadBe(p, 8));
    case FieldStorage::kCurrency:
      return static_cast<double>(static_cast<std::int64_t>(LoadLe64(p))) / 10000.0;
    default:
      return std::nullopt;
  }
}

bool PutBinaryNumber(const FieldEntry& f, char* record, double value) {
  char* p = record + f.offset;
  switch (f.storage) {
    case FieldStorage::kInt32:
    case FieldStorage::kInt32Flipped: {
      if (!(value == std::floor(value) && value >= -2147483648.0 && value <= 2147483647.0)) {
        return false;
      }
      const auto bits = static_cast<std::uint32_t>(static_cast<std::int32_t>(value));
      if (f.storage == FieldStorage::kInt32) {
        StoreLe(p, bits, 4);
      } else {
        StoreBe(p, bits ^ 0x80000000u, 4);
      }
      return true;
    }
    case FieldStorage::kDouble:
      if (!std::isfinite(value)) return false;
      StoreLe(p, std::bit_cast<std::uint64_t>(value), 8);
      return true;
    case FieldStorage::kDoubleFlipped:
      if (!std::isfinite(value)) return false;
      StoreBe(p, FlipDouble(value), 8);
      return true;
    case FieldStorage::kCurrency: {
      // Four decimals, rounded as every stored number is (12.34565 is 12.3457).
      const double scaled = std::round(RoundDecimal(value, 4) * 10000.0);
      if (!(scaled >= -9.2233720368547e18 && scaled <= 9.2233720368547e18)) return false;
      StoreLe(p, static_cast<std::uint64_t>(static_cast<std::int64_t>(scaled)), 8);
      return true;
    }
    default:
      return false;
  }
}

std::optional<DateTimeValue> BinaryDateTime(const FieldEntry& f, const char* record) {
  const char* p = record + f.offset;
  if (AllBytes(p, 8, 0) || AllBytes(p, 8, ' ')) return std::nullopt;
  if (f.storage == FieldStorage::kDateTime) {
    const auto day = static_cast<std::int32_t>(LoadLe32(p));
    const auto ms = static_cast<std::int32_t>(LoadLe32(p + 4));
    if (day <= 0) return std::nullopt;
    return DateTimeValue{static_cast<double>(day), ms};
  }
  if (f.storage != FieldStorage::kTimestamp) return std::nullopt;
  // A plain big-endian double, as dBASE writes it, or with the sign bit flipped, as some
  // libraries (and this engine once) wrote it: a timestamp is never negative, so the sign bit
  // tells them apart.
  std::uint64_t bits = LoadBe(p, 8);
  bits &= 0x7FFFFFFFFFFFFFFFULL;
  const double ms = std::bit_cast<double>(bits);
  if (!std::isfinite(ms) || ms <= 0) return std::nullopt;
  const double days = std::floor(ms / kMillisecondsPerDay);
  return DateTimeValue{kTimestampEpoch + days,
                       static_cast<std::int32_t>(std::llround(ms - days * kMillisecondsPerDay))};
}

void PutBinaryDateTime(const FieldEntry& f, char* record, const DateTimeValue& value) {
  char* p = record + f.offset;
  if (value.day_number == kBlankDate) {
    std::memset(p, 0, 8);
    return;
  }
  if (f.storage == FieldStorage::kDateTime) {
    StoreLe(p, static_cast<std::uint32_t>(static_cast<std::int32_t>(value.day_number)), 4);
    StoreLe(p + 4, static_cast<std::uint32_t>(value.milliseconds), 4);
    return;
  }
  // A plain big-endian double, as dBASE's own level 7 tables hold it (never negative, so its
  // sign bit is clear; the reader also takes the form with the sign bit flipped).
  const double ms = (value.day_number - kTimestampEpoch) * kMillisecondsPerDay + value.milliseconds;
  StoreBe(p, std::bit_cast<std::uint64_t>(ms), 8);
}

std::string DateTimeText(const DateTimeValue& value) {
  YearMonthDay ymd;
  if (!SplitDayNumber(value.day_number, ymd)) return {};
  const int ms = value.milliseconds;
  char text[40];
  int n = std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", ymd.year, ymd.month,
                        ymd.day, ms / 3600000 % 100, ms / 60000 % 60, ms / 1000 % 60);
  if (ms % 1000 != 0) std::snprintf(text + n, sizeof text - n, ".%03d", ms % 1000);
  return text;
}

std::optional<DateTimeValue> ParseDateTimeText(std::string_view text) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, ms = 0;
  const std::string copy(text.substr(0, 40));
  char t = 0;
  int used = 0;
  const int got =
      std::sscanf(copy.c_str(), "%4d-%2d-%2d%n%c%2d:%2d:%2d", &y, &mo, &d, &used, &t, &h, &mi, &s);
  if (got < 3) return std::nullopt;
  std::size_t end = static_cast<std::size_t>(used);
  if (got > 3) {
    if ((t != 'T' && t != ' ') || got < 7 || h > 23 || mi > 59 || s > 59) return std::nullopt;
    end = copy.find_first_not_of("0123456789:", static_cast<std::size_t>(used) + 1);
    if (end != std::string::npos && copy[end] == '.') {
      const std::string frac = copy.substr(end + 1, 3);
      if (frac.empty() || frac.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
      }
      ms = std::stoi(frac) * (frac.size() == 1 ? 100 : frac.size() == 2 ? 10 : 1);
      end += 1 + frac.size();
    }
  }
  if (end != std::string::npos && end < copy.size()) return std::nullopt;
  const double day = DayNumber(y, mo, d);
  if (day == kBlankDate) return std::nullopt;
  return DateTimeValue{day, ((h * 60 + mi) * 60 + s) * 1000 + ms};
}

std::string_view VaryingBytes(const TableRecord& t, const FieldEntry& f, const char* record) {
  const char* p = record + f.offset;
  std::size_t size = f.length;
  if (BitSet(t, f.varying_bit, record) && f.length > 0) {
    size = std::min<std::size_t>(static_cast<unsigned char>(p[f.length - 1]), f.length - 1u);
  }
  return {p, size};
}

void PutVaryingBytes(const TableRecord& t, const FieldEntry& f, char* record,
                     std::string_view bytes) {
  char* p = record + f.offset;
  if (bytes.size() > f.length) bytes = bytes.substr(0, f.length);
  const bool full = bytes.size() == f.length || f.varying_bit < 0;
  std::memset(p, f.storage == FieldStorage::kVarbinary ? 0 : ' ', f.length);
  if (!bytes.empty()) std::memcpy(p, bytes.data(), bytes.size());
  if (!full) p[f.length - 1] = static_cast<char>(bytes.size());  // padded as above
  SetBit(t, f.varying_bit, record, !full);
}

std::int32_t BinaryMemoBlock(const FieldEntry& f, const char* record) {
  const char* p = record + f.offset;
  if (AllBytes(p, 4, ' ')) return 0;
  const auto block = static_cast<std::int32_t>(LoadLe32(p));
  return block > 0 ? block : 0;
}

void PutBinaryMemoBlock(const FieldEntry& f, char* record, std::int32_t block) {
  StoreLe(record + f.offset, static_cast<std::uint32_t>(block < 0 ? 0 : block), 4);
}

std::string BinaryFieldText(const TableRecord& t, const FieldEntry& f, const char* record,
                            bool* has_value) {
  std::string text;
  bool value = false;
  switch (ValueKind(f)) {
    case 'N':
      if (const auto number = BinaryNumber(f, record)) {
        char buffer[64];
        if (f.storage == FieldStorage::kCurrency) {
          std::snprintf(buffer, sizeof buffer, "%.4f", *number);
        } else if (f.storage == FieldStorage::kInt32 || f.storage == FieldStorage::kInt32Flipped) {
          std::snprintf(buffer, sizeof buffer, "%.0f", *number);
        } else {
          ShortestNumberText(*number, buffer, sizeof buffer);
        }
        text = buffer;
        value = true;
      }
      break;
    case 'T':
      if (const auto dt = BinaryDateTime(f, record)) {
        text = DateTimeText(*dt);
        value = !text.empty();
      }
      break;
    case 'C':
      text = std::string(VaryingBytes(t, f, record));
      value = true;
      break;
    default:
      break;
  }
  if (has_value != nullptr) *has_value = value;
  return text;
}

bool HoldsBytes(const FieldEntry& f) {
  if (f.storage == FieldStorage::kVarbinary) return true;
  if (f.storage == FieldStorage::kBinaryMemo) {
    return f.letter == 'G' || f.letter == 'W' || f.letter == 'P' || (f.flags & kFieldBinary) != 0;
  }
  return false;
}

void BlankBinaryField(const FieldEntry& f, char* record) {
  const bool text = f.storage == FieldStorage::kVarchar;
  std::memset(record + f.offset, text ? ' ' : 0, f.length);
}

bool IsAutoincrement(const TableRecord& t, const FieldEntry& f) {
  if (t.IsLevel7()) return f.type == '+';
  return t.IsVisualFoxPro() && f.storage == FieldStorage::kInt32 &&
         (f.flags & kFieldAutoincrement) != 0;
}

bool AssignAutoincrements(TableRecord& t) {
  for (const FieldEntry& f : t.fields) {
    if (!IsAutoincrement(t, f) || f.descriptor_at == 0) continue;
    // Level 7: the next value at descriptor byte 42. Visual FoxPro: at byte 19, the step at 23.
    const std::uint64_t at = f.descriptor_at + (t.IsLevel7() ? 42u : 19u);
    std::array<std::byte, 5> bytes{};
    std::size_t got = 0;
    int io = t.file.ReadAt(at, std::span(bytes), got);
    if (io == 0 && got < bytes.size()) io = 100;
    if (io != 0) {
      SetEngineError(
          static_cast<std::uint16_t>(io),
          "Error reading the counter of field " + f.name + " in " + t.file_name + " [APPEND]");
      return false;
    }
    const char* raw = reinterpret_cast<const char*>(bytes.data());
    const auto next = static_cast<std::int32_t>(LoadLe32(raw));
    const int step = t.IsLevel7() ? 1 : static_cast<unsigned char>(raw[4]);
    PutBinaryNumber(f, t.record.data(), next);
    SetFieldNull(t, f, t.record.data(), false);
    char counter[4];
    StoreLe(counter, static_cast<std::uint32_t>(next + (step == 0 ? 1 : step)), 4);
    io = t.file.WriteAt(at, std::as_bytes(std::span(counter)));
    if (io != 0) {
      SetEngineError(
          static_cast<std::uint16_t>(io),
          "Error writing the counter of field " + f.name + " in " + t.file_name + " [APPEND]");
      return false;
    }
  }
  return true;
}

void BlankNewRecordFields(TableRecord& t) {
  if (t.null_flags_length != 0 &&
      static_cast<std::size_t>(t.null_flags_offset) + t.null_flags_length <= t.record.size()) {
    std::memset(t.record.data() + t.null_flags_offset, 0, t.null_flags_length);
  }
  for (const FieldEntry& f : t.fields) {
    if (!IsBinaryField(f) || static_cast<std::size_t>(f.offset) + f.length > t.record.size()) {
      continue;
    }
    BlankBinaryField(f, t.record.data());
    // A V or Q field that can say its length starts empty, as Visual FoxPro's do.
    if (f.varying_bit >= 0) PutVaryingBytes(t, f, t.record.data(), {});
  }
}

}  // namespace vx
