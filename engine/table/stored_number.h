#pragma once
// The number an N or F field's stored bytes hold, read one way for every reader (records,
// blocks, dumps, exports): what the digits say, or nothing.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vx {

struct StoredNumber {
  std::string_view digits;  // the stored text without the padding around it
  bool whole = false;       // no fraction digits, no exponent, and within 64 bits: `integer`
  std::int64_t integer = 0;
  double real = 0;  // the value (also when whole)
};

// Blanks and NUL bytes around the digits are padding (dBASE pads with blanks, some writers with
// NULs); then an optional sign, digits with at most one decimal point (a trailing point, as in
// "1234.", is allowed), an optional exponent. Nothing when the bytes hold no number: blanks,
// the overflow mark "***", other bytes, or a value beyond a double.
std::optional<StoredNumber> ReadStoredNumber(std::string_view stored);

// The number a text spells (padding, sign, point and exponent as ReadStoredNumber takes them,
// whatever its size) as a plain decimal that is a valid JSON number: "1234." gives "1234",
// "-.5" gives "-0.5", "+7" gives "7"; fraction digits and an exponent are kept as written.
// Nothing when the text spells no number.
std::optional<std::string> NumberJson(std::string_view text);
// The same for stored bytes: nothing when ReadStoredNumber finds no number (so also for one
// beyond a double), as every other reader of the field.
std::optional<std::string> StoredNumberJson(std::string_view stored);

}  // namespace vx
