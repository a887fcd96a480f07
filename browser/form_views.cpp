// The browser window's views and memory: the record form, the structure view and the table
// check, and the settings kept between sessions.

#include <QComboBox>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QSettings>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <vexel/indexing.hpp>

#include "browser/browser_form.h"
#include "browser/file_orders.h"
#include "browser/form_text.h"
#include "browser/record_form.h"
#include "components/dataset/table_dataset.h"
#include "engine/foundation/errors.h"
#include "engine/index/index_check.h"
#include "engine/index/key_codec.h"
#include "engine/index/ndx_orders.h"
#include "engine/index/orders.h"
#include "engine/memo/memo_file.h"
#include "engine/memo/memo_storage.h"
#include "engine/memo/text_sample.h"
#include "engine/table/code_page_ranking.h"
#include "engine/table/language_driver.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/work_areas.h"
#include "platform/dataset/application.h"
#include "platform/os/file.h"

namespace vx::browser {

namespace {

constexpr int kRecentFiles = 8;

QString SettingsKey(const std::string& path, const char* name) {
  const QByteArray hash =
      QCryptographicHash::hash(QByteArray::fromStdString(path), QCryptographicHash::Md5).toHex();
  return "tables/" + QString::fromLatin1(hash) + "/" + name;
}

}  // namespace

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

namespace {

// The check's report as a person reads it: one line per finding, then the notes.
std::string CheckText(const vexel::TableCheck& report) {
  std::string text;
  for (const vexel::CheckFinding& f : report.findings()) text += f.where + ": " + f.what + "\n";
  if (report.ok) {
    text += "No problems found" +
            (report.has_index ? " (" + std::to_string(report.tags.size()) + " tags)" : "") + "\n";
  }
  for (const vexel::CheckFinding& f : report.all_notes()) {
    text += f.where + ": note: " + f.what + "\n";
  }
  return text;
}

std::string RepairText(const vexel::IndexRepair& repair) {
  std::string text;
  if (repair.counted > 0) {
    text += "The header now counts the " + std::to_string(repair.counted) +
            " record(s) past its old count.\n";
  }
  if (!repair.rebuilt.empty()) {
    text += "Rebuilt tag(s)";
    for (std::size_t i = 0; i < repair.rebuilt.size(); ++i)
      text += (i > 0 ? ", " : " ") + repair.rebuilt[i];
    text += "; the old index is kept as " + repair.backup + ".\n";
  }
  for (const std::string& what : repair.not_repaired) text += "Not repaired: " + what + "\n";
  return text.empty() ? "Nothing needed repairing.\n" : text;
}

}  // namespace

// The library's check, by path: it opens the table itself, beside this window's open.
bool TBrowserForm::CheckTable() {
  if (!Table->Active()) return false;
  // Any edit still open is posted first: the checker reads the file, not the grid.
  if (!Guarded([this] { Table->CheckBrowseMode(); })) return false;
  vexel::OpenOptions options;
  options.codepage = code_page_;
  vexel::TableCheck report;
  const bool ran = Guarded([&] { report = vexel::check_table(path_, false, options); });
  if (!ran) {
    CheckReport = "the check could not read " + path_;
    return false;
  }
  CheckReport = CheckText(report);
  Notice = report.ok ? "the check found no problems" : "the check found problems";
  UpdateStatus();
  if (report.ok) {
    ShowMessage(CheckReport);
    return true;
  }
  if (MessageBox(CheckReport + "\nRepair now? The table is closed meanwhile, and no other program "
                               "may have it open.",
                 "Check table", MB_YESNO | MB_ICONWARNING) != IDYES) {
    return true;
  }
  RepairTable();
  return true;
}

bool TBrowserForm::RepairTable() {
  if (!Table->Active()) return false;
  const std::string path = path_;
  vexel::OpenOptions options;
  options.codepage = code_page_;
  // Tags are rebuilt with their progress in the status line; the window keeps painting
  // meanwhile, but takes no input while the table is closed in it (a build cannot stop
  // half-way without leaving the index short).
  options.progress = [this](const std::string&, std::int64_t done, std::int64_t total) {
    if (done < 0) return;
    SortProgress->setValue(total > 0 ? static_cast<int>(done * 100 / total) : 0);
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
  };
  // The repair needs the table to itself: this window lets go of it first.
  const int page = chosen_page_;
  CloseTable();
  Notice = "repairing " + std::filesystem::path(path).filename().string() + "...";
  UpdateStatus();
  SortProgress->setValue(0);
  SortProgress->setVisible(true);
  repairing_ = true;
  LayOut();
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
  vexel::TableCheck report;
  // (An old index that cannot be kept as .bak is refused, nothing changed, and said.)
  const bool ran = Guarded([&] { report = vexel::check_table(path, true, options); });
  repairing_ = false;
  SortProgress->setVisible(false);
  LayOut();
  const std::string text = report.repair ? RepairText(*report.repair) : "Nothing was repaired.\n";
  chosen_page_ = page;
  OpenTable(path);
  if (!ran) return false;
  CheckReport = text;
  Notice = "repaired";
  UpdateStatus();
  ShowMessage(text);
  return true;
}

// --- Code-page assistant --------------------------------------------------------------------

std::vector<PageScore> TBrowserForm::RankTablePages(std::size_t* high_bytes) {
  std::vector<PageScore> ranked;
  if (!Table->Active()) return ranked;
  Guarded([&] {
    Table->CheckBrowseMode();
    Select(Table->WorkArea());
    TableRecord* table = SelectedTable();
    if (table == nullptr) return;
    // The sample walks the records of the window's own work area, as stored; the grid's
    // record is found again afterwards.
    const TableSample sample = ReadCodePageSample(*table);
    Table->Reread();
    if (high_bytes != nullptr) *high_bytes = sample.high_bytes;
    std::vector<int> pages(std::begin(kCandidatePages), std::end(kCandidatePages));
    const int marked = page_source_ == PageSource::kMark ? MarkedCodePage(*table) : 0;
    if (std::find(pages.begin(), pages.end(), code_page_) == pages.end())
      pages.push_back(code_page_);
    ranked = RankCodePages(sample.texts, pages, marked);
  });
  return ranked;
}

void TBrowserForm::ShowPageAssistant() {
  if (!Table->Active()) return;
  std::size_t high_bytes = 0;
  const std::vector<PageScore> ranked = RankTablePages(&high_bytes);
  if (ranked.empty()) return;
  const int before = chosen_page_;
  auto* dialog = new QDialog(Widget());
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setWindowTitle("Code page");
  auto* layout = new QVBoxLayout(dialog);
  std::string intro;
  if (high_bytes == 0) {
    intro = "No byte beyond ASCII: every code page reads this table alike.";
  } else {
    std::string same = std::to_string(ranked[0].page);
    std::size_t count = 1;
    for (const PageScore& score : ranked) {
      if (&score != &ranked[0] && score.reads_as_best) {
        same += ", " + std::to_string(score.page);
        ++count;
      }
    }
    if (count > 1) {
      same.replace(same.rfind(", "), 2, " and ");
      intro = "Equivalent: code pages " + same +
              " read every byte of this text as the same characters (marked =). ";
    }
    const auto other = std::find_if(ranked.begin(), ranked.end(),
                                    [](const PageScore& p) { return !p.reads_as_best; });
    if (TooCloseToCall(ranked, high_bytes) && other != ranked.end()) {
      intro += "Too close to call: code pages " + std::to_string(ranked[0].page) + " and " +
               std::to_string(other->page) + " read this text about equally well.";
    } else {
      intro += "Code page " + std::to_string(ranked[0].page) + " reads this text best.";
    }
  }
  auto* label = new QLabel(
      QString::fromStdString(intro + " Choose a page to see the table in it; OK keeps it."),
      dialog);
  label->setWordWrap(true);
  layout->addWidget(label);
  auto* list = new QListWidget(dialog);
  list->setObjectName("RankedPages");
  list->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  for (const PageScore& score : ranked) {
    char head[32];
    std::snprintf(head, sizeof head, "%5d %6.2f%c", score.page, score.score,
                  &score != &ranked[0] && score.reads_as_best ? '=' : ' ');
    std::string line = head;
    for (const std::string& word : score.samples) line += " " + word;
    auto* item = new QListWidgetItem(QString::fromStdString(line), list);
    item->setData(Qt::UserRole, score.page);
  }
  layout->addWidget(list);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog);
  layout->addWidget(buttons);
  QObject::connect(list, &QListWidget::currentItemChanged,
                   [this](QListWidgetItem* item, QListWidgetItem*) {
                     if (item != nullptr) SetCodePage(item->data(Qt::UserRole).toInt());
                   });
  QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
  // Cancel (or closing the window) shows the table in the page it had before.
  QObject::connect(dialog, &QDialog::rejected, [this, before] { SetCodePage(before); });
  dialog->resize(560, 360);
  dialog->show();
  PageAssistant = dialog;
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
  // A maximised window keeps the bounds it had before, to go back to them when restored.
  const bool maximised = Widget()->isMaximized();
  const QRect normal = Widget()->normalGeometry();
  int bounds[4] = {Left(), Top(), Width(), Height()};
  if (maximised && normal.isValid()) {
    bounds[0] = normal.x() - FrameWidth();
    bounds[1] = normal.y() - FrameWidth() - CaptionBarHeight();
    bounds[2] = normal.width() + 2 * FrameWidth();
    bounds[3] = normal.height() + 2 * FrameWidth() + CaptionBarHeight();
  }
  settings.setValue("window/geometry",
                    QByteArray(reinterpret_cast<const char*>(bounds), sizeof bounds));
  settings.setValue("window/maximised", maximised);
  if (path_.empty() || !Table->Active()) return;
  QStringList columns;
  for (int i = 0; i < Grid->Columns().Count(); ++i) {
    TColumn* column = Grid->Columns().Items(i);
    columns << QString::fromStdString(column->FieldName()) + ":" + QString::number(column->Width());
  }
  settings.setValue(SettingsKey(path_, "columns"), columns);
  std::string order;
  if (file_order_ >= 0) {
    order = "tag:" + file_orders_[static_cast<std::size_t>(file_order_)]->Name();
  } else if (Table->HasRecordOrder()) {
    // A sort by several columns comes back by its first.
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
    const ColumnsUpdate update(Grid->Columns());
    Grid->Columns().Clear();
    for (const auto& [name, width] : wanted) {
      TColumn* column = Grid->Columns().Add();
      column->SetFieldName(name);
      column->SetWidth(std::clamp(width, 8, 2000));
      TField* field = Table->FindField(name);
      if (field != nullptr && (DbaseTypeLetter(field) == 'N')) column->SetAlignment(taRightJustify);
    }
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

// --- Index files kept with the table ----------------------------------------------------

void TBrowserForm::LoadFileOrders() {
  file_orders_.clear();
  file_order_ = -1;
  Guarded([this] {
    Select(Table->WorkArea());
    file_orders_ = FileOrder::CdxTagsOf(*SelectedTable());
  });
  std::vector<std::string> kept;
  for (const QString& name : QSettings().value(SettingsKey(path_, "ndx")).toStringList())
    kept.push_back(name.toStdString());
  if (!kept.empty()) OpenNdxFiles(kept);
}

int TBrowserForm::OpenNdxFiles(const std::vector<std::string>& paths) {
  if (!Table->Active()) return 0;
  int opened = 0;
  for (const std::string& path : paths) {
    Guarded([&] {
      Select(Table->WorkArea());
      TableRecord& table = *SelectedTable();
      std::unique_ptr<FileOrder> order = FileOrder::Ndx(table, path);
      for (const auto& open : file_orders_) {
        if (open->Path() == order->Path()) return;  // open already
      }
      // Edits through this window keep it current from now on, as every other door does.
      if (!Table->ReadOnly()) AttachNdx(order->Path());
      file_orders_.push_back(std::move(order));
      ++opened;
    });
  }
  QStringList kept;
  for (const std::string& ndx : NdxFiles()) kept << QString::fromStdString(ndx);
  QSettings().setValue(SettingsKey(path_, "ndx"), kept);
  FillOrderBox();
  UpdateStatus();
  return opened;
}

std::vector<std::string> TBrowserForm::NdxFiles() const {
  std::vector<std::string> paths;
  for (const auto& order : file_orders_) {
    if (IsNdxName(order->Path())) paths.push_back(order->Path());
  }
  return paths;
}

}  // namespace vx::browser
