#pragma once
// The browser's main window: any .DBF in a TVxGrid, with a menu (File ▸ Open, View ▸ Show
// deleted), an order box (natural order and every tag of the production index), a search
// field that seeks as you type in the chosen order, and a status line (record n of N, the
// table's version and code page, exclusive or shared). Rows of records that another program
// holds locked carry a padlock in the indicator column; the locks are probed (never taken)
// every two seconds. Engine errors are shown in message boxes with the engine's text.

#include <QTimer>
#include <cstdint>
#include <functional>
#include <set>
#include <string>

#include "components/controls/data_grid.h"
#include "components/controls/memo_window.h"
#include "components/dataset/file_dataset.h"
#include "platform/dataset/data_source.h"
#include "platform/widgets/forms.h"
#include "platform/widgets/std_controls.h"

class QComboBox;
class QLineEdit;
class QMenuBar;
class QAction;

namespace vx::browser {

// The grid with a padlock in the indicator cell of every row whose record IsLocked names.
class TBrowserGrid : public TVxGrid {
 public:
  using TVxGrid::TVxGrid;
  std::function<bool(std::int32_t record_no)> IsLocked;
  // Ctrl+Delete: marks the record deleted, or restores it when it is marked.
  std::function<void()> OnToggleDeleted;

  void KeyDown(std::uint16_t& key, TShiftState shift) override;

 protected:
  void DrawCell(int col, int row, const TRect& rect, TGridDrawState state) override;
};

class TBrowserForm : public TForm {
 public:
  explicit TBrowserForm(TComponent* owner);
  ~TBrowserForm() override;

  // Opens `path` shared (closing the open table); an error from the engine is shown in a
  // message box and leaves the window empty. Answers whether the table is open.
  bool OpenTable(const std::string& path);
  // Asks for a file and opens it.
  void OpenWithDialog();
  // Chooses order n of the order box (0: natural order).
  void ChooseOrder(int order);
  // Seeks `text` in the chosen order with soft seek (nothing in natural order).
  void Seek(const std::string& text);
  // Marks or unmarks the current record as deleted.
  void ToggleDeleted();
  void SetShowDeleted(bool show);
  // Opens the memo window over the current record's memo field in the selected column.
  void OpenMemo();
  // Probes the lock of every record in the grid's window and repaints when that changed.
  void RefreshLocks();
  const std::set<std::int32_t>& LockedRecords() const { return locked_; }
  // Brings the status line up to date.
  void UpdateStatus();

  TBrowserGrid* Grid = nullptr;
  ZOvEzi* Table = nullptr;
  TDataSource* Source = nullptr;
  TPanel* ToolPanel = nullptr;
  TPanel* StatusPanel = nullptr;
  TLabel* StatusLine = nullptr;
  QMenuBar* MenuBar = nullptr;
  QComboBox* OrderBox = nullptr;
  QLineEdit* SearchField = nullptr;
  QAction* ShowDeletedAction = nullptr;
  TVxMemoWindow* MemoWindow = nullptr;

 private:
  // Runs `action`, showing an exception's text in a message box instead of letting it out.
  bool Guarded(const std::function<void()>& action);
  void LayOut();
  void FillOrderBox();
  void BuildColumns();

  std::set<std::int32_t> locked_;
  QTimer lock_timer_;
  bool filling_orders_ = false;
};

// "dBASE III" style version names and the code page of a table's language driver byte.
std::string CodePageText(std::uint8_t language_driver);

}  // namespace vx::browser
