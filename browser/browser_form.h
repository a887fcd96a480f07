#pragma once
// The browser's main window: any .DBF in a TVxGrid, shown in the table's own code page, with
// menus, an order box (natural order, every tag of the production index, and a column sorted
// without a tag), a search field that seeks as you type in the chosen tag, a filter bar for a
// dBASE condition, a quick search over every column, a record form beside the grid, a
// structure view, undo and redo of this session's edits, copying, pasting and export, and a
// status line (record n of N, matches, version, code page, sharing, order, what the last
// action found). Rows of records that another program holds locked carry a padlock; the locks
// are probed (never taken) every two seconds, and the visible rows are read again then, so
// other programs' edits show. Engine errors are shown in message boxes with the engine's text.

#include <QPointer>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "browser/browser_table.h"
#include "browser/edit_history.h"
#include "components/controls/data_grid.h"
#include "components/controls/memo_window.h"
#include "engine/table/code_page_ranking.h"
#include "platform/dataset/data_source.h"
#include "platform/widgets/forms.h"
#include "platform/widgets/std_controls.h"

class QAction;
class QActionGroup;
class QComboBox;
class QDialog;
class QLabel;
class QLineEdit;
class QMenu;
class QMenuBar;
class QProgressBar;
class QPushButton;
class QScrollArea;
class QWidget;

namespace vx::browser {

class FileOrder;
class SortBuilder;
class TFilterRow;
class TQueryWindow;
class TTableTools;
class TRecordForm;

// The grid with a padlock in the indicator cell of every row whose record IsLocked names.
class TBrowserGrid : public TVxGrid {
 public:
  using TVxGrid::TVxGrid;
  std::function<bool(std::int32_t record_no)> IsLocked;
  // The window's keys (Ctrl+G, Ctrl+Z, F3, ...); answers whether it took the key.
  std::function<bool(std::uint16_t key, TShiftState shift)> OnCommandKey;
  // Called when the titles are painted (the columns may have moved or changed width).
  std::function<void()> OnTitlesPainted;

  // The selected cells: the rectangle from an anchor cell to the current cell, in view rows
  // relative to the current record and in column indexes. Shift with the arrow keys, PgUp,
  // PgDn, Home or End, a Shift+click, or a drag from a cell spans it; a move without Shift, a
  // click, and anything that moves the current record behind the grid's back drop it.
  struct CellRange {
    int first_row = 0;  // <= 0: rows before the current record
    int rows = 1;
    int first_column = 0;
    int last_column = 0;
  };
  // The range, or the current cell alone.
  CellRange SelectedRange() const;
  // Whether more than the current cell is selected.
  bool HasCellRange() const;
  void ClearSelection();

  void KeyDown(std::uint16_t& key, TShiftState shift) override;
  void MouseDown(TMouseButton button, TShiftState shift, int x, int y) override;
  void MouseMove(TShiftState shift, int x, int y) override;
  // Whether Shift was held when the mouse was last pressed (a Shift+click on a title).
  bool ShiftPressed() const { return shift_pressed_; }

 protected:
  // Enter in a cell saves the record (a refused write keeps it in edit, as any post does).
  void EditorEnter() override;
  void DrawCell(int col, int row, const TRect& rect, TGridDrawState state) override;
  bool HighlightCell(int data_col, int data_row, TGridDrawState state) const override;

 private:
  // Whether the selection still belongs to the current record.
  bool Selecting() const;
  std::int32_t CurrentRecordNo() const;
  void StartSelection();
  // Moves the current record by `distance` rows (the anchor stays) and makes column `column`
  // current.
  void ExtendSelection(int distance, int column);

  bool selecting_ = false;
  bool shift_pressed_ = false;
  int anchor_rows_ = 0;  // the anchor's row less the current record's, in view rows
  int anchor_column_ = 0;
  std::int32_t at_record_ = 0;  // the current record the selection was made at
  // The range as the cell being drawn sees it (HighlightCell runs with the drawn row active).
  bool paint_range_ = false;
  int paint_active_row_ = 0;
  CellRange paint_selection_;
};

// The code pages the window offers to read a table in: every page a language driver mark names
// (Mazovia 620, Kamenický 895 and the Macintosh pages among them), pages only a .cpg names
// (855, 1258, KOI8-R, ISO 8859-1, -2, -5), and UTF-8.
inline constexpr int kOfferedPages[] = {437,   620,   737,   850,   852,   855,   857,   860,
                                        861,   863,   865,   866,   874,   895,   932,   936,
                                        949,   950,   1250,  1251,  1252,  1253,  1254,  1255,
                                        1256,  1257,  1258,  10000, 10006, 10007, 10029, 20866,
                                        28591, 28592, 28595, 65001};

// The user's settings (Tools > Settings), kept between sessions.
struct UserSettings {
  int date_style = 0;        // the engine's date styles 0..8 (American MM/DD/YY, ...)
  bool century = true;       // years with four digits
  bool show_deleted = true;  // records marked deleted are shown
  int unmarked_page = 0;     // the code page of tables without a mark (0: the locale's DOS page)
  int font_size = 0;         // points of the grid's and the record form's text (0: as built)
};

// Where the table's code page came from.
enum class PageSource { kMark, kLocale, kChosen };

class TBrowserForm : public TForm {
 public:
  explicit TBrowserForm(TComponent* owner);
  ~TBrowserForm() override;

  // Opens `path` shared (closing the open table). A file the user may only read, or a table
  // whose index cannot be read, opens read-only and the status line says why; an error from
  // the engine is shown in a message box and leaves the window empty. Answers whether the
  // table is open.
  bool OpenTable(const std::string& path);
  void OpenWithDialog();
  // Chooses order n of the order box (0: natural order); the current record stays current.
  void ChooseOrder(int order);
  // Opens .NDX files with the table (a name without folder from the table's): each is shown in
  // the order box after the tags, kept current by this window's edits (a read-only table's
  // only read), and opened with the table again next time. A file that cannot be used is shown
  // in a message box. Answers how many were opened.
  int OpenNdxFiles(const std::vector<std::string>& paths);
  // The .NDX files open with the table (full paths), for the Table menu's operations to keep.
  std::vector<std::string> NdxFiles() const;
  // Asks for .NDX files (File > Open index files); tests answer it themselves.
  std::function<bool(std::vector<std::string>& paths)> AskNdxFiles;
  // Seeks `text` in the chosen tag with soft seek, made into a key as the tag makes its keys;
  // the status line says found or not found (next higher).
  void Seek(const std::string& text);
  // Marks or restores the current record, after asking.
  void ToggleDeleted();
  void SetShowDeleted(bool show);
  // Opens the memo window over the current record's memo field in the selected column.
  void OpenMemo();
  // Probes the lock of every record in the grid's window and repaints when that changed.
  void RefreshLocks();
  const std::set<std::int32_t>& LockedRecords() const { return locked_; }
  // Reads the visible rows again when the table or its index changed (count, update counter,
  // or the rows' bytes), unless an edit is open.
  void RefreshRows();
  void UpdateStatus();

  // --- Code page ---
  // Shows and searches the table's text in `page` (0: the page the table says, else the
  // locale's DOS page).
  void SetCodePage(int page);
  // Before the window closes: an unsaved edit of the current record is saved, dropped or kept
  // (the window then stays open) as the user answers. Answers whether the window may close.
  bool SettleEditBeforeClosing();
  // Checks the View > Code page entry of the chosen page ("As the table says" for none).
  void MarkChosenPage();
  int CodePage() const { return code_page_; }
  // The code-page assistant's ranking of the table's own text and memos, best first (a page
  // the table's mark names comes first among equals); `high_bytes` receives how many bytes
  // beyond ASCII the text held. The grid's record stays current.
  std::vector<PageScore> RankTablePages(std::size_t* high_bytes = nullptr);
  // View > Code page > Suggest: the ranking in a window beside the grid; choosing a page shows
  // the table in it at once, OK keeps it, Cancel goes back to the page shown before.
  void ShowPageAssistant();
  PageSource CodePageSource() const { return page_source_; }

  // --- Sorting by a column ---
  // Orders the grid by column `column`'s field: through a tag whose key is the field or
  // UPPER() of it, else through a temporary order built in the background. Again on the same
  // column reverses the temporary order (a tag's order stays as the tag keeps it). kAdd (a
  // Shift+click on the title) sorts by one more column, compared where the columns before
  // are equal (a temporary order, also after a sort through a tag), or reverses that column
  // when it is one of them already.
  enum class SortMode { kReplace, kAdd };
  void SortByColumn(int column, SortMode mode = SortMode::kReplace);
  // Whether a temporary order is being built; its progress 0..100; stop building.
  bool Sorting() const { return sorter_ != nullptr; }
  void CancelSort();
  // Waits for the building to end (tests and pictures).
  void FinishSort();

  // --- Filter and quick search ---
  // Checks a condition as typed: empty when it would be accepted, else the error in words.
  std::string CheckCondition(const std::string& text);
  // Applies the condition (empty: none); answers false when it was refused.
  bool ApplyFilter(const std::string& text);
  // The next record after the current one in the view holding `text` in any column (case
  // ignored); answers whether one was found (the current record stays otherwise).
  bool FindNext(const std::string& text);
  // Moves to record number n; false when the view does not hold it.
  bool GoToRecord(std::int32_t n);

  // --- Undo, copy, export ---
  bool Undo();
  bool Redo();
  EditHistory& History() { return history_; }
  // The selected cells (a range, or the current cell; the rows' visible columns with
  // `whole_rows`) as tab-separated text, one line per row, also put on the clipboard. Dates go
  // out as YYYY-MM-DD; a lone cell keeps its text whole.
  std::string CopyCells(bool whole_rows);
  // Pastes tab-separated text into the selected range from its top left cell, rows downwards
  // (one value fills the whole range). Every value is first checked by the rules vxdbf append
  // follows (width, number fit, date and logical forms, the table's code page); a refused value
  // changes nothing and is shown. Answers the number of records changed.
  int PasteCells(const std::string& text);
  // Writes the current view (order, filter, visible columns) as CSV or as JSON lines.
  enum class ExportFormat { kCsv, kJsonLines };
  bool ExportView(const std::string& path, ExportFormat format);

  // --- Views ---
  void ShowRecordForm(bool show);
  // The structure as text (fields, tags, memo file, header) and the window that shows it.
  std::string StructureText();
  void ShowStructure();
  // Runs the table checker (table header, memo pointers, every tag) and shows its report;
  // when it found something, offers the repair. Answers whether the check ran.
  bool CheckTable();
  // Repairs what the checker can (rebuilds failed tags, counts an unfinished append's records)
  // with the table closed in this window, shows what was done and opens the table again.
  bool RepairTable();

  // Keeps the window's size, recent files and the table's columns, order and filter.
  void SaveSettings();
  // The user's settings: as kept, and changed (kept and applied at once).
  static UserSettings LoadUserSettings();
  const UserSettings& Settings() const { return user_; }
  void SetUserSettings(const UserSettings& user);
  // Tools > Settings: a dialog whose OK applies and keeps what it shows.
  QDialog* ShowSettings();
  // Tools > Query: SQL over the open table and its folder's other tables (null without a
  // table, or in a build without SQLite).
  TQueryWindow* ShowQueryWindow();
  TQueryWindow* QueryWindow() const { return query_window_.get(); }

  // --- Table tools (table_tools.cpp) ---
  // The open table's full path ("" when none).
  const std::string& TablePath() const { return path_; }
  // Lets go of the open table (its edit posted, the query window and a temporary order gone
  // with it) so that an operation may have it to itself, and takes it back afterwards in the
  // code page it was shown in.
  struct Released {
    std::string path;
    int page = 0;
  };
  Released ReleaseTable();
  bool TakeBackTable(const Released& released);
  // The Table menu's operations and dialogs.
  std::unique_ptr<TTableTools> Tools;

  // --- The filter row (filter_row.cpp) ---
  // A cell under each column's title; what is typed there becomes the filter bar's condition.
  std::unique_ptr<TFilterRow> FilterRow;
  TPanel* FilterStrip = nullptr;
  // The stored type of a field of the open table ('C', 'N', 'D', ...; 0 when unknown).
  char FieldType(TField* field) const;

  TBrowserGrid* Grid = nullptr;
  TBrowserTable* Table = nullptr;
  TDataSource* Source = nullptr;
  TPanel* ToolPanel = nullptr;
  TPanel* StatusPanel = nullptr;
  TPanel* FormPanel = nullptr;
  TLabel* StatusLine = nullptr;
  QMenuBar* MenuBar = nullptr;
  QComboBox* OrderBox = nullptr;
  QLineEdit* SearchField = nullptr;
  QLineEdit* FilterField = nullptr;
  QLabel* FilterMessage = nullptr;
  QLineEdit* QuickField = nullptr;
  QProgressBar* SortProgress = nullptr;
  QPushButton* SortCancel = nullptr;
  QAction* ShowDeletedAction = nullptr;
  QAction* RecordFormAction = nullptr;
  QAction* ExitAction = nullptr;
  QAction* OpenNdxAction = nullptr;
  QAction* CheckAction = nullptr;
  QAction* SettingsAction = nullptr;
  QAction* QueryAction = nullptr;
  QMenu* CodePageMenu = nullptr;
  QAction* SuggestPageAction = nullptr;
  // The code-page assistant's window while it is open.
  QPointer<QDialog> PageAssistant;  // cleared by Qt when the dialog goes
  QMenu* RecentMenu = nullptr;
  TVxMemoWindow* MemoWindow = nullptr;
  TRecordForm* RecordForm = nullptr;
  // What to do about a table another program holds for its exclusive use: try again, open it
  // read-only (offered when it can be read meanwhile), or leave it; tests answer it themselves.
  enum class HeldAnswer { kRetry, kReadOnly, kCancel };
  std::function<HeldAnswer(const std::string& text, bool can_read)> AskAboutHeldTable;
  // Asks for a record number (Ctrl+G); tests answer it themselves.
  std::function<bool(std::int32_t& n)> AskRecordNumber;
  // Asks where to export to and in which form; tests answer it themselves.
  std::function<bool(std::string& path, ExportFormat& format)> AskExportFile;
  // What the last search, filter, sort or refused edit said (shown in the status line).
  std::string Notice;
  // Why the table is open read-only ("" when it is not).
  std::string ReadOnlyReason;
  // The last report of Tools > Check table (or of its repair).
  std::string CheckReport;

 private:
  bool Guarded(const std::function<void()>& action);
  void BuildMenus();
  void BuildToolRow();
  void LayOut();
  void FillOrderBox();
  void ShowOrderInBox();
  // Reads the structural .CDX's tags and the .NDX files kept for the open table into
  // file_orders_ (attaching the .NDX files to its area unless it is read-only).
  void LoadFileOrders();
  // Puts file order n in force: its records read into the temporary order.
  void ChooseFileOrder(int n);
  // Reads the order in force again after this window changed the table.
  void ReloadFileOrder();
  void BuildColumns();
  void FitColumns();
  void ChooseTablePage();
  void CloseTable();
  bool OpenFile(const std::string& path, bool read_only, std::string& failure, std::uint16_t& code);
  // Opens a table another program holds for its exclusive use as the user answers (again,
  // read-only, or not at all).
  bool OpenHeldTable(const std::string& path, std::string& failure, std::uint16_t& code);
  // The first number of the record being posted that its field cannot hold, in words ("" when
  // every one fits).
  std::string NumberThatDoesNotFit();
  // Why the engine refuses every edit of the open table ("" when it does not).
  std::string EditRefusalOfTable();
  // Whether the open table's production index (or one of its tags) cannot be read; the
  // reason goes to index_problem_.
  bool IndexUnreadable(std::string& failure);
  bool CommandKey(std::uint16_t key, TShiftState shift);
  void AskAndGoToRecord();
  // Places a record just found in the upper half of the grid's window.
  void ShowFoundRecord();
  EditHistory::Values CurrentValues();
  void AfterPost();
  bool WriteValues(const EditHistory::Values& values);
  bool Replay(bool undo);
  // A pasted value checked and ready for its field.
  struct PastedValue {
    TField* field = nullptr;
    bool blank = false;
    double number = 0;  // N, F; D as the framework's date value
    bool logical = false;
    std::string text;  // C, in the table's code page
  };
  // Checks `text` for `field`; answers "" and fills `value`, or the problem in words.
  std::string PasteValue(TField* field, const std::string& text, PastedValue& value);
  void WritePasted(const PastedValue& value);
  // Calls `visit` on the records of rows [first_row, first_row + rows) of the view, relative
  // to the current record (row is the index in that range), and comes back; answers how many.
  int ForEachRow(int first_row, int rows, const std::function<void(int row)>& visit);
  // A cell's text as copied: `raw` keeps a lone cell's text whole.
  static std::string CellText(TField* field, bool raw);
  void PollSort();
  // Starts the background sort over the columns sort_field_ and sort_more_ name.
  void StartSort();
  // The columns sorted by, "YEAR descending, TITLE" (with arrows: "YEAR \u25BC, TITLE \u25B2").
  std::string SortText(bool arrows) const;
  bool SortsBy(const std::string& field) const;
  void DropTemporaryOrder(const std::string& why);
  void RememberRecent(const std::string& path);
  void FillRecentMenu();
  void RestoreTableSettings();
  // A write refused for a lock: the post stops and the typed values stay in the row.
  void KeepRefusedEdit();
  std::string RowSignature();

  std::set<std::int32_t> locked_;
  QTimer lock_timer_;
  bool filling_orders_ = false;
  std::string path_;
  int code_page_ = 0;
  int chosen_page_ = 0;
  PageSource page_source_ = PageSource::kLocale;
  // The temporary order: the column it sorts and its direction.
  std::unique_ptr<SortBuilder> sorter_;
  QTimer sort_timer_;
  std::string sort_field_;
  bool sort_descending_ = false;
  // The further columns of a sort by several, in turn, and whether each is descending.
  std::vector<std::pair<std::string, bool>> sort_more_;
  std::int32_t sorted_count_ = 0;
  // The last state of the table seen by RefreshRows.
  std::int32_t seen_count_ = -1;
  std::string seen_rows_;
  std::int32_t matches_ = -1;
  // The edit being posted, for undo and for a refused lock.
  EditHistory history_;
  EditHistory::Values before_post_;
  bool post_refused_ = false;
  bool appending_ = false;
  bool replaying_ = false;
  std::int32_t deleting_ = 0;
  std::string index_problem_;
  // Orders from index files the work area does not keep (file_orders.h): the .CDX's tags and
  // the .NDX files opened with the table, after its tags in the order box; -1: none in force.
  std::vector<std::unique_ptr<FileOrder>> file_orders_;
  int file_order_ = -1;
  // The tag read in its writer's own order (0: none); edits wait while it is chosen.
  int writers_order_tag_ = 0;
  std::set<int> damaged_tags_;
  QWidget* structure_dialog_ = nullptr;
  bool start_maximised_ = false;
  std::unique_ptr<TQueryWindow> query_window_;
  std::string query_table_;
  UserSettings user_;
  int default_font_size_ = 0;
  void ApplyUserSettings();
  bool repairing_ = false;
};

}  // namespace vx::browser
