#include "engine/workarea/locate.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <span>

#include "engine/foundation/dates.h"
#include "engine/foundation/errors.h"
#include "engine/foundation/file_utils.h"
#include "engine/foundation/settings.h"
#include "engine/foundation/strings.h"
#include "engine/foundation/text_utils.h"
#include "engine/table/dbf_records.h"
#include "engine/workarea/hooks.h"
#include "engine/workarea/locks.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/record_image.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/codepage.h"

namespace vx {

namespace {

constexpr const char* kLocateCommand = "Locate/Count/Sum";
// The largest block the read-ahead cache takes, whatever PeekCacheSize asks for.
constexpr std::uint32_t kMaxPeekBlock = 65520;

constexpr EngineField<&WorkAreaState::peek_cache> cache;

// Where a field lies in the record; field 0 is the deletion flag.
struct FieldSpan {
  std::uint32_t offset;
  std::uint32_t length;
};

FieldSpan SpanOf(const TableRecord& t, int field) {
  if (field == 0) return {0, 1};
  const FieldEntry& f = t.fields[static_cast<std::size_t>(field - 1)];
  return {f.offset, f.length};
}

std::string PeekContext(const TableRecord& t, int field, std::int32_t r) {
  return "DBF: " + t.file_name + " [Peek(" + std::to_string(field) + "," + std::to_string(r) + ")]";
}

// Records a failed or short read: the I/O code, or 100 when the file simply ended early.
void ReadFailed(const TableRecord& t, int io, int field, std::int32_t r) {
  SetEngineError(static_cast<std::uint16_t>(io != 0 ? io : os::kIoDiskReadError),
                 PeekContext(t, field, r));
}

// Fills the cache with the records from r on. Only whole records that were read and lie within
// the table's record count are taken, so a file shorter than its count never leaves stale or
// partial bytes in the block. Answers false after recording the error.
bool LoadCache(TableRecord& t, int field, std::int32_t r) {
  const std::int64_t half_max = (static_cast<std::int64_t>(MaxAvail()) + 1) / 2;
  const std::int64_t size = std::min<std::int64_t>({PeekCacheSize, kMaxPeekBlock, half_max});
  std::int64_t records = std::min<std::int64_t>(size / t.record_length, t.record_count);
  if (records == 0) {
    if (t.record_length > half_max) {
      SetEngineError(217, "Insufficient memory for cache [Peek]");
      return false;
    }
    records = 1;
  }
  records = std::min<std::int64_t>(records, t.record_count - r + 1);
  cache->table_key.clear();
  cache->count = 0;
  cache->block.resize(static_cast<std::size_t>(records) * t.record_length);
  std::size_t got = 0;
  const int io =
      t.file.ReadAt(t.RecordOffset(r), std::as_writable_bytes(std::span(cache->block)), got);
  EngineErrorCode = static_cast<std::uint16_t>(io);
  const std::size_t whole = got / t.record_length;
  if (io != 0 || whole == 0) {
    cache->Drop();
    ReadFailed(t, io, field, r);
    return false;
  }
  cache->table_key = t.table_key;
  cache->first = r;
  cache->count = static_cast<std::uint16_t>(whole);
  cache->record_length = t.record_length;
  return true;
}

// Reads `span` of stored record r, through the cache when PeekCacheSize asks for one. Answers
// false after recording the error; `out` then is empty.
bool ReadStored(TableRecord& t, int field, std::int32_t r, FieldSpan span, std::string& out) {
  out.clear();
  if (!cache->table_key.empty() && !cache->Belongs(t)) cache->Drop();
  if (PeekCacheSize == 0) {
    std::string bytes(span.length, '\0');
    std::size_t got = 0;
    const int io = t.file.ReadAt(t.RecordOffset(r) + span.offset,
                                 std::as_writable_bytes(std::span(bytes)), got);
    EngineErrorCode = static_cast<std::uint16_t>(io);
    if (io != 0 || got < bytes.size()) {
      ReadFailed(t, io, field, r);
      return false;
    }
    out = std::move(bytes);
    return true;
  }
  if (!cache->Holds(t, r) && !LoadCache(t, field, r)) return false;
  out.assign(cache->Record(r) + span.offset, span.length);
  return true;
}

// Whether the selected table holds record r and field `field` (0 = the deletion flag).
bool InRange(const TableRecord& t, int field, std::int32_t r) {
  return r >= 1 && r <= t.record_count && field >= 0 && field <= t.field_count;
}

// Formats a number as an N or F field stores it: right-aligned in `width` with `decimals`, or
// `width` "*" when it does not fit.
std::string StoredNumber(double value, int width, int decimals) {
  if (value == 0) value = 0;  // no "-0"
  const int n = std::snprintf(nullptr, 0, "%.*f", decimals, value);
  std::string text(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
  std::snprintf(text.data(), text.size() + 1, "%.*f", decimals, value);
  const auto field_width = static_cast<std::size_t>(width);
  if (text.size() > field_width) return std::string(field_width, '*');
  return std::string(field_width - text.size(), ' ') + text;
}

// Reads a number written by a person: blanks around it, an optional sign, "." or the decimal
// separator in force. Answers false for anything else, infinities and NaN included.
bool ParseNumber(std::string_view text, double& value) {
  std::string number = TrimText(text);
  if (!number.empty() && number[0] == '+') number.erase(0, 1);
  if (number.empty()) return false;
  if (DecimalSeparator != '.') std::replace(number.begin(), number.end(), *DecimalSeparator, '.');
  const char* end = number.data() + number.size();
  const auto result = std::from_chars(number.data(), end, value);
  return result.ec == std::errc() && result.ptr == end && std::isfinite(value);
}

// Whether a date text holds nothing but blanks and date separators.
bool IsBlankDate(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) {
    return c == ' ' || c == '\0' || c == '/' || c == '-' || c == '.';
  });
}

// The search text of a value for a field: the value as the record stores it. Answers false when
// the value cannot be stored in the field at all (no number, no date), so that it matches
// nothing rather than everything.
bool SearchTextFor(const FieldEntry& f, std::string_view value, std::string& out) {
  switch (f.type) {
    case 'D': {
      if (IsBlankDate(value)) {
        out = kBlankStoredDate;
        return true;
      }
      const double day = TextToDate(value);
      if (day == kBlankDate) return false;
      out = DayNumberToStored(day);
      return true;
    }
    case 'N':
    case 'F': {
      double number = 0;
      if (!ParseNumber(value, number)) return false;
      out = StoredNumber(number, f.length, f.decimals);
      return true;
    }
    case 'L': {
      const char c = value.empty() ? ' ' : value[0];
      out = (c == 'T' || c == 't' || c == 'Y' || c == 'y') ? "T" : "F";
      return true;
    }
    default:
      out.assign(value);
      return true;
  }
}

// A field of a virtual table's record image as search text.
std::string ImageFieldText(const RecordImage& image, int n) {
  const FieldEntry& f = image.Field(n);
  switch (f.type) {
    case 'C':
    case 'D':
      return std::string(image.Text(n));
    case 'L':
      return image.Logical(n) ? "T" : "F";
    default:
      return StoredNumber(image.Number(n), f.length, f.type == 'M' ? 0 : f.decimals);
  }
}

// FieldText for a table known to be in use; answers false after recording an error.
//
// The stored bytes of a file table are translated the way a record read translates them (the
// read hook, then OEM to ANSI), so that they compare with a search value in the engine's
// character set. OEM conversion maps byte to byte and is applied to the field alone; a read
// hook sees whole records, so the whole record is read for it.
bool FieldTextOf(TableRecord& t, int field, std::int32_t r, std::string& out) {
  out.clear();
  if (t.is_virtual) {
    if (r < 1 || r > t.record_count || field < 1 || field > t.field_count) return true;
    GO(r);
    if (t.record_number != r) return false;
    out = ImageFieldText(RecordImage::Of(t), field);
    return true;
  }
  if (!InRange(t, field, r)) return true;
  const FieldSpan span = SpanOf(t, field);
  if (field == 0) return ReadStored(t, field, r, span, out);
  if (t.read_hook != nullptr) {
    std::string record;
    if (!ReadStored(t, field, r, {0, t.record_length}, record)) return false;
    TranslateRecords(TranslateDirection::kRead, t, t.read_hook, record.size(), record.data());
    out = record.substr(span.offset, span.length);
    return true;
  }
  if (!ReadStored(t, field, r, span, out)) return false;
  if (t.oem && field >= 1 && field <= static_cast<int>(t.fields.size()) &&
      TranslatedField(t.fields[static_cast<std::size_t>(field - 1)])) {
    os::OemToAnsiBuffer(out);
  }
  return true;
}

// Upper case in the page the searched text is in: the table's own, or the ANSI page when the
// engine converts the table's OEM text.
std::string UpperIn(const TableRecord& t, std::string text) {
  if (t.oem || t.code_page == 0) return UpperText(text);
  const os::PageCase& page = os::CaseOfPage(t.code_page);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    text[i] = static_cast<char>(page.upper[byte]);
    if (page.lead[byte]) ++i;  // the second byte of a double-byte character is no letter
  }
  return text;
}

bool IsHit(const TableRecord& t, std::string text) {
  if (!ExactMatch && !Contained && text.size() > SearchValue->size()) {
    text.resize(SearchValue->size());
  }
  if (!CaseSensitive) text = UpperIn(t, std::move(text));
  return Contained ? text.find(SearchValue) != std::string::npos : text == SearchValue;
}

// Searches the memo of record r line by line. Answers false when the search must stop (an
// error was recorded); `hit` tells whether a line contains SearchValue->
bool MemoHit(TableRecord& t, int field, std::int32_t r, bool& hit) {
  hit = false;
  std::string number;
  if (!FieldTextOf(t, field, r, number)) return false;
  std::int32_t block = 0;
  const std::string digits = TrimText(number);
  const auto parsed = std::from_chars(digits.data(), digits.data() + digits.size(), block);
  if (parsed.ec != std::errc() || block <= 0) return true;
  std::string memo;
  if (!MemoHooks->AssignMemo(t, block, memo)) return EngineErrorCode == 0;
  std::size_t start = 0;
  while (start <= memo.size()) {
    std::size_t end = memo.find_first_of("\r\n", start);
    if (end == std::string::npos) end = memo.size();
    std::string line = memo.substr(start, end - start);
    if (!CaseSensitive) line = UpperIn(t, std::move(line));
    if (line.find(SearchValue) != std::string::npos) {
      hit = true;
      return true;
    }
    start = end + 1;
  }
  return true;
}

// Leaves the area at EOF after a search without a hit.
void EndWithoutHit(TableRecord& t) {
  GoBottom();
  if (t.record_count > 0 && !dEOF()) SKIP(1);
}

// Switches an area's relation off for a scope.
class RelationOff {
 public:
  explicit RelationOff(TableRecord& t) : table_(t), relation_(t.relation) { t.relation = nullptr; }
  ~RelationOff() { table_.relation = relation_; }
  RelationOff(const RelationOff&) = delete;
  RelationOff& operator=(const RelationOff&) = delete;

 private:
  TableRecord& table_;
  void* relation_;
};

}  // namespace

int LocateParse(std::string_view search) {
  TableRecord* t = InUse(kLocateCommand);
  if (t == nullptr) return 0;
  std::string name(search);
  CaseSensitive = !TakeKeyword(" NOCASE", name);
  ExactMatch = TakeKeyword(" EXACT", name);
  Contained = TakeKeyword(" CONTAINED", name);
  name = TrimText(name);
  if (name.empty()) {
    SetEngineError(220, "No field name specified [Locate/Count/Sum]");
    return 0;
  }
  const int field = FieldNo(name);
  if (field == 0) {
    SetEngineError(220, "Unrecognized field name [Locate/Count/Sum(" + std::string(search) + ")]");
  }
  return field;
}

void LocateFrom(std::int32_t start, int field) {
  TableRecord* t = InUse(kLocateCommand);
  if (t == nullptr) return;
  if (field < 1 || field > t->field_count) {
    SetEngineError(220, "Invalid field number. [Locate/Count/Sum(" + std::to_string(field) + ")]");
    return;
  }
  const bool memo = t->fields[static_cast<std::size_t>(field - 1)].type == 'M';
  if (memo && (!MemoHooks->present || MemoHooks->AssignMemo == nullptr)) {
    SearchField = 0;
    SetEngineError(220, "MEMO unit not linked in [Count/Sum/Continue]");
    return;
  }
  if (start <= 1) {
    start = 1;
    if (!ExactMatch) SearchValue->erase(SearchValue->find_last_not_of(' ') + 1);
    if (!CaseSensitive) SearchValue = UpperIn(*t, *SearchValue);
  }
  SearchField = static_cast<std::uint8_t>(field);
  EngineErrorCode = 0;
  // The search reads the file itself: appended records waiting behind must be there first.
  if (!FlushAppends(*t)) return;
  const std::int32_t last = RecCount();
  for (std::int32_t r = start; r <= last; ++r) {
    bool hit = false;
    if (memo) {
      if (!MemoHit(*t, field, r, hit)) return;
    } else {
      std::string text;
      if (!FieldTextOf(*t, field, r, text)) return;
      hit = IsHit(*t, std::move(text));
    }
    if (hit) {
      GO(r);
      return;
    }
  }
  EndWithoutHit(*t);
  SearchField = 0;
}

bool Locate(std::string_view search, std::string_view value) {
  const int field = LocateParse(search);
  if (field == 0) return false;
  SearchValue->assign(value);
  LocateFrom(1, field);
  return !dEOF();
}

void Continue() {
  if (SearchField == 0) {
    SetEngineError(220, "Call to CONTINUE not preceeded by call to LOCATE. [Continue]");
    return;
  }
  TableRecord* t = InUse(kLocateCommand);
  if (t == nullptr) return;
  LocateFrom(t->record_number + 1, SearchField);
}

bool LocateField(std::string_view search, std::string_view value, bool case_insensitive,
                 bool exact) {
  TableRecord* t = InUse(kLocateCommand);
  if (t == nullptr) return false;
  std::string name = TrimText(search);
  name = name.substr(0, name.find(' '));
  if (case_insensitive) name += " NOCASE";
  if (exact) name += " EXACT";
  SearchValue->clear();
  const int field = LocateParse(name);
  if (field == 0) return false;
  const FieldEntry& f = t->fields[static_cast<std::size_t>(field - 1)];
  if (f.type == 'M' && t->is_virtual) {
    EndWithoutHit(*t);
    SearchField = static_cast<std::uint8_t>(field);
    return false;
  }
  std::string wanted;
  if (!SearchTextFor(f, value, wanted)) {
    EndWithoutHit(*t);
    SearchField = 0;
    return false;
  }
  SearchValue = std::move(wanted);
  LocateFrom(1, field);
  while (!dEOF() && !IsVisible(*t)) {
    const std::int32_t before = t->record_number;
    Continue();
    // A quiet failure leaves the position where it was; asking again would find it again.
    if (EngineErrorCode != 0 || (t->record_number <= before && !dEOF())) break;
  }
  return !dEOF() && IsVisible(*t);
}

bool LocateFields(std::string_view fields, const std::vector<std::string>& values,
                  bool case_insensitive, bool move, bool exact) {
  TableRecord* t = InUse(kLocateCommand);
  if (t == nullptr) return false;
  const std::int32_t remembered = t->record_number;
  bool found = false;
  {
    RelationOff relation_off(*t);
    if (fields.find(';') == std::string_view::npos) {
      found = !values.empty() && LocateField(fields, values[0], case_insensitive, exact);
    } else {
      std::size_t start = 0;
      for (std::size_t i = 0; !found && start <= fields.size(); ++i) {
        std::size_t end = fields.find(';', start);
        if (end == std::string_view::npos) end = fields.size();
        // A field without a value has nothing to look for.
        if (i < values.size()) {
          found =
              LocateField(fields.substr(start, end - start), values[i], case_insensitive, exact);
        }
        start = end + 1;
      }
    }
    if ((!found || !move) && remembered >= 1 && remembered <= RecCount()) GO(remembered);
  }
  return found;
}

std::string FieldText(int field, std::int32_t r) {
  TableRecord* t = InUse("Peek");
  if (t == nullptr) return {};
  std::string text;
  FieldTextOf(*t, field, r, text);
  return text;
}

std::string Peek(int field, std::int32_t r) {
  TableRecord* t = InUse("Peek");
  if (t == nullptr) return {};
  if (t->is_virtual) {
    SetEngineError(1100, "Operation cannot be used on virtual files. [Peek]");
    return {};
  }
  if (!InRange(*t, field, r)) return {};
  // Peek reads the file itself: appended records waiting behind must be there first.
  if (!FlushAppends(*t)) return {};
  std::string out;
  ReadStored(*t, field, r, SpanOf(*t, field), out);
  return out;
}

void Poke(std::string_view text, int field, std::int32_t r) {
  TableRecord* t = InUse("Poke");
  if (t == nullptr) return;
  std::string context =
      "[Poke(" + std::string(text) + "," + std::to_string(field) + "," + std::to_string(r) + ")]";
  if (context.size() > 100) context.resize(100);
  if (t->is_virtual) {
    SetEngineError(1100, "Operation cannot be used on virtual files." + context);
    return;
  }
  if (!t->exclusive && SharingEnabled && t->lock_state != kLockFile &&
      (t->lock_state == kLockAppend || !HoldsRecordLock(*t, r))) {
    SetEngineError(1200, "Record not locked " + context);
    return;
  }
  if (!InRange(*t, field, r)) return;
  const FieldSpan span = SpanOf(*t, field);
  const std::size_t length = std::min<std::size_t>(text.size(), span.length);
  if (length == 0) return;
  // Poke writes the file itself: records waiting behind go first, and a read-ahead block would
  // no longer match the file.
  if (!FlushAppends(*t)) return;
  DropReadBlock(*t);
  const std::span<const char> bytes(text.data(), length);
  const int io = t->file.WriteAt(t->RecordOffset(r) + span.offset, std::as_bytes(bytes));
  EngineErrorCode = static_cast<std::uint16_t>(io);
  if (io != 0) {
    SetEngineError(static_cast<std::uint16_t>(io), context);
    return;
  }
  // The file changed: closing writes the date of last update, as after any other record write.
  if (t->state != kStateAppended) t->state = kStateRewritten;
  if (FlushAfterWrite) FlushFile(t->file);
  if (cache->Holds(*t, r)) std::memcpy(cache->Record(r) + span.offset, text.data(), length);
}

void RefreshPeekCache(TableRecord& t) {
  const std::int32_t r = t.record_number;
  if (!cache->Holds(t, r)) return;
  // The record buffer holds the record translated for reading; the block must hold the stored
  // bytes, which only the file has exactly (translations need not be reversible). Read them
  // back; when that fails the block can no longer be trusted.
  std::size_t got = 0;
  const int io = t.file.ReadAt(
      t.RecordOffset(r), std::as_writable_bytes(std::span(cache->Record(r), t.record_length)), got);
  if (io != 0 || got < t.record_length) cache->Drop();
}

void DropPeekCache(const TableRecord& t) {
  if (cache->Belongs(t)) cache->Drop();
}

std::uint16_t PeekCacheRecords() { return cache->count; }

std::int32_t PeekCacheFirstRecord() { return cache->count == 0 ? 0 : cache->first; }

}  // namespace vx
