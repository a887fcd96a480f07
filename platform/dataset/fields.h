#pragma once
// Field definitions and field objects: TFieldType and TFieldKind, TFieldDef/TFieldDefs (what a
// dataset's store holds), TField and its typed descendants (how a value is read, converted,
// validated and written through the dataset), and TFields, a dataset's list of fields.
// Field values live in the dataset's record buffers; a field only converts.
//
// Native formats exchanged with TDataSet::GetFieldData/SetFieldData (DataSize bytes):
//   ftString            Size characters and a terminating NUL (DataSize = Size + 1)
//   ftSmallint, ftWord  16-bit signed / unsigned integer
//   ftInteger           32-bit signed integer
//   ftBoolean           16-bit integer; written as 0 or 1, read as non-zero = true
//   ftFloat, ftCurrency double
//   ftDate              32-bit day number, TTimeStamp::Date (TDateTime + 693594)
//   ftTime              32-bit milliseconds since midnight
//   ftDateTime          double, milliseconds since 1 January 0001 (TimeStampToMSecs)
//   blob types          no native value (DataSize 0): read and written through blob streams

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/dataset/component.h"
#include "platform/dataset/sys_utils.h"
#include "platform/dataset/variant.h"

namespace vx {

class TDataSet;
class TField;
class TFieldDefs;
class TStream;

enum TFieldType {
  ftUnknown,
  ftString,
  ftSmallint,
  ftInteger,
  ftWord,
  ftBoolean,
  ftFloat,
  ftCurrency,
  ftBCD,
  ftDate,
  ftTime,
  ftDateTime,
  ftBytes,
  ftVarBytes,
  ftAutoInc,
  ftBlob,
  ftMemo,
  ftGraphic,
  ftFmtMemo,
};
// "String", "Integer", ... as used in error messages.
const char* FieldTypeName(TFieldType type);

// fkData: held by the store; fkCalculated: computed by OnCalcFields into the calculated-fields
// area of each buffer; fkLookup: fetched from LookupDataSet into that area; fkInternalCalc:
// computed but held by the store.
enum TFieldKind { fkData, fkCalculated, fkLookup, fkInternalCalc };

enum TBlobStreamMode { bmRead, bmWrite, bmReadWrite };

// Creates a field of some class for an owner; the owner destroys it.
using TFieldClass = TField* (*)(TComponent* owner);
template <typename F>
TField* FieldClassOf(TComponent* owner) {
  return new F(owner);
}

// One column as the store describes it.
class TFieldDef : public TObject {
 public:
  TFieldDef(TFieldDefs* owner, std::string name, TFieldType data_type, int size, bool required,
            int field_no);

  const std::string& Name() const { return name_; }
  void SetName(const std::string& name) { name_ = name; }
  TFieldType DataType() const { return data_type_; }
  void SetDataType(TFieldType type) { data_type_ = type; }
  int Size() const { return size_; }
  void SetSize(int size) { size_ = size; }
  bool Required() const { return required_; }
  void SetRequired(bool required) { required_ = required; }
  // 1-based position in the store's record; the field bound to this definition gets it.
  int FieldNo() const { return field_no_; }
  void SetFieldNo(int field_no) { field_no_ = field_no; }
  int Precision() const { return precision_; }
  void SetPrecision(int precision) { precision_ = precision; }
  bool InternalCalcField() const { return internal_calc_field_; }
  void SetInternalCalcField(bool value) { internal_calc_field_ = value; }

  // The dataset's field class for DataType(), or nullptr for a type without one.
  TFieldClass FieldClass() const;
  // Creates the field for this definition, owned by `owner` and attached to the dataset.
  // Raises EDatabaseError "Field '%s' is of an unknown type" when there is no field class, and
  // the field class's size check.
  TField* CreateField(TComponent* owner) const;

 private:
  TFieldDefs* owner_;
  std::string name_;
  TFieldType data_type_;
  int size_;
  bool required_;
  int field_no_;
  int precision_ = 0;
  bool internal_calc_field_ = false;
};

// A dataset's field definitions, filled by its InternalInitFieldDefs.
class TFieldDefs : public TObject {
 public:
  explicit TFieldDefs(TDataSet* dataset) : dataset_(dataset) {}

  TDataSet* DataSet() const { return dataset_; }
  int Count() const { return static_cast<int>(defs_.size()); }
  TFieldDef& Items(int index) const { return *defs_.at(index); }
  TFieldDef& operator[](int index) const { return *defs_.at(index); }

  // Adds a definition whose field number is its 1-based position.
  TFieldDef& Add(const std::string& name, TFieldType data_type, int size = 0,
                 bool required = false);
  void Clear();
  // Answers the index of the definition with the name (case-insensitive), or -1.
  int IndexOf(const std::string& name) const;
  // Answers the definition with the name; raises EDatabaseError "Field '%s' not found".
  TFieldDef& Find(const std::string& name) const;

  // Whether the definitions describe the open store; Update() rebuilds them when not.
  bool Updated() const { return updated_; }
  void SetUpdated(bool updated) { updated_ = updated; }
  void Update();

 private:
  TDataSet* dataset_;
  std::vector<std::unique_ptr<TFieldDef>> defs_;
  bool updated_ = false;
};

using TFieldNotifyEvent = std::function<void(TField* sender)>;
using TFieldGetTextEvent =
    std::function<void(TField* sender, std::string& text, bool display_text)>;
using TFieldSetTextEvent = std::function<void(TField* sender, const std::string& text)>;

// A column of a dataset. Values go through the dataset: GetData/SetData pass the native value
// (see the table at the top) to TDataSet::GetFieldData/SetFieldData, which choose the record
// buffer for the dataset's state. The As... accessors convert; a conversion the field class
// does not support raises EDatabaseError "Cannot access field '%s' as type %s".
//
// Text: DisplayText is what a grid shows, Text what an editor edits. Both come from OnGetText
// when it is set, else from the virtual GetText(text, display_text). Setting Text goes to
// OnSetText when set, else to the virtual SetTextValue (default: SetAsString).
class TField : public TComponent {
 public:
  explicit TField(TComponent* owner);
  ~TField() override;

  TDataSet* DataSet() const { return dataset_; }
  // Attaches the field to `dataset` (appending it to its Fields) or detaches it (nullptr).
  // Raises EDatabaseError "Cannot perform this operation on an open dataset" while either
  // dataset is open.
  void SetDataSet(TDataSet* dataset);

  const std::string& FieldName() const { return field_name_; }
  void SetFieldName(const std::string& name);
  TFieldType DataType() const { return data_type_; }
  TFieldKind FieldKind() const { return field_kind_; }
  void SetFieldKind(TFieldKind kind);
  bool Calculated() const { return field_kind_ == fkCalculated; }
  void SetCalculated(bool value) { SetFieldKind(value ? fkCalculated : fkData); }
  bool Lookup() const { return field_kind_ == fkLookup; }
  void SetLookup(bool value) { SetFieldKind(value ? fkLookup : fkData); }
  // 1-based number of the bound store field; 0 for calculated and lookup fields and while
  // unbound.
  int FieldNo() const { return field_no_; }
  // Position in the dataset's Fields, or -1.
  int Index() const;
  // Offset of a calculated or lookup field's slot in the calculated-fields area: one has-value
  // byte, then DataSize() bytes. Set when the dataset binds its fields.
  int Offset() const { return offset_; }
  int Size() const { return size_; }
  // Raises while the dataset is open, and through CheckTypeSize for a size the class refuses.
  void SetSize(int size);
  // Bytes of the native value.
  virtual int DataSize() const { return 0; }
  virtual bool IsBlob() const { return false; }

  bool ReadOnly() const { return read_only_; }
  void SetReadOnly(bool value);
  bool Required() const { return required_; }
  void SetRequired(bool value) { required_ = value; }
  bool Visible() const { return visible_; }
  void SetVisible(bool value);
  TAlignment Alignment() const { return alignment_; }
  void SetAlignment(TAlignment value);
  // Width in characters a grid gives the column; 0 asks for the class's default.
  int DisplayWidth() const;
  void SetDisplayWidth(int value);
  // The column title: DisplayLabel when set, else FieldName.
  std::string DisplayLabel() const { return display_label_.empty() ? field_name_ : display_label_; }
  void SetDisplayLabel(const std::string& value);
  std::string DisplayName() const { return DisplayLabel(); }

  // Lookup fields: KeyFields of this dataset are looked up as LookupKeyFields in
  // LookupDataSet, and LookupResultField of the record found is the value.
  TDataSet* LookupDataSet() const { return lookup_dataset_; }
  // Follows the lookup dataset: the field forgets it when it is destroyed.
  void SetLookupDataSet(TDataSet* dataset);
  std::string KeyFields, LookupKeyFields, LookupResultField;

  // Reads the native value into `buffer` (DataSize() bytes) and answers whether there is one;
  // a null buffer only tests. While OnValidate runs, the value being validated is read.
  bool GetData(void* buffer) const;
  // Writes the native value; a null buffer clears the field.
  void SetData(const void* buffer);
  virtual bool IsNull() const { return !GetData(nullptr); }
  virtual void Clear() { SetData(nullptr); }
  // Whether the field may be written now: a bound data field, not ReadOnly, of a dataset that
  // can be modified.
  virtual bool CanModify() const;
  // Runs OnValidate with `buffer` (the native value about to be stored, or nullptr for a clear)
  // readable through the field's accessors. Datasets call it from SetFieldData.
  void Validate(const void* buffer);
  // Asks the data-aware control bound to this field to take the focus.
  void FocusControl();

  virtual std::string AsString() const;
  virtual void SetAsString(const std::string& value);
  virtual std::int32_t AsInteger() const;
  virtual void SetAsInteger(std::int32_t value);
  virtual double AsFloat() const;
  virtual void SetAsFloat(double value);
  double AsCurrency() const { return AsFloat(); }
  void SetAsCurrency(double value) { SetAsFloat(value); }
  virtual bool AsBoolean() const;
  virtual void SetAsBoolean(bool value);
  virtual TDateTime AsDateTime() const;
  virtual void SetAsDateTime(TDateTime value);
  // Null when the field has no value.
  virtual Variant AsVariant() const;
  // Null clears; other values go to the accessor of their type.
  virtual void SetAsVariant(const Variant& value);
  Variant Value() const { return AsVariant(); }
  void SetValue(const Variant& value) { SetAsVariant(value); }

  std::string DisplayText() const;
  std::string Text() const;
  void SetText(const std::string& text);

  TFieldNotifyEvent OnChange;
  TFieldNotifyEvent OnValidate;
  TFieldGetTextEvent OnGetText;
  TFieldSetTextEvent OnSetText;

 protected:
  void SetDataType(TFieldType type) { data_type_ = type; }
  virtual void GetText(std::string& text, bool display_text) const;
  virtual void SetTextValue(const std::string& text) { SetAsString(text); }
  // Refuses sizes the class cannot hold; the default accepts only 0. Raises EDatabaseError
  // "Invalid field size".
  virtual void CheckTypeSize(int size) const;
  virtual int DefaultDisplayWidth() const { return 10; }
  // Called by the dataset when its fields are bound (true) and unbound (false).
  virtual void Bind(bool binding) {}
  [[noreturn]] void AccessError(const char* type_name) const;
  // Tells the dataset that a display property changed: a layout change when `layout` is true.
  void PropertyChanged(bool layout);
  void CheckInactive() const;
  // Fires OnChange; the dataset calls it when the field's value changed.
  void Change();
  void Notification(TComponent* component, TOperation operation) override;

 private:
  friend class TDataSet;
  friend class TFields;

  TDataSet* dataset_ = nullptr;
  std::string field_name_;
  TFieldType data_type_ = ftUnknown;
  TFieldKind field_kind_ = fkData;
  int field_no_ = 0;
  int offset_ = 0;
  int size_ = 0;
  bool read_only_ = false;
  bool required_ = false;
  bool visible_ = true;
  TAlignment alignment_ = taLeftJustify;
  int display_width_ = 0;
  std::string display_label_;
  TDataSet* lookup_dataset_ = nullptr;
  bool validating_ = false;
  const void* validate_buffer_ = nullptr;
};

// ftString: up to Size characters (default 20). Reads as true when the text starts with
// T, t, Y or y; writes a boolean as "T" / "F".
class TStringField : public TField {
 public:
  explicit TStringField(TComponent* owner);
  int DataSize() const override { return Size() + 1; }
  std::string AsString() const override;
  void SetAsString(const std::string& value) override;
  std::int32_t AsInteger() const override;
  void SetAsInteger(std::int32_t value) override;
  double AsFloat() const override;
  void SetAsFloat(double value) override;
  bool AsBoolean() const override;
  void SetAsBoolean(bool value) override;
  TDateTime AsDateTime() const override;
  void SetAsDateTime(TDateTime value) override;
  Variant AsVariant() const override;

 protected:
  void GetText(std::string& text, bool display_text) const override;
  void CheckTypeSize(int size) const override;  // 0 .. 8192
  int DefaultDisplayWidth() const override { return Size(); }

 private:
  // Answers whether there is a value; `value` is the text up to the first NUL.
  bool GetValue(std::string& value) const;
};

// The numeric fields are right-aligned.
class TNumericField : public TField {
 public:
  explicit TNumericField(TComponent* owner);
};

// ftInteger (and, through the descendants, ftSmallint and ftWord). Writing a value outside the
// native range, or outside MinValue..MaxValue when either is non-zero, raises EDatabaseError
// "%d is not a valid value for field '%s'. The allowed range is %d to %d".
class TIntegerField : public TNumericField {
 public:
  explicit TIntegerField(TComponent* owner);
  int DataSize() const override { return 4; }
  std::string AsString() const override;
  void SetAsString(const std::string& value) override;
  std::int32_t AsInteger() const override;
  void SetAsInteger(std::int32_t value) override;
  double AsFloat() const override;
  void SetAsFloat(double value) override;
  Variant AsVariant() const override;

  std::int32_t MinValue = 0;
  std::int32_t MaxValue = 0;

 protected:
  void GetText(std::string& text, bool display_text) const override;
  int DefaultDisplayWidth() const override { return 11; }
  bool GetValue(std::int32_t& value) const;
  std::int64_t min_range_ = INT32_MIN;
  std::int64_t max_range_ = INT32_MAX;
};

class TSmallintField : public TIntegerField {
 public:
  explicit TSmallintField(TComponent* owner);
  int DataSize() const override { return 2; }

 protected:
  int DefaultDisplayWidth() const override { return 6; }
};

class TWordField : public TIntegerField {
 public:
  explicit TWordField(TComponent* owner);
  int DataSize() const override { return 2; }

 protected:
  int DefaultDisplayWidth() const override { return 5; }
};

// ftFloat. Text has at most Precision significant digits (default 15); with Currency set the
// display text has CurrencyDecimals decimals and thousand separators.
class TFloatField : public TNumericField {
 public:
  explicit TFloatField(TComponent* owner);
  int DataSize() const override { return 8; }
  std::string AsString() const override;
  void SetAsString(const std::string& value) override;
  std::int32_t AsInteger() const override;
  void SetAsInteger(std::int32_t value) override;
  double AsFloat() const override;
  void SetAsFloat(double value) override;
  Variant AsVariant() const override;

  int Precision = 15;
  bool Currency = false;

 protected:
  void GetText(std::string& text, bool display_text) const override;
  int DefaultDisplayWidth() const override { return 10; }
  bool GetValue(double& value) const;
};

class TCurrencyField : public TFloatField {
 public:
  explicit TCurrencyField(TComponent* owner);
};

// ftBoolean. DisplayValues is "true text;false text" (default "True;False"). Setting text
// accepts a case-insensitive prefix of either text (the false text is tried first); an empty
// text clears the field. Anything else raises EDatabaseError
// "'%s' is not a valid boolean value for field '%s'".
class TBooleanField : public TField {
 public:
  explicit TBooleanField(TComponent* owner);
  int DataSize() const override { return 2; }
  std::string AsString() const override;
  void SetAsString(const std::string& value) override;
  bool AsBoolean() const override;
  void SetAsBoolean(bool value) override;
  Variant AsVariant() const override;

  const std::string& DisplayValues() const { return display_values_; }
  void SetDisplayValues(const std::string& value);
  // The two texts DisplayValues gives (the false text is empty when there is no ";").
  const std::string& TrueText() const { return text_true_; }
  const std::string& FalseText() const { return text_false_; }

 protected:
  int DefaultDisplayWidth() const override;
  bool GetValue(bool& value) const;

 private:
  std::string display_values_;
  std::string text_true_ = "True";
  std::string text_false_ = "False";
};

// ftDateTime, and through the descendants ftDate and ftTime. DisplayFormat (FormatDateTime
// letters) is used for the display text when set; otherwise and for the edit text, the date is
// written in ShortDateFormat and the time in LongTimeFormat. Setting an empty or blank text
// clears the field.
class TDateTimeField : public TField {
 public:
  explicit TDateTimeField(TComponent* owner);
  int DataSize() const override { return 8; }
  std::string AsString() const override;
  void SetAsString(const std::string& value) override;
  double AsFloat() const override { return AsDateTime(); }
  void SetAsFloat(double value) override { SetAsDateTime(value); }
  TDateTime AsDateTime() const override;
  void SetAsDateTime(TDateTime value) override;
  Variant AsVariant() const override;

  std::string DisplayFormat;

 protected:
  void GetText(std::string& text, bool display_text) const override;
  int DefaultDisplayWidth() const override { return 18; }
  bool GetValue(TDateTime& value) const;
};

class TDateField : public TDateTimeField {
 public:
  explicit TDateField(TComponent* owner);
  int DataSize() const override { return 4; }

 protected:
  int DefaultDisplayWidth() const override { return 10; }
};

class TTimeField : public TDateTimeField {
 public:
  explicit TTimeField(TComponent* owner);
  int DataSize() const override { return 4; }

 protected:
  int DefaultDisplayWidth() const override { return 10; }
};

// ftBlob and the other blob types. The value is read and written through the dataset's
// CreateBlobStream; a write stream commits when it is destroyed. AsString is the whole
// content; the display text is the class in parentheses, "(BLOB)" / "(MEMO)" with a value and
// "(Blob)" / "(Memo)" without. Clear() opens a write stream and destroys it unwritten.
class TBlobField : public TField {
 public:
  explicit TBlobField(TComponent* owner);
  bool IsBlob() const override { return true; }
  bool IsNull() const override;
  void Clear() override;
  std::string AsString() const override;
  void SetAsString(const std::string& value) override;
  Variant AsVariant() const override;

  // Bytes of the stored value.
  std::int64_t BlobSize() const;
  void LoadFromStream(TStream& source);
  void SaveToStream(TStream& destination) const;
  TFieldType BlobType() const { return DataType(); }
  void SetBlobType(TFieldType type) { SetDataType(type); }
  // Set when a write stream of this field wrote something, cleared when the dataset leaves
  // edit or insert state.
  bool Modified() const { return modified_; }
  void SetModified(bool value) { modified_ = value; }

 protected:
  void GetText(std::string& text, bool display_text) const override;
  void CheckTypeSize(int size) const override;  // any size >= 0
  virtual const char* ClassDescription() const { return "Blob"; }

 private:
  bool modified_ = false;
};

class TMemoField : public TBlobField {
 public:
  explicit TMemoField(TComponent* owner);

 protected:
  const char* ClassDescription() const override { return "Memo"; }
};

class TGraphicField : public TBlobField {
 public:
  explicit TGraphicField(TComponent* owner);

 protected:
  const char* ClassDescription() const override { return "Graphic"; }
};

// A dataset's fields in column order. The list does not own them: default fields are owned by
// the dataset (as their owner component), persistent fields by whoever created them.
class TFields {
 public:
  explicit TFields(TDataSet* dataset) : dataset_(dataset) {}
  TFields(const TFields&) = delete;
  TFields& operator=(const TFields&) = delete;

  TDataSet* DataSet() const { return dataset_; }
  int Count() const { return static_cast<int>(fields_.size()); }
  TField* Fields(int index) const { return fields_.at(index); }
  TField* operator[](int index) const { return fields_.at(index); }
  auto begin() const { return fields_.begin(); }
  auto end() const { return fields_.end(); }

  // Answers the field with the name (case-insensitive), or nullptr.
  TField* FindField(const std::string& name) const;
  // Answers the field with the name; raises EDatabaseError "Field '%s' not found" (after the
  // dataset's name and ": " when it has one).
  TField* FieldByName(const std::string& name) const;
  // Answers the field bound to the store field `field_no`, or nullptr.
  TField* FieldByNumber(int field_no) const;
  int IndexOf(const TField* field) const;

  void Add(TField* field);
  void Remove(TField* field);
  // Destroys every field in the list.
  void Clear();

 private:
  TDataSet* dataset_;
  std::vector<TField*> fields_;
};

}  // namespace vx
