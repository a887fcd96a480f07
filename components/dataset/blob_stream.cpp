#include "components/dataset/blob_stream.h"

#include <cstring>
#include <span>
#include <utility>

#include "components/dataset/table_dataset.h"
#include "engine/foundation/errors.h"
#include "engine/memo/memo_storage.h"
#include "engine/workarea/work_areas.h"
#include "platform/dataset/application.h"

namespace vx {

TVxBlobStream::TVxBlobStream(TVxDataSet& dataset, TBlobField& field, TBlobStreamMode mode,
                             bool code_page, MemoWrittenEvent on_written)
    : dataset_(dataset), field_(field), mode_(mode), on_written_(std::move(on_written)) {
  if (!dataset_.Active() || dataset_.WorkArea() == 0) {
    SetEngineError(1103, "DataSet must be active. " + dataset_.Name());
    return;
  }
  dataset_.SelectArea("CreateBlobStream");
  TableRecord& table = *SelectedTable();
  if (mode_ == bmRead) {
    // No memo (block 0): an empty stream, with no descriptor behind it.
    if (SlotBlock() == 0) return;
    OpenBlob(table, code_page, SlotBlock(), BlobMode::kRead, "CreateBlobStream");
  } else {
    // A written memo always goes to new blocks: the record on disk keeps its old memo until the
    // edit is posted, so a cancelled or refused post cannot leave it pointing at freed blocks.
    // The owner gives back the blocks the record ends up not naming (on_written_).
    OpenBlob(table, code_page, 0, BlobMode::kWrite, "CreateBlobStream");
  }
  open_ = true;
}

TVxBlobStream::~TVxBlobStream() {
  try {
    Finish();
  } catch (const std::exception& e) {
    Application().HandleException(&dataset_, e);
  }
}

void TVxBlobStream::Finish() {
  if (!open_) return;
  open_ = false;
  dataset_.SelectArea("DestroyBlobStream");
  if (mode_ == bmRead) {
    CloseBlob(*SelectedTable());
    return;
  }
  // Edit state first: entering it re-reads the active record, which must not undo the new
  // block number.
  const TDataSetState state = dataset_.State();
  if (state != dsEdit && state != dsInsert && state != dsSetKey) dataset_.Edit();
  dataset_.SelectArea("DestroyBlobStream");
  const std::int32_t previous = SlotBlock();
  const std::int32_t block = CloseBlob(*SelectedTable());
  if (block != previous) modified_ = true;
  SetSlotBlock(block);
  if (on_written_) on_written_(field_.FieldNo(), previous, block);
  dataset_.BufferToEngine(dataset_.ActiveBuffer());
  if (modified_) {
    field_.SetModified(true);
    dataset_.DataEvent(deFieldChange, reinterpret_cast<std::intptr_t>(&field_));
  }
}

std::int32_t TVxBlobStream::SlotBlock() const {
  std::int32_t block = 0;
  std::memcpy(&block, dataset_.FieldSlot(dataset_.ActiveBuffer(), field_.FieldNo()), 4);
  return block;
}

void TVxBlobStream::SetSlotBlock(std::int32_t block) {
  std::memcpy(dataset_.FieldSlot(dataset_.ActiveBuffer(), field_.FieldNo()), &block, 4);
}

std::int64_t TVxBlobStream::Read(void* buffer, std::int64_t count) {
  if (!open_ || count <= 0) return 0;
  dataset_.SelectArea("ReadBlobStream");
  return ReadBlob(*SelectedTable(),
                  std::span(static_cast<char*>(buffer), static_cast<std::size_t>(count)));
}

std::int64_t TVxBlobStream::Write(const void* buffer, std::int64_t count) {
  if (!open_ || count <= 0) return 0;
  dataset_.SelectArea("WriteBlobStream");
  const std::int32_t written = WriteBlob(
      *SelectedTable(),
      std::span(static_cast<const char*>(buffer), static_cast<std::size_t>(count)));
  if (written > 0) modified_ = true;
  return written;
}

std::int64_t TVxBlobStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  if (!open_) return 0;
  dataset_.SelectArea("SeekBlobStream");
  const int from = origin == soBeginning ? 0 : origin == soCurrent ? 1 : 2;
  return SeekBlob(*SelectedTable(), offset, from);
}

}  // namespace vx
