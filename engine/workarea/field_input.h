#pragma once
// The rules by which a value given as text becomes a field's value, for every writer that takes
// values as text (vxdbf's append and set, the browser's paste): a character value no longer
// than the field, a number in plain decimal form that fits the field's width, a date as
// YYYY-MM-DD or YYYYMMDD, a logical as T/F, Y/N, TRUE/FALSE, YES/NO or 1/0 (empty or "?" for
// none), the binary kinds by their own forms. A value that breaks a rule is refused in words
// naming the value and the field; the caller then writes nothing of the record.

#include <optional>
#include <string>
#include <string_view>

#include "engine/workarea/record_image.h"

namespace vx {

// One value as given.
struct TextValue {
  std::string text{};    // as given (UTF-8): numbers, dates, logicals, and for messages
  bool is_null = false;  // no value at all (JSON null)
  std::string stored{};  // character and memo text already in the table's code page
};

// The number a text holds in the plain decimal form (optional sign, digits, optional fraction
// and exponent; blanks and NULs around are ignored) written as JSON writes numbers, or nothing
// when it is blank or not a number (NumberJson). Stored bytes are read by StoredNumberJson. "+1.5" gives "1.5", ".5" gives "0.5", "007" gives "7", "5." gives
// "5"; a field filled with "*" gives nothing.
std::optional<std::string> JsonNumber(std::string_view stored);

// `text` in double quotes, cut after 60 bytes (at a character's start) with "...".
std::string QuotedValue(std::string_view text);
// The refusal of `text` (UTF-8) whose `stored_bytes` in the table's page are more than the
// field `where` holds: "... is longer than FIELD", saying how many bytes when the page stores
// some of its characters in more than one (UTF-8, 932, 936).
std::string LongerThanField(std::string_view text, std::size_t stored_bytes,
                            const std::string& where);

// Whether the value is memo text, which the caller stores in the memo file (PutFieldText
// leaves memo fields alone).
bool TextGoesToMemo(const FieldEntry& field, const TextValue& value);

// Writes `value` into field n of `image` by the rules above; answers "" or the problem
// ("\"12345\" does not fit field YEAR (N 4 0)"). A null value in a field that may be null
// sets it to .NULL.
std::string PutFieldText(RecordImage& image, int n, const TextValue& value);

}  // namespace vx
