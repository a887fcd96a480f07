#pragma once
// A table's FoxPro .CDX read through its tags: the key makers of every tag, the keys a record
// has in a tag, search keys and key texts, the shared read lock, the comparison of a tag with
// the table, and the changes an edit of a record makes in every tag (the hooks that call them
// are in ndx_orders.cpp). The file layout is in cdx_file.h, the tree writing in cdx_tree.h.
//
// Locks: readers hold byte kCdxLockOffset of the .CDX shared while they walk or search; a
// writer holds it exclusively from before it reads the way of a change to after the change is
// written (the update or append bracket), so that no reader sees a tree half changed and no two
// writers change one tree at once. Record locks alone would let two programs split one leaf.

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
  // For a tag in another collation: its expressions still make each record's key in byte
  // order, which tells whether an edit changes the tag (which is then refused, naming it).
  std::string collation;
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
bool OpenCdxFor(TableRecord& table, const std::string& path, CdxIndex& out,
                bool writable = false);

// Compiles a tag's expressions for the table (its trailing fill set for number keys); a tag
// whose keys cannot be made says why in CdxTagKeys::unusable.
CdxTagKeys CdxKeysFor(TableRecord& table, CdxTag& tag);

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

// ---------------------------------------------------------------------------------------------
// Keeping a .CDX current on edits of its table

// A structural .CDX kept current for one work area: the keys the current record had in every
// tag before an edit, and what the first edit's comparison with the table found.
struct CdxKept {
  struct TagState {
    KeyBuffer remembered{};
    bool included = false;  // the record met the FOR condition
    bool valid = false;
    std::string fault;  // why the tag disagrees with the table (empty: agrees)
  };
  CdxIndex index;
  std::vector<TagState> tags;
  std::uint32_t remembered_record = 0;
  bool validated = false;
  std::string table_path;  // the table it was opened for
};

// One tag's change made by an edit, to be taken back when a later change fails.
struct CdxUndo {
  std::size_t tag = 0;
  KeyBuffer removed{};
  KeyBuffer inserted{};
  bool did_remove = false;
  bool did_insert = false;
};

// Opens the table's structural .CDX for keeping current. False after a report.
bool OpenKeptCdx(TableRecord& table, CdxKept& out);
// Reads the directory again after another program may have changed it (tags added or removed
// make every tag's key maker anew and the comparison with the table run again).
bool ReloadKeptCdx(TableRecord& table, CdxKept& kept);
// Remembers the current record's key in every tag before an edit.
void RememberCdxKeys(TableRecord& table, CdxKept& kept);
// Before the record is written: refuses (false after a report, nothing written) an edit that
// would change a tag whose keys this engine cannot make or store (another collation, named), a
// tag that disagrees with the table (the first edit compares them whole), a key a candidate tag
// holds for another record, or a way down that does not read.
bool CheckCdxEdit(TableRecord& table, CdxKept& kept, bool appending);
// After the record is written: takes out the old keys and puts in the new ones (an append only
// puts in). False after a report, with the changes made taken back (`done` then empty).
bool ApplyCdxEdit(TableRecord& table, CdxKept& kept, bool appending, std::vector<CdxUndo>& done);
// Takes back changes made by ApplyCdxEdit, newest first, keeping the error reported; names the
// file in the message when one could not be taken back.
void TakeBackCdxEdit(CdxKept& kept, std::vector<CdxUndo>& done, std::uint32_t record);

}  // namespace vx
