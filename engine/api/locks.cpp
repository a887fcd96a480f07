// Edits: record and append locks, values checked and put into the record image, update, append,
// delete and recall. The work-area layer's edits keep every tag of the open production index and
// the memo file current under the dBASE lock and semaphore protocols.

#include "engine/workarea/locks.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <vexel/vexel.hpp>

#include "engine/api/internal.h"
#include "engine/foundation/dates.h"
#include "engine/index/orders.h"
#include "engine/memo/memo_storage.h"
#include "engine/table/dbf_file.h"
#include "engine/table/dbf_records.h"
#include "engine/table/field_values.h"
#include "engine/workarea/field_input.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/record_image.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/path_text.h"

namespace vexel {

using detail::Fail;
using detail::FailInput;
using detail::Guarded;
using detail::Scope;

namespace detail {

namespace {

const char* TypeName(const Value& v) {
  switch (v.index()) {
    case 0:
      return "a blank";
    case 1:
      return "a string";
    case 2:
    case 3:
      return "a number";
    case 4:
      return "a date";
    case 5:
      return "a logical";
    default:
      return "a date-time";
  }
}

// A field in one of the binary forms (I, +, B, O, Y, T, @, V, Q); monostate is the blank of
// the kind (0, no date-time, no bytes).
void PutBinaryValue(const Table::Impl& impl, vx::RecordImage& image, int n, const vx::FieldEntry& f,
                    const Value& value, const std::string& where,
                    const std::function<void()>& mismatch) {
  switch (vx::ValueKind(f)) {
    case 'N': {
      double v = 0;
      if (const auto* i = std::get_if<std::int64_t>(&value)) {
        v = static_cast<double>(*i);
        if (static_cast<std::int64_t>(v) != *i)
          FailInput(220, std::to_string(*i) + " does not fit " + where);
      } else if (const auto* d = std::get_if<double>(&value)) {
        v = *d;
      } else if (!std::holds_alternative<std::monostate>(value)) {
        mismatch();
      }
      std::vector<char> probe(static_cast<std::size_t>(f.offset) + f.length);
      if (!std::isfinite(v) || !vx::PutBinaryNumber(f, probe.data(), v) || !image.SetNumber(n, v)) {
        FailInput(220, NumberText(v) + " does not fit " + where);
      }
      break;
    }
    case 'T': {
      double day = vx::kBlankDate;
      std::optional<DateTime> dt;
      if (const auto* t = std::get_if<DateTime>(&value)) {
        dt = *t;
      } else if (const auto* d = std::get_if<Date>(&value)) {
        dt = DateTime{*d};
      } else if (const auto* s = std::get_if<std::string>(&value)) {
        if (!s->empty()) {
          const std::optional<vx::DateTimeValue> parsed = vx::ParseDateTimeText(*s);
          if (!parsed)
            FailInput(220,
                 vx::QuotedValue(*s) + " is no date-time (YYYY-MM-DDTHH:MM:SS) for " + where);
          dt = SplitDateTime(*parsed);
        }
      } else if (!std::holds_alternative<std::monostate>(value)) {
        mismatch();
      }
      if (dt) {
        const bool time_ok = dt->hour >= 0 && dt->hour < 24 && dt->minute >= 0 && dt->minute < 60 &&
                             dt->second >= 0 && dt->second < 60 && dt->millisecond >= 0 &&
                             dt->millisecond < 1000;
        if (!DateIsValid(dt->date) || !time_ok) FailInput(220, "no valid date-time for " + where);
        const int ms = ((dt->hour * 60 + dt->minute) * 60 + dt->second) * 1000 + dt->millisecond;
        day = vx::DayNumber(dt->date.year, dt->date.month, dt->date.day) + ms / 86400000.0;
      }
      image.SetDateTime(n, day);
      break;
    }
    default: {  // V, Q
      if (!std::holds_alternative<std::string>(value) &&
          !std::holds_alternative<std::monostate>(value)) {
        mismatch();
      }
      const std::string* text = std::get_if<std::string>(&value);
      std::string stored;
      if (text != nullptr) stored = BytesField(f) ? *text : FromUtf8(impl.codepage, *text, where);
      if (stored.size() > f.length)
        FailInput(220, "a value of " + std::to_string(stored.size()) + " bytes is longer than " + where);
      image.SetText(n, stored);
      break;
    }
  }
}

}  // namespace

void RefuseReadOnly(const Table::Impl& impl) {
  if (impl.options.mode == OpenMode::read_only) {
    Fail(5, vx::os::PathText(impl.path) + " was opened read-only");
  }
  if (!impl.options.index.empty()) {
    FailInput(220, vx::os::PathText(impl.path) + " was opened with the index " +
                       vx::os::PathText(impl.options.index) +
                       " in place of its production index: an edit would leave that stale");
  }
  if (!impl.unsupported_index.empty()) {
    throw NotSupported(220, impl.unsupported_index +
                                ": an edit would leave it stale (nothing was changed; opened "
                                "with ignore_index, the table takes edits and the index goes "
                                "stale)");
  }
}

void PutValue(const Table::Impl& impl, int n, const Value& value, bool store_memo,
              std::vector<std::int32_t>* superseded) {
  vx::TableRecord& table = impl.table();
  vx::RecordImage image = vx::RecordImage::Of(table);
  const vx::FieldEntry& f = image.Field(n);
  const std::string name = (*impl.fields)[static_cast<std::size_t>(n - 1)].name;
  const std::string where =
      "field " + name + " (" + std::string(1, f.type) + " " + std::to_string(f.length) +
      (f.type == 'N' || f.type == 'F' ? " " + std::to_string(f.decimals) : std::string()) +
      ") of " + vx::os::PathText(impl.path);
  const std::function<void()> mismatch = [&] {
    FailInput(220, std::string(TypeName(value)) + " cannot go into " + where);
  };
  // A field that may be null: no value makes it .NULL.
  if (std::holds_alternative<std::monostate>(value) && f.null_bit >= 0) {
    image.SetNull(n);
    return;
  }
  if (vx::IsBinaryField(f) && vx::ValueKind(f) != 'M') {
    PutBinaryValue(impl, image, n, f, value, where, mismatch);
    return;
  }
  switch (f.type) {
    case 'C': {
      if (!std::holds_alternative<std::string>(value) &&
          !std::holds_alternative<std::monostate>(value)) {
        mismatch();
      }
      const std::string* text = std::get_if<std::string>(&value);
      const std::string stored = text ? FromUtf8(impl.codepage, *text, where) : std::string();
      if (stored.size() > f.length) FailInput(220, vx::LongerThanField(*text, stored.size(), where));
      image.SetText(n, stored);
      break;
    }
    case 'N':
    case 'F': {
      double v = 0;
      if (const auto* i = std::get_if<std::int64_t>(&value)) {
        v = static_cast<double>(*i);
        if (std::fabs(v) >= 9.0e15) FailInput(220, std::to_string(*i) + " does not fit " + where);
      } else if (const auto* d = std::get_if<double>(&value)) {
        v = *d;
        if (!std::isfinite(v)) FailInput(220, "no finite number for " + where);
      } else if (!std::holds_alternative<std::monostate>(value)) {
        mismatch();
      }
      if (std::holds_alternative<std::monostate>(value)) {
        image.SetNumberBlank(n);  // stored as blanks, as dBASE leaves a number never given one
        break;
      }
      // The record image holds a field without decimals as a 32-bit integer.
      if (!image.SetNumber(n, v)) {
        FailInput(220, NumberText(v) + " is no whole number of 32 bits for " + where);
      }
      if (!vx::NumberFits(f, v)) FailInput(220, NumberText(v) + " does not fit " + where);
      break;
    }
    case 'L': {
      if (const auto* b = std::get_if<bool>(&value)) {
        image.SetLogical(n, *b);
      } else if (std::holds_alternative<std::monostate>(value)) {
        image.SetLogicalBlank(n);
      } else {
        mismatch();
      }
      break;
    }
    case 'D': {
      std::optional<Date> date;
      if (const auto* d = std::get_if<Date>(&value)) {
        if (!DateIsValid(*d)) {
          FailInput(220, std::to_string(d->year) + "-" + std::to_string(d->month) + "-" +
                        std::to_string(d->day) + " is no date, for " + where);
        }
        date = *d;
      } else if (const auto* s = std::get_if<std::string>(&value)) {
        if (!s->empty()) {
          date = ParseDateText(*s);
          if (!date) {
            FailInput(220, vx::QuotedValue(*s) + " is no date (YYYY-MM-DD or YYYYMMDD) for " + where);
          }
        }
      } else if (!std::holds_alternative<std::monostate>(value)) {
        mismatch();
      }
      image.SetDate(n, date ? vx::DayNumber(date->year, date->month, date->day) : vx::kBlankDate);
      break;
    }
    case 'M': {
      if (!std::holds_alternative<std::string>(value) &&
          !std::holds_alternative<std::monostate>(value)) {
        mismatch();
      }
      const std::string* text = std::get_if<std::string>(&value);
      // Pictures, objects and binary memos take their bytes as given.
      const bool bytes = BytesField(f);
      const std::string stored =
          text ? (bytes ? *text : FromUtf8(impl.codepage, *text, where)) : std::string();
      if (vx::MemoOf(table) == nullptr) Fail(1019, "no memo file for " + where);
      if (const std::size_t at = vx::MemoCutAt(vx::MemoOf(table)->kind, stored);
          at != std::string::npos) {
        FailInput(220, vx::MemoCutProblem(at, stored.size()) + ", for " + where);
      }
      if (store_memo) {
        const std::int32_t old_block = image.MemoBlock(n);
        const bool later = superseded != nullptr;
        image.SetMemoBlock(n, vx::ReplaceMemo(table, later ? 0 : old_block, stored, "vexel"));
        if (later && old_block > 0) superseded->push_back(old_block);
      }
      break;
    }
    default:
      Fail(211, "this library does not write " + where);
  }
}

std::vector<int> CheckAssignments(const Table::Impl& impl, const Assignments& values) {
  std::vector<int> numbers;
  for (const auto& [name, value] : values) {
    const int n = FieldNumber(impl, name);
    if (std::find(numbers.begin(), numbers.end(), n) != numbers.end()) {
      FailInput(220, "field " + name + " is given twice");
    }
    numbers.push_back(n);
  }
  // Every value is checked before anything is written.
  for (std::size_t i = 0; i < values.size(); ++i) {
    PutValue(impl, numbers[i], values[i].second, false);
  }
  return numbers;
}

}  // namespace detail

namespace {

bool HoldsRecord(const Table::Impl& impl, std::uint32_t recno) {
  return std::find(impl.record_locks.begin(), impl.record_locks.end(), recno) !=
         impl.record_locks.end();
}

void LockRecord(Table::Impl& impl, std::uint32_t recno) {
  detail::RefuseReadOnly(impl);
  if (impl.append_locked) {
    Fail(220, vx::os::PathText(impl.path) +
                  ": the append lock is held through an AppendLock; release it before locking "
                  "records");
  }
  if (HoldsRecord(impl, recno)) {
    Fail(220, "record " + std::to_string(recno) + " of " + vx::os::PathText(impl.path) +
                  " is already locked through a RecordLock");
  }
  detail::GoRecord(impl, recno);
  if (!vx::RLock()) {
    detail::FailLock("record " + std::to_string(recno) + " of " + vx::os::PathText(impl.path) +
                     " is locked by another program");
  }
  impl.record_locks.push_back(recno);
  // Read again under the lock: what another program wrote before it was granted counts.
  impl.positioned_by = 0;
  detail::GoRecord(impl, recno);
}

void UnlockRecord(Table::Impl& impl, std::uint32_t recno) {
  impl.record_locks.erase(std::remove(impl.record_locks.begin(), impl.record_locks.end(), recno),
                          impl.record_locks.end());
  vx::UnlockRec(static_cast<std::int32_t>(recno));
}

// Writes assignments into locked record n.
void Replace(Table::Impl& impl, std::uint32_t recno, const Assignments& values) {
  detail::GoRecord(impl, recno);
  const std::vector<int> numbers = detail::CheckAssignments(impl, values);
  detail::GoRecord(impl, recno);
  std::vector<std::int32_t> superseded;
  for (std::size_t i = 0; i < values.size(); ++i) {
    detail::PutValue(impl, numbers[i], values[i].second, true, &superseded);
  }
  vx::REPLACE();
  for (const std::int32_t block : superseded) vx::ReleaseMemo(impl.table(), block, "vexel");
}

void Mark(Table::Impl& impl, std::uint32_t recno, bool deleted) {
  detail::GoRecord(impl, recno);
  if (deleted) {
    vx::DeleteRec();
  } else {
    vx::RecallRec();
  }
}

// Runs `edit` on record n under its lock: the one a RecordLock of this table holds, or one
// taken and released around it.
template <class F>
void UnderRecordLock(Table::Impl& impl, std::uint32_t recno, F&& edit) {
  detail::RefuseReadOnly(impl);
  if (HoldsRecord(impl, recno)) {
    edit();
    return;
  }
  LockRecord(impl, recno);
  try {
    edit();
  } catch (...) {
    UnlockRecord(impl, recno);
    throw;
  }
  UnlockRecord(impl, recno);
}

}  // namespace

// ---- RecordLock ------------------------------------------------------------------------------

struct RecordLock::Impl {
  std::shared_ptr<Table::Impl> table;
  std::uint32_t recno = 0;
  Assignments pending;
  bool held = false;
};

RecordLock::RecordLock(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
RecordLock::RecordLock(RecordLock&&) noexcept = default;
RecordLock& RecordLock::operator=(RecordLock&& other) noexcept {
  if (this != &other) {
    detail::Quietly([&] { release(); });
    impl_ = std::move(other.impl_);
  }
  return *this;
}
RecordLock::~RecordLock() {
  detail::Quietly([&] { release(); });
}

namespace {
RecordLock::Impl& Held(const std::unique_ptr<RecordLock::Impl>& impl) {
  if (impl == nullptr || !impl->held) Fail(1200, "the record lock was released");
  return *impl;
}
}  // namespace

std::uint32_t RecordLock::recno() const { return Held(impl_).recno; }

Record RecordLock::record() const {
  Impl& lock = Held(impl_);
  Scope scope(*lock.table);
  return Guarded([&] {
    detail::GoRecord(*lock.table, lock.recno);
    lock.table->positioned_by = 0;
    return detail::RecordFromBuffer(lock.table->table(), *lock.table, lock.recno);
  });
}

RecordLock& RecordLock::set(std::string_view field, const Value& value) {
  Impl& lock = Held(impl_);
  Scope scope(*lock.table);
  Guarded([&] {
    detail::GoRecord(*lock.table, lock.recno);
    lock.table->positioned_by = 0;
    const Assignments one{{std::string(field), value}};
    detail::CheckAssignments(*lock.table, one);
    for (auto& [name, old] : lock.pending) {
      if (detail::FieldNumber(*lock.table, name) == detail::FieldNumber(*lock.table, field)) {
        old = value;
        return;
      }
    }
    lock.pending.emplace_back(std::string(field), value);
  });
  return *this;
}

void RecordLock::commit() {
  Impl& lock = Held(impl_);
  Scope scope(*lock.table);
  Guarded([&] {
    lock.table->positioned_by = 0;
    Replace(*lock.table, lock.recno, lock.pending);
    lock.pending.clear();
  });
}

void RecordLock::remove() {
  Impl& lock = Held(impl_);
  Scope scope(*lock.table);
  Guarded([&] {
    lock.table->positioned_by = 0;
    Mark(*lock.table, lock.recno, true);
  });
}

void RecordLock::recall() {
  Impl& lock = Held(impl_);
  Scope scope(*lock.table);
  Guarded([&] {
    lock.table->positioned_by = 0;
    Mark(*lock.table, lock.recno, false);
  });
}

void RecordLock::release() {
  if (impl_ == nullptr || !impl_->held) return;
  impl_->held = false;
  impl_->pending.clear();
  if (impl_->table->area == 0) return;  // closing the table released it
  Scope scope(*impl_->table);
  Guarded([&] { UnlockRecord(*impl_->table, impl_->recno); });
}

RecordLock Table::lock(std::uint32_t recno) {
  if (impl_ == nullptr) Fail(215, "the table is closed");
  Scope scope(*impl_);
  Guarded([&] { LockRecord(*impl_, recno); });
  auto lock = std::make_unique<RecordLock::Impl>();
  lock->table = impl_;
  lock->recno = recno;
  lock->held = true;
  return RecordLock(std::move(lock));
}

void Table::update(std::uint32_t recno, const Assignments& values) {
  if (impl_ == nullptr) Fail(215, "the table is closed");
  Scope scope(*impl_);
  Guarded([&] {
    impl_->positioned_by = 0;
    UnderRecordLock(*impl_, recno, [&] { Replace(*impl_, recno, values); });
  });
}

void Table::remove(std::uint32_t recno) {
  if (impl_ == nullptr) Fail(215, "the table is closed");
  Scope scope(*impl_);
  Guarded([&] {
    impl_->positioned_by = 0;
    UnderRecordLock(*impl_, recno, [&] { Mark(*impl_, recno, true); });
  });
}

void Table::recall(std::uint32_t recno) {
  if (impl_ == nullptr) Fail(215, "the table is closed");
  Scope scope(*impl_);
  Guarded([&] {
    impl_->positioned_by = 0;
    UnderRecordLock(*impl_, recno, [&] { Mark(*impl_, recno, false); });
  });
}

// ---- AppendLock ------------------------------------------------------------------------------

struct AppendLock::Impl {
  std::shared_ptr<Table::Impl> table;
  bool held = false;
};

AppendLock::AppendLock(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
AppendLock::AppendLock(AppendLock&&) noexcept = default;
AppendLock& AppendLock::operator=(AppendLock&& other) noexcept {
  if (this != &other) {
    detail::Quietly([&] { release(); });
    impl_ = std::move(other.impl_);
  }
  return *this;
}
AppendLock::~AppendLock() {
  detail::Quietly([&] { release(); });
}

namespace {

void TakeAppendLock(Table::Impl& impl) {
  detail::RefuseReadOnly(impl);
  if (impl.append_locked)
    Fail(220, vx::os::PathText(impl.path) + ": the append lock is already held");
  if (!impl.record_locks.empty()) {
    Fail(220, vx::os::PathText(impl.path) +
                  ": records are locked through RecordLocks; release them before appending");
  }
  if (!vx::ALock()) {
    detail::FailLock("the append lock of " + vx::os::PathText(impl.path) +
                     " is held by another program");
  }
  // A file cut short: an append would write over the cut record and leave the header counting
  // records that are gone. Counted only under the lock: the file's size is read before its
  // header, and another program's append between the two looks like a cut.
  const vx::RecordTally tally = vx::TallyRecords(impl.table());
  if (tally.Cut()) {
    vx::Unlock();
    Fail(213, vx::os::PathText(impl.path) + " is damaged: its header counts " +
                  std::to_string(tally.counted) + " records, the file holds " +
                  std::to_string(tally.whole) + "; nothing was appended");
  }
  impl.append_locked = true;
}

void ReleaseAppendLock(Table::Impl& impl) {
  impl.append_locked = false;
  // The new records go into the header's count (and the end marker after them) while the lock
  // still keeps other writers out: readers that trust the header see them at once, not only
  // when this table is closed.
  try {
    vx::CommitDbf(impl.table());
  } catch (...) {
    vx::Unlock();
    throw;
  }
  vx::Unlock();
}

}  // namespace

namespace detail {

void EndAppendBatch(Table::Impl& impl) {
  const std::shared_ptr<vx::AppendBatch> batch = std::move(impl.append_batch);
  impl.append_batch.reset();
  if (batch != nullptr) batch->Close();
}

void ClearNewRecord(vx::TableRecord& table) {
  vx::ClearRecord();
  // Logical and number fields the row does not name stay blank (no value), not false or 0.
  vx::RecordImage image = vx::RecordImage::Of(table);
  for (int n = 1; n <= image.FieldCount(); ++n) {
    const vx::FieldEntry& f = image.Field(n);
    if (f.type == 'L') image.SetLogicalBlank(n);
    if ((f.type == 'N' || f.type == 'F') && !vx::IsBinaryField(f) && f.null_bit < 0) {
      image.SetNumberBlank(n);
    }
  }
}

}  // namespace detail

namespace {

std::uint32_t AppendRecord(Table::Impl& impl, const Assignments& values) {
  impl.positioned_by = 0;
  if (vx::CurrentOrder() != 0) vx::Set_Order_To(0);
  vx::ClearRecord();
  try {
    const std::vector<int> numbers = detail::CheckAssignments(impl, values);
    detail::ClearNewRecord(impl.table());
    for (std::size_t i = 0; i < values.size(); ++i) {
      detail::PutValue(impl, numbers[i], values[i].second, true);
    }
  } catch (...) {
    // A refused row leaves the area at the end of the file, not on the blank new record with
    // the number of the record it stood on: the next walk or seek would look for that blank
    // record's keys in the tags and fail.
    vx::TableRecord& t = impl.table();
    vx::ClearRecord();
    t.record_number = t.record_count + 1;
    t.at_end = true;
    throw;
  }
  vx::Append();
  return static_cast<std::uint32_t>(vx::RecNo());
}

}  // namespace

std::uint32_t AppendLock::append(const Assignments& values) {
  if (impl_ == nullptr || !impl_->held) Fail(1201, "the append lock was released");
  Scope scope(*impl_->table);
  return Guarded([&] { return AppendRecord(*impl_->table, values); });
}

std::uint32_t AppendLock::append_many(const std::vector<Assignments>& rows) {
  if (impl_ == nullptr || !impl_->held) Fail(1201, "the append lock was released");
  Scope scope(*impl_->table);
  return Guarded([&] {
    vx::AppendBatch batch;
    std::uint32_t first = 0;
    for (const Assignments& row : rows) {
      const std::uint32_t recno = AppendRecord(*impl_->table, row);
      if (first == 0) first = recno;
    }
    batch.Close();
    return first;
  });
}

void AppendLock::begin_batch() {
  if (impl_ == nullptr || !impl_->held) Fail(1201, "the append lock was released");
  if (impl_->table->append_batch) return;
  Scope scope(*impl_->table);
  impl_->table->append_batch = std::make_shared<vx::AppendBatch>();
}

void AppendLock::end_batch() {
  if (impl_ == nullptr || !impl_->table->append_batch || impl_->table->area == 0) return;
  Scope scope(*impl_->table);
  Guarded([&] { detail::EndAppendBatch(*impl_->table); });
}

void AppendLock::release() {
  if (impl_ == nullptr || !impl_->held) return;
  impl_->held = false;
  if (impl_->table->area == 0) return;
  Scope scope(*impl_->table);
  Guarded([&] {
    // A batch still open writes what it holds back while the lock still keeps others out.
    try {
      detail::EndAppendBatch(*impl_->table);
    } catch (...) {
      ReleaseAppendLock(*impl_->table);
      throw;
    }
    ReleaseAppendLock(*impl_->table);
  });
}

AppendLock Table::lock_append() {
  if (impl_ == nullptr) Fail(215, "the table is closed");
  Scope scope(*impl_);
  Guarded([&] { TakeAppendLock(*impl_); });
  auto lock = std::make_unique<AppendLock::Impl>();
  lock->table = impl_;
  lock->held = true;
  return AppendLock(std::move(lock));
}

std::uint32_t Table::append(const Assignments& values) {
  if (impl_ == nullptr) Fail(215, "the table is closed");
  Scope scope(*impl_);
  return Guarded([&] {
    if (impl_->append_locked) return AppendRecord(*impl_, values);
    TakeAppendLock(*impl_);
    try {
      const std::uint32_t recno = AppendRecord(*impl_, values);
      ReleaseAppendLock(*impl_);
      return recno;
    } catch (...) {
      ReleaseAppendLock(*impl_);
      throw;
    }
  });
}

}  // namespace vexel
