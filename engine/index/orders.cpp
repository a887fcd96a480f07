#include "engine/index/orders.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

#include "engine/foundation/errors.h"
#include "engine/foundation/strings.h"
#include "engine/index/index_check.h"
#include "engine/index/ndx_orders.h"
#include "engine/index/order_internal.h"
#include "engine/index/semaphore.h"
#include "engine/table/dbf_records.h"
#include "engine/workarea/hooks.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/codepage.h"
#include "platform/os/system.h"

namespace vx {

using namespace order_internal;

namespace {

void CloseAreaIndex(int area);

void HookCloseAll(TableRecord& t) { CloseAreaIndex(t.area); }

// --- Open and close ---

void CloseAreaIndex(int area) {
  TableIndexState* state = FoundIndexState(area);
  if (state == nullptr || !state->index) return;
  // Keys a batch of appends still holds back go in first (or its records are taken back).
  if (state->index->pending.active) WritePendingKeys(*AreaTable(area));
  std::unique_ptr<AreaIndex> index = std::move(state->index);
  MdxFile& file = index->file;
  if (file.IsOpen() && file.header().dirty) {
    const int code = file.file().WriteAt(0, std::as_bytes(std::span(file.header().bytes)));
    if (code != 0) {
      SetEngineError(static_cast<std::uint16_t>(code),
                     "Error writing index file: " + file.name() + " [CloseIndex]");
    }
  }
  const std::string name = file.name();
  if (file.IsOpen() && file.Close() != 0) {
    SetEngineError(os::kIoDiskWriteError, "Error closing index file:  " + name);
  }
  if (index->logged_in) HandleSemaphore(SemaphoreAction::kLogout, area);
}

}  // namespace

std::string IndexPath(const TableRecord& t, std::string_view name) {
  if (name.empty()) return DerivedFileName(t.file_name, "MDX");
  std::string path = DefaultExtension(TrimText(name), "MDX");
  const bool has_dir = path.find('\\') != std::string::npos ||
                       path.find('/') != std::string::npos || path.find(':') != std::string::npos;
  if (!has_dir) path = SplitPath(t.file_name).dir + path;
  return path;
}

namespace {

bool FailOpen(int area, std::uint16_t code, const std::string& text) {
  {
    QuietErrors quiet;
    CloseAreaIndex(area);
  }
  SetEngineError(code, text);
  return false;
}

// Takes over an error recorded quietly inside the open and reports it after cleaning up.
bool FailOpenWithPending(int area) {
  const std::uint16_t code = EngineErrorCode != 0 ? EngineErrorCode : 222;
  const std::string text = LastErrorMessage;
  return FailOpen(area, code, text);
}

bool LoadTag(TableRecord& t, AreaIndex& index, int number, int area) {
  auto tag = std::make_unique<OrderTag>();
  tag->tag_number = number;
  tag->name = index.file.header().TagName(number);
  if (!index.file.ReadTagHeader(number, tag->header)) return false;
  const std::string corrupt =
      "Invalid dBASE key expression or corrupted index file " + index.file.name();
  if (!CompileTagExpressions(tag->header, tag->expressions)) {
    SetEngineError(222, corrupt);
    return false;
  }
  tag->descending = tag->header.Descending();
  tag->compare =
      ChooseComparator(tag->header.KeyType(), tag->expressions.result_type, tag->descending);
  if (tag->compare == nullptr) {
    SetEngineError(222, corrupt);
    return false;
  }
  tag->character = tag->header.KeyType() == 'C';
  tag->cursor.Attach(&index.file, tag->header, tag->compare, ContextOf(index, *tag, area));
  if (tag->character && HasKeyMaker(tag->expressions)) {
    // The expression's width must fit the stored key length (a widened field changes it).
    // Shorter results (TRIM, and LEFT or SUBSTR of a field in tags built before those had
    // their own width) are stored padded; longer ones would be cut.
    int width = tag->expressions.width;
    if (width == 0) {
      const std::int32_t saved = t.record_number;
      MoveTo(t.record_count + 1);
      KeyBuffer key{};
      MakeKey(tag->expressions, tag->header, t, key, width);
      if (saved >= 1 && saved <= t.record_count) MoveTo(saved);
    }
    if (width > tag->header.KeyLength()) {
      SetEngineError(266, "Incorrect key length: Must be 1 to 100. " + index.file.name());
      return false;
    }
  }
  index.tags.push_back(std::move(tag));
  return true;
}

// Loads every tag under one read hold and puts tag 1 on its first visible record.
bool LoadTags(TableRecord& t, AreaIndex& index, int area) {
  ReadHold hold(area);
  if (EngineErrorCode != 0) return false;
  const int count = index.file.header().TagCount();
  for (int i = 1; i <= count; ++i) {
    if (!LoadTag(t, index, i, area)) return false;
  }
  if (index.tags.empty()) return true;
  index.controlling = 1;
  OrderTag& first = Controlling(index);
  if (t.record_count < 1) {
    for (auto& tag : index.tags) {
      tag->cursor.SetAtStart(true);
      tag->cursor.SetAtEnd(true);
      if (tag->character) {
        std::memset(tag->current_key.data(), ' ',
                    static_cast<std::size_t>(tag->header.KeyLength()));
      }
    }
    return true;
  }
  const std::int32_t n = EdgeRecord(t, true);
  if (EngineErrorCode != 0) return false;
  if (n > t.record_count) {
    MoveTo(t.record_count + 1);
    return true;
  }
  MoveTo(n);
  while (!IsVisible(t) && !first.cursor.AtEnd()) {
    const std::int32_t next = StepRecord(t, true);
    if (EngineErrorCode != 0) return false;
    if (next == t.record_number) {
      first.cursor.SetAtEnd(true);
      MoveTo(t.record_count + 1);
      break;
    }
    MoveTo(next);
  }
  return true;
}

bool OpenIndexFile(TableRecord& t, const std::string& path) {
  const int area = t.area;
  std::unique_ptr<AreaIndex>& slot = IndexStateOf(t).index;
  slot = std::make_unique<AreaIndex>();
  AreaIndex& index = *slot;
  const bool shared = SharingEnabled && !t.exclusive;
  const bool override_set = OpenModeOverride != 65535;
  if (!override_set || (OpenModeOverride & 0x40) != 0) {
    QuietErrors quiet;
    EngineErrorCode = 0;
    if (!HandleSemaphore(SemaphoreAction::kLogin, area)) {
      // A reader whose semaphore file cannot be made or written (a folder or file it may only
      // read) cannot take part in the protocol; it reads the index as a read-only user does,
      // keeping no nodes, since nothing tells it of other programs' writes.
      const bool reads_only = (t.open_mode & 0x0F) == 0;
      if (!reads_only || EngineErrorCode != os::kIoAccessDenied) {
        return FailOpenWithPending(area);
      }
      EngineWarning(SemaphoreFileName(t.file_name) +
                    " cannot be created or written (access denied): the index is read without "
                    "the semaphore, as a read-only user reads it");
      EngineErrorCode = 0;
    }
    index.logged_in = SemaphoreActive(area);
  }
  int mode = shared ? os::kOpenReadWriteDenyNone : os::kOpenReadWriteDenyAll;
  if (override_set) mode = OpenModeOverride;
  {
    QuietErrors quiet;
    EngineErrorCode = 0;
    bool opened = index.file.Open(path, mode);
    // A file we may only read is still searched; nothing is written back to it.
    if (!opened && EngineErrorCode == os::kIoAccessDenied) {
      EngineErrorCode = 0;
      opened = index.file.Open(path, shared ? os::kOpenReadOnlyDenyNone : os::kOpenDenyAll);
    }
    if (!opened) return FailOpenWithPending(area);
  }
  // Kept nodes stay true while no other program writes: always for a file nobody else may
  // change, and for a shared one while the semaphore's update counter stands still (a moved
  // counter makes the next bracket drop them with the cursors' positions, see ReadAnchors).
  const bool others_may_write = (mode & 0xF0) == 0x40;
  if (!others_may_write || index.logged_in) index.file.SetNodeCache(NodeCacheBudget);
  bool loaded;
  {
    QuietErrors quiet;
    EngineErrorCode = 0;
    loaded = LoadTags(t, index, area);
  }
  return loaded ? true : FailOpenWithPending(area);
}

}  // namespace

bool SetIndexTo(std::string_view name) {
  TableRecord* t = InUse("SetIndexTo");
  if (t == nullptr) return false;
  {
    QuietErrors quiet;
    CloseAreaIndex(t->area);
  }
  const std::string path = IndexPath(*t, name);
  if (!os::FileExists(path)) {
    SetEngineError(2, "SetIndexTo(" + (name.empty() ? path : std::string(name)) + ")");
    return false;
  }
  return OpenIndexFile(*t, os::ResolvePath(path));
}

bool OpenProductionIndex() {
  TableRecord* t = InUse("SetIndexTo");
  if (t == nullptr || !HasProductionIndex()) return false;
  if (!os::FileExists(DerivedFileName(t->file_name, "MDX"))) return false;
  return SetIndexTo();
}

void Set_Order_To(int n) {
  const std::string op = "Set_Order_To(" + std::to_string(n) + ")";
  TableRecord* t = InUse(op);
  if (t == nullptr) return;
  AreaIndex* index = SelectedIndex();
  if (index == nullptr || index->tags.empty()) {
    SetEngineError(221, "Index not open. (DBF=" + TableNameOf(*t) + ") [" + op + "]");
    return;
  }
  if (n < 0 || n > static_cast<int>(index->tags.size())) {
    SetEngineError(220, "Invalid Index Order Specified: SET_ORDER_TO. [" + op +
                            "] (DBF=" + TableNameOf(*t) + ")");
    return;
  }
  if (n == 0) {
    index->natural = true;
    return;
  }
  const bool was_natural = index->natural;
  index->natural = false;
  if (n == index->controlling && !was_natural) return;
  const bool old_at_end = was_natural ? t->at_end : Controlling(*index).cursor.AtEnd() || t->at_end;
  index->controlling = n;
  OrderTag& tag = Controlling(*index);
  ReadHold hold(t->area);
  if (t->record_count < 1) {
    SetCurrentKey(tag);
    tag.cursor.SetAtStart(true);
    tag.cursor.SetAtEnd(true);
    return;
  }
  if (old_at_end) {
    if (tag.cursor.Last()) tag.cursor.SetAtEnd(true);
    return;
  }
  SyncTag(*t, tag);
}

bool SetOrderToTag(std::string_view name) {
  std::string wanted = TrimText(name);
  if (wanted.size() > kMaxTagNameLength) wanted.resize(kMaxTagNameLength);
  wanted = TrimText(wanted);
  TableRecord* t = InUse("SetOrderToTag(" + wanted + ")");
  if (t == nullptr) return false;
  if (wanted.empty()) {
    Set_Order_To(0);
    const AreaIndex* index = SelectedIndex();
    return index != nullptr && !index->tags.empty();
  }
  wanted = os::AnsiUpperText(wanted);
  AreaIndex* index = SelectedIndex();
  if (index != nullptr) {
    for (const auto& tag : index->tags) {
      if (tag->name.compare(0, wanted.size(), wanted) == 0) {
        Set_Order_To(tag->tag_number);
        return true;
      }
    }
  }
  SetEngineError(220, "Invalid Index Order Specified: SET_ORDER_TO. [SetOrderToTag(" + wanted +
                          ")] (DBF=" + TableNameOf(*t) + ")");
  return false;
}

int CurrentOrder() {
  if (SelectedTable() == nullptr) return 0;
  const AreaIndex* index = SelectedIndex();
  if (index == nullptr || index->tags.empty() || index->natural) return 0;
  return index->controlling;
}

void CloseIndex() {
  TableRecord* t = InUse("CloseIndex");
  if (t != nullptr) CloseAreaIndex(t->area);
}

OrderTag* OrderOf(int n) {
  AreaIndex* index = SelectedIndex();
  if (index == nullptr || n < 1 || n > static_cast<int>(index->tags.size())) return nullptr;
  return index->tags[static_cast<std::size_t>(n - 1)].get();
}

int OrderCount() {
  const AreaIndex* index = SelectedIndex();
  return index == nullptr ? 0 : static_cast<int>(index->tags.size());
}

std::string OrderTagName(int n) {
  const OrderTag* tag = OrderOf(n);
  return tag == nullptr ? std::string() : tag->name;
}

std::string IndexFileName() {
  const AreaIndex* index = SelectedIndex();
  return index == nullptr || index->tags.empty() ? std::string() : index->file.name();
}

std::string OrderDescription(int n) {
  if (IndexFileName().empty()) return {};
  return IndexFileName() + " [tag: " + OrderTagName(n) + "]";
}

std::string OrderKeyText(int n) {
  OrderTag* tag = OrderOf(n);
  TableRecord* t = SelectedTable();
  if (tag == nullptr || t == nullptr) return {};
  KeyBuffer key{};
  int length = 0;
  if (!MakeKey(tag->expressions, tag->header, *t, key, length)) return {};
  return KeyDisplay(*tag, key.data());
}

bool OrderInSignedByteOrder(int n) {
  OrderTag* tag = OrderOf(n);
  AreaIndex* index = SelectedIndex();
  TableRecord* t = SelectedTable();
  if (tag == nullptr || index == nullptr || t == nullptr) return false;
  ReadHold hold(t->area);
  return ProbeKeyCollation(index->file, tag->header) == KeyCollation::kSignedBytes;
}

bool ReadInWritersOrder(int n, bool on) {
  OrderTag* tag = OrderOf(n);
  AreaIndex* index = SelectedIndex();
  TableRecord* t = SelectedTable();
  if (tag == nullptr || index == nullptr || t == nullptr || !tag->character) return false;
  tag->compare =
      on ? (tag->descending ? CompareSignedCharKeysDescending : CompareSignedCharKeys)
         : ChooseComparator(tag->header.KeyType(), tag->expressions.result_type, tag->descending);
  tag->cursor.Attach(&index->file, tag->header, tag->compare, ContextOf(*index, *tag, t->area));
  return true;
}

void TagList(std::vector<std::string>& list, const std::string& table_file,
             std::string_view index_name) {
  list.clear();
  TableRecord probe;
  probe.file_name = table_file;
  const std::string path = IndexPath(probe, index_name);
  if (!os::FileExists(path)) return;
  MdxFile file;
  QuietErrors quiet;
  if (!file.Open(path, os::kOpenReadOnlyDenyNone)) return;
  for (int i = 1; i <= file.header().TagCount(); ++i) {
    TagHeader header;
    if (!file.ReadTagHeader(i, header)) break;
    const std::string name = TrimText(file.header().TagName(i));
    const std::string key = TrimText(header.KeyExpression());
    if (name.empty() || key.empty()) continue;
    list.push_back(name + (header.Descending() ? ",T," : ",F,") + (header.Unique() ? "T," : "F,") +
                   key);
    list.push_back(header.HasFor() ? TrimText(header.ForExpression()) : std::string());
  }
}

void IndexInit() {
  // Another index engine's table stays; this engine's own may be installed again (a second
  // start-up of the engine in one process).
  if (IndexHooks->present && !NdxHooksInstalled(*IndexHooks)) {
    SetEngineError(254, "Another index engine is already installed [IndexInit]");
    return;
  }
  {
    QuietErrors quiet;
    for (int area = 1; area <= kMaxIndexArea; ++area) CloseAreaIndex(area);
  }
  IndexFound = false;
  KeyPadding = false;
  SoftSeek = false;
  ResetNdxAreas();
  ResetSemaphores();
  IndexHookTable hooks;
  hooks.IsActive = HookIsActive;
  hooks.FirstRecord = HookFirst;
  hooks.LastRecord = HookLast;
  hooks.NextRecord = HookNext;
  hooks.PriorRecord = HookPrior;
  hooks.AtEnd = HookAtEnd;
  hooks.AtBeginning = HookAtBeginning;
  hooks.PositioningBegins = HookReadOn;
  hooks.PositioningEnds = HookReadOff;
  hooks.AfterPositioning = HookAfterPositioning;
  hooks.AppendBegins = HookAppendBegins;
  hooks.AppendEnds = HookAppendEnds;
  hooks.AddKeys = HookAddKeys;
  hooks.AppendDeferred = HookAppendDeferred;
  hooks.UpdateBegins = HookUpdateBegins;
  hooks.OldKeys = HookOldKeys;
  hooks.CheckKeys = HookCheckKeys;
  hooks.NewKeys = HookNewKeys;
  hooks.UpdateEnds = HookLockOff;
  hooks.ReachedBof = HookReachedBof;
  hooks.ReachedEof = HookReachedEof;
  hooks.CloseAll = HookCloseAll;
  AddNdxHooks(hooks);
  hooks.present = true;
  IndexHooks = hooks;
}

void ShutdownIndex() {
  if (!IndexHooks->present) return;
  QuietErrors quiet;
  for (int area = 1; area <= kMaxIndexArea; ++area) CloseAreaIndex(area);
  ResetNdxAreas();
  IndexHooks = IndexHookTable{};
}

}  // namespace vx
