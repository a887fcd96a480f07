#pragma once
// The DBF table file: its on-disk layout, the in-memory form of an open table (TableRecord and
// its FieldEntry array) and OpenDbf, which validates a header and builds that form. Record
// input and output, creation and closing are in dbf_records.h; work areas sit above.
//
// Prologue, 32 bytes at offset 0 (every variant but dBASE II), little-endian:
//
//   OFFSET SIZE MEANING
//   0      1    version byte (see kVersion* below)
//   1      3    date of last update: year - 1900, month, day
//   4      4    number of records (unsigned on disk, at most 2^31 - 1 accepted)
//   8      2    header length: prologue + extension + descriptors + terminator (+ slack)
//   10     2    record length, deletion flag included
//   12     4    not interpreted, written back unchanged
//   16     12   multi-user area: re-read before every header write so other writers' bytes stay
//   28     1    production index flag (1 when a production .MDX belongs to the table)
//   29     3    not interpreted, written back unchanged
//
// Level 7 tables (0x04, 0x8C) have a 36-byte extension at offset 32 (a 32-byte language driver
// name and 4 reserved bytes), then 48-byte descriptors at offset 68. Others have 32-byte
// descriptors at offset 32. The list ends with 0x0D in the first byte of the slot after the last
// field.
//
//   DESCRIPTOR      SIZE NAME      TYPE  LENGTH DECIMALS
//   dBASE III/IV    32   0..10     11    16     17
//   level 7         48   0..31(*)  32    33     34       (*) only 10 characters are taken
//   dBASE II        16   0..10     11    12     15
//
// dBASE II (0x02): an 8-byte prologue (version; record count, 16 bits at 1; month 3, day 4,
// year - 1900 at 5; record length at 6), 32 descriptor slots of 16 bytes at 8..519 and the
// terminator: 521 bytes, a header length that the file does not store.
//
// Records follow the header, record N at header length + (N - 1) * record length. Byte 0 is the
// deletion flag ("*" deleted, blank live); fields follow in descriptor order from byte 1. After
// the last record the engine writes one 0x1A byte whenever it appended records.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/table/code_page_file.h"
#include "engine/foundation/engine_state.h"
#include "platform/os/file.h"

namespace vx {

inline constexpr std::uint8_t kVersionDbase2 = 0x02;
inline constexpr std::uint8_t kVersionDbase3 = 0x03;
inline constexpr std::uint8_t kVersionDbase3Memo = 0x83;
inline constexpr std::uint8_t kVersionDbase4Memo = 0x8B;
inline constexpr std::uint8_t kVersionFoxProMemo = 0xF5;
inline constexpr std::uint8_t kVersionLevel7 = 0x04;
inline constexpr std::uint8_t kVersionLevel7Memo = 0x8C;
inline constexpr std::uint8_t kVersionVisualFoxPro = 0x30;
inline constexpr std::uint8_t kVersionDbase4Sql = 0xCB;  // dBASE IV SQL table, dBASE III layout
inline constexpr std::uint8_t kVersionVisualFoxProAutoinc = 0x31;  // with autoincrement fields
inline constexpr std::uint8_t kVersionVisualFoxProVarchar = 0x32;  // with V/Q (varchar) fields
// Visual FoxPro headers: byte 28 says which companion files the table has, and 263 bytes
// (the database container's path, the backlink) follow the descriptor terminator.
inline constexpr std::uint8_t kFoxProFlagCdx = 0x01;   // a structural .CDX index
inline constexpr std::uint8_t kFoxProFlagMemo = 0x02;  // a .FPT memo file
inline constexpr int kVisualFoxProBacklinkSize = 263;
// The most records a table may hold: record numbers are signed 32-bit and the position after
// the last record (count + 1) is one too. A dBASE II header counts in 16 bits (0xFFFF).
inline constexpr std::int32_t kMaxRecordCount = 0x7FFFFFFE;

inline constexpr int kPrologueSize = 32;
inline constexpr int kLevel7ExtensionSize = 36;
inline constexpr int kDbase2HeaderLength = 521;
inline constexpr char kHeaderTerminator = 0x0D;
inline constexpr char kEndOfFileMarker = 0x1A;
inline constexpr char kDeletedFlag = '*';
inline constexpr char kLiveFlag = ' ';

// Table states: what closing and committing must write.
inline constexpr std::uint8_t kStateClosed = 0;
inline constexpr std::uint8_t kStateOpen = 1;       // unchanged
inline constexpr std::uint8_t kStateRewritten = 2;  // header (date) to write
inline constexpr std::uint8_t kStateAppended = 3;   // header (count) and end-of-file marker

// Virtual-table operation codes handed to the virtual-file manager.
inline constexpr std::uint8_t kVirtualClose = 1;
inline constexpr std::uint8_t kVirtualDelete = 2;
inline constexpr std::uint8_t kVirtualRead = 3;
inline constexpr std::uint8_t kVirtualOpen = 4;
inline constexpr std::uint8_t kVirtualWrite = 8;
inline constexpr std::uint8_t kVirtualRecall = 9;

// How a field's bytes are stored, decided at open from the type letter and the table's variant.
// kClassic: the dBASE text forms of C, D, F, L, M, N. The others are binary:
//   kInt32        I (Visual FoxPro): 32-bit little-endian
//   kInt32Flipped I and + (level 7): 32-bit big-endian with the sign bit flipped
//   kDouble       B (Visual FoxPro): IEEE double, little-endian
//   kDoubleFlipped O (level 7): IEEE double, big-endian; positive values have the sign bit set,
//                 negative ones have every bit inverted, so the bytes sort as the numbers
//   kCurrency     Y: 64-bit little-endian count of ten-thousandths
//   kDateTime     T: 32-bit day number (Julian), 32-bit milliseconds after midnight
//   kTimestamp    @ (level 7): milliseconds since 1 January 4713 BC as a flipped double
//   kVarchar      V (kVarbinary Q): characters (bytes); when the field's varying bit is set in
//                 _NullFlags, the last byte holds the length of the value
//   kBinaryMemo   M, G, W (Visual FoxPro): 32-bit little-endian block number, 0 for none
enum class FieldStorage : std::uint8_t {
  kClassic,
  kInt32,
  kInt32Flipped,
  kDouble,
  kDoubleFlipped,
  kCurrency,
  kDateTime,
  kTimestamp,
  kVarchar,
  kVarbinary,
  kBinaryMemo,
};

// One field of an open table.
struct FieldEntry {
  std::string name;          // upper case, at most 10 characters
  char type = 'C';           // C, D, F, L, M or N (B, G, P are held as M)
  std::uint16_t length = 0;  // width in the record (character fields may exceed 255, below)
  std::uint8_t decimals = 0;
  std::uint16_t offset = 0;  // position in the record; the first field is at 1
  FieldStorage storage = FieldStorage::kClassic;
  std::uint8_t flags = 0;           // Visual FoxPro field flags (kFieldMayBeNull, ...)
  std::int16_t null_bit = -1;       // bit of _NullFlags that marks the field as .NULL., or -1
  std::int16_t varying_bit = -1;    // V, Q: bit of _NullFlags saying the last byte is the length
  std::uint16_t descriptor_at = 0;  // file offset of the field's descriptor (0: not from a file)
  char letter = 0;  // the type letter as stored, where `type` holds it as another (G as M)
};

// Visual FoxPro field flags (descriptor byte 18).
inline constexpr std::uint8_t kFieldSystem = 0x01;  // hidden system field (_NullFlags)
inline constexpr std::uint8_t kFieldMayBeNull = 0x02;
inline constexpr std::uint8_t kFieldBinary = 0x04;  // no code page translation
inline constexpr std::uint8_t kFieldAutoincrement = 0x08;

// User translation of record contents: receives the bytes after the deletion flag.
using RecordHook = void (*)(char* data, int length);
// A filter or scope condition procedure with its context.
using ConditionProc = bool (*)(void* context);

// A compiled condition owned by its table: the handle and the procedure that frees it (the
// unit that compiled it supplies both). Freed when replaced, reset or destroyed.
class OwnedCondition {
 public:
  using FreeProc = void (*)(void* handle);
  OwnedCondition() = default;
  OwnedCondition(void* handle, FreeProc free) : handle_(handle), free_(free) {}
  ~OwnedCondition() { reset(); }
  OwnedCondition(const OwnedCondition&) = delete;
  OwnedCondition& operator=(const OwnedCondition&) = delete;
  OwnedCondition(OwnedCondition&& other) noexcept
      : handle_(std::exchange(other.handle_, nullptr)), free_(other.free_) {}
  OwnedCondition& operator=(OwnedCondition&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = std::exchange(other.handle_, nullptr);
      free_ = other.free_;
    }
    return *this;
  }
  void reset() {
    if (handle_ != nullptr && free_ != nullptr) free_(handle_);
    handle_ = nullptr;
  }
  void* get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  void* handle_ = nullptr;
  FreeProc free_ = nullptr;
};

// Lock states of a work area.
inline constexpr std::uint8_t kLockNone = 0;
inline constexpr std::uint8_t kLockFile = 1;
inline constexpr std::uint8_t kLockAppend = 2;
inline constexpr std::uint8_t kLockRecords = 3;

struct TableRecord;
// The registered manager of virtual (in-memory) tables; null when none is linked in.
using VirtualFileManagerType = void (*)(TableRecord& table);
inline constexpr EngineField<&FoundationState::virtual_file_manager> VirtualFileManagerProc;

// The state of one open table. The storage part is filled by OpenDbf; the work-area layer adds
// its own fields after it.
struct TableRecord {
  std::string file_name;  // as passed to USE, with the default extension added
  std::string table_key;  // names the file in lock and cache bookkeeping: unique per file
  std::array<std::uint8_t, kPrologueSize> header{};  // the prologue as read
  bool has_memo = false;
  bool skip_deleted = false;
  std::int16_t header_length = 0;
  std::uint16_t record_length = 0;
  std::uint8_t field_count = 0;
  std::vector<FieldEntry> fields;
  std::uint8_t state = kStateClosed;
  std::string update_date;   // YYYYMMDD of the last update, as read
  std::vector<char> record;  // one record, record_length bytes
  // When records are translated (OEM conversion or hooks): the stored bytes of the record last
  // read or written and the same bytes as the buffer held them, translated. A write keeps the
  // stored bytes of every field the buffer still holds as read, since the translation need not
  // give them back (OEM bytes without an ANSI counterpart).
  std::vector<char> stored_record;
  std::vector<char> read_record;
  std::int32_t stored_number = 0;  // the record they belong to; 0 when none
  std::int32_t record_count = 0;
  std::int32_t record_number = 0;
  bool at_end = false;
  bool at_beginning = false;
  int open_mode = 0;
  bool oem = false;  // record text is in the OEM code page
  // The code page of the stored text, in which keys convert case: the page the language driver
  // mark, or else the .cpg file, names when this system can convert it (set by OpenDbf), else 0, which means the OEM page
  // in force for an `oem` table and the ANSI page for the others (see TableCodePage).
  int code_page = 0;
  std::string driver_name;  // level 7: the language driver name of the header, without padding
  CpgFile cpg;              // the .cpg file beside the table, read by OpenDbf
  // Visual FoxPro: the hidden _NullFlags field (not among `fields`), holding a field's null
  // bit and a V/Q field's varying-length bit; length 0 when the table has none.
  std::uint16_t null_flags_offset = 0;
  std::uint16_t null_flags_length = 0;
  // A header fault that other programs read past (fields that need more than the record length
  // the header states): the table opens only for reading, and this names the damage.
  std::string damage;
  RecordHook write_hook = nullptr;
  RecordHook read_hook = nullptr;
  os::File file;

  // Buffered file access, switched on by the work-area layer where no other program can see the
  // difference. read_ahead: sequential reads fill a block of records (exclusive tables only).
  // append_behind: appended records wait in `pending` until the block fills, a read or a write
  // touches them, or the table is committed, unlocked or closed (exclusive tables, or while the
  // append or file lock keeps other programs from appending).
  bool read_ahead = false;
  bool append_behind = false;
  std::vector<char> read_block;  // stored bytes of records read_first .. read_first + count - 1
  std::int32_t read_first = 0;
  std::int32_t read_count = 0;
  std::int32_t last_read = 0;
  std::vector<char> pending;  // stored bytes of records pending_first .. record_count
  std::int32_t pending_first = 0;

  // The opener accepted that edits leave a structural .CDX (which this engine does not
  // maintain) stale; without it the work-area layer refuses every edit of such a table.
  bool stale_cdx_accepted = false;

  // Virtual tables use these instead of the file.
  bool is_virtual = false;
  std::uint8_t virtual_order = 0;
  std::int32_t virtual_record_number = 0;
  std::uint8_t virtual_operation = 0;
  std::uint8_t virtual_storage = 0;

  // Work-area part, filled by USE; the storage primitives never touch it.
  char* image = nullptr;         // the caller's record image, or owned_image's data
  std::uint32_t image_size = 0;  // above 65535 only for an image the engine owns
  bool image_owned = false;
  std::vector<char> owned_image;
  std::vector<std::uint32_t> image_offsets;  // of each field's slot, then the image size
  std::vector<char> image_as_read;           // the image after the last buffer-to-image transfer
  std::vector<char> record_as_read;          // and the buffer it was made from
  std::vector<std::uint8_t> image_changed;   // per field: set through the typed view since then
  ConditionProc filter_proc = nullptr;       // visibility filter, with its context
  void* filter_context = nullptr;
  OwnedCondition filter_expr;          // compiled filter expression (expression hooks)
  void* relation = nullptr;            // keeps a related area positioned (relation hook)
  std::string alias;                   // upper case, unique among the open areas
  ConditionProc while_proc = nullptr;  // scope condition, with its context
  void* while_context = nullptr;
  OwnedCondition while_expr;    // compiled scope condition
  std::uint8_t lock_state = 0;  // kLockNone, kLockFile, kLockAppend, kLockRecords
  std::uint16_t record_lock_count = 0;
  std::vector<std::int32_t> record_locks;  // oldest first, the most recent lock at the back
  std::vector<char> swap_buffer;           // image copy for REPLACE under index maintenance
  bool exclusive = false;
  bool exclusive_by_use = false;  // EXCLUSIVE came from USE, not from SetExclusive
  // The record count was refreshed while this area held the append or file lock: no other
  // program can append until the lock is released, so the count needs no further refresh.
  bool count_fresh_under_lock = false;
  // The index engine's state for this table (its open index and .NDX files, semaphore state
  // and brackets), opaque to the table and work-area layers; made by the index layer and freed
  // with the table.
  std::shared_ptr<void> index;
  // The memo storage's state for this table (its open memo file), opaque to the table and
  // work-area layers; set by the memo open hook and freed by the close hook or CloseDbf.
  std::shared_ptr<void> memo;
  int area = 0;  // the work area that holds the table

  std::uint8_t version() const { return header[0]; }
  bool IsDbase2() const;
  bool IsLevel7() const;
  // Visual FoxPro (0x30, 0x31, 0x32): binary field types, _NullFlags, the backlink.
  bool IsVisualFoxPro() const;
  // A FoxPro or Visual FoxPro table whose header says a structural .CDX index belongs to it.
  bool HasStructuralCdx() const;
  // File offset of record n (1-based).
  std::uint64_t RecordOffset(std::int32_t n) const {
    return static_cast<std::uint64_t>(header_length) +
           static_cast<std::uint64_t>(n - 1) * record_length;
  }
};

// Whether a version byte is one the engine opens (the built-in ones plus the extra versions
// that are set).
bool IsAcceptedVersion(std::uint8_t version);
// Whether a table of this version has a memo file.
bool VersionHasMemo(std::uint8_t version);
// Human name of a version byte ("dBASE IV with memo", ...); "unknown" for others.
const char* VersionName(std::uint8_t version);

// Opens the table named by table.file_name with table.open_mode (the runtime's sharing mode),
// validates its header and fills the storage fields; positions on record 1, or at BOF and EOF
// when the table is empty. Every failure leaves the file closed and records its code through
// SetEngineError (raised by default).
void OpenDbf(TableRecord& table);

// A name derived from a table's file name with another extension (memo file, index). The new
// extension takes the case of the table's: "movie.dbf" gives "movie.dbt", "MOVIE.DBF" gives
// "MOVIE.DBT".
std::string DerivedFileName(const std::string& table_file, const std::string& ext);
// Whether a table file's name has something before its extension. Without (".x", "dir/.dbf") the
// memo file and index would be named by the extension alone (".dbt", ".mdx") and shared by every
// such table in the folder: such a name is refused (error 220 with this text after the name).
bool TableNameHasStem(const std::string& table_file);
inline constexpr const char* kNoStemText =
    " has no name before its extension: its memo file and index would be shared with every such "
    "table in the folder";

}  // namespace vx
