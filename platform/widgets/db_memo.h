#pragma once
// TDBMemo: a plain-text editor bound to one field of a data source through a field data link.
// It shows the field's text (memo fields read through the dataset's blob stream), puts the
// dataset into edit state when the user starts to change the text, and writes the text back
// into the field when the record is posted or the editor loses the focus. Escape gives the
// field's text back. Memo text is ANSI with CR LF line ends; the editor works in Unicode.

#include <string>

#include "platform/dataset/data_source.h"
#include "platform/widgets/controls.h"

class QPlainTextEdit;

namespace vx {

class TDBMemo : public TWinControl {
 public:
  explicit TDBMemo(TComponent* owner);
  ~TDBMemo() override;

  TDataSource* DataSource() const { return data_link_.DataSource(); }
  void SetDataSource(TDataSource* source);
  const std::string& DataField() const { return data_link_.FieldName(); }
  void SetDataField(const std::string& name) { data_link_.SetFieldName(name); }
  TField* Field() const { return data_link_.Field(); }
  TFieldDataLink& DataLink() { return data_link_; }

  bool ReadOnly() const { return read_only_; }
  void SetReadOnly(bool value);
  // The editor's text (ANSI, CR LF line ends), and setting it as if the user had typed it.
  std::string EditText() const;
  void SetEditText(const std::string& text);
  // The user changed the text since it was loaded.
  bool Modified() const { return modified_; }

  void KeyDown(std::uint16_t& key, TShiftState shift) override;
  void KeyPress(char& key) override;
  void DoExit() override;

 protected:
  void Notification(TComponent* component, TOperation operation) override;
  void ColorChanged() override;

 private:
  QPlainTextEdit* Editor() const;
  void LoadFromField();
  void WriteToField();
  void UpdateReadOnly();
  void TextEdited();
  // Puts the dataset into edit state for a change of the user; answers whether it may go on.
  bool BeginChange();

  TFieldDataLink data_link_;
  bool read_only_ = false;
  bool loading_ = false;
  bool modified_ = false;
};

}  // namespace vx
