#pragma once
// The browser's Table menu: create a table, change its structure, add and drop tags, pack, zap,
// copy, and import rows from CSV or JSON lines, each through the library (include/vexel) as any
// other program would. The dialogs live in files of their own; this unit runs the operations:
// with the table let go of in the window while one needs it to itself, their progress in a
// window-modal box, Cancel where the operation can stop with nothing changed, and a table held
// by another program said in words with the choice to try again.

#include <QPointer>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class QAction;
class QMenuBar;
class QProgressDialog;

namespace vexel {
struct OpenOptions;
}

namespace vx::browser {

class TBrowserForm;
class TCopyDialog;
class TFieldListEditor;
class TImportDialog;
class TTagDialog;

// How an operation ended.
enum class ToolOutcome { kDone, kCancelled, kFailed };

// One operation as TTableTools::Run runs it.
struct ToolRun {
  std::string title{};  // "Pack", shown as the progress box's title and in messages
  // The library's progress label of the stage that may stop half-way with nothing changed
  // ("pack", "copy", "alter", "read"); empty: Cancel is not offered.
  std::string cancellable{};
  bool release = true;  // the window lets go of the table meanwhile (exclusive use)
  // The work: answers what was done, in words. Library errors are shown by Run.
  std::function<std::string(vexel::OpenOptions& options)> work{};
};

class TTableTools {
 public:
  explicit TTableTools(TBrowserForm& form);
  ~TTableTools();
  TTableTools(const TTableTools&) = delete;
  TTableTools& operator=(const TTableTools&) = delete;

  // Adds the Table menu to `bar`.
  void BuildMenu(QMenuBar* bar);

  // The dialogs (null when the tool needs a table and none is open). Each runs its operation
  // when its OK button is pressed, and stays open with the refusal shown when it fails.
  TFieldListEditor* ShowCreateTable();
  TFieldListEditor* ShowAlterTable();
  TTagDialog* ShowTags();
  TImportDialog* ShowImport();
  TCopyDialog* ShowCopy();
  // Pack and zap the open table, after asking.
  bool Pack();
  bool Zap();

  // Runs one operation with its progress shown, the table closed in the window meanwhile when
  // `run.release` (and opened again after, in the page it was shown in).
  ToolOutcome Run(const ToolRun& run);
  // Asks Run's operation to stop at its next step (where it can).
  void Cancel() { cancel_ = true; }

  // Questions, answered by tests themselves: whether to go on ("Pack FILMS.DBF?"), and whether
  // to try again when another program holds the table.
  std::function<bool(const std::string& question)> Confirm;
  std::function<bool(const std::string& text)> AskRetry;
  // Called at every progress step (the stage's label, done, total), before Cancel is looked at.
  std::function<void(const std::string& label, std::int64_t done, std::int64_t total)> OnProgress;
  // What the last operation said (done, cancelled, or why it failed), as shown to the user.
  std::string LastMessage;
  // The progress box while an operation runs.
  QProgressDialog* ProgressBox = nullptr;

  QAction* AlterAction = nullptr;
  QAction* TagsAction = nullptr;

 private:
  // The message for an operation refused because another program has the table open.
  std::string HeldText(const std::string& title) const;
  void Say(const std::string& text, bool problem);

  TBrowserForm& form_;
  bool cancel_ = false;
  bool running_ = false;
};

}  // namespace vx::browser
