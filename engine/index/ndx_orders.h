#pragma once
// The dBASE III .NDX files a caller names for a work area: attached to the area, they are kept
// current on every append, REPLACE, DELETE and RECALL of the table, as the .MDX tags are, under
// a lock on the index file; a file that does not agree with the table refuses the edits that
// would change it. Also: building an .NDX from a key expression, checking one against its table,
// and reading one in key order or by key. The file layout is in ndx_file.h.
//
// Locks: a writer holds an exclusive lock on byte kNdxLockOffset of each attached .NDX from
// before it reads the way of a change to after the change is written; readers outside an edit
// hold it shared while they walk or search.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/index/cdx_orders.h"
#include "engine/index/index_state.h"
#include "engine/index/key_maker.h"
#include "engine/index/ndx_file.h"
#include "engine/table/dbf_file.h"

namespace vx {

struct IndexHookTable;

inline constexpr std::uint64_t kNdxLockOffset = 0x7FFFFFFEULL;

// One .NDX attached to an area, with its key maker and the key the current record had before
// an edit.
struct NdxIndex {
  NdxFile file;
  TagHeader tag;  // the key maker's view: type C, or D for doubles; key length; expression
  TagExpressions expressions;
  KeyBuffer remembered{};
  bool remembered_valid = false;
  std::uint32_t remembered_record = 0;
  // Whether the file was compared with the table since it was attached, and what was wrong.
  bool validated = false;
  std::string fault;
};

// The index files an area keeps current besides its .MDX: the .NDX files named for it and the
// table's structural .CDX (opened at the first edit, see CdxRefusal).
struct NdxArea {
  std::vector<std::unique_ptr<NdxIndex>> files;
  std::unique_ptr<CdxKept> cdx;
  int lock_depth = 0;
};

// Whether a file name has the extension NDX (any case).
bool IsNdxName(std::string_view name);

// The path of an .NDX named for a table: "NDX" added to a name without extension, the table's
// folder to a name without one.
std::string NdxPath(const TableRecord& table, std::string_view name);

// Opens `name` for the selected table and keeps it current from now on. Error 2 when it is
// missing, 222 when it is no .NDX or its key expression does not compile for this table or
// gives another key type or length than its header says.
bool AttachNdx(std::string_view name);
// The files attached to the selected area (their paths), and closing them.
std::vector<std::string> AttachedNdx();
void DetachNdx(int area);

// Opens an .NDX for reading with its key maker for the selected table (as AttachNdx checks it).
bool OpenNdxFor(TableRecord& table, const std::string& path, NdxIndex& out, bool writable);

// Holds an .NDX's lock shared for one scope (readers outside an edit) and reads its header
// again; held() false after a report (error 33 when a writer kept it for about ten seconds).
class NdxReadHold {
 public:
  explicit NdxReadHold(NdxFile& file);
  ~NdxReadHold();
  NdxReadHold(const NdxReadHold&) = delete;
  NdxReadHold& operator=(const NdxReadHold&) = delete;
  bool held() const { return held_; }

 private:
  NdxFile& file_;
  bool locked_ = false;
  bool held_ = false;
};

// Makes the key of the table's current record (buffer as read). False after a report.
bool NdxRecordKey(TableRecord& table, NdxIndex& index, KeyBuffer& key);
// The search key of a text: a number's or a date's double, or the text's bytes (padded to the
// key length when `exact`); `length` the bytes to compare.
void NdxSearchKey(const NdxIndex& index, std::string text, bool exact, KeyBuffer& key,
                  int& length);
// A key as text: characters as stored, a number with the expression's width and decimals, a
// date as YYYYMMDD.
std::string NdxKeyText(const NdxIndex& index, const std::uint8_t* key);

// Writes a new .NDX at `path` for the selected table (replacing an old one in one rename once
// it is complete): `expression`'s key for every record, unique keeping the lowest record of
// each key. The expression must give characters (at most 100), a number or a date. False
// after a report; a failed build leaves the old file as it was. `rebuilt`: the header of the file
// this one replaces, whose form it keeps where other programs wrote it another way: a date keyed
// as its eight characters YYYYMMDD rather than a number (NdxDatesAsText), and fewer keys per
// node than dBASE puts in (Xbase64 on 64-bit machines counts 8 bytes less, and reads no node
// that holds more than it counts).
bool BuildNdx(const std::string& path, const std::string& expression, bool unique,
              const NdxHeader* rebuilt = nullptr);
// Whether a file keys a date expression as characters: its keys are eight characters.
inline bool NdxDatesAsText(const NdxHeader& h) { return !h.numeric && h.key_length == 8; }

// Compares an .NDX with the selected table: the tree (NdxFile::CheckTree) and every record's
// key against the items. Answers the problems in words (empty: agrees) and in `notes` what is
// no damage: a unique index's key that is missing after the record holding it changed.
std::vector<std::string> CheckNdxAgainstTable(TableRecord& table, NdxIndex& index,
                                              std::vector<std::string>& notes);

// Wraps the index hook table so that the attached .NDX files are kept current beside the .MDX
// (called by IndexInit); the marker tells this engine's table from another.
void AddNdxHooks(IndexHookTable& hooks);
// Why an edit of a table whose header names a structural .CDX cannot keep it current (empty:
// it is opened, or was, and kept current on every edit; see IndexHookTable::CdxRefusal).
std::string CdxRefusal(const TableRecord& table);
// Closes the .CDX an area keeps current (after the file was built anew: the next edit opens
// the new one).
void ForgetKeptCdx(int area);
bool NdxHooksInstalled(const IndexHookTable& hooks);
void ResetNdxAreas();

}  // namespace vx
