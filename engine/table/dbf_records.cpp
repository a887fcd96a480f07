#include "engine/table/dbf_records.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <span>

#include "engine/foundation/errors.h"
#include "engine/foundation/file_utils.h"
#include "engine/foundation/settings.h"
#include "engine/foundation/strings.h"
#include "platform/os/codepage.h"
#include "platform/os/system.h"

namespace vx {

namespace {

std::span<const std::byte> Bytes(const std::vector<char>& buffer) {
  return std::as_bytes(std::span(buffer));
}

void PutLe16(std::uint8_t* p, std::uint32_t value) {
  p[0] = static_cast<std::uint8_t>(value);
  p[1] = static_cast<std::uint8_t>(value >> 8);
}

void PutLe32(std::uint8_t* p, std::uint32_t value) {
  PutLe16(p, value);
  PutLe16(p + 2, value >> 16);
}

std::uint32_t GetLe32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::string TodayStoredText() {
  const os::LocalTime now = os::Now();
  char text[16];
  std::snprintf(text, sizeof text, "%04d%02d%02d", now.year, now.month, now.day);
  return text;
}

// Hands an operation on a virtual table to its manager.
void CallVirtualManager(TableRecord& t, std::uint8_t operation, std::int32_t n) {
  t.virtual_operation = operation;
  t.virtual_record_number = n;
  if (VirtualFileManagerProc == nullptr) {
    SetEngineError(1101, "File:  " + t.file_name + " [VirtualFileManager]");
    return;
  }
  VirtualFileManagerProc(t);
}

// Writes the end-of-file marker after the last record; answers the I/O result.
int WriteEndOfFileMarker(TableRecord& t) {
  const std::byte marker{static_cast<unsigned char>(kEndOfFileMarker)};
  return t.file.WriteAt(t.RecordOffset(t.record_count + 1), std::span(&marker, 1));
}

// Size of a read-ahead block and of the appended records kept behind.
constexpr std::size_t kBlockBytes = 64 * 1024;

std::size_t RecordsPerBlock(const TableRecord& t) {
  const std::size_t records = kBlockBytes / t.record_length;
  return records == 0 ? 1 : records;
}

bool Translates(const TableRecord& t) {
  return t.oem || t.read_hook != nullptr || t.write_hook != nullptr;
}

// Which fields of the buffer still hold what record n read into it (none when the buffer holds
// another record or nothing is translated).
std::vector<bool> FieldsAsRead(const TableRecord& t, std::int32_t n) {
  std::vector<bool> same;
  if (n == 0 || n != t.stored_number || !Translates(t) || t.read_record.size() != t.record.size() ||
      t.stored_record.size() != t.record.size()) {
    return same;
  }
  same.reserve(t.fields.size());
  for (const FieldEntry& f : t.fields) {
    same.push_back(
        std::memcmp(t.record.data() + f.offset, t.read_record.data() + f.offset, f.length) == 0);
  }
  return same;
}

// Puts the stored bytes back into the translated buffer for the fields FieldsAsRead found
// unchanged.
void KeepStoredBytes(TableRecord& t, const std::vector<bool>& as_read) {
  for (std::size_t i = 0; i < as_read.size(); ++i) {
    if (!as_read[i]) continue;
    const FieldEntry& f = t.fields[i];
    std::memcpy(t.record.data() + f.offset, t.stored_record.data() + f.offset, f.length);
  }
}

// Whether no other program can append to the table now: it is open exclusive, or this open
// holds the append or file lock.
bool OwnsTheEnd(const TableRecord& t) {
  return t.exclusive || t.lock_state == kLockAppend || t.lock_state == kLockFile;
}

// After a failed append: cuts off whatever part of the records from `first` on reached the
// disk, so that no reader takes a partial or uncounted record for one. Only while nobody else
// can have appended after them; a failure here leaves the file as it is (the header count still
// excludes the records).
void DropUnwrittenTail(TableRecord& t, std::int32_t first) {
  if (OwnsTheEnd(t)) t.file.Truncate(t.RecordOffset(first));
}

// After a failed header write at close of an exclusive table: the count on the disk is the
// one that stays, so the records appended after it (answered with success, but never counted)
// go, rather than wait for a reader that takes whole records from the file size. Not on a
// shared table: records past the count there may be other programs' appends, already seen.
void DropUncountedRecords(TableRecord& t) {
  std::uint32_t count = 0;
  if (!t.exclusive || !ReadHeaderCount(t, count)) return;
  if (count < static_cast<std::uint32_t>(t.record_count)) {
    DropUnwrittenTail(t, static_cast<std::int32_t>(count) + 1);
  }
}

// The largest record count a table of this version can store: dBASE II keeps 16 bits.
std::int32_t MaxRecordCount(const TableRecord& t) {
  return t.IsDbase2() ? 0xFFFF : kMaxRecordCount;
}

}  // namespace

void DropReadBlock(TableRecord& t) {
  t.read_count = 0;
  t.last_read = 0;
}

bool ReadHeaderCount(TableRecord& t, std::uint32_t& count) {
  std::array<std::uint8_t, 4> on_disk{};
  const std::size_t width = t.IsDbase2() ? 2 : 4;
  std::size_t got = 0;
  const int io = t.file.ReadAt(t.IsDbase2() ? 1 : 4,
                               std::as_writable_bytes(std::span(on_disk.data(), width)), got);
  if (io != 0 || got != width) return false;
  count = GetLe32(on_disk.data());
  return true;
}

bool FlushAppends(TableRecord& t) {
  if (t.pending.empty()) return true;
  const int io = t.file.WriteAt(t.RecordOffset(t.pending_first), Bytes(t.pending));
  const std::int32_t first = t.pending_first;
  t.pending.clear();
  t.pending_first = 0;
  EngineErrorCode = static_cast<std::uint16_t>(io);
  if (io != 0) {
    // The records that never reached the disk are not counted, and what reached it of them
    // goes: they were answered provisionally, and this failure is their answer.
    DropUnwrittenTail(t, first);
    t.record_count = first - 1;
    if (t.record_number > t.record_count) t.record_number = t.record_count;
    SetEngineError(static_cast<std::uint16_t>(io),
                   "File:  " + t.file_name + " [Replace/Append/PutDbfRecord]");
    return false;
  }
  return true;
}

bool TranslatedField(const FieldEntry& f) {
  return f.type == 'C' && f.storage == FieldStorage::kClassic &&
         (f.flags & (kFieldBinary | kFieldSystem)) == 0;
}

namespace {

// Converts the text fields of one record (binary fields and the deletion flag stay as they are).
void ConvertText(const std::vector<FieldEntry>& fields, std::size_t record_length, char* record,
                 bool to_ansi) {
  for (const FieldEntry& f : fields) {
    if (!TranslatedField(f) || static_cast<std::size_t>(f.offset) + f.length > record_length) {
      continue;
    }
    const std::span<char> text(record + f.offset, f.length);
    if (to_ansi) {
      os::OemToAnsiBuffer(text);
    } else {
      os::AnsiToOemBuffer(text);
    }
  }
}

}  // namespace

void StoredRecordBytes(const TableRecord& t, std::vector<char>& out) {
  out.assign(t.record.begin(), t.record.end());
  if (!t.oem || out.size() < 2) return;
  ConvertText(t.fields, out.size(), out.data(), false);
  const bool as_read = t.read_hook == nullptr && t.write_hook == nullptr && t.record_number != 0 &&
                       t.record_number == t.stored_number && t.read_record.size() == out.size() &&
                       t.stored_record.size() == out.size();
  if (!as_read) return;
  for (const FieldEntry& f : t.fields) {
    if (static_cast<std::size_t>(f.offset) + f.length > out.size()) continue;
    if (std::memcmp(t.record.data() + f.offset, t.read_record.data() + f.offset, f.length) == 0) {
      std::memcpy(out.data() + f.offset, t.stored_record.data() + f.offset, f.length);
    }
  }
}

void TranslateRecords(TranslateDirection direction, const TableRecord& t, RecordHook hook,
                      std::size_t total_length, char* buffer) {
  const std::size_t record_length = t.record.size();
  if ((!t.oem && hook == nullptr) || record_length < 2) return;
  const std::size_t records = total_length / record_length;
  for (std::size_t i = 0; i < records; ++i) {
    char* record = buffer + i * record_length;
    const int length = static_cast<int>(record_length - 1);
    if (direction == TranslateDirection::kRead) {
      if (hook != nullptr) hook(record + 1, length);
      if (t.oem) ConvertText(t.fields, record_length, record, true);
    } else {
      if (t.oem) ConvertText(t.fields, record_length, record, false);
      if (hook != nullptr) hook(record + 1, length);
    }
  }
}

void GetDbfRecord(TableRecord& t, std::int32_t n) {
  if (n < 1 || n > t.record_count) {
    SetEngineError(212, "Invalid record number = " + std::to_string(n) + " (" + t.file_name +
                            ")  [GetDbfRecord]");
    return;
  }
  t.at_beginning = false;
  t.at_end = false;
  if (t.is_virtual) return CallVirtualManager(t, kVirtualRead, n);
  if (!t.pending.empty() && n >= t.pending_first && !FlushAppends(t)) return;
  const std::size_t length = t.record.size();
  int io = 0;
  const bool in_block = t.read_ahead && n >= t.read_first && n < t.read_first + t.read_count;
  if (in_block) {
    std::memcpy(t.record.data(),
                t.read_block.data() + static_cast<std::size_t>(n - t.read_first) * length, length);
  } else if (t.read_ahead && n == t.last_read + 1) {
    // A sequential reader: read a block of records at once.
    const std::size_t wanted =
        std::min<std::size_t>(RecordsPerBlock(t), static_cast<std::size_t>(t.record_count - n) + 1);
    t.read_block.resize(wanted * length);
    std::size_t got = 0;
    io = t.file.ReadAt(t.RecordOffset(n), std::as_writable_bytes(std::span(t.read_block)), got);
    t.read_first = n;
    t.read_count = io == 0 ? static_cast<std::int32_t>(got / length) : 0;
    if (io == 0 && t.read_count == 0) io = 213;
    if (io == 0) std::memcpy(t.record.data(), t.read_block.data(), length);
  } else {
    std::size_t got = 0;
    io = t.file.ReadAt(t.RecordOffset(n), std::as_writable_bytes(std::span(t.record)), got);
    if (io == 0 && got < length) io = 213;
  }
  EngineErrorCode = static_cast<std::uint16_t>(io);
  if (io != 0) {
    SetEngineError(static_cast<std::uint16_t>(io), "File:  " + t.file_name + "  [GetDbfRecord]");
    return;
  }
  t.record_number = n;
  t.last_read = n;
  if (Translates(t)) {
    t.stored_record = t.record;
    TranslateRecords(TranslateDirection::kRead, t, t.read_hook, length, t.record.data());
    t.read_record = t.record;
    t.stored_number = n;
  }
}

void PutDbfRecord(TableRecord& t, std::int32_t n) {
  const bool append = n > t.record_count;
  if (append) n = t.record_count + 1;
  if (t.is_virtual) return CallVirtualManager(t, kVirtualWrite, n);
  if (append && n > MaxRecordCount(t)) {
    // A dBASE II header counts in 16 bits: one more record would store a count of 0.
    SetEngineError(212, "Table is full: " + t.file_name + " holds at most " +
                            std::to_string(MaxRecordCount(t)) +
                            " records [Replace/Append/PutDbfRecord]");
    return;
  }
  if (!append && !t.pending.empty() && n >= t.pending_first && !FlushAppends(t)) return;
  const std::int32_t previous_count = t.record_count;
  const std::int32_t previous_number = t.record_number;
  if (append) {
    t.record_count = n;
    t.record_number = n;
  }
  const std::size_t length = t.record.size();
  const std::vector<bool> as_read = FieldsAsRead(t, append ? 0 : n);
  TranslateRecords(TranslateDirection::kWrite, t, t.write_hook, length, t.record.data());
  KeepStoredBytes(t, as_read);
  int io = 0;
  if (append && t.append_behind) {
    if (t.pending.empty()) t.pending_first = n;
    t.pending.insert(t.pending.end(), t.record.begin(), t.record.end());
  } else {
    io = t.file.WriteAt(t.RecordOffset(n), Bytes(t.record));
    if (io == 0 && t.read_ahead && n >= t.read_first && n < t.read_first + t.read_count) {
      std::memcpy(t.read_block.data() + static_cast<std::size_t>(n - t.read_first) * length,
                  t.record.data(), length);
    }
  }
  if (Translates(t) && io == 0) {
    t.stored_record = t.record;
    t.stored_number = n;
  } else {
    t.stored_number = 0;
  }
  TranslateRecords(TranslateDirection::kRead, t, t.read_hook, length, t.record.data());
  if (t.stored_number != 0) t.read_record = t.record;
  EngineErrorCode = static_cast<std::uint16_t>(io);
  if (io != 0) {
    // A record that never reached the disk must not be counted: the header would otherwise
    // claim it on the next commit.
    if (append) {
      DropUnwrittenTail(t, n);
      t.record_count = previous_count;
      t.record_number = previous_number;
    }
    SetEngineError(static_cast<std::uint16_t>(io),
                   "File:  " + t.file_name + " [Replace/Append/PutDbfRecord]");
    return;
  }
  if (!append) {
    if (t.state != kStateAppended) t.state = kStateRewritten;
    if (FlushAfterWrite) FlushFile(t.file);
  } else {
    t.state = kStateAppended;
    if (t.pending.size() >= kBlockBytes) FlushAppends(t);
    if (FlushAfterWrite) CommitDbf(t);
  }
}

void AppendFromBuffer(TableRecord& t) { PutDbfRecord(t, t.record_count + 1); }

void WriteDeleteFlag(TableRecord& t, std::int32_t n) {
  if (!FlushAppends(t)) return;
  // Marking is an edit of a record that exists: one byte after the last record is no record.
  if (n < 1 || n > t.record_count) {
    SetEngineError(212, "Invalid record number = " + std::to_string(n) + " (" + t.file_name +
                            ")  [DeleteRec/RecallRec]");
    return;
  }
  const std::byte flag{static_cast<unsigned char>(t.record[0])};
  const int io = t.file.WriteAt(t.RecordOffset(n), std::span(&flag, 1));
  EngineErrorCode = static_cast<std::uint16_t>(io);
  if (io != 0) {
    SetEngineError(static_cast<std::uint16_t>(io),
                   "File:  " + t.file_name + " [DeleteRec/RecallRec]");
    return;
  }
  if (t.read_ahead && n >= t.read_first && n < t.read_first + t.read_count) {
    t.read_block[static_cast<std::size_t>(n - t.read_first) * t.record.size()] = t.record[0];
  }
  if (t.state != kStateAppended) t.state = kStateRewritten;
  if (FlushAfterWrite) FlushFile(t.file);
}

int KeepBeforeImage(TableRecord& t, std::int32_t n, RecordBeforeImage& out) {
  out = RecordBeforeImage{};
  out.n = n;
  out.count = t.record_count;
  out.number = t.record_number;
  out.state = t.state;
  int io = t.file.Size(out.size);
  if (io != 0) return io;
  const std::uint64_t offset = t.RecordOffset(n);
  // An append overwrites the end marker: one byte more than a record.
  out.stored.resize(n > t.record_count ? t.record_length + 1u : t.record_length);
  // Only what the file holds is asked for: a read past its end would ask the size again.
  if (offset < out.size && out.size - offset < out.stored.size()) {
    out.stored.resize(static_cast<std::size_t>(out.size - offset));
  }
  std::size_t got = 0;
  if (offset < out.size) io = t.file.ReadAt(offset, out.stored, got);
  if (io != 0) return io;
  out.stored.resize(got);
  out.prologue.resize(t.IsDbase2() ? 6 : 8);
  io = t.file.ReadAt(0, out.prologue, got);
  out.prologue.resize(got);
  return io;
}

int PutBackBeforeImage(TableRecord& t, const RecordBeforeImage& image) {
  int first = 0;
  const auto note = [&](int io) {
    if (first == 0) first = io;
  };
  if (!image.stored.empty()) note(t.file.WriteAt(t.RecordOffset(image.n), image.stored));
  std::uint64_t size = 0;
  if (t.file.Size(size) == 0 && size > image.size) note(t.file.Truncate(image.size));
  std::vector<std::byte> prologue(image.prologue.size());
  std::size_t got = 0;
  if (t.file.ReadAt(0, prologue, got) == 0 && got == prologue.size() &&
      prologue != image.prologue) {
    note(t.file.WriteAt(0, image.prologue));
  }
  if (image.n > image.count) {
    std::memcpy(&t.header[0], image.prologue.data(), image.prologue.size());
  }
  t.record_count = image.count;
  t.record_number = image.number;
  t.state = image.state;
  t.stored_number = 0;
  DropReadBlock(t);
  if (first == 0 && image.n <= image.count) {
    QuietErrors quiet;
    GetDbfRecord(t, image.n);
    t.record_number = image.number;
  }
  if (first == 0 && FlushAfterWrite) FlushFile(t.file);
  return first;
}

void WriteDbfHeader(TableRecord& t) {
  const os::LocalTime today = os::Now();
  std::size_t header_bytes = kPrologueSize;
  if (t.IsDbase2()) {
    t.header[3] = static_cast<std::uint8_t>(today.month);
    t.header[4] = static_cast<std::uint8_t>(today.day);
    t.header[5] = static_cast<std::uint8_t>(today.year - 1900);
    PutLe16(&t.header[1], static_cast<std::uint32_t>(t.record_count));
    header_bytes = 8;
  } else {
    std::array<std::byte, 12> multi_user;
    std::size_t got = 0;
    const int io = t.file.ReadAt(16, multi_user, got);
    EngineErrorCode = static_cast<std::uint16_t>(io);
    if (io == 0 && got == multi_user.size()) {
      std::memcpy(&t.header[16], multi_user.data(), multi_user.size());
    }
    t.header[1] = static_cast<std::uint8_t>(today.year - 1900);
    t.header[2] = static_cast<std::uint8_t>(today.month);
    t.header[3] = static_cast<std::uint8_t>(today.day);
    // On a shared table another program may have appended and written its larger count since
    // this one was taken: the header's count never goes back. Without an append of this open
    // the count is not this open's to change at all: the one on the disk stays.
    std::uint32_t count = static_cast<std::uint32_t>(t.record_count);
    if (!t.exclusive) {
      std::uint32_t disk_count = 0;
      // Without a readable count, the one this open read keeps its place in the header image.
      if (!ReadHeaderCount(t, disk_count)) disk_count = GetLe32(&t.header[4]);
      if (t.state != kStateAppended ||
          (disk_count > count && disk_count <= static_cast<std::uint32_t>(kMaxRecordCount))) {
        count = disk_count;
      }
    }
    PutLe32(&t.header[4], count);
  }
  const int io = t.file.WriteAt(0, std::as_bytes(std::span(t.header.data(), header_bytes)));
  EngineErrorCode = static_cast<std::uint16_t>(io);
  if (io != 0) {
    SetEngineError(static_cast<std::uint16_t>(io), "File:  " + t.file_name + " [WriteDbfHeader]");
  }
}

void CommitDbf(TableRecord& t) {
  EngineErrorCode = 0;
  if (t.state != kStateRewritten && t.state != kStateAppended) return;
  if (t.is_virtual) {
    t.state = kStateOpen;
    return;
  }
  if (!FlushAppends(t)) return;
  WriteDbfHeader(t);
  if (EngineErrorCode == 0 && t.state == kStateAppended) {
    const int io = WriteEndOfFileMarker(t);
    if (io != 0) {
      t.state = kStateOpen;
      SetEngineError(static_cast<std::uint16_t>(io), "File:  " + t.file_name + " [CommitDbf]");
      return;
    }
  }
  t.state = kStateOpen;
  if (EngineErrorCode == 0) FlushFile(t.file);
}

void CloseDbf(TableRecord& t) {
  EngineErrorCode = 0;
  if (t.is_virtual) {
    CallVirtualManager(t, kVirtualClose, t.record_number);
    return;
  }
  // Every step runs even when one fails, so the file is always closed and the buffers freed;
  // the first failure is reported at the end.
  std::uint16_t error = 0;
  {
    QuietErrors quiet;
    if (t.file.IsOpen() && !FlushAppends(t)) error = EngineErrorCode;
    if (t.file.IsOpen() && (t.state == kStateRewritten || t.state == kStateAppended)) {
      WriteDbfHeader(t);
      if (error == 0) error = EngineErrorCode;
      if (EngineErrorCode != 0 && t.state == kStateAppended) DropUncountedRecords(t);
      if (error == 0 && t.state == kStateAppended) {
        error = static_cast<std::uint16_t>(WriteEndOfFileMarker(t));
      }
    }
    const int closed = t.file.IsOpen() ? t.file.Close() : 0;
    if (error == 0) error = static_cast<std::uint16_t>(closed);
  }
  t.state = kStateClosed;
  t.memo.reset();
  t.record.clear();
  t.record.shrink_to_fit();
  t.fields.clear();
  t.read_block.clear();
  t.read_block.shrink_to_fit();
  t.read_count = 0;
  t.pending.clear();
  EngineErrorCode = error;
  if (error != 0) {
    SetEngineError(error, "File:  " + t.file_name + " [CloseDbf(" + t.file_name + ")]");
  }
}

namespace {

// Validates one definition and writes its descriptor. Answers false for a definition the
// table cannot hold.
bool WriteDescriptor(const FieldEntry& definition, bool level7, bool memo_types_allowed,
                     std::uint8_t version, std::uint8_t* slot, std::uint32_t& record_length,
                     bool& has_memo) {
  std::string name = TrimText(definition.name);
  if (name.size() > 10) name.resize(10);
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (name.empty()) return false;
  char type = static_cast<char>(std::toupper(static_cast<unsigned char>(definition.type)));
  switch (type) {
    case 'C':
    case 'D':
    case 'F':
    case 'L':
    case 'M':
    case 'N':
      break;
    case 'B':
    case 'G':
    case 'P':
      if (!memo_types_allowed) return false;
      break;
    case 'I':
    case '+':
    case 'O':
    case '@':
      if (!level7) return false;  // level 7's binary kinds
      break;
    default:
      return false;
  }
  if (type == 'B' || type == 'G' || type == 'M' || type == 'P') has_memo = true;
  if (version == kVersionDbase3Memo && type == 'F') type = 'N';
  std::uint32_t length;
  switch (type) {
    case 'C':
    case 'F':
    case 'N':
      length = definition.length;
      // The descriptor holds the width in one byte.
      if (length == 0 || length > 255) return false;
      break;
    case 'D':
      length = 8;
      break;
    case 'L':
      length = 1;
      break;
    case 'I':
    case '+':
      length = 4;
      break;
    case 'O':
    case '@':
      length = 8;
      break;
    default:
      length = 10;
      break;
  }
  if (type == '+') slot[42] = 1;  // the next value the counter gives
  const std::uint8_t decimals = (type == 'N' || type == 'F') ? definition.decimals : 0;
  std::memcpy(slot, name.data(), name.size());
  slot[level7 ? 32 : 11] = static_cast<std::uint8_t>(type);
  slot[level7 ? 33 : 16] = static_cast<std::uint8_t>(length);
  slot[level7 ? 34 : 17] = decimals;
  record_length += length;
  return record_length <= 65535;
}

}  // namespace

namespace {

// Writes a new table's header (the file replacing any old one), closes it with today's date and
// count 0, and creates its memo file (of `memo_version`'s kind) when it has memo fields.
void WriteNewTable(TableRecord& t, const std::string& name, const std::vector<std::uint8_t>& header,
                   std::size_t count, std::uint32_t record_length, bool has_memo,
                   std::uint8_t memo_version) {
  const std::string file_name = DefaultExtension(TrimText(name), "DBF");
  if (!TableNameHasStem(file_name)) {
    SetEngineError(220, file_name + kNoStemText + " [CreateDBF]");
    return;
  }
  os::File file;
  int io = os::File::Create(file_name, file);
  if (io == 0) io = file.WriteAt(0, std::as_bytes(std::span(header)));
  EngineErrorCode = static_cast<std::uint16_t>(io);
  if (io != 0) {
    file.Close();
    SetEngineError(static_cast<std::uint16_t>(io), "Error writing " + file_name + ". [CreateDbf]");
    return;
  }
  t = TableRecord{};
  t.file_name = file_name;
  t.has_memo = has_memo;
  t.field_count = static_cast<std::uint8_t>(count);
  std::copy_n(header.begin(), kPrologueSize, t.header.begin());
  t.header_length = static_cast<std::int16_t>(header.size());
  t.record_length = static_cast<std::uint16_t>(record_length);
  t.state = kStateAppended;
  t.record_count = 0;
  t.update_date = TodayStoredText();
  t.file = std::move(file);
  CloseDbf(t);
  if (EngineErrorCode == 0 && has_memo) {
    CreateMemoFileForTable(file_name, memo_version, MemoBlockSize, "CreateDbf()");
  }
}

// The record length a Visual FoxPro type takes, 0 for a type or width it does not have.
std::uint32_t VisualFoxProLength(char type, std::uint32_t asked) {
  switch (type) {
    case 'C':
    case 'V':
    case 'Q':
      return asked >= 1 && asked <= 254 ? asked : 0;
    case 'N':
    case 'F':
      return asked >= 1 && asked <= 20 ? asked : 0;
    case 'D':
    case 'T':
    case 'B':
    case 'Y':
      return 8;
    case 'L':
      return 1;
    case 'I':
    case '+':
    case 'M':
    case 'G':
    case 'W':
      return 4;
    default:
      return 0;
  }
}

// A Visual FoxPro table: 32-byte descriptors carrying each field's place in the record and its
// flags, _NullFlags when V or Q fields need varying-length bits, and the 263-byte backlink
// (empty: the table belongs to no database). "+" is an I field numbered by the table (version
// 0x31); V and Q make the version 0x32.
void CreateVisualFoxProTable(TableRecord& t, const std::string& name,
                             const std::vector<FieldEntry>& definitions, std::uint8_t chosen) {
  EngineErrorCode = 0;
  const std::size_t count = definitions.size();
  // _NullFlags holds a varying-length bit for each V and Q field and a null bit for each field
  // that may be null (kFieldMayBeNull in the definition's flags).
  std::size_t varying = 0, bits = 0;
  for (const FieldEntry& d : definitions) {
    const char type = static_cast<char>(std::toupper(static_cast<unsigned char>(d.type)));
    if (type == 'V' || type == 'Q') ++varying;
    if ((d.flags & kFieldMayBeNull) != 0) ++bits;
  }
  bits += varying;
  const std::size_t slots = count + (bits > 0 ? 1 : 0);
  if (count < 1 || slots > 255) {
    SetEngineError(211, "Invalid dBASE field definition [CreateDBF]");
    return;
  }
  const std::size_t header_length = kPrologueSize + slots * 32 + 1 + kVisualFoxProBacklinkSize;
  std::vector<std::uint8_t> header(header_length, 0);
  std::uint32_t record_length = 1;
  bool has_memo = false, autoinc = false;
  for (std::size_t i = 0; i < count; ++i) {
    const FieldEntry& d = definitions[i];
    std::uint8_t* slot = &header[kPrologueSize + i * 32];
    std::string field_name = TrimText(d.name);
    if (field_name.size() > 10) field_name.resize(10);
    for (char& c : field_name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    char type = static_cast<char>(std::toupper(static_cast<unsigned char>(d.type)));
    const std::uint32_t length = VisualFoxProLength(type, d.length);
    if (field_name.empty() || length == 0) {
      SetEngineError(211, "Invalid dBASE field definition [CreateDBF]");
      return;
    }
    std::uint8_t flags = 0;
    if (type == '+') {
      type = 'I';
      flags = kFieldAutoincrement | kFieldBinary;
      slot[19] = 1;  // next value 1, step 1
      slot[23] = 1;
      autoinc = true;
    } else if (type == 'I' || type == 'B' || type == 'Y' || type == 'T' || type == 'Q' ||
               type == 'G' || type == 'W') {
      flags = kFieldBinary;
    }
    flags |= d.flags & kFieldMayBeNull;
    has_memo = has_memo || type == 'M' || type == 'G' || type == 'W';
    std::memcpy(slot, field_name.data(), field_name.size());
    slot[11] = static_cast<std::uint8_t>(type);
    PutLe32(&slot[12], record_length);
    slot[16] = static_cast<std::uint8_t>(length);
    slot[17] = (type == 'N' || type == 'F' || type == 'B') ? d.decimals : type == 'Y' ? 4 : 0;
    slot[18] = flags;
    record_length += length;
  }
  if (bits > 0) {
    std::uint8_t* slot = &header[kPrologueSize + count * 32];
    std::memcpy(slot, "_NullFlags", 10);
    slot[11] = '0';
    PutLe32(&slot[12], record_length);
    slot[16] = static_cast<std::uint8_t>((bits + 7) / 8);
    slot[18] = kFieldSystem | kFieldBinary;
    record_length += slot[16];
  }
  if (has_memo && MemoBlockSize == 0) {
    SetEngineError(220, "Invalid memo block size 0 [CreateDBF]");
    return;
  }
  header[0] = varying > 0 ? kVersionVisualFoxProVarchar
              : autoinc   ? kVersionVisualFoxProAutoinc
                          : chosen;
  PutLe16(&header[8], static_cast<std::uint32_t>(header_length));
  PutLe16(&header[10], record_length);
  if (has_memo) header[28] = kFoxProFlagMemo;
  header[kPrologueSize + slots * 32] = static_cast<std::uint8_t>(kHeaderTerminator);

  WriteNewTable(t, name, header, count, record_length, has_memo, kVersionFoxProMemo);
}

}  // namespace

void CreateDBF(TableRecord& t, const std::string& name,
               const std::vector<FieldEntry>& definitions) {
  const bool extra = ExtraVersionPlain != 0 || ExtraVersionMemo != 0;
  const std::uint8_t chosen = extra ? kVersionDbase4Memo : DefaultDbfVersion;
  if (chosen == kVersionVisualFoxPro || chosen == kVersionVisualFoxProAutoinc ||
      chosen == kVersionVisualFoxProVarchar) {
    return CreateVisualFoxProTable(t, name, definitions, chosen);
  }
  const bool memo_types_allowed = chosen == kVersionDbase4Memo || chosen == kVersionLevel7Memo;
  const bool level7 = chosen == kVersionLevel7Memo || chosen == kVersionLevel7;
  const int descriptor_size = level7 ? 48 : 32;
  EngineErrorCode = 0;
  const std::size_t count = definitions.size();
  if (count < 1 || count > 255) {
    // A table without fields, or with more than the header can count, cannot be opened again.
    SetEngineError(211, "Invalid dBASE field definition [CreateDBF]");
    return;
  }
  const std::size_t header_length =
      count * descriptor_size + kPrologueSize + 1 + (level7 ? kLevel7ExtensionSize : 0);
  std::vector<std::uint8_t> header(header_length, 0);
  const std::size_t first_descriptor = kPrologueSize + (level7 ? kLevel7ExtensionSize : 0);
  std::uint32_t record_length = 1;
  bool has_memo = false;
  for (std::size_t i = 0; i < count; ++i) {
    std::uint8_t* slot = &header[first_descriptor + i * descriptor_size];
    if (!WriteDescriptor(definitions[i], level7, memo_types_allowed, chosen, slot, record_length,
                         has_memo)) {
      SetEngineError(211, "Invalid dBASE field definition [CreateDBF]");
      return;
    }
  }
  if (has_memo && MemoBlockSize == 0) {
    SetEngineError(220, "Invalid memo block size 0 [CreateDBF]");
    return;
  }
  header[header_length - 1] = static_cast<std::uint8_t>(kHeaderTerminator);
  PutLe16(&header[8], static_cast<std::uint32_t>(header_length));
  if (level7) std::memcpy(&header[32], "DBWINWE0", 8);
  std::uint8_t version;
  if (!extra) {
    version = has_memo ? (chosen == kVersionLevel7 ? kVersionLevel7Memo : chosen)
                       : (level7 ? kVersionLevel7 : kVersionDbase3);
  } else {
    version = has_memo ? ExtraVersionMemo : ExtraVersionPlain;
  }
  header[0] = version;
  PutLe16(&header[10], record_length);

  WriteNewTable(t, name, header, count, record_length, has_memo, DefaultDbfVersion);
}

void CreateMemoFileForTable(const std::string& table_name, std::uint8_t version,
                            std::uint16_t block_size, const std::string& operation) {
  const std::uint8_t kind = IsAcceptedVersion(version) ? version : DefaultDbfVersion;
  const bool foxpro = kind == kVersionFoxProMemo || kind == kVersionVisualFoxPro;
  const std::string memo_name = DerivedFileName(table_name, foxpro ? "FPT" : "DBT");
  if (block_size == 0) {
    SetEngineError(220, "Invalid memo block size 0 [" + operation + "]");
    return;
  }
  os::File file;
  int io = os::File::Create(memo_name, file);
  EngineErrorCode = static_cast<std::uint16_t>(io);
  if (io != 0) {
    SetEngineError(static_cast<std::uint16_t>(io),
                   "Cannot create memo file " + memo_name + " [" + operation + "]");
    return;
  }
  std::vector<std::uint8_t> bytes;
  if (version == kVersionDbase3Memo) {
    bytes.assign(513, 0);
    bytes[0] = 0x01;
    bytes[512] = static_cast<std::uint8_t>(kEndOfFileMarker);
  } else if (version == kVersionFoxProMemo) {
    bytes.assign(512, 0);
    const std::uint32_t next_free = 511u / block_size + 1;
    bytes[0] = static_cast<std::uint8_t>(next_free >> 24);
    bytes[1] = static_cast<std::uint8_t>(next_free >> 16);
    bytes[2] = static_cast<std::uint8_t>(next_free >> 8);
    bytes[3] = static_cast<std::uint8_t>(next_free);
    bytes[6] = static_cast<std::uint8_t>(block_size >> 8);
    bytes[7] = static_cast<std::uint8_t>(block_size);
  } else {
    bytes.assign(24, 0);
    PutLe32(&bytes[0], 1);
    const std::string stem = SplitPath(memo_name).name.substr(0, 8);
    std::memcpy(&bytes[8], stem.data(), stem.size());
    PutLe16(&bytes[18], 258);
    PutLe16(&bytes[20], block_size);
  }
  io = file.WriteAt(0, std::as_bytes(std::span(bytes)));
  const int closed = file.Close();
  if (io == 0) io = closed;
  EngineErrorCode = static_cast<std::uint16_t>(io);
  if (io != 0) {
    SetEngineError(static_cast<std::uint16_t>(io), memo_name + " [" + operation + "]");
  }
}

}  // namespace vx
