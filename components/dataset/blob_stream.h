#pragma once
// The stream through which data-aware controls read and write a memo field of a table dataset:
// reads, writes and seeks go to the memo storage's blob descriptor of the dataset's work area,
// and a written stream stores the new memo and its block number in the active record when it
// is destroyed. One stream may be open per dataset at a time.

#include <cstdint>
#include <functional>

#include "platform/dataset/fields.h"
#include "platform/dataset/streams.h"

namespace vx {

class TVxDataSet;

class TVxBlobStream : public TStream {
 public:
  // Told, when a written stream has stored its memo, the field number, the block the record
  // held before and the block it holds now, so that the owner can give back whichever of the
  // two the record on disk ends up not naming.
  using MemoWrittenEvent =
      std::function<void(int field_no, std::int32_t previous, std::int32_t written)>;

  // Opens the memo of `field` in the active record. Raises engine error 1103 "DataSet must be
  // active. <name>" when the dataset is closed. `code_page`: the memo text is OEM on disk.
  TVxBlobStream(TVxDataSet& dataset, TBlobField& field, TBlobStreamMode mode, bool code_page,
                MemoWrittenEvent on_written = nullptr);
  // A write stream stores the text it collected (nothing written: the memo reference is
  // cleared), puts the dataset into edit state and the record image in step, and tells the
  // dataset that the field changed. Errors go to the application's exception handler.
  ~TVxBlobStream() override;

  std::int64_t Read(void* buffer, std::int64_t count) override;
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;

 private:
  std::int32_t SlotBlock() const;
  void SetSlotBlock(std::int32_t block);
  void Finish();

  TVxDataSet& dataset_;
  TBlobField& field_;
  TBlobStreamMode mode_;
  bool modified_ = false;
  bool open_ = false;
  MemoWrittenEvent on_written_;
};

}  // namespace vx
