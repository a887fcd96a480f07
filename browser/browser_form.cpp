#include "browser/browser_form.h"

#include <QAction>
#include <QActionGroup>
#include <QClipboard>
#include <QComboBox>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDialog>
#include <QFileDialog>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QStandardItemModel>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <exception>
#include <filesystem>
#include <fstream>

#include "browser/record_form.h"
#include "browser/search_key.h"
#include "browser/sort_builder.h"
#include "components/dataset/table_dataset.h"
#include "engine/expr/expression.h"
#include "engine/foundation/errors.h"
#include "engine/index/index_check.h"
#include "engine/index/key_codec.h"
#include "engine/index/orders.h"
#include "engine/memo/memo_file.h"
#include "engine/memo/memo_storage.h"
#include "engine/table/language_driver.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/work_areas.h"
#include "platform/dataset/application.h"
#include "platform/os/codepage.h"
#include "platform/os/file.h"

namespace vx::browser {

namespace {

constexpr int kToolHeight = 82;  // menu bar row, order/search row, filter row
constexpr int kStatusHeight = 22;
constexpr int kFormWidth = 300;
constexpr int kLockProbeMillis = 2000;
constexpr int kSortPollMillis = 50;
constexpr int kMaxColumnWidth = 360;
constexpr int kRecentFiles = 8;
constexpr int kRetryAnswer = 4;  // IDRETRY
constexpr std::uint16_t kKeyF3 = 0x72;
constexpr int kRetryCancelButtons = 5;  // MB_RETRYCANCEL

struct LanguageDriver {
  std::uint8_t id;
  int code_page;
};
// The language driver bytes seen in dBASE headers and the code pages they stand for.
constexpr LanguageDriver kDrivers[] = {
    {0x01, 437},  {0x02, 850},  {0x03, 1252}, {0x04, 10000}, {0x08, 865},  {0x09, 437},
    {0x0A, 850},  {0x0B, 437},  {0x0D, 437},  {0x0E, 850},   {0x0F, 437},  {0x10, 850},
    {0x11, 437},  {0x12, 850},  {0x13, 932},  {0x14, 850},   {0x15, 437},  {0x16, 850},
    {0x17, 865},  {0x18, 437},  {0x19, 437},  {0x1A, 850},   {0x1B, 437},  {0x1C, 863},
    {0x1D, 850},  {0x1F, 852},  {0x22, 852},  {0x23, 852},   {0x24, 860},  {0x25, 850},
    {0x26, 866},  {0x37, 850},  {0x40, 852},  {0x4D, 936},   {0x4E, 949},  {0x4F, 950},
    {0x50, 874},  {0x57, 1252}, {0x58, 1252}, {0x59, 1252},  {0x64, 852},  {0x65, 866},
    {0x66, 865},  {0x67, 861},  {0x6A, 737},  {0x6B, 857},   {0x78, 950},  {0x79, 949},
    {0x7A, 936},  {0x7B, 932},  {0x7C, 874},  {0x7D, 1255},  {0x7E, 1256}, {0xC8, 1250},
    {0xC9, 1251}, {0xCA, 1254}, {0xCB, 1253},
};

// The pages the View menu offers.
constexpr int kOfferedPages[] = {437,  737,  850,  852,  857,  860,  861,  865,
                                 866,  874,  932,  936,  949,  950,  1250, 1251,
                                 1252, 1253, 1254, 1255, 1256, 1257, 65001};

std::string Utf8(const std::string& table_text) { return AnsiToQString(table_text).toStdString(); }

std::string Trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

std::string UpperAscii(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string CsvCell(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

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

QString SettingsKey(const std::string& path, const char* name) {
  const QByteArray hash =
      QCryptographicHash::hash(QByteArray::fromStdString(path), QCryptographicHash::Md5).toHex();
  return "tables/" + QString::fromLatin1(hash) + "/" + name;
}

}  // namespace

std::string CodePageText(std::uint8_t language_driver) {
  if (language_driver == 0) return "no code page";
  for (const LanguageDriver& driver : kDrivers) {
    if (driver.id == language_driver) return "code page " + std::to_string(driver.code_page);
  }
  char text[32];
  std::snprintf(text, sizeof text, "language driver 0x%02X", language_driver);
  return text;
}

// --- Grid ------------------------------------------------------------------------------------

void TBrowserGrid::DrawCell(int col, int row, const TRect& rect, TGridDrawState state) {
  TVxGrid::DrawCell(col, row, rect, state);
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

void TBrowserGrid::KeyDown(std::uint16_t& key, TShiftState shift) {
  if (OnCommandKey && OnCommandKey(key, shift)) {
    key = 0;
    return;
  }
  TVxGrid::KeyDown(key, shift);
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
  Table->BeforeEdit = [this](TDataSet*) {
    before_post_ = CurrentValues();
    appending_ = false;
  };
  Table->BeforeInsert = [this](TDataSet*) {
    before_post_.clear();
    appending_ = true;
  };
  Table->BeforePost = [this](TDataSet*) {
    typed_ = CurrentValues();
    post_refused_ = false;
  };
  const auto ask_retry = [this](TObject*, bool& retry) {
    const std::string text = "Record " + std::to_string(Table->RecNo()) +
                             " is locked by another program: the edit was not written.";
    retry = MessageBox(text + " Try again?", "Record locked",
                       kRetryCancelButtons | MB_ICONWARNING) == kRetryAnswer;
    if (!retry) post_refused_ = true;
  };
  Table->OnRLockFailedOnPost = ask_retry;
  Table->OnALockFailedOnInsert = [this](TObject*, bool& retry) {
    retry = MessageBox(
                "Another program is appending to this table: the new record was not "
                "written. Try again?",
                "Table locked", kRetryCancelButtons | MB_ICONWARNING) == kRetryAnswer;
    if (!retry) post_refused_ = true;
  };
  Table->OnRLockFailedOnDelete = [this](TObject*, bool& retry) {
    retry = MessageBox("Record " + std::to_string(Table->RecNo()) +
                           " is locked by another program: it was not marked. Try again?",
                       "Record locked", kRetryCancelButtons | MB_ICONWARNING) == kRetryAnswer;
  };
  Table->OnRLockFailedOnRestore = Table->OnRLockFailedOnDelete;
  Table->AfterPost = [this](TDataSet*) { AfterPost(); };
  Table->BeforeDelete = [this](TDataSet*) { deleting_ = Table->RecNo(); };
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
    if (column != nullptr) SortByColumn(column->Index());
  };
  Grid->OnCommandKey = [this](std::uint16_t key, TShiftState shift) {
    return CommandKey(key, shift);
  };
  SetActiveControl(Grid);

  BuildMenus();
  BuildToolRow();

  MemoWindow = new TVxMemoWindow(this, Source, "");
  RecordForm = new TRecordForm(FormPanel->Widget(), Table);
  RecordForm->Guard = [this](const std::function<void()>& action) { Guarded(action); };

  OnResize = [this](TObject*) { LayOut(); };
  // Closing the window ends the program, as File > Exit does.
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
    if (bounds[2] >= 200 && bounds[3] >= 150) SetBounds(bounds[0], bounds[1], bounds[2], bounds[3]);
  }
  FillRecentMenu();
}

TBrowserForm::~TBrowserForm() {
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
  RecentMenu = file_menu->addMenu("&Recent files");
  QObject::connect(file_menu->addAction("&Export view..."), &QAction::triggered, [this] {
    std::string path;
    ExportFormat format = ExportFormat::kCsv;
    if (AskExportFile(path, format)) ExportView(path, format);
  });
  file_menu->addSeparator();
  ExitAction = file_menu->addAction("E&xit");
  QObject::connect(ExitAction, &QAction::triggered, [this] {
    SaveSettings();
    Close();
    QCoreApplication::quit();
  });

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

  QMenu* tools_menu = MenuBar->addMenu("&Tools");
  QObject::connect(tools_menu->addAction("&Check table"), &QAction::triggered,
                   [this] { CheckTable(); });

  AskRecordNumber = [this](std::int32_t& n) {
    bool ok = false;
    n = QInputDialog::getInt(Widget(), "Go to record", "Record number:", 1, 1, 2147483646, 1, &ok);
    return ok;
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
  const int bar = Sorting() ? 260 : 0;
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
  CancelSort();
  SaveSettings();
  Guarded([this] { Table->SetActive(false); });
  Table->SetReadOnly(false);
  Table->ClearRecordOrder();
  sort_field_.clear();
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
  if (!opened && code == 5) {
    // A file this user may only read is browsed read-only.
    opened = OpenFile(path, true, failure, code);
    if (opened) ReadOnlyReason = "the file may only be read";
  }
  if (opened && !ReadOnlyReason.empty()) {
    // opened read-only above
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
    // The production index opens with its first tag in control; browsing starts on the first
    // record in the table's own order.
    Guarded([this] {
      if (Table->ActiveOrder() != 0) Table->ChooseOrder(0);
      Table->First();
    });
    RememberRecent(path_);
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
    code_page_ = os::OemCodePage();
    page_source_ = PageSource::kLocale;
  }
  // Keys are made and sought in this page, as vxdbf makes them.
  table->code_page = code_page_;
  SetTextCodePage(code_page_);
}

void TBrowserForm::SetCodePage(int page) {
  chosen_page_ = page;
  if (!Table->Active()) return;
  ChooseTablePage();
  Grid->Invalidate();
  if (FormPanel->Visible()) RecordForm->Refresh();
  UpdateStatus();
}

void TBrowserForm::BuildColumns() {
  Grid->Columns().BeginUpdate();
  Grid->Columns().Clear();
  Grid->Columns().EndUpdate();
  FitColumns();
}

void TBrowserForm::FitColumns() {
  if (!Table->Active() || Table->FieldProps() == nullptr) return;
  // One column per field, none narrower than its field's widest value or its title: digits
  // are the widest common characters, so every character is measured as one.
  const QFontMetrics metrics(Grid->Font().ToQFont());
  int per_char = metrics.averageCharWidth();
  for (char digit = '0'; digit <= '9'; ++digit)
    per_char = std::max(per_char, metrics.horizontalAdvance(QChar(digit)));
  Grid->Columns().BeginUpdate();
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
  Grid->Columns().EndUpdate();
}

// --- Orders ----------------------------------------------------------------------------------

void TBrowserForm::FillOrderBox() {
  filling_orders_ = true;
  OrderBox->clear();
  OrderBox->addItem("Natural order");
  if (Table->Active()) {
    Guarded([this] {
      for (const std::string& name : Table->OrderNames())
        OrderBox->addItem(QString::fromStdString(name));
    });
  }
  // A tag whose header cannot be read is shown but cannot be chosen.
  if (auto* model = qobject_cast<QStandardItemModel*>(OrderBox->model())) {
    for (const int tag : damaged_tags_) {
      if (tag < OrderBox->count()) model->item(tag)->setEnabled(false);
    }
  }
  if (Table->HasRecordOrder() && !sort_field_.empty()) {
    OrderBox->addItem(QString::fromStdString(
        sort_field_ + (sort_descending_ ? " \u25BC" : " \u25B2") + " (temporary)"));
  }
  filling_orders_ = false;
  ShowOrderInBox();
}

void TBrowserForm::ShowOrderInBox() {
  filling_orders_ = true;
  if (Table->HasRecordOrder()) {
    OrderBox->setCurrentIndex(OrderBox->count() - 1);
  } else {
    int order = 0;
    Guarded([&] { order = Table->ActiveOrder(); });
    OrderBox->setCurrentIndex(order);
  }
  filling_orders_ = false;
}

void TBrowserForm::ChooseOrder(int order) {
  if (!Table->Active()) return;
  const int tags = static_cast<int>(Table->OrderNames().size());
  if (order > tags) return;  // the temporary order, already in force
  CancelSort();
  const bool had_sort = Table->HasRecordOrder();
  Guarded([&] { Table->ChooseOrder(order); });
  sort_field_.clear();
  if (had_sort) {
    FillOrderBox();
  } else {
    ShowOrderInBox();
  }
  RefreshLocks();
  UpdateStatus();
}

void TBrowserForm::Seek(const std::string& text) {
  if (!Table->Active() || text.empty()) return;
  Guarded([&] {
    const int order = Table->ActiveOrder();
    if (order == 0) {
      Notice = "search needs a tag: choose one in the order box";
      return;
    }
    Select(Table->WorkArea());
    const OrderTag* tag = OrderOf(order);
    const std::string expression = tag != nullptr ? tag->header.KeyExpression() : std::string();
    const std::string key_text = SearchKeyText(expression, text);
    // Straight into the table's own code page, the page its keys are made in.
    const std::string key = os::EncodeCodePage(code_page_, key_text, os::OnFault::kReplace).text;
    const bool soft = SoftSeek;
    SoftSeek = true;
    bool found = false;
    try {
      found = Table->FindStored(key);
    } catch (...) {
      SoftSeek = soft;
      throw;
    }
    SoftSeek = soft;
    if (found) {
      Notice = "found \"" + text + "\"";
    } else if (Table->Eof()) {
      Notice = "\"" + text + "\" not found: no higher key, on the last record";
    } else {
      Notice = "\"" + text + "\" not found: on the next higher key";
    }
  });
  RefreshLocks();
  UpdateStatus();
}

// --- Sorting by a column -----------------------------------------------------------------------

void TBrowserForm::SortByColumn(int column) {
  if (!Table->Active() || column < 0 || column >= Grid->Columns().Count()) return;
  TField* field = Grid->Columns().Items(column)->Field();
  const TDbfFieldProps* props = Table->FieldProps();
  if (field == nullptr || props == nullptr) return;
  const int n = field->FieldNo();
  if (n < 1 || n > props->Count()) return;
  const TDTField& described = props->Field(n);
  if (described.type == 'M' || described.type == 'B' || described.type == 'G' ||
      described.type == 'P') {
    Notice = "memo fields cannot be sorted";
    UpdateStatus();
    return;
  }
  const std::string name = described.name;
  // A tag whose key is the field, or the field upper-cased, orders it already.
  int tag_order = 0;
  Guarded([&] {
    Select(Table->WorkArea());
    for (int order = 1; order <= OrderCount(); ++order) {
      const OrderTag* tag = OrderOf(order);
      if (tag == nullptr || tag->header.HasFor() || tag->descending) continue;
      const std::string key = UpperAscii(Trimmed(tag->header.KeyExpression()));
      if (key == name || key == "UPPER(" + name + ")") {
        tag_order = order;
        break;
      }
    }
  });
  const bool same = sort_field_ == name;
  int current_tag = 0;
  Guarded([&] { current_tag = Table->HasRecordOrder() ? 0 : Table->ActiveOrder(); });
  if (tag_order != 0 && current_tag != tag_order && !(same && Table->HasRecordOrder())) {
    ChooseOrder(tag_order);
    sort_field_ = name;
    sort_descending_ = false;
    Notice = "sorted by " + name + " through tag " + OrderTagName(tag_order);
    UpdateStatus();
    return;
  }
  // A second click on the same column reverses.
  const bool descending = same && !sort_descending_ && (Table->HasRecordOrder() || tag_order != 0);
  TableRecord* table = nullptr;
  Guarded([&] {
    Table->CheckBrowseMode();
    Select(Table->WorkArea());
    table = SelectedTable();
  });
  if (table == nullptr) return;
  CancelSort();
  SortSource source;
  source.path = table->file_name;
  source.header_length =
      static_cast<std::uint32_t>(static_cast<std::uint16_t>(table->header_length));
  source.record_length = table->record_length;
  source.record_count = RecCount();
  source.field_offset = described.offset;
  source.field_length = described.length;
  source.field_type = described.type;
  source.descending = descending;
  // The stored offset counts the deletion flag; the builder reads the record as stored.
  sort_field_ = name;
  sort_descending_ = descending;
  sorted_count_ = source.record_count;
  sorter_ = std::make_unique<SortBuilder>(source);
  SortProgress->setValue(0);
  SortProgress->setVisible(true);
  SortCancel->setVisible(true);
  LayOut();
  Notice = "sorting by " + name + "...";
  UpdateStatus();
  sort_timer_.start();
}

void TBrowserForm::PollSort() {
  if (!sorter_) {
    sort_timer_.stop();
    return;
  }
  SortProgress->setValue(sorter_->Progress());
  if (!sorter_->Done()) return;
  sorter_->Wait();
  sort_timer_.stop();
  const std::string error = sorter_->Error();
  std::vector<std::int32_t> order = sorter_->TakeOrder();
  sorter_.reset();
  SortProgress->setVisible(false);
  SortCancel->setVisible(false);
  LayOut();
  if (!error.empty()) {
    Notice = "sorting stopped: " + error;
    sort_field_.clear();
  } else if (Table->Active()) {
    Guarded([&] { Table->SetRecordOrder(std::move(order)); });
    Notice = "sorted by " + sort_field_ + (sort_descending_ ? ", descending" : "") +
             " (temporary order)";
  }
  FillOrderBox();
  RefreshLocks();
  UpdateStatus();
}

void TBrowserForm::CancelSort() {
  if (!sorter_) return;
  sorter_->Cancel();
  sorter_->Wait();
  PollSort();
}

void TBrowserForm::FinishSort() {
  if (!sorter_) return;
  sorter_->Wait();
  PollSort();
}

void TBrowserForm::DropTemporaryOrder(const std::string& why) {
  if (!Table->HasRecordOrder()) return;
  Guarded([this] { Table->ClearRecordOrder(); });
  sort_field_.clear();
  FillOrderBox();
  Notice = why;
  UpdateStatus();
}

// --- Filter and quick search -----------------------------------------------------------------

std::string TBrowserForm::CheckCondition(const std::string& text) {
  if (Trimmed(text).empty() || !Table->Active()) return {};
  std::string message;
  Guarded([&] {
    Select(Table->WorkArea());
    QuietErrors quiet;
    EngineErrorCode = 0;
    CompiledExpr* handle = AssignExpr(QStringToAnsi(QString::fromStdString(text)));
    if (handle == nullptr) {
      // The first line says what is wrong and where; the excerpt after it is the text itself.
      message = Utf8(LastErrorMessage);
      const std::size_t end = message.find_first_of("\r\n");
      if (end != std::string::npos) message.resize(end);
      const std::string prefix = "Error in expression : ";
      if (message.rfind(prefix, 0) == 0) message.erase(0, prefix.size());
    } else {
      if (handle->result_type != 'L')
        message = "the condition must be true or false, not of type " +
                  std::string(1, handle->result_type);
      FreeExpr(handle);
    }
    EngineErrorCode = 0;
  });
  return message;
}

bool TBrowserForm::ApplyFilter(const std::string& text) {
  if (!Table->Active()) return false;
  const std::string problem = CheckCondition(text);
  FilterMessage->setText(QString::fromStdString(problem));
  if (!problem.empty()) return false;
  const bool applied = Guarded([&] {
    Table->SetCondition(Trimmed(text).empty() ? std::string()
                                              : QStringToAnsi(QString::fromStdString(text)));
  });
  if (!applied) return false;
  matches_ = Trimmed(text).empty() ? -1 : Table->CountVisible();
  Notice = matches_ < 0 ? "filter off" : "filter: " + Trimmed(text);
  RefreshLocks();
  UpdateStatus();
  return true;
}

bool TBrowserForm::FindNext(const std::string& text) {
  if (!Table->Active() || text.empty() || Table->IsEmpty()) return false;
  const QString needle = QString::fromStdString(text);
  bool found = false;
  Guarded([&] {
    Table->CheckBrowseMode();
    const std::int32_t start = Table->RecNo();
    Table->DisableControls();
    try {
      while (!found) {
        Table->Next();
        if (Table->Eof()) break;
        for (int i = 0; i < Grid->Columns().Count() && !found; ++i) {
          TField* field = Grid->Columns().Items(i)->Field();
          if (field == nullptr || field->IsBlob()) continue;
          found = AnsiToQString(field->DisplayText()).contains(needle, Qt::CaseInsensitive);
        }
      }
      if (!found) Table->SetRecNo(start);
    } catch (...) {
      Table->EnableControls();
      throw;
    }
    Table->EnableControls();
  });
  Notice = found ? "\"" + text + "\" in record " + std::to_string(Table->RecNo())
                 : "\"" + text + "\" not found after this record";
  RefreshLocks();
  UpdateStatus();
  return found;
}

bool TBrowserForm::GoToRecord(std::int32_t n) {
  if (!Table->Active()) return false;
  bool moved = false;
  Guarded([&] {
    Table->CheckBrowseMode();
    Table->SetRecNo(n);
    moved = !Table->IsEmpty() && Table->RecNo() == n;
  });
  Notice = moved ? std::string() : "record " + std::to_string(n) + " is not in this view";
  RefreshLocks();
  UpdateStatus();
  return moved;
}

void TBrowserForm::AskAndGoToRecord() {
  std::int32_t n = 0;
  if (AskRecordNumber && AskRecordNumber(n)) GoToRecord(n);
}

// --- Edits, undo and redo ----------------------------------------------------------------------

EditHistory::Values TBrowserForm::CurrentValues() {
  EditHistory::Values values;
  if (!Table->Active() || Table->IsEmpty()) return values;
  for (int i = 0; i < Table->FieldCount(); ++i) {
    TField* field = Table->Fields()[i];
    values.emplace_back(field->FieldName(), field->IsNull() ? std::string() : field->AsString());
  }
  return values;
}

void TBrowserForm::AfterPost() {
  if (post_refused_) {
    KeepRefusedEdit();
    return;
  }
  if (replaying_) return;
  const EditHistory::Values after = CurrentValues();
  history_.Add({appending_ ? EditHistory::Kind::kAppend : EditHistory::Kind::kChange,
                Table->RecNo(), appending_ ? EditHistory::Values{} : before_post_, after});
  if (Table->HasRecordOrder()) {
    bool sorted_changed = appending_;
    for (std::size_t i = 0; i < after.size() && i < before_post_.size(); ++i) {
      if (after[i].first == sort_field_ && after[i].second != before_post_[i].second)
        sorted_changed = true;
    }
    if (sorted_changed)
      DropTemporaryOrder("the temporary order was dropped: the table changed under it");
  }
  appending_ = false;
}

void TBrowserForm::KeepRefusedEdit() {
  post_refused_ = false;
  // The dataset has left the edit: open it again over the same record with what was typed, so
  // that Enter tries again and Escape gives up.
  const std::int32_t record = Table->RecNo();
  const bool was_append = appending_;
  Guarded([&] {
    if (was_append) {
      Table->Append();
    } else {
      Table->Edit();
    }
    for (const auto& [name, text] : typed_) {
      TField* field = Table->FindField(name);
      if (field != nullptr && field->AsString() != text) field->SetAsString(text);
    }
  });
  Notice = was_append ? "another program holds the table's append lock: the new record is kept "
                        "here; Enter tries again, Esc gives it up"
                      : "record " + std::to_string(record) +
                            " is locked by another program: your edit is kept in the row; Enter "
                            "tries again, Esc gives it up";
  UpdateStatus();
}

bool TBrowserForm::WriteValues(const EditHistory::Values& values) {
  Table->Edit();
  for (const auto& [name, text] : values) {
    TField* field = Table->FindField(name);
    if (field == nullptr) continue;
    const std::string now = field->IsNull() ? std::string() : field->AsString();
    if (now == text) continue;
    if (text.empty()) {
      field->Clear();
    } else {
      field->SetAsString(text);
    }
  }
  post_refused_ = false;
  Table->Post();
  return !post_refused_;
}

bool TBrowserForm::Replay(bool undo) {
  if (!Table->Active() || !(undo ? history_.CanUndo() : history_.CanRedo())) return false;
  const EditHistory::Edit edit = undo ? history_.NextUndo() : history_.NextRedo();
  bool done = false;
  replaying_ = true;
  Guarded([&] {
    Table->CheckBrowseMode();
    if (!GoToRecord(edit.record)) {
      Notice = "record " + std::to_string(edit.record) + " is not in this view: nothing " +
               (undo ? "undone" : "redone");
      return;
    }
    // Read again: another program may have changed the record since.
    Table->Reread();
    switch (edit.kind) {
      case EditHistory::Kind::kChange: {
        const EditHistory::Values& expected = undo ? edit.after : edit.before;
        if (CurrentValues() != expected) {
          Notice = "record " + std::to_string(edit.record) +
                   " was changed by another program since: nothing " + (undo ? "undone" : "redone");
          ShowMessage(Notice);
          return;
        }
        done = WriteValues(undo ? edit.before : edit.after);
        break;
      }
      case EditHistory::Kind::kAppend:
      case EditHistory::Kind::kDelete:
      case EditHistory::Kind::kRecall: {
        // An appended record is undone by marking it deleted.
        const bool mark = (edit.kind == EditHistory::Kind::kDelete) != undo;
        if (Table->IsDeleted() == mark) {
          Notice = "record " + std::to_string(edit.record) + " is already " +
                   (mark ? "marked deleted" : "not marked");
          return;
        }
        if (mark) {
          Table->Delete();
        } else {
          Table->Restore();
        }
        done = Table->IsDeleted() == mark;
        break;
      }
    }
  });
  replaying_ = false;
  if (done) {
    if (undo) {
      history_.Undone();
    } else {
      history_.Redone();
    }
    Notice = std::string(undo ? "undone" : "redone") + " in record " + std::to_string(edit.record);
  }
  Grid->Invalidate();
  UpdateStatus();
  return done;
}

bool TBrowserForm::Undo() { return Replay(true); }
bool TBrowserForm::Redo() { return Replay(false); }

void TBrowserForm::ToggleDeleted() {
  if (!Table->Active() || Table->IsEmpty()) return;
  Guarded([this] {
    Table->CheckBrowseMode();
    if (Table->IsDeleted()) {
      if (MessageBox("Restore record?", "Confirm", MB_OKCANCEL | MB_ICONQUESTION) == IDOK)
        Table->Restore();
    } else if (MessageBox("Delete record?", "Confirm", MB_OKCANCEL | MB_ICONQUESTION) == IDOK) {
      Table->Delete();
    }
  });
  Grid->Invalidate();
  UpdateStatus();
}

void TBrowserForm::SetShowDeleted(bool show) {
  if (ShowDeletedAction->isChecked() != show) ShowDeletedAction->setChecked(show);
  Guarded([&] { Table->SetHideDeletedRecs(!show); });
  if (matches_ >= 0) matches_ = Table->CountVisible();
  RefreshLocks();
  UpdateStatus();
}

void TBrowserForm::OpenMemo() {
  if (!Table->Active()) return;
  const int index = Grid->SelectedIndex();
  if (index < 0 || index >= Grid->Columns().Count()) return;
  TField* field = Grid->Columns().Items(index)->Field();
  if (field == nullptr || DbaseTypeLetter(field) != 'M') return;
  const TDbfFieldProps* props = Table->FieldProps();
  if (props != nullptr && field->FieldNo() >= 1 && field->FieldNo() <= props->Count() &&
      props->Field(field->FieldNo()).type != 'M') {
    ShowMessage(field->FieldName() + " holds binary data, which is not edited as text.");
    return;
  }
  Guarded([&] {
    const TDataSetState before = Table->State();
    const std::string memo_before = field->AsString();
    MemoWindow->SetDataField(field->FieldName());
    const int result = MemoWindow->ShowModal();
    const TDataSetState state = Table->State();
    const bool editing = state == dsEdit || state == dsInsert;
    if (result == mrOk && editing) {
      Table->Post();
    } else if (editing && (before == dsEdit || before == dsInsert)) {
      // Only the memo goes back: the row's own unposted edit stays.
      if (field->AsString() != memo_before) field->SetAsString(memo_before);
    } else if (editing) {
      Table->Cancel();
    }
  });
}

// --- Copy, paste, export -----------------------------------------------------------------------

std::string TBrowserForm::CopyCells(bool whole_rows) {
  if (!Table->Active() || Table->IsEmpty()) return {};
  std::string text;
  Guarded([&] {
    if (!whole_rows) {
      const int index = Grid->SelectedIndex();
      TField* field = index >= 0 && index < Grid->Columns().Count()
                          ? Grid->Columns().Items(index)->Field()
                          : nullptr;
      if (field != nullptr) text = Utf8(field->IsBlob() ? field->AsString() : field->DisplayText());
      return;
    }
    for (int i = 0; i < Grid->Columns().Count(); ++i) {
      TField* field = Grid->Columns().Items(i)->Field();
      if (!Grid->Columns().Items(i)->Visible() || field == nullptr) continue;
      if (!text.empty()) text += '\t';
      text += Utf8(field->IsBlob() ? std::string() : field->DisplayText());
    }
  });
  QGuiApplication::clipboard()->setText(QString::fromStdString(text));
  Notice = whole_rows ? "row copied" : "cell copied";
  UpdateStatus();
  return text;
}

std::string TBrowserForm::PasteProblem(TField* field, const std::string& text) {
  const TDbfFieldProps* props = Table->FieldProps();
  if (props == nullptr || field->FieldNo() < 1 || field->FieldNo() > props->Count()) return {};
  const TDTField& described = props->Field(field->FieldNo());
  const std::string stored = QStringToAnsi(QString::fromStdString(text));
  const std::string kind = std::string(1, described.type) + " " + std::to_string(described.length);
  switch (described.type) {
    case 'C':
      if (stored.size() > described.length)
        return "\"" + text + "\" is longer than " + described.name + " (" + kind + ") holds";
      return {};
    case 'N':
    case 'F': {
      const std::string number = Trimmed(text);
      if (number.empty()) return {};
      char* end = nullptr;
      const double value = std::strtod(number.c_str(), &end);
      if (*end != '\0' || !std::isfinite(value))
        return "\"" + text + "\" is not a number for " + described.name;
      char formatted[400];
      std::snprintf(formatted, sizeof formatted, "%.*f", int{described.decimals}, value);
      if (std::string(formatted).size() > described.length)
        return "\"" + text + "\" does not fit " + described.name + " (" + kind + "," +
               std::to_string(described.decimals) + ")";
      return {};
    }
    case 'L': {
      const std::string value = UpperAscii(Trimmed(text));
      static const char* const kLogical[] = {"", "T", "F", "Y", "N", "TRUE", "FALSE", ".T.", ".F."};
      for (const char* accepted : kLogical) {
        if (value == accepted) return {};
      }
      return "\"" + text + "\" is not a logical value for " + described.name;
    }
    default:
      return {};
  }
}

int TBrowserForm::PasteCells(const std::string& text) {
  if (!Table->Active() || Table->IsEmpty() || !Table->CanModify()) return 0;
  std::vector<std::vector<std::string>> rows;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!(end == text.size() && line.empty())) {
      std::vector<std::string> cells;
      std::size_t from = 0;
      for (;;) {
        const std::size_t tab = line.find('\t', from);
        cells.push_back(line.substr(from, tab - from));
        if (tab == std::string::npos) break;
        from = tab + 1;
      }
      rows.push_back(std::move(cells));
    }
    start = end + 1;
  }
  const int first_column = std::max(0, Grid->SelectedIndex());
  int changed = 0;
  std::string problem;
  for (std::size_t r = 0; r < rows.size() && problem.empty(); ++r) {
    if (r > 0) {
      Guarded([this] { Table->Next(); });
      if (Table->Eof()) break;
    }
    // Every value is checked before the record is touched: a refused row changes nothing.
    std::vector<std::pair<TField*, std::string>> values;
    for (std::size_t c = 0; c < rows[r].size(); ++c) {
      const int column = first_column + static_cast<int>(c);
      if (column >= Grid->Columns().Count()) break;
      TField* field = Grid->Columns().Items(column)->Field();
      if (field == nullptr || field->IsBlob()) continue;
      problem = PasteProblem(field, rows[r][c]);
      if (!problem.empty()) break;
      values.emplace_back(field, rows[r][c]);
    }
    if (!problem.empty()) break;
    const bool written = Guarded([&] {
      Table->Edit();
      try {
        for (const auto& [field, value] : values) {
          const std::string stored = QStringToAnsi(QString::fromStdString(value));
          if (field->DataType() == ftBoolean) {
            const std::string upper = UpperAscii(Trimmed(value));
            if (upper.empty()) {
              field->Clear();
            } else {
              field->SetAsBoolean(upper[0] == 'T' || upper[0] == 'Y' || upper == ".T.");
            }
          } else if (Trimmed(value).empty()) {
            field->Clear();
          } else {
            field->SetAsString(stored);
          }
        }
        post_refused_ = false;
        Table->Post();
      } catch (...) {
        Table->Cancel();
        throw;
      }
    });
    if (!written || post_refused_) break;
    ++changed;
  }
  Notice = problem.empty() ? std::to_string(changed) + " record(s) changed by the paste"
                           : "paste stopped: " + problem;
  if (!problem.empty()) ShowMessage(Notice);
  Grid->Invalidate();
  UpdateStatus();
  return changed;
}

bool TBrowserForm::ExportView(const std::string& path, ExportFormat format) {
  if (!Table->Active()) return false;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) {
    ShowMessage("Cannot write " + path);
    return false;
  }
  std::vector<TField*> fields;
  for (int i = 0; i < Grid->Columns().Count(); ++i) {
    TColumn* column = Grid->Columns().Items(i);
    if (column->Visible() && column->Field() != nullptr) fields.push_back(column->Field());
  }
  if (format == ExportFormat::kCsv) {
    std::string title;
    for (TField* field : fields) title += (title.empty() ? "" : ",") + CsvCell(field->FieldName());
    out << title << "\r\n";
  }
  std::int32_t written = 0;
  const bool ok = Guarded([&] {
    Table->CheckBrowseMode();
    const std::int32_t start = Table->IsEmpty() ? 0 : Table->RecNo();
    Table->DisableControls();
    try {
      for (Table->First(); !Table->Eof(); Table->Next()) {
        std::string line;
        for (TField* field : fields) {
          const char type = DbaseTypeLetter(field);
          const bool blank = field->IsNull();
          std::string text = blank
                                 ? std::string()
                                 : Utf8(field->IsBlob() ? field->AsString() : field->DisplayText());
          if (format == ExportFormat::kCsv) {
            if (!line.empty() || field != fields.front()) line += ',';
            if (type == 'D' && !blank) {
              int y = 0, m = 0, d = 0;
              DecodeDate(field->AsDateTime(), y, m, d);
              char iso[16];
              std::snprintf(iso, sizeof iso, "%04d-%02d-%02d", y, m, d);
              text = iso;
            }
            line += CsvCell(Trimmed(text));
            continue;
          }
          line += (line.empty() ? "{" : ",") + JsonString(field->FieldName()) + ":";
          if (blank) {
            line += "null";
          } else if (type == 'N') {
            line += Trimmed(text);
          } else if (type == 'L') {
            line += field->AsBoolean() ? "true" : "false";
          } else if (type == 'D') {
            int y = 0, m = 0, d = 0;
            DecodeDate(field->AsDateTime(), y, m, d);
            char iso[16];
            std::snprintf(iso, sizeof iso, "\"%04d-%02d-%02d\"", y, m, d);
            line += iso;
          } else {
            line += JsonString(type == 'C' ? Trimmed(text) : text);
          }
        }
        if (format == ExportFormat::kJsonLines) line += fields.empty() ? "{}" : "}";
        out << line << (format == ExportFormat::kCsv ? "\r\n" : "\n");
        ++written;
      }
      if (start > 0) Table->SetRecNo(start);
    } catch (...) {
      Table->EnableControls();
      throw;
    }
    Table->EnableControls();
  });
  out.close();
  Notice = ok && out ? std::to_string(written) + " record(s) exported to " + path : "export failed";
  UpdateStatus();
  return ok && static_cast<bool>(out);
}

// --- Views -----------------------------------------------------------------------------------

void TBrowserForm::ShowRecordForm(bool show) {
  if (RecordFormAction->isChecked() != show) RecordFormAction->setChecked(show);
  FormPanel->SetVisible(show);
  if (show) {
    RecordForm->Widget()->setGeometry(0, 0, FormPanel->Width(), FormPanel->Height());
    RecordForm->Widget()->show();
    RecordForm->Refresh();
  }
  FormPanel->OnResize = [this](TObject*) {
    RecordForm->Widget()->setGeometry(0, 0, FormPanel->Width(), FormPanel->Height());
  };
}

std::string TBrowserForm::StructureText() {
  if (!Table->Active()) return "No table";
  std::string text;
  Guarded([&] {
    Select(Table->WorkArea());
    TableRecord* table = SelectedTable();
    if (table == nullptr) return;
    char line[512];
    text += std::filesystem::path(table->file_name).filename().string() + "\n";
    std::snprintf(line, sizeof line, "Version       %s (0x%02X)\n", VersionName(table->version()),
                  table->version());
    text += line;
    text += "Code page     " + std::to_string(code_page_) +
            (page_source_ == PageSource::kMark     ? " (the table's mark)"
             : page_source_ == PageSource::kChosen ? " (chosen in View > Code page)"
                                                   : " (no mark: the locale's DOS page)") +
            "\n";
    text += "Records       " + std::to_string(RecCount()) + "\n";
    const std::string& date = table->update_date;  // YYYYMMDD
    text += "Header        " + std::to_string(table->header_length) + " bytes, records of " +
            std::to_string(table->record_length) + " bytes, last update " +
            (date.size() == 8 ? date.substr(0, 4) + "-" + date.substr(4, 2) + "-" + date.substr(6)
                              : date) +
            "\n";
    if (MemoFile* memo = table->has_memo ? MemoOf(*table) : nullptr) {
      std::snprintf(line, sizeof line, "Memo file     %s, blocks of %u bytes\n",
                    memo->kind == MemoKind::kFoxPro   ? "FoxPro .FPT"
                    : memo->kind == MemoKind::kDbase4 ? "dBASE IV .DBT"
                                                      : "dBASE III .DBT",
                    memo->block_size);
      text += line;
    } else if (table->has_memo) {
      text += "Memo file     missing\n";
    }
    text += "\nFields\n  #  Name        Type  Length  Decimals\n";
    const TDbfFieldProps* props = Table->FieldProps();
    for (int n = 1; props != nullptr && n <= props->Count(); ++n) {
      const TDTField& f = props->Field(n);
      std::snprintf(line, sizeof line, "%3d  %-10s  %c     %6d  %8d\n", n, f.name.c_str(), f.type,
                    f.length, f.decimals);
      text += line;
    }
    const std::string index = IndexFileName();
    if (OrderCount() == 0) {
      text += "\nNo production index open\n";
      return;
    }
    text += "\nTags of " + std::filesystem::path(index).filename().string() + "\n";
    MdxFile file;
    QuietErrors quiet;
    const bool readable = file.Open(index, os::kOpenReadOnlyDenyNone);
    for (int order = 1; order <= OrderCount(); ++order) {
      const OrderTag* tag = OrderOf(order);
      if (tag == nullptr) continue;
      std::string keys = "?";
      if (readable) {
        std::vector<std::string> problems;
        std::vector<TagItem> items;
        CheckTagTree(file, tag->header,
                     ChooseComparator(tag->header.KeyType(), tag->expressions.result_type,
                                      tag->header.Descending()),
                     problems, &items);
        keys = std::to_string(items.size()) + (problems.empty() ? "" : " (damaged)");
      }
      text += "  " + tag->name + "  key " + tag->header.KeyExpression() + "  type " +
              std::string(1, tag->header.KeyType()) +
              (tag->header.HasFor() ? "  for " + tag->header.ForExpression() : std::string()) +
              (tag->header.Descending() ? "  descending" : "") +
              (tag->header.Unique() ? "  unique" : "") + "  keys " + keys + "\n";
    }
    if (readable) file.Close();
    EngineErrorCode = 0;
  });
  return Utf8(text);
}

void TBrowserForm::ShowStructure() {
  auto* dialog = new QDialog(Widget());
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setWindowTitle("Structure");
  auto* layout = new QVBoxLayout(dialog);
  auto* view = new QPlainTextEdit(dialog);
  view->setObjectName("StructureText");
  view->setReadOnly(true);
  view->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  view->setPlainText(QString::fromStdString(StructureText()));
  layout->addWidget(view);
  dialog->resize(620, 460);
  dialog->show();
  structure_dialog_ = dialog;
}

void TBrowserForm::CheckTable() {
  if (!Table->Active()) return;
  std::string report;
  int faults = 0;
  Guarded([&] {
    Select(Table->WorkArea());
    if (OrderCount() == 0) {
      report = index_problem_.empty() ? "No production index to check." : index_problem_;
      faults = index_problem_.empty() ? 0 : 1;
      return;
    }
    MdxFile file;
    QuietErrors quiet;
    if (!file.Open(IndexFileName(), os::kOpenReadOnlyDenyNone)) {
      report = LastErrorMessage;
      faults = 1;
      EngineErrorCode = 0;
      return;
    }
    IndexPages pages;
    for (int order = 1; order <= OrderCount(); ++order) {
      const OrderTag* tag = OrderOf(order);
      if (tag == nullptr) continue;
      std::vector<std::string> problems;
      CheckTagTree(file, tag->header,
                   ChooseComparator(tag->header.KeyType(), tag->expressions.result_type,
                                    tag->header.Descending()),
                   problems, nullptr, &pages, tag->name);
      for (const std::string& problem : problems) report += tag->name + ": " + problem + "\n";
      faults += static_cast<int>(problems.size());
    }
    file.Close();
    EngineErrorCode = 0;
    if (faults == 0) report = "Every tag of " + IndexFileName() + " is sound.";
  });
  CheckReport = report;
  if (faults > 0) report += "\nTo repair: vxdbf check --repair " + Table->DbfFileName();
  ShowMessage(Utf8(report));
}

// --- Refreshing ------------------------------------------------------------------------------

void TBrowserForm::RefreshLocks() {
  std::set<std::int32_t> locked;
  if (Table->Active() && Grid->DataLink().Active()) {
    TDataLink& link = Grid->DataLink();
    Guarded([&] {
      for (int row = 0; row < link.RecordCount(); ++row) {
        std::int32_t record_no = 0;
        {
          LinkRecordScope scope(link, row);
          record_no = Table->RecNo();
        }
        if (Table->RecordLockedElsewhere(record_no)) locked.insert(record_no);
      }
    });
  }
  if (locked != locked_) {
    locked_ = std::move(locked);
    Grid->Invalidate();
  }
}

void TBrowserForm::RefreshRows() {
  if (!Table->Active() || Table->State() != dsBrowse || Grid->EditorMode() || Sorting()) return;
  Guarded([this] {
    Select(Table->WorkArea());
    const std::int32_t count = RecCount();
    if (seen_count_ >= 0 && count != seen_count_ && Table->HasRecordOrder())
      DropTemporaryOrder("the temporary order was dropped: another program added records");
    seen_count_ = count;
    Table->Reread();
  });
}

void TBrowserForm::UpdateStatus() {
  if (!Table->Active() || Table->WorkArea() == 0) {
    StatusLine->SetCaption(Notice.empty() ? "No table" : Notice);
    return;
  }
  std::string text;
  Guarded([&] {
    const int current = Table->IsEmpty() ? 0 : Table->RecNo();
    Select(Table->WorkArea());
    TableRecord* table = SelectedTable();
    if (table == nullptr) return;
    text = "Record " + std::to_string(current) + " of " + std::to_string(RecCount());
    if (Table->IsDeleted()) text += " (deleted)";
    if (matches_ >= 0)
      text += "  |  " + std::to_string(matches_) + " of " + std::to_string(RecCount()) +
              " records match";
    char version[8];
    std::snprintf(version, sizeof version, "0x%02X", table->version());
    text += "  |  " + std::string(VersionName(table->version())) + " (" + version + ")";
    text += ", code page " + std::to_string(code_page_) +
            (page_source_ == PageSource::kMark     ? ""
             : page_source_ == PageSource::kChosen ? " (chosen)"
                                                   : " (no mark: locale)");
    text += "  |  " + std::string(table->exclusive || !SharingEnabled ? "exclusive" : "shared");
    if (!ReadOnlyReason.empty()) text += ", read-only: " + ReadOnlyReason;
    if (Table->HasRecordOrder()) {
      text += "  |  by " + sort_field_ + (sort_descending_ ? " descending" : "") + " (temporary)";
    } else {
      const int order = Table->ActiveOrder();
      text += "  |  " + (order == 0 ? std::string("natural order") : "tag " + OrderTagName(order));
    }
    if (!Notice.empty()) text += "  |  " + Notice;
  });
  // The status line is UTF-8 already; the label shows ANSI text, so it goes through the same
  // page the widgets use.
  StatusLine->SetCaption(QStringToAnsi(QString::fromStdString(text)));
}

// --- Settings --------------------------------------------------------------------------------

void TBrowserForm::RememberRecent(const std::string& path) {
  QSettings settings;
  QStringList recent = settings.value("recent").toStringList();
  recent.removeAll(QString::fromStdString(path));
  recent.prepend(QString::fromStdString(path));
  while (recent.size() > kRecentFiles) recent.removeLast();
  settings.setValue("recent", recent);
  FillRecentMenu();
}

void TBrowserForm::FillRecentMenu() {
  if (RecentMenu == nullptr) return;
  RecentMenu->clear();
  const QStringList recent = QSettings().value("recent").toStringList();
  for (const QString& path : recent) {
    QObject::connect(RecentMenu->addAction(path), &QAction::triggered,
                     [this, path] { OpenTable(path.toStdString()); });
  }
  RecentMenu->setEnabled(!recent.isEmpty());
}

void TBrowserForm::SaveSettings() {
  QSettings settings;
  const int bounds[4] = {Left(), Top(), Width(), Height()};
  settings.setValue("window/geometry",
                    QByteArray(reinterpret_cast<const char*>(bounds), sizeof bounds));
  if (path_.empty() || !Table->Active()) return;
  QStringList columns;
  for (int i = 0; i < Grid->Columns().Count(); ++i) {
    TColumn* column = Grid->Columns().Items(i);
    columns << QString::fromStdString(column->FieldName()) + ":" + QString::number(column->Width());
  }
  settings.setValue(SettingsKey(path_, "columns"), columns);
  std::string order;
  if (Table->HasRecordOrder()) {
    order = "sort:" + sort_field_ + (sort_descending_ ? ":descending" : "");
  } else {
    Guarded([&] {
      const int n = Table->ActiveOrder();
      if (n != 0) order = "tag:" + OrderTagName(n);
    });
  }
  settings.setValue(SettingsKey(path_, "order"), QString::fromStdString(order));
  settings.setValue(SettingsKey(path_, "filter"), FilterField->text());
  settings.setValue(SettingsKey(path_, "page"), chosen_page_);
}

void TBrowserForm::RestoreTableSettings() {
  QSettings settings;
  const int page = settings.value(SettingsKey(path_, "page"), 0).toInt();
  if (page != 0) SetCodePage(page);
  const QStringList columns = settings.value(SettingsKey(path_, "columns")).toStringList();
  if (!columns.isEmpty()) {
    // Columns in the order and widths kept; fields the table no longer has are left out, new
    // ones go at the end.
    std::vector<std::pair<std::string, int>> kept;
    for (const QString& entry : columns) {
      const int colon = entry.lastIndexOf(':');
      if (colon <= 0) continue;
      kept.emplace_back(entry.left(colon).toStdString(), entry.mid(colon + 1).toInt());
    }
    std::vector<std::pair<std::string, int>> all;
    for (int i = 0; i < Grid->Columns().Count(); ++i) {
      all.emplace_back(Grid->Columns().Items(i)->FieldName(), Grid->Columns().Items(i)->Width());
    }
    std::vector<std::pair<std::string, int>> wanted;
    for (const auto& entry : kept) {
      if (Table->FindField(entry.first) != nullptr) wanted.push_back(entry);
    }
    for (const auto& entry : all) {
      if (std::none_of(wanted.begin(), wanted.end(),
                       [&](const auto& w) { return w.first == entry.first; }))
        wanted.push_back(entry);
    }
    Grid->Columns().BeginUpdate();
    Grid->Columns().Clear();
    for (const auto& [name, width] : wanted) {
      TColumn* column = Grid->Columns().Add();
      column->SetFieldName(name);
      column->SetWidth(std::clamp(width, 8, 2000));
      TField* field = Table->FindField(name);
      if (field != nullptr && (DbaseTypeLetter(field) == 'N')) column->SetAlignment(taRightJustify);
    }
    Grid->Columns().EndUpdate();
  }
  const std::string filter = settings.value(SettingsKey(path_, "filter")).toString().toStdString();
  if (!filter.empty()) {
    FilterField->setText(QString::fromStdString(filter));
    ApplyFilter(filter);
  }
  const std::string order = settings.value(SettingsKey(path_, "order")).toString().toStdString();
  if (order.rfind("tag:", 0) == 0) {
    const int index = OrderBox->findText(QString::fromStdString(order.substr(4)));
    if (index > 0) ChooseOrder(index);
  } else if (order.rfind("sort:", 0) == 0) {
    std::string field = order.substr(5);
    const bool descending = field.size() > 11 && field.ends_with(":descending");
    if (descending) field.resize(field.size() - 11);
    for (int i = 0; i < Grid->Columns().Count(); ++i) {
      if (Grid->Columns().Items(i)->FieldName() != field) continue;
      SortByColumn(i);
      FinishSort();
      if (descending) {
        SortByColumn(i);
        FinishSort();
      }
      break;
    }
  }
  Guarded([this] { Table->First(); });
}

}  // namespace vx::browser
