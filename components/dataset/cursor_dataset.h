#pragma once
// TVxCDataSet: the table dataset with its properties and events public, ReadOnly, the engine
// kept in step with the cursor when asked, and ReplaceRec for callers that changed the engine's
// record image themselves (the memo editor). Opening files, locks and table creation are in
// file_dataset.h.

#include <array>

#include "components/dataset/table_dataset.h"

namespace vx {

class TVxCDataSet : public TVxDataSet {
 public:
  explicit TVxCDataSet(TComponent* owner);

  bool ReadOnly() const { return read_only_; }
  void SetReadOnly(bool value) { read_only_ = value; }
  // While set, the engine is brought to the active record (or given the record being inserted)
  // before AfterScroll and AfterCancel fire.
  bool EngineFollowsCursor() const { return engine_follows_cursor_; }
  void SetEngineFollowsCursor(bool value) { engine_follows_cursor_ = value; }
  // Notification hooks for controls, cleared when the table closes. Hook 0 is called after
  // every synchronisation of the engine (see SetEngineFollowsCursor); nothing here calls the
  // other two.
  std::array<TDataSetNotifyEvent, 3> NotifyHooks;

  bool CanModify() const override { return !read_only_; }
  // Writes the engine's record image over the current record (the caller holds the record's
  // lock), moves to a visible record when it no longer is one, and re-reads the window.
  void ReplaceRec();

 protected:
  void SynchroniseEngine() override;
  // After a seek of the engine: the window follows the engine's record, or, when the seek ran
  // off the end, the dataset goes to its last record.
  void SeekCompletion();
  void BeforeCloseTable() override;
  void DoAfterCancel() override;
  void DoAfterScroll() override;
  // Called once ReplaceRec has written the record.
  virtual void RecordWritten() {}

 private:
  bool read_only_ = false;
  bool engine_follows_cursor_ = false;
};

}  // namespace vx
