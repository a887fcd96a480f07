#include "browser/browser_table.h"

#include <algorithm>
#include <cstring>

#include "engine/expr/expression.h"
#include "engine/index/orders.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/work_areas.h"
#include "platform/dataset/sys_utils.h"

namespace vx::browser {

void TBrowserTable::SetCondition(const std::string& text) {
  CheckBrowseMode();
  SelectArea("SetCondition");
  // Refused conditions raise here and leave the old one in force.
  if (!SetFilterExpr(text)) return;
  condition_ = text;
  First();
}

std::int32_t TBrowserTable::CountVisible() {
  if (!Active() || WorkArea() == 0) return 0;
  CheckBrowseMode();
  UpdateCursorPos();
  SelectArea("CountVisible");
  TableRecord* table = SelectedTable();
  if (table == nullptr) return 0;
  // Read by number in natural order: no index is searched per record.
  const int order = CurrentOrder();
  const std::int32_t current = ::vx::RecNo();
  if (order != 0) Set_Order_To(0);
  std::int32_t count = 0;
  const std::int32_t total = RecCount();
  for (std::int32_t n = 1; n <= total; ++n) {
    GoRaw(n);
    if (IsVisible(*table)) ++count;
  }
  if (order != 0) Set_Order_To(order);
  GoIfValid(current);
  CursorPosChanged();
  return count;
}

std::vector<std::int32_t> PositionsOf(const std::vector<std::int32_t>& records) {
  std::int32_t highest = 0;
  for (const std::int32_t n : records) highest = std::max(highest, n);
  std::vector<std::int32_t> positions(static_cast<std::size_t>(highest) + 1, -1);
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (records[i] > 0)
      positions[static_cast<std::size_t>(records[i])] = static_cast<std::int32_t>(i);
  }
  return positions;
}

std::int32_t TBrowserTable::PositionOf(std::int32_t record_no) const {
  if (record_no <= 0 || static_cast<std::size_t>(record_no) >= position_.size()) return -1;
  return position_[static_cast<std::size_t>(record_no)];
}

void TBrowserTable::SetRecordOrder(std::vector<std::int32_t> records,
                                   std::vector<std::int32_t> positions) {
  CheckBrowseMode();
  const std::int32_t current = IsEmpty() ? 0 : RecNo();
  SelectArea("SetRecordOrder");
  if (CurrentOrder() != 0) Set_Order_To(0);
  order_ = std::move(records);
  position_ = positions.empty() ? PositionsOf(order_) : std::move(positions);
  const std::int32_t at = PositionOf(current);
  if (at < 0 || order_.empty()) {
    First();
    return;
  }
  pos_ = at;
  TVxFileDataSet::VxiSetToRecordNo(current);
  ResyncAfterEngineMove();
}

void TBrowserTable::ClearRecordOrder() {
  if (order_.empty()) return;
  const std::int32_t current = IsEmpty() ? 0 : RecNo();
  order_.clear();
  position_.clear();
  pos_ = -1;
  if (!Active()) return;
  SelectArea("ClearRecordOrder");
  if (current > 0) {
    TVxFileDataSet::VxiSetToRecordNo(current);
    ResyncAfterEngineMove();
  } else {
    First();
  }
}

void TBrowserTable::ChooseOrder(int order) {
  CheckBrowseMode();
  const std::int32_t current = IsEmpty() ? 0 : RecNo();
  order_.clear();
  position_.clear();
  pos_ = -1;
  SelectArea("SetOrder");
  if (order != CurrentOrder()) Set_Order_To(order);
  // The record the user stands on, not the one reading the window left the engine on; a
  // record the new order leaves out (a FOR condition) gives way to the first one.
  bool placed = false;
  if (current > 0 && GoIfValid(current)) {
    TableRecord* table = SelectedTable();
    placed = !dEOF() && table != nullptr && IsVisible(*table);
  }
  if (!placed) {
    First();
    return;
  }
  ResyncAfterEngineMove();
}

void TBrowserTable::InternalPost() {
  write_refused_ = false;
  ZOvEzi::InternalPost();
  if (write_refused_) {
    write_refused_ = false;
    Abort();
  }
}

void TBrowserTable::Reread() {
  if (!Active() || State() != dsBrowse) return;
  Refresh();
}

// --- The temporary order ---------------------------------------------------------------------

bool TBrowserTable::EngineRecordVisible() {
  TableRecord* table = SelectedTable();
  return table != nullptr && IsVisible(*table);
}

int TBrowserTable::StepInOrder(TRecordBuffer buffer, std::int32_t& record_no, int step) {
  const auto size = static_cast<std::int64_t>(order_.size());
  SelectArea("StepInOrder");
  const std::int32_t count = RecCount();
  for (;;) {
    pos_ += step;
    if (pos_ < 0) {
      pos_ = -1;
      TVxFileDataSet::VxiSetToBegin();
      return kVxiBeforeFirst;
    }
    if (pos_ >= size) {
      pos_ = size;
      TVxFileDataSet::VxiSetToEnd();
      return kVxiAfterLast;
    }
    const std::int32_t n = order_[static_cast<std::size_t>(pos_)];
    if (n < 1 || n > count) continue;
    TVxFileDataSet::VxiSetToRecordNo(n);
    if (!EngineRecordVisible()) continue;
    return TVxFileDataSet::VxiGetRecord(buffer, record_no);
  }
}

int TBrowserTable::VxiSetToBegin() {
  if (order_.empty()) return TVxFileDataSet::VxiSetToBegin();
  TVxFileDataSet::VxiSetToBegin();
  pos_ = -1;
  return kVxiOk;
}

int TBrowserTable::VxiSetToEnd() {
  if (order_.empty()) return TVxFileDataSet::VxiSetToEnd();
  TVxFileDataSet::VxiSetToEnd();
  pos_ = static_cast<std::int64_t>(order_.size());
  return kVxiOk;
}

int TBrowserTable::VxiGetRecordCount() {
  if (order_.empty()) return TVxFileDataSet::VxiGetRecordCount();
  return static_cast<int>(order_.size());
}

int TBrowserTable::VxiGetRecord(TRecordBuffer buffer, std::int32_t& record_no) {
  if (order_.empty()) return TVxFileDataSet::VxiGetRecord(buffer, record_no);
  if (pos_ < 0) return kVxiBeforeFirst;
  if (pos_ >= static_cast<std::int64_t>(order_.size())) return kVxiAfterLast;
  return TVxFileDataSet::VxiGetRecord(buffer, record_no);
}

int TBrowserTable::VxiGetNextRecord(TRecordBuffer buffer, std::int32_t& record_no) {
  if (order_.empty()) return TVxFileDataSet::VxiGetNextRecord(buffer, record_no);
  return StepInOrder(buffer, record_no, 1);
}

int TBrowserTable::VxiGetPriorRecord(TRecordBuffer buffer, std::int32_t& record_no) {
  if (order_.empty()) return TVxFileDataSet::VxiGetPriorRecord(buffer, record_no);
  return StepInOrder(buffer, record_no, -1);
}

int TBrowserTable::VxiSetToRecordNo(std::int32_t record_no) {
  if (order_.empty()) return TVxFileDataSet::VxiSetToRecordNo(record_no);
  const std::int32_t at = PositionOf(record_no);
  if (at < 0) return VxiSetToEnd();
  pos_ = at;
  return TVxFileDataSet::VxiSetToRecordNo(record_no);
}

int TBrowserTable::VxiSetToBookmark(const void* bookmark) {
  std::int32_t record_no = 0;
  std::memcpy(&record_no, bookmark, sizeof record_no);
  return VxiSetToRecordNo(record_no);
}

bool TBrowserTable::VxiIsEmpty() {
  if (order_.empty()) return TVxFileDataSet::VxiIsEmpty();
  return false;
}

}  // namespace vx::browser
