#include "engine/workarea/field_input.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "engine/foundation/dates.h"
#include "engine/table/field_values.h"
#include "engine/table/stored_number.h"
#include "platform/os/codepage.h"

namespace vx {

std::optional<std::string> JsonNumber(std::string_view stored) {
  return NumberJson(stored);
}

std::string QuotedValue(std::string_view text) {
  constexpr std::size_t kLimit = 60;
  if (text.size() <= kLimit) return "\"" + std::string(text) + "\"";
  std::size_t cut = kLimit;
  // Back to the first byte of a UTF-8 sequence (continuation bytes are 10xxxxxx).
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return "\"" + std::string(text.substr(0, cut)) + "...\"";
}

std::string LongerThanField(std::string_view text, std::size_t stored_bytes,
                            const std::string& where) {
  const auto characters = static_cast<std::size_t>(std::count_if(
      text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
  if (characters == stored_bytes) return QuotedValue(text) + " is longer than " + where;
  return QuotedValue(text) + " (" + std::to_string(stored_bytes) +
         " bytes in the table's code page) is longer than " + where;
}

namespace {

bool ParseDate(const std::string& text, double& day_number) {
  std::string digits;
  if (text.size() == 10 && text[4] == '-' && text[7] == '-') {
    digits = text.substr(0, 4) + text.substr(5, 2) + text.substr(8, 2);
  } else if (text.size() == 8) {
    digits = text;
  } else {
    return false;
  }
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
  }
  day_number = StoredToDayNumber(digits);
  return day_number != kBlankDate;
}

// Q values are written in hexadecimal, as dump prints them.
bool ParseHex(const std::string& text, std::string& bytes) {
  const auto digit = [](char c) {
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : -1;
  };
  if (text.size() % 2 != 0) return false;
  bytes.clear();
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int high = digit(text[i]), low = digit(text[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes += static_cast<char>(high * 16 + low);
  }
  return true;
}

// The binary kinds (I, +, B, O, Y, T, @, V, Q): null (or an empty value) is .NULL. in a field
// that may be null, else the blank of the kind.
std::string PutBinaryValue(const TextValue& v, RecordImage& image, int n) {
  const FieldEntry& f = image.Field(n);
  const std::string where = FieldLabel(f);
  const std::string& text = v.text;
  if ((v.is_null || text.empty()) && f.null_bit >= 0) {
    image.SetNull(n);
    return {};
  }
  switch (ValueKind(f)) {
    case 'N': {
      double value = 0;
      if (!v.is_null && !text.empty()) {
        const auto number = JsonNumber(text);
        if (!number) return QuotedValue(text) + " is not a number for " + where;
        value = std::strtod(number->c_str(), nullptr);
      }
      std::vector<char> probe(static_cast<std::size_t>(f.offset) + f.length);
      if (!std::isfinite(value) || !PutBinaryNumber(f, probe.data(), value)) {
        return QuotedValue(text) + " does not fit " + where;
      }
      image.SetNumber(n, value);
      break;
    }
    case 'T': {
      double day = kBlankDate;
      if (!v.is_null && !text.empty()) {
        const auto value = ParseDateTimeText(text);
        if (!value) {
          return QuotedValue(text) + " is no date-time (YYYY-MM-DDTHH:MM:SS) for " + where;
        }
        day = value->day_number + value->milliseconds / 86400000.0;
      }
      image.SetDateTime(n, day);
      break;
    }
    default: {
      std::string bytes = v.is_null ? std::string() : v.stored;
      if (f.storage == FieldStorage::kVarbinary && !v.is_null && !ParseHex(text, bytes)) {
        return QuotedValue(text) + " is no hexadecimal bytes for " + where;
      }
      if (bytes.size() > f.length) return QuotedValue(text) + " is longer than " + where;
      image.SetText(n, bytes);
      break;
    }
  }
  return {};
}

}  // namespace

bool TextGoesToMemo(const FieldEntry& f, const TextValue& v) {
  if (IsBinaryField(f) && ValueKind(f) != 'M') return false;
  if (v.is_null && f.null_bit >= 0) return false;
  return f.type != 'C' && f.type != 'N' && f.type != 'F' && f.type != 'L' && f.type != 'D';
}

std::string PutFieldText(RecordImage& image, int n, const TextValue& v) {
  const FieldEntry& f = image.Field(n);
  const std::string where = FieldLabel(f);
  const std::string& text = v.text;
  if (IsBinaryField(f) && ValueKind(f) != 'M') return PutBinaryValue(v, image, n);
  if (v.is_null && f.null_bit >= 0) {
    image.SetNull(n);
    return {};
  }
  switch (f.type) {
    case 'C': {
      if (v.stored.size() > f.length) return LongerThanField(text, v.stored.size(), where);
      image.SetText(n, v.stored);
      break;
    }
    case 'N':
    case 'F': {
      double value = 0;
      if (!v.is_null && !text.empty()) {
        const auto number = JsonNumber(text);
        if (!number) return QuotedValue(text) + " is not a number for " + where;
        value = std::strtod(number->c_str(), nullptr);
        if (!std::isfinite(value)) return QuotedValue(text) + " is out of range";
      }
      if (!image.SetNumber(n, value)) {
        return QuotedValue(text) + " is no whole number of 32 bits for " + where;
      }
      // Checked with the other values, before anything is written.
      if (!NumberFits(f, value)) return QuotedValue(text) + " does not fit " + where;
      break;
    }
    case 'L': {
      std::string upper = os::AnsiUpperText(text);
      if (v.is_null || upper.empty() || upper == "?") {
        image.SetLogicalBlank(n);  // no value: a blank, as dBASE leaves it
      } else if (upper == "T" || upper == "TRUE" || upper == "Y" || upper == "YES" ||
                 upper == "1") {
        image.SetLogical(n, true);
      } else if (upper == "F" || upper == "FALSE" || upper == "N" || upper == "NO" ||
                 upper == "0") {
        image.SetLogical(n, false);
      } else {
        return QuotedValue(text) + " is not a logical value for " + where;
      }
      break;
    }
    case 'D': {
      double day_number = kBlankDate;
      if (!v.is_null && !text.empty() && !ParseDate(text, day_number)) {
        return QuotedValue(text) + " is no date (YYYY-MM-DD or YYYYMMDD) for " + where;
      }
      image.SetDate(n, day_number);
      break;
    }
    default:
      break;  // memo text is the caller's
  }
  return {};
}

}  // namespace vx
