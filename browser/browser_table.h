#pragma once
// The browser's dataset: ZOvEzi with what a browsing window needs on top of it. A filter
// condition (a dBASE expression the engine checks while it moves), a temporary order given as
// a list of record numbers (a column sorted without a tag), a re-read of the window that keeps
// the current record (other programs' edits), and the current record kept when the order
// changes.
//
// While a temporary order is in force the engine stays in natural order and the dataset walks
// the list: the next record is the next visible one in the list, a record number outside the
// list is not in the view. Appending is left to the caller, who drops the order when the table
// changes in a way the list cannot follow.

#include <cstdint>
#include <string>
#include <vector>

#include "components/dataset/file_dataset.h"

namespace vx::browser {

// The place of every record number in `records` (index by record number, -1 for those not
// listed): a flat table, so that ten million records need 40 MB, not a hash map's 500.
std::vector<std::int32_t> PositionsOf(const std::vector<std::int32_t>& records);

class TBrowserTable : public ZOvEzi {
 public:
  using ZOvEzi::ZOvEzi;

  // Sets the condition records must meet to be shown (empty: every record); the window is
  // read again around a visible record. A condition that does not compile or is not logical
  // raises the engine's error and the old one stays.
  void SetCondition(const std::string& text);
  const std::string& Condition() const { return condition_; }
  // Counts the records that meet the condition (and are shown with the deleted-records
  // switch); the current record stays.
  std::int32_t CountVisible();

  // The temporary order: record numbers in the order shown, with their places (PositionsOf, or
  // empty to have them computed here). Natural order is chosen first; the current record stays
  // current when it is in the list.
  void SetRecordOrder(std::vector<std::int32_t> records, std::vector<std::int32_t> positions = {});
  void ClearRecordOrder();
  bool HasRecordOrder() const { return !order_.empty(); }
  const std::vector<std::int32_t>& RecordOrder() const { return order_; }

  // Chooses order n (0: natural) with the current record still current, as far as the new
  // order holds it; an empty table or a record outside the order goes to the first record.
  void ChooseOrder(int order);
  // Reads the window again, keeping the current record: other programs' edits show.
  void Reread();
  // Called while a post runs, when its write was refused (a lock the user gave up waiting
  // for): the post ends in EAbort, so the record stays in edit with what was typed and a move
  // that posted on its way stops where it is.
  void RefuseWrite() { write_refused_ = true; }

 protected:
  int VxiSetToBegin() override;
  int VxiSetToEnd() override;
  int VxiGetRecordCount() override;
  int VxiGetRecord(TRecordBuffer buffer, std::int32_t& record_no) override;
  int VxiGetNextRecord(TRecordBuffer buffer, std::int32_t& record_no) override;
  int VxiGetPriorRecord(TRecordBuffer buffer, std::int32_t& record_no) override;
  int VxiSetToRecordNo(std::int32_t record_no) override;
  int VxiSetToBookmark(const void* bookmark) override;
  bool VxiIsEmpty() override;
  void InternalPost() override;

 private:
  // Steps through the list from pos_ by `step` to the next visible record; answers its status.
  int StepInOrder(TRecordBuffer buffer, std::int32_t& record_no, int step);
  // Whether the engine's current record is shown (deleted switch and condition).
  bool EngineRecordVisible();

  bool write_refused_ = false;
  std::string condition_;
  std::vector<std::int32_t> order_;
  // The index in order_ of a record number, or -1 when the list does not hold it.
  std::int32_t PositionOf(std::int32_t record_no) const;
  std::vector<std::int32_t> position_;  // by record number: its index in order_, or -1
  std::int64_t pos_ = -1;               // -1 before the first, order_.size() after the last
};

}  // namespace vx::browser
