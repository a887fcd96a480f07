#include "engine/workarea/work_areas.h"

#include <array>
#include <cstring>
#include <memory>

#include "engine/foundation/dates.h"
#include "engine/foundation/errors.h"
#include "engine/foundation/settings.h"
#include "engine/foundation/strings.h"
#include "engine/table/dbf_records.h"
#include "engine/workarea/hooks.h"
#include "engine/workarea/locate.h"
#include "engine/workarea/locks.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/record_image.h"
#include "platform/os/codepage.h"
#include "platform/os/file.h"

namespace vx {

namespace {

// The current engine's areas: slots 1..33; slot 0 is never used.
constexpr EngineField<&WorkAreaState::areas> WorkAreaTable;

// Finds a keyword (given in upper case, with its leading blank) in the upper-case copy and
// removes it from both texts; the copies have the same length, so positions agree.
bool TakeWord(std::string_view word, std::string& upper, std::string& text) {
  std::size_t at = 0;
  while ((at = upper.find(word, at)) != std::string::npos) {
    const std::size_t end = at + word.size();
    if (end == upper.size() || upper[end] == ' ') {
      upper.erase(at, word.size());
      text.erase(at, word.size());
      return true;
    }
    at = end;
  }
  return false;
}

std::string UseContext(std::string_view command, std::string_view image, std::string_view size) {
  return "[USE(" + std::string(command) + "," + std::string(image) + "," + std::string(size) + ")]";
}

void OpenVirtual(std::string command, std::string upper, void* image, std::uint16_t size) {
  const std::string original = command;
  if (VirtualFileManagerProc == nullptr) {
    SetEngineError(1101, UseContext(original, "<@Buffer>", "<size>"));
    return;
  }
  if (image == nullptr) {
    SetEngineError(220, "NIL buffer pointer " + UseContext(original, "Nil", "<size>"));
    return;
  }
  TakeWord(" LINKED LIST", upper, command);
  TakeWord(" VIRTUAL FILE", upper, command);
  auto table = std::make_unique<TableRecord>();
  const std::size_t alias_at = upper.find(" ALIAS ");
  if (alias_at != std::string::npos) {
    std::string rest = upper.substr(alias_at + 7);
    table->alias = TrimText(rest.substr(0, rest.find(' ')));
    if (table->alias.size() > 64) table->alias.resize(64);
    upper.erase(alias_at);
    command.erase(alias_at);
  }
  const struct {
    const char* word;
    std::uint8_t value;
  } kStorage[] = {
      {" TO EMS", 2}, {" TO EXT", 3}, {" TO XMS", 3}, {" TO HEAP", 1}, {" TO BIGGEST", 5}};
  const struct {
    const char* word;
    std::uint8_t value;
  } kOrder[] = {
      {" FIFO", 0}, {" LIFO", 1}, {" INSERTION", 2}, {" ASCENDING", 3}, {" DESCENDING", 4}};
  table->virtual_storage = 1;
  for (const auto& s : kStorage) {
    if (TakeWord(s.word, upper, command)) table->virtual_storage = s.value;
  }
  for (const auto& o : kOrder) {
    if (TakeWord(o.word, upper, command)) table->virtual_order = o.value;
  }
  if (table->alias.empty()) table->alias = TrimText(upper);
  for (int a = 1; a <= kMaxWorkAreas; ++a) {
    if (a != CurrentArea && WorkAreaTable[a] && WorkAreaTable[a]->alias == table->alias) {
      SetEngineError(220, "Alias name \"" + table->alias + "\" already in use. [USE]");
      return;
    }
  }
  table->file_name = TrimText(command);
  table->is_virtual = true;
  table->image = static_cast<char*>(image);
  table->image_size = size;
  table->area = CurrentArea;
  table->exclusive = true;
  table->virtual_operation = kVirtualOpen;
  TableRecord& t = *table;
  WorkAreaTable[CurrentArea] = std::move(table);
  VirtualFileManagerProc(t);
}

// Undoes a USE that failed after the table was opened, then reports the failure.
void FailUse(std::uint16_t code, const std::string& message) {
  {
    QuietErrors quiet;
    CloseArea();
  }
  SetEngineError(code, message);
}

}  // namespace

void Select(int n) {
  if (n == 0) {
    for (int a = 1; a <= kMaxWorkAreas; ++a) {
      if (!WorkAreaTable[a]) {
        CurrentArea = static_cast<std::uint8_t>(a);
        return;
      }
    }
    SetEngineError(220, "No free workarea available [Select(0)]");
    return;
  }
  if (n < 0 || n > kMaxWorkAreas) {
    SetEngineError(220, "Invalid workarea selected = [Select(" + std::to_string(n) + ")]");
    return;
  }
  CurrentArea = static_cast<std::uint8_t>(n);
}

int Selected() { return CurrentArea; }

TableRecord* SelectedTable() {
  WorkAreaState& state = CurrentState<WorkAreaState>();
  return state.areas[state.current_area].get();
}

TableRecord* AreaTable(int n) {
  if (n < 1 || n > kMaxWorkAreas) return nullptr;
  return WorkAreaTable[n].get();
}

TableRecord* InUse(std::string_view command) {
  WorkAreaState& state = CurrentState<WorkAreaState>();
  TableRecord* t = state.areas[state.current_area].get();
  if (t == nullptr) {
    SetEngineError(215, "No database in use [" + std::string(command) +
                            "]  WorkArea = " + std::to_string(CurrentArea));
  }
  return t;
}

void Use(std::string_view command, void* image, std::uint16_t size) {
  UseWithHooks(command, image, size, nullptr, nullptr);
}

void UseWithHooks(std::string_view command_text, void* image, std::uint16_t size,
                  RecordHook read_hook, RecordHook write_hook) {
  EngineErrorCode = 0;
  CloseArea();
  std::string command = TrimText(command_text);
  if (command.empty()) return;
  std::string upper = os::AnsiUpperText(command) + " ";
  command += " ";
  if (upper.find("LINKED LIST") != std::string::npos ||
      upper.find("VIRTUAL FILE") != std::string::npos) {
    OpenVirtual(command, upper, image, size);
    return;
  }
  const std::string original = TrimText(command);
  if ((image == nullptr) != (size == 0)) {
    SetEngineError(220, "Buffer is NIL or size is zero, attempting to open " + original + " [USE]");
    return;
  }
  upper.insert(0, " ");
  command.insert(0, " ");
  const bool use_exclusive = TakeWord(" EXCLUSIVE", upper, command);
  std::string alias;
  const std::size_t alias_at = upper.find(" ALIAS ");
  if (alias_at != std::string::npos) {
    const std::string rest = TrimLeft(upper.substr(alias_at + 7));
    alias = rest.substr(0, rest.find(' '));
    if (alias.size() > 64) alias.resize(64);
    upper.erase(alias_at);
    command.erase(alias_at);
  }
  const std::string file = FullPath(TrimText(command));
  if (alias.empty()) alias = os::AnsiUpperText(SplitPath(file).name);
  if (alias.size() > 64) alias.resize(64);

  auto table = std::make_unique<TableRecord>();
  TableRecord& t = *table;
  t.file_name = DefaultExtension(file, "DBF");
  bool exclusive = use_exclusive;
  if (OpenModeOverride != 65535) {
    t.open_mode = OpenModeOverride;
    exclusive = exclusive || (OpenModeOverride & 0x70) == 0x10;
  } else if (use_exclusive || UseShareMode == os::kOpenReadWriteDenyAll || !SharingEnabled) {
    t.open_mode = os::kOpenReadWriteDenyAll;
    exclusive = true;
  } else {
    t.open_mode = UseShareMode;
  }
  t.oem = !AnsiTables;
  OpenDbf(t);
  if (EngineErrorCode != 0 || !t.file.IsOpen()) return;
  t.alias = alias;
  t.is_virtual = false;
  t.exclusive = exclusive;
  // No other program can change an exclusive table: sequential reads may go in blocks.
  t.read_ahead = exclusive;
  t.exclusive_by_use = exclusive;
  t.area = CurrentArea;
  WorkAreaTable[CurrentArea] = std::move(table);

  const std::uint32_t required = RecordImageSizeOf(t);
  t.image_offsets = ImageOffsets(t.fields);
  t.image_changed.assign(t.fields.size(), 0);
  if (image == nullptr) {
    t.owned_image.assign(required, 0);
    t.image = t.owned_image.data();
    t.image_size = required;
    t.image_owned = true;
  } else {
    t.image = static_cast<char*>(image);
    t.image_size = size;
  }
  if (t.image_size != required) {
    return FailUse(266, "Database record/buffer size mismatch: " + original + " [USE()]\n\r" +
                            "Record Size=" + std::to_string(required) +
                            ", Buffer Size=" + std::to_string(t.image_size));
  }
  for (int a = 1; a <= kMaxWorkAreas; ++a) {
    if (a != CurrentArea && WorkAreaTable[a] && WorkAreaTable[a]->alias == t.alias) {
      return FailUse(220, "Alias name \"" + t.alias + "\" already in use. [USE]");
    }
  }
  t.read_hook = read_hook;
  t.write_hook = write_hook;
  const std::string size_text = image == nullptr ? "0" : std::to_string(size);
  {
    QuietErrors quiet;
    if (t.record_count < 1) {
      std::memset(t.image, 0, t.image_size);
      ClearRecord();
      t.at_end = true;
      t.at_beginning = true;
    } else {
      GoTop();
    }
  }
  if (EngineErrorCode != 0) {
    const std::string message = LastErrorMessage;
    return FailUse(EngineErrorCode, message);
  }
  t.swap_buffer.assign(t.image_size, 0);
  if (t.has_memo && MemoOpenProc != nullptr) {
    std::uint16_t code;
    {
      QuietErrors quiet;
      code = MemoOpenProc(t, SplitPath(t.file_name).dir + SplitPath(t.file_name).name);
    }
    if (code != 0) {
      return FailUse(code,
                     "Problem opening memo file " + UseContext(original, "<@Buffer>", size_text));
    }
  }
}

OpenedArea::OpenedArea(std::string_view command) : previous_(Selected()) {
  try {
    Select(0);
    area_ = Selected();
    Use(command);
  } catch (...) {
    Close();
    throw;
  }
}

void OpenedArea::Close() {
  if (area_ == 0 && previous_ == 0) return;
  QuietErrors quiet;
  if (area_ != 0) {
    Select(area_);
    CloseArea();
    area_ = 0;
  }
  if (previous_ != 0) Select(previous_);
  previous_ = 0;
}

void CloseArea() {
  std::unique_ptr<TableRecord> owned = std::move(WorkAreaTable[CurrentArea]);
  if (!owned) return;
  TableRecord& t = *owned;
  // Every step runs even when one fails; the first failure is reported at the end, with the
  // area already free.
  std::uint16_t error = 0;
  std::string message;
  const auto keep = [&] {
    if (error == 0 && EngineErrorCode != 0) {
      error = EngineErrorCode;
      message = LastErrorMessage;
    }
  };
  {
    QuietErrors quiet;
    // The commands below address the selected area: hold the table there while closing.
    WorkAreaTable[CurrentArea] = std::move(owned);
    if (!t.is_virtual && IndexMaintained(t) && IndexHooks->CloseAll != nullptr) {
      IndexHooks->CloseAll(t);
      keep();
    }
    if (!t.is_virtual) {
      // After appends the end-of-file marker goes after the last record. On a shared table
      // that byte may be where another program is appending its next record, so the marker is
      // written only under the append lock: the one this area holds, or one taken now. When
      // another program holds it, that program's close writes the marker instead. The file's
      // close releases the lock.
      const bool shared = !t.exclusive && SharingEnabled;
      const bool holds_end = t.lock_state == kLockAppend || t.lock_state == kLockFile;
      if (shared && holds_end) {
        FlushAppends(t);
      } else {
        UnlockTable(t);
        if (shared && t.state == kStateAppended &&
            LockRange(false, t.file, std::uint64_t{LockBase} + 1, 1) != 0) {
          t.state = kStateRewritten;
        }
      }
      keep();
      RefreshRecordCount(t);
    }
    t.swap_buffer.clear();
    if (t.has_memo && MemoCloseProc != nullptr) {
      MemoCloseProc(t);
      keep();
    }
    DropPeekCache(t);
    t.filter_expr.reset();
    t.while_expr.reset();
    EngineErrorCode = 0;
    CloseDbf(t);
    keep();
    owned = std::move(WorkAreaTable[CurrentArea]);
  }
  owned.reset();
  EngineErrorCode = error;
  if (error != 0) SetEngineError(error, message);
}

void CloseAll() {
  std::uint16_t error = 0;
  std::string message;
  for (int a = 1; a <= kMaxWorkAreas; ++a) {
    if (!WorkAreaTable[a]) continue;
    CurrentArea = static_cast<std::uint8_t>(a);
    QuietErrors quiet;
    CloseArea();
    if (error == 0 && EngineErrorCode != 0) {
      error = EngineErrorCode;
      message = LastErrorMessage;
    }
  }
  CurrentArea = 1;
  if (error != 0) SetEngineError(error, message);
}

std::uint32_t RecordImageSize() {
  const TableRecord* t = SelectedTable();
  return t == nullptr ? 0 : RecordImageSizeOf(*t);
}

bool HasProductionIndex() {
  const TableRecord* t = SelectedTable();
  if (t == nullptr || t->IsDbase2() || t->is_virtual) return false;
  // Visual FoxPro's byte 28 names a .CDX and a memo file, never an .MDX.
  if (t->IsVisualFoxPro()) return false;
  return t->header[28] != 0;
}

void SetProductionIndexFlag(bool flag) {
  TableRecord* t = SelectedTable();
  if (t == nullptr || t->IsDbase2() || t->is_virtual) return;
  const std::uint8_t value = flag ? 1 : 0;
  if (t->header[28] != value) {
    t->header[28] = value;
    if (t->state == kStateOpen) t->state = kStateRewritten;
  }
}

void InitWorkAreas() {
  InstallLockedReadWait();
  for (auto& slot : *WorkAreaTable) slot.reset();
  UseShareMode = os::kOpenReadWriteDenyNone;
  CurrentArea = 1;
}

void ShutdownWorkAreas() { CloseAll(); }

}  // namespace vx
