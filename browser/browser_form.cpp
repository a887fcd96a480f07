#include "browser/browser_form.h"

#include <QAction>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <exception>
#include <filesystem>

#include "components/dataset/table_dataset.h"
#include "engine/foundation/errors.h"
#include "engine/index/orders.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/work_areas.h"
#include "platform/dataset/application.h"
#include "platform/os/codepage.h"

namespace vx::browser {

namespace {

constexpr int kToolHeight = 54;  // menu bar row and order/search row
constexpr int kStatusHeight = 22;
constexpr int kLockProbeMillis = 2000;

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
  if (key == VK_DELETE && shift.Contains(ssCtrl) && OnToggleDeleted) {
    key = 0;
    OnToggleDeleted();
    return;
  }
  TVxGrid::KeyDown(key, shift);
}

// --- Window ----------------------------------------------------------------------------------

TBrowserForm::TBrowserForm(TComponent* owner) : TForm(owner) {
  SetName("BrowserForm");
  SetBounds(120, 90, 760, 420);
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

  Table = new ZOvEzi(this);
  Table->SetName("Table");
  Table->SetCreateIfNotFound(false);
  Table->SetCreateIndex(ciNever);
  Table->SetHideDeletedRecs(false);

  Source = new TDataSource(this);
  Source->SetName("Source");
  Source->SetDataSet(Table);
  Source->OnDataChange = [this](TObject*, TField*) { UpdateStatus(); };

  Grid = new TBrowserGrid(this);
  Grid->SetName("Grid");
  Grid->SetParent(this);
  Grid->SetAlign(alClient);
  Grid->SetDataSource(Source);
  Grid->SetAutoAppend(false);
  Grid->IsLocked = [this](std::int32_t record_no) { return locked_.count(record_no) != 0; };
  Grid->OnToggleDeleted = [this] { ToggleDeleted(); };
  Grid->OnDblClick = [this](TObject*) { OpenMemo(); };
  SetActiveControl(Grid);

  QWidget* tools = ToolPanel->Widget();
  MenuBar = new QMenuBar(tools);
  QMenu* file_menu = MenuBar->addMenu("&File");
  QObject::connect(file_menu->addAction("&Open..."), &QAction::triggered,
                   [this] { OpenWithDialog(); });
  file_menu->addSeparator();
  QObject::connect(file_menu->addAction("E&xit"), &QAction::triggered, [this] { Close(); });
  QMenu* view_menu = MenuBar->addMenu("&View");
  ShowDeletedAction = view_menu->addAction("Show &deleted");
  ShowDeletedAction->setCheckable(true);
  ShowDeletedAction->setChecked(true);
  QObject::connect(ShowDeletedAction, &QAction::toggled, [this](bool on) { SetShowDeleted(on); });

  auto* order_label = new QLabel("Order:", tools);
  order_label->setGeometry(8, 30, 40, 20);
  OrderBox = new QComboBox(tools);
  OrderBox->setGeometry(50, 28, 150, 22);
  QObject::connect(OrderBox, &QComboBox::currentIndexChanged, [this](int index) {
    if (!filling_orders_ && index >= 0) ChooseOrder(index);
  });
  auto* search_label = new QLabel("Search:", tools);
  search_label->setGeometry(216, 30, 48, 20);
  SearchField = new QLineEdit(tools);
  SearchField->setGeometry(266, 28, 220, 22);
  SearchField->setPlaceholderText("type a key of the chosen order");
  QObject::connect(SearchField, &QLineEdit::textChanged,
                   [this](const QString& text) { Seek(text.toStdString()); });

  MemoWindow = new TVxMemoWindow(this, Source, "");

  OnResize = [this](TObject*) { LayOut(); };
  LayOut();

  // Locks of other programs change without any event here: they are probed while idle.
  lock_timer_.setInterval(kLockProbeMillis);
  QObject::connect(&lock_timer_, &QTimer::timeout, [this] { RefreshLocks(); });
  lock_timer_.start();
}

TBrowserForm::~TBrowserForm() {
  lock_timer_.stop();
  Guarded([this] { Table->SetActive(false); });
}

void TBrowserForm::LayOut() {
  const int width = ClientWidth();
  MenuBar->setGeometry(0, 0, width, 24);
  SearchField->setGeometry(266, 28, std::max(120, width - 276), 22);
  StatusLine->SetBounds(6, 4, std::max(100, width - 12), 16);
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

bool TBrowserForm::OpenTable(const std::string& path) {
  locked_.clear();
  const bool opened = Guarded([&] {
    Table->SetActive(false);
    Table->SetDbfFileName(path);
    Table->SetActive(true);
    // The production index opens with its first tag in control; browsing starts in the
    // table's own order.
    if (Table->Active() && Table->ActiveOrder() != 0) Table->SetActiveOrder(0);
  });
  if (!opened) Guarded([this] { Table->SetActive(false); });
  FillOrderBox();
  BuildColumns();
  SetCaption(opened ? "Vexel - " + std::filesystem::path(path).filename().string() : "Vexel");
  if (opened) RefreshLocks();
  UpdateStatus();
  return opened && Table->Active();
}

void TBrowserForm::OpenWithDialog() {
  const QString name = QFileDialog::getOpenFileName(Widget(), "Open table", QString(),
                                                    "dBASE tables (*.dbf *.DBF);;All files (*)");
  if (!name.isEmpty()) OpenTable(name.toStdString());
}

void TBrowserForm::BuildColumns() {
  // The grid makes one column per field by itself; memo columns get a readable width.
  Grid->Columns().BeginUpdate();
  Grid->Columns().Clear();
  Grid->Columns().EndUpdate();
}

void TBrowserForm::FillOrderBox() {
  filling_orders_ = true;
  OrderBox->clear();
  OrderBox->addItem("Natural order");
  if (Table->Active()) {
    Guarded([this] {
      for (const std::string& name : Table->OrderNames())
        OrderBox->addItem(QString::fromStdString(name));
      OrderBox->setCurrentIndex(Table->ActiveOrder());
    });
  }
  filling_orders_ = false;
}

void TBrowserForm::ChooseOrder(int order) {
  if (!Table->Active()) return;
  Guarded([&] { Table->SetActiveOrder(order); });
  if (OrderBox->currentIndex() != order) {
    filling_orders_ = true;
    OrderBox->setCurrentIndex(order);
    filling_orders_ = false;
  }
  if (!SearchField->text().isEmpty()) Seek(SearchField->text().toStdString());
  RefreshLocks();
  UpdateStatus();
}

void TBrowserForm::Seek(const std::string& text) {
  if (!Table->Active() || text.empty()) return;
  Guarded([&] {
    if (Table->ActiveOrder() == 0) return;
    const bool soft = SoftSeek;
    SoftSeek = true;
    try {
      // Straight into the table's own code page, the page its keys are made in: a detour
      // through the ANSI page would lose the characters it lacks.
      const std::string key =
          os::EncodeCodePage(Table->TableCodePage(), text, os::OnFault::kReplace).text;
      Table->FindStored(key);
    } catch (...) {
      SoftSeek = soft;
      throw;
    }
    SoftSeek = soft;
  });
  RefreshLocks();
  UpdateStatus();
}

void TBrowserForm::ToggleDeleted() {
  if (!Table->Active() || Table->IsEmpty()) return;
  Guarded([this] {
    if (Table->IsDeleted()) {
      Table->Restore();
    } else {
      Table->Delete();
    }
  });
  Grid->Invalidate();
  UpdateStatus();
}

void TBrowserForm::SetShowDeleted(bool show) {
  if (ShowDeletedAction->isChecked() != show) ShowDeletedAction->setChecked(show);
  Guarded([&] { Table->SetHideDeletedRecs(!show); });
  RefreshLocks();
  UpdateStatus();
}

void TBrowserForm::OpenMemo() {
  if (!Table->Active()) return;
  const int index = Grid->SelectedIndex();
  if (index < 0 || index >= Grid->Columns().Count()) return;
  TField* field = Grid->Columns().Items(index)->Field();
  if (field == nullptr || DbaseTypeLetter(field) != 'M') return;
  Guarded([&] {
    MemoWindow->SetDataField(field->FieldName());
    const int result = MemoWindow->ShowModal();
    const TDataSetState state = Table->State();
    const bool editing = state == dsEdit || state == dsInsert;
    if (result == mrOk && editing) {
      Table->Post();
    } else if (editing) {
      Table->Cancel();
    }
  });
}

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

void TBrowserForm::UpdateStatus() {
  if (!Table->Active() || Table->WorkArea() == 0) {
    StatusLine->SetCaption("No table");
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
    char version[8];
    std::snprintf(version, sizeof version, "0x%02X", table->version());
    text += "  |  " + std::string(VersionName(table->version())) + " (" + version + ")";
    text += ", " + CodePageText(static_cast<std::uint8_t>(table->header[29]));
    text += "  |  " + std::string(table->exclusive || !SharingEnabled ? "exclusive" : "shared");
    const int order = Table->ActiveOrder();
    text += "  |  " + (order == 0 ? std::string("natural order") : "tag " + OrderTagName(order));
  });
  StatusLine->SetCaption(text);
}

}  // namespace vx::browser
