#pragma once
// The order in which whole-table operations walk a table's records: file order, or a tag's order
// (of the production index or another .MDX) with the key each record has in it.

#include <cstdint>
#include <string>
#include <vector>

namespace vx {
struct TableRecord;
struct CdxIndex;
}

namespace vx::ops {

// A tag chosen by name (UTF-8, any case) in the production index or in `index` (a .MDX path;
// empty: the production index). An `index` named .NDX is walked in its own order (no tag).
struct TagChoice {
  std::string tag;    // empty: file order
  std::string index;  // empty: the production index
};

// Opens the index of the selected table and selects the tag; InputError for an index or tag
// that is not there (`file` names the table in the message).
void OpenTag(const TagChoice& choice, const std::string& file);

// One record of a walk, with its key in the tag (stored bytes) when walking a tag.
struct OrderedRecord {
  std::int32_t record = 0;
  std::string key;
};

// The records 1..count in file order (count -1: the header's count), or with a tag the records
// of that tag in its order with the keys the key maker makes for them (the index is closed again
// afterwards). The table is the selected one.
std::vector<OrderedRecord> RecordOrder(const TagChoice& choice, const std::string& file,
                                       TableRecord& table, std::int32_t count = -1);

// The records of an .NDX (`name` as the table's folder and extension rules complete it) in its
// order, with their keys as text. InputError when it cannot be opened or read.
std::vector<OrderedRecord> NdxOrder(const std::string& name, TableRecord& table);

// Whether a choice takes its tag from a FoxPro .CDX: `index` names one, or it names none and
// the table's header names a structural .CDX that is there.
bool ChoosesCdx(const TagChoice& choice, const TableRecord& table);
// Opens the .CDX of such a choice for reading with its key makers and answers the chosen tag's
// number; InputError when the file or the tag is not there, DataError when it does not read.
std::size_t OpenCdxTag(const TagChoice& choice, TableRecord& table, CdxIndex& out);
// The records of a .CDX tag in its order, with their keys as text. DataError when the tag's
// tree does not read.
std::vector<OrderedRecord> CdxOrder(const TagChoice& choice, TableRecord& table);

// The number of tags of a table's production index; -1 when the table has none (`flagged`
// false) or it cannot be read.
int ProductionTagCount(const std::string& table_file, bool flagged);

}  // namespace vx::ops
