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
#include <functional>
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
  // Where the key lies in a stored record when the key expression names one plain character
  // field of the key's length (see NoteFieldKey), else -1: such a key is the field's bytes.
  int field_offset = -1;
};

// Compiles the (normalized) key and FOR expressions of a tag header. Answers false when either
// does not compile or the key's result type cannot be a key; nothing is reported.
bool CompileTagExpressions(const TagHeader& header, TagExpressions& out);
// Notes in `out` whether the tag's key expression is one plain character field of `table`
// (no null flag, no varying length, the key's length), whose stored bytes are then the key of
// a stored record without evaluating the expression.
void NoteFieldKey(TagExpressions& out, const TagHeader& header, const TableRecord& table);
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

// Reads the table's records 1..record count from the file in large blocks, each in turn into
// the record buffer as stored with its record number set, and calls `each` (which answers false
// to stop). The buffer and record number are restored afterwards. Answers false after a report
// (a read that failed, naming `operation`) or when `each` stopped.
bool ForEachStoredRecord(TableRecord& table, const std::function<bool()>& each,
                         const char* operation);

}  // namespace vx
