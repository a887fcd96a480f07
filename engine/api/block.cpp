// Record blocks: records kept as stored, decoded field by field or column by column.

#include <cmath>
#include <limits>
#include <vexel/block.hpp>

#include "engine/api/internal.h"
#include "engine/foundation/dates.h"
#include "engine/memo/memo_file.h"
#include "engine/memo/memo_storage.h"
#include "engine/table/dbf_file.h"
#include "engine/table/field_values.h"
#include "engine/table/stored_number.h"

namespace vexel {

using detail::Fail;
using detail::Guarded;
using detail::Scope;

std::shared_ptr<const RecordBlock::Layout> BlockAccess::LayoutOf(const vx::TableRecord& table,
                                                                 const Table::Impl& impl) {
  auto layout = std::make_shared<RecordBlock::Layout>();
  layout->record_length = table.record_length;
  layout->codepage = impl.codepage;
  layout->fields = impl.fields;
  for (const vx::FieldEntry& f : table.fields) {
    layout->columns.push_back(
        {f.offset, f.length, f.type, f.decimals, detail::DecodesPlain(f), vx::ValueKind(f)});
  }
  return layout;
}

void BlockAccess::Start(RecordBlock& block, const std::shared_ptr<Table::Impl>& table,
                        const std::shared_ptr<const RecordBlock::Layout>& layout) {
  block.table_ = table;
  block.layout_ = layout;
  block.bytes_.clear();
  block.recnos_.clear();
}

char* BlockAccess::Grow(RecordBlock& block, std::size_t count) {
  const std::size_t at = block.bytes_.size();
  block.bytes_.resize(at + count * block.layout_->record_length);
  return block.bytes_.data() + at;
}

void BlockAccess::Shrink(RecordBlock& block, std::size_t count) {
  block.bytes_.resize(block.bytes_.size() - count * block.layout_->record_length);
}

RecordBlock::RecordBlock() = default;
RecordBlock::RecordBlock(const RecordBlock&) = default;
RecordBlock::RecordBlock(RecordBlock&&) noexcept = default;
RecordBlock& RecordBlock::operator=(const RecordBlock&) = default;
RecordBlock& RecordBlock::operator=(RecordBlock&&) noexcept = default;
RecordBlock::~RecordBlock() = default;

namespace {

using Column = RecordBlock::Layout::Column;

enum class Number { kBlank, kWhole, kReal };

// A number field's value as Record reads it (ReadStoredNumber): whole when it is a whole number
// of 64 bits, real when it is another finite number, else blank.
Number ParseNumber(std::string_view stored, std::int64_t& whole, double& real) {
  const std::optional<vx::StoredNumber> n = vx::ReadStoredNumber(stored);
  if (!n) return Number::kBlank;
  whole = n->integer;
  real = n->real;
  return n->whole ? Number::kWhole : Number::kReal;
}

// The memos of one block are read against the memo file's size as it was when the first was
// read (the size is asked once instead of twice a memo): the block is one view of the files.
class MemoSizeOnce {
 public:
  explicit MemoSizeOnce(vx::TableRecord& t) : memo_(vx::MemoOf(t)) {
    if (memo_ == nullptr || memo_->size_known) return;
    std::uint64_t size = 0;
    if (memo_->file.Size(size) != 0) return;
    memo_->known_size = size;
    memo_->size_known = true;
    set_ = true;
  }
  ~MemoSizeOnce() {
    if (set_) memo_->size_known = false;
  }
  MemoSizeOnce(const MemoSizeOnce&) = delete;
  MemoSizeOnce& operator=(const MemoSizeOnce&) = delete;

 private:
  vx::MemoFile* memo_;
  bool set_ = false;
};

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
std::int64_t DaysFrom1970(const Date& d) {
  const std::int64_t y = d.year - (d.month <= 2 ? 1 : 0);
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t m = d.month;
  const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d.day - 1;
  return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
}

}  // namespace

// A column the stored bytes alone cannot answer (binary forms, .NULL. marks): its values,
// decoded with the table; nothing for the others.
// The column's value kind must be one of `kinds`, else Error 220.
static std::optional<std::vector<Value>> Decoded(const RecordBlock& block, std::size_t field,
                                                 std::string_view kinds) {
  if (block.size() == 0) return std::nullopt;
  block.stored(0, field);  // checks the field
  if (BlockAccess::Plain(block, field)) return std::nullopt;
  const char kind = BlockAccess::Kind(block, field);
  if (kinds.find(kind) == std::string_view::npos) {
    Fail(220, "field " + block.fields()[field].name + " holds values of kind " +
                  std::string(1, kind) + ", not " + std::string(kinds));
  }
  std::vector<Value> out;
  block.values(field, out);
  return out;
}

bool BlockAccess::Plain(const RecordBlock& block, std::size_t field) {
  return block.layout_->columns[field].plain;
}

char BlockAccess::Kind(const RecordBlock& block, std::size_t field) {
  return block.layout_->columns[field].kind;
}

void BlockAccess::Decode(const RecordBlock& block, std::size_t row, std::size_t field, Value& value,
                         std::string& text) {
  const std::string_view bytes = block.stored(row, field);  // checks row and field
  const RecordBlock::Layout::Column& c = block.layout_->columns[field];
  if (c.plain) {
    detail::DecodeStored(c.type, c.decimals, block.layout_->codepage, bytes, value, text);
    return;
  }
  const std::shared_ptr<Table::Impl>& table = block.table_;
  if (table == nullptr || table->area == 0) Fail(215, "the table is closed");
  Scope scope(*table);
  Guarded([&] {
    vx::TableRecord& t = table->table();
    bool null = false;
    detail::DecodeField(t, *table, t.fields[field],
                        block.bytes_.data() + row * block.layout_->record_length,
                        block.recnos_[row], value, text, null);
  });
}

const std::vector<Field>& RecordBlock::fields() const {
  static const std::vector<Field> none;
  return layout_ != nullptr ? *layout_->fields : none;
}

// The stored bytes of row `row`, field `field`, checking both (and the field's type when `types`
// is not null: one of its letters).
static std::string_view Stored(const RecordBlock& block, const RecordBlock::Layout* layout,
                               const char* bytes, std::size_t row, std::size_t field,
                               const char* types) {
  if (row >= block.size()) {
    Fail(220, "no row " + std::to_string(row) + " in a block of " + std::to_string(block.size()));
  }
  if (layout == nullptr || field >= layout->columns.size()) {
    Fail(220, "no field number " + std::to_string(field));
  }
  const Column& c = layout->columns[field];
  if (types != nullptr && std::string_view(types).find(c.type) == std::string_view::npos) {
    Fail(220, "field " + (*layout->fields)[field].name + " is of type " + std::string(1, c.type) +
                  ", not " + types);
  }
  return {bytes + row * layout->record_length + c.offset, c.length};
}

std::uint32_t RecordBlock::recno(std::size_t row) const {
  if (row >= size()) Fail(220, "no row " + std::to_string(row) + " in the block");
  return recnos_[row];
}

bool RecordBlock::deleted(std::size_t row) const {
  if (row >= size()) Fail(220, "no row " + std::to_string(row) + " in the block");
  return bytes_[row * layout_->record_length] == vx::kDeletedFlag;
}

std::string_view RecordBlock::stored(std::size_t row, std::size_t field) const {
  return Stored(*this, layout_.get(), bytes_.data(), row, field, nullptr);
}

Value RecordBlock::value(std::size_t row, std::size_t field) const {
  Value value;
  std::string text;
  BlockAccess::Decode(*this, row, field, value, text);
  return value;
}

std::string RecordBlock::text(std::size_t row, std::size_t field) const {
  Value value;
  std::string text;
  BlockAccess::Decode(*this, row, field, value, text);
  return text;
}

Record RecordBlock::record(std::size_t row) const {
  if (row >= size()) Fail(220, "no row " + std::to_string(row) + " in the block");
  if (table_ == nullptr || table_->area == 0) Fail(215, "the table is closed");
  Scope scope(*table_);
  return Guarded([&] {
    return detail::RecordFromBytes(table_->table(), *table_,
                                   bytes_.data() + row * layout_->record_length, recnos_[row]);
  });
}

bool RecordBlock::whole_numbers(std::size_t field, std::int64_t* out, std::uint8_t* blank) const {
  if (const std::optional<std::vector<Value>> decoded = Decoded(*this, field, "N")) {
    for (std::size_t row = 0; row < decoded->size(); ++row) {
      const Value& v = (*decoded)[row];
      if (std::holds_alternative<double>(v)) return false;
      const std::int64_t* whole = std::get_if<std::int64_t>(&v);
      out[row] = whole != nullptr ? *whole : 0;
      if (blank != nullptr) blank[row] = whole == nullptr ? 1 : 0;
    }
    return true;
  }
  const std::size_t rows = size();
  if (rows == 0) return true;
  // The field's type is checked once; each row's bytes lie a record length further on.
  const char* at = Stored(*this, layout_.get(), bytes_.data(), 0, field, "NF").data();
  const std::size_t length = layout_->columns[field].length;
  for (std::size_t row = 0; row < rows; ++row, at += layout_->record_length) {
    std::int64_t whole = 0;
    double real = 0;
    const Number n = ParseNumber(std::string_view(at, length), whole, real);
    if (n == Number::kReal) return false;
    out[row] = n == Number::kWhole ? whole : 0;
    if (blank != nullptr) blank[row] = n == Number::kBlank ? 1 : 0;
  }
  return true;
}

void RecordBlock::numbers(std::size_t field, double* out, std::uint8_t* blank) const {
  if (const std::optional<std::vector<Value>> decoded = Decoded(*this, field, "N")) {
    for (std::size_t row = 0; row < decoded->size(); ++row) {
      const Value& v = (*decoded)[row];
      const std::int64_t* whole = std::get_if<std::int64_t>(&v);
      const double* real = std::get_if<double>(&v);
      out[row] = whole != nullptr  ? static_cast<double>(*whole)
                 : real != nullptr ? *real
                                   : std::numeric_limits<double>::quiet_NaN();
      if (blank != nullptr) blank[row] = whole == nullptr && real == nullptr ? 1 : 0;
    }
    return;
  }
  for (std::size_t row = 0; row < size(); ++row) {
    std::int64_t whole = 0;
    double real = 0;
    const Number n =
        ParseNumber(Stored(*this, layout_.get(), bytes_.data(), row, field, "NF"), whole, real);
    out[row] = n == Number::kWhole  ? static_cast<double>(whole)
               : n == Number::kReal ? real
                                    : std::numeric_limits<double>::quiet_NaN();
    if (blank != nullptr) blank[row] = n == Number::kBlank ? 1 : 0;
  }
}

void RecordBlock::days(std::size_t field, std::int64_t* out, std::uint8_t* blank) const {
  const std::optional<std::vector<Value>> decoded = Decoded(*this, field, "D");
  for (std::size_t row = 0; row < size(); ++row) {
    std::optional<Date> d;
    if (decoded) {
      if (const Date* date = std::get_if<Date>(&(*decoded)[row])) d = *date;
    } else {
      d = detail::ParseStoredDate(Stored(*this, layout_.get(), bytes_.data(), row, field, "D"));
    }
    out[row] = d ? DaysFrom1970(*d) : std::numeric_limits<std::int64_t>::min();
    if (blank != nullptr) blank[row] = d ? 0 : 1;
  }
}

void RecordBlock::logicals(std::size_t field, std::uint8_t* out, std::uint8_t* blank) const {
  if (const std::optional<std::vector<Value>> decoded = Decoded(*this, field, "L")) {
    for (std::size_t row = 0; row < decoded->size(); ++row) {
      const bool* flag = std::get_if<bool>(&(*decoded)[row]);
      out[row] = flag != nullptr && *flag ? 1 : 0;
      if (blank != nullptr) blank[row] = flag == nullptr ? 1 : 0;
    }
    return;
  }
  for (std::size_t row = 0; row < size(); ++row) {
    const std::string_view bytes = Stored(*this, layout_.get(), bytes_.data(), row, field, "L");
    const char c = bytes.empty() ? ' ' : bytes[0];
    const bool yes = c == 'T' || c == 't' || c == 'Y' || c == 'y';
    const bool no = c == 'F' || c == 'f' || c == 'N' || c == 'n';
    out[row] = yes ? 1 : 0;
    if (blank != nullptr) blank[row] = yes || no ? 0 : 1;
  }
}

void RecordBlock::texts(std::size_t field, std::string& joined,
                        std::vector<std::size_t>& ends) const {
  if (size() == 0) return;
  stored(0, field);  // checks the field
  const Column& c = layout_->columns[field];
  const auto each = [&](auto&& decode) {
    Value value;
    std::string text;
    for (std::size_t row = 0; row < size(); ++row) {
      decode(row, value, text);
      joined += text;
      ends.push_back(joined.size());
    }
  };
  if (c.plain) {
    each([&](std::size_t row, Value& value, std::string& text) {
      detail::DecodeStored(c.type, c.decimals, layout_->codepage,
                           {bytes_.data() + row * layout_->record_length + c.offset, c.length},
                           value, text);
    });
    return;
  }
  if (table_ == nullptr || table_->area == 0) Fail(215, "the table is closed");
  Scope scope(*table_);
  Guarded([&] {
    vx::TableRecord& t = table_->table();
    const MemoSizeOnce once(t);
    each([&](std::size_t row, Value& value, std::string& text) {
      bool null = false;
      detail::DecodeField(t, *table_, t.fields[field], bytes_.data() + row * layout_->record_length,
                          recnos_[row], value, text, null);
    });
  });
}

void RecordBlock::values(std::size_t field, std::vector<Value>& out) const {
  if (size() == 0) return;
  stored(0, field);  // checks the field
  const Column& c = layout_->columns[field];
  std::string text;
  if (c.plain) {
    for (std::size_t row = 0; row < size(); ++row) {
      detail::DecodeStored(c.type, c.decimals, layout_->codepage,
                           {bytes_.data() + row * layout_->record_length + c.offset, c.length},
                           out.emplace_back(), text);
    }
    return;
  }
  if (table_ == nullptr || table_->area == 0) Fail(215, "the table is closed");
  Scope scope(*table_);
  Guarded([&] {
    vx::TableRecord& t = table_->table();
    const MemoSizeOnce once(t);
    for (std::size_t row = 0; row < size(); ++row) {
      bool null = false;
      detail::DecodeField(t, *table_, t.fields[field], bytes_.data() + row * layout_->record_length,
                          recnos_[row], out.emplace_back(), text, null);
    }
  });
}

}  // namespace vexel
