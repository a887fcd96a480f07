#pragma once
// The filter row's cells made into dBASE conditions: what a user types under a column becomes a
// condition over its field (text anywhere in a character field, case ignored; a number, a date
// or a logical compared, with an optional =, <>, <, <=, > or >= before it), and the row's
// conditions joined with .AND. are what the filter bar shows and applies. Knows nothing of the
// window.

#include <string>
#include <vector>

namespace vx::browser {

// The condition for `typed` under field `field` of stored type `type` ("" when nothing is
// typed); `problem` receives why the text makes no condition for that field.
std::string ColumnCondition(const std::string& field, char type, const std::string& typed,
                            std::string& problem);

// The cells' conditions joined with .AND. (empty ones left out).
std::string RowCondition(const std::vector<std::string>& conditions);

}  // namespace vx::browser
