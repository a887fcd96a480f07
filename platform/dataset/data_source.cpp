#include "platform/dataset/data_source.h"

#include <algorithm>

namespace vx {

// --- TDataSource -------------------------------------------------------------------------------

TDataSource::TDataSource(TComponent* owner) : TComponent(owner) {}

TDataSource::~TDataSource() {
  Destroying();
  while (!links_.empty()) links_.back()->SetDataSource(nullptr);
  SetDataSet(nullptr);
}

void TDataSource::SetDataSet(TDataSet* dataset) {
  if (dataset == dataset_) return;
  if (dataset_ != nullptr) {
    TDataSet* old = dataset_;
    dataset_ = nullptr;
    RemoveFreeNotification(old);
    old->RemoveDataSource(this);
    UpdateState();
  }
  if (dataset != nullptr) {
    dataset_ = dataset;
    FreeNotification(dataset);
    dataset->AddDataSource(this);
    UpdateState();
  }
}

void TDataSource::Notification(TComponent* component, TOperation operation) {
  TComponent::Notification(component, operation);
  // A dataset detaches its sources while it is still whole; this covers any other order.
  if (operation == opRemove && component == dataset_) {
    dataset_ = nullptr;
    UpdateState();
  }
}

void TDataSource::SetEnabled(bool value) {
  if (enabled_ == value) return;
  enabled_ = value;
  UpdateState();
}

void TDataSource::Edit() {
  if (AutoEdit && dataset_ != nullptr && state_ == dsBrowse) dataset_->Edit();
}

bool TDataSource::IsLinkedTo(const TDataSet* dataset) const {
  return dataset != nullptr && dataset == dataset_;
}

void TDataSource::UpdateState() {
  const TDataSetState state = enabled_ && dataset_ != nullptr ? dataset_->State() : dsInactive;
  const bool changed = state != state_;
  state_ = state;
  const std::vector<TDataLink*> links = links_;
  for (TDataLink* link : links) link->UpdateState();
  if (changed && OnStateChange) OnStateChange(this);
}

void TDataSource::NotifyLinks(TDataEvent event, std::intptr_t info) {
  const std::vector<TDataLink*> links = links_;
  for (TDataLink* link : links) {
    // A link removed by an earlier link's handler is not told.
    if (std::find(links_.begin(), links_.end(), link) != links_.end()) {
      link->DataEvent(event, info);
    }
  }
}

void TDataSource::DataEvent(TDataEvent event, std::intptr_t info) {
  if (event == deUpdateState) {
    UpdateState();
    return;
  }
  if (state_ == dsInactive) return;
  NotifyLinks(event, info);
  switch (event) {
    case deFieldChange:
    case deRecordChange:
      if (OnDataChange) OnDataChange(this, InfoField(info));
      break;
    case deDataSetChange:
    case deDataSetScroll:
    case deLayoutChange:
      if (OnDataChange) OnDataChange(this, nullptr);
      break;
    case deUpdateRecord:
      if (OnUpdateData) OnUpdateData(this);
      break;
    default:
      break;
  }
}

void TDataSource::AddDataLink(TDataLink* link) {
  links_.push_back(link);
  link->data_source_ = this;
  if (dataset_ != nullptr) dataset_->UpdateBufferCount();
  link->UpdateState();
}

void TDataSource::RemoveDataLink(TDataLink* link) {
  link->data_source_ = nullptr;
  links_.erase(std::remove(links_.begin(), links_.end(), link), links_.end());
  link->UpdateState();
  if (dataset_ != nullptr) dataset_->UpdateBufferCount();
}

// --- TDataLink ---------------------------------------------------------------------------------

TDataLink::~TDataLink() { SetDataSource(nullptr); }

void TDataLink::SetDataSource(TDataSource* source) {
  if (source == data_source_) return;
  if (data_source_ != nullptr) data_source_->RemoveDataLink(this);
  if (source != nullptr) source->AddDataLink(this);
}

TDataSet* TDataLink::DataSet() const {
  return data_source_ != nullptr ? data_source_->DataSet() : nullptr;
}

int TDataLink::ActiveRecord() const {
  if (!active_ || data_source_->State() == dsSetKey) return 0;
  return DataSet()->active_record_ - first_record_;
}

void TDataLink::SetActiveRecord(int value) {
  if (!active_ || data_source_->State() == dsSetKey) return;
  DataSet()->active_record_ = value + first_record_;
}

int TDataLink::RecordCount() const {
  if (!active_) return 0;
  if (data_source_->State() == dsSetKey) return 1;
  return std::clamp(DataSet()->record_count_ - first_record_, 0, buffer_count_);
}

void TDataLink::SetBufferCount(int value) {
  value = std::max(value, 1);
  if (buffer_count_ == value) return;
  buffer_count_ = value;
  if (active_) {
    UpdateRange();
    DataSet()->UpdateBufferCount();
    UpdateRange();
  } else if (DataSet() != nullptr) {
    DataSet()->UpdateBufferCount();
  }
}

void TDataLink::SetReadOnly(bool value) {
  if (read_only_ == value) return;
  read_only_ = value;
  UpdateState();
}

bool TDataLink::Edit() {
  if (!read_only_ && data_source_ != nullptr) data_source_->Edit();
  return editing_;
}

void TDataLink::UpdateRecord() {
  updating_ = true;
  try {
    UpdateData();
  } catch (...) {
    updating_ = false;
    throw;
  }
  updating_ = false;
}

int TDataLink::MoveBy(int distance) { return active_ ? DataSet()->MoveBy(distance) : 0; }

bool TDataLink::Bof() const { return DataSet() == nullptr || DataSet()->Bof(); }

bool TDataLink::Eof() const { return DataSet() == nullptr || DataSet()->Eof(); }

void TDataLink::UpdateState() {
  const bool active = data_source_ != nullptr && data_source_->State() != dsInactive;
  SetActive(active);
  const TDataSetState state = active ? data_source_->State() : dsInactive;
  SetEditing(active && !read_only_ && (state == dsEdit || state == dsInsert || state == dsSetKey));
}

void TDataLink::UpdateRange() {
  const TDataSet* dataset = DataSet();
  if (dataset == nullptr) return;
  const int low = std::max(0, dataset->active_record_ - buffer_count_ + 1);
  const int high = std::min(dataset->buffer_count_ - buffer_count_, dataset->active_record_);
  first_record_ = std::min(std::max(first_record_, low), std::max(high, low));
}

void TDataLink::SetActive(bool value) {
  if (active_ == value) return;
  active_ = value;
  if (value) {
    UpdateRange();
  } else {
    first_record_ = 0;
  }
  ActiveChanged();
}

void TDataLink::SetEditing(bool value) {
  if (editing_ == value) return;
  editing_ = value;
  EditingChanged();
}

void TDataLink::DataEvent(TDataEvent event, std::intptr_t info) {
  if (event == deUpdateState) {
    UpdateState();
    return;
  }
  if (!active_) return;
  switch (event) {
    case deFieldChange:
    case deRecordChange:
      if (!updating_) RecordChanged(InfoField(info));
      break;
    case deDataSetChange:
    case deDataSetScroll:
    case deLayoutChange: {
      int distance = 0;
      if (data_source_->State() != dsSetKey) {
        const int shift = event == deDataSetScroll ? static_cast<int>(info) : 0;
        const int followed = first_record_ + shift;  // the first row's record, moved with it
        first_record_ = followed;
        UpdateRange();
        distance = first_record_ - followed;
      }
      if (event == deDataSetChange) {
        DataSetChanged();
      } else if (event == deDataSetScroll) {
        DataSetScrolled(distance);
      } else {
        LayoutChanged();
      }
      break;
    }
    case deUpdateRecord:
      UpdateRecord();
      break;
    case deCheckBrowseMode:
      CheckBrowseMode();
      break;
    case deFocusControl:
      FocusControl(reinterpret_cast<TField**>(info));
      break;
    default:
      break;
  }
}

// --- TFieldDataLink ----------------------------------------------------------------------------

void TFieldDataLink::SetFieldName(const std::string& value) {
  if (field_name_ == value) return;
  field_name_ = value;
  UpdateField();
}

void TFieldDataLink::UpdateField() {
  TField* field = nullptr;
  if (Active() && !field_name_.empty()) field = DataSet()->FindField(field_name_);
  SetField(field);
}

void TFieldDataLink::SetField(TField* field) {
  if (field_ == field) return;
  field_ = field;
  EditingChanged();
  RecordChanged(nullptr);
}

bool TFieldDataLink::CanModify() const {
  return !ReadOnly() && field_ != nullptr && field_->CanModify();
}

bool TFieldDataLink::Edit() {
  if (CanModify()) TDataLink::Edit();
  return field_editing_;
}

void TFieldDataLink::ActiveChanged() {
  TField* before = field_;
  UpdateField();
  // The same field over a newly opened dataset: its value is new all the same.
  if (field_ == before && field_ != nullptr) RecordChanged(nullptr);
  if (OnActiveChange) OnActiveChange(this);
}

void TFieldDataLink::EditingChanged() {
  const bool editing = TDataLink::Editing() && CanModify();
  if (field_editing_ == editing) return;
  field_editing_ = editing;
  modified_ = false;
  if (OnEditingChange) OnEditingChange(this);
}

void TFieldDataLink::FocusControl(TField** field) {
  if (field == nullptr || *field == nullptr || *field != field_) return;
  if (!OnFocusControl) return;
  *field = nullptr;
  OnFocusControl(this);
}

void TFieldDataLink::LayoutChanged() { UpdateField(); }

void TFieldDataLink::RecordChanged(TField* field) {
  if (field != nullptr && field != field_) return;
  if (OnDataChange) OnDataChange(this);
  modified_ = false;
}

void TFieldDataLink::UpdateData() {
  if (!modified_) return;
  if (field_ != nullptr && OnUpdateData) OnUpdateData(this);
  modified_ = false;
}

}  // namespace vx
