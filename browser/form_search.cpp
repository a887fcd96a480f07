// The browser window's filter, quick search and Find, and its refresh of other programs' changes.

#include "browser/browser_form.h"

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
#include "browser/filter_row.h"
#include "browser/form_text.h"
#include "browser/query_window.h"
#include "browser/record_form.h"
#include "browser/search_key.h"
#include "browser/sort_builder.h"
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

namespace vx::browser {

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
    {
      const DisabledControls quiet(*Table);
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
    }
    if (found) ShowFoundRecord();
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
    if (moved) ShowFoundRecord();
  });
  Notice = moved ? std::string() : "record " + std::to_string(n) + " is not in this view";
  RefreshLocks();
  UpdateStatus();
  return moved;
}

void TBrowserForm::ShowFoundRecord() {
  // A record found below the middle of the window moves to the middle, so that the records
  // after it (the next matches of a search) show too.
  TDataLink& link = Grid->DataLink();
  if (!link.Active() || Table->IsEmpty() || Table->State() != dsBrowse) return;
  const int row = link.ActiveRecord();
  const int middle = (Grid->VisibleRowCount() - 1) / 2;
  if (row <= middle) return;
  // Forward past the window's last row by as many rows as the record stands below the middle
  // (the window scrolls that far), then back to the record: it stands in the middle, or lower
  // when the view ends first.
  const int last = Grid->VisibleRowCount() - 1;
  const DisabledControls quiet(*Table);
  const int moved = Table->MoveBy(last - middle);
  Table->MoveBy(-moved);
}

TQueryWindow* TBrowserForm::ShowQueryWindow() {
#ifdef VX_HAVE_SQLITE
  if (!Table->Active() || path_.empty()) return nullptr;
  // The window belongs to the table: another table gets a window of its own.
  if (!query_window_ || query_table_ != path_) {
    query_window_ = std::make_unique<TQueryWindow>(Widget(), path_);
    query_table_ = path_;
    query_window_->OnTablesChanged = [this] {
      RefreshRows();
      UpdateStatus();
    };
  }
  query_window_->Dialog()->show();
  query_window_->Dialog()->raise();
  return query_window_.get();
#else
  return nullptr;
#endif
}

void TBrowserForm::AskAndGoToRecord() {
  std::int32_t n = 0;
  if (AskRecordNumber && AskRecordNumber(n)) GoToRecord(n);
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
             : user_.unmarked_page != 0            ? " (no mark: settings)"
                                                   : " (no mark: locale)");
    text += "  |  " + std::string(table->exclusive || !SharingEnabled ? "exclusive" : "shared");
    if (!ReadOnlyReason.empty()) text += ", read-only: " + ReadOnlyReason;
    if (file_order_ >= 0) {
      text += "  |  " + file_orders_[static_cast<std::size_t>(file_order_)]->Name() + " order";
    } else if (Table->HasRecordOrder()) {
      text += "  |  by " + SortText(false) + " (temporary)";
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

}  // namespace vx::browser
