#include "engine/index/key_codec.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "engine/foundation/number_text.h"

namespace vx {

int CompareCharKeys(const std::uint8_t* a, const std::uint8_t* b, int length) {
  // Eight bytes at a time past the prefix keys share (every insert and search compares keys
  // that begin alike), then byte by byte inside the first word that differs.
  int i = 0;
  for (; i + 8 <= length; i += 8) {
    std::uint64_t x, y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    if (x != y) break;
  }
  for (; i < length; ++i) {
    if (a[i] != b[i]) return static_cast<int>(a[i]) - static_cast<int>(b[i]);
  }
  return 0;
}

int CompareCharKeysDescending(const std::uint8_t* a, const std::uint8_t* b, int length) {
  return CompareCharKeys(b, a, length);
}

int CompareSignedCharKeys(const std::uint8_t* a, const std::uint8_t* b, int length) {
  for (int i = 0; i < length; ++i) {
    if (a[i] != b[i]) return static_cast<std::int8_t>(a[i]) - static_cast<std::int8_t>(b[i]);
  }
  return 0;
}

int CompareSignedCharKeysDescending(const std::uint8_t* a, const std::uint8_t* b, int length) {
  return CompareSignedCharKeys(b, a, length);
}

int ComparePackedKeys(const std::uint8_t* a, const std::uint8_t* b, int /*length*/) {
  const bool a_negative = (a[1] & 0x80) != 0;
  const bool b_negative = (b[1] & 0x80) != 0;
  if (a_negative != b_negative) return a_negative ? -1 : 1;
  const int a_digits = (a[1] >> 2) & 0x1F;
  const int b_digits = (b[1] >> 2) & 0x1F;
  const int a_exponent = a_digits == 0 ? 0 : a[0];
  const int b_exponent = b_digits == 0 ? 0 : b[0];
  if (a_exponent != b_exponent) {
    const int by_exponent = a_exponent > b_exponent ? 1 : -1;
    return a_negative ? -by_exponent : by_exponent;
  }
  // Digit bytes beyond 10 would leave the key; a damaged digit count stays inside it.
  int bytes = (std::max(a_digits, b_digits) + 1) / 2;
  if (bytes > 10) bytes = 10;
  const int by_digits =
      a_negative ? CompareCharKeys(b + 2, a + 2, bytes) : CompareCharKeys(a + 2, b + 2, bytes);
  return by_digits;
}

int ComparePackedKeysDescending(const std::uint8_t* a, const std::uint8_t* b, int length) {
  return ComparePackedKeys(b, a, length);
}

int CompareDoubleKeys(const std::uint8_t* a, const std::uint8_t* b, int /*length*/) {
  const double x = KeyDouble(a);
  const double y = KeyDouble(b);
  if (x < y) return -1;
  if (x > y) return 1;
  return 0;
}

int CompareDoubleKeysDescending(const std::uint8_t* a, const std::uint8_t* b, int length) {
  return CompareDoubleKeys(b, a, length);
}

KeyComparator ChooseComparator(char header_type, char result_type, bool descending) {
  if (header_type == 'N' || header_type == 'F') {
    return descending ? ComparePackedKeysDescending : ComparePackedKeys;
  }
  if (result_type == 'C') return descending ? CompareCharKeysDescending : CompareCharKeys;
  if (result_type == 'D' || result_type == 'F' || result_type == 'N') {
    return descending ? CompareDoubleKeysDescending : CompareDoubleKeys;
  }
  return nullptr;
}

PackedDecimal TextToPacked(std::string_view text, int decimals) {
  PackedDecimal out{};
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  while (i < text.size() && (text[i] == ' ' || text[i] == '0')) ++i;
  char digits[20];
  int count = 0;           // digits packed
  int integer_digits = 0;  // significant digits before the point
  int leading_zeros = 0;   // zeros between the point and the first significant digit
  bool point = false;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '.' && !point) {
      point = true;
      continue;
    }
    if (c < '0' || c > '9') break;
    if (count == 0 && c == '0') {
      if (point) ++leading_zeros;
      continue;
    }
    if (count < 20) digits[count++] = c;
    if (!point) ++integer_digits;
  }
  int trailing = 0;
  while (trailing < count && digits[count - 1 - trailing] == '0') ++trailing;
  // Trailing zeros written among fewer than `decimals` decimals are kept as digits; otherwise
  // they go, and a short digit count is raised to 10.
  const bool keep_zeros = point && trailing < decimals;
  int significant = keep_zeros ? count : count - trailing;
  if (count - trailing == 0) significant = 0;
  if (significant > 0 && significant < 10 && !keep_zeros) significant = 10;
  if (significant == 0) {
    out[0] = 52;
    out[1] = 1;
    return out;
  }
  const int exponent = integer_digits > 0 ? 52 + integer_digits : 52 - leading_zeros;
  out[0] = static_cast<std::uint8_t>(std::clamp(exponent, 0, 255));
  out[1] = static_cast<std::uint8_t>((negative ? 0x80 : 0) | (significant << 2) | 1);
  for (int d = 0; d < count; ++d) {
    const auto nibble = static_cast<std::uint8_t>(digits[d] - '0');
    out[2 + d / 2] |= static_cast<std::uint8_t>(d % 2 == 0 ? nibble << 4 : nibble);
  }
  return out;
}

PackedDecimal DoubleToPacked(double value, int decimals) {
  if (decimals < 0) decimals = 0;
  if (decimals > 18) decimals = 18;
  if (!std::isfinite(value)) value = 0;
  // Rounded as STR rounds (half away from zero on the decimal value). Large values print every
  // integer digit; only the first 20 are kept, the rest count towards the exponent.
  const std::string text = FixedText(value, decimals);
  if (text.empty()) return TextToPacked("0", 0);
  return TextToPacked(text, decimals);
}

double PackedToDouble(const std::uint8_t* p) {
  const int digits = (p[1] >> 2) & 0x1F;
  if (digits == 0) return 0;
  double mantissa = 0;
  const int used = digits > 20 ? 20 : digits;
  for (int d = 0; d < used; ++d) {
    const int nibble = d % 2 == 0 ? p[2 + d / 2] >> 4 : p[2 + d / 2] & 0x0F;
    mantissa = mantissa * 10 + nibble;
  }
  const int exponent = static_cast<int>(p[0]) - 52 - used;
  const double value = mantissa * std::pow(10.0, exponent);
  return (p[1] & 0x80) != 0 ? -value : value;
}

std::array<std::uint8_t, 8> DoubleKey(double value) {
  std::array<std::uint8_t, 8> out{};
  std::uint64_t bits;
  std::memcpy(&bits, &value, 8);
  for (int i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(bits >> (8 * i));
  return out;
}

double KeyDouble(const std::uint8_t* key) {
  std::uint64_t bits = 0;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(&bits, key, 8);  // the key's byte order: one load
  } else {
    for (int i = 0; i < 8; ++i) bits |= static_cast<std::uint64_t>(key[i]) << (8 * i);
  }
  double value;
  std::memcpy(&value, &bits, 8);
  return value;
}

namespace {

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

std::string NormalizeKeyExpression(std::string_view text) {
  std::string out;
  char quote = 0;
  for (char c : text) {
    if (quote != 0) {
      if (c == quote) {
        out += '"';
        quote = 0;
      } else {
        out += c;
      }
    } else if (c == '"' || c == '\'') {
      quote = c;
      out += '"';
    } else if (c != ' ' && c != '\t') {
      out += Upper(c);
    }
  }
  return out;
}

std::string NormalizeMarkerText(std::string_view text) {
  std::string out;
  char quote = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quote != 0) {
      out += c;
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
      out += c;
    } else if (c == ' ' || c == '\t') {
      const char next = i + 1 < text.size() ? text[i + 1] : '\0';
      if (next != '\0' && next != ' ' && next != '\t' && next != '"' && next != '\'' &&
          next != '=') {
        out += ' ';
      }
    } else {
      out += Upper(c);
    }
  }
  return out;
}

}  // namespace vx
