#pragma once
// What the Table menu's dialogs share: what is typed is checked at once (Problem), the problem
// is shown under the fields and OK held back until it is mended; OK runs the operation (OnApply)
// and closes the dialog, which stays open with the refusal shown when the operation fails.

#include <QDialog>
#include <functional>
#include <string>

class QDialogButtonBox;
class QLabel;
class QPushButton;
class QVBoxLayout;

namespace vx::browser {

class TCheckedDialog : public QDialog {
 public:
  explicit TCheckedDialog(QWidget* parent) : QDialog(parent) {}

  // What is wrong with what is typed, in words ("" when nothing is).
  virtual std::string Problem() const = 0;
  // Checks again and shows the outcome (each edit does it).
  virtual void Recheck();
  void ShowRefusal(const std::string& text) { ShowText(text, true); }

  // Runs the operation when OK is pressed; true closes the dialog.
  std::function<bool()> OnApply;

  QLabel* Message = nullptr;
  QPushButton* OkButton = nullptr;

 protected:
  // Adds the message line and the OK and Cancel buttons to `layout`.
  QDialogButtonBox* AddMessageAndButtons(QVBoxLayout* layout);
  // Shows `text` in the message line, marked as a problem or not.
  void ShowText(const std::string& text, bool problem);
};

}  // namespace vx::browser
