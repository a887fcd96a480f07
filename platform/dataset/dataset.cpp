#include "platform/dataset/dataset.h"

#include <algorithm>
#include <cstring>

#include "platform/dataset/application.h"
#include "platform/dataset/data_source.h"
#include "platform/dataset/streams.h"
#include "platform/dataset/strings.h"

namespace vx {
namespace {

// Splits "A;B; C" into trimmed names.
std::vector<std::string> SplitNames(const std::string& names) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (;;) {
    const std::size_t semicolon = names.find(';', start);
    const std::string name = Trim(names.substr(start, semicolon - start));
    if (!name.empty()) out.push_back(name);
    if (semicolon == std::string::npos) break;
    start = semicolon + 1;
  }
  return out;
}

bool InEditModes(TDataSetState state) {
  return state == dsEdit || state == dsInsert || state == dsSetKey;
}

}  // namespace

void DatabaseError(const std::string& message, const TComponent* component) {
  if (component != nullptr && !component->Name().empty()) {
    throw EDatabaseError(component->Name() + ": " + message);
  }
  throw EDatabaseError(message);
}

TDataSet::TDataSet(TComponent* owner) : TComponent(owner) {}

TDataSet::~TDataSet() {
  Destroying();
  // A descendant closed the cursor already (only it can reach the virtual close operations);
  // what is left is released without them.
  state_ = dsInactive;
  while (!data_sources_.empty()) data_sources_.back()->SetDataSet(nullptr);
  fields_.Clear();
  buffers_.clear();
  calc_block_.reset();
}

// --- Opening and closing -----------------------------------------------------------------------

void TDataSet::SetActive(bool value) {
  if (ComponentState().Contains(csReading)) {
    streamed_active_ = value;
    return;
  }
  if (Active() == value) return;
  if (value) {
    DoBeforeOpen();
    try {
      OpenCursor(false);
    } catch (...) {
      // The open failure is what the caller hears; closing what was opened is best effort.
      try {
        CloseCursor();
      } catch (...) {
      }
      throw;
    }
    OpenCursorComplete();
  } else {
    const bool destroying = ComponentState().Contains(csDestroying);
    if (!destroying) DoBeforeClose();
    SetState(dsInactive);
    CloseCursor();
    if (!destroying) DoAfterClose();
  }
}

void TDataSet::OpenCursorComplete() {
  if (!internal_open_complete_) {
    CloseCursor();
    return;
  }
  SetState(dsBrowse);
  DoAfterOpen();
  if (!IsEmpty()) DoAfterScroll();
}

void TDataSet::OpenCursor(bool info_query) {
  if (info_query) {
    InternalInitFieldDefs();
  } else {
    DoInternalOpen();
  }
}

void TDataSet::DoInternalOpen() {
  default_fields_ = fields_.Count() == 0;
  InternalOpen();
  internal_open_complete_ = true;
  UpdateBufferCount();
  bof_ = true;
}

void TDataSet::CloseCursor() {
  block_read_size_ = 0;
  internal_open_complete_ = false;
  FreeFieldBuffers();
  ClearBuffers();
  FreeAllBuffers();
  InternalClose();
  buffer_count_ = 0;
  default_fields_ = false;
}

void TDataSet::InitFieldDefs() {
  if (IsCursorOpen()) {
    InternalInitFieldDefs();
    return;
  }
  try {
    OpenCursor(true);
  } catch (...) {
    try {
      CloseCursor();
    } catch (...) {
    }
    throw;
  }
  CloseCursor();
}

void TDataSet::Loaded() {
  TComponent::Loaded();
  if (!streamed_active_) return;
  try {
    SetActive(true);
  } catch (...) {
    // A table missing at design time must not stop the form designer from loading.
    if (!ComponentState().Contains(csDesigning)) throw;
    InternalHandleException();
  }
}

// --- Buffers -----------------------------------------------------------------------------------

TRecordBuffer TDataSet::ActiveBuffer() const {
  const auto index = static_cast<std::size_t>(active_record_);
  return index < buffers_.size() ? buffers_[index].get() : nullptr;
}

TRecordBuffer TDataSet::TempBuffer() const {
  const auto index = static_cast<std::size_t>(record_count_);
  return index < buffers_.size() ? buffers_[index].get() : nullptr;
}

void TDataSet::SetBufListSize(int value) {
  const auto size = static_cast<std::size_t>(value);
  while (buffers_.size() > size) {
    FreeRecordBuffer(buffers_.back());
    buffers_.pop_back();
  }
  while (buffers_.size() < size) buffers_.push_back(AllocRecordBuffer());
  if (value > 0 && !calc_block_) calc_block_ = AllocRecordBuffer();
  calc_buffer_ = calc_block_.get();
}

void TDataSet::FreeAllBuffers() {
  SetBufListSize(0);
  if (calc_block_) FreeRecordBuffer(calc_block_);
  calc_block_.reset();
  calc_buffer_ = nullptr;
}

void TDataSet::MoveBuffer(int from, int to) {
  if (from == to) return;
  const auto first = buffers_.begin();
  if (from < to) {
    std::rotate(first + from, first + from + 1, first + to + 1);
  } else {
    std::rotate(first + to, first + from, first + from + 1);
  }
}

void TDataSet::ActivateBuffers() {
  record_count_ = 1;
  current_record_ = 0;
  active_record_ = 0;
  bof_ = false;
  eof_ = false;
}

void TDataSet::ClearBuffers() {
  record_count_ = 0;
  active_record_ = 0;
  current_record_ = -1;
  bof_ = true;
  eof_ = true;
}

void TDataSet::UpdateBufferCount() {
  if (!IsCursorOpen()) return;
  int count = 1;
  for (const TDataSource* source : data_sources_) {
    for (const TDataLink* link : source->links_) count = std::max(count, link->buffer_count_);
  }
  SetBufferCount(count);
}

void TDataSet::AdjustFirstRecords(int delta) {
  if (delta == 0) return;
  for (TDataSource* source : data_sources_) {
    for (TDataLink* link : source->links_) {
      if (link->active_) link->first_record_ += delta;
    }
  }
}

void TDataSet::SetBufferCount(int value) {
  if (buffer_count_ == value) return;
  if (value < buffer_count_ && record_count_ > value) {
    // Keep the active record: drop records from the front until it fits, then from the back.
    const int drop_front = std::max(0, active_record_ - (value - 1));
    if (drop_front > 0) {
      std::rotate(buffers_.begin(), buffers_.begin() + drop_front, buffers_.end());
      record_count_ -= drop_front;
      active_record_ -= drop_front;
      current_record_ = current_record_ >= drop_front ? current_record_ - drop_front : -1;
      AdjustFirstRecords(-drop_front);
    }
    record_count_ = std::min(record_count_, value);
    if (current_record_ >= record_count_) current_record_ = -1;
  }
  SetBufListSize(value + 1);
  buffer_count_ = value;
  GetNextRecords();
  AdjustFirstRecords(GetPriorRecords());
}

void TDataSet::SetCurrentRecord(int index) {
  if (current_record_ == index) return;
  const TRecordBuffer buffer = buffers_.at(static_cast<std::size_t>(index)).get();
  switch (GetBookmarkFlag(buffer)) {
    case bfCurrent:
    case bfInserted:
      InternalSetToRecord(buffer);
      break;
    case bfBOF:
      InternalFirst();
      break;
    case bfEOF:
      InternalLast();
      break;
  }
  current_record_ = index;
}

void TDataSet::UpdateCursorPos() {
  if (record_count_ > 0) SetCurrentRecord(active_record_);
}

bool TDataSet::GetNextRecord() {
  TGetMode mode = gmNext;
  if (record_count_ > 0) {
    SetCurrentRecord(record_count_ - 1);
    // An inserted record at the end of the window was posted where the store now stands.
    if (state_ == dsInsert && current_record_ == active_record_ &&
        GetBookmarkFlag(ActiveBuffer()) == bfCurrent) {
      mode = gmCurrent;
    }
  }
  const bool ok = GetRecord(TempBuffer(), mode, true) == grOK;
  if (!ok) {
    CursorPosChanged();
    return false;
  }
  if (record_count_ == 0) {
    ActivateBuffers();
  } else if (record_count_ < buffer_count_) {
    ++record_count_;
  } else {
    MoveBuffer(0, record_count_);
  }
  current_record_ = record_count_ - 1;
  return true;
}

bool TDataSet::GetPriorRecord() {
  if (record_count_ > 0) SetCurrentRecord(0);
  const bool ok = GetRecord(TempBuffer(), gmPrior, true) == grOK;
  if (!ok) {
    CursorPosChanged();
    return false;
  }
  if (record_count_ == 0) {
    ActivateBuffers();
  } else {
    MoveBuffer(record_count_, 0);
    if (record_count_ < buffer_count_) {
      ++record_count_;
      ++active_record_;
    }
  }
  current_record_ = 0;
  return true;
}

int TDataSet::GetNextRecords() {
  int count = 0;
  while (record_count_ < buffer_count_ && GetNextRecord()) ++count;
  return count;
}

int TDataSet::GetPriorRecords() {
  int count = 0;
  while (record_count_ < buffer_count_ && GetPriorRecord()) ++count;
  return count;
}

// --- Navigation --------------------------------------------------------------------------------

void TDataSet::First() { MoveToEnd(/*to_first=*/true); }

void TDataSet::Last() { MoveToEnd(/*to_first=*/false); }

void TDataSet::MoveToEnd(bool to_first) {
  CheckBrowseMode();
  DoBeforeScroll();
  ClearBuffers();
  // The window is filled from the end it stands at; the flag of that end is set even when the
  // fetch fails, so controls repaint an empty or partial window correctly.
  const auto mark_end = [&] {
    (to_first ? bof_ : eof_) = true;
    DataEvent(deDataSetChange, 0);
  };
  try {
    if (to_first) {
      InternalFirst();
      GetNextRecord();
      GetNextRecords();
    } else {
      InternalLast();
      GetPriorRecord();
      GetPriorRecords();
    }
  } catch (...) {
    mark_end();
    throw;
  }
  mark_end();
  DoAfterScroll();
}

int TDataSet::MoveBy(int distance) {
  CheckBrowseMode();
  int moved = 0;
  DoBeforeScroll();
  if ((distance > 0 && !eof_) || (distance < 0 && !bof_)) {
    bof_ = false;
    eof_ = false;
    const int old_record_count = record_count_;
    // How far the records moved within the ring (negative: towards buffer 0); data links
    // shift their first row by it.
    int scroll = 0;
    try {
      while (distance > 0) {
        if (active_record_ < record_count_ - 1) {
          ++active_record_;
        } else {
          const int shift = record_count_ < buffer_count_ ? 0 : 1;
          if (!GetNextRecord()) {
            eof_ = true;
            break;
          }
          scroll -= shift;
          active_record_ = record_count_ - 1;
        }
        --distance;
        ++moved;
      }
      while (distance < 0) {
        if (active_record_ > 0) {
          --active_record_;
        } else {
          const int shift = record_count_ < buffer_count_ ? 0 : 1;
          if (!GetPriorRecord()) {
            bof_ = true;
            break;
          }
          scroll += shift;
          active_record_ = 0;
        }
        ++distance;
        --moved;
      }
    } catch (...) {
      DataEvent(deDataSetChange, 0);
      throw;
    }
    if (record_count_ != old_record_count) {
      DataEvent(deDataSetChange, 0);
    } else {
      DataEvent(deDataSetScroll, scroll);
    }
    DoAfterScroll();
  }
  return moved;
}

void TDataSet::Resync(TResyncMode mode) {
  const TRecordBuffer temp = TempBuffer();
  if (mode.Contains(rmExact)) {
    CursorPosChanged();
    if (GetRecord(temp, gmCurrent, true) != grOK) DatabaseError(SRecordNotFound, this);
  } else if (GetRecord(temp, gmCurrent, false) != grOK && GetRecord(temp, gmNext, false) != grOK &&
             GetRecord(temp, gmPrior, false) != grOK) {
    ClearBuffers();
    DataEvent(deDataSetChange, 0);
    return;
  }
  int count = mode.Contains(rmCenter) ? (buffer_count_ - 1) / 2 : active_record_;
  MoveBuffer(record_count_, 0);
  ActivateBuffers();
  try {
    while (count > 0 && GetPriorRecord()) --count;
    GetNextRecords();
    GetPriorRecords();
  } catch (...) {
    DataEvent(deDataSetChange, 0);
    throw;
  }
  DataEvent(deDataSetChange, 0);
}

void TDataSet::Refresh() {
  CheckBrowseMode();
  DoBeforeRefresh();
  UpdateCursorPos();
  InternalRefresh();
  Resync({});
  DoAfterRefresh();
}

// --- Editing -----------------------------------------------------------------------------------

void TDataSet::CheckActive() const {
  if (state_ == dsInactive) DatabaseError(SDataSetClosed, this);
}

void TDataSet::CheckInactive() const {
  if (state_ != dsInactive) DatabaseError(SDataSetOpen, this);
}

void TDataSet::CheckCanModify() const {
  if (!CanModify()) DatabaseError(SDataSetReadOnly, this);
}

void TDataSet::CheckBrowseMode() {
  CheckActive();
  DataEvent(deCheckBrowseMode, 0);
  switch (state_) {
    case dsEdit:
    case dsInsert:
      UpdateRecord();
      if (modified_) {
        Post();
      } else {
        Cancel();
      }
      break;
    case dsSetKey:
      Post();
      break;
    default:
      break;
  }
}

void TDataSet::UpdateRecord() {
  if (!InEditModes(state_)) DatabaseError(SNotEditing, this);
  DataEvent(deUpdateRecord, 0);
}

void TDataSet::CheckOperation(const std::function<void()>& operation,
                              const TDataSetErrorEvent& error_event) {
  for (;;) {
    try {
      UpdateCursorPos();
      operation();
      return;
    } catch (EDatabaseError& e) {
      TDataAction action = daFail;
      if (error_event) error_event(this, e, action);
      if (action == daFail) throw;
      if (action == daAbort) Abort();
    }
  }
}

void TDataSet::Edit() {
  if (state_ == dsEdit || state_ == dsInsert) return;
  if (record_count_ == 0) {
    Insert();
    return;
  }
  CheckBrowseMode();
  CheckCanModify();
  DoBeforeEdit();
  CheckOperation([this] { InternalEdit(); }, OnEditError);
  GetCalcFields(ActiveBuffer());
  SetState(dsEdit);
  DataEvent(deRecordChange, 0);
  DoAfterEdit();
}

void TDataSet::BeginInsertAppend() {
  CheckBrowseMode();
  CheckCanModify();
  DoBeforeInsert();
  DoBeforeScroll();
}

void TDataSet::EndInsertAppend() {
  SetState(dsInsert);
  try {
    DoOnNewRecord();
  } catch (...) {
    UpdateCursorPos();
    FreeFieldBuffers();
    SetState(dsBrowse);
    Resync({});
    throw;
  }
  modified_ = false;
  DataEvent(deDataSetChange, 0);
  DoAfterInsert();
  DoAfterScroll();
}

void TDataSet::InitRecord(TRecordBuffer buffer) {
  InternalInitRecord(buffer);
  ClearCalcFields(buffer);
  SetBookmarkFlag(buffer, bfInserted);
}

void TDataSet::Insert() {
  BeginInsertAppend();
  const TBookmark old_current = GetBookmark();
  MoveBuffer(record_count_, active_record_);
  const TRecordBuffer buffer = ActiveBuffer();
  InitRecord(buffer);
  if (record_count_ == 0) {
    SetBookmarkFlag(buffer, bfBOF);
  } else if (!old_current.empty()) {
    // The new record stands before the old active one; positioning on it finds that place.
    SetBookmarkData(buffer, old_current.data());
  }
  if (record_count_ < buffer_count_) ++record_count_;
  InternalInsert();
  EndInsertAppend();
}

void TDataSet::Append() {
  BeginInsertAppend();
  ClearBuffers();
  const TRecordBuffer buffer = buffers_.at(0).get();
  InitRecord(buffer);
  SetBookmarkFlag(buffer, bfEOF);
  record_count_ = 1;
  bof_ = false;
  GetPriorRecords();
  InternalInsert();
  EndInsertAppend();
}

void TDataSet::Post() {
  UpdateRecord();
  switch (state_) {
    case dsEdit:
    case dsInsert:
      DataEvent(deCheckBrowseMode, 0);
      DoBeforePost();
      CheckOperation([this] { InternalPost(); }, OnPostError);
      FreeFieldBuffers();
      SetState(dsBrowse);
      Resync({});
      DoAfterPost();
      break;
    case dsSetKey:
      SetState(dsBrowse);
      break;
    default:
      break;
  }
}

void TDataSet::Cancel() {
  switch (state_) {
    case dsEdit:
    case dsInsert: {
      DataEvent(deCheckBrowseMode, 0);
      DoBeforeCancel();
      const bool scroll_events = state_ == dsInsert;
      if (scroll_events) DoBeforeScroll();
      UpdateCursorPos();
      InternalCancel();
      FreeFieldBuffers();
      SetState(dsBrowse);
      Resync({});
      DoAfterCancel();
      if (scroll_events) DoAfterScroll();
      break;
    }
    case dsSetKey:
      SetState(dsBrowse);
      break;
    default:
      break;
  }
}

void TDataSet::Delete() {
  CheckActive();
  if (state_ == dsInsert || state_ == dsSetKey) {
    Cancel();
    return;
  }
  if (record_count_ == 0) DatabaseError(SDataSetEmpty, this);
  DataEvent(deCheckBrowseMode, 0);
  DoBeforeDelete();
  DoBeforeScroll();
  CheckOperation([this] { InternalDelete(); }, OnDeleteError);
  FreeFieldBuffers();
  SetState(dsBrowse);
  Resync({});
  DoAfterDelete();
  DoAfterScroll();
}

void TDataSet::InternalPost() { CheckRequiredFields(); }

void TDataSet::CheckRequiredFields() {
  for (TField* field : fields_) {
    if (field->Required() && !field->ReadOnly() && field->FieldKind() == fkData &&
        field->IsNull()) {
      field->FocusControl();
      DatabaseError(Format(SFieldRequired, {field->DisplayName()}));
    }
  }
}

void TDataSet::InsertRecord(const std::vector<Variant>& values) {
  InsertRecordValues(values, false);
}

void TDataSet::AppendRecord(const std::vector<Variant>& values) {
  InsertRecordValues(values, true);
}

void TDataSet::InsertRecordValues(const std::vector<Variant>& values, bool append) {
  BeginInsertAppend();
  if (!append) UpdateCursorPos();
  DisableControls();
  try {
    MoveBuffer(record_count_, active_record_);
    try {
      const TRecordBuffer buffer = ActiveBuffer();
      InitRecord(buffer);
      state_ = dsInsert;
      try {
        DoOnNewRecord();
        DoAfterInsert();
        SetFields(values);
        DoBeforePost();
        InternalAddRecord(buffer, append);
      } catch (...) {
        FreeFieldBuffers();
        state_ = dsBrowse;
        modified_ = false;
        throw;
      }
      FreeFieldBuffers();
      state_ = dsBrowse;
      modified_ = false;
    } catch (...) {
      MoveBuffer(active_record_, record_count_);
      throw;
    }
    Resync({});
    DoAfterPost();
  } catch (...) {
    EnableControls();
    throw;
  }
  EnableControls();
}

void TDataSet::SetFields(const std::vector<Variant>& values) {
  if (values.size() > static_cast<std::size_t>(fields_.Count())) {
    DatabaseError("Too many values for the dataset's fields", this);
  }
  DisableControls();
  try {
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (!values[i].IsNull()) fields_[static_cast<int>(i)]->SetAsVariant(values[i]);
    }
  } catch (...) {
    EnableControls();
    throw;
  }
  EnableControls();
}

void TDataSet::ClearFields() {
  if (!InEditModes(state_)) DatabaseError(SNotEditing, this);
  DataEvent(deCheckBrowseMode, 0);
  FreeFieldBuffers();
  InternalInitRecord(ActiveBuffer());
  if (state_ != dsSetKey) GetCalcFields(ActiveBuffer());
  DataEvent(deRecordChange, 0);
}

void TDataSet::FreeFieldBuffers() {
  for (TField* field : fields_) {
    if (auto* blob = dynamic_cast<TBlobField*>(field)) blob->SetModified(false);
  }
}

// --- Bookmarks ---------------------------------------------------------------------------------

bool TDataSet::BookmarkAvailable() const {
  return (state_ == dsBrowse || state_ == dsEdit || state_ == dsInsert) && !IsEmpty() &&
         GetBookmarkFlag(ActiveBuffer()) == bfCurrent;
}

TBookmark TDataSet::GetBookmark() const {
  if (!BookmarkAvailable() || bookmark_size_ <= 0) return {};
  TBookmark bookmark(static_cast<std::size_t>(bookmark_size_));
  GetBookmarkData(ActiveBuffer(), bookmark.data());
  return bookmark;
}

void TDataSet::GotoBookmark(const TBookmark& bookmark) {
  if (bookmark.empty()) return;
  CheckBrowseMode();
  DoBeforeScroll();
  InternalGotoBookmark(bookmark.data());
  Resync({rmExact, rmCenter});
  DoAfterScroll();
}

int TDataSet::CompareBookmarks(const TBookmark& a, const TBookmark& b) const {
  if (a.empty() || b.empty()) return a.empty() == b.empty() ? 0 : (a.empty() ? -1 : 1);
  const int order = std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end()) ? -1
                    : a == b                                                             ? 0
                                                                                         : 1;
  return order;
}

// --- Searching ---------------------------------------------------------------------------------

bool TDataSet::Locate(const std::string& key_fields, const Variant& key_values,
                      TLocateOptions options) {
  CheckBrowseMode();
  return false;
}

Variant TDataSet::Lookup(const std::string& key_fields, const Variant& key_values,
                         const std::string& result_fields) {
  return Variant();
}

// --- Fields ------------------------------------------------------------------------------------

Variant TDataSet::FieldValues(const std::string& field_names) const {
  const std::vector<std::string> names = SplitNames(field_names);
  if (names.size() == 1) return FieldByName(names[0])->AsVariant();
  std::vector<Variant> values;
  for (const std::string& name : names) values.push_back(FieldByName(name)->AsVariant());
  return Variant::Array(std::move(values));
}

void TDataSet::GetFieldNames(TStrings& list) const {
  list.BeginUpdate();
  list.Clear();
  if (fields_.Count() > 0) {
    for (const TField* field : fields_) list.Add(field->FieldName());
  } else {
    for (int i = 0; i < field_defs_.Count(); ++i) list.Add(field_defs_[i].Name());
  }
  list.EndUpdate();
}

TFieldClass TDataSet::GetFieldClass(TFieldType type) const {
  switch (type) {
    case ftString:
      return &FieldClassOf<TStringField>;
    case ftSmallint:
      return &FieldClassOf<TSmallintField>;
    case ftInteger:
      return &FieldClassOf<TIntegerField>;
    case ftWord:
      return &FieldClassOf<TWordField>;
    case ftBoolean:
      return &FieldClassOf<TBooleanField>;
    case ftFloat:
      return &FieldClassOf<TFloatField>;
    case ftCurrency:
      return &FieldClassOf<TCurrencyField>;
    case ftDate:
      return &FieldClassOf<TDateField>;
    case ftTime:
      return &FieldClassOf<TTimeField>;
    case ftDateTime:
      return &FieldClassOf<TDateTimeField>;
    case ftBlob:
      return &FieldClassOf<TBlobField>;
    case ftMemo:
      return &FieldClassOf<TMemoField>;
    case ftGraphic:
      return &FieldClassOf<TGraphicField>;
    case ftFmtMemo:
      return [](TComponent* owner) -> TField* {
        auto* field = new TMemoField(owner);
        field->SetBlobType(ftFmtMemo);
        return field;
      };
    default:
      return nullptr;
  }
}

void TDataSet::CreateFields() {
  for (int i = 0; i < field_defs_.Count(); ++i) {
    if (field_defs_[i].DataType() != ftUnknown) field_defs_[i].CreateField(this);
  }
}

void TDataSet::BindFields(bool binding) {
  calc_fields_size_ = 0;
  for (TField* field : fields_) {
    if (!binding) {
      field->Bind(false);
      field->field_no_ = 0;
      field->offset_ = 0;
      continue;
    }
    if (field->FieldKind() == fkCalculated || field->FieldKind() == fkLookup) {
      field->field_no_ = 0;
      field->offset_ = calc_fields_size_;
      calc_fields_size_ += field->DataSize() + 1;
    } else {
      const int index = field_defs_.IndexOf(field->FieldName());
      if (index < 0) DatabaseError(Format(SFieldNotFound, {field->FieldName()}), this);
      const TFieldDef& def = field_defs_[index];
      if (def.DataType() != field->DataType()) {
        DatabaseError(
            Format(SFieldTypeMismatch, {field->DisplayName(), FieldTypeName(field->DataType()),
                                        FieldTypeName(def.DataType())}),
            this);
      }
      field->field_no_ = def.FieldNo();
    }
    field->Bind(true);
  }
}

void TDataSet::DestroyFields() { fields_.Clear(); }

void TDataSet::GetCalcFields(TRecordBuffer buffer) {
  bool internal_calc = false;
  for (const TField* field : fields_) internal_calc |= field->FieldKind() == fkInternalCalc;
  if (calc_fields_size_ == 0 && !internal_calc) return;
  const TDataSetState saved = state_;
  state_ = dsCalcFields;
  try {
    CalculateFields(buffer);
  } catch (...) {
    state_ = saved;
    throw;
  }
  state_ = saved;
}

void TDataSet::CalculateFields(TRecordBuffer buffer) {
  calc_buffer_ = buffer;
  if (state_ != dsInternalCalc) {
    ClearCalcFields(buffer);
    for (TField* field : fields_) {
      if (field->FieldKind() != fkLookup) continue;
      TDataSet* lookup = field->LookupDataSet();
      if (lookup == nullptr || !lookup->Active()) continue;
      const Variant keys = FieldValues(field->KeyFields);
      const Variant value = lookup->Lookup(field->LookupKeyFields, keys, field->LookupResultField);
      if (!value.IsNull()) field->SetAsVariant(value);
    }
  }
  DoOnCalcFields();
}

void TDataSet::UpdateCalcFields() {
  if (state_ == dsSetKey || !auto_calc_fields_ || calc_fields_size_ == 0) return;
  GetCalcFields(ActiveBuffer());
}

std::unique_ptr<TStream> TDataSet::CreateBlobStream(TField* field, TBlobStreamMode mode) {
  return nullptr;
}

bool TDataSet::GetFieldData(TField* field, void* buffer) { return false; }

void TDataSet::SetFieldData(TField* field, const void* buffer) {}

// --- State and notification --------------------------------------------------------------------

void TDataSet::SetState(TDataSetState value) {
  if (state_ == value) return;
  state_ = value;
  modified_ = false;
  DataEvent(deUpdateState, 0);
}

TDataSetState TDataSet::SetTempState(TDataSetState value) {
  const TDataSetState saved = state_;
  state_ = value;
  ++disable_count_;
  return saved;
}

void TDataSet::RestoreState(TDataSetState value) {
  state_ = value;
  if (disable_count_ > 0) --disable_count_;
}

void TDataSet::SetFiltered(bool value) {
  if (filtered_ == value) return;
  if (!Active()) {
    filtered_ = value;
    return;
  }
  CheckBrowseMode();
  filtered_ = value;
  First();
}

void TDataSet::DisableControls() {
  if (disable_count_ == 0) {
    disable_state_ = state_;
    enable_event_ = deDataSetChange;
  }
  ++disable_count_;
}

void TDataSet::EnableControls() {
  if (disable_count_ == 0) return;
  if (--disable_count_ > 0) return;
  if (disable_state_ != state_) DataEvent(deUpdateState, 0);
  if (disable_state_ != dsInactive && state_ != dsInactive) DataEvent(enable_event_, 0);
}

void TDataSet::SetBlockReadSize(int value) {
  if (value > 0) {
    CheckActive();
    CheckBrowseMode();
    block_read_size_ = value;
    SetState(dsBlockRead);
  } else {
    block_read_size_ = 0;
    if (state_ == dsBlockRead) {
      SetState(dsBrowse);
      DataEvent(deDataSetChange, 0);
    }
  }
}

void TDataSet::DataEvent(TDataEvent event, std::intptr_t info) {
  const bool notify = !ControlsDisabled() && state_ != dsBlockRead;
  switch (event) {
    case deFieldChange: {
      TField* field = InfoField(info);
      if (field != nullptr) {
        if (field->FieldKind() == fkData || field->FieldKind() == fkInternalCalc) modified_ = true;
        field->Change();
      }
      UpdateCalcFields();
      break;
    }
    case dePropertyChange:
      field_defs_.SetUpdated(false);
      break;
    default:
      break;
  }
  if (notify) {
    const std::vector<TDataSource*> sources = data_sources_;
    for (TDataSource* source : sources) source->DataEvent(event, info);
  } else if ((event == deUpdateState && state_ == dsInactive) || event == deLayoutChange) {
    enable_event_ = deLayoutChange;
  }
}

void TDataSet::AddDataSource(TDataSource* source) {
  data_sources_.push_back(source);
  UpdateBufferCount();
}

void TDataSet::RemoveDataSource(TDataSource* source) {
  data_sources_.erase(std::remove(data_sources_.begin(), data_sources_.end(), source),
                      data_sources_.end());
  if (!ComponentState().Contains(csDestroying)) UpdateBufferCount();
}

void TDataSet::InternalHandleException() { Application().HandleException(this); }

}  // namespace vx
