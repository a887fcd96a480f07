#include "components/dataset/cursor_dataset.h"

#include "engine/foundation/errors.h"
#include "engine/workarea/navigation.h"

namespace vx {

TVxCDataSet::TVxCDataSet(TComponent* owner) : TVxDataSet(owner) {}

void TVxCDataSet::SynchroniseEngine() {
  if (engine_follows_cursor_) TVxDataSet::SynchroniseEngine();
  if (NotifyHooks[0]) NotifyHooks[0](this);
}

void TVxCDataSet::SeekCompletion() {
  if (!dEOF()) {
    ResyncAfterEngineMove();
  } else {
    Last();
  }
}

void TVxCDataSet::BeforeCloseTable() {
  for (TDataSetNotifyEvent& hook : NotifyHooks) hook = nullptr;
}

void TVxCDataSet::DoAfterCancel() {
  SynchroniseEngine();
  TVxDataSet::DoAfterCancel();
}

void TVxCDataSet::DoAfterScroll() {
  SynchroniseEngine();
  TVxDataSet::DoAfterScroll();
}

void TVxCDataSet::ReplaceRec() {
  SelectArea("ReplaceRec");
  REPLACE();
  if (EngineErrorCode == 0) RecordWritten();
  ::vx::Resync();
  FileNameChanged();
  ResyncAfterEngineMove();
}

}  // namespace vx
