#include "engine/index/key_maker.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <utility>
#include <vector>

#include "engine/expr/expression.h"
#include "engine/foundation/errors.h"
#include "engine/foundation/strings.h"
#include "engine/index/index_state.h"
#include "engine/index/key_codec.h"
#include "engine/table/dbf_records.h"
#include "engine/table/language_driver.h"
#include "engine/workarea/work_areas.h"

namespace vx {

namespace {

std::shared_ptr<void> Own(CompiledExpr* handle) {
  return std::shared_ptr<void>(handle, [](void* p) {
    auto* expr = static_cast<CompiledExpr*>(p);
    FreeExpr(expr);
  });
}

CompiledExpr* Handle(const std::shared_ptr<void>& p) { return static_cast<CompiledExpr*>(p.get()); }

// While keys are made: the table's buffer holds the record's stored bytes, and UPPER and LOWER
// convert case in the table's page. Undone when it goes out of scope.
class StoredRecordScope {
 public:
  StoredRecordScope(TableRecord& table, RecordForm form)
      : table_(table), saved_page_(CaseCodePage) {
    CaseCodePage = TableCodePage(table);
    if (form == RecordForm::kBuffer && table.oem) {
      // A key is made on every edit and every seek: the buffer is kept from one to the next
      // (a nested scope finds it taken and makes its own).
      stored_ = std::move(Spare());
      StoredRecordBytes(table, stored_);
      table.record.swap(stored_);
      swapped_ = true;
    }
  }
  ~StoredRecordScope() {
    if (swapped_) {
      table_.record.swap(stored_);
      Spare() = std::move(stored_);
    }
    CaseCodePage = saved_page_;
  }
  StoredRecordScope(const StoredRecordScope&) = delete;
  StoredRecordScope& operator=(const StoredRecordScope&) = delete;

 private:
  static std::vector<char>& Spare() { return CurrentState<IndexState>().key_spare; }

  TableRecord& table_;
  int saved_page_;
  std::vector<char> stored_;
  bool swapped_ = false;
};

// Evaluates with the table's area selected (field names without an alias mean the selected
// area's fields) over the record as stored; answers null when the evaluation reported an error.
const void* EvaluateOn(CompiledExpr* expr, TableRecord& table, RecordForm form) {
  const StoredRecordScope stored(table, form);
  const AreaSelection selection(table.area);
  const std::uint16_t before = EngineErrorCode;
  const void* result;
  {
    QuietErrors quiet;
    EngineErrorCode = 0;
    result = Evaluate(expr);
    if (EngineErrorCode != 0)
      result = nullptr;
    else
      EngineErrorCode = before;
  }
  return result;
}

// Compiles a tag's expression text as normalized (upper case, blanks dropped outside literals).
CompiledExpr* CompileTagText(const std::string& stored) {
  return AssignExpr(NormalizeKeyExpression(stored));
}

}  // namespace

bool CompileTagExpressions(const TagHeader& header, TagExpressions& out) {
  out = TagExpressions{};
  QuietErrors quiet;
  CompiledExpr* key = CompileTagText(header.KeyExpression());
  if (key == nullptr) return false;
  out.key = Own(key);
  out.result_type = key->result_type;
  out.width = key->result_width;
  out.decimals = key->result_decimals;
  if (out.result_type != 'C' && out.result_type != 'N' && out.result_type != 'D' &&
      out.result_type != 'F') {
    return false;
  }
  const std::string condition = header.ForExpression();
  if (header.HasFor() && !NormalizeKeyExpression(condition).empty()) {
    CompiledExpr* for_condition = CompileTagText(condition);
    if (for_condition == nullptr) return false;
    out.for_condition = Own(for_condition);
    if (for_condition->result_type != 'L') return false;
  }
  return true;
}

void NoteFieldKey(TagExpressions& out, const TagHeader& header, const TableRecord& table) {
  out.field_offset = -1;
  if (header.KeyType() != 'C' || out.result_type != 'C') return;
  const std::string name = NormalizeKeyExpression(header.KeyExpression());
  for (const FieldEntry& f : table.fields) {
    if (TrimText(f.name) != name) continue;
    if (f.type == 'C' && f.storage == FieldStorage::kClassic && f.null_bit < 0 &&
        f.varying_bit < 0 && (f.flags & kFieldSystem) == 0 && f.length == header.KeyLength() &&
        f.offset + f.length <= table.record_length) {
      out.field_offset = f.offset;
    }
    return;
  }
}

bool HasKeyMaker(const TagExpressions& expressions) { return expressions.key != nullptr; }

bool MakeKey(const TagExpressions& expressions, const TagHeader& header, TableRecord& table,
             KeyBuffer& out, int& length, RecordForm form) {
  out.fill(0);
  length = 0;
  CompiledExpr* expr = Handle(expressions.key);
  if (expr == nullptr) return false;
  if (form == RecordForm::kStored && expressions.field_offset >= 0) {
    length = header.KeyLength();
    std::memcpy(out.data(), table.record.data() + expressions.field_offset,
                static_cast<std::size_t>(length));
    return true;
  }
  const void* result = EvaluateOn(expr, table, form);
  if (result == nullptr) return false;
  const int key_length = header.KeyLength();
  switch (header.KeyType()) {
    case 'N':
    case 'F': {
      double value = 0;
      if (expr->result_type != 'C') std::memcpy(&value, result, sizeof value);
      const PackedDecimal packed = DoubleToPacked(value, expressions.decimals);
      std::memcpy(out.data(), packed.data(), packed.size());
      length = kPackedLength;
      return true;
    }
    case 'D': {
      double value = 0;
      if (expr->result_type != 'C') std::memcpy(&value, result, sizeof value);
      const auto bytes = DoubleKey(value);
      std::memcpy(out.data(), bytes.data(), bytes.size());
      length = 8;
      return true;
    }
    default:
      break;
  }
  if (expr->result_type != 'C') return false;
  const std::size_t size = std::min<std::size_t>(expr->result_length, kMaxKeyLength);
  // The whole value's length, so that a caller sees a value longer than any key.
  length = std::max(static_cast<int>(size), static_cast<int>(expr->result_length));
  // A shorter text (TRIM in the expression) is stored padded with blanks, as other programs
  // store it; the key is always the header's length.
  std::memcpy(out.data(), result, size);
  for (auto i = static_cast<int>(size); i < key_length; ++i) {
    out[static_cast<std::size_t>(i)] = ' ';
  }
  return true;
}

bool MeetsFor(const TagExpressions& expressions, TableRecord& table, RecordForm form) {
  CompiledExpr* expr = Handle(expressions.for_condition);
  if (expr == nullptr) return true;
  const void* result = EvaluateOn(expr, table, form);
  if (result == nullptr) return false;
  std::int32_t value = 0;
  std::memcpy(&value, result, sizeof value);
  return value != 0;
}

bool ForEachStoredRecord(TableRecord& t, const std::function<bool()>& each, const char* operation) {
  constexpr std::size_t kBlockBytes = 1 << 20;
  if (!FlushAppends(t)) return false;
  const std::int32_t n = t.record_count;
  const std::size_t record_length = t.record_length;
  if (record_length == 0 || n <= 0) return true;
  const std::size_t per_block = std::max<std::size_t>(1, kBlockBytes / record_length);
  std::vector<std::uint8_t> block(per_block * record_length);
  const std::vector<char> saved = t.record;
  const std::int32_t saved_number = t.record_number;
  bool ok = true;
  // 64 bits: the block after the last one may start past the largest record number.
  for (std::int64_t first = 1; ok && first <= n; first += static_cast<std::int64_t>(per_block)) {
    const std::size_t want =
        std::min<std::size_t>(per_block, static_cast<std::size_t>(n - first + 1));
    std::size_t got = 0;
    const int code =
        t.file.ReadAt(t.RecordOffset(static_cast<std::int32_t>(first)),
                      std::as_writable_bytes(std::span(block.data(), want * record_length)), got);
    if (code != 0 || got != want * record_length) {
      SetEngineError(code != 0 ? static_cast<std::uint16_t>(code) : 222,
                     "Error reading " + t.file_name + " [" + operation + "]");
      ok = false;
      break;
    }
    for (std::size_t i = 0; ok && i < want; ++i) {
      std::memcpy(t.record.data(), block.data() + i * record_length, record_length);
      t.record_number = static_cast<std::int32_t>(first + static_cast<std::int64_t>(i));
      ok = each();
    }
  }
  t.record = saved;
  t.record_number = saved_number;
  return ok;
}

}  // namespace vx
