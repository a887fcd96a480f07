// The browser window's views and memory: the record form, the structure view and the table
// check, and the settings kept between sessions.

#include <QComboBox>
#include <QCryptographicHash>
#include <QDialog>
#include <QFontDatabase>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QSettings>
#include <QVBoxLayout>
#include <algorithm>
#include <filesystem>

#include "browser/browser_form.h"
#include "browser/form_text.h"
#include "browser/record_form.h"
#include "components/dataset/table_dataset.h"
#include "engine/foundation/errors.h"
#include "engine/index/index_check.h"
#include "engine/index/key_codec.h"
#include "engine/index/orders.h"
#include "engine/memo/memo_file.h"
#include "engine/memo/memo_storage.h"
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
