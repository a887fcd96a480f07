#include "components/dataset/table_dataset.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/foundation/dates.h"
#include "engine/foundation/errors.h"
#include "engine/foundation/settings.h"
#include "engine/foundation/strings.h"
#include "engine/table/field_values.h"
#include "engine/workarea/locate.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/work_areas.h"
#include "platform/dataset/application.h"
#include "platform/dataset/sys_utils.h"

namespace vx {

int MessageMode = 2;
MessageTranslatorProc MessageTranslator = nullptr;

namespace {

constexpr char kInvalidFieldDefinition[] =
    "Invalid field definition for %s: %s,%s,%d,%d. Will use corrected definition: %s,%s,%d,%d";
constexpr char kInvalidDate[] = "        Invalid date       ";

std::string Translated(const std::string& text) {
  return MessageTranslator != nullptr ? MessageTranslator(text) : text;
}

bool InEditModes(TDataSetState state) {
  return state == dsEdit || state == dsInsert || state == dsSetKey;
}

// The engine's day number of TDateTime 0 (30 December 1899).
double DateTimeZeroDay() {
  static const double day = DayNumber(1899, 12, 30);
  return day;
}

// The text of a C slot (count byte, characters). A wide field (over 255) counts 255 and holds
// all its characters, as the engine's record image does.
std::string_view SlotText(const char* slot, std::uint16_t length) {
  std::size_t n = static_cast<unsigned char>(slot[0]);
  if (length > 255 && n == 255) n = length;
  return std::string_view(slot + 1, std::min<std::size_t>(n, length));
}

}  // namespace

void ShowWarning(const std::string& text) {
  if (MessageMode != 2) return;
  MessageBox(Translated(text), Application().Title, MB_OK | MB_ICONWARNING);
}

void InitTableDatasetUnit() {
  const TFormatSettings& settings = FormatSettings();
  const std::string& format = settings.ShortDateFormat;
  // The first character that is not a letter separates the parts; "/" stands for the
  // platform's date separator.
  char separator = settings.DateSeparator;
  const auto it = std::find_if(format.begin(), format.end(), [](char c) {
    return !((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'));
  });
  if (it != format.end() && *it != '/') separator = *it;
  const char first = format.empty() ? ' ' : format[0];
  int style = 0;
  if (first == 'D' || first == 'd') {
    style = separator == '-' ? 3 : (separator == '.' ? 5 : 2);
  } else if (first == 'Y' || first == 'y') {
    style = 1;
  }
  DateStyle = style;
  CenturyOn = UpperCase(format).find("YYYY") != std::string::npos;
}

// --- Field definitions -------------------------------------------------------------------------

bool CorrectFieldDefinition(const std::string& component_name, DbfFieldDefinition& definition) {
  DbfFieldDefinition fixed = definition;
  switch (fixed.type) {
    case 'B':
    case 'G':
    case 'P':
      fixed.type = 'M';
      break;
    case 'C':
    case 'D':
    case 'F':
    case 'L':
    case 'M':
    case 'N':
      break;
    default:
      fixed.type = 'C';
      break;
  }
  if (fixed.type == 'N') {
    if (fixed.length >= 21) fixed.length = 20;
    if (fixed.decimals >= 19) fixed.decimals = 18;
    if (fixed.decimals != 0 && fixed.length - fixed.decimals < 2) {
      fixed.decimals = std::max(0, fixed.length - 2);
    }
  }
  if (fixed.type == 'C' && fixed.length > 254) {
    fixed.length = 254;
    fixed.decimals = 0;
  }
  const bool changed = fixed.type != definition.type || fixed.length != definition.length ||
                       fixed.decimals != definition.decimals;
  if (changed) {
    ShowWarning(Format(kInvalidFieldDefinition,
                       {component_name, definition.name, std::string(1, definition.type),
                        std::to_string(definition.length), std::to_string(definition.decimals),
                        definition.name, std::string(1, fixed.type), std::to_string(fixed.length),
                        std::to_string(fixed.decimals)}));
    definition = fixed;
  }
  return changed;
}

char DbaseTypeLetter(TFieldType type) {
  switch (type) {
    case ftString:
      return 'C';
    case ftSmallint:
    case ftInteger:
    case ftWord:
    case ftFloat:
    case ftCurrency:
      return 'N';
    case ftBoolean:
      return 'L';
    case ftDate:
      return 'D';
    case ftBlob:
    case ftMemo:
    case ftGraphic:
    case ftFmtMemo:
      return 'M';
    default:
      return ' ';
  }
}

char DbaseTypeLetter(const TField* field) {
  return field == nullptr ? ' ' : DbaseTypeLetter(field->DataType());
}

std::unique_ptr<TDbfFieldProps> TDbfFieldProps::FromSelectedArea(bool private_copy) {
  auto props = std::make_unique<TDbfFieldProps>();
  char* base = FieldAddress(0);
  if (base == nullptr) return props;
  if (private_copy) {
    props->owned_area_.assign(base, base + RecordImageSize());
    props->record_area_ = props->owned_area_.data();
  } else {
    props->record_area_ = base;
  }
  TableRecord& table = *SelectedTable();
  RecordImage::Of(table);  // the offsets are up to date
  props->entries_ = table.fields;
  props->image_offsets_ = table.image_offsets;
  const int count = ::vx::FieldCount();
  for (int n = 1; n <= count; ++n) {
    auto field = std::make_unique<TDTField>();
    field->name = ::vx::Field(n);
    field->type = FieldType(n);
    field->length = FieldLen(n);
    field->decimals = FieldDec(n);
    field->offset =
        static_cast<std::uint16_t>(props->image_offsets_[static_cast<std::size_t>(n - 1)]);
    props->fields_.push_back(std::move(field));
  }
  return props;
}

// --- Field classes -----------------------------------------------------------------------------

void TVxIntegerField::CheckTypeSize(int size) const {
  if (size >= 0 && size <= 20) return;
  TIntegerField::CheckTypeSize(size);
}

void TVxFloatField::CheckTypeSize(int size) const {
  if (size >= 0 && size <= 20) return;
  TFloatField::CheckTypeSize(size);
}

void TVxFloatField::GetText(std::string& text, bool display_text) const {
  TFloatField::GetText(text, display_text);
  const auto* table = dynamic_cast<const TVxDataSet*>(DataSet());
  const TDbfFieldProps* props = table != nullptr ? table->FieldProps() : nullptr;
  if (text.empty() || props == nullptr || FieldNo() < 1 || FieldNo() > props->Count()) return;
  char formatted[400];
  std::snprintf(formatted, sizeof formatted, "%.*f", int{props->Field(FieldNo()).decimals},
                AsFloat());
  text = formatted;
  const char separator = FormatSettings().DecimalSeparator;
  if (const std::size_t point = text.find('.'); point != std::string::npos) text[point] = separator;
}

TDateTime EngineDateTextToDateTime(const std::string& text) {
  std::string date = TrimRight(text);
  if (date.size() > 10) date.resize(10);
  if (!IsValidDateText(date) || date == BlankPicture(EffectiveDateStyle())) return 0;
  // The text is read in the engine's own style, whatever the platform's date format is: the
  // two need not agree (a year-first locale writes "2024-03-07", the engine "2024.03.07").
  const double day = TextToDate(date);
  if (day == kBlankDate) return 0;
  return day - DateTimeZeroDay();
}

void TVxDateField::GetText(std::string& text, bool display_text) const {
  TDateField::GetText(text, display_text);
  if (!display_text) return;
  std::string cut = text.substr(0, 10);
  if (IsValidDateText(cut)) text = cut;
}

void TVxDateField::SetTextValue(const std::string& text) {
  std::string date = TrimRight(text);
  if (date.size() > 10) date.resize(10);
  // The blank picture, with or without its trailing blanks, clears the date.
  if (date.find_first_not_of(" /-.") == std::string::npos) {
    Clear();
    return;
  }
  const TDateTime value = EngineDateTextToDateTime(date);
  if (value == 0) {
    // Refused: the field keeps its value and the caller (a grid's editor) keeps the text for
    // the user to correct; clearing the date would throw the stored one away on the next post.
    ShowWarning(kInvalidDate);
    Abort();
  }
  SetAsDateTime(value);
}

// --- TVxDataSet: construction ------------------------------------------------------------------

TVxDataSet::TVxDataSet(TComponent* owner) : TVxPrimDataset(owner) {
  designing_ = ComponentState().Contains(csDesigning);
  if (designing_) SetExceptionMode(true);
}

TVxDataSet::~TVxDataSet() {
  Destroying();
  try {
    Close();
  } catch (...) {
    InternalHandleException();
  }
}

void TVxDataSet::SetDbfFileName(const std::string& name) {
  const bool loading = ComponentState().Contains(csLoading);
  const bool was_active = Active();
  if (!loading) Close();
  std::string file = Trim(name);
  if (!file.empty() && file.back() != '.') file = DefaultExtension(file, "DBF");
  dbf_file_name_ = file;
  FileNameChanged();
  if (!loading && was_active) Open();
}

void TVxDataSet::SetHideDeletedRecs(bool value) {
  hide_deleted_recs_ = value;
  if (!Active() || designing_) return;
  UpdateCursorPos();
  SelectArea("HideDeletedRecs");
  SetIgnoreDel(value);
  ::vx::Resync();
  ResyncAfterEngineMove();
}

// --- Area selection and opening ----------------------------------------------------------------

void TVxDataSet::SelectArea(const std::string& label) {
  if (work_area_ == 0) {
    SetEngineError(1103, Translated("Database is not open") + " [" + Name() + "." + label + "]");
    Abort();  // reached when reporting is switched off
  }
  if (Selected() != work_area_) Select(work_area_);
  AnsiTables = table_language_ == tlAnsi;
}

bool TVxDataSet::OpenTable(const std::string& name) {
  field_props_.reset();
  logical_record_size_ = 0;
  const int previous = Selected();
  {
    QuietErrors quiet;
    EngineErrorCode = 0;
    Select(work_area_);
  }
  if (EngineErrorCode != 0) {
    const std::uint16_t code = EngineErrorCode;
    const std::string message = LastErrorMessage;
    Select(previous);
    SetEngineError(code, message);
    return false;
  }
  AnsiTables = table_language_ == tlAnsi;
  if (!UsesEngine()) {
    Use(name);
    RewriteDbfFields();
    work_area_ = static_cast<std::uint8_t>(Selected());
    field_props_ = TDbfFieldProps::FromSelectedArea(true);
    Use("");
    return true;
  }
  if (!OpenTableFile(name)) {
    // Nothing stays half open: a table that was opened before a later step failed is closed,
    // and the failure's code and message are kept for the caller.
    if (SelectedTable() != nullptr) {
      const std::uint16_t code = EngineErrorCode;
      const std::string message = LastErrorMessage;
      {
        QuietErrors quiet;
        CloseArea();
      }
      EngineErrorCode = code;
      LastErrorCode = code;
      LastErrorMessage = message;
    }
    return false;
  }
  SetIgnoreDel(hide_deleted_recs_);
  if (designing_) RewriteDbfFields();
  work_area_ = static_cast<std::uint8_t>(Selected());
  field_props_ = TDbfFieldProps::FromSelectedArea(false);
  return true;
}

void TVxDataSet::RewriteDbfFields() {
  dbf_fields_.BeginUpdate();
  dbf_fields_.Clear();
  const int count = ::vx::FieldCount();
  for (int n = 1; n <= count; ++n) {
    DbfFieldDefinition definition;
    definition.name = ::vx::Field(n).substr(0, 10);
    definition.type = FieldType(n);
    definition.length = FieldLen(n);
    definition.decimals = FieldDec(n);
    CorrectFieldDefinition(Name(), definition);
    dbf_fields_.Add(definition.name + ", " + std::string(1, definition.type) + ", " +
                    std::to_string(definition.length) + ", " + std::to_string(definition.decimals));
  }
  dbf_fields_.EndUpdate();
}

std::uint16_t TVxDataSet::SlotSize(const TDTField& field) const {
  switch (field.type) {
    case 'C':
    case 'V':
    case 'Q':
      return static_cast<std::uint16_t>(field.length + 1);
    case 'I':
    case '+':
      return 4;
    case 'B':
    case 'O':
    case 'Y':
    case 'T':
    case '@':
      return 8;
    case 'D':
      return 8;
    case 'N':
    case 'F':
      return field.decimals > 0 ? 8 : 4;
    case 'L':
      return 2;
    default:
      return 4;
  }
}

// --- Record interface ----------------------------------------------------------------------

std::string TVxDataSet::VxiErrorText(int code) {
  const std::string text = EngineErrorText();
  return text.empty() ? std::to_string(code) : text;
}

bool TVxDataSet::VxiIsEmpty() { return designing_ ? false : IsEmptyDbf(); }

bool TVxDataSet::IsEmptyDbf() {
  SelectArea("s_IsEmptyDbf");
  return dBOF() && dEOF();
}

int TVxDataSet::VxiSetToBegin() {
  if (!UsesEngine()) return kVxiOk;
  SelectArea("VxiSetToBegin");
  GoTop();
  at_begin_ = true;
  at_end_ = false;
  return kVxiOk;
}

int TVxDataSet::VxiSetToEnd() {
  if (!UsesEngine()) return kVxiOk;
  SelectArea("VxiSetToEnd");
  GoBottom();
  at_end_ = true;
  at_begin_ = false;
  return kVxiOk;
}

int TVxDataSet::VxiOpenTable() {
  if (dbf_file_name_.empty()) return kVxiNoFileName;
  if (OpenTable(dbf_file_name_)) return kVxiOk;
  return EngineErrorCode != 0 ? EngineErrorCode : kVxiOpenFailed;
}

int TVxDataSet::VxiCloseTable() {
  SelectArea("VxiCloseTable");
  if (UsesEngine()) {
    BeforeCloseTable();
    CloseArea();
  }
  work_area_ = 0;
  return kVxiOk;
}

int TVxDataSet::VxiGetRecordCount() {
  if (!UsesEngine()) return 1;
  SelectArea("VxiGetRecordCount");
  return RecCount();
}

int TVxDataSet::VxiForceReread() {
  if (!UsesEngine()) return kVxiOk;
  SelectArea("VxiForceReread");
  SKIP(0);
  return kVxiOk;
}

int TVxDataSet::VxiAppendRecord(TRecordBuffer buffer) {
  buffer[0] = std::byte{0};
  BufferToEngine(buffer);
  LockedAppend();
  at_begin_ = false;
  at_end_ = false;
  return kVxiOk;
}

int TVxDataSet::VxiInsertRecord(TRecordBuffer buffer) { return VxiAppendRecord(buffer); }

int TVxDataSet::VxiDeleteRecord() {
  LockedDelete();
  if (IsEmptyDbf()) ResyncEmpty();
  return kVxiOk;
}

int TVxDataSet::VxiInitRecord(TRecordBuffer buffer) {
  if (!UsesEngine()) return kVxiOk;
  SelectArea("VxiInitRecord");
  ClearRecord();
  return kVxiOk;
}

int TVxDataSet::VxiModifyRecord(TRecordBuffer buffer) {
  if (at_begin_) return kVxiBeforeFirst;
  if (at_end_) return kVxiAfterLast;
  BufferToEngine(buffer);
  LockedReplace();
  return kVxiOk;
}

std::uint16_t TVxDataSet::VxiGetRecordSize() {
  if (logical_record_size_ == 0 && field_props_ != nullptr) {
    std::uint32_t size = 1;
    for (int n = 1; n <= field_props_->Count(); ++n) {
      const TDTField& field = field_props_->Field(n);
      if (field.type == 'C' && field.length > 65534) {
        throw os::Exception("Range check error: character field " + field.name + " of " +
                            std::to_string(field.length));
      }
      size += SlotSize(field);
    }
    if (size > 65535) throw os::Exception("Range check error: record of " + std::to_string(size));
    logical_record_size_ = static_cast<std::uint16_t>(size);
  }
  return logical_record_size_;
}

int TVxDataSet::VxiGetRecord(TRecordBuffer buffer, std::int32_t& record_no) {
  if (at_begin_) return kVxiBeforeFirst;
  if (at_end_) return kVxiAfterLast;
  if (!UsesEngine()) {
    if (buffer != nullptr) EngineToBuffer(buffer);
    record_no = 1;
    return kVxiOk;
  }
  SelectArea("VxiGetRecord");
  if (buffer != nullptr) {
    SKIP(0);
    EngineToBuffer(buffer);
  }
  record_no = ::vx::RecNo();
  return kVxiOk;
}

int TVxDataSet::VxiGetNextRecord(TRecordBuffer buffer, std::int32_t& record_no) {
  if (at_end_) return kVxiAfterLast;
  SelectArea("VxiGetNextRecord");
  if (at_begin_) {
    SKIP(0);  // GoTop already stands on the first record
    at_begin_ = false;
  } else if (!dEOF()) {
    SKIP(1);
  }
  if (dEOF()) {
    if (!dBOF()) SKIP(-1);
    at_end_ = true;
    return kVxiAfterLast;
  }
  if (buffer != nullptr) EngineToBuffer(buffer);
  record_no = ::vx::RecNo();
  return kVxiOk;
}

int TVxDataSet::VxiGetPriorRecord(TRecordBuffer buffer, std::int32_t& record_no) {
  if (at_begin_) return kVxiBeforeFirst;
  SelectArea("VxiGetPriorRecord");
  if (at_end_) {
    SKIP(0);  // GoBottom or the last step forward left the engine on the last record
    at_end_ = false;
  } else if (!dBOF()) {
    SKIP(-1);
  }
  if (dBOF()) {
    at_begin_ = true;
    return kVxiBeforeFirst;
  }
  if (buffer != nullptr) EngineToBuffer(buffer);
  record_no = ::vx::RecNo();
  return kVxiOk;
}

int TVxDataSet::VxiGetField(TField* field, TRecordBuffer record, bool& blank, void* destination) {
  blank = !ReadField(record, field, destination);
  return kVxiOk;
}

int TVxDataSet::VxiPutField(TField* field, TRecordBuffer record, const void* source) {
  WriteField(record, field, source);
  return kVxiOk;
}

int TVxDataSet::VxiSetToRecordNo(std::int32_t record_no) { return SafeGo(record_no); }

int TVxDataSet::VxiSetToBookmark(const void* bookmark) {
  std::int32_t record_no = 0;
  std::memcpy(&record_no, bookmark, sizeof record_no);
  return SafeGo(record_no);
}

int TVxDataSet::SafeGo(std::int32_t record_no) {
  SelectArea("SafeGo");
  if (record_no >= 1 && record_no <= RecCount()) {
    GO(record_no);
    at_begin_ = false;
    at_end_ = false;
  } else {
    VxiSetToEnd();
  }
  return kVxiOk;
}

bool TVxDataSet::VxiLocateRecord(const std::string& key_fields, const Variant& key_values,
                                 bool sync_cursor, TLocateOptions options) {
  SelectArea("VxiLocateRecord");
  const bool exact = !options.Contains(loPartialKey);
  std::vector<std::string> values;
  if (key_values.IsArray()) {
    for (int i = 0; i < key_values.ArrayCount(); ++i)
      values.push_back(key_values.Item(i).AsString());
  } else {
    values.push_back(key_values.AsString());
  }
  if (exact && field_props_ != nullptr) {
    // The engine's exact search compares the whole stored field, trailing blanks included: a
    // character value is padded to its field's width so that "Alien" finds "Alien" in C 20.
    std::size_t start = 0;
    for (std::size_t i = 0; i < values.size() && start <= key_fields.size(); ++i) {
      std::size_t end = key_fields.find(';', start);
      if (end == std::string::npos) end = key_fields.size();
      const std::string name = UpperCase(Trim(key_fields.substr(start, end - start)));
      for (int n = 1; n <= field_props_->Count(); ++n) {
        const TDTField& field = field_props_->Field(n);
        if (field.type == 'C' && field.name == name && values[i].size() < field.length) {
          values[i].resize(field.length, ' ');
        }
      }
      start = end + 1;
    }
  }
  const bool found =
      LocateFields(key_fields, values, options.Contains(loCaseInsensitive), sync_cursor, exact);
  if (found && sync_cursor) {
    at_begin_ = false;
    at_end_ = false;
  }
  return found;
}

int TVxDataSet::VxiGetBookmark(void* destination) {
  std::int32_t record_no = 1;
  if (UsesEngine()) {
    SelectArea("VxiGetBookmark");
    record_no = ::vx::RecNo();
  }
  std::memcpy(destination, &record_no, sizeof record_no);
  return kVxiOk;
}

int TVxDataSet::VxiCompareBookmarks(const void* a, const void* b, int& result) {
  std::int32_t first = 0;
  std::int32_t second = 0;
  std::memcpy(&first, a, sizeof first);
  std::memcpy(&second, b, sizeof second);
  result = first < second ? -1 : (first == second ? 0 : 1);
  return kVxiOk;
}

// --- Conversions between the engine's image and the buffer -------------------------------------

void TVxDataSet::ImageFieldToSlot(const RecordImage& image, int n, char* slot) const {
  const FieldEntry& field = image.Field(n);
  if (IsBinaryField(field) && ValueKind(field) != 'M') {
    // Other writers' binary kinds: integers, doubles (float, currency), a date-time as the
    // framework's day count with the time as its fraction (0: none), V/Q as a string slot.
    switch (ValueKind(field)) {
      case 'N':
        if (ImageHoldsDouble(field)) {
          const double value = image.Number(n);
          std::memcpy(slot, &value, sizeof value);
        } else {
          const auto value = static_cast<std::int32_t>(image.Number(n));
          std::memcpy(slot, &value, sizeof value);
        }
        break;
      case 'T': {
        const double day = image.DateTime(n);
        const double value = day == kBlankDate ? 0 : day - DateTimeZeroDay();
        std::memcpy(slot, &value, sizeof value);
        break;
      }
      default: {
        const std::string_view text = image.Text(n);
        slot[0] = static_cast<char>(text.size());
        std::memcpy(slot + 1, text.data(), text.size());
        std::memset(slot + 1 + text.size(), ' ', field.length - text.size());
        break;
      }
    }
    return;
  }
  switch (field.type) {
    case 'C': {
      // The count byte and the characters, as the buffer's string slot holds them.
      const std::string_view text = image.Text(n);
      slot[0] = image.Slot(n)[0];
      std::memcpy(slot + 1, text.data(), text.size());
      std::memset(slot + 1 + text.size(), ' ', field.length - text.size());
      break;
    }
    case 'D': {
      const double value = EngineDateTextToDateTime(std::string(image.Text(n)));
      std::memcpy(slot, &value, sizeof value);
      break;
    }
    case 'N':
    case 'F':
      if (field.decimals > 0) {
        // Rounded to the field's decimals: the value the table would show.
        char text[400];
        std::snprintf(text, sizeof text, "%.*f", int{field.decimals}, image.Number(n));
        const double value = std::strtod(text, nullptr);
        std::memcpy(slot, &value, sizeof value);
      } else {
        const auto value = static_cast<std::int32_t>(image.Number(n));
        std::memcpy(slot, &value, sizeof value);
      }
      break;
    case 'L':
      slot[0] = image.Logical(n) ? 1 : 0;
      break;
    default: {
      const std::int32_t block = image.MemoBlock(n);
      std::memcpy(slot, &block, sizeof block);
      break;
    }
  }
}

void TVxDataSet::EngineToBuffer(TRecordBuffer buffer) {
  if (field_props_ == nullptr || field_props_->RecordArea() == nullptr) return;
  const RecordImage image = field_props_->Image();
  auto* out = reinterpret_cast<char*>(buffer);
  out[0] = image.Deleted() ? 1 : 0;
  for (int n = 1; n <= field_props_->Count(); ++n) {
    ImageFieldToSlot(image, n, out + field_offsets_[static_cast<std::size_t>(n)]);
  }
}

void TVxDataSet::BufferToEngine(TRecordBuffer buffer, int field_no) {
  if (field_props_ == nullptr || field_props_->RecordArea() == nullptr) return;
  RecordImage image = field_props_->Image();
  const auto* in = reinterpret_cast<const char*>(buffer);
  image.SetDeleted(in[0] != 0);
  const int first = field_no == 0 ? 1 : field_no;
  const int last = field_no == 0 ? field_props_->Count() : field_no;
  std::vector<char> held;
  for (int n = first; n <= last && n <= field_props_->Count(); ++n) {
    const TDTField& field = field_props_->Field(n);
    const char* slot = in + field_offsets_[static_cast<std::size_t>(n)];
    if (field_no == 0) {
      // A field whose buffer value is what the image already holds was not edited.
      held.assign(SlotSize(field), 0);
      ImageFieldToSlot(image, n, held.data());
      if (std::memcmp(held.data(), slot, held.size()) == 0) continue;
    }
    if (IsBinaryField(image.Field(n)) && ValueKind(image.Field(n)) != 'M') {
      switch (ValueKind(image.Field(n))) {
        case 'N':
          if (ImageHoldsDouble(image.Field(n))) {
            double value;
            std::memcpy(&value, slot, sizeof value);
            image.SetNumber(n, value);
          } else {
            std::int32_t value;
            std::memcpy(&value, slot, sizeof value);
            image.SetNumber(n, value);
          }
          break;
        case 'T': {
          double value;
          std::memcpy(&value, slot, sizeof value);
          image.SetDateTime(n, value == 0 ? kBlankDate : value + DateTimeZeroDay());
          break;
        }
        default: {
          const std::size_t count = static_cast<unsigned char>(slot[0]);
          image.SetText(n, std::string_view(slot + 1, std::min<std::size_t>(count, field.length)));
          break;
        }
      }
      continue;
    }
    switch (field.type) {
      case 'C': {
        std::size_t count = static_cast<unsigned char>(slot[0]);
        if (field.length > 255 && count == 255) count = field.length;
        image.SetText(n, std::string_view(slot + 1, std::min<std::size_t>(count, field.length)));
        break;
      }
      case 'D': {
        double value;
        std::memcpy(&value, slot, sizeof value);
        double day = kBlankDate;
        if (value != 0) {
          day = value + DateTimeZeroDay();
          YearMonthDay parts;
          if (!SplitDayNumber(day, parts)) {
            ShowWarning(kInvalidDate);
            day = kBlankDate;
          }
        }
        image.SetDate(n, day);
        break;
      }
      case 'N':
      case 'F':
        if (field.decimals > 0) {
          double value;
          std::memcpy(&value, slot, sizeof value);
          image.SetNumber(n, value);
        } else {
          std::int32_t value;
          std::memcpy(&value, slot, sizeof value);
          image.SetNumber(n, value);
        }
        break;
      case 'L':
        image.SetLogical(n, slot[0] != 0);
        break;
      default: {
        std::int32_t block;
        std::memcpy(&block, slot, sizeof block);
        image.SetMemoBlock(n, block);
        break;
      }
    }
  }
}

bool TVxDataSet::ReadField(TRecordBuffer record, TField* field, void* destination) {
  const int n = field->FieldNo();
  if (n < 1 || static_cast<std::size_t>(n) >= field_offsets_.size()) return false;
  const char* slot =
      reinterpret_cast<const char*>(record) + field_offsets_[static_cast<std::size_t>(n)];
  const auto size = static_cast<std::size_t>(field->DataSize());
  if (destination != nullptr && size > 0) std::memset(destination, 0, size);
  switch (field->DataType()) {
    case ftDate:
    case ftTime:
    case ftDateTime: {
      double value;
      std::memcpy(&value, slot, sizeof value);
      if (value == 0) return false;
      if (destination == nullptr) return true;
      const TTimeStamp stamp = DateTimeToTimeStamp(value);
      if (field->DataType() == ftDateTime) {
        const double msecs = TimeStampToMSecs(stamp);
        std::memcpy(destination, &msecs, sizeof msecs);
      } else {
        const std::int32_t part = field->DataType() == ftDate ? stamp.Date : stamp.Time;
        std::memcpy(destination, &part, sizeof part);
      }
      return true;
    }
    case ftString: {
      if (destination == nullptr) return true;
      const TDTField& described = field_props_->Field(n);
      std::string_view text = SlotText(slot, described.length);
      while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
      std::memcpy(destination, text.data(), std::min(text.size(), size > 0 ? size - 1 : 0));
      return true;
    }
    case ftMemo: {
      // A memo without a block holds nothing (a blank pointer in dBASE and FoxPro tables,
      // block 0 in Visual FoxPro's binary pointer).
      std::int32_t block = 0;
      std::memcpy(&block, slot, sizeof block);
      if (destination != nullptr) std::memcpy(destination, slot, size);
      return block != 0;
    }
    default:
      if (destination != nullptr) std::memcpy(destination, slot, size);
      return true;
  }
}

void TVxDataSet::WriteField(TRecordBuffer record, TField* field, const void* source) {
  const int n = field->FieldNo();
  if (n < 1 || static_cast<std::size_t>(n) >= field_offsets_.size()) return;
  const TDTField& described = field_props_->Field(n);
  char* slot = reinterpret_cast<char*>(record) + field_offsets_[static_cast<std::size_t>(n)];
  const std::size_t slot_size = SlotSize(described);
  if (source == nullptr) {
    std::memset(slot, 0, slot_size);
  } else {
    switch (field->DataType()) {
      case ftDate:
      case ftTime:
      case ftDateTime: {
        TTimeStamp stamp;
        if (field->DataType() == ftDateTime) {
          double msecs;
          std::memcpy(&msecs, source, sizeof msecs);
          stamp = MSecsToTimeStamp(msecs);
        } else {
          std::int32_t part;
          std::memcpy(&part, source, sizeof part);
          if (field->DataType() == ftDate) {
            stamp.Date = part;
          } else {
            stamp.Time = part;
            stamp.Date = kDateDelta;
          }
        }
        const double value = TimeStampToDateTime(stamp);
        std::memcpy(slot, &value, sizeof value);
        break;
      }
      case ftString: {
        const auto* text = static_cast<const char*>(source);
        const std::size_t length = ::strnlen(text, static_cast<std::size_t>(field->DataSize()));
        const std::size_t n_chars = std::min(length, slot_size - 1);
        // Blanks after the text: a wide field (over 255) takes all its characters from here.
        std::memset(slot + 1, ' ', slot_size - 1);
        std::memcpy(slot + 1, text, n_chars);
        slot[0] = static_cast<char>(std::min<std::size_t>(n_chars, 255));
        break;
      }
      default:
        std::memcpy(slot, source, std::min(static_cast<std::size_t>(field->DataSize()), slot_size));
        break;
    }
  }
  BufferToEngine(record, n);
}

// --- Framework operations ----------------------------------------------------------------------

void TVxDataSet::InternalInitFieldDefs() {
  FieldDefs().Clear();
  field_offsets_.clear();
  if (field_props_ == nullptr) DatabaseError(Name() + ".DbfFields undefined. Set Active to TRUE");
  field_offsets_.assign(static_cast<std::size_t>(field_props_->Count()) + 1, 0);
  std::uint32_t offset = 1;
  for (int n = 1; n <= field_props_->Count(); ++n) {
    const TDTField& field = field_props_->Field(n);
    field_offsets_[static_cast<std::size_t>(n)] = static_cast<std::uint16_t>(offset);
    offset += SlotSize(field);
    if (field.name.empty()) continue;
    TFieldType type = ftMemo;
    int size = 0;
    switch (field.type) {
      case 'C':
      case 'V':
      case 'Q':
        type = ftString;
        size = field.length;
        break;
      case 'I':
      case '+':
        type = ftInteger;
        break;
      case 'B':
      case 'O':
        type = ftFloat;
        break;
      case 'Y':
        type = ftCurrency;
        break;
      case 'T':
      case '@':
        type = ftDateTime;
        break;
      case 'D':
        type = ftDate;
        break;
      case 'N':
      case 'F':
        type = field.decimals > 0 ? ftFloat : ftInteger;
        size = field.length;
        break;
      case 'L':
        type = ftBoolean;
        break;
      default:
        type = MemoFieldsAsNumbers() ? ftInteger : ftMemo;
        break;
    }
    TFieldDef& def = FieldDefs().Add(field.name, type, size, false);
    def.SetFieldNo(n);
  }
}

TFieldClass TVxDataSet::GetFieldClass(TFieldType type) const {
  switch (type) {
    case ftInteger:
      return &FieldClassOf<TVxIntegerField>;
    case ftFloat:
      return &FieldClassOf<TVxFloatField>;
    case ftDate:
      return &FieldClassOf<TVxDateField>;
    default:
      return TVxPrimDataset::GetFieldClass(type);
  }
}

void TVxDataSet::InternalCancel() {
  if (ActiveBuffer() != nullptr) std::memset(ActiveBuffer(), 0, BufferSize());
}

TGetResult TVxDataSet::GetRecord(TRecordBuffer buffer, TGetMode mode, bool do_check) {
  if (UsesEngine()) return TVxPrimDataset::GetRecord(buffer, mode, do_check);
  EngineToBuffer(buffer);
  return grOK;
}

void TVxDataSet::Post() {
  if (!InEditModes(State())) return;
  TVxPrimDataset::Post();
  if (UsesEngine() && IsEmptyDbf()) ResyncEmpty();
}

// --- Cursor helpers ----------------------------------------------------------------------------

void TVxDataSet::ResyncEmpty() {
  if (ActiveBuffer() != nullptr) std::memset(ActiveBuffer(), 0, BufferSize());
  at_begin_ = true;
  at_end_ = true;
  Resync({});
}

void TVxDataSet::ResyncAfterEngineMove() {
  if (EngineErrorCode != 0) return;
  if (InEditModes(State())) SetState(dsBrowse);
  if (IsEmptyDbf()) {
    ResyncEmpty();
  } else {
    at_begin_ = false;
    at_end_ = false;
    Resync({rmExact});
  }
  DoAfterScroll();
}

void TVxDataSet::SynchroniseEngine() {
  if (State() == dsInsert) {
    BufferToEngine(ActiveBuffer());
  } else {
    UpdateCursorPos();
  }
}

void TVxDataSet::DoBeforeRestore() {
  if (BeforeRestore) BeforeRestore(this);
}

void TVxDataSet::DoAfterRestore() {
  if (AfterRestore) AfterRestore(this);
}

bool TVxDataSet::IsDeleted() {
  CheckActive();
  return !IsEmpty() && ActiveBuffer()[0] != std::byte{0};
}

void TVxDataSet::Restore() {
  CheckBrowseMode();
  if (IsEmpty()) return;
  DoBeforeRestore();
  UpdateCursorPos();
  LockedRestore();
  DoAfterRestore();
  Resync({});
}

}  // namespace vx
