#include "browser/browser_form.h"

#include "browser/file_orders.h"

#include <QAction>
#include <QActionGroup>
#include <QClipboard>
#include <QComboBox>
#include <QCoreApplication>
#include <QFileDialog>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QProgressBar>
#include <QScreen>
#include <QPushButton>
#include <QSettings>
#include <QStandardItemModel>
#include <algorithm>
#include <exception>
#include <filesystem>

#include "browser/file_orders.h"
#include "browser/form_text.h"
#include "browser/query_window.h"
#include "browser/record_form.h"
#include "browser/search_key.h"
#include "browser/sort_builder.h"
#include "browser/filter_row.h"
#include "browser/table_tools.h"
#include "components/dataset/table_dataset.h"
#include "engine/expr/expression.h"
#include "engine/foundation/errors.h"
#include "engine/foundation/setting_scope.h"
#include "engine/index/orders.h"
#include "engine/table/language_driver.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/record_image.h"
#include "engine/workarea/work_areas.h"
#include "platform/dataset/application.h"
#include "platform/dataset/sys_utils.h"
#include "platform/os/codepage.h"
#include "platform/os/file.h"

namespace vx::browser {

#ifndef VX_HAVE_SQLITE
// Without SQLite there is no query window; its owner still names the type.
TQueryWindow::~TQueryWindow() = default;
#endif

namespace {

constexpr int kToolHeight = 82;  // menu bar row, order/search row, filter row
constexpr int kFilterRowHeight = 24;  // the filter row: a cell under each column's title
constexpr int kStatusHeight = 22;
constexpr int kFormWidth = 300;
constexpr int kLockProbeMillis = 2000;
constexpr int kSortPollMillis = 50;
constexpr int kMaxColumnWidth = 360;
constexpr int kRetryAnswer = 4;  // IDRETRY
constexpr std::uint16_t kKeyF3 = 0x72;
constexpr int kRetryCancelButtons = 5;  // MB_RETRYCANCEL

// Key presses in a line editor that move on: Down and Enter go to `target`.
class MoveOnKeys : public QObject {
 public:
  MoveOnKeys(QObject* parent, std::function<bool(int key)> handle)
      : QObject(parent), handle_(std::move(handle)) {}

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() != QEvent::KeyPress) return false;
    return handle_(static_cast<QKeyEvent*>(event)->key());
  }

 private:
  std::function<bool(int key)> handle_;
};

}  // namespace

// --- Grid ------------------------------------------------------------------------------------

void TBrowserGrid::DrawCell(int col, int row, const TRect& rect, TGridDrawState state) {
  // The cell is drawn with its own row as the active record: the range is placed first.
  paint_range_ = HasCellRange();
  if (paint_range_) {
    paint_active_row_ = DataLink().ActiveRecord();
    paint_selection_ = SelectedRange();
  }
  TVxGrid::DrawCell(col, row, rect, state);
  if (row == 0 && col == LeftCol() && OnTitlesPainted) OnTitlesPainted();
  const int data_row = row - TitleOffset();
  if (col >= IndicatorOffset() || data_row < 0 || !IsLocked || !DataLink().Active() ||
      data_row >= DataLink().RecordCount())
    return;
  std::int32_t record_no = 0;
  {
    LinkRecordScope scope(DataLink(), data_row);
    record_no = DataLink().DataSet()->RecNo();
  }
  if (!IsLocked(record_no)) return;
  QPainter* painter = Canvas().Painter();
  if (painter == nullptr) return;
  // A padlock: a shackle over a filled body, centred in the cell.
  const int cx = (rect.Left + rect.Right) / 2;
  const int cy = (rect.Top + rect.Bottom) / 2;
  painter->save();
  painter->setRenderHint(QPainter::Antialiasing, true);
  painter->setPen(QPen(QColor(120, 0, 0), 1.5));
  painter->setBrush(Qt::NoBrush);
  painter->drawArc(QRectF(cx - 3, cy - 6, 6, 7), 0, 180 * 16);
  painter->drawLine(QPointF(cx - 3, cy - 2.5), QPointF(cx - 3, cy - 1));
  painter->drawLine(QPointF(cx + 3, cy - 2.5), QPointF(cx + 3, cy - 1));
  painter->setPen(Qt::NoPen);
  painter->setBrush(QColor(180, 20, 20));
  painter->drawRect(QRectF(cx - 4.5, cy - 1, 9, 7));
  painter->restore();
}

std::int32_t TBrowserGrid::CurrentRecordNo() const {
  TDataSet* data = DataLink().DataSet();
  return data != nullptr && data->Active() && !data->IsEmpty() ? data->RecNo() : 0;
}

bool TBrowserGrid::Selecting() const {
  return selecting_ && DataLink().Active() && at_record_ != 0 && CurrentRecordNo() == at_record_;
}

bool TBrowserGrid::HasCellRange() const {
  return Selecting() && (anchor_rows_ != 0 || anchor_column_ != SelectedIndex());
}

TBrowserGrid::CellRange TBrowserGrid::SelectedRange() const {
  const int column = SelectedIndex();
  if (!HasCellRange()) return {0, 1, column, column};
  return {std::min(0, anchor_rows_), std::abs(anchor_rows_) + 1, std::min(anchor_column_, column),
          std::max(anchor_column_, column)};
}

void TBrowserGrid::ClearSelection() {
  if (HasCellRange()) Invalidate();
  selecting_ = false;
  anchor_rows_ = 0;
}

void TBrowserGrid::StartSelection() {
  if (Selecting()) return;
  selecting_ = true;
  anchor_rows_ = 0;
  anchor_column_ = SelectedIndex();
  at_record_ = CurrentRecordNo();
}

void TBrowserGrid::ExtendSelection(int distance, int column) {
  StartSelection();
  if (distance != 0) anchor_rows_ -= DataLink().MoveBy(distance);
  if (column >= 0 && column < Columns().Count()) SetSelectedIndex(column);
  at_record_ = CurrentRecordNo();
  Invalidate();
}

bool TBrowserGrid::HighlightCell(int data_col, int data_row, TGridDrawState state) const {
  if (!paint_range_) return TVxGrid::HighlightCell(data_col, data_row, state);
  const CellRange& range = paint_selection_;
  const int row = data_row - paint_active_row_;
  return row >= range.first_row && row < range.first_row + range.rows &&
         data_col >= range.first_column && data_col <= range.last_column;
}

void TBrowserGrid::KeyDown(std::uint16_t& key, TShiftState shift) {
  if (OnCommandKey && OnCommandKey(key, shift)) {
    key = 0;
    return;
  }
  const bool moving = key == VK_UP || key == VK_DOWN || key == VK_LEFT || key == VK_RIGHT ||
                      key == VK_PRIOR || key == VK_NEXT || key == VK_HOME || key == VK_END;
  if (moving && shift.Contains(ssShift) && !shift.Contains(ssCtrl) && !EditorMode() &&
      DataLink().Active()) {
    const int page = std::max(1, VisibleRowCount() - 1);
    const int column = SelectedIndex();
    switch (key) {
      case VK_UP:
        ExtendSelection(-1, column);
        break;
      case VK_DOWN:
        ExtendSelection(1, column);
        break;
      case VK_PRIOR:
        ExtendSelection(-page, column);
        break;
      case VK_NEXT:
        ExtendSelection(page, column);
        break;
      case VK_LEFT:
        ExtendSelection(0, column - 1);
        break;
      case VK_RIGHT:
        ExtendSelection(0, column + 1);
        break;
      case VK_HOME:
        ExtendSelection(0, 0);
        break;
      default:
        ExtendSelection(0, Columns().Count() - 1);
        break;
    }
    key = 0;
    return;
  }
  if (moving || key == VK_TAB || key == VK_ESCAPE) ClearSelection();
  TVxGrid::KeyDown(key, shift);
}

void TBrowserGrid::EditorEnter() {
  TVxGrid::EditorEnter();
  TDataSet* data = DataLink().Active() ? DataLink().DataSet() : nullptr;
  if (data != nullptr && (data->State() == dsEdit || data->State() == dsInsert) && data->Modified())
    data->Post();
}

void TBrowserGrid::MouseDown(TMouseButton button, TShiftState shift, int x, int y) {
  shift_pressed_ = shift.Contains(ssShift);
  const TGridCoord cell = MouseCoord(x, y);
  const int data_row = cell.Y - TitleOffset();
  const bool data_cell = button == mbLeft && cell.X >= FixedCols() && data_row >= 0 &&
                         DataLink().Active() && data_row < DataLink().RecordCount();
  if (data_cell && shift.Contains(ssShift) && !EditorMode()) {
    if (!FocusWithin() && CanFocus()) SetFocus();
    ExtendSelection(data_row - DataLink().ActiveRecord(), RawToDataColumn(cell.X));
    return;
  }
  ClearSelection();
  TVxGrid::MouseDown(button, shift, x, y);
  // A drag from here spans a range.
  if (data_cell) StartSelection();
}

void TBrowserGrid::MouseMove(TShiftState shift, int x, int y) {
  if (!selecting_ || !shift.Contains(ssLeft)) {
    TVxGrid::MouseMove(shift, x, y);
    return;
  }
  const int active = DataLink().ActiveRecord();
  const std::int32_t before = CurrentRecordNo();
  const bool was_valid = Selecting();
  TVxGrid::MouseMove(shift, x, y);
  if (!was_valid || GridState() != gsSelecting) return;
  // The drag carried the current cell to the row under the mouse: rows of the window are
  // consecutive records of the view.
  const TGridCoord over = MouseCoord(x, y);
  if (CurrentRecordNo() != before) anchor_rows_ -= over.Y - TitleOffset() - active;
  at_record_ = CurrentRecordNo();
  Invalidate();
}

// --- Window ----------------------------------------------------------------------------------

TBrowserForm::TBrowserForm(TComponent* owner) : TForm(owner) {
  SetName("BrowserForm");
  SetBounds(120, 90, 900, 480);
  SetColor(clBtnFace);
  SetCaption("Vexel");

  ToolPanel = new TPanel(this);
  ToolPanel->SetName("ToolPanel");
  ToolPanel->SetParent(this);
  ToolPanel->SetHeight(kToolHeight);
  ToolPanel->SetAlign(alTop);
  ToolPanel->SetBevelOuter(bvNone);
  ToolPanel->SetCaption("");

  FilterStrip = new TPanel(this);
  FilterStrip->SetName("FilterStrip");
  FilterStrip->SetParent(this);
  FilterStrip->SetHeight(kFilterRowHeight);
  FilterStrip->SetAlign(alTop);
  FilterStrip->SetBevelOuter(bvNone);
  FilterStrip->SetCaption("");

  StatusPanel = new TPanel(this);
  StatusPanel->SetName("StatusPanel");
  StatusPanel->SetParent(this);
  StatusPanel->SetHeight(kStatusHeight);
  StatusPanel->SetAlign(alBottom);
  StatusPanel->SetBevelOuter(bvLowered);
  StatusPanel->SetCaption("");
  StatusLine = new TLabel(this);
  StatusLine->SetName("StatusLine");
  StatusLine->SetParent(StatusPanel);
  StatusLine->SetBounds(6, 4, 700, 16);
  StatusLine->SetCaption("No table");

  FormPanel = new TPanel(this);
  FormPanel->SetName("FormPanel");
  FormPanel->SetParent(this);
  FormPanel->SetWidth(kFormWidth);
  FormPanel->SetAlign(alRight);
  FormPanel->SetBevelOuter(bvNone);
  FormPanel->SetCaption("");
  FormPanel->SetVisible(false);

  Table = new TBrowserTable(this);
  Table->SetName("Table");
  Table->SetCreateIfNotFound(false);
  Table->SetCreateIndex(ciNever);
  Table->SetHideDeletedRecs(false);
  // The record buffers hold the bytes as stored; the widgets show them in the table's page.
  Table->SetTableLanguage(tlAnsi);
  // While a tag in its writer's own order is read, no edit starts (the status line says why).
  const auto refuse_in_writers_order = [this] {
    if (writers_order_tag_ == 0) return;
    Notice = "no edits in this order: choose another order to edit";
    UpdateStatus();
    Abort();
  };
  Table->BeforeDelete = [this, refuse_in_writers_order](TDataSet*) {
    refuse_in_writers_order();
    deleting_ = Table->RecNo();
  };
  Table->BeforeEdit = [this, refuse_in_writers_order](TDataSet*) {
    refuse_in_writers_order();
    before_post_ = CurrentValues();
    appending_ = false;
  };
  Table->BeforeInsert = [this, refuse_in_writers_order](TDataSet*) {
    refuse_in_writers_order();
    before_post_.clear();
    appending_ = true;
  };
  Table->BeforePost = [this](TDataSet*) {
    post_refused_ = false;
    // A number wider than its field is refused here, in words, before the engine refuses it.
    const std::string problem = NumberThatDoesNotFit();
    if (problem.empty()) return;
    Notice = "the record is not saved: a value does not fit its field";
    UpdateStatus();
    MessageBox(problem, "Value too wide", MB_OK | MB_ICONWARNING);
    Abort();
  };
  const auto ask_retry = [this](TObject*, bool& retry) {
    const std::string text = "Record " + std::to_string(Table->RecNo()) +
                             " is locked by another program: the edit was not written.";
    retry = MessageBox(text + " Try again?", "Record locked",
                       kRetryCancelButtons | MB_ICONWARNING) == kRetryAnswer;
    if (!retry) KeepRefusedEdit();
  };
  Table->OnRLockFailedOnPost = ask_retry;
  Table->OnALockFailedOnInsert = [this](TObject*, bool& retry) {
    retry = MessageBox(
                "Another program is appending to this table: the new record was not "
                "written. Try again?",
                "Table locked", kRetryCancelButtons | MB_ICONWARNING) == kRetryAnswer;
    if (!retry) KeepRefusedEdit();
  };
  Table->OnRLockFailedOnDelete = [this](TObject*, bool& retry) {
    retry = MessageBox("Record " + std::to_string(Table->RecNo()) +
                           " is locked by another program: it was not marked. Try again?",
                       "Record locked", kRetryCancelButtons | MB_ICONWARNING) == kRetryAnswer;
  };
  Table->OnRLockFailedOnRestore = Table->OnRLockFailedOnDelete;
  Table->AfterPost = [this](TDataSet*) { AfterPost(); };
  Table->AfterDelete = [this](TDataSet*) {
    if (!replaying_ && deleting_ > 0) history_.Add({EditHistory::Kind::kDelete, deleting_, {}, {}});
  };
  Table->AfterRestore = [this](TObject*) {
    if (!replaying_) history_.Add({EditHistory::Kind::kRecall, Table->RecNo(), {}, {}});
  };

  Source = new TDataSource(this);
  Source->SetName("Source");
  Source->SetDataSet(Table);
  Source->OnDataChange = [this](TObject*, TField*) {
    UpdateStatus();
    if (RecordForm != nullptr && FormPanel->Visible()) RecordForm->Refresh();
  };

  Grid = new TBrowserGrid(this);
  Grid->SetName("Grid");
  Grid->SetParent(this);
  Grid->SetAlign(alClient);
  Grid->SetDataSource(Source);
  Grid->SetAutoAppend(false);
  Grid->IsLocked = [this](std::int32_t record_no) { return locked_.count(record_no) != 0; };
  Grid->OnDblClick = [this](TObject*) { OpenMemo(); };
  Grid->OnTitleClick = [this](TColumn* column) {
    if (column != nullptr)
      SortByColumn(column->Index(), Grid->ShiftPressed() ? SortMode::kAdd : SortMode::kReplace);
  };
  Grid->OnCommandKey = [this](std::uint16_t key, TShiftState shift) {
    return CommandKey(key, shift);
  };
  FilterRow = std::make_unique<TFilterRow>(*this, FilterStrip->Widget());
  // The cells follow the titles once the painting is done (not from within it).
  Grid->OnTitlesPainted = [this] {
    QTimer::singleShot(0, Widget(), [this] {
      if (FilterRow) FilterRow->Place();
    });
  };
  SetActiveControl(Grid);

  BuildMenus();
  BuildToolRow();

  MemoWindow = new TVxMemoWindow(this, Source, "");
  RecordForm = new TRecordForm(FormPanel->Widget(), Table);
  RecordForm->Guard = [this](const std::function<void()>& action) { Guarded(action); };

  default_font_size_ = Grid->Font().Size();
  user_ = LoadUserSettings();
  ApplyUserSettings();

  OnResize = [this](TObject*) { LayOut(); };
  // Closing the window ends the program, as File > Exit does, once an unsaved edit is saved
  // or dropped as the user says.
  OnCloseQuery = [this](TObject*, bool& can_close) { can_close = SettleEditBeforeClosing(); };
  OnClose = [this](TObject*, TCloseAction&) {
    SaveSettings();
    QCoreApplication::quit();
  };
  LayOut();

  // Locks of other programs and their edits change without any event here: they are probed
  // while idle.
  lock_timer_.setInterval(kLockProbeMillis);
  QObject::connect(&lock_timer_, &QTimer::timeout, [this] {
    RefreshRows();
    RefreshLocks();
  });
  lock_timer_.start();
  sort_timer_.setInterval(kSortPollMillis);
  QObject::connect(&sort_timer_, &QTimer::timeout, [this] { PollSort(); });

  QSettings settings;
  const QByteArray geometry = settings.value("window/geometry").toByteArray();
  if (geometry.size() == 4 * static_cast<int>(sizeof(int))) {
    int bounds[4];
    std::memcpy(bounds, geometry.constData(), sizeof bounds);
    // The window comes back where it was, but never larger than the screen: its status line
    // stays in sight.
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
      const QRect room = screen->availableGeometry();
      bounds[2] = std::min(bounds[2], room.width());
      bounds[3] = std::min(bounds[3], room.height());
      bounds[0] = std::clamp(bounds[0], room.left(), room.right() - bounds[2] + 1);
      bounds[1] = std::clamp(bounds[1], room.top(), room.bottom() - bounds[3] + 1);
    }
    if (bounds[2] >= 200 && bounds[3] >= 150) SetBounds(bounds[0], bounds[1], bounds[2], bounds[3]);
  }
  // A window maximised at exit is maximised again once shown.
  start_maximised_ = settings.value("window/maximised").toBool();
  OnShow = [this](TObject*) {
    if (!start_maximised_) return;
    start_maximised_ = false;
    Widget()->setWindowState(Widget()->windowState() | Qt::WindowMaximized);
  };
  FillRecentMenu();
}

TBrowserForm::~TBrowserForm() {
  Grid->OnTitlesPainted = nullptr;
  FilterRow.reset();
  Tools.reset();
  query_window_.reset();
  lock_timer_.stop();
  sort_timer_.stop();
  sorter_.reset();
  SaveSettings();
  delete RecordForm;
  Guarded([this] { Table->SetActive(false); });
  SetTextCodePage(0);
}

void TBrowserForm::BuildMenus() {
  QWidget* tools = ToolPanel->Widget();
  MenuBar = new QMenuBar(tools);
  QMenu* file_menu = MenuBar->addMenu("&File");
  QAction* open = file_menu->addAction("&Open...");
  open->setShortcut(QKeySequence::Open);
  QObject::connect(open, &QAction::triggered, [this] { OpenWithDialog(); });
  OpenNdxAction = file_menu->addAction("Open &index files (.NDX)...");
  QObject::connect(OpenNdxAction, &QAction::triggered, [this] {
    std::vector<std::string> paths;
    if (AskNdxFiles && AskNdxFiles(paths)) OpenNdxFiles(paths);
  });
  RecentMenu = file_menu->addMenu("&Recent files");
  QObject::connect(file_menu->addAction("&Export view..."), &QAction::triggered, [this] {
    std::string path;
    ExportFormat format = ExportFormat::kCsv;
    if (AskExportFile(path, format)) ExportView(path, format);
  });
  file_menu->addSeparator();
  ExitAction = file_menu->addAction("E&xit");
  ExitAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  // As the window's close button: OnClose saves the settings and ends the program.
  QObject::connect(ExitAction, &QAction::triggered, [this] { Close(); });

  QMenu* edit_menu = MenuBar->addMenu("&Edit");
  QObject::connect(edit_menu->addAction("&Undo\tCtrl+Z"), &QAction::triggered, [this] { Undo(); });
  QObject::connect(edit_menu->addAction("&Redo\tCtrl+Y"), &QAction::triggered, [this] { Redo(); });
  edit_menu->addSeparator();
  QObject::connect(edit_menu->addAction("&Copy\tCtrl+C"), &QAction::triggered,
                   [this] { CopyCells(false); });
  QObject::connect(edit_menu->addAction("Copy &rows\tCtrl+Shift+C"), &QAction::triggered,
                   [this] { CopyCells(true); });
  QObject::connect(edit_menu->addAction("&Paste\tCtrl+V"), &QAction::triggered,
                   [this] { PasteCells(QGuiApplication::clipboard()->text().toStdString()); });
  edit_menu->addSeparator();
  QObject::connect(edit_menu->addAction("&Delete or restore record\tCtrl+Del"), &QAction::triggered,
                   [this] { ToggleDeleted(); });
  QObject::connect(edit_menu->addAction("&Go to record...\tCtrl+G"), &QAction::triggered,
                   [this] { AskAndGoToRecord(); });
  QObject::connect(edit_menu->addAction("&Find in any column\tCtrl+F"), &QAction::triggered,
                   [this] { QuickField->setFocus(); });
  QObject::connect(edit_menu->addAction("Find &next\tF3"), &QAction::triggered,
                   [this] { FindNext(QuickField->text().toStdString()); });

  QMenu* view_menu = MenuBar->addMenu("&View");
  ShowDeletedAction = view_menu->addAction("Show &deleted");
  ShowDeletedAction->setCheckable(true);
  ShowDeletedAction->setChecked(true);
  QObject::connect(ShowDeletedAction, &QAction::toggled, [this](bool on) { SetShowDeleted(on); });
  RecordFormAction = view_menu->addAction("&Record form");
  RecordFormAction->setCheckable(true);
  QObject::connect(RecordFormAction, &QAction::toggled, [this](bool on) { ShowRecordForm(on); });
  QObject::connect(view_menu->addAction("&Structure..."), &QAction::triggered,
                   [this] { ShowStructure(); });
  CodePageMenu = view_menu->addMenu("&Code page");
  SuggestPageAction = CodePageMenu->addAction("&Suggest from the text...");
  QObject::connect(SuggestPageAction, &QAction::triggered, [this] { ShowPageAssistant(); });
  CodePageMenu->addSeparator();
  auto* pages = new QActionGroup(CodePageMenu);
  QAction* from_table = CodePageMenu->addAction("As the table says");
  from_table->setCheckable(true);
  from_table->setChecked(true);
  from_table->setData(0);
  pages->addAction(from_table);
  CodePageMenu->addSeparator();
  for (const int page : kOfferedPages) {
    if (!os::CodePageAvailable(page)) continue;
    QAction* action = CodePageMenu->addAction(QString::number(page));
    action->setCheckable(true);
    action->setData(page);
    pages->addAction(action);
  }
  QObject::connect(pages, &QActionGroup::triggered,
                   [this](QAction* action) { SetCodePage(action->data().toInt()); });

  Tools = std::make_unique<TTableTools>(*this);
  Tools->BuildMenu(MenuBar);

  QMenu* tools_menu = MenuBar->addMenu("&Tools");
  CheckAction = tools_menu->addAction("&Check table");
  QObject::connect(CheckAction, &QAction::triggered, [this] { CheckTable(); });
  QueryAction = tools_menu->addAction("&Query (SQL)...");
  QueryAction->setShortcut(QKeySequence(Qt::Key_F9));
  QObject::connect(QueryAction, &QAction::triggered, [this] { ShowQueryWindow(); });
#ifndef VX_HAVE_SQLITE
  QueryAction->setEnabled(false);
#endif
  tools_menu->addSeparator();
  SettingsAction = tools_menu->addAction("&Settings...");
  QObject::connect(SettingsAction, &QAction::triggered, [this] { ShowSettings(); });

  AskAboutHeldTable = [this](const std::string& text, bool can_read) {
    QMessageBox box(QMessageBox::Warning, "Table in use", QString::fromStdString(text),
                    QMessageBox::NoButton, Widget());
    QPushButton* retry = box.addButton(QMessageBox::Retry);
    QPushButton* read_only = box.addButton("Open &read-only", QMessageBox::AcceptRole);
    read_only->setEnabled(can_read);
    box.addButton(QMessageBox::Cancel);
    box.setDefaultButton(retry);
    box.exec();
    if (box.clickedButton() == retry) return HeldAnswer::kRetry;
    if (box.clickedButton() == read_only) return HeldAnswer::kReadOnly;
    return HeldAnswer::kCancel;
  };
  AskRecordNumber = [this](std::int32_t& n) {
    bool ok = false;
    n = QInputDialog::getInt(Widget(), "Go to record", "Record number:", 1, 1, 2147483646, 1, &ok);
    return ok;
  };
  AskNdxFiles = [this](std::vector<std::string>& paths) {
    const QStringList names = QFileDialog::getOpenFileNames(
        Widget(), "Open index files with the table",
        QString::fromStdString(std::filesystem::path(path_).parent_path().string()),
        "dBASE III index files (*.ndx *.NDX)");
    for (const QString& name : names) paths.push_back(name.toStdString());
    return !paths.empty();
  };
  AskExportFile = [this](std::string& path, ExportFormat& format) {
    QString filter;
    const QString name = QFileDialog::getSaveFileName(Widget(), "Export view", QString(),
                                                      "CSV (*.csv);;JSON lines (*.jsonl)", &filter);
    if (name.isEmpty()) return false;
    path = name.toStdString();
    format = filter.startsWith("JSON") ? ExportFormat::kJsonLines : ExportFormat::kCsv;
    return true;
  };
}

void TBrowserForm::BuildToolRow() {
  QWidget* tools = ToolPanel->Widget();
  auto* order_label = new QLabel("Order:", tools);
  order_label->setGeometry(8, 30, 40, 20);
  OrderBox = new QComboBox(tools);
  OrderBox->setGeometry(50, 28, 190, 22);
  QObject::connect(OrderBox, &QComboBox::currentIndexChanged, [this](int index) {
    if (!filling_orders_ && index >= 0) ChooseOrder(index);
  });
  // A labelled line editor of the tool rows.
  const auto field = [tools](const char* label, int x, int y, int label_width, int width,
                             const char* hint) {
    (new QLabel(label, tools))->setGeometry(x, y + 2, label_width, 20);
    auto* edit = new QLineEdit(tools);
    edit->setGeometry(x + label_width + 2, y, width, 22);
    edit->setPlaceholderText(hint);
    return edit;
  };
  SearchField = field("Search:", 250, 28, 48, 200, "a key of the chosen tag");
  QObject::connect(SearchField, &QLineEdit::textChanged,
                   [this](const QString& text) { Seek(text.toStdString()); });
  const auto into_grid = [this](int key) {
    if (key != Qt::Key_Down && key != Qt::Key_Return && key != Qt::Key_Enter) return false;
    Grid->SetFocus();
    return true;
  };
  SearchField->installEventFilter(new MoveOnKeys(SearchField, into_grid));
  QuickField = field("Find:", 510, 28, 34, 160, "text in any column (F3)");
  QObject::connect(QuickField, &QLineEdit::returnPressed,
                   [this] { FindNext(QuickField->text().toStdString()); });

  FilterField = field("Filter:", 8, 55, 40, 450,
                      "a dBASE condition, e.g. YEAR > 1950 .AND. \"Hitch\" $ DIRECTOR");
  QObject::connect(FilterField, &QLineEdit::textChanged, [this](const QString& text) {
    FilterMessage->setText(QString::fromStdString(CheckCondition(text.toStdString())));
  });
  QObject::connect(FilterField, &QLineEdit::returnPressed,
                   [this] { ApplyFilter(FilterField->text().toStdString()); });
  FilterMessage = new QLabel(tools);
  FilterMessage->setGeometry(506, 57, 380, 20);
  FilterMessage->setStyleSheet("color: #a00000");

  SortProgress = new QProgressBar(StatusPanel->Widget());
  SortProgress->setRange(0, 100);
  SortProgress->setVisible(false);
  SortCancel = new QPushButton("Cancel", StatusPanel->Widget());
  SortCancel->setVisible(false);
  QObject::connect(SortCancel, &QPushButton::clicked, [this] { CancelSort(); });
}

void TBrowserForm::LayOut() {
  const int width = ClientWidth();
  MenuBar->setGeometry(0, 0, width, 24);
  QuickField->setGeometry(546, 28, std::max(100, width - 556), 22);
  FilterMessage->setGeometry(506, 57, std::max(100, width - 516), 20);
  const int bar = Sorting() || repairing_ ? 260 : 0;
  StatusLine->SetBounds(6, 4, std::max(100, width - 12 - bar), 16);
  SortProgress->setGeometry(width - 250, 2, 170, 18);
  SortCancel->setGeometry(width - 74, 1, 68, 20);
}

bool TBrowserForm::Guarded(const std::function<void()>& action) {
  try {
    action();
    return true;
  } catch (const std::exception& e) {
    Application().HandleException(this, e);
  }
  return false;
}

bool TBrowserForm::CommandKey(std::uint16_t key, TShiftState shift) {
  const bool ctrl = shift.Contains(ssCtrl);
  if (key == kKeyF3) {
    FindNext(QuickField->text().toStdString());
    return true;
  }
  if (!ctrl) return false;
  switch (key) {
    case 'F':
      QuickField->setFocus();
      QuickField->selectAll();
      return true;
    case 'G':
      AskAndGoToRecord();
      return true;
    case 'Q':
      Close();
      return true;
    case 'Z':
      Undo();
      return true;
    case 'Y':
      Redo();
      return true;
    case 'C':
      CopyCells(shift.Contains(ssShift));
      return true;
    case 'V':
      PasteCells(QGuiApplication::clipboard()->text().toStdString());
      return true;
    default:
      return false;
  }
}

// --- Opening ---------------------------------------------------------------------------------

void TBrowserForm::CloseTable() {
  // The query window has the folder's tables open through SQLite: they go with the table (a
  // repair needs the table to itself).
  query_window_.reset();
  CancelSort();
  SaveSettings();
  // A page chosen in View > Code page belongs to this table (it is kept in its settings): the
  // next table reads as it says until a page is chosen for it, or restored from its settings.
  chosen_page_ = 0;
  MarkChosenPage();
  Guarded([this] { Table->SetActive(false); });
  Table->SetReadOnly(false);
  Table->ClearRecordOrder();
  file_orders_.clear();
  file_order_ = -1;
  writers_order_tag_ = 0;
  sort_field_.clear();
  sort_more_.clear();
  history_.Clear();
  locked_.clear();
  matches_ = -1;
  seen_count_ = -1;
  Notice.clear();
  ReadOnlyReason.clear();
  SetTextCodePage(0);
}

bool TBrowserForm::OpenFile(const std::string& path, bool read_only, std::string& failure,
                            std::uint16_t& code) {
  Table->SetReadOnly(read_only);
  Table->SetDbfFileName(path);
  try {
    QuietErrors quiet;
    EngineErrorCode = 0;
    Table->SetActive(true);
    code = EngineErrorCode;
    failure = code != 0 ? LastErrorMessage : std::string();
  } catch (const std::exception& e) {
    // The dataset raises with the engine's text, "... Error # n (...)": the number is the code.
    failure = e.what();
    code = EngineErrorCode != 0 ? EngineErrorCode : LastErrorCode;
    const std::size_t mark = failure.find("Error # ");
    if (code == 0 && mark != std::string::npos)
      code = static_cast<std::uint16_t>(std::atoi(failure.c_str() + mark + 8));
    if (code == 0) code = 1;
  }
  if (code != 0 && Table->Active()) Guarded([this] { Table->SetActive(false); });
  return code == 0 && Table->Active();
}

bool TBrowserForm::OpenTable(const std::string& path) {
  CloseTable();
  std::string failure;
  std::uint16_t code = 0;
  bool opened = OpenFile(path, false, failure, code);
  if (!opened && code == os::kIoSharingViolation) opened = OpenHeldTable(path, failure, code);
  if (!opened && code == 5) {
    // A file this user may only read is browsed read-only.
    opened = OpenFile(path, true, failure, code);
    if (opened) ReadOnlyReason = "the file may only be read";
  }
  if (opened && !ReadOnlyReason.empty()) {
    // opened read-only above
  } else if (opened && !EditRefusalOfTable().empty()) {
    // The engine refuses every edit of this table: browse it, and say why from the start.
    Guarded([this] { Table->SetActive(false); });
    opened = OpenFile(path, true, failure, code);
    if (opened)
      ReadOnlyReason = "its structural FoxPro index " +
                       std::filesystem::path(path).replace_extension(".CDX").filename().string() +
                       " is not maintained by this program, so edits would leave it stale";
  } else if (opened && IndexUnreadable(failure)) {
    // An index that cannot be read would be left stale by any edit: browse, never write.
    Guarded([this] { Table->SetActive(false); });
    opened = OpenFile(path, true, failure, code);
    if (opened) ReadOnlyReason = index_problem_;
  }
  if (!opened && !failure.empty()) ShowMessage(failure);
  path_ = opened ? std::filesystem::absolute(path).string() : std::string();
  if (opened) {
    ChooseTablePage();
    if (page_source_ == PageSource::kLocale)
      Notice = "no language driver mark: View > Code page > Suggest ranks the pages";
    // The production index opens with its first tag in control; browsing starts on the first
    // record in the table's own order.
    Guarded([this] {
      if (Table->ActiveOrder() != 0) Table->ChooseOrder(0);
      Table->First();
    });
    RememberRecent(path_);
    LoadFileOrders();
  }
  FillOrderBox();
  BuildColumns();
  RecordForm->Rebuild();
  SetCaption(opened ? "Vexel - " + std::filesystem::path(path).filename().string() : "Vexel");
  if (opened) {
    RestoreTableSettings();
    RefreshLocks();
    seen_count_ = Table->RecordCount();
  }
  UpdateStatus();
  return opened && Table->Active();
}

bool TBrowserForm::OpenHeldTable(const std::string& path, std::string& failure,
                                 std::uint16_t& code) {
  const std::string name = std::filesystem::path(path).filename().string();
  while (code == os::kIoSharingViolation) {
    // Whether this program could read it meanwhile: the holder may deny writing alone.
    bool can_read = false;
    {
      os::File probe;
      can_read = os::File::Open(path, os::kOpenReadOnlyDenyNone, probe) == os::kIoOk;
    }
    const std::string text =
        name + " is held by another program for its exclusive use: it can be opened once that "
               "program lets go of it." +
        (can_read ? " Meanwhile it can be opened read-only."
                  : " Until then it cannot be read either.");
    const HeldAnswer answer = AskAboutHeldTable ? AskAboutHeldTable(text, can_read)
                                                : HeldAnswer::kCancel;
    if (answer == HeldAnswer::kCancel) break;
    const bool read_only = answer == HeldAnswer::kReadOnly;
    if (OpenFile(path, read_only, failure, code)) {
      if (read_only) ReadOnlyReason = "another program holds it for its exclusive use";
      return true;
    }
  }
  if (code == os::kIoSharingViolation) {
    // Said in words already: no engine text follows.
    failure.clear();
    Notice = name + " is held by another program; not opened";
  }
  return false;
}

std::string TBrowserForm::NumberThatDoesNotFit() {
  std::string problem;
  Guarded([&] {
    Select(Table->WorkArea());
    const TableRecord* table = SelectedTable();
    if (table == nullptr) return;
    for (int i = 0; i < Table->FieldCount() && problem.empty(); ++i) {
      TField* field = Table->Fields()[i];
      const int n = FieldNo(field->FieldName());
      if (n < 1 || static_cast<std::size_t>(n) > table->fields.size()) continue;
      const FieldEntry& f = table->fields[static_cast<std::size_t>(n - 1)];
      if ((f.type != 'N' && f.type != 'F') || field->IsNull() || NumberFits(f, field->AsFloat()))
        continue;
      problem = Trimmed(field->AsString()) + " does not fit " + field->FieldName() +
                ", a number field " + std::to_string(f.length) + " characters wide (" +
                std::string(1, static_cast<char>(f.type)) + " " + std::to_string(f.length) +
                (f.decimals > 0 ? "," + std::to_string(f.decimals) : "") +
                "): the record is not saved. Correct the value, or press Esc to give it up.";
    }
  });
  return problem;
}

std::string TBrowserForm::EditRefusalOfTable() {
  std::string refusal;
  Guarded([&] {
    Select(Table->WorkArea());
    if (const TableRecord* table = SelectedTable()) refusal = EditRefusal(*table);
  });
  return refusal;
}

bool TBrowserForm::IndexUnreadable(std::string& failure) {
  index_problem_.clear();
  damaged_tags_.clear();
  TableRecord* table = nullptr;
  Guarded([&] {
    Select(Table->WorkArea());
    table = SelectedTable();
  });
  if (table == nullptr || table->IsDbase2() || table->header[28] == 0) return false;
  const std::string index = IndexPath(*table, {});
  if (!os::FileExists(index)) return false;
  // The production index is open when its tags are; otherwise read it to say why not.
  if (OrderCount() > 0) {
    std::vector<std::string> damaged;
    MdxFile file;
    QuietErrors quiet;
    if (file.Open(index, os::kOpenReadOnlyDenyNone)) {
      for (int tag = 1; tag <= file.header().TagCount(); ++tag) {
        TagHeader header;
        if (!file.ReadTagHeader(tag, header) || !TagHeaderFault(header).empty()) {
          damaged.push_back(OrderTagName(tag));
          damaged_tags_.insert(tag);
        }
      }
      file.Close();
    }
    EngineErrorCode = 0;
    if (damaged.empty()) return false;
    std::string names;
    for (const std::string& name : damaged) names += (names.empty() ? "" : ", ") + name;
    index_problem_ = "tag " + names + " of " + std::filesystem::path(index).filename().string() +
                     " cannot be read; run vxdbf check --repair";
    return true;
  }
  std::string why;
  {
    MdxFile file;
    QuietErrors quiet;
    EngineErrorCode = 0;
    if (!file.Open(index, os::kOpenReadOnlyDenyNone)) {
      why = LastErrorMessage;
    } else {
      // The header reads: a tag's own header is what the engine refused.
      for (int tag = 1; tag <= file.header().TagCount(); ++tag) {
        TagHeader header;
        EngineErrorCode = 0;
        if (!file.ReadTagHeader(tag, header) || !TagHeaderFault(header).empty())
          why += (why.empty() ? "tag " : ", ") + file.header().TagName(tag);
      }
      file.Close();
    }
    const std::size_t line = why.find_first_of("\r\n");
    if (line != std::string::npos) why.resize(line);
    EngineErrorCode = 0;
  }
  index_problem_ = std::filesystem::path(index).filename().string() + " cannot be read" +
                   (why.empty() ? std::string() : " (" + why + ")") +
                   "; edits would leave it stale. Run vxdbf check --repair";
  failure.clear();
  return true;
}

bool TBrowserForm::SettleEditBeforeClosing() {
  if (!Table->Active()) return true;
  const TDataSetState state = Table->State();
  if (state != dsEdit && state != dsInsert) return true;
  // Text still in the grid's cell editor counts as typed.
  Guarded([this] { Table->UpdateRecord(); });
  if (!Table->Modified()) {
    Guarded([this] { Table->Cancel(); });
    return true;
  }
  const std::string record =
      state == dsInsert ? "the new record" : "record " + std::to_string(Table->RecNo());
  const int answer = MessageBox("Save the changes to " + record + " before closing?", "Vexel",
                                MB_YESNOCANCEL | MB_ICONQUESTION);
  if (answer == IDYES) {
    // A refused write (a lock, a value that does not fit) has said why: the window stays.
    Guarded([this] { Table->Post(); });
    return Table->State() == dsBrowse;
  }
  if (answer == IDNO) {
    Guarded([this] { Table->Cancel(); });
    return true;
  }
  return false;
}

void TBrowserForm::OpenWithDialog() {
  const QString name = QFileDialog::getOpenFileName(Widget(), "Open table", QString(),
                                                    "dBASE tables (*.dbf *.DBF);;All files (*)");
  if (!name.isEmpty()) OpenTable(name.toStdString());
}

void TBrowserForm::ChooseTablePage() {
  TableRecord* table = nullptr;
  Guarded([&] {
    Select(Table->WorkArea());
    table = SelectedTable();
  });
  if (table == nullptr) return;
  const int marked = MarkedCodePage(*table);
  if (chosen_page_ != 0) {
    code_page_ = chosen_page_;
    page_source_ = PageSource::kChosen;
  } else if (marked != 0) {
    code_page_ = marked;
    page_source_ = PageSource::kMark;
  } else {
    // A table without a mark: the page the settings name for such tables, else the locale's.
    code_page_ = user_.unmarked_page != 0 ? user_.unmarked_page : os::OemCodePage();
    page_source_ = PageSource::kLocale;
  }
  // Keys are made and sought in this page, as vxdbf makes them.
  table->code_page = code_page_;
  SetTextCodePage(code_page_);
}

void TBrowserForm::MarkChosenPage() {
  for (QAction* action : CodePageMenu->actions()) {
    if (action->isCheckable()) action->setChecked(action->data().toInt() == chosen_page_);
  }
}

void TBrowserForm::SetCodePage(int page) {
  chosen_page_ = page;
  MarkChosenPage();
  if (!Table->Active()) return;
  ChooseTablePage();
  Grid->Invalidate();
  if (FormPanel->Visible()) RecordForm->Refresh();
  UpdateStatus();
}

void TBrowserForm::BuildColumns() {
  {
    const ColumnsUpdate update(Grid->Columns());
    Grid->Columns().Clear();
  }
  FitColumns();
  FilterRow->Rebuild();
}

void TBrowserForm::FitColumns() {
  if (!Table->Active() || Table->FieldProps() == nullptr) return;
  // One column per field, none narrower than its field's widest value or its title: digits
  // are the widest common characters, so every character is measured as one.
  const QFontMetrics metrics(Grid->Font().ToQFont());
  int per_char = metrics.averageCharWidth();
  for (char digit = '0'; digit <= '9'; ++digit)
    per_char = std::max(per_char, metrics.horizontalAdvance(QChar(digit)));
  const ColumnsUpdate update(Grid->Columns());
  Grid->Columns().Clear();
  const TDbfFieldProps* props = Table->FieldProps();
  for (int n = 1; n <= props->Count(); ++n) {
    const TDTField& described = props->Field(n);
    if (Table->FindField(described.name) == nullptr) continue;
    TColumn* column = Grid->Columns().Add();
    column->SetFieldName(described.name);
    int chars = described.length;
    switch (described.type) {
      case 'D':
        chars = 10;
        break;
      case 'L':
        chars = 3;
        break;
      case 'M':
      case 'B':
      case 'G':
      case 'P':
        chars = 8;
        break;
      default:
        break;
    }
    const int title = metrics.horizontalAdvance(QString::fromStdString(described.name));
    column->SetWidth(std::min(kMaxColumnWidth, std::max(title, chars * per_char) + 8));
    if (described.type == 'N' || described.type == 'F') column->SetAlignment(taRightJustify);
  }
}

}  // namespace vx::browser
