#pragma once
// TDataSource, the component that connects data-aware controls to a dataset, and the data
// links through which controls follow it: TDataLink (a window of records, e.g. a grid's
// visible rows) and TFieldDataLink (one field of the active record, e.g. a memo editor).

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/dataset/component.h"
#include "platform/dataset/dataset.h"

namespace vx {

class TDataLink;

using TDataChangeEvent = std::function<void(TObject* sender, TField* field)>;

// Passes the dataset's events to its data links. State() is dsInactive while disabled or
// without an open dataset.
class TDataSource : public TComponent {
 public:
  explicit TDataSource(TComponent* owner);
  ~TDataSource() override;

  TDataSet* DataSet() const { return dataset_; }
  void SetDataSet(TDataSet* dataset);
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool value);
  // Whether a control's Edit() may put the dataset into dsEdit (default true).
  bool AutoEdit = true;
  TDataSetState State() const { return state_; }
  // Puts the dataset into dsEdit when AutoEdit is set and it is browsing.
  void Edit();
  bool IsLinkedTo(const TDataSet* dataset) const;
  int DataLinkCount() const { return static_cast<int>(links_.size()); }

  // Fired after the state changed, when a field or the record changed (field = nullptr for the
  // whole record, for scrolls and for layout changes), and before links write their edits.
  TNotifyEvent OnStateChange;
  TDataChangeEvent OnDataChange;
  TNotifyEvent OnUpdateData;

 protected:
  void Notification(TComponent* component, TOperation operation) override;

 private:
  friend class TDataSet;
  friend class TDataLink;

  void DataEvent(TDataEvent event, std::intptr_t info);
  void NotifyLinks(TDataEvent event, std::intptr_t info);
  void UpdateState();
  void AddDataLink(TDataLink* link);
  void RemoveDataLink(TDataLink* link);

  TDataSet* dataset_ = nullptr;
  bool enabled_ = true;
  TDataSetState state_ = dsInactive;
  std::vector<TDataLink*> links_;
};

// A control's view of a data source: BufferCount records of the dataset's window starting at
// this link's first record, with the active record among them. The dataset keeps as many
// buffers as its largest link asks for; each link keeps its own first record so that the
// active record stays within its rows.
class TDataLink : public TObject {
 public:
  TDataLink() = default;
  ~TDataLink() override;

  TDataSource* DataSource() const { return data_source_; }
  void SetDataSource(TDataSource* source);
  TDataSet* DataSet() const;
  // The data source is enabled and its dataset open.
  bool Active() const { return active_; }
  // The active record's row within this link's rows (0 .. BufferCount-1). Setting it makes that
  // row's buffer the dataset's active buffer without moving the store (a grid does this to
  // paint each row); restore it afterwards.
  int ActiveRecord() const;
  void SetActiveRecord(int value);
  int BufferCount() const { return buffer_count_; }
  void SetBufferCount(int value);
  // Rows holding records (at most BufferCount).
  int RecordCount() const;
  // The dataset is in dsEdit, dsInsert or dsSetKey and the link is not read-only.
  bool Editing() const { return editing_; }
  bool ReadOnly() const { return read_only_; }
  void SetReadOnly(bool value);
  // Asks the data source to edit (unless read-only); answers Editing().
  bool Edit();
  // Calls UpdateData (a control writes its pending edit into the field).
  void UpdateRecord();
  // Moves the dataset (see TDataSet::MoveBy); answers the distance moved, 0 when inactive.
  int MoveBy(int distance);
  bool Bof() const;
  bool Eof() const;

 protected:
  virtual void ActiveChanged() {}
  virtual void CheckBrowseMode() {}
  virtual void DataSetChanged() { RecordChanged(nullptr); }
  // The window moved by `distance` rows (positive: towards later records).
  virtual void DataSetScrolled(int distance) { DataSetChanged(); }
  virtual void EditingChanged() {}
  // A field asks its control to take the focus; a link that does sets *field to nullptr.
  virtual void FocusControl(TField** field) {}
  virtual void LayoutChanged() { DataSetChanged(); }
  virtual void RecordChanged(TField* field) {}
  virtual void UpdateData() {}

 private:
  friend class TDataSource;
  friend class TDataSet;

  void DataEvent(TDataEvent event, std::intptr_t info);
  void UpdateState();
  void UpdateRange();
  void SetActive(bool value);
  void SetEditing(bool value);

  TDataSource* data_source_ = nullptr;
  int first_record_ = 0;
  int buffer_count_ = 1;
  bool active_ = false;
  bool editing_ = false;
  bool read_only_ = false;
  bool updating_ = false;
};

// A link to one field of the active record, found by FieldName whenever the dataset opens or
// its layout changes. Controls set Modified() when the user changes their text and write it
// back in OnUpdateData.
class TFieldDataLink : public TDataLink {
 public:
  const std::string& FieldName() const { return field_name_; }
  void SetFieldName(const std::string& value);
  // The bound field, or nullptr (inactive, no name, or no such field).
  TField* Field() const { return field_; }
  // Not read-only, and the field can be modified.
  bool CanModify() const;
  // Edits the dataset when the field can be modified; answers Editing().
  bool Edit();
  // The link is editing and the field can be modified (hides TDataLink::Editing).
  bool Editing() const { return field_editing_; }
  // Marks the control's value as changed, to be written back by UpdateData.
  void Modified() { modified_ = true; }
  bool IsModified() const { return modified_; }
  // Discards the control's change: fires OnDataChange again with the field's value.
  void Reset() { RecordChanged(nullptr); }

  // The field's value changed (or the record); the control reloads its text.
  TNotifyEvent OnDataChange;
  // Editing() changed (it is Editing of the link and CanModify of the field).
  TNotifyEvent OnEditingChange;
  // Modified and the dataset wants the value: the control writes its text into the field.
  TNotifyEvent OnUpdateData;
  TNotifyEvent OnActiveChange;
  // The field asked for the focus (FocusControl, e.g. after a required-field error).
  TNotifyEvent OnFocusControl;

 protected:
  void ActiveChanged() override;
  void EditingChanged() override;
  void FocusControl(TField** field) override;
  void LayoutChanged() override;
  void RecordChanged(TField* field) override;
  void UpdateData() override;

 private:
  void UpdateField();
  void SetField(TField* field);

  std::string field_name_;
  TField* field_ = nullptr;
  bool field_editing_ = false;
  bool modified_ = false;
};

}  // namespace vx
