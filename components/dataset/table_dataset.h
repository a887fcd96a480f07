#pragma once
// TVxDataSet: the record interface over one work area of the engine. It opens the table in a
// work area, describes its fields (TDbfFieldProps), converts the engine's record image into the
// framework's record buffer and back, positions through the engine's navigation commands and
// builds the field definitions. Also here: the field classes that fit dBASE fields to the
// framework, the correction of invalid field definitions, the dataset layer's warnings, and the
// start-up that takes the engine's date format from the platform's. Locked writes, sharing and
// table creation belong to file_dataset.h.
//
// Logical record (the first part of every framework buffer):
//
//   TYPE              SLOT          CONTENT                                FRAMEWORK TYPE
//   (byte 0)          1             deletion mark from the engine (1 = *)  -
//   C                 length + 1    count byte, then the characters        ftString
//   D                 8             TDateTime double; 0 = empty date       ftDate
//   N, F decimals > 0 8             double                                 ftFloat
//   N, F decimals 0   4             signed 32-bit integer                  ftInteger
//   L                 2             byte 0 = the value, byte 1 unused      ftBoolean
//   M                 4             memo block number (signed 32-bit)      ftMemo
//
// Cursor flags: VxiSetToBegin sets "at begin", VxiSetToEnd "at end"; a successful read in the
// other direction clears them; appends, locates that move the cursor and safe goes clear both.
// While either is set the engine stands on the first / last record (or on nothing when the
// table is empty) and the framework's cursor is on the crack before / after it.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "components/dataset/prim_dataset.h"
#include "engine/workarea/record_image.h"
#include "platform/dataset/fields.h"
#include "platform/dataset/strings.h"

namespace vx {

enum TVxTableLanguage { tlOem, tlAnsi };

// --- Warnings of the dataset layer ---------------------------------------------------------

// Warnings are shown in a message box when MessageMode is 2; other values keep them silent.
extern int MessageMode;
// Rewrites a message before it is shown (translation); null shows messages as they are.
using MessageTranslatorProc = std::string (*)(const std::string& text);
extern MessageTranslatorProc MessageTranslator;
// Shows `text` (translated) through the framework's message box when MessageMode is 2.
void ShowWarning(const std::string& text);

// --- Unit start-up -------------------------------------------------------------------------

// Sets the engine's date style and century switch from the platform's short date format:
// first letter D: separator "-" style 3, "." style 5, otherwise style 2; first letter Y style
// 1; otherwise style 0; four-digit years when the format holds "YYYY" in any case. Runs after
// the engine's start-up, which sets the style from the user's language.
void InitTableDatasetUnit();

// --- Field definitions ---------------------------------------------------------------------

// One field as DbfFields and table creation describe it.
struct DbfFieldDefinition {
  std::string name;
  char type = 'C';
  int length = 0;
  int decimals = 0;
};
// Corrects a definition the engine cannot hold: B, G, P become M; unknown types C; N at most
// 20 long with at most 18 decimals and two places before the point; C at most 254 long. When
// anything changed, the warning "Invalid field definition for <component>: ..." names both
// forms. Answers whether anything changed.
bool CorrectFieldDefinition(const std::string& component_name, DbfFieldDefinition& definition);

// The dBASE type letter for a framework field type (blank when there is none).
char DbaseTypeLetter(TFieldType type);
char DbaseTypeLetter(const TField* field);

// One field of the open table: name, type letter, length, decimals and its offset in the
// engine's record image (field 0 is the deletion mark at offset 0).
class TDTField : public TObject {
 public:
  std::string name;
  char type = 'C';
  std::uint16_t length = 0;
  std::uint16_t decimals = 0;
  std::uint16_t offset = 0;
};

// The fields of the open table and the record image they are read from: the engine's image,
// or a private copy while designing without the engine.
class TDbfFieldProps : public TObject {
 public:
  // Describes the table in the selected work area, over the engine's image.
  static std::unique_ptr<TDbfFieldProps> FromSelectedArea(bool private_copy);

  int Count() const { return static_cast<int>(fields_.size()); }
  // Field n, 1-based.
  const TDTField& Field(int n) const { return *fields_.at(static_cast<std::size_t>(n - 1)); }
  char* RecordArea() const { return record_area_; }
  // The typed view over the record area.
  RecordImage Image() const { return RecordImage(entries_, image_offsets_, record_area_); }
  // Bytes owned by this object (0: the area belongs to the engine).
  std::size_t OwnedSize() const { return owned_area_.size(); }

 private:
  char* record_area_ = nullptr;
  std::vector<char> owned_area_;
  std::vector<std::unique_ptr<TDTField>> fields_;
  std::vector<FieldEntry> entries_;  // the engine's fields, for the view
  std::vector<std::uint32_t> image_offsets_;
};

// --- Field classes -------------------------------------------------------------------------

// ftInteger / ftFloat fields that accept the dBASE field width (0 to 20) as their size.
class TVxIntegerField : public TIntegerField {
 public:
  using TIntegerField::TIntegerField;

 protected:
  void CheckTypeSize(int size) const override;
};

// Shows its value with the field's declared decimals (53131.00 in an N 10 2 field).
class TVxFloatField : public TFloatField {
 public:
  using TFloatField::TFloatField;

 protected:
  void CheckTypeSize(int size) const override;
  void GetText(std::string& text, bool display_text) const override;
};

// ftDate field that shows and reads dates the engine's way: the display text is normalised by
// the engine's date check, and text is read in the engine's date style (an all-blank picture
// clears the field). Text that names no date shows "Invalid date" and raises EAbort, leaving
// the field unchanged.
class TVxDateField : public TDateField {
 public:
  using TDateField::TDateField;

 protected:
  void GetText(std::string& text, bool display_text) const override;
  void SetTextValue(const std::string& text) override;
};

// Reads date text in the engine's current style: the TDateTime it names, or 0 for the blank
// picture and for text the engine's date check refuses. Two-digit years take their century by
// the engine's century rule.
TDateTime EngineDateTextToDateTime(const std::string& text);

// --- The table dataset ---------------------------------------------------------------------

class TVxDataSet : public TVxPrimDataset {
 public:
  explicit TVxDataSet(TComponent* owner);
  ~TVxDataSet() override;

  // Field definitions "name, type, length, decimals", one per line (see file_dataset.h).
  TStrings& DbfFields() { return dbf_fields_; }
  void SetDbfFields(const TStrings& lines) { dbf_fields_.Assign(lines); }
  const std::string& DbfFileName() const { return dbf_file_name_; }
  // Closes the dataset (unless loading), trims the name, gives it the extension "DBF" when it
  // has none, and reopens it when it was open.
  void SetDbfFileName(const std::string& name);
  bool HideDeletedRecs() const { return hide_deleted_recs_; }
  // On an open dataset the engine skips deleted records from now on and the window is re-read
  // around a visible record.
  void SetHideDeletedRecs(bool value);
  bool ShowProgress() const { return show_progress_; }
  void SetShowProgress(bool value) { show_progress_ = value; }
  TVxTableLanguage TableLanguage() const { return table_language_; }
  void SetTableLanguage(TVxTableLanguage value) { table_language_ = value; }
  TNotifyEvent BeforeRestore;
  TNotifyEvent AfterRestore;

  // The work area holding the table (0 when closed).
  int WorkArea() const { return work_area_; }
  const TDbfFieldProps* FieldProps() const { return field_props_.get(); }
  // Whether the active record carries the deletion mark.
  bool IsDeleted();
  // Restores the active record when it is marked deleted: BeforeRestore, the locked restore,
  // AfterRestore, and the window re-read.
  void Restore();

  // Posts only in edit, insert or set-key state; an empty table afterwards empties the window.
  void Post() override;

 protected:
  // --- The record interface ---
  std::string VxiErrorText(int code) override;
  bool VxiIsEmpty() override;
  int VxiSetToBegin() override;
  int VxiSetToEnd() override;
  int VxiOpenTable() override;
  int VxiCloseTable() override;
  int VxiGetRecordCount() override;
  int VxiForceReread() override;
  int VxiAppendRecord(TRecordBuffer buffer) override;
  int VxiInsertRecord(TRecordBuffer buffer) override;
  int VxiDeleteRecord() override;
  int VxiInitRecord(TRecordBuffer buffer) override;
  int VxiModifyRecord(TRecordBuffer buffer) override;
  std::uint16_t VxiGetRecordSize() override;
  int VxiGetRecNoKind() override { return 2; }
  int VxiGetRecord(TRecordBuffer buffer, std::int32_t& record_no) override;
  int VxiGetNextRecord(TRecordBuffer buffer, std::int32_t& record_no) override;
  int VxiGetPriorRecord(TRecordBuffer buffer, std::int32_t& record_no) override;
  int VxiGetField(TField* field, TRecordBuffer record, bool& blank, void* destination) override;
  int VxiPutField(TField* field, TRecordBuffer record, const void* source) override;
  int VxiSetToRecordNo(std::int32_t record_no) override;
  bool VxiLocateRecord(const std::string& key_fields, const Variant& key_values, bool sync_cursor,
                       TLocateOptions options) override;
  int VxiGetBookmarkSize() override { return 4; }
  int VxiSetToBookmark(const void* bookmark) override;
  int VxiGetBookmark(void* destination) override;
  int VxiCompareBookmarks(const void* a, const void* b, int& result) override;

  // --- Operations added here, in slot order ---
  // Selects the dataset's work area for the operation named by `label` and sets the engine's
  // ANSI switch from TableLanguage. Raises engine error 1103 "Database is not open [<name>.
  // <label>]" when the dataset has no work area.
  virtual void SelectArea(const std::string& label);
  virtual void DoBeforeRestore();
  virtual void DoAfterRestore();
  // Brings the engine to the active record, or, while inserting, writes the record being
  // inserted into the engine's record image.
  virtual void SynchroniseEngine();
  // True would type memo fields as ftInteger (their block numbers).
  virtual bool MemoFieldsAsNumbers() const { return false; }
  virtual void FileNameChanged() {}
  // Runs when the table is about to close.
  virtual void BeforeCloseTable() {}
  // Opens the table file into the selected work area; answers success.
  virtual bool OpenTableFile(const std::string& name) = 0;
  // The writes, each under the lock it needs.
  virtual void LockedAppend() = 0;
  virtual void LockedDelete() = 0;
  virtual void LockedRestore() = 0;
  virtual void LockedReplace() = 0;
  // Whether records come from the engine (false only while designing).
  virtual bool UsesEngine() const { return !designing_; }

  // --- Framework operations ---
  void InternalInitFieldDefs() override;
  TFieldClass GetFieldClass(TFieldType type) const override;
  void InternalCancel() override;
  TGetResult GetRecord(TRecordBuffer buffer, TGetMode mode, bool do_check) override;

  // --- For descendants ---
  // After the engine moved on its own (seeks, hidden records, ReplaceRec): back to browse
  // without posting, and the window re-read around the engine's record (emptied when the table
  // is empty); fires AfterScroll. Does nothing while the engine holds an error.
  void ResyncAfterEngineMove();
  // Whether the engine stands at both its beginning and its end (label "s_IsEmptyDbf").
  bool IsEmptyDbf();
  // Converts the engine's record image into the buffer's logical record.
  void EngineToBuffer(TRecordBuffer buffer);
  // Writes the buffer's fields into the engine's record image: field `field_no` when it is not
  // 0, otherwise every field whose buffer value differs from what the image holds, so that a
  // post rewrites only the fields that were edited (a field's stored bytes stay as they are
  // unless its value changed).
  void BufferToEngine(TRecordBuffer buffer, int field_no = 0);
  bool Designing() const { return designing_; }
  // The slot of field `field_no` (1-based) in a buffer's logical record.
  std::byte* FieldSlot(TRecordBuffer buffer, int field_no) const {
    return buffer + field_offsets_[static_cast<std::size_t>(field_no)];
  }

 private:
  friend class TVxBlobStream;
  // Opens `name` into the dataset's work area (area 0 takes a free one); answers success.
  bool OpenTable(const std::string& name);
  // Rewrites DbfFields from the open table (designing only).
  void RewriteDbfFields();
  // GO to record_no when it lies in 1..RecCount, else VxiSetToEnd (label "SafeGo").
  int SafeGo(std::int32_t record_no);
  // Empties the window after the table was found empty.
  void ResyncEmpty();
  std::uint16_t SlotSize(const TDTField& field) const;
  // Reads / writes one field's slot in the framework's native form.
  bool ReadField(TRecordBuffer record, TField* field, void* destination);
  void WriteField(TRecordBuffer record, TField* field, const void* source);

  std::uint8_t work_area_ = 0;
  std::uint16_t logical_record_size_ = 0;
  bool designing_ = false;
  bool at_begin_ = false;
  bool at_end_ = false;
  TStringList dbf_fields_;
  std::string dbf_file_name_;
  bool show_progress_ = true;
  std::unique_ptr<TDbfFieldProps> field_props_;
  TVxTableLanguage table_language_ = tlOem;
  bool hide_deleted_recs_ = false;
  // Offset of each field's slot in the logical record, by field number (index 0 unused).
  std::vector<std::uint16_t> field_offsets_;
  // Field n of the engine's image as the buffer holds it.
  void ImageFieldToSlot(const RecordImage& image, int n, char* slot) const;
};

}  // namespace vx
