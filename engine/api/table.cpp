// Tables: schema, reading records into Values, seeking, tags, expressions.

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <vexel/vexel.hpp>

#include "engine/api/internal.h"
#include "engine/expr/expression.h"
#include "engine/foundation/dates.h"
#include "engine/foundation/errors.h"
#include "engine/foundation/number_text.h"
#include "engine/foundation/setting_scope.h"
#include "engine/foundation/settings.h"
#include "engine/foundation/strings.h"
#include "engine/index/cdx_orders.h"
#include "engine/index/orders.h"
#include "engine/memo/memo_storage.h"
#include "engine/table/dbf_file.h"
#include "engine/table/field_values.h"
#include "engine/table/stored_number.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/codepage.h"
#include "platform/os/file.h"
#include "platform/os/path_text.h"

namespace vexel {

using detail::Fail;
using detail::Guarded;
using detail::Scope;

// ---- Records ---------------------------------------------------------------------------------

std::size_t Record::index_of(std::string_view name) const {
  if (fields_ != nullptr) {
    for (std::size_t i = 0; i < fields_->size(); ++i) {
      const std::string& f = (*fields_)[i].name;
      if (f.size() == name.size() &&
          std::equal(f.begin(), f.end(), name.begin(), [](char a, char b) {
            return std::toupper(static_cast<unsigned char>(a)) ==
                   std::toupper(static_cast<unsigned char>(b));
          })) {
        return i;
      }
    }
  }
  Fail(220, "no field " + std::string(name) + " in record " + std::to_string(recno_));
}

const Value& Record::operator[](std::size_t i) const {
  if (i >= values_.size()) Fail(220, "no field number " + std::to_string(i));
  return values_[i];
}
const Value& Record::operator[](std::string_view name) const { return values_[index_of(name)]; }
const std::string& Record::text(std::size_t i) const {
  if (i >= texts_.size()) Fail(220, "no field number " + std::to_string(i));
  return texts_[i];
}
const std::string& Record::text(std::string_view name) const { return texts_[index_of(name)]; }
bool Record::is_null(std::size_t i) const {
  if (i >= values_.size()) Fail(220, "no field number " + std::to_string(i));
  return i < nulls_.size() && nulls_[i];
}
bool Record::is_null(std::string_view name) const { return is_null(index_of(name)); }
const std::vector<Field>& Record::fields() const {
  static const std::vector<Field> none;
  return fields_ != nullptr ? *fields_ : none;
}

namespace detail {

namespace {

std::string_view TrimRight(std::string_view s) {
  // A loop, not find_last_not_of over a set: that searches the set once per byte, and every
  // character field read goes through here.
  std::size_t end = s.size();
  while (end > 0 && (s[end - 1] == ' ' || s[end - 1] == '\0')) --end;
  return s.substr(0, end);
}

std::string_view Trim(std::string_view s) {
  s = TrimRight(s);
  const std::size_t start = s.find_first_not_of(' ');
  return start == std::string_view::npos ? std::string_view() : s.substr(start);
}

// A number field's value: whole numbers of a field without decimals as int64.
Value NumberValue(std::string_view stored, int decimals) {
  const std::optional<vx::StoredNumber> n = vx::ReadStoredNumber(stored);
  if (!n) return std::monostate{};  // blank, the overflow mark "***" or bytes that are no number
  if (decimals == 0 && n->whole) return n->integer;
  return n->real;
}

}  // namespace

std::optional<Date> ParseStoredDate(std::string_view stored) {
  if (stored.size() != 8 ||
      !std::all_of(stored.begin(), stored.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  const auto number = [&](std::size_t at, std::size_t n) {
    int v = 0;
    for (std::size_t i = at; i < at + n; ++i) v = v * 10 + (stored[i] - '0');
    return v;
  };
  Date d{number(0, 4), number(4, 2), number(6, 2)};
  if (!DateIsValid(d)) return std::nullopt;
  return d;
}

bool DateIsValid(const Date& d) {
  const double day = vx::DayNumber(d.year, d.month, d.day);
  vx::YearMonthDay back{};
  return day != vx::kBlankDate && vx::SplitDayNumber(day, back) && back.year == d.year &&
         back.month == d.month && back.day == d.day;
}

std::vector<Field> FieldsOf(const vx::TableRecord& table, int page) {
  std::vector<Field> fields;
  for (const vx::FieldEntry& f : table.fields) {
    // Memo kinds are held as 'M'; the letter as stored tells a picture from a text.
    const char type = f.type == 'M' && f.letter != 0 ? f.letter : f.type;
    fields.push_back({ToUtf8(page, TrimRight(f.name)), type, f.length, f.decimals, BytesField(f),
                      f.null_bit >= 0});
  }
  return fields;
}

std::optional<DateTime> SplitDateTime(const vx::DateTimeValue& value) {
  vx::YearMonthDay d{};
  if (value.day_number == vx::kBlankDate || !vx::SplitDayNumber(value.day_number, d)) {
    return std::nullopt;
  }
  const int ms = value.milliseconds;
  return DateTime{
      {d.year, d.month, d.day}, ms / 3600000, ms / 60000 % 60, ms / 1000 % 60, ms % 1000};
}

bool BytesField(const vx::FieldEntry& f) {
  return vx::HoldsBytes(f) || (f.type == 'M' && f.letter != 0 && f.letter != 'M');
}

namespace {

// A field in one of the binary forms (not a memo): its value and its text.
void BinaryValue(const vx::TableRecord& t, const vx::FieldEntry& f, const char* record, int page,
                 Value& value, std::string& text) {
  bool has_value = false;
  text = vx::BinaryFieldText(t, f, record, &has_value);
  value = std::monostate{};
  switch (vx::ValueKind(f)) {
    case 'N':
      if (const std::optional<double> number = vx::BinaryNumber(f, record)) {
        const bool whole =
            f.storage == vx::FieldStorage::kInt32 || f.storage == vx::FieldStorage::kInt32Flipped;
        value = whole ? Value(static_cast<std::int64_t>(*number)) : Value(*number);
      }
      break;
    case 'T':
      if (const std::optional<vx::DateTimeValue> dt = vx::BinaryDateTime(f, record)) {
        if (const std::optional<DateTime> split = SplitDateTime(*dt)) value = *split;
      }
      if (std::holds_alternative<std::monostate>(value)) text.clear();
      break;
    default:  // V, Q
      if (!BytesField(f)) text = ToUtf8(page, text);
      value = text;
      break;
  }
}

}  // namespace

bool IsMemoType(char type) { return type == 'M' || type == 'B' || type == 'G' || type == 'P'; }

void DecodeStored(char type, int decimals, int page, std::string_view stored, Value& value,
                  std::string& text) {
  switch (type) {
    case 'N':
    case 'F': {
      text.assign(Trim(stored));
      value = NumberValue(stored, decimals);
      return;
    }
    case 'D': {
      text.assign(Trim(stored));
      if (const std::optional<Date> d = ParseStoredDate(stored)) {
        value = *d;
      } else {
        value = std::monostate{};
      }
      return;
    }
    case 'L': {
      const char c = stored.empty() ? ' ' : stored[0];
      text.assign(Trim(stored.substr(0, 1)));
      if (c == 'T' || c == 't' || c == 'Y' || c == 'y') {
        value = true;
      } else if (c == 'F' || c == 'f' || c == 'N' || c == 'n') {
        value = false;
      } else {
        value = std::monostate{};
      }
      return;
    }
    default:  // 'C' and the types this library reads as text
      text = ToUtf8(page, TrimRight(stored));
      value = text;
      return;
  }
}

// A warning for Table::warnings(); past a hundred only their number grows.
void Warn(const Table::Impl& impl, const std::string& warning) {
  constexpr std::size_t kKept = 100;
  std::vector<std::string>& w = impl.warnings;
  if (w.size() < kKept) {
    w.push_back(warning);
  } else if (w.size() == kKept) {
    w.push_back("... and more memos that cannot be read");
  }
}

void DecodeMemo(vx::TableRecord& t, const Table::Impl& impl, const vx::FieldEntry& f,
                const char* record, std::uint32_t recno, Value& value, std::string& text) {
  const std::int32_t block = vx::StoredMemoBlock(t, f, record);
  std::string memo;
  bool binary = false;
  // A read-only open that went on without the memo file (Table::warnings says so): no memo
  // can be read, not even an empty one.
  if (vx::MemoOf(t) == nullptr && impl.options.mode == OpenMode::read_only) {
    value = std::monostate{};
    text.clear();
    return;
  }
  if (block != 0) {
    const std::string where =
        "record " + std::to_string(recno) + " of " + vx::os::PathText(impl.path);
    if (vx::MemoOf(t) == nullptr) {
      Fail(1019, where + " names a memo, but the table has no memo file");
    }
    if (impl.options.mode != OpenMode::read_only) {
      if (!vx::ReadMemo(t, block, memo, &binary)) Fail(1003, "memo unreadable");
    } else {
      bool read;
      std::string why;
      {
        vx::QuietErrors quiet;
        vx::EngineErrorCode = 0;
        read = vx::ReadMemo(t, block, memo, &binary);
        why = vx::LastErrorMessage;
        vx::EngineErrorCode = 0;
      }
      if (!read) {
        // A reader gets the other values; the memo reads as blank, and a warning names it.
        Warn(impl, "the memo of " + where + ", field " + f.name + ", cannot be read (" + why +
                       "); it reads as blank");
        value = std::monostate{};
        text.clear();
        return;
      }
    }
  }
  const bool bytes = binary || BytesField(f);
  text = bytes ? std::move(memo) : ToUtf8(impl.codepage, TrimRight(memo));
  value = text;
}

void DecodeField(vx::TableRecord& t, const Table::Impl& impl, const vx::FieldEntry& f,
                 const char* record, std::uint32_t recno, Value& value, std::string& text,
                 bool& null) {
  null = vx::FieldIsNull(t, f, record);
  if (null) {
    value = std::monostate{};
    text.clear();
  } else if (vx::IsBinaryField(f) && vx::ValueKind(f) != 'M') {
    BinaryValue(t, f, record, impl.codepage, value, text);
  } else if (IsMemoType(f.type)) {
    DecodeMemo(t, impl, f, record, recno, value, text);
  } else {
    DecodeStored(f.type, f.decimals, impl.codepage, std::string_view(record + f.offset, f.length),
                 value, text);
  }
}

bool DecodesPlain(const vx::FieldEntry& f) {
  return !vx::IsBinaryField(f) && !IsMemoType(f.type) && f.null_bit < 0;
}

Record RecordFromBuffer(vx::TableRecord& t, const Table::Impl& impl, std::uint32_t recno) {
  return RecordFromBytes(t, impl, t.record.data(), recno);
}

Record RecordFromBytes(vx::TableRecord& t, const Table::Impl& impl, const char* record,
                       std::uint32_t recno) {
  std::vector<Value> values(t.fields.size());
  std::vector<std::string> texts(t.fields.size());
  std::vector<bool> nulls;
  for (std::size_t i = 0; i < t.fields.size(); ++i) {
    bool null = false;
    DecodeField(t, impl, t.fields[i], record, recno, values[i], texts[i], null);
    if (null) {
      nulls.resize(t.fields.size());
      nulls[i] = true;
    }
  }
  return RecordAccess::Make(recno, record[0] == vx::kDeletedFlag, impl.fields, std::move(values),
                            std::move(texts), std::move(nulls));
}

void GoRecord(const Table::Impl& impl, std::uint32_t recno) {
  const std::int32_t count = vx::RecCount();
  if (recno < 1 || recno > static_cast<std::uint32_t>(count)) {
    Fail(212, "record " + std::to_string(recno) + " is beyond the " + std::to_string(count) +
                  " records of " + vx::os::PathText(impl.path));
  }
  if (vx::CurrentOrder() != 0) vx::Set_Order_To(0);
  vx::GO(static_cast<std::int32_t>(recno));
  if (vx::RecNo() != static_cast<std::int32_t>(recno)) {
    Fail(212, "record " + std::to_string(recno) + " of " + vx::os::PathText(impl.path) +
                  " cannot be read");
  }
}

std::string UpperAscii(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper;
}

int FieldNumber(const Table::Impl& impl, std::string_view name) {
  const std::vector<Field>& fields = *impl.fields;
  const std::string wanted = UpperAscii(name);
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (UpperAscii(fields[i].name) == wanted) return static_cast<int>(i + 1);
  }
  FailInput(220, "no field " + std::string(name) + " in " + vx::os::PathText(impl.path));
}

int TagNumber(const Table::Impl& impl, std::string_view tag) {
  const std::string wanted = UpperAscii(tag);
  for (int n = 1; n <= vx::OrderCount(); ++n) {
    if (UpperAscii(ToUtf8(impl.codepage, vx::OrderTagName(n))) == wanted) return n;
  }
  if (!impl.unsupported_index.empty()) {
    throw NotSupported(220, "no tag " + std::string(tag) + " can be used: " +
                                impl.unsupported_index);
  }
  if (!impl.index_fault.empty()) {
    Fail(impl.index_fault_code, "no tag " + std::string(tag) + " can be used: " + impl.index_fault);
  }
  FailInput(220, "no tag " + std::string(tag) + " in the index of " + vx::os::PathText(impl.path));
}

char SelectTag(const Table::Impl& impl, std::string_view tag) {
  const int n = TagNumber(impl, tag);
  // Selecting a tag puts it on the current record (a descent of the tree): a tag that is
  // already controlling is left as it is.
  if (vx::CurrentOrder() != n) vx::Set_Order_To(n);
  return vx::OrderOf(n)->header.KeyType();
}

std::string NumberText(double v) {
  char buffer[64];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, v);
  return std::string(buffer, end);
}

std::optional<Date> ParseDateText(std::string_view text) {
  if (text.size() == 10 && text[4] == '-' && text[7] == '-') {
    return ParseStoredDate(std::string(text.substr(0, 4)) + std::string(text.substr(5, 2)) +
                           std::string(text.substr(8, 2)));
  }
  return ParseStoredDate(text);
}

namespace {

// A date key given as text: as ParseDateText reads it, or month, day and year as dBASE reads a
// date: MM/DD/YYYY, or MM/DD/YY with a year from 56 in the 1900s; "." or "-" may part them too.
std::optional<Date> KeyDate(std::string_view text) {
  if (const std::optional<Date> d = ParseDateText(text)) return d;
  const std::size_t first = text.find_first_of("/.-");
  if (first == std::string_view::npos) return std::nullopt;
  const std::size_t second = text.find(text[first], first + 1);
  if (second == std::string_view::npos) return std::nullopt;
  // A part of one digit gets a "0" in front; the digits themselves are checked as stored.
  const auto part = [&](std::size_t at, std::size_t end) {
    return (end - at == 1 ? "0" : "") + std::string(text.substr(at, end - at));
  };
  const std::string month = part(0, first), day = part(first + 1, second);
  const std::string year = std::string(text.substr(second + 1));
  if (month.size() != 2 || day.size() != 2 || (year.size() != 2 && year.size() != 4)) {
    return std::nullopt;
  }
  const std::string century = year.size() == 4 ? "" : year >= "56" ? "19" : "20";
  return ParseStoredDate(century + year + month + day);
}

}  // namespace

std::string KeyText(const Table::Impl& impl, char key_type, const Value& key) {
  if (key_type == 'N' || key_type == 'F') {
    if (const auto* i = std::get_if<std::int64_t>(&key)) return std::to_string(*i);
    if (const auto* d = std::get_if<double>(&key)) return NumberText(*d);
    if (const auto* s = std::get_if<std::string>(&key)) {
      // Read as a stored number is (sign, point, exponent), whatever padding it has.
      const Value number = NumberValue(Trim(*s), 1);
      if (const auto* d = std::get_if<double>(&number)) return NumberText(*d);
    }
    FailInput(9, "the tag holds numbers: the key must be a number");
  }
  if (key_type == 'D') {
    std::optional<Date> d;
    if (const auto* date = std::get_if<Date>(&key)) d = *date;
    if (const auto* s = std::get_if<std::string>(&key)) d = KeyDate(*s);
    if (!d || !DateIsValid(*d)) FailInput(9, "the tag holds dates: the key must be a valid Date");
    // With the century: a two-digit year would be read back by the century rule (1902 as 2002).
    const vx::SettingScope century(vx::CenturyOn, true);
    return vx::DateToText(vx::DayNumber(d->year, d->month, d->day));
  }
  if (const auto* s = std::get_if<std::string>(&key)) {
    return FromUtf8(impl.codepage, *s, "the key");
  }
  FailInput(9, "the tag holds characters: the key must be a string");
}

}  // namespace detail

// ---- Tables ----------------------------------------------------------------------------------

Table::Table(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
Table::Table(Table&&) noexcept = default;
Table& Table::operator=(Table&& other) noexcept {
  if (this != &other) {
    detail::Quietly([&] { close(); });
    impl_ = std::move(other.impl_);
  }
  return *this;
}

Table::~Table() {
  detail::Quietly([&] { close(); });
}

namespace {
Table::Impl& Open(const std::shared_ptr<Table::Impl>& impl) {
  if (impl == nullptr || impl->area == 0) Fail(215, "the table is closed");
  return *impl;
}
}  // namespace

void Table::close() {
  if (impl_ == nullptr || impl_->area == 0) return;
  Scope scope(*impl_);
  impl_->record_locks.clear();
  impl_->append_locked = false;
  const int area = impl_->area;
  impl_->area = 0;
  Guarded([&] {
    impl_->cdx.reset();
    vx::CurrentArea = static_cast<std::uint8_t>(area);
    // An append batch still open writes what it holds back before the area goes.
    try {
      detail::EndAppendBatch(*impl_);
    } catch (...) {
      vx::CloseArea();
      throw;
    }
    vx::CloseArea();
  });
}

bool Table::is_open() const noexcept { return impl_ != nullptr && impl_->area != 0; }

const std::vector<Field>& Table::fields() const { return *Open(impl_).fields; }

std::optional<std::size_t> Table::field_index(std::string_view name) const {
  const std::vector<Field>& fields = *Open(impl_).fields;
  const std::string wanted = detail::UpperAscii(name);
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (detail::UpperAscii(fields[i].name) == wanted) return i;
  }
  return std::nullopt;
}

std::uint32_t Table::size() const {
  Scope scope(Open(impl_));
  return Guarded([&] { return static_cast<std::uint32_t>(std::max(0, vx::RecCount())); });
}

int Table::codepage() const { return Open(impl_).codepage; }
std::filesystem::path Table::path() const { return Open(impl_).path; }
OpenMode Table::mode() const { return Open(impl_).options.mode; }
int Table::version() const { return Open(impl_).version; }
const std::vector<std::string>& Table::warnings() const { return Open(impl_).warnings; }

Record Table::read(std::uint32_t recno) const {
  Impl& impl = Open(impl_);
  Scope scope(impl);
  return Guarded([&] {
    detail::GoRecord(impl, recno);
    impl.positioned_by = 0;
    return detail::RecordFromBuffer(impl.table(), impl, recno);
  });
}

namespace {

// Seeks `key` in `tag`; answers the record it stands on (then in the table's buffer), if any.
// The tag stays controlling, so that the next seek in it needs no selection; whatever walks
// file order selects natural order first.
std::optional<std::uint32_t> SeekIn(Table::Impl& impl, std::string_view tag, const Value& key,
                                    SeekMode mode) {
  impl.positioned_by = 0;
  const char type = detail::SelectTag(impl, tag);
  const std::string text = detail::KeyText(impl, type, key);
  vx::KeyPadding = mode == SeekMode::exact;
  vx::SoftSeek = mode == SeekMode::soft;
  const bool found = vx::FindStored(text);
  const bool stands = found || (mode == SeekMode::soft && !vx::dEOF());
  if (!stands) return std::nullopt;
  return static_cast<std::uint32_t>(vx::RecNo());
}

// Seeks in an .NDX the table was opened with, a tag of its .CDX or of its .MDX.
std::optional<std::uint32_t> SeekAny(Table::Impl& impl, std::string_view tag, const Value& key,
                                     SeekMode mode) {
  if (const std::optional<std::string> ndx = detail::NdxNamed(impl, tag)) {
    impl.positioned_by = 0;
    return detail::NdxSeek(impl, *ndx, key, mode);
  }
  return detail::UsesCdx(impl) ? detail::CdxSeek(impl, tag, key, mode)
                               : SeekIn(impl, tag, key, mode);
}

}  // namespace

std::optional<std::uint32_t> Table::seek(std::string_view tag, const Value& key,
                                         SeekMode mode) const {
  Impl& impl = Open(impl_);
  Scope scope(impl);
  return Guarded([&] { return SeekAny(impl, tag, key, mode); });
}

std::optional<Record> Table::find(std::string_view tag, const Value& key, SeekMode mode) const {
  Impl& impl = Open(impl_);
  Scope scope(impl);
  return Guarded([&]() -> std::optional<Record> {
    const std::optional<std::uint32_t> recno = SeekAny(impl, tag, key, mode);
    if (!recno) return std::nullopt;
    return detail::RecordFromBuffer(impl.table(), impl, *recno);
  });
}

std::vector<TagInfo> Table::tags() const {
  Impl& impl = Open(impl_);
  Scope scope(impl);
  return Guarded([&] {
    const bool cdx = detail::UsesCdx(impl);
    std::vector<TagInfo> tags = cdx ? detail::CdxTags(impl) : std::vector<TagInfo>();
    for (int n = 1; !cdx && n <= vx::OrderCount(); ++n) {
      const vx::OrderTag* tag = vx::OrderOf(n);
      TagInfo info;
      info.name = detail::ToUtf8(impl.codepage, tag->name);
      info.key = detail::ToUtf8(impl.codepage, tag->header.KeyExpression());
      if (tag->header.HasFor()) {
        info.for_expr = detail::ToUtf8(impl.codepage, tag->header.ForExpression());
      }
      info.descending = tag->header.Descending();
      info.unique = tag->header.Unique();
      info.key_type = tag->header.KeyType() == 'F' ? 'N' : tag->header.KeyType();
      tags.push_back(std::move(info));
    }
    for (TagInfo& ndx : detail::NdxTags(impl)) tags.push_back(std::move(ndx));
    return tags;
  });
}

// ---- Expressions -----------------------------------------------------------------------------

struct Expression::Impl {
  std::shared_ptr<Engine::Impl> engine;
  std::shared_ptr<Table::Impl> table;  // none: an expression over no table
  vx::Expr expr;
  std::string text;
  int page = 0;        // the code page of its text
  int memo_field = 0;  // the memo field it names alone
  char type = 'C';
  int width = 0;
  int decimals = 0;
  ~Impl() { detail::FreeExpression(engine, expr); }
  void Compile(std::string_view utf8) {
    const std::string stored = detail::FromUtf8(page, utf8, "the expression");
    expr = detail::CompileExpression(stored, page);
    memo_field = detail::MemoFieldNamed(stored);
    type = expr->result_type;
    width = expr->result_width;
    decimals = expr->result_decimals;
  }
  Value Evaluate() const {
    return detail::ExpressionValue(*expr.get(), memo_field, page, [&](std::string_view stored) {
      return detail::ToUtf8(page, stored);
    });
  }
};

Expression::Expression(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Expression::Expression(Expression&&) noexcept = default;
Expression& Expression::operator=(Expression&&) noexcept = default;
Expression::~Expression() = default;
char Expression::type() const { return impl_->type; }
int Expression::width() const { return impl_->width; }
int Expression::decimals() const { return impl_->decimals; }
const std::string& Expression::text() const { return impl_->text; }

Expression Table::compile(std::string_view text) const {
  Impl& impl = Open(impl_);
  Scope scope(impl);
  auto e = std::make_unique<Expression::Impl>();
  e->engine = impl.engine;
  e->table = impl_;
  e->text = text;
  e->page = impl.codepage;
  Guarded([&] { e->Compile(text); });
  return Expression(std::move(e));
}

Value Table::eval(const Expression& expression, std::uint32_t recno) const {
  Impl& impl = Open(impl_);
  if (expression.impl_ == nullptr || expression.impl_->table != impl_) {
    Fail(220, "the expression was compiled for another table");
  }
  Scope scope(impl);
  return Guarded([&] {
    if (recno == 0) {
      detail::ClearNewRecord(impl.table());
    } else {
      detail::GoRecord(impl, recno);
    }
    impl.positioned_by = 0;
    return expression.impl_->Evaluate();
  });
}

Value Table::eval(std::string_view expression, std::uint32_t recno) const {
  return eval(compile(expression), recno);
}

Expression compile(std::string_view text) {
  auto e = std::make_unique<Expression::Impl>();
  // An engine of its own, whose areas hold no table.
  e->engine = std::make_shared<Engine::Impl>();
  e->text = text;
  e->page = vx::os::AnsiCodePage();
  Scope scope(e->engine);
  Guarded([&] {
    vx::Select(0);
    e->Compile(text);
  });
  return Expression(std::move(e));
}

Value evaluate(const Expression& expression) {
  if (expression.impl_ == nullptr || expression.impl_->table != nullptr) {
    Fail(220, "the expression was compiled for a table: Table::eval evaluates it");
  }
  Scope scope(expression.impl_->engine);
  return Guarded([&] { return expression.impl_->Evaluate(); });
}

Value evaluate(std::string_view expression) { return evaluate(compile(expression)); }

namespace detail {

namespace {

// The engine's message (in `page`'s bytes) as an ExpressionError; 351 when it gave no code.
[[noreturn]] void FailExpression(int code, std::string_view message, int page) {
  throw ExpressionError(code != 0 ? code : 351,
                        vx::os::DecodeCodePage(page, message, vx::os::OnFault::kReplace).text);
}

}  // namespace

void ExpressionStep(int page, const std::function<void()>& step) {
  try {
    step();
  } catch (const vx::EVexelError& e) {
    const int code = vx::LastErrorCode;
    vx::EngineErrorCode = 0;
    vx::LastErrorCode = 0;
    FailExpression(code, e.what(), page);
  }
}

vx::Expr CompileExpression(const std::string& stored, int page) {
  vx::Expr e;
  ExpressionStep(page, [&] { e = vx::Expr::Compile(stored); });
  if (!e) FailExpression(vx::EngineErrorCode, vx::EngineErrorText(), page);
  return e;
}

int MemoFieldNamed(const std::string& stored) {
  const vx::TableRecord* t = vx::SelectedTable();
  if (t == nullptr) return 0;
  const int n = vx::FieldNo(vx::TrimText(stored));
  return n > 0 && t->fields[static_cast<std::size_t>(n - 1)].type == 'M' ? n : 0;
}

Value ExpressionValue(vx::CompiledExpr& e, int memo_field, int page,
                      const std::function<std::string(std::string_view)>& to_utf8) {
  vx::CaseCodePage = page;
  const void* result = nullptr;
  ExpressionStep(page, [&] { result = vx::Evaluate(&e); });
  if (result == nullptr) throw ExpressionError(358, "the expression could not be evaluated");
  switch (e.result_type) {
    case 'N': {
      const double v = *static_cast<const double*>(result);
      // As a field's: whole when the expression has no decimals (its type does not change
      // from record to record).
      if (e.result_decimals == 0 && std::nearbyint(v) == v && std::fabs(v) < 9.0e15) {
        return static_cast<std::int64_t>(v);
      }
      return v;
    }
    case 'D': {
      vx::YearMonthDay d{};
      if (!vx::SplitDayNumber(*static_cast<const double*>(result), d)) return std::monostate{};
      return Date{d.year, d.month, d.day};
    }
    case 'L':
      return *static_cast<const std::int32_t*>(result) != 0;
    default:
      break;
  }
  std::string_view value(static_cast<const char*>(result), e.result_length);
  std::string memo;
  vx::TableRecord* t = vx::SelectedTable();
  if (e.result_type == 'M' && memo_field > 0 && t != nullptr) {
    const vx::FieldEntry& f = t->fields[static_cast<std::size_t>(memo_field - 1)];
    const std::int32_t block = vx::StoredMemoBlock(*t, f, t->record.data());
    if (block > 0 && vx::MemoOf(*t) != nullptr) {
      // A memo that cannot be read keeps the value the expression gave.
      vx::QuietErrors quiet;
      if (vx::ReadMemo(*t, block, memo)) {
        value = memo;
      } else {
        vx::EngineErrorCode = 0;
        vx::TakeErrorMessage();
      }
    }
  }
  return to_utf8(value);
}

}  // namespace detail

std::optional<std::string> number_field_text(double value, int length, int decimals) {
  return vx::NumberFieldText(value, length, decimals);
}

}  // namespace vexel
