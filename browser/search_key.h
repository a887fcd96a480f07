#pragma once
// What the search field seeks: the text the user types made into a key the way the chosen
// tag's key expression makes keys. An UPPER() key is sought upper-cased; a key that begins
// with STR(field, width[, decimals]) is sought with the typed number right-aligned in its
// width, with its decimals ("12" in STR(NUM,6,1) is "  12.0"). Any other key takes the text
// as typed. Text stays UTF-8; the caller encodes it into the table's page.

#include <string>

namespace vx::browser {

std::string SearchKeyText(const std::string& key_expression, const std::string& typed);

}  // namespace vx::browser
