#include "platform/dataset/fields.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/dataset/dataset.h"
#include "platform/dataset/streams.h"

namespace vx {

const char* FieldTypeName(TFieldType type) {
  switch (type) {
    case ftUnknown:
      return "Unknown";
    case ftString:
      return "String";
    case ftSmallint:
      return "SmallInt";
    case ftInteger:
      return "Integer";
    case ftWord:
      return "Word";
    case ftBoolean:
      return "Boolean";
    case ftFloat:
      return "Float";
    case ftCurrency:
      return "Currency";
    case ftBCD:
      return "BCD";
    case ftDate:
      return "Date";
    case ftTime:
      return "Time";
    case ftDateTime:
      return "DateTime";
    case ftBytes:
      return "Bytes";
    case ftVarBytes:
      return "VarBytes";
    case ftAutoInc:
      return "AutoInc";
    case ftBlob:
      return "Blob";
    case ftMemo:
      return "Memo";
    case ftGraphic:
      return "Graphic";
    case ftFmtMemo:
      return "FmtMemo";
  }
  return "Unknown";
}

// --- TFieldDef / TFieldDefs --------------------------------------------------------------------

TFieldDef::TFieldDef(TFieldDefs* owner, std::string name, TFieldType data_type, int size,
                     bool required, int field_no)
    : owner_(owner),
      name_(std::move(name)),
      data_type_(data_type),
      size_(size),
      required_(required),
      field_no_(field_no) {}

TFieldClass TFieldDef::FieldClass() const {
  TDataSet* dataset = owner_ != nullptr ? owner_->DataSet() : nullptr;
  return dataset != nullptr ? dataset->GetFieldClass(data_type_) : nullptr;
}

TField* TFieldDef::CreateField(TComponent* owner) const {
  const TFieldClass field_class = FieldClass();
  if (field_class == nullptr) DatabaseError(Format(SUnknownFieldType, {name_}));
  TField* field = field_class(owner);
  try {
    field->SetSize(size_);
    field->SetFieldName(name_);
    field->SetRequired(required_);
    if (internal_calc_field_) field->SetFieldKind(fkInternalCalc);
    if (auto* f = dynamic_cast<TFloatField*>(field); f != nullptr && precision_ > 0) {
      f->Precision = precision_;
    }
    field->SetDataSet(owner_->DataSet());
  } catch (...) {
    delete field;
    throw;
  }
  return field;
}

TFieldDef& TFieldDefs::Add(const std::string& name, TFieldType data_type, int size, bool required) {
  defs_.push_back(std::make_unique<TFieldDef>(this, name, data_type, size, required, Count() + 1));
  return *defs_.back();
}

void TFieldDefs::Clear() {
  defs_.clear();
  updated_ = false;
}

int TFieldDefs::IndexOf(const std::string& name) const {
  for (int i = 0; i < Count(); ++i) {
    if (SameText(defs_[static_cast<std::size_t>(i)]->Name(), name)) return i;
  }
  return -1;
}

TFieldDef& TFieldDefs::Find(const std::string& name) const {
  const int index = IndexOf(name);
  if (index < 0) DatabaseError(Format(SFieldNotFound, {name}), dataset_);
  return *defs_[static_cast<std::size_t>(index)];
}

void TFieldDefs::Update() {
  if (updated_ || dataset_ == nullptr) return;
  dataset_->InitFieldDefs();
  updated_ = true;
}

// --- TField ------------------------------------------------------------------------------------

TField::TField(TComponent* owner) : TComponent(owner) {}

TField::~TField() {
  Destroying();
  if (dataset_ != nullptr) {
    // The buffers are laid out for the fields as they were at open.
    if (dataset_->Active() && !dataset_->ComponentState().Contains(csDestroying)) {
      dataset_->Close();
    }
    dataset_->fields_.Remove(this);
    dataset_ = nullptr;
  }
}

void TField::CheckInactive() const {
  if (dataset_ != nullptr) dataset_->CheckInactive();
}

void TField::SetDataSet(TDataSet* dataset) {
  if (dataset == dataset_) return;
  if (dataset_ != nullptr) dataset_->CheckInactive();
  if (dataset != nullptr) {
    dataset->CheckInactive();
    if (!field_name_.empty() && dataset->FindField(field_name_) != nullptr) {
      DatabaseError(Format(SDuplicateFieldName, {field_name_}), dataset);
    }
  }
  if (dataset_ != nullptr) dataset_->fields_.Remove(this);
  dataset_ = dataset;
  if (dataset_ != nullptr) dataset_->fields_.Add(this);
}

void TField::SetFieldName(const std::string& name) {
  CheckInactive();
  field_name_ = name;
}

void TField::SetFieldKind(TFieldKind kind) {
  CheckInactive();
  field_kind_ = kind;
}

int TField::Index() const { return dataset_ != nullptr ? dataset_->fields_.IndexOf(this) : -1; }

void TField::SetSize(int size) {
  CheckInactive();
  CheckTypeSize(size);
  size_ = size;
}

void TField::CheckTypeSize(int size) const {
  if (size != 0) DatabaseError(SInvalidFieldSize);
}

void TField::SetReadOnly(bool value) {
  if (read_only_ == value) return;
  read_only_ = value;
  PropertyChanged(true);
}

void TField::SetVisible(bool value) {
  if (visible_ == value) return;
  visible_ = value;
  PropertyChanged(true);
}

void TField::SetAlignment(TAlignment value) {
  if (alignment_ == value) return;
  alignment_ = value;
  PropertyChanged(false);
}

int TField::DisplayWidth() const {
  return display_width_ > 0 ? display_width_ : DefaultDisplayWidth();
}

void TField::SetDisplayWidth(int value) {
  display_width_ = value;
  PropertyChanged(true);
}

void TField::SetDisplayLabel(const std::string& value) {
  display_label_ = value == field_name_ ? std::string() : value;
  PropertyChanged(true);
}

void TField::PropertyChanged(bool layout) {
  if (dataset_ != nullptr && dataset_->Active()) {
    dataset_->DataEvent(layout ? deLayoutChange : deDataSetChange, 0);
  }
}

bool TField::GetData(void* buffer) const {
  if (dataset_ == nullptr) DatabaseError(Format(SDataSetMissing, {DisplayName()}));
  if (validating_) {
    if (validate_buffer_ != nullptr && buffer != nullptr && DataSize() > 0) {
      std::memcpy(buffer, validate_buffer_, static_cast<std::size_t>(DataSize()));
    }
    return validate_buffer_ != nullptr;
  }
  return dataset_->GetFieldData(const_cast<TField*>(this), buffer);
}

void TField::SetData(const void* buffer) {
  if (dataset_ == nullptr) DatabaseError(Format(SDataSetMissing, {DisplayName()}));
  dataset_->SetFieldData(this, buffer);
}

bool TField::CanModify() const {
  if (dataset_ == nullptr || field_no_ <= 0) return false;
  if (dataset_->State() == dsSetKey) return true;
  return !read_only_ && dataset_->CanModify();
}

void TField::Validate(const void* buffer) {
  if (!OnValidate) return;
  validating_ = true;
  validate_buffer_ = buffer;
  try {
    OnValidate(this);
  } catch (...) {
    validating_ = false;
    validate_buffer_ = nullptr;
    throw;
  }
  validating_ = false;
  validate_buffer_ = nullptr;
}

void TField::FocusControl() {
  if (dataset_ == nullptr || !dataset_->Active()) return;
  TField* field = this;
  dataset_->DataEvent(deFocusControl, reinterpret_cast<std::intptr_t>(&field));
}

void TField::SetLookupDataSet(TDataSet* dataset) {
  if (lookup_dataset_ == dataset) return;
  if (lookup_dataset_ != nullptr) RemoveFreeNotification(lookup_dataset_);
  lookup_dataset_ = dataset;
  if (dataset != nullptr) FreeNotification(dataset);
}

void TField::Notification(TComponent* component, TOperation operation) {
  TComponent::Notification(component, operation);
  if (operation == opRemove && component == lookup_dataset_) lookup_dataset_ = nullptr;
}

void TField::Change() {
  if (OnChange) OnChange(this);
}

void TField::AccessError(const char* type_name) const {
  DatabaseError(Format(SFieldAccessError, {DisplayName(), type_name}));
}

std::string TField::AsString() const { AccessError("String"); }
void TField::SetAsString(const std::string&) { AccessError("String"); }
std::int32_t TField::AsInteger() const { AccessError("Integer"); }
void TField::SetAsInteger(std::int32_t) { AccessError("Integer"); }
double TField::AsFloat() const { AccessError("Float"); }
void TField::SetAsFloat(double) { AccessError("Float"); }
bool TField::AsBoolean() const { AccessError("Boolean"); }
void TField::SetAsBoolean(bool) { AccessError("Boolean"); }
TDateTime TField::AsDateTime() const { AccessError("DateTime"); }
void TField::SetAsDateTime(TDateTime) { AccessError("DateTime"); }
Variant TField::AsVariant() const { AccessError("Variant"); }

void TField::SetAsVariant(const Variant& value) {
  switch (value.VarType()) {
    case Variant::Type::kNull:
      Clear();
      return;
    case Variant::Type::kBoolean:
      SetAsBoolean(value.AsBoolean());
      return;
    case Variant::Type::kInteger: {
      const std::int64_t v = value.AsInteger();
      if (v >= INT32_MIN && v <= INT32_MAX) {
        SetAsInteger(static_cast<std::int32_t>(v));
      } else {
        SetAsFloat(static_cast<double>(v));
      }
      return;
    }
    case Variant::Type::kFloat:
      SetAsFloat(value.AsFloat());
      return;
    case Variant::Type::kString:
      SetAsString(value.AsString());
      return;
    case Variant::Type::kDateTime:
      SetAsDateTime(value.AsDateTime());
      return;
    case Variant::Type::kArray:
      break;
  }
  AccessError("Variant");
}

void TField::GetText(std::string& text, bool display_text) const { text = AsString(); }

std::string TField::DisplayText() const {
  std::string text;
  if (OnGetText) {
    OnGetText(const_cast<TField*>(this), text, true);
  } else {
    GetText(text, true);
  }
  return text;
}

std::string TField::Text() const {
  std::string text;
  if (OnGetText) {
    OnGetText(const_cast<TField*>(this), text, false);
  } else {
    GetText(text, false);
  }
  return text;
}

void TField::SetText(const std::string& text) {
  if (OnSetText) {
    OnSetText(this, text);
  } else {
    SetTextValue(text);
  }
}

// --- TStringField ------------------------------------------------------------------------------

TStringField::TStringField(TComponent* owner) : TField(owner) {
  SetDataType(ftString);
  SetSize(20);
}

void TStringField::CheckTypeSize(int size) const {
  if (size < 0 || size > 8192) DatabaseError(SInvalidFieldSize);
}

bool TStringField::GetValue(std::string& value) const {
  std::vector<char> buffer(static_cast<std::size_t>(DataSize()) + 1, '\0');
  if (!GetData(buffer.data())) return false;
  value.assign(buffer.data());
  return true;
}

std::string TStringField::AsString() const {
  std::string value;
  return GetValue(value) ? value : std::string();
}

void TStringField::SetAsString(const std::string& value) {
  std::vector<char> buffer(static_cast<std::size_t>(DataSize()), '\0');
  const std::size_t n = std::min(value.size(), static_cast<std::size_t>(Size()));
  std::memcpy(buffer.data(), value.data(), n);
  SetData(buffer.data());
}

std::int32_t TStringField::AsInteger() const {
  std::string value;
  return GetValue(value) ? StrToInt(value) : 0;
}

void TStringField::SetAsInteger(std::int32_t value) { SetAsString(IntToStr(value)); }

double TStringField::AsFloat() const {
  std::string value;
  return GetValue(value) ? StrToFloat(value) : 0.0;
}

void TStringField::SetAsFloat(double value) { SetAsString(FloatToStr(value)); }

bool TStringField::AsBoolean() const {
  const std::string value = AsString();
  if (value.empty()) return false;
  const char c = value[0];
  return c == 'T' || c == 't' || c == 'Y' || c == 'y';
}

void TStringField::SetAsBoolean(bool value) { SetAsString(value ? "T" : "F"); }

TDateTime TStringField::AsDateTime() const {
  std::string value;
  return GetValue(value) ? StrToDateTime(value) : 0.0;
}

void TStringField::SetAsDateTime(TDateTime value) { SetAsString(DateTimeToStr(value)); }

Variant TStringField::AsVariant() const {
  std::string value;
  return GetValue(value) ? Variant(value) : Variant();
}

void TStringField::GetText(std::string& text, bool display_text) const { text = AsString(); }

// --- Numeric fields ----------------------------------------------------------------------------

TNumericField::TNumericField(TComponent* owner) : TField(owner) { SetAlignment(taRightJustify); }

TIntegerField::TIntegerField(TComponent* owner) : TNumericField(owner) { SetDataType(ftInteger); }

bool TIntegerField::GetValue(std::int32_t& value) const {
  std::byte buffer[4] = {};
  if (!GetData(buffer)) return false;
  switch (DataType()) {
    case ftSmallint: {
      std::int16_t v;
      std::memcpy(&v, buffer, 2);
      value = v;
      break;
    }
    case ftWord: {
      std::uint16_t v;
      std::memcpy(&v, buffer, 2);
      value = v;
      break;
    }
    default:
      std::memcpy(&value, buffer, 4);
      break;
  }
  return true;
}

std::string TIntegerField::AsString() const {
  std::int32_t value = 0;
  return GetValue(value) ? IntToStr(value) : std::string();
}

void TIntegerField::SetAsString(const std::string& value) {
  int whole = 0;
  double number = 0;
  if (Trim(value).empty()) {
    Clear();
  } else if (TryStrToInt(value, whole)) {
    SetAsInteger(whole);
  } else if (TryStrToFloat(value, number) && std::fabs(number) < 2147483647.5) {
    // A number with a fraction is stored rounded half away from zero (2.5 is 3), as a number
    // field without decimals stores it; a half is exact in a double, so std::round is.
    SetAsInteger(static_cast<std::int32_t>(std::round(number)));
  } else {
    SetAsInteger(StrToInt(value));
  }
}

std::int32_t TIntegerField::AsInteger() const {
  std::int32_t value = 0;
  return GetValue(value) ? value : 0;
}

void TIntegerField::SetAsInteger(std::int32_t value) {
  std::int64_t low = min_range_;
  std::int64_t high = max_range_;
  if (MinValue != 0 || MaxValue != 0) {
    low = MinValue;
    high = MaxValue;
  }
  if (value < low || value > high) {
    DatabaseError(
        Format(SFieldRangeError, {IntToStr(value), DisplayName(), IntToStr(low), IntToStr(high)}));
  }
  std::byte buffer[4] = {};
  if (DataSize() == 2) {
    const std::uint16_t v = static_cast<std::uint16_t>(value);
    std::memcpy(buffer, &v, 2);
  } else {
    std::memcpy(buffer, &value, 4);
  }
  SetData(buffer);
}

double TIntegerField::AsFloat() const { return AsInteger(); }

void TIntegerField::SetAsFloat(double value) {
  const double rounded = std::round(value);
  if (!(rounded >= INT32_MIN && rounded <= INT32_MAX)) {
    DatabaseError(Format(SFieldRangeError, {FloatToStr(value), DisplayName(), IntToStr(min_range_),
                                            IntToStr(max_range_)}));
  }
  SetAsInteger(static_cast<std::int32_t>(rounded));
}

Variant TIntegerField::AsVariant() const {
  std::int32_t value = 0;
  return GetValue(value) ? Variant(value) : Variant();
}

void TIntegerField::GetText(std::string& text, bool display_text) const { text = AsString(); }

TSmallintField::TSmallintField(TComponent* owner) : TIntegerField(owner) {
  SetDataType(ftSmallint);
  min_range_ = INT16_MIN;
  max_range_ = INT16_MAX;
}

TWordField::TWordField(TComponent* owner) : TIntegerField(owner) {
  SetDataType(ftWord);
  min_range_ = 0;
  max_range_ = UINT16_MAX;
}

TFloatField::TFloatField(TComponent* owner) : TNumericField(owner) { SetDataType(ftFloat); }

bool TFloatField::GetValue(double& value) const { return GetData(&value); }

std::string TFloatField::AsString() const {
  double value = 0;
  return GetValue(value) ? FloatToStr(value) : std::string();
}

void TFloatField::SetAsString(const std::string& value) {
  if (Trim(value).empty()) {
    Clear();
  } else {
    SetAsFloat(StrToFloat(value));
  }
}

std::int32_t TFloatField::AsInteger() const {
  double value = 0;
  if (!GetValue(value)) return 0;
  const double rounded = std::round(value);
  if (!(rounded >= INT32_MIN && rounded <= INT32_MAX)) {
    throw EConvertError(Format("'%s' is not a valid integer value", {FloatToStr(value)}));
  }
  return static_cast<std::int32_t>(rounded);
}

void TFloatField::SetAsInteger(std::int32_t value) { SetAsFloat(value); }

double TFloatField::AsFloat() const {
  double value = 0;
  return GetValue(value) ? value : 0.0;
}

void TFloatField::SetAsFloat(double value) { SetData(&value); }

Variant TFloatField::AsVariant() const {
  double value = 0;
  return GetValue(value) ? Variant(value) : Variant();
}

void TFloatField::GetText(std::string& text, bool display_text) const {
  double value = 0;
  if (!GetValue(value)) {
    text.clear();
  } else if (display_text && Currency) {
    text = FloatToStrF(value, ffCurrency, Precision, 0);
  } else {
    text = FloatToStrF(value, ffGeneral, Precision, 0);
  }
}

TCurrencyField::TCurrencyField(TComponent* owner) : TFloatField(owner) {
  SetDataType(ftCurrency);
  Currency = true;
}

// --- TBooleanField -----------------------------------------------------------------------------

TBooleanField::TBooleanField(TComponent* owner) : TField(owner) { SetDataType(ftBoolean); }

void TBooleanField::SetDisplayValues(const std::string& value) {
  display_values_ = value;
  if (value.empty()) {
    text_true_ = "True";
    text_false_ = "False";
  } else {
    const std::size_t semicolon = value.find(';');
    text_true_ = value.substr(0, semicolon);
    text_false_ = semicolon == std::string::npos ? std::string() : value.substr(semicolon + 1);
  }
  PropertyChanged(true);
}

int TBooleanField::DefaultDisplayWidth() const {
  return static_cast<int>(std::max(text_true_.size(), text_false_.size()));
}

bool TBooleanField::GetValue(bool& value) const {
  std::int16_t native = 0;
  if (!GetData(&native)) return false;
  value = native != 0;
  return true;
}

bool TBooleanField::AsBoolean() const {
  bool value = false;
  return GetValue(value) && value;
}

void TBooleanField::SetAsBoolean(bool value) {
  const std::int16_t native = value ? 1 : 0;
  SetData(&native);
}

std::string TBooleanField::AsString() const {
  bool value = false;
  if (!GetValue(value)) return std::string();
  return value ? text_true_ : text_false_;
}

void TBooleanField::SetAsString(const std::string& value) {
  if (value.empty()) {
    if (text_false_.empty()) {
      SetAsBoolean(false);
    } else if (text_true_.empty()) {
      SetAsBoolean(true);
    } else {
      Clear();
    }
    return;
  }
  // The typed text may be the start of either word: "s" and "SI" both mean "Si".
  const auto matches = [&value](const std::string& word) {
    return value.size() <= word.size() && SameText(word.substr(0, value.size()), value);
  };
  if (matches(text_false_)) {
    SetAsBoolean(false);
  } else if (matches(text_true_)) {
    SetAsBoolean(true);
  } else {
    DatabaseError(Format(SNotABoolean, {value, DisplayName()}));
  }
}

Variant TBooleanField::AsVariant() const {
  bool value = false;
  return GetValue(value) ? Variant(value) : Variant();
}

// --- Date and time fields ----------------------------------------------------------------------

TDateTimeField::TDateTimeField(TComponent* owner) : TField(owner) { SetDataType(ftDateTime); }

bool TDateTimeField::GetValue(TDateTime& value) const {
  switch (DataType()) {
    case ftDate: {
      std::int32_t day = 0;
      if (!GetData(&day)) return false;
      value = static_cast<double>(day) - kDateDelta;
      return true;
    }
    case ftTime: {
      std::int32_t ms = 0;
      if (!GetData(&ms)) return false;
      value = static_cast<double>(ms) / kMSecsPerDay;
      return true;
    }
    default: {
      double msecs = 0;
      if (!GetData(&msecs)) return false;
      value = TimeStampToDateTime(MSecsToTimeStamp(msecs));
      return true;
    }
  }
}

TDateTime TDateTimeField::AsDateTime() const {
  TDateTime value = 0;
  return GetValue(value) ? value : 0.0;
}

void TDateTimeField::SetAsDateTime(TDateTime value) {
  const TTimeStamp stamp = DateTimeToTimeStamp(value);
  switch (DataType()) {
    case ftDate:
      SetData(&stamp.Date);
      break;
    case ftTime:
      SetData(&stamp.Time);
      break;
    default: {
      const double msecs = TimeStampToMSecs(stamp);
      SetData(&msecs);
      break;
    }
  }
}

std::string TDateTimeField::AsString() const {
  std::string text;
  GetText(text, false);
  return text;
}

void TDateTimeField::SetAsString(const std::string& value) {
  const std::string text = Trim(value);
  if (text.empty()) {
    Clear();
    return;
  }
  switch (DataType()) {
    case ftDate:
      SetAsDateTime(StrToDate(text));
      break;
    case ftTime:
      SetAsDateTime(StrToTime(text));
      break;
    default:
      SetAsDateTime(StrToDateTime(text));
      break;
  }
}

Variant TDateTimeField::AsVariant() const {
  TDateTime value = 0;
  return GetValue(value) ? Variant::FromDateTime(value) : Variant();
}

void TDateTimeField::GetText(std::string& text, bool display_text) const {
  TDateTime value = 0;
  if (!GetValue(value)) {
    text.clear();
  } else if (display_text && !DisplayFormat.empty()) {
    text = FormatDateTime(DisplayFormat, value);
  } else if (DataType() == ftDate) {
    text = DateToStr(value);
  } else if (DataType() == ftTime) {
    text = TimeToStr(value);
  } else {
    text = DateTimeToStr(value);
  }
}

TDateField::TDateField(TComponent* owner) : TDateTimeField(owner) { SetDataType(ftDate); }

TTimeField::TTimeField(TComponent* owner) : TDateTimeField(owner) { SetDataType(ftTime); }

// --- Blob fields -------------------------------------------------------------------------------

TBlobField::TBlobField(TComponent* owner) : TField(owner) { SetDataType(ftBlob); }

void TBlobField::CheckTypeSize(int size) const {
  if (size < 0) DatabaseError(SInvalidFieldSize);
}

namespace {

std::unique_ptr<TStream> OpenBlob(const TBlobField* field, TBlobStreamMode mode) {
  TDataSet* dataset = field->DataSet();
  if (dataset == nullptr) DatabaseError(Format(SDataSetMissing, {field->DisplayName()}));
  return dataset->CreateBlobStream(const_cast<TBlobField*>(field), mode);
}

}  // namespace

bool TBlobField::IsNull() const {
  if (modified_) {
    std::unique_ptr<TStream> stream = OpenBlob(this, bmRead);
    return stream == nullptr || stream->Size() == 0;
  }
  return TField::IsNull();
}

void TBlobField::Clear() { OpenBlob(this, bmWrite).reset(); }

std::string TBlobField::AsString() const {
  std::unique_ptr<TStream> stream = OpenBlob(this, bmRead);
  return stream != nullptr ? stream->ReadAllText() : std::string();
}

void TBlobField::SetAsString(const std::string& value) {
  std::unique_ptr<TStream> stream = OpenBlob(this, bmWrite);
  if (stream == nullptr) return;
  stream->WriteBuffer(value.data(), static_cast<std::int64_t>(value.size()));
}

Variant TBlobField::AsVariant() const {
  if (IsNull()) return Variant();
  return Variant(AsString());
}

std::int64_t TBlobField::BlobSize() const {
  std::unique_ptr<TStream> stream = OpenBlob(this, bmRead);
  return stream != nullptr ? stream->Size() : 0;
}

void TBlobField::LoadFromStream(TStream& source) {
  std::unique_ptr<TStream> stream = OpenBlob(this, bmWrite);
  if (stream != nullptr) stream->CopyFrom(source, 0);
}

void TBlobField::SaveToStream(TStream& destination) const {
  std::unique_ptr<TStream> stream = OpenBlob(this, bmRead);
  if (stream != nullptr) destination.CopyFrom(*stream, 0);
}

void TBlobField::GetText(std::string& text, bool display_text) const {
  const std::string description = ClassDescription();
  text = "(" + (IsNull() ? description : UpperCase(description)) + ")";
}

TMemoField::TMemoField(TComponent* owner) : TBlobField(owner) { SetBlobType(ftMemo); }

TGraphicField::TGraphicField(TComponent* owner) : TBlobField(owner) { SetBlobType(ftGraphic); }

// --- TFields -----------------------------------------------------------------------------------

TField* TFields::FindField(const std::string& name) const {
  for (TField* field : fields_) {
    if (SameText(field->FieldName(), name)) return field;
  }
  return nullptr;
}

TField* TFields::FieldByName(const std::string& name) const {
  TField* field = FindField(name);
  if (field == nullptr) DatabaseError(Format(SFieldNotFound, {name}), dataset_);
  return field;
}

TField* TFields::FieldByNumber(int field_no) const {
  for (TField* field : fields_) {
    if (field->FieldNo() == field_no) return field;
  }
  return nullptr;
}

int TFields::IndexOf(const TField* field) const {
  const auto it = std::find(fields_.begin(), fields_.end(), field);
  return it == fields_.end() ? -1 : static_cast<int>(it - fields_.begin());
}

void TFields::Add(TField* field) { fields_.push_back(field); }

void TFields::Remove(TField* field) {
  fields_.erase(std::remove(fields_.begin(), fields_.end(), field), fields_.end());
}

void TFields::Clear() {
  while (!fields_.empty()) {
    TField* field = fields_.back();
    fields_.pop_back();
    field->dataset_ = nullptr;
    delete field;
  }
}

}  // namespace vx
