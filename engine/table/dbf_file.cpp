#include "engine/table/dbf_file.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <span>

#include "engine/foundation/errors.h"
#include "engine/foundation/settings.h"
#include "engine/foundation/strings.h"
#include "engine/table/language_driver.h"
#include "engine/table/replacement_journal.h"
#include "platform/os/file.h"
#include "platform/os/file_id.h"

namespace vx {

namespace {

bool ExtraVersionsSet() { return ExtraVersionPlain != 0 || ExtraVersionMemo != 0; }

std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t Le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::string TwoDigits(int value) {
  char text[8];
  std::snprintf(text, sizeof text, "%02d", value % 100);
  return text;
}

std::string UpdateDate(int year_since_1900, int month, int day) {
  char text[16];
  std::snprintf(text, sizeof text, "%04d", 1900 + year_since_1900);
  return text + TwoDigits(month) + TwoDigits(day);
}

// Where a descriptor layout keeps its parts.
struct DescriptorLayout {
  int size;
  int name_bytes;  // bytes of the name area
  int type_at;
  int length_at;
  int decimals_at;
};
constexpr DescriptorLayout kDbase3Layout{32, 11, 11, 16, 17};
constexpr DescriptorLayout kLevel7Layout{48, 32, 32, 33, 34};
constexpr DescriptorLayout kDbase2Layout{16, 11, 11, 12, 15};

// Fails the open: the file is closed (with the scratch File) and the error recorded.
void Fail(os::File& file, std::uint16_t code, const std::string& message) {
  file.Close();
  SetEngineError(code, message);
}

std::string NotADatabase(const std::string& name, const std::string& reason,
                         const char* operation) {
  return name + " is not a dBASE database. (" + reason + ") " + operation;
}

// Which table variant a descriptor belongs to: its type letters mean different things.
enum class Variant { kDbase, kLevel7, kVisualFoxPro };

// The binary form of a type letter in a variant; false for a letter the variant does not have.
bool BinaryStorage(Variant variant, char type, FieldStorage& storage) {
  if (variant == Variant::kLevel7) {
    switch (type) {
      case 'I':
      case '+':
        storage = FieldStorage::kInt32Flipped;
        return true;
      case 'O':
        storage = FieldStorage::kDoubleFlipped;
        return true;
      case '@':
        storage = FieldStorage::kTimestamp;
        return true;
      default:
        return false;
    }
  }
  if (variant == Variant::kVisualFoxPro) {
    switch (type) {
      case 'I':
        storage = FieldStorage::kInt32;
        return true;
      case 'B':
        storage = FieldStorage::kDouble;
        return true;
      case 'Y':
        storage = FieldStorage::kCurrency;
        return true;
      case 'T':
        storage = FieldStorage::kDateTime;
        return true;
      case 'V':
        storage = FieldStorage::kVarchar;
        return true;
      case 'Q':
        storage = FieldStorage::kVarbinary;
        return true;
      default:
        return false;
    }
  }
  // Some writers put Visual FoxPro's currency and date-time fields into dBASE III headers;
  // these letters mean nothing else there.
  switch (type) {
    case 'Y':
      storage = FieldStorage::kCurrency;
      return true;
    case 'T':
      storage = FieldStorage::kDateTime;
      return true;
    default:
      return false;
  }
}

// Converts one descriptor slot into a field entry. Answers false after recording code 211 for a
// type the engine does not hold.
bool ParseFieldDescriptor(const std::uint8_t* slot, const DescriptorLayout& layout, Variant variant,
                          const std::string& file_name, FieldEntry& entry,
                          std::uint32_t& running_offset) {
  entry.name.clear();
  const int name_limit = layout.name_bytes < 10 ? layout.name_bytes : 10;
  for (int i = 0; i < name_limit && slot[i] != 0; ++i) {
    entry.name.push_back(static_cast<char>(std::toupper(slot[i])));
  }
  char type = static_cast<char>(slot[layout.type_at]);
  entry.letter = type;
  entry.length = slot[layout.length_at];
  entry.decimals = slot[layout.decimals_at];
  if (variant == Variant::kVisualFoxPro) entry.flags = slot[18];
  if (BinaryStorage(variant, type, entry.storage)) {
    // held under its own letter
  } else if (variant == Variant::kVisualFoxPro &&
             (type == 'M' || type == 'G' || type == 'W' || type == 'P') && entry.length == 4) {
    // Memo, general, blob and picture fields hold a 4-byte block number.
    entry.storage = FieldStorage::kBinaryMemo;
    type = 'M';
  } else if (type == 'B' || type == 'G' || type == 'P' || type == 'b' || type == 'g' ||
             type == 'p') {
    type = 'M';
  }
  entry.type = type;
  entry.offset = static_cast<std::uint16_t>(running_offset);
  running_offset += entry.length;
  if (entry.storage != FieldStorage::kClassic) return true;
  if (variant == Variant::kVisualFoxPro && type == '0' && (entry.flags & kFieldSystem) != 0) {
    return true;
  }
  switch (type) {
    case 'C':
    case 'D':
    case 'F':
    case 'L':
    case 'M':
    case 'N':
      return true;
    default:
      SetEngineError(211, "Field: " + entry.name + " [" + std::string(1, type) + "] in " +
                              file_name + " is not a valid field type");
      return false;
  }
}

// Converts the descriptor slots up to the terminator into fields. Answers false after failing
// the open for a field type the engine does not hold; `terminated` tells whether the list
// ended with the terminator within the slots.
bool ParseSlots(const std::uint8_t* area, int slots, const DescriptorLayout& layout,
                Variant variant, std::uint64_t area_at, const std::string& file_name,
                os::File& file, std::vector<FieldEntry>& fields, bool& terminated,
                FieldEntry* null_flags = nullptr) {
  std::uint32_t running_offset = 1;
  for (int i = 0; i < slots; ++i) {
    const std::uint8_t* slot = area + static_cast<std::size_t>(i) * layout.size;
    if (slot[0] == static_cast<std::uint8_t>(kHeaderTerminator)) {
      terminated = true;
      return true;
    }
    FieldEntry entry;
    bool ok;
    {
      QuietErrors quiet;
      ok = ParseFieldDescriptor(slot, layout, variant, file_name, entry, running_offset);
    }
    entry.descriptor_at =
        static_cast<std::uint16_t>(area_at + static_cast<std::uint64_t>(i) * layout.size);
    // Visual FoxPro's hidden _NullFlags field is held apart from the fields.
    if (variant == Variant::kVisualFoxPro && entry.type == '0' && null_flags != nullptr &&
        (entry.flags & kFieldSystem) != 0) {
      if (null_flags->length != 0) {
        Fail(file, 211,
             "Field: " + entry.name + " [0] in " + file_name + " is a second null-flags field");
        return false;
      }
      *null_flags = entry;
      continue;
    }
    if (!ok) {
      // The field's own message is the one the user needs; it is reported with the file closed.
      const std::string message = LastErrorMessage;
      Fail(file, 211, message);
      return false;
    }
    fields.push_back(std::move(entry));
  }
  return true;
}

// Character fields wider than 255 keep the high byte of their length in the decimal count, as
// Clipper and FoxPro write them. The wider reading is taken when it still fits the record, so a
// stray decimal count on a table whose plain lengths fill the record changes nothing.
void ApplyWideCharacterFields(std::vector<FieldEntry>& fields, std::uint16_t record_length) {
  std::uint32_t wide_total = 1;
  bool any_wide = false;
  for (const FieldEntry& f : fields) {
    const bool wide = f.type == 'C' && f.decimals != 0;
    any_wide = any_wide || wide;
    wide_total += wide ? f.length + 256u * f.decimals : f.length;
  }
  if (!any_wide || wide_total > record_length) return;
  std::uint32_t offset = 1;
  for (FieldEntry& f : fields) {
    if (f.type == 'C' && f.decimals != 0) {
      f.length = static_cast<std::uint16_t>(f.length + 256u * f.decimals);
      f.decimals = 0;
    }
    f.offset = static_cast<std::uint16_t>(offset);
    offset += f.length;
  }
}

// Whether a field's length can hold a value of its type: the record-image transfer, the
// expression reader and the tools read and write that many bytes. Number fields of length 0 are
// taken (other programs write them, as always-blank columns) and hold nothing; dates may be
// wider than 8 (some programs write D 10) but never narrower.
bool LengthHoldsType(const FieldEntry& f) {
  switch (f.storage) {
    case FieldStorage::kClassic:
      break;
    case FieldStorage::kInt32:
    case FieldStorage::kInt32Flipped:
    case FieldStorage::kBinaryMemo:
      return f.length == 4;
    case FieldStorage::kVarchar:
    case FieldStorage::kVarbinary:
      return f.length >= 1;
    default:
      return f.length == 8;
  }
  switch (f.type) {
    case 'C':
      return f.length >= 1;
    case 'D':
      return f.length >= 8;
    case 'L':
      return f.length == 1;
    case 'M':
      return f.length == 10;
    default:
      return true;  // N, F
  }
}

// The checks every reader shares once the fields are known: the record must hold the deletion
// flag and every field, or reads and writes of a field would run into the next record.
bool CheckRecordFits(TableRecord& t, os::File& file, const char* operation) {
  for (const FieldEntry& f : t.fields) {
    if (!LengthHoldsType(f)) {
      Fail(file, 210,
           NotADatabase(NameOnly(t.file_name),
                        "Field " + f.name + " " + std::string(1, f.type) + " of length " +
                            std::to_string(f.length) + " cannot hold its type",
                        operation));
      return false;
    }
  }
  std::uint32_t end = 1;
  for (const FieldEntry& f : t.fields) end = f.offset + f.length;
  if (t.null_flags_length != 0)
    end = std::max<std::uint32_t>(end, t.null_flags_offset + t.null_flags_length);
  if (end > t.record_length) {
    // Other programs read such a table with records as long as its fields (the header's record
    // length is the fault): so does this engine, for reading only.
    const bool read_only = (t.open_mode & 3) == 0;
    const std::string damage = "the fields need a record length of " + std::to_string(end) +
                               " bytes, the header says " + std::to_string(t.record_length);
    if (!read_only || end > 0xFFFF) {
      Fail(file, 210,
           NotADatabase(NameOnly(t.file_name),
                        "Fields do not fit the record length: " + damage +
                            (end > 0xFFFF ? "" : "; the table opens only for reading"),
                        operation));
      return false;
    }
    t.damage = damage;
    t.record_length = static_cast<std::uint16_t>(end);
  }
  return true;
}

// Visual FoxPro numbers the bits of _NullFlags in field order: a V or Q field first takes one
// for its varying length, then a field that may be null one for .NULL.
void AssignNullBits(TableRecord& t, const FieldEntry& null_flags, std::vector<FieldEntry>& fields) {
  if (null_flags.length == 0) return;
  t.null_flags_offset = null_flags.offset;
  t.null_flags_length = null_flags.length;
  int bit = 0;
  for (FieldEntry& f : fields) {
    if (f.storage == FieldStorage::kVarchar || f.storage == FieldStorage::kVarbinary) {
      f.varying_bit = static_cast<std::int16_t>(bit++);
    }
    if ((f.flags & kFieldMayBeNull) != 0) f.null_bit = static_cast<std::int16_t>(bit++);
  }
}

void ReadDescriptors(TableRecord& t, os::File& file) {
  const std::uint8_t version = t.header[0];
  if (ExtraVersionMemo != 0) {
    t.has_memo = version == ExtraVersionMemo;
  } else {
    t.has_memo = (version & 0x80) != 0;
  }
  const bool level7 = t.IsLevel7();
  const bool visual_foxpro = t.IsVisualFoxPro();
  if (visual_foxpro) t.has_memo = (t.header[28] & kFoxProFlagMemo) != 0;
  const Variant variant = level7          ? Variant::kLevel7
                          : visual_foxpro ? Variant::kVisualFoxPro
                                          : Variant::kDbase;
  const DescriptorLayout& layout = level7 ? kLevel7Layout : kDbase3Layout;
  const int header_length = t.header_length;
  int area_size = header_length - kPrologueSize;
  int field_slots;
  if (level7) {
    area_size -= kLevel7ExtensionSize;
    field_slots = (header_length - kPrologueSize - kLevel7ExtensionSize) / layout.size;
  } else {
    field_slots = (header_length - kPrologueSize) / layout.size;
    // The backlink after a Visual FoxPro terminator is no room for descriptors.
    if (visual_foxpro && field_slots > 255) field_slots = 255;
  }
  if (field_slots < 1 || field_slots > 255) {
    Fail(file, 210,
         NotADatabase(NameOnly(t.file_name), "Number of fields is out of range", "[Use/OpenDbf]"));
    return;
  }
  t.update_date = UpdateDate(t.header[1], t.header[2], t.header[3]);
  t.record_count = static_cast<std::int32_t>(Le32(&t.header[4]));
  t.record_length = Le16(&t.header[10]);
  t.state = kStateOpen;

  const std::string reading_error = "Error reading " + t.file_name + " [Use/OpenDbf]";
  std::uint64_t offset = kPrologueSize;
  std::size_t got = 0;
  if (level7) {
    std::array<std::byte, kLevel7ExtensionSize> extension;
    const int io = file.ReadAt(offset, extension, got);
    if (io != 0 || got < extension.size()) return Fail(file, 100, reading_error);
    offset += kLevel7ExtensionSize;
    for (std::size_t i = 0; i < kLevel7DriverNameSize && extension[i] != std::byte{0}; ++i) {
      t.driver_name += static_cast<char>(extension[i]);
    }
  }
  std::vector<std::uint8_t> area(static_cast<std::size_t>(area_size));
  const int io = file.ReadAt(offset, std::as_writable_bytes(std::span(area)), got);
  if (io != 0 || got < area.size()) return Fail(file, 100, reading_error);

  std::vector<FieldEntry> fields;
  bool terminated = false;
  FieldEntry null_flags;
  if (!ParseSlots(area.data(), field_slots, layout, variant, offset, t.file_name, file, fields,
                  terminated, &null_flags)) {
    return;
  }
  if (fields.empty()) return Fail(file, 222, reading_error);
  if (visual_foxpro) {
    AssignNullBits(t, null_flags, fields);
    // Some writers (python's dbf) leave byte 28 clear; the memo fields still need their file.
    t.has_memo = t.has_memo || std::any_of(fields.begin(), fields.end(),
                                           [](const FieldEntry& f) { return f.type == 'M'; });
  }
  if (version == kVersionDbase4Sql && !ExtraVersionsSet()) {
    // Bit 7 marks the SQL table, not a memo file: there is one only for memo fields.
    t.has_memo = std::any_of(fields.begin(), fields.end(),
                             [](const FieldEntry& f) { return f.type == 'M'; });
  }
  t.field_count = static_cast<std::uint8_t>(fields.size());
  t.fields = std::move(fields);
}

void ReadDescriptorsLevel2(TableRecord& t, os::File& file, std::uint64_t file_size) {
  t.record_count = Le16(&t.header[1]);
  t.update_date = UpdateDate(t.header[5], t.header[3], t.header[4]);
  t.record_length = Le16(&t.header[6]);
  t.header_length = kDbase2HeaderLength;
  if (file_size < kDbase2HeaderLength) {
    return Fail(file, 210,
                t.file_name + " is not a dBASE database.(Header is less than 521 bytes) " +
                    "[Use/OpenDBF]");
  }
  t.state = kStateOpen;
  t.has_memo = false;
  std::array<std::uint8_t, 512> area;
  std::size_t got = 0;
  const int io = file.ReadAt(8, std::as_writable_bytes(std::span(area)), got);
  if (io != 0 || got < area.size()) {
    return Fail(file, io != 0 ? static_cast<std::uint16_t>(io) : 100,
                "Error reading " + t.file_name + " [Use/OpenDbf]");
  }
  std::vector<FieldEntry> fields;
  bool terminated = false;
  if (!ParseSlots(area.data(), 32, kDbase2Layout, Variant::kDbase, 8, t.file_name, file, fields,
                  terminated)) {
    return;
  }
  if (!terminated || fields.empty()) {
    return Fail(file, 210,
                NameOnly(t.file_name) +
                    " is not a dBASE database.(Number of fields is out of range) [Use/OpenDbf]");
  }
  t.field_count = static_cast<std::uint8_t>(fields.size());
  t.fields = std::move(fields);
}

}  // namespace

bool TableRecord::IsDbase2() const {
  return header[0] == kVersionDbase2 && ExtraVersionPlain == 0 && ExtraVersionMemo == 0;
}

bool TableRecord::IsLevel7() const {
  return (header[0] == kVersionLevel7 || header[0] == kVersionLevel7Memo) && !ExtraVersionsSet();
}

bool TableRecord::IsVisualFoxPro() const {
  return (header[0] == kVersionVisualFoxPro || header[0] == kVersionVisualFoxProAutoinc ||
          header[0] == kVersionVisualFoxProVarchar) &&
         !ExtraVersionsSet();
}

bool TableRecord::HasStructuralCdx() const {
  if ((header[28] & kFoxProFlagCdx) == 0) return false;
  if (IsVisualFoxPro()) return true;
  // FoxPro 2 (0xF5) shares the flag with dBASE's production .MDX, which this engine writes too:
  // a .CDX is meant only when one is there and no .MDX is.
  return header[0] == kVersionFoxProMemo && !ExtraVersionsSet() &&
         os::FileExists(DerivedFileName(file_name, "CDX")) &&
         !os::FileExists(DerivedFileName(file_name, "MDX"));
}

bool IsAcceptedVersion(std::uint8_t version) {
  switch (version) {
    case kVersionDbase2:
    case kVersionDbase3:
    case kVersionDbase3Memo:
    case kVersionDbase4Memo:
    case kVersionFoxProMemo:
    case kVersionLevel7:
    case kVersionLevel7Memo:
    case kVersionVisualFoxPro:
    case kVersionVisualFoxProAutoinc:
    case kVersionVisualFoxProVarchar:
    case kVersionDbase4Sql:
      return true;
    default:
      return (ExtraVersionPlain != 0 && version == ExtraVersionPlain) ||
             (ExtraVersionMemo != 0 && version == ExtraVersionMemo);
  }
}

bool VersionHasMemo(std::uint8_t version) {
  if (version == kVersionDbase2 && !ExtraVersionsSet()) return false;
  if (ExtraVersionMemo != 0) return version == ExtraVersionMemo;
  return (version & 0x80) != 0;
}

const char* VersionName(std::uint8_t version) {
  switch (version) {
    case kVersionDbase2:
      return "dBASE II";
    case kVersionDbase3:
      return "dBASE III/IV without memo";
    case kVersionDbase3Memo:
      return "dBASE III with memo";
    case kVersionDbase4Memo:
      return "dBASE IV with memo";
    case kVersionFoxProMemo:
      return "FoxPro with memo";
    case kVersionLevel7:
      return "dBASE level 7 without memo";
    case kVersionLevel7Memo:
      return "dBASE level 7 with memo";
    case kVersionVisualFoxPro:
      return "Visual FoxPro";
    case kVersionVisualFoxProAutoinc:
      return "Visual FoxPro with autoincrement";
    case kVersionVisualFoxProVarchar:
      return "Visual FoxPro with varchar";
    case kVersionDbase4Sql:
      return "dBASE IV SQL table";
    default:
      return "unknown";
  }
}

void OpenDbf(TableRecord& t) {
  t.file_name = DefaultExtension(t.file_name, "DBF");
  if (!TableNameHasStem(t.file_name)) {
    SetEngineError(220, t.file_name + kNoStemText + " [USE/OpenDbf]");
    return;
  }
  // Every door that opens a table (USE, the library, vxdbf, Python, SQL, the browser) first
  // undoes a replacement of its files that a killed process left half done: until then the
  // table may stand beside another set's memo file or index. A journal another program holds
  // is that program's running replacement, which keeps the old files whole until it commits.
  const JournalOutcome journal = UndoPendingJournal(t.file_name);
  if (journal.state == JournalState::kRefused) {
    SetEngineError(os::kIoAccessDenied, journal.problem + " [USE/OpenDbf]");
    return;
  }
  os::File file;
  const int open_result = os::File::Open(t.file_name, t.open_mode, file);
  EngineErrorCode = static_cast<std::uint16_t>(open_result);
  if (open_result != 0) {
    // A folder is no table: said so, rather than a missing file of its name with ".DBF" added.
    std::string folder = t.file_name;
    if (!os::DirectoryExists(folder) && folder.ends_with(".DBF")) folder.resize(folder.size() - 4);
    if (os::DirectoryExists(folder)) {
      SetEngineError(2, folder + " is a folder, not a table [USE/OpenDbf]");
      return;
    }
    SetEngineError(static_cast<std::uint16_t>(open_result),
                   "Failure to open " + t.file_name + " [USE/OpenDbf]");
    return;
  }
  t.table_key = os::FileIdentity(file);
  if (t.table_key.empty()) t.table_key = FullPath(t.file_name);

  std::uint64_t file_size = 0;
  if (const int io = file.Size(file_size); io != 0) {
    return Fail(file, static_cast<std::uint16_t>(io),
                "Error reading " + t.file_name + " [Use/OpenDbf]");
  }
  // The prologue.
  std::size_t got = 0;
  const int io = file.ReadAt(0, std::as_writable_bytes(std::span(t.header)), got);
  if (io != 0 || got < kPrologueSize) {
    return Fail(file, 210,
                NotADatabase(t.file_name, "Prolog is less than 32 bytes", "[USE/OpenDBF]"));
  }
  if (!IsAcceptedVersion(t.header[0])) {
    return Fail(file, 210,
                t.file_name + " is not a dBASE database.(Invalid version byte)+ [USE/OpenDBF]");
  }
  if (t.IsDbase2()) {
    ReadDescriptorsLevel2(t, file, file_size);
  } else {
    const std::uint16_t header_length = Le16(&t.header[8]);
    if (header_length < kPrologueSize + 1 || header_length > SHRT_MAX) {
      return Fail(file, 210,
                  NotADatabase(t.file_name, "Header length is out of range", "[USE/OpenDBF]"));
    }
    t.header_length = static_cast<std::int16_t>(header_length);
    if (Le32(&t.header[4]) > static_cast<std::uint32_t>(kMaxRecordCount)) {
      return Fail(file, 210,
                  NotADatabase(t.file_name, "Record count is out of range", "[USE/OpenDBF]"));
    }
    ReadDescriptors(t, file);
  }
  if (!file.IsOpen()) return;  // a reader failed with reporting switched off
  if (t.record_length < 1) {
    return Fail(
        file, 210,
        NotADatabase(NameOnly(t.file_name), "Record length is out of range", "[Use/OpenDbf]"));
  }
  if (!t.IsDbase2()) ApplyWideCharacterFields(t.fields, t.record_length);
  if (!CheckRecordFits(t, file, "[Use/OpenDbf]")) return;

  t.record.assign(t.record_length, kLiveFlag);
  t.file = std::move(file);
  t.cpg = ReadCpgFile(t.file_name);
  t.code_page = MarkedCodePage(t);
  EngineErrorCode = 0;
  if (CountFromFileSize) {
    const std::uint64_t data = file_size > static_cast<std::uint64_t>(t.header_length)
                                   ? file_size - static_cast<std::uint64_t>(t.header_length)
                                   : 0;
    const std::uint64_t count = data / t.record_length;
    t.record_count = count > static_cast<std::uint64_t>(kMaxRecordCount)
                         ? kMaxRecordCount
                         : static_cast<std::int32_t>(count);
  }
  if (t.record_count < 1) {
    t.record_number = 0;
    t.at_beginning = true;
    t.at_end = true;
  } else {
    t.record_number = 1;
    t.at_beginning = false;
    t.at_end = false;
  }
}

bool TableNameHasStem(const std::string& table_file) {
  return !SplitPath(TrimText(table_file)).name.empty();
}

std::string DerivedFileName(const std::string& table_file, const std::string& ext) {
  const PathParts parts = SplitPath(table_file);
  bool lower = false;
  for (char c : parts.ext) {
    if (std::islower(static_cast<unsigned char>(c))) lower = true;
  }
  std::string new_ext = ext;
  for (char& c : new_ext) {
    c = static_cast<char>(lower ? std::tolower(static_cast<unsigned char>(c))
                                : std::toupper(static_cast<unsigned char>(c)));
  }
  return parts.dir + parts.name + "." + new_ext;
}

}  // namespace vx
