#include "components/dataset/prim_dataset.h"

#include <cstring>
#include <memory>

#include "platform/dataset/application.h"
#include "platform/os/exception.h"

namespace vx {

namespace {

constexpr std::uint32_t kMaxLayout = 65535;
constexpr std::uint32_t kMaxRecordInfoOffset = 65530;

[[noreturn]] void RangeError(const char* part, std::uint32_t value) {
  throw os::Exception(std::string("Range check error: ") + part + " of the record buffer at " +
                      std::to_string(value));
}

}  // namespace

TVxPrimDataset::TVxPrimDataset(TComponent* owner) : TDataSet(owner) {}

TVxPrimDataset::~TVxPrimDataset() = default;

void TVxPrimDataset::CheckStatus(int status) {
  if (status == kVxiOk) return;
  if (status >= kVxiOpenFailed && status <= kVxiAfterLast) {
    throw os::Exception("Dataset error: " + std::to_string(status));
  }
  if (status == kVxiNoFileName) throw os::Exception("Missing DbfFilename property");
  throw os::Exception("Dataset error: " + VxiErrorText(status));
}

std::string TVxPrimDataset::VxiErrorText(int code) { return std::to_string(code); }

bool TVxPrimDataset::VxiIsEmpty() { return IsEmpty(); }

// --- Opening and closing --------------------------------------------------------------------

void TVxPrimDataset::OpenCursor(bool info_query) {
  CheckStatus(VxiOpenTable());
  table_open_ = true;
  TDataSet::OpenCursor(info_query);
}

void TVxPrimDataset::CloseCursor() {
  TDataSet::CloseCursor();
  // A failed open leaves nothing to close: the store was never opened.
  if (!table_open_) return;
  table_open_ = false;
  CheckStatus(VxiCloseTable());
}

void TVxPrimDataset::InternalOpen() {
  record_data_size_ = VxiGetRecordSize();
  SetBookmarkSize(VxiGetBookmarkSize());
  VxiGetRecNoKind();
  FieldDefs().SetUpdated(false);
  FieldDefs().Update();
  if (DefaultFields()) CreateFields();
  BindFields(true);
  ComputeLayout();
  CheckStatus(VxiSetToBegin());
}

void TVxPrimDataset::InternalClose() {
  BindFields(false);
  if (DefaultFields()) DestroyFields();
}

void TVxPrimDataset::ComputeLayout() {
  int blob_fields = 0;
  for (const TField* field : Fields()) {
    if (field->IsBlob()) ++blob_fields;
  }
  const std::uint32_t blob_cache = std::uint32_t{record_data_size_} + CalcFieldsSize();
  if (blob_cache > kMaxLayout) RangeError("calculated fields", blob_cache);
  const std::uint32_t record_info = blob_cache + kBlobCacheSlot * blob_fields;
  if (record_info >= kMaxRecordInfoOffset) RangeError("record info", record_info);
  const std::uint32_t bookmark = record_info + kRecordInfoSize;
  const std::uint32_t total = bookmark + static_cast<std::uint32_t>(BookmarkSize());
  if (total > kMaxLayout) RangeError("bookmark", total);
  blob_cache_offset_ = static_cast<std::uint16_t>(blob_cache);
  record_info_offset_ = static_cast<std::uint16_t>(record_info);
  bookmark_offset_ = static_cast<std::uint16_t>(bookmark);
  buffer_size_ = static_cast<std::uint16_t>(total);
}

void TVxPrimDataset::InternalHandleException() { Application().HandleException(this); }

// --- Buffers ----------------------------------------------------------------------------------

RecordBlock TVxPrimDataset::AllocRecordBuffer() {
  return std::make_unique<std::byte[]>(buffer_size_);
}

std::int32_t TVxPrimDataset::BufferRecordNo(TRecordBuffer buffer) const {
  std::int32_t record_no = 0;
  if (buffer != nullptr) std::memcpy(&record_no, buffer + record_info_offset_, sizeof record_no);
  return record_no;
}

void TVxPrimDataset::GetBookmarkData(TRecordBuffer buffer, void* data) const {
  std::memcpy(data, buffer + bookmark_offset_, static_cast<std::size_t>(BookmarkSize()));
}

void TVxPrimDataset::SetBookmarkData(TRecordBuffer buffer, const void* data) {
  std::memcpy(buffer + bookmark_offset_, data, static_cast<std::size_t>(BookmarkSize()));
}

TBookmarkFlag TVxPrimDataset::GetBookmarkFlag(TRecordBuffer buffer) const {
  return static_cast<TBookmarkFlag>(buffer[record_info_offset_ + kRecordInfoFlag]);
}

void TVxPrimDataset::SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag flag) {
  buffer[record_info_offset_ + kRecordInfoFlag] = static_cast<std::byte>(flag);
}

void TVxPrimDataset::ClearCalcFields(TRecordBuffer buffer) {
  std::memset(buffer + record_data_size_, 0, static_cast<std::size_t>(CalcFieldsSize()));
}

// --- Reading records ----------------------------------------------------------------------------

TGetResult TVxPrimDataset::GetRecord(TRecordBuffer buffer, TGetMode mode, bool do_check) {
  std::int32_t record_no = 0;
  int status;
  switch (mode) {
    case gmNext:
      status = VxiGetNextRecord(buffer, record_no);
      break;
    case gmPrior:
      status = VxiGetPriorRecord(buffer, record_no);
      break;
    default:
      status = VxiGetRecord(buffer, record_no);
      break;
  }
  switch (status) {
    case kVxiOk:
      std::memcpy(buffer + record_info_offset_, &record_no, sizeof record_no);
      SetBookmarkFlag(buffer, bfCurrent);
      GetCalcFields(buffer);
      CheckStatus(VxiGetBookmark(buffer + bookmark_offset_));
      return grOK;
    case kVxiBeforeFirst:
      return grBOF;
    case kVxiAfterLast:
      return grEOF;
    default:
      if (do_check) CheckStatus(status);
      return grError;
  }
}

int TVxPrimDataset::GetRecNo() const {
  CheckActive();
  const TRecordBuffer buffer = State() == dsCalcFields ? CalcBuffer() : ActiveBuffer();
  return BufferRecordNo(buffer);
}

void TVxPrimDataset::SetRecNo(int value) {
  CheckBrowseMode();
  if (value == RecNo()) return;
  DoBeforeScroll();
  if (VxiSetToRecordNo(value) != kVxiOk) return;
  Resync({rmCenter});
  DoAfterScroll();
}

int TVxPrimDataset::GetRecordCount() const {
  CheckActive();
  // The count is a query on the store; asking it is no change of the dataset.
  return const_cast<TVxPrimDataset*>(this)->VxiGetRecordCount();
}

void TVxPrimDataset::InternalFirst() { CheckStatus(VxiSetToBegin()); }

void TVxPrimDataset::InternalLast() { CheckStatus(VxiSetToEnd()); }

void TVxPrimDataset::InternalRefresh() { CheckStatus(VxiForceReread()); }

void TVxPrimDataset::InternalEdit() {
  std::int32_t record_no = 0;
  CheckStatus(VxiGetRecord(ActiveBuffer(), record_no));
}

// --- Writing records ----------------------------------------------------------------------------

void TVxPrimDataset::InternalInitRecord(TRecordBuffer buffer) {
  std::memset(buffer, 0, buffer_size_);
  CheckStatus(VxiInitRecord(buffer));
}

void TVxPrimDataset::InternalAddRecord(TRecordBuffer buffer, bool append) {
  CheckStatus(append ? VxiAppendRecord(buffer) : VxiInsertRecord(buffer));
}

void TVxPrimDataset::InternalPost() {
  TDataSet::InternalPost();
  if (State() == dsEdit) {
    CheckStatus(VxiModifyRecord(ActiveBuffer()));
  } else {
    CheckStatus(VxiInsertRecord(ActiveBuffer()));
  }
}

void TVxPrimDataset::InternalDelete() { CheckStatus(VxiDeleteRecord()); }

void TVxPrimDataset::DoOnNewRecord() {
  if (VxiGetRecordCount() < 1) ClearBuffers();
  TDataSet::DoOnNewRecord();
}

// --- Bookmarks ----------------------------------------------------------------------------------

void TVxPrimDataset::InternalGotoBookmark(const void* bookmark) {
  CheckStatus(VxiSetToBookmark(bookmark));
}

void TVxPrimDataset::InternalSetToRecord(TRecordBuffer buffer) {
  InternalGotoBookmark(buffer + bookmark_offset_);
}

int TVxPrimDataset::CompareBookmarks(const TBookmark& a, const TBookmark& b) const {
  if (a.empty() && b.empty()) return 0;
  if (a.empty()) return -1;
  if (b.empty()) return 1;
  int result = 0;
  if (table_open_) {
    auto* self = const_cast<TVxPrimDataset*>(this);
    self->CheckStatus(self->VxiCompareBookmarks(a.data(), b.data(), result));
  }
  return result;
}

bool TVxPrimDataset::BookmarkValid(const TBookmark& bookmark) {
  if (!table_open_ || bookmark.size() < static_cast<std::size_t>(BookmarkSize())) return false;
  CursorPosChanged();
  if (VxiSetToBookmark(bookmark.data()) != kVxiOk) return false;
  std::int32_t record_no = 0;
  return VxiGetRecord(nullptr, record_no) == kVxiOk;
}

bool TVxPrimDataset::GetCurrentRecord(TRecordBuffer buffer) {
  if (IsEmpty() || GetBookmarkFlag(ActiveBuffer()) != bfCurrent) return false;
  UpdateCursorPos();
  std::int32_t record_no = 0;
  return VxiGetRecord(buffer, record_no) == kVxiOk;
}

// --- Searching ----------------------------------------------------------------------------------

bool TVxPrimDataset::FindRecord(bool restart, bool go_forward) {
  CheckBrowseMode();
  DoBeforeScroll();
  SetFound(false);
  UpdateCursorPos();
  CursorPosChanged();
  std::int32_t record_no = 0;
  int status;
  if (go_forward) {
    if (restart) CheckStatus(VxiSetToBegin());
    status = VxiGetNextRecord(nullptr, record_no);
  } else {
    if (restart) CheckStatus(VxiSetToEnd());
    status = VxiGetPriorRecord(nullptr, record_no);
  }
  if (status == kVxiOk) {
    Resync({rmExact, rmCenter});
    SetFound(true);
  }
  if (Found()) DoAfterScroll();
  return Found();
}

bool TVxPrimDataset::Locate(const std::string& key_fields, const Variant& key_values,
                            TLocateOptions options) {
  // A pending edit is posted first: the window is rebuilt around the record found.
  CheckBrowseMode();
  DoBeforeScroll();
  const bool found = VxiLocateRecord(key_fields, key_values, true, options);
  if (found) {
    Resync({rmExact, rmCenter});
    DoAfterScroll();
  }
  return found;
}

Variant TVxPrimDataset::Lookup(const std::string& key_fields, const Variant& key_values,
                               const std::string& result_fields) {
  CheckBrowseMode();
  Variant result;
  // The record found is read into the spare buffer and the fields are read from there, so the
  // store's cursor has to go to it; the framework is told that the cursor moved, and brings it
  // back to the active record before its next positioned operation.
  const bool found = VxiLocateRecord(key_fields, key_values, true, {});
  CursorPosChanged();
  if (!found) return result;
  const TRecordBuffer temp = TempBuffer();
  std::int32_t record_no = 0;
  if (temp == nullptr || VxiGetRecord(temp, record_no) != kVxiOk) return result;
  const TDataSetState saved = SetTempState(dsCalcFields);
  try {
    CalculateFields(temp);
    result = FieldValues(result_fields);
  } catch (...) {
    RestoreState(saved);
    throw;
  }
  RestoreState(saved);
  return result;
}

// --- Field data ---------------------------------------------------------------------------------

TRecordBuffer TVxPrimDataset::FieldAccessBuffer() {
  switch (State()) {
    case dsBrowse:
      return VxiIsEmpty() ? nullptr : ActiveBuffer();
    case dsEdit:
    case dsInsert:
    case dsBlockRead:
      return ActiveBuffer();
    case dsCalcFields:
      return CalcBuffer();
    default:
      return nullptr;
  }
}

bool TVxPrimDataset::GetFieldData(TField* field, void* buffer) {
  if (field->FieldNo() < 1) {
    switch (State()) {
      case dsBrowse:
      case dsEdit:
      case dsInsert:
      case dsCalcFields:
      case dsBlockRead:
        break;
      default:
        return false;
    }
    const TRecordBuffer record = FieldAccessBuffer();
    if (record == nullptr) return false;
    const std::byte* slot = record + record_data_size_ + field->Offset();
    const bool has_value = slot[0] != std::byte{0};
    if (has_value && buffer != nullptr) {
      std::memcpy(buffer, slot + 1, static_cast<std::size_t>(field->DataSize()));
    }
    return has_value;
  }
  const TRecordBuffer record = FieldAccessBuffer();
  if (record == nullptr) return false;
  bool blank = false;
  CheckStatus(VxiGetField(field, record, blank, buffer));
  return !blank;
}

void TVxPrimDataset::SetFieldData(TField* field, const void* buffer) {
  const TDataSetState state = State();
  switch (state) {
    case dsEdit:
    case dsInsert:
    case dsSetKey:
    case dsCalcFields:
    case dsFilter:
    case dsNewValue:
    case dsInternalCalc:
      break;
    default:
      DatabaseError(SNotEditing, this);
  }
  const TRecordBuffer record = FieldAccessBuffer();
  if (field->FieldNo() < 1) {
    if (record != nullptr) {
      std::byte* slot = record + record_data_size_ + field->Offset();
      slot[0] = buffer != nullptr ? std::byte{1} : std::byte{0};
      if (buffer != nullptr) {
        std::memcpy(slot + 1, buffer, static_cast<std::size_t>(field->DataSize()));
      }
    }
  } else {
    if (state == dsCalcFields) DatabaseError(SNotEditing, this);
    if (field->ReadOnly() && state != dsSetKey && state != dsFilter) {
      DatabaseError(Format(SFieldReadOnly, {field->DisplayName()}));
    }
    field->Validate(buffer);
    // States without a record buffer of their own have nowhere to store the value.
    if (field->FieldKind() != fkInternalCalc && record != nullptr) {
      CheckStatus(VxiPutField(field, record, buffer));
    }
  }
  if (state != dsCalcFields && state != dsFilter && state != dsNewValue) {
    DataEvent(deFieldChange, FieldInfo(field));
  }
}

}  // namespace vx
