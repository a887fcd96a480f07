#include "engine/memo/memo_storage.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <memory>

#include "engine/foundation/errors.h"
#include "engine/foundation/file_utils.h"
#include "engine/foundation/settings.h"
#include "engine/foundation/strings.h"
#include "engine/table/field_values.h"
#include "engine/workarea/hooks.h"
#include "engine/workarea/locate.h"
#include "engine/workarea/locks.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/codepage.h"

namespace vx {

namespace {

constexpr std::size_t kDefaultLineWidth = 254;
constexpr unsigned char kSoftReturn = 141;

// The blob descriptor of one table.
struct BlobDescriptor {
  BlobMode mode = BlobMode::kClosed;
  std::int32_t block = 0;
  int text_mode = 0;  // -1 undecided, 0 as stored, 1 converted between OEM and ANSI
  std::string text;   // reading: the memo; writing: what has been written so far
  std::int64_t position = 0;
};

// What a table's `memo` member holds.
struct MemoRecord {
  MemoFile file;
  BlobDescriptor blob;
};

MemoRecord* RecordOf(TableRecord& t) { return static_cast<MemoRecord*>(t.memo.get()); }

// The memo file of `t` prepared for one operation on the current record, or null after
// reporting 1019.
MemoFile* Require(TableRecord& t, std::string_view label) {
  MemoRecord* r = RecordOf(t);
  if (r == nullptr) {
    SetEngineError(1019, std::string(label) + " No Memo Field [" + t.file_name + "]");
    return nullptr;
  }
  r->file.record_number = t.record_number;
  return &r->file;
}

// A byte that a text may hold: printable, or one of the control characters text uses.
bool IsTextByte(unsigned char c) {
  return c >= 32 || c == 9 || c == 10 || c == 13 || c == 15 || c == 20 || c == 21;
}

void DecideTextMode(BlobDescriptor& b, std::span<const char> piece) {
  if (b.text_mode != -1) return;
  b.text_mode = std::all_of(piece.begin(), piece.end(),
                            [](char c) { return IsTextByte(static_cast<unsigned char>(c)); })
                    ? 1
                    : 0;
}

std::string TranslatedText(std::string text, bool from_oem) {
  if (from_oem) {
    os::OemToAnsiBuffer(text);
  } else {
    os::AnsiToOemBuffer(text);
  }
  return text;
}

std::int32_t CopyPlain(int from_area, std::int32_t block) {
  return CopyMemo(from_area, block, false);
}
std::int32_t CopyTranslated(int from_area, std::int32_t block) {
  return CopyMemo(from_area, block, true);
}

std::int32_t BlobOpenEntry(TableRecord& t, bool code_page, std::int32_t block, std::uint8_t mode) {
  return OpenBlob(t, code_page, block, static_cast<BlobMode>(mode));
}
std::int32_t BlobReadEntry(TableRecord& t, char* buffer, std::int32_t count) {
  return count < 1 ? 0 : ReadBlob(t, std::span(buffer, static_cast<std::size_t>(count)));
}
std::int32_t BlobWriteEntry(TableRecord& t, const char* buffer, std::int32_t count) {
  return count < 1 ? 0 : WriteBlob(t, std::span(buffer, static_cast<std::size_t>(count)));
}

const MemoBlobEntry kBlobEntry = {BlobOpenEntry, BlobReadEntry, BlobWriteEntry, SeekBlob,
                                  CloseBlob};

std::string BlockDigits(std::int32_t block, std::uint16_t width) {
  if (block == 0) return std::string(width, ' ');
  std::string digits = std::to_string(block);
  if (digits.size() < width) digits.insert(0, width - digits.size(), ' ');
  return digits;
}

}  // namespace

void InitMemoStorage() {
  DefaultMemoBlockSize = 512;
  MemoLines->clear();
  MemoOpenProc = OpenMemofile;
  MemoCloseProc = CloseMemofile;
  MemoHooks = MemoHookTable{};
  MemoHooks->AssignMemo = AssignMemo;
  MemoHooks->PackMemofile = PackMemofile;
  MemoHooks->OpenMemofile = OpenMemofile;
  MemoHooks->CloseMemofile = CloseMemofile;
  MemoHooks->CopyMemo = CopyPlain;
  MemoHooks->CopyMemoTranslated = CopyTranslated;
  MemoHooks->DatasetBlob = &kBlobEntry;
  MemoHooks->AddMemo = AddMemo;
  MemoHooks->present = true;
}

MemoFile* MemoOf(TableRecord& t) {
  MemoRecord* r = RecordOf(t);
  return r == nullptr ? nullptr : &r->file;
}

std::uint16_t OpenMemofile(TableRecord& t, const std::string& base_name) {
  if (t.memo != nullptr) {
    SetEngineError(1007, t.file_name + " [USE]");
    return 1007;
  }
  const std::uint8_t version = MemoVersionOf(t.version());
  const std::string name = DerivedFileName(t.file_name, MemoExtension(version));
  auto record = std::make_shared<MemoRecord>();
  const bool shared = SharingEnabled && !t.exclusive;
  const int io = OpenMemoFile(name, version, t.open_mode, shared, record->file);
  if (io != 0) {
    SetEngineError(static_cast<std::uint16_t>(io), "Memo file not found: " + name + " [USE]");
    return static_cast<std::uint16_t>(io);
  }
  record->file.read_hook = t.read_hook;
  record->file.write_hook = t.write_hook;
  t.memo = std::move(record);
  return 0;
}

void CloseMemofile(TableRecord& t) {
  MemoRecord* r = RecordOf(t);
  if (r == nullptr) return;
  std::string name = r->file.name;
  int io = 0;
  {
    QuietErrors quiet;
    UnlockMemo(r->file);
    if (r->file.file.IsOpen()) io = r->file.file.Close();
  }
  t.memo.reset();
  if (io != 0) SetEngineError(static_cast<std::uint16_t>(io), name + " [CloseMemofile]");
}

bool ReadMemo(TableRecord& t, std::int32_t block, std::string& text, bool* binary,
              bool* unterminated) {
  MemoFile* m = Require(t, "ReadMemo");
  return m != nullptr && ReadMemoText(*m, block, text, "ReadMemo", binary, unterminated);
}

std::int32_t ReplaceMemo(TableRecord& t, std::int32_t old_block, std::string_view text,
                         std::string_view label) {
  MemoFile* m = Require(t, label);
  return m == nullptr ? 0 : WriteMemo(*m, old_block, text, label);
}

MemoWriteBatch::MemoWriteBatch(TableRecord& table) : table_(table) {
  MemoFile* m = MemoOf(table);
  // A refused lock is no failure here: each write then takes the lock itself, as without.
  QuietErrors quiet;
  held_ = m != nullptr && HoldMemoLock(*m, "MemoWriteBatch");
}

MemoWriteBatch::~MemoWriteBatch() {
  QuietErrors quiet;
  Release();
}

bool MemoWriteBatch::Release() {
  if (!held_) return true;
  held_ = false;
  MemoFile* m = MemoOf(table_);
  return m == nullptr || ReleaseMemoLock(*m);
}

bool ReleaseMemo(TableRecord& t, std::int32_t block, std::string_view label) {
  MemoFile* m = Require(t, label);
  return m != nullptr && ReleaseMemoBlocks(*m, block, label);
}

std::int32_t AddMemo(std::string_view text) {
  TableRecord* t = InUse("AddMemo");
  if (t == nullptr) return 0;
  const std::size_t end = text.find_last_not_of(' ');
  if (end == std::string_view::npos) return 0;
  return ReplaceMemo(*t, 0, text.substr(0, end + 1), "AddMemo()");
}

bool GetMemo(std::int32_t block) {
  MemoLines->clear();
  TableRecord* t = InUse("GetMemo");
  if (t == nullptr) return false;
  std::string text;
  bool binary = false;
  if (!ReadMemo(*t, block, text, &binary)) return false;
  if (binary) {
    MemoLines->push_back("(BLOB)");
    return true;
  }
  const std::size_t width = MemoWidth != 0 ? std::size_t{MemoWidth} + 1 : kDefaultLineWidth;
  std::string line;
  for (std::size_t i = 0; i < text.size() && MemoLines->size() < kMaxMemoLines; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\r' || c == kSoftReturn) {
      MemoLines->push_back(std::move(line));
      line.clear();
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
      continue;
    }
    if (line.size() == width) {
      MemoLines->push_back(std::move(line));
      line.clear();
    }
    line.push_back(static_cast<char>(c));
  }
  if (!line.empty() && MemoLines->size() < kMaxMemoLines) MemoLines->push_back(std::move(line));
  return true;
}

std::int32_t CloseMemo(std::int32_t old_block) {
  TableRecord* t = InUse("EditMemo/CloseMemo");
  if (t == nullptr) return 0;
  std::string text;
  for (std::size_t i = 0; i < MemoLines->size(); ++i) {
    if (i > 0) text += "\r\n";
    text += MemoLines[i];
  }
  return ReplaceMemo(*t, old_block, text, "EditMemo/CloseMemo");
}

std::int32_t CopyMemo(int from_area, std::int32_t block, bool translate) {
  TableRecord* to = InUse("CopyMemo");
  TableRecord* from = AreaTable(from_area);
  if (to == nullptr) return 0;
  if (from == nullptr) {
    SetEngineError(
        215, "No database in use [AppendFrom/CopyTo]  WorkArea = " + std::to_string(from_area));
    return 0;
  }
  if (block == 0) return 0;
  std::string text;
  MemoFile* source = Require(*from, "AppendFrom/CopyTo");
  if (source == nullptr || !ReadMemoText(*source, block, text, "AppendFrom/CopyTo")) return 0;
  const bool from_oem = from->oem && !AnsiTables;
  const bool to_oem = to->oem && !AnsiTables;
  if (translate && from_oem != to_oem) text = TranslatedText(std::move(text), from_oem);
  return ReplaceMemo(*to, 0, text, "AppendFrom/CopyTo");
}

std::int32_t StoredMemoBlock(const TableRecord& t, const FieldEntry& f, const char* record) {
  if (f.storage == FieldStorage::kBinaryMemo) return BinaryMemoBlock(f, record);
  const std::string digits = TrimText(std::string_view(record + f.offset, f.length));
  std::int32_t block = 0;
  const auto parsed = std::from_chars(digits.data(), digits.data() + digits.size(), block);
  return parsed.ec == std::errc() && block > 0 ? block : 0;
}

std::int64_t PackMemofile() {
  TableRecord* t = InUse("PackMemofile");
  if (t == nullptr) return 0;
  MemoRecord* r = RecordOf(*t);
  if (r == nullptr) {
    SetEngineError(1019, "PackMemofile No Memo Field [" + t->file_name + "]");
    return 0;
  }
  MemoFile& old_file = r->file;
  // Other programs would go on reading the old file with the new block numbers.
  if (SharingEnabled && !t->exclusive) {
    SetEngineError(1019, old_file.name + " is not open EXCLUSIVE [PackMemofile]");
    return 0;
  }
  const std::uint64_t old_size = FileSize(old_file);
  const std::int64_t free_bytes = os::DiskFreeBytes(old_file.name);
  if (free_bytes >= 0 && static_cast<std::uint64_t>(free_bytes) < old_size) {
    SetEngineError(1012, old_file.name + " [PackMemofile]");
    return 0;
  }
  // Removed at the end unless it took the old file's place.
  TempFile temp;
  int io = temp.Create(SplitPath(old_file.name).dir, "VXM");
  if (io != 0) {
    SetEngineError(static_cast<std::uint16_t>(io), old_file.name + " [PackMemofile]");
    return 0;
  }
  const std::string new_name = temp.path();
  // The new file starts with the old header block, no memos and an empty chain.
  MemoFile packed;
  io = OpenMemoFile(temp.TakeFile(), new_name, old_file.version, false, packed);
  // The new file takes the old one's mode and owner, where the process may set them.
  if (io == 0) os::TakeModeAndOwner(old_file.name, packed.file);
  std::vector<char> header(std::min<std::uint64_t>(old_size, kFoxProHeaderSize), 0);
  if (io == 0 && !header.empty()) {
    std::size_t got = 0;
    io = old_file.file.ReadAt(0, std::as_writable_bytes(std::span(header)), got);
    header.resize(got);
    if (header.size() >= 4) {
      std::memset(header.data(), 0, 4);
      if (old_file.kind == MemoKind::kDbase4) header[0] = 1;  // the end value of a 1-block file
    }
    if (io == 0) io = packed.file.WriteAt(0, std::as_bytes(std::span(header)));
  }
  if (io != 0) {
    SetEngineError(static_cast<std::uint16_t>(io), new_name + " [PackMemofile]");
    return 0;
  }
  packed.block_size = old_file.block_size;
  // Every memo is copied before any record changes; a failure leaves table and file as they were.
  struct Move {
    std::int32_t record;
    int field;
    std::int32_t block;
  };
  std::vector<Move> moves;
  const RecordHook read_hook = old_file.read_hook;
  old_file.read_hook = nullptr;  // the bytes move as stored
  std::string text;
  for (std::int32_t n = 1; n <= t->record_count; ++n) {
    for (std::size_t i = 0; i < t->fields.size(); ++i) {
      if (t->fields[i].type != 'M') continue;
      const int field = static_cast<int>(i + 1);
      std::int32_t block = 0;
      std::int32_t new_block = 0;
      bool ok;
      {
        QuietErrors quiet;
        const std::string digits = TrimText(Peek(field, n));
        ok = EngineErrorCode == 0;
        std::from_chars(digits.data(), digits.data() + digits.size(), block);
        if (ok && block > 0) {
          old_file.record_number = n;
          packed.record_number = n;
          ok = ReadMemoText(old_file, block, text, "PackMemo");
          if (ok) {
            new_block = WriteMemo(packed, 0, text, "PackMemo");
            ok = EngineErrorCode == 0;
          }
        }
      }
      if (!ok) {
        old_file.read_hook = read_hook;
        SetEngineError(EngineErrorCode, LastErrorMessage + " Memo block # " +
                                            std::to_string(block) + " Record # " +
                                            std::to_string(n) + " [PackMemofile]");
        return 0;
      }
      if (block > 0) moves.push_back({n, field, new_block});
    }
  }
  old_file.read_hook = read_hook;
  {
    QuietErrors quiet;
    if (LockMemoPadAndSeekEOF(packed, "PackMemofile") != 0) UpdateMemoHeader(packed);
    if (EngineErrorCode == 0) EngineErrorCode = static_cast<std::uint16_t>(packed.file.Flush());
  }
  if (EngineErrorCode != 0) {
    SetEngineError(EngineErrorCode, new_name + " [PackMemofile]");
    return 0;
  }
  std::uint64_t new_size = 0;
  if (packed.file.Size(new_size) != 0) new_size = 0;
  // The new file takes the old one's place, then the records learn the new block numbers. It is
  // held open across the rename, which moves only the file made here (never one put in its place).
  const std::string memo_name = old_file.name;
  {
    QuietErrors quiet;
    CloseMemofile(*t);
  }
  io = packed.file.MoveTo(memo_name, true);
  if (io == 0) temp.Keep();
  packed.file.Close();
  const std::uint16_t reopened = [&] {
    QuietErrors quiet;
    return OpenMemofile(*t, "");
  }();
  if (io != 0 || reopened != 0) {
    SetEngineError(static_cast<std::uint16_t>(io != 0 ? io : reopened),
                   memo_name + " [PackMemofile]");
    return 0;
  }
  for (const Move& move : moves) {
    const FieldEntry& f = t->fields[static_cast<std::size_t>(move.field - 1)];
    Poke(BlockDigits(move.block, f.length), move.field, move.record);
    if (EngineErrorCode != 0) return 0;
  }
  if (t->record_number >= 1 && t->record_number <= t->record_count) SKIP(0);
  return static_cast<std::int64_t>(old_size) - static_cast<std::int64_t>(new_size);
}

bool AssignMemo(TableRecord& t, std::int32_t block, std::string& text) {
  return ReadMemo(t, block, text);
}

// ---- Blob descriptors ----

std::int32_t OpenBlob(TableRecord& t, bool code_page, std::int32_t block, BlobMode mode,
                      std::string_view label) {
  MemoFile* m = Require(t, label);
  if (m == nullptr) return 0;
  BlobDescriptor& b = RecordOf(t)->blob;
  if (b.mode != BlobMode::kClosed) CloseBlob(t);
  b = BlobDescriptor{};
  block = block < 0 ? -block : block;
  if (mode == BlobMode::kRead && !ReadMemoText(*m, block, b.text, "ReadBlobStream")) return 0;
  if (mode == BlobMode::kClosed) return 0;
  b.mode = mode;
  b.block = block;
  b.text_mode = code_page ? -1 : 0;
  return block;
}

std::int32_t ReadBlob(TableRecord& t, std::span<char> out) {
  MemoRecord* r = RecordOf(t);
  if (r == nullptr || r->blob.mode != BlobMode::kRead || out.empty()) return 0;
  BlobDescriptor& b = r->blob;
  const auto size = static_cast<std::int64_t>(b.text.size());
  const std::int64_t count = std::min<std::int64_t>(static_cast<std::int64_t>(out.size()),
                                                    std::max<std::int64_t>(0, size - b.position));
  if (count == 0) return 0;
  std::memcpy(out.data(), b.text.data() + b.position, static_cast<std::size_t>(count));
  const auto piece = out.first(static_cast<std::size_t>(count));
  DecideTextMode(b, piece);
  if (b.text_mode == 1) os::OemToAnsiBuffer(piece);
  b.position += count;
  return static_cast<std::int32_t>(count);
}

std::int32_t WriteBlob(TableRecord& t, std::span<const char> in) {
  MemoRecord* r = RecordOf(t);
  if (r == nullptr || r->blob.mode != BlobMode::kWrite || in.empty()) return 0;
  BlobDescriptor& b = r->blob;
  DecideTextMode(b, in);
  std::string piece(in.begin(), in.end());
  if (b.text_mode == 1) os::AnsiToOemBuffer(piece);
  const auto end = static_cast<std::size_t>(b.position) + piece.size();
  if (b.text.size() < end) b.text.resize(end, ' ');
  b.text.replace(static_cast<std::size_t>(b.position), piece.size(), piece);
  b.position = static_cast<std::int64_t>(end);
  return static_cast<std::int32_t>(piece.size());
}

std::int64_t SeekBlob(TableRecord& t, std::int64_t offset, int origin) {
  MemoRecord* r = RecordOf(t);
  if (r == nullptr || r->blob.mode == BlobMode::kClosed) return 0;
  BlobDescriptor& b = r->blob;
  std::int64_t position = b.position;
  switch (origin) {
    case 0:
      position = offset;
      break;
    case 1:
      position += offset;
      break;
    case 2:
      position = static_cast<std::int64_t>(b.text.size()) + offset;
      break;
    default:
      break;
  }
  b.position = std::max<std::int64_t>(0, position);
  return b.position;
}

std::int64_t BlobLength(TableRecord& t) {
  MemoRecord* r = RecordOf(t);
  return r == nullptr ? 0 : static_cast<std::int64_t>(r->blob.text.size());
}

std::int32_t CloseBlob(TableRecord& t) {
  MemoRecord* r = RecordOf(t);
  if (r == nullptr || r->blob.mode == BlobMode::kClosed) return 0;
  BlobDescriptor b = std::move(r->blob);
  r->blob = BlobDescriptor{};
  if (b.mode == BlobMode::kRead) return b.block;
  r->file.record_number = t.record_number;
  return WriteMemo(r->file, b.block, b.text, "DestroyBlobDescriptor");
}

}  // namespace vx
