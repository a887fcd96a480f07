#pragma once
// Reading numbers out of text, as numeric literals, numeric fields and VAL read them.

#include <string_view>

namespace vx::expr {

// The number at the start of `text`: leading blanks, an optional sign, digits with an optional
// fraction, and an optional exponent ("E" with an optional sign and digits). Whatever follows is
// ignored; text that does not start with a number gives 0.
double LeadingNumber(std::string_view text);

}  // namespace vx::expr
