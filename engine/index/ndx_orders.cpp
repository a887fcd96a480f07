#include "engine/index/ndx_orders.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <utility>

#include "engine/expr/expression.h"
#include "engine/foundation/dates.h"
#include "engine/foundation/errors.h"
#include "engine/foundation/file_utils.h"
#include "engine/foundation/strings.h"
#include "engine/index/order_internal.h"
#include "engine/index/index_build.h"
#include "engine/index/index_check.h"
#include "engine/index/sorted_runs.h"
#include "engine/table/dbf_records.h"
#include "engine/workarea/hooks.h"
#include "engine/workarea/locks.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/file_id.h"
#include "platform/os/system.h"

namespace vx {

namespace {

NdxArea* AreaOf(int area) {
  const TableIndexState* s = FoundIndexState(area);
  return s == nullptr ? nullptr : s->ndx.get();
}

NdxArea* AttachedTo(const TableRecord& t) {
  NdxArea* a = AreaOf(t.area);
  return a != nullptr && (!a->files.empty() || a->cdx) ? a : nullptr;
}

// The key maker's view of an .NDX header: numbers and dates are doubles (type D).
TagHeader TagViewOf(const NdxHeader& h) {
  TagHeader tag;
  tag.bytes[9] = h.numeric ? 'D' : 'C';
  PutLe16(tag.bytes.data() + 12, static_cast<std::uint16_t>(h.key_length));
  std::memcpy(tag.bytes.data() + 24, h.expression.data(),
              std::min<std::size_t>(h.expression.size(), kMaxExpressionLength));
  return tag;
}

std::string FileName(const NdxIndex& index) { return index.file.path(); }

// Some programs (Xbase64, for one) key a date as its eight characters YYYYMMDD where dBASE keys
// it as a number: such a file says characters of length 8 for a date expression, and its keys
// are the expression's DTOS().
bool DatesAsText(const NdxHeader& h, char result_type) {
  return result_type == 'D' && NdxDatesAsText(h) &&
         h.expression.size() + 6 <= static_cast<std::size_t>(kMaxExpressionLength);
}

bool CompileNdxKey(const NdxHeader& h, const TagHeader& view, TagExpressions& out) {
  if (!CompileTagExpressions(view, out)) return false;
  if (!DatesAsText(h, out.result_type)) return true;
  NdxHeader dated = h;
  dated.expression = "DTOS(" + h.expression + ")";
  return CompileTagExpressions(TagViewOf(dated), out);
}

}  // namespace

bool IsNdxName(std::string_view name) { return HasExtension(name, "NDX"); }

std::string NdxPath(const TableRecord& t, std::string_view name) {
  return PathBeside(t.file_name, name, "NDX");
}

bool OpenNdxFor(TableRecord& t, const std::string& path, NdxIndex& out, bool writable) {
  if (!out.file.Open(path, writable)) return false;
  const NdxHeader& h = out.file.header();
  out.tag = TagViewOf(h);
  if (!CompileNdxKey(h, out.tag, out.expressions)) {
    SetEngineError(222, "Index file damaged: " + path + ": its key expression " +
                            "\"" + h.expression + "\"" + " does not compile for " + t.file_name);
    return false;
  }
  const char type = out.expressions.result_type;
  const bool numeric = type == 'N' || type == 'F' || type == 'D';
  if (numeric != h.numeric ||
      (!numeric && std::min(out.expressions.width, kNdxMaxKeyLength) != h.key_length)) {
    SetEngineError(222, "Index file damaged: " + path + ": its key " + "\"" + h.expression + "\"" +
                            " gives a key of type " + std::string(1, type) + " and length " +
                            std::to_string(out.expressions.width) + ", its header says " +
                            (h.numeric ? "a number" : "characters") + " of length " +
                            std::to_string(h.key_length));
    return false;
  }
  NoteFieldKey(out.expressions, out.tag, t);
  return true;
}

bool AttachNdx(std::string_view name) {
  TableRecord* t = SelectedTable();
  if (t == nullptr) {
    SetEngineError(52, "No table in use [SetIndexTo]");
    return false;
  }
  auto index = std::make_unique<NdxIndex>();
  const std::string path = NdxPath(*t, name);
  if (!OpenNdxFor(*t, path, *index, (t->open_mode & 3) != 0)) return false;
  std::unique_ptr<NdxArea>& slot = IndexStateOf(*t).ndx;
  if (!slot) slot = std::make_unique<NdxArea>();
  slot->files.push_back(std::move(index));
  return true;
}

std::vector<std::string> AttachedNdx() {
  std::vector<std::string> names;
  const TableRecord* t = SelectedTable();
  if (t == nullptr) return names;
  if (NdxArea* a = AreaOf(t->area)) {
    for (const auto& f : a->files) names.push_back(FileName(*f));
  }
  return names;
}

void DetachNdx(int area) {
  if (TableIndexState* s = FoundIndexState(area)) s->ndx.reset();
}

void ForgetKeptCdx(int area) {
  if (NdxArea* a = AreaOf(area)) a->cdx.reset();
}

void ResetNdxAreas() {
  for (int area = 1; area <= kMaxIndexArea; ++area) DetachNdx(area);
}

namespace {

// Ten quick attempts, then pauses of 10 ms: about ten seconds in all.
int TakeLock(os::File& f, bool shared) {
  int code = 0;
  for (int attempt = 0; attempt < 1001; ++attempt) {
    code = shared ? f.LockRangeShared(kNdxLockOffset, 1) : f.LockRange(kNdxLockOffset, 1);
    if (code == 0) break;
    if (attempt >= 10) os::SleepMs(10);
  }
  return code;
}

}  // namespace

NdxReadHold::NdxReadHold(NdxFile& file) : file_(file) {
  const int code = TakeLock(file.file(), true);
  if (code != 0) {
    SetEngineError(static_cast<std::uint16_t>(code),
                   "Index file locked by another program: " + file.path());
    return;
  }
  locked_ = true;
  held_ = file.Reload();
}

NdxReadHold::~NdxReadHold() {
  if (locked_) file_.file().UnlockRange(kNdxLockOffset, 1);
}

// ---------------------------------------------------------------------------------------------
// Keys

bool NdxRecordKey(TableRecord& t, NdxIndex& index, KeyBuffer& key) {
  int length = 0;
  if (!MakeKey(index.expressions, index.tag, t, key, length)) {
    if (EngineErrorCode == 0) {
      SetEngineError(222, "The key of record " + std::to_string(t.record_number) + " for " +
                              FileName(index) + " cannot be made");
    }
    return false;
  }
  return true;
}

void NdxSearchKey(const NdxIndex& index, std::string text, bool exact, KeyBuffer& key,
                  int& length) {
  key.fill(0);
  const NdxHeader& h = index.file.header();
  if (h.numeric) {
    const double value = index.expressions.result_type == 'D'
                             ? TextToDate(text)
                             : std::strtod(text.c_str(), nullptr);
    const auto bytes = DoubleKey(value);
    std::memcpy(key.data(), bytes.data(), bytes.size());
    length = 8;
    return;
  }
  if (exact && static_cast<int>(text.size()) < h.key_length) {
    text.append(static_cast<std::size_t>(h.key_length) - text.size(), ' ');
  }
  length = std::min(static_cast<int>(text.size()), h.key_length);
  std::memcpy(key.data(), text.data(), static_cast<std::size_t>(length));
}

std::string NdxKeyText(const NdxIndex& index, const std::uint8_t* key) {
  const NdxHeader& h = index.file.header();
  if (!h.numeric) {
    return std::string(reinterpret_cast<const char*>(key), static_cast<std::size_t>(h.key_length));
  }
  if (index.expressions.result_type == 'D') return DateToText(KeyDouble(key));
  char text[64];
  std::snprintf(text, sizeof text, "%*.*f", index.expressions.width, index.expressions.decimals,
                KeyDouble(key));
  return text;
}

// ---------------------------------------------------------------------------------------------
// Building

namespace {

// A new index written beside its final name and renamed over it once complete.
bool WriteStaged(const TableRecord& t, const std::string& path, const NdxHeader& header,
                 SortedRuns& entries, int key_length) {
  std::string temp;
  os::File created;
  int code = os::CreateUniqueFile(SplitPath(path).dir, "VXI", "TMP", temp, created);
  if (code != 0) {
    SetEngineError(static_cast<std::uint16_t>(code), "Cannot create a temporary file beside " + path);
    return false;
  }
  os::TakeModeAndOwner(os::FileExists(path) ? path : t.file_name, created);
  NdxFile file;
  bool ok = file.Create(std::move(created), temp, header);
  if (ok) {
    NdxWriter writer(file, IndexBuildFill);
    std::string last;
    while (ok) {
      const std::uint8_t* entry = entries.Next();
      if (entry == nullptr) {
        ok = !entries.failed();
        break;
      }
      if (header.unique && !last.empty() &&
          file.Compare(reinterpret_cast<const std::uint8_t*>(last.data()), entry, key_length) == 0) {
        continue;
      }
      if (header.unique) last.assign(reinterpret_cast<const char*>(entry), static_cast<std::size_t>(key_length));
      ok = writer.Add(entry, GetLe32(entry + key_length));
    }
    ok = ok && writer.Finish();
  }
  ok = ok && PutStagedIndex(file.file(), temp, path);
  file.Close();
  if (!ok) os::DeleteFile(temp);
  return ok;
}

}  // namespace

bool BuildNdx(const std::string& path, const std::string& expression, bool unique,
              const NdxHeader* rebuilt) {
  TableRecord* t = SelectedTable();
  if (t == nullptr) {
    SetEngineError(52, "No table in use [BuildNdx]");
    return false;
  }
  const std::string stored = TrimText(expression);
  if (stored.empty() || stored.size() > kNdxMaxExpressionLength) {
    SetEngineError(300, "Key expression of " + std::to_string(stored.size()) +
                            " characters (1 to " + std::to_string(kNdxMaxExpressionLength) +
                            ") [BuildNdx]");
    return false;
  }
  NdxHeader header = NewNdxHeader(stored, false, 1, unique);
  TagExpressions expressions;
  {
    TagHeader probe = TagViewOf(header);
    QuietErrors quiet;
    CompiledExpr* compiled = AssignExpr(NormalizeKeyExpression(stored));
    if (compiled == nullptr) {
      const std::uint16_t code = EngineErrorCode != 0 ? EngineErrorCode : 254;
      const std::string message = LastErrorMessage;
      EngineErrorCode = 0;
      SetEngineError(code, message.empty() ? "The key expression does not compile" : message);
      return false;
    }
    const char type = compiled->result_type;
    const int width = compiled->result_width;
    FreeExpr(compiled);
    if (type == 'D' && rebuilt != nullptr && NdxDatesAsText(*rebuilt)) {
      header = NewNdxHeader(stored, false, 8, unique);
    } else if (type == 'N' || type == 'F' || type == 'D') {
      header = NewNdxHeader(stored, true, 8, unique);
    } else if (type == 'C') {
      if (width < 1 || width > kNdxMaxKeyLength) {
        SetEngineError(266, "Key of " + std::to_string(width) + " characters (1 to " +
                                std::to_string(kNdxMaxKeyLength) + ") [BuildNdx]");
        return false;
      }
      header = NewNdxHeader(stored, false, width, unique);
    } else {
      SetEngineError(254, "A key of type " + std::string(1, type) +
                              ": an .NDX key is characters, a number or a date [BuildNdx]");
      return false;
    }
    (void)probe;
  }
  if (rebuilt != nullptr && rebuilt->key_length == header.key_length &&
      rebuilt->numeric == header.numeric && rebuilt->max_keys >= 1 &&
      rebuilt->max_keys < header.max_keys) {
    header.max_keys = rebuilt->max_keys;
  }
  NdxIndex index;
  index.tag = TagViewOf(header);
  if (!CompileNdxKey(header, index.tag, index.expressions)) {
    SetEngineError(254, "The key expression does not compile [BuildNdx]");
    return false;
  }
  NoteFieldKey(index.expressions, index.tag, *t);
  const int key_length = header.key_length;
  SortedRuns entries(key_length, header.numeric ? CompareDoubleKeys : CompareCharKeys,
                     IndexBuildBudget, SplitPath(path).dir, "BuildNdx");
  bool ok = ForEachStoredRecord(
      *t,
      [&] {
        std::uint8_t* slot = entries.Slot();
        if (slot == nullptr) return false;
        KeyBuffer key{};
        int length = 0;
        if (!MakeKey(index.expressions, index.tag, *t, key, length, RecordForm::kStored)) {
          if (EngineErrorCode == 0) {
            SetEngineError(222, "The key of record " + std::to_string(t->record_number) +
                                    " cannot be made [BuildNdx]");
          }
          return false;
        }
        std::memcpy(slot, key.data(), static_cast<std::size_t>(key_length));
        entries.Add(static_cast<std::uint32_t>(t->record_number));
        return true;
      },
      "BuildNdx");
  ok = ok && entries.Finish();
  return ok && WriteStaged(*t, path, header, entries, key_length);
}

// ---------------------------------------------------------------------------------------------
// Checking

std::vector<std::string> CheckNdxAgainstTable(TableRecord& t, NdxIndex& index,
                                              std::vector<std::string>& notes) {
  std::vector<TagItem> items;
  const auto key_length = static_cast<std::size_t>(index.file.header().key_length);
  std::vector<std::string> problems = index.file.CheckTree([&](const std::uint8_t* key, std::uint32_t record) {
    items.push_back({std::string(reinterpret_cast<const char*>(key), key_length), record});
  });
  if (!problems.empty()) return problems;
  std::vector<TagItem> expected;
  bool made = ForEachStoredRecord(
      t,
      [&] {
        KeyBuffer key{};
        int length = 0;
        if (!MakeKey(index.expressions, index.tag, t, key, length, RecordForm::kStored)) {
          problems.push_back("the key of record " + std::to_string(t.record_number) +
                             " cannot be made");
          return false;
        }
        expected.push_back({std::string(reinterpret_cast<const char*>(key.data()), key_length),
                            static_cast<std::uint32_t>(t.record_number)});
        return true;
      },
      "check");
  if (!made) {
    if (problems.empty()) problems.push_back(LastErrorMessage);
    return problems;
  }
  const NdxFile& file = index.file;
  CompareItemsWithRecords(
      std::move(items), std::move(expected),
      [&](const std::string& a, const std::string& b) {
        return file.Compare(reinterpret_cast<const std::uint8_t*>(a.data()),
                            reinterpret_cast<const std::uint8_t*>(b.data()),
                            static_cast<int>(key_length));
      },
      file.header().unique, static_cast<std::uint32_t>(t.record_count), problems, notes);
  return problems;
}

// ---------------------------------------------------------------------------------------------
// The hooks

namespace {

using namespace order_internal;

bool MdxActive(TableRecord& t) { return HookIsActive(t); }

bool Shared(const TableRecord& t) { return !t.exclusive && SharingEnabled; }

void UnlockFiles(NdxArea& a, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) a.files[i]->file.file().UnlockRange(kNdxLockOffset, 1);
}

void UnlockCdx(NdxArea& a) {
  if (a.cdx) a.cdx->index.file.file().UnlockRange(kCdxLockOffset, 1);
}

// Takes every attached file's lock (nothing when the table is not shared) and reads each
// header again. False after a report, no lock left.
bool LockFiles(TableRecord& t) {
  NdxArea* a = AttachedTo(t);
  if (a == nullptr) return true;
  if (a->lock_depth++ > 0) return true;
  std::size_t locked = 0;
  if (Shared(t)) {
    for (; locked < a->files.size(); ++locked) {
      const int code = TakeLock(a->files[locked]->file.file(), false);
      if (code != 0) {
        UnlockFiles(*a, locked);
        a->lock_depth = 0;
        SetEngineError(static_cast<std::uint16_t>(code),
                       "Index file locked by another program: " + FileName(*a->files[locked]));
        return false;
      }
    }
  }
  bool ok = true;
  for (auto& f : a->files) {
    if (!f->file.Reload()) {
      ok = false;
      break;
    }
  }
  // The .CDX last: its lock and, when other programs may have changed it, its directory.
  bool cdx_locked = false;
  if (ok && a->cdx && Shared(t)) {
    const int code = TakeLock(a->cdx->index.file.file(), false);
    if (code != 0) {
      SetEngineError(static_cast<std::uint16_t>(code),
                     "Index file locked by another program: " + a->cdx->index.file.path());
      ok = false;
    } else {
      cdx_locked = true;
      ok = ReloadKeptCdx(t, *a->cdx);
    }
  }
  if (!ok) {
    if (Shared(t)) UnlockFiles(*a, a->files.size());
    if (cdx_locked) UnlockCdx(*a);
    a->lock_depth = 0;
  }
  return ok;
}

void UnlockAll(TableRecord& t) {
  NdxArea* a = AttachedTo(t);
  if (a == nullptr || a->lock_depth == 0) return;
  if (--a->lock_depth > 0) return;
  if (Shared(t)) {
    UnlockFiles(*a, a->files.size());
    UnlockCdx(*a);
  }
}

bool HookMaintains(TableRecord& t) { return MdxActive(t) || AttachedTo(t) != nullptr; }

// An append's bracket: the .MDX's (kept for a batch of appends, see AppendBatch), then the
// .NDX files' locks.
void NdxAppendBegins(TableRecord& t) {
  if (MdxActive(t)) {
    HookAppendBegins(t);
    if (EngineErrorCode != 0) return;
  }
  if (!LockFiles(t) && MdxActive(t)) {
    CleanupErrors cleanup;
    HookAppendEnds(t);
  }
}

void NdxAppendEnds(TableRecord& t) {
  UnlockAll(t);
  if (MdxActive(t)) HookAppendEnds(t);
}

void NdxBracketEnds(TableRecord& t) {
  UnlockAll(t);
  if (MdxActive(t)) HookLockOff(t);
}

bool NdxUpdateBegins(TableRecord& t) {
  if (MdxActive(t) && !HookUpdateBegins(t)) return false;
  if (LockFiles(t)) return true;
  if (MdxActive(t)) {
    CleanupErrors cleanup;
    HookLockOff(t);
  }
  return false;
}

void NdxOldKeys(TableRecord& t) {
  if (MdxActive(t)) HookOldKeys(t);
  NdxArea* a = AttachedTo(t);
  if (a == nullptr) return;
  if (a->cdx) RememberCdxKeys(t, *a->cdx);
  for (auto& f : a->files) {
    QuietErrors quiet;
    f->remembered_record = static_cast<std::uint32_t>(t.record_number);
    f->remembered_valid = NdxRecordKey(t, *f, f->remembered);
    EngineErrorCode = 0;
  }
}

bool KeysEqual(const NdxIndex& f, const KeyBuffer& a, const KeyBuffer& b) {
  return std::memcmp(a.data(), b.data(), static_cast<std::size_t>(f.file.header().key_length)) == 0;
}

// The first edit of a file compares it with the table whole: one that does not agree refuses
// every edit, since the changes would go into an index already wrong.
bool Validated(TableRecord& t, NdxIndex& f) {
  if (!f.validated) {
    std::vector<std::string> notes;
    std::vector<std::string> problems;
    {
      QuietErrors quiet;
      problems = CheckNdxAgainstTable(t, f, notes);
      EngineErrorCode = 0;
    }
    f.validated = true;
    for (const std::string& p : problems) f.fault += (f.fault.empty() ? "" : "; ") + p;
  }
  if (f.fault.empty()) return true;
  SetEngineError(222,
                 FileName(f) + " does not agree with " + t.file_name + " (" + f.fault +
                     "): nothing was changed",
                 {{EngineRemedy::kRepairNdx, "rebuilds it"}});
  return false;
}

bool NdxCheckKeys(TableRecord& t, bool appending) {
  if (MdxActive(t) && !HookCheckKeys(t, appending)) return false;
  NdxArea* a = AttachedTo(t);
  if (a == nullptr) return true;
  const std::int32_t saved = t.record_number;
  if (appending) t.record_number = t.record_count + 1;
  const auto record = static_cast<std::uint32_t>(t.record_number);
  bool ok = true;
  for (auto& f : a->files) {
    KeyBuffer key{};
    if (!Validated(t, *f) || !NdxRecordKey(t, *f, key)) {
      ok = false;
      break;
    }
    const bool had = !appending && f->remembered_valid && f->remembered_record == record;
    if (had && KeysEqual(*f, key, f->remembered)) continue;
    bool found = false;
    if (had && !f->file.Holds(f->remembered.data(), record, found)) {
      ok = false;
      break;
    }
    if (had && !found && !f->file.header().unique) {
      SetEngineError(254, "Record number " + std::to_string(record) + " not found in index " +
                              FileName(*f) + " [CompareKeys]");
      ok = false;
      break;
    }
    if (!f->file.Holds(key.data(), record, found)) {
      ok = false;
      break;
    }
  }
  t.record_number = saved;
  return ok && (!a->cdx || CheckCdxEdit(t, *a->cdx, appending));
}

struct NdxChange {
  NdxIndex* file;
  KeyBuffer key;
  bool removed = false;
  bool inserted = false;
};

// Takes the changes back, newest first; names a file that could not be mended.
void UndoChanges(std::vector<NdxChange>& changes, std::uint32_t record) {
  const std::uint16_t code = EngineErrorCode;
  std::string message = LastErrorMessage;
  std::string left;
  for (auto it = changes.rbegin(); it != changes.rend(); ++it) {
    QuietErrors quiet;
    bool mended = true;
    if (it->inserted) mended = it->file->file.Delete(it->key.data(), record) == NdxFile::Change::kDone;
    if (mended && it->removed) {
      mended = it->file->file.Insert(it->file->remembered.data(), record) != NdxFile::Change::kFailed;
    }
    if (!mended) left += (left.empty() ? "" : ", ") + FileName(*it->file);
  }
  if (!left.empty()) message += " (" + left + " may be damaged: rebuild it)";
  EngineErrorCode = code;
  LastErrorMessage = message;
}

// The .NDX changes of an edit (appending: only inserts); false after a report, the changes
// made taken back.
bool ChangeFiles(TableRecord& t, bool appending, std::vector<NdxChange>& changes) {
  NdxArea* a = AttachedTo(t);
  if (a == nullptr) return true;
  const auto record = static_cast<std::uint32_t>(t.record_number);
  for (auto& f : a->files) {
    KeyBuffer key{};
    if (!NdxRecordKey(t, *f, key)) {
      UndoChanges(changes, record);
      return false;
    }
    const bool had = !appending && f->remembered_valid && f->remembered_record == record;
    if (had && KeysEqual(*f, key, f->remembered)) continue;
    NdxChange& change = changes.emplace_back(NdxChange{f.get(), key});
    if (had) {
      const NdxFile::Change gone = f->file.Delete(f->remembered.data(), record);
      if (gone == NdxFile::Change::kFailed) {
        UndoChanges(changes, record);
        return false;
      }
      change.removed = gone == NdxFile::Change::kDone;
    }
    const NdxFile::Change put = f->file.Insert(key.data(), record);
    if (put == NdxFile::Change::kFailed) {
      UndoChanges(changes, record);
      return false;
    }
    change.inserted = put == NdxFile::Change::kDone;
  }
  return true;
}

// The .NDX files' changes, then the .CDX's, then the .MDX's: a failure takes back what the
// files before it changed.
void ChangeEveryFile(TableRecord& t, bool appending) {
  const auto record = static_cast<std::uint32_t>(t.record_number);
  std::vector<NdxChange> changes;
  if (!ChangeFiles(t, appending, changes)) return;
  NdxArea* a = AttachedTo(t);
  std::vector<CdxUndo> cdx_changes;
  if (a != nullptr && a->cdx && !ApplyCdxEdit(t, *a->cdx, appending, cdx_changes)) {
    UndoChanges(changes, record);
    return;
  }
  if (!MdxActive(t)) return;
  if (appending) {
    HookAddKeys(t);
  } else {
    HookNewKeys(t);
  }
  if (EngineErrorCode == 0) return;
  if (a != nullptr && a->cdx) TakeBackCdxEdit(*a->cdx, cdx_changes, record);
  UndoChanges(changes, record);
}

void NdxNewKeys(TableRecord& t) { ChangeEveryFile(t, false); }

void NdxAddKeys(TableRecord& t) { ChangeEveryFile(t, true); }

// The .MDX's own closing (orders.cpp), taken when the hooks are wrapped. Every engine's start
// wraps its hooks, in whatever thread it starts: atomic, as two engines may start at once.
using CloseProc = void (*)(TableRecord&);
constinit std::atomic<CloseProc> mdx_close_all{nullptr};

void NdxCloseAll(TableRecord& t) {
  const CloseProc mdx_close = mdx_close_all.load(std::memory_order_relaxed);
  if (MdxActive(t) && mdx_close != nullptr) mdx_close(t);
  DetachNdx(t.area);
}

std::string CdxRefusalHook(const TableRecord& t) { return CdxRefusal(t); }

}  // namespace

std::string CdxRefusal(const TableRecord& table) {
  // The key makers are compiled against the table; its record stays as it is.
  TableRecord& t = const_cast<TableRecord&>(table);
  if (t.is_virtual || t.stale_cdx_accepted || !t.HasStructuralCdx()) return {};
  if (t.area < 0 || t.area > kMaxIndexArea) return "no work area";
  std::unique_ptr<NdxArea>& slot = IndexStateOf(t).ndx;
  if (slot && slot->cdx && slot->cdx->table_path == t.file_name) return {};
  auto kept = std::make_unique<CdxKept>();
  bool opened = false;
  std::string why;
  {
    QuietErrors quiet;
    opened = OpenKeptCdx(t, *kept);
    why = LastErrorMessage;
    EngineErrorCode = 0;
  }
  if (!opened) {
    return t.file_name + " has a structural FoxPro compound index, " +
           DerivedFileName(t.file_name, "CDX") + ", that cannot be kept current (" + why +
           "): nothing was changed (opened ignoring its index, the table is edited and the "
           "index left stale)";
  }
  if (!slot) slot = std::make_unique<NdxArea>();
  slot->cdx = std::move(kept);
  return {};
}

void AddNdxHooks(IndexHookTable& hooks) {
  hooks.CdxRefusal = CdxRefusalHook;
  hooks.Maintains = HookMaintains;
  hooks.AppendBegins = NdxAppendBegins;
  hooks.AppendEnds = NdxAppendEnds;
  hooks.UpdateBegins = NdxUpdateBegins;
  hooks.UpdateEnds = NdxBracketEnds;
  hooks.OldKeys = NdxOldKeys;
  hooks.CheckKeys = NdxCheckKeys;
  hooks.NewKeys = NdxNewKeys;
  hooks.AddKeys = NdxAddKeys;
  mdx_close_all.store(hooks.CloseAll, std::memory_order_relaxed);
  hooks.CloseAll = NdxCloseAll;
}

bool NdxHooksInstalled(const IndexHookTable& hooks) { return hooks.Maintains == HookMaintains; }

}  // namespace vx
