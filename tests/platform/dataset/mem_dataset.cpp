#include "tests/platform/dataset/mem_dataset.h"

#include <cstring>

#include "platform/dataset/application.h"
#include "platform/dataset/streams.h"

namespace vx::test {

// A memo's text in memory; a write stream stores its text into the active buffer when it is
// destroyed.
class MemoStream : public TStringStream {
 public:
  MemoStream(MemDataSet* dataset, TBlobField* field, TBlobStreamMode mode, std::string text)
      : TStringStream(mode == bmWrite ? std::string() : std::move(text)),
        dataset_(dataset),
        field_(field),
        mode_(mode) {}

  ~MemoStream() override {
    if (mode_ == bmRead) return;
    try {
      const std::string text = DataString();
      dataset_->memo_texts_.push_back(text);
      const auto handle = static_cast<std::int32_t>(dataset_->memo_texts_.size());
      std::byte* slot = dataset_->ActiveBuffer() + dataset_->offsets_[field_->FieldNo() - 1];
      slot[0] = std::byte{text.empty() ? std::uint8_t{0} : std::uint8_t{1}};
      std::memcpy(slot + 1, &handle, 4);
      field_->SetModified(true);
      dataset_->DataEvent(deFieldChange, FieldInfo(field_));
    } catch (...) {
      Application().HandleException(dataset_);
    }
  }

 private:
  MemDataSet* dataset_;
  TBlobField* field_;
  TBlobStreamMode mode_;
};

MemDataSet::MemDataSet(TComponent* owner, std::vector<Column> columns)
    : TDataSet(owner), columns_(std::move(columns)) {
  int offset = 0;
  for (const Column& column : columns_) {
    offsets_.push_back(offset);
    offset += 1 + NativeSize(column);
  }
  data_size_ = offset;
}

MemDataSet::~MemDataSet() {
  Destroying();
  Close();
}

int MemDataSet::NativeSize(const Column& column) {
  switch (column.type) {
    case ftString:
      return column.size + 1;
    case ftSmallint:
    case ftWord:
    case ftBoolean:
      return 2;
    case ftInteger:
    case ftDate:
    case ftTime:
    case ftMemo:
      return 4;
    default:
      return 8;
  }
}

void MemDataSet::AddRow(const std::vector<Variant>& values) {
  Row row{next_key_++, std::vector<std::byte>(static_cast<std::size_t>(data_size_))};
  for (std::size_t i = 0; i < values.size() && i < columns_.size(); ++i) {
    const Variant& v = values[i];
    if (v.IsNull()) continue;
    std::byte* slot = row.data.data() + offsets_[i];
    slot[0] = std::byte{1};
    std::byte* value = slot + 1;
    switch (columns_[i].type) {
      case ftString: {
        const std::string s = v.AsString();
        std::memcpy(value, s.data(), std::min<std::size_t>(s.size(), columns_[i].size));
        break;
      }
      case ftSmallint:
      case ftWord: {
        const auto n = static_cast<std::int16_t>(v.AsInteger());
        std::memcpy(value, &n, 2);
        break;
      }
      case ftBoolean: {
        const std::int16_t n = v.AsBoolean() ? 1 : 0;
        std::memcpy(value, &n, 2);
        break;
      }
      case ftInteger: {
        const auto n = static_cast<std::int32_t>(v.AsInteger());
        std::memcpy(value, &n, 4);
        break;
      }
      case ftDate: {
        // Day number: whole days since 30 December 1899 plus 693594.
        const auto n = static_cast<std::int32_t>(v.AsDateTime()) + 693594;
        std::memcpy(value, &n, 4);
        break;
      }
      case ftMemo: {
        memo_texts_.push_back(v.AsString());
        const auto n = static_cast<std::int32_t>(memo_texts_.size());
        std::memcpy(value, &n, 4);
        break;
      }
      default: {
        const double d = v.AsFloat();
        std::memcpy(value, &d, 8);
        break;
      }
    }
  }
  rows_.push_back(std::move(row));
}

void MemDataSet::SetSynthetic(int count) {
  rows_.clear();
  synthetic_count_ = count;
}

int MemDataSet::RowCount() const {
  return synthetic_count_ > 0 ? synthetic_count_ : static_cast<int>(rows_.size());
}

MemDataSet::Row MemDataSet::MakeRow(int index) const {
  if (synthetic_count_ == 0) return rows_[static_cast<std::size_t>(index)];
  Row row{index + 1, std::vector<std::byte>(static_cast<std::size_t>(data_size_))};
  row.data[0] = std::byte{1};
  const std::int32_t id = index + 1;
  std::memcpy(row.data.data() + 1, &id, 4);
  return row;
}

std::vector<std::byte> MemDataSet::StoredBytes(int row, int column) const {
  const Row r = MakeRow(row);
  const std::byte* slot = r.data.data() + offsets_[static_cast<std::size_t>(column)];
  if (slot[0] == std::byte{0}) return {};
  return std::vector<std::byte>(slot + 1, slot + 1 + NativeSize(columns_[column]));
}

std::string MemDataSet::StoredMemo(int row, int column) const {
  const std::vector<std::byte> bytes = StoredBytes(row, column);
  if (bytes.empty()) return {};
  std::int32_t handle = 0;
  std::memcpy(&handle, bytes.data(), 4);
  return memo_texts_.at(static_cast<std::size_t>(handle - 1));
}

Variant MemDataSet::StoredValue(int row, int column) const {
  const std::vector<std::byte> bytes = StoredBytes(row, column);
  if (bytes.empty()) return Variant();
  switch (columns_[column].type) {
    case ftString:
      return Variant(std::string(reinterpret_cast<const char*>(bytes.data())));
    case ftInteger:
    case ftDate: {
      std::int32_t n = 0;
      std::memcpy(&n, bytes.data(), 4);
      return Variant(n);
    }
    case ftSmallint: {
      std::int16_t n = 0;
      std::memcpy(&n, bytes.data(), 2);
      return Variant(int{n});
    }
    case ftBoolean:
      return Variant(bytes[0] != std::byte{0} || bytes[1] != std::byte{0});
    case ftMemo:
      return Variant(StoredMemo(row, column));
    default: {
      double d = 0;
      std::memcpy(&d, bytes.data(), 8);
      return Variant(d);
    }
  }
}

int MemDataSet::IndexOfKey(std::int32_t key) const {
  if (synthetic_count_ > 0) return key >= 1 && key <= synthetic_count_ ? key - 1 : -1;
  for (std::size_t i = 0; i < rows_.size(); ++i) {
    if (rows_[i].key == key) return static_cast<int>(i);
  }
  return -1;
}

std::int32_t MemDataSet::KeyOf(TRecordBuffer buffer) const {
  std::int32_t key = 0;
  std::memcpy(&key, buffer + info_offset_, 4);
  return key;
}

RecordBlock MemDataSet::AllocRecordBuffer() {
  return std::make_unique<std::byte[]>(static_cast<std::size_t>(buffer_size_));
}

void MemDataSet::InternalInitFieldDefs() {
  FieldDefs().Clear();
  for (const Column& column : columns_) {
    FieldDefs().Add(column.name, column.type, column.size, column.required);
  }
}

void MemDataSet::InternalOpen() {
  InternalInitFieldDefs();
  if (DefaultFields()) CreateFields();
  BindFields(true);
  info_offset_ = data_size_ + CalcFieldsSize();
  buffer_size_ = info_offset_ + 5;
  SetBookmarkSize(4);
  cursor_ = -1;
  open_ = true;
}

void MemDataSet::InternalClose() {
  BindFields(false);
  if (DefaultFields()) DestroyFields();
  open_ = false;
}

void MemDataSet::Fill(TRecordBuffer buffer, int index) {
  const Row row = MakeRow(index);
  std::memcpy(buffer, row.data.data(), static_cast<std::size_t>(data_size_));
  std::memcpy(buffer + info_offset_, &row.key, 4);
  buffer[info_offset_ + 4] = std::byte{bfCurrent};
  ++rows_read;
  GetCalcFields(buffer);
}

TGetResult MemDataSet::GetRecord(TRecordBuffer buffer, TGetMode mode, bool do_check) {
  ++get_record_calls;
  const int count = RowCount();
  switch (mode) {
    case gmCurrent:
      if (cursor_ < 0 || cursor_ >= count) return grError;
      break;
    case gmNext:
      if (cursor_ >= count - 1) {
        cursor_ = count;
        return grEOF;
      }
      ++cursor_;
      break;
    case gmPrior:
      if (cursor_ <= 0) {
        cursor_ = -1;
        return grBOF;
      }
      --cursor_;
      break;
  }
  Fill(buffer, cursor_);
  return grOK;
}

void MemDataSet::InternalInitRecord(TRecordBuffer buffer) {
  std::memset(buffer, 0, static_cast<std::size_t>(data_size_));
}

void MemDataSet::StoreRow(int index, TRecordBuffer buffer) {
  std::memcpy(rows_[static_cast<std::size_t>(index)].data.data(), buffer,
              static_cast<std::size_t>(data_size_));
}

void MemDataSet::InsertRow(int index, TRecordBuffer buffer) {
  Row row{next_key_++, std::vector<std::byte>(buffer, buffer + data_size_)};
  rows_.insert(rows_.begin() + index, std::move(row));
  cursor_ = index;
}

void MemDataSet::InternalAddRecord(TRecordBuffer buffer, bool append) {
  InsertRow(append ? RowCount() : std::max(cursor_, 0), buffer);
}

void MemDataSet::InternalPost() {
  TDataSet::InternalPost();
  if (!fail_next_post.empty()) {
    const std::string message = fail_next_post;
    fail_next_post.clear();
    DatabaseError(message);
  }
  if (State() == dsEdit) {
    StoreRow(cursor_, ActiveBuffer());
  } else if (GetBookmarkFlag(ActiveBuffer()) == bfEOF) {
    InsertRow(RowCount(), ActiveBuffer());
  } else {
    InsertRow(std::clamp(cursor_, 0, RowCount()), ActiveBuffer());
  }
}

void MemDataSet::InternalDelete() {
  if (!fail_next_delete.empty()) {
    const std::string message = fail_next_delete;
    fail_next_delete.clear();
    DatabaseError(message);
  }
  rows_.erase(rows_.begin() + cursor_);
}

void MemDataSet::InternalGotoBookmark(const void* bookmark) {
  std::int32_t key = 0;
  std::memcpy(&key, bookmark, 4);
  const int index = IndexOfKey(key);
  if (index < 0) DatabaseError(SRecordNotFound, this);
  cursor_ = index;
}

void MemDataSet::InternalSetToRecord(TRecordBuffer buffer) {
  const int index = IndexOfKey(KeyOf(buffer));
  if (index >= 0) cursor_ = index;
}

void MemDataSet::GetBookmarkData(TRecordBuffer buffer, void* data) const {
  std::memcpy(data, buffer + info_offset_, 4);
}

void MemDataSet::SetBookmarkData(TRecordBuffer buffer, const void* data) {
  std::memcpy(buffer + info_offset_, data, 4);
}

TBookmarkFlag MemDataSet::GetBookmarkFlag(TRecordBuffer buffer) const {
  return static_cast<TBookmarkFlag>(buffer[info_offset_ + 4]);
}

void MemDataSet::SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag flag) {
  buffer[info_offset_ + 4] = static_cast<std::byte>(flag);
}

int MemDataSet::CompareBookmarks(const TBookmark& a, const TBookmark& b) const {
  if (a.empty() || b.empty()) return TDataSet::CompareBookmarks(a, b);
  std::int32_t ka = 0, kb = 0;
  std::memcpy(&ka, a.data(), 4);
  std::memcpy(&kb, b.data(), 4);
  const int ia = IndexOfKey(ka);
  const int ib = IndexOfKey(kb);
  return ia < ib ? -1 : (ia == ib ? 0 : 1);
}

bool MemDataSet::BookmarkValid(const TBookmark& bookmark) {
  if (bookmark.size() != 4) return false;
  std::int32_t key = 0;
  std::memcpy(&key, bookmark.data(), 4);
  return IndexOfKey(key) >= 0;
}

Variant MemDataSet::Lookup(const std::string& key_fields, const Variant& key_values,
                           const std::string& result_fields) {
  int key_column = -1, result_column = -1;
  for (std::size_t i = 0; i < columns_.size(); ++i) {
    if (SameText(columns_[i].name, key_fields)) key_column = static_cast<int>(i);
    if (SameText(columns_[i].name, result_fields)) result_column = static_cast<int>(i);
  }
  if (key_column < 0 || result_column < 0) return Variant();
  for (int row = 0; row < RowCount(); ++row) {
    if (StoredValue(row, key_column) == key_values) return StoredValue(row, result_column);
  }
  return Variant();
}

int MemDataSet::GetRecNo() const {
  const TRecordBuffer buffer = State() == dsCalcFields ? CalcBuffer() : ActiveBuffer();
  if (State() == dsInactive || IsEmpty() || GetBookmarkFlag(buffer) != bfCurrent) return -1;
  return IndexOfKey(KeyOf(buffer)) + 1;
}

void MemDataSet::SetRecNo(int value) {
  CheckBrowseMode();
  if (value < 1 || value > RowCount() || value == RecNo()) return;
  DoBeforeScroll();
  cursor_ = value - 1;
  Resync({rmCenter});
  DoAfterScroll();
}

TFieldClass MemDataSet::GetFieldClass(TFieldType type) const {
  if (field_class_override) {
    if (TFieldClass field_class = field_class_override(type)) return field_class;
  }
  return TDataSet::GetFieldClass(type);
}

void MemDataSet::ClearCalcFields(TRecordBuffer buffer) {
  std::memset(buffer + data_size_, 0, static_cast<std::size_t>(CalcFieldsSize()));
}

TRecordBuffer MemDataSet::FieldBuffer() const {
  switch (State()) {
    case dsBrowse:
      return IsEmpty() ? nullptr : ActiveBuffer();
    case dsEdit:
    case dsInsert:
      return ActiveBuffer();
    case dsCalcFields:
      return CalcBuffer();
    default:
      return nullptr;
  }
}

bool MemDataSet::GetFieldData(TField* field, void* buffer) {
  const TRecordBuffer record = FieldBuffer();
  if (record == nullptr) return false;
  const std::byte* slot = field->FieldNo() < 1
                              ? record + data_size_ + field->Offset()
                              : record + offsets_[static_cast<std::size_t>(field->FieldNo() - 1)];
  const bool has_value = slot[0] != std::byte{0};
  if (has_value && buffer != nullptr) {
    std::memcpy(buffer, slot + 1, static_cast<std::size_t>(field->DataSize()));
  }
  return has_value;
}

void MemDataSet::SetFieldData(TField* field, const void* buffer) {
  const TDataSetState state = State();
  const bool writable = state == dsEdit || state == dsInsert || state == dsSetKey ||
                        state == dsCalcFields || state == dsFilter || state == dsNewValue ||
                        state == dsInternalCalc;
  if (!writable) DatabaseError(SNotEditing);
  const TRecordBuffer record = state == dsCalcFields ? CalcBuffer() : ActiveBuffer();
  std::byte* slot;
  if (field->FieldNo() < 1) {
    slot = record + data_size_ + field->Offset();
  } else {
    if (state == dsCalcFields) DatabaseError(SNotEditing);
    if (field->ReadOnly() && state != dsSetKey && state != dsFilter) {
      DatabaseError(Format(SFieldReadOnly, {field->DisplayName()}));
    }
    field->Validate(buffer);
    slot = record + offsets_[static_cast<std::size_t>(field->FieldNo() - 1)];
  }
  const auto size = static_cast<std::size_t>(field->DataSize());
  slot[0] = std::byte{buffer != nullptr ? std::uint8_t{1} : std::uint8_t{0}};
  if (buffer != nullptr) {
    std::memcpy(slot + 1, buffer, size);
  } else {
    std::memset(slot + 1, 0, size);
  }
  if (state != dsCalcFields && state != dsFilter && state != dsNewValue) {
    DataEvent(deFieldChange, FieldInfo(field));
  }
}

std::unique_ptr<TStream> MemDataSet::CreateBlobStream(TField* field, TBlobStreamMode mode) {
  auto* blob = dynamic_cast<TBlobField*>(field);
  if (blob == nullptr || field->FieldNo() < 1) return nullptr;
  if (mode != bmRead && State() != dsEdit && State() != dsInsert) DatabaseError(SNotEditing);
  std::string text;
  if (const TRecordBuffer record = FieldBuffer()) {
    const std::byte* slot = record + offsets_[static_cast<std::size_t>(field->FieldNo() - 1)];
    std::int32_t handle = 0;
    std::memcpy(&handle, slot + 1, 4);
    if (slot[0] != std::byte{0} && handle > 0) {
      text = memo_texts_.at(static_cast<std::size_t>(handle - 1));
    }
  }
  return std::make_unique<MemoStream>(this, blob, mode, text);
}

std::vector<Column> FilmColumns() {
  return {{"ID", ftInteger}, {"NAME", ftString, 20}, {"ACTIVE", ftBoolean}, {"PRICE", ftFloat},
          {"BORN", ftDate},  {"QTY", ftSmallint},    {"PLOT", ftMemo}};
}

MemDataSet* MakeFilms(TComponent* owner, int rows) {
  auto* dataset = new MemDataSet(owner, FilmColumns());
  for (int i = 1; i <= rows; ++i) {
    dataset->AddRow({i, "Name " + std::to_string(i), i % 2 == 1, i * 1.5,
                     Variant::FromDateTime(45358.0 + i), i, "Plot " + std::to_string(i)});
  }
  return dataset;
}

}  // namespace vx::test
