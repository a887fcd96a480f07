#pragma once
// A table's FoxPro .CDX read through its tags: the key makers of every tag, the keys a record
// has in a tag, search keys and key texts, the shared read lock, and the comparison of a tag
// with the table. The file layout is in cdx_file.h. This engine reads .CDX files; it does not
// write them, so the work-area layer refuses edits of a table whose header names one.
//
// Locks: readers hold byte kCdxLockOffset of the .CDX shared while they walk or search, so that
// a writer taking it exclusively for a change is not read half way.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/index/cdx_file.h"
#include "engine/index/key_maker.h"
#include "engine/table/dbf_file.h"

namespace vx {

inline constexpr std::uint64_t kCdxLockOffset = 0x7FFFFFFEULL;

// One tag's key maker.
struct CdxTagKeys {
  TagHeader view;  // the key maker's view: type C, or D for numbers and dates (doubles)
  TagExpressions expressions;
  char type = 'C';  // C characters, N a number, D a date
  // Why keys of the records cannot be made or compared with the tag's (empty: they can): an
  // expression that does not compile here, a collation other than byte order, a key longer
  // than this engine makes, a key length other than the expression gives.
  std::string unusable;
};

struct CdxIndex {
  CdxFile file;
  std::vector<CdxTagKeys> keys;  // by tag, as file.tags()
};

// Whether a file name has the extension CDX (any case).
bool IsCdxName(std::string_view name);
// The path of a .CDX named for a table ("CDX" added to a name without extension, the table's
// folder to one without); an empty name gives the table's structural .CDX.
std::string CdxPath(const TableRecord& table, std::string_view name);
// Whether the table's tags come from its structural .CDX: its header says so and the file is
// there (see TableRecord::HasStructuralCdx).
bool UsesStructuralCdx(const TableRecord& table);

// Opens a .CDX for reading with every tag's key maker for `table`; error 2 when missing, 222
// when its header or directory is damaged. A tag whose keys cannot be made is kept, with the
// reason in CdxTagKeys::unusable (its order can still be walked).
bool OpenCdxFor(TableRecord& table, const std::string& path, CdxIndex& out);

// Holds a .CDX's lock shared for one scope and reads its directory again; held() false after a
// report (error 33 when a writer kept it for about ten seconds).
class CdxReadHold {
 public:
  explicit CdxReadHold(CdxFile& file);
  ~CdxReadHold();
  CdxReadHold(const CdxReadHold&) = delete;
  CdxReadHold& operator=(const CdxReadHold&) = delete;
  bool held() const { return held_; }

 private:
  CdxFile& file_;
  bool locked_ = false;
  bool held_ = false;
};

// The key of the table's current record in tag `tag` (as the tag stores it: characters padded
// with blanks, numbers and dates in their byte-ordered form) and whether the record meets its
// FOR condition. False after a report.
bool CdxRecordKey(TableRecord& table, CdxIndex& index, std::size_t tag, KeyBuffer& key,
                  bool& included, RecordForm form = RecordForm::kBuffer);
// The search key of a text in tag `tag`: a number's or a date's key, or the text's bytes
// (padded to the key length when `exact`); `length` the bytes to compare.
void CdxSearchKey(const CdxIndex& index, std::size_t tag, std::string text, bool exact,
                  KeyBuffer& key, int& length);
// A key as text: characters as stored, a number with the expression's width and decimals, a
// date as YYYYMMDD.
std::string CdxKeyText(const CdxIndex& index, std::size_t tag, const std::uint8_t* key);

// Compares tag `tag` with the table: its tree (CdxFile::CheckTree) and, when keys can be made,
// every record's key (the records meeting its FOR condition) against the entries. Answers the
// problems in words (empty: agrees) and in `notes` what is no damage: a unique tag's key whose
// record holding it changed, a tag whose keys cannot be compared.
std::vector<std::string> CheckCdxTagAgainstTable(TableRecord& table, CdxIndex& index,
                                                 std::size_t tag, std::vector<std::string>& notes);

}  // namespace vx
