#pragma once
// The key maker: a tag's key and FOR expressions compiled by the expression language and
// evaluated on a table's current record, giving the key bytes the tag stores (character text,
// OEM when the table holds OEM text; packed decimal for N and F tags; a double for D tags).

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/index/mdx_file.h"
#include "engine/table/dbf_file.h"

namespace vx {

// A tag's compiled expressions and the key expression's result type, width and decimals.
struct TagExpressions {
  std::shared_ptr<void> key;
  std::shared_ptr<void> for_condition;
  char result_type = 'C';
  int width = 0;
  int decimals = 0;
};

// Compiles the (normalized) key and FOR expressions of a tag header. Answers false when either
// does not compile or the key's result type cannot be a key; nothing is reported.
bool CompileTagExpressions(const TagHeader& header, TagExpressions& out);
// Whether keys can be made (the expression language is linked in and compiled the key).
bool HasKeyMaker(const TagExpressions& expressions);
// Makes the key of the table's current record for a tag of `header`; `length` receives the
// number of key bytes (for character keys the text's length, which may differ from the
// header's). Answers false without a key maker or when evaluation fails.
bool MakeKey(const TagExpressions& expressions, const TagHeader& header, TableRecord& table,
             KeyBuffer& out, int& length);
// Whether the current record meets the tag's FOR condition (true without one or without a key
// maker).
bool MeetsFor(const TagExpressions& expressions, TableRecord& table);

}  // namespace vx
