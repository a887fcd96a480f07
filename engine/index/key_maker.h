#pragma once
// The key maker: a tag's key and FOR expressions compiled by the expression language and
// evaluated on a table's current record as the file stores it, giving the key bytes the tag
// stores (character text in the table's own code page; packed decimal for N and F tags; a
// double for D tags). Keys never depend on the page the program shows text in: an OEM table's
// buffer holds ANSI text, so the expressions see the record's stored bytes instead, and UPPER
// and LOWER convert case in the table's page (TableCodePage). Building, maintenance, seeking and
// checking all make keys here, so every path and every program agrees on them.

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
// What the table's record buffer holds: the record as the program reads it (translated to
// ANSI on an OEM table), or the bytes as stored (the index builder reads the file itself).
enum class RecordForm { kBuffer, kStored };
// Makes the key of the table's current record for a tag of `header`; `length` receives the
// number of key bytes (for character keys the text's length, which may differ from the
// header's). Answers false without a key maker or when evaluation fails.
bool MakeKey(const TagExpressions& expressions, const TagHeader& header, TableRecord& table,
             KeyBuffer& out, int& length, RecordForm form = RecordForm::kBuffer);
// Whether the current record meets the tag's FOR condition (true without one or without a key
// maker).
bool MeetsFor(const TagExpressions& expressions, TableRecord& table,
              RecordForm form = RecordForm::kBuffer);

}  // namespace vx
