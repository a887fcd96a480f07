// The browser window's orders: the order box (tags, .CDX tags, .NDX files) and sorting by a column.

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
    for (const auto& order : file_orders_) OrderBox->addItem(QString::fromStdString(order->Name()));
  }
  // A tag whose header cannot be read is shown but cannot be chosen.
  if (auto* model = qobject_cast<QStandardItemModel*>(OrderBox->model())) {
    for (const int tag : damaged_tags_) {
      if (tag < OrderBox->count()) model->item(tag)->setEnabled(false);
    }
  }
  if (Table->HasRecordOrder() && !sort_field_.empty()) {
    OrderBox->addItem(QString::fromStdString(SortText(true) + " (temporary)"));
  }
  filling_orders_ = false;
  ShowOrderInBox();
}

void TBrowserForm::ShowOrderInBox() {
  filling_orders_ = true;
  if (file_order_ >= 0) {
    OrderBox->setCurrentIndex(static_cast<int>(Table->OrderNames().size()) + 1 + file_order_);
  } else if (Table->HasRecordOrder()) {
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
  if (order > tags) {
    // An index file's order, else the temporary order, already in force.
    if (order - tags - 1 < static_cast<int>(file_orders_.size())) ChooseFileOrder(order - tags - 1);
    return;
  }
  CancelSort();
  const bool had_sort = Table->HasRecordOrder();
  file_order_ = -1;
  Guarded([&] {
    // A tag that holds its keys in its writer's own order is read in that order, and edits
    // wait until another order is chosen: keys this program put there would be lost to it.
    Select(Table->WorkArea());
    if (writers_order_tag_ != 0) {
      ReadInWritersOrder(writers_order_tag_, false);
      writers_order_tag_ = 0;
      ReadOnlyReason.clear();
    }
    if (order > 0 && !Table->ReadOnly() && OrderInSignedByteOrder(order) &&
        ReadInWritersOrder(order, true)) {
      writers_order_tag_ = order;
      ReadOnlyReason = "tag " + OrderTagName(order) +
                       " holds its keys in its writer's own order (signed bytes); edits wait "
                       "for another order, as keys added here would be lost to that writer";
    }
    Table->ChooseOrder(order);
  });
  sort_field_.clear();
  sort_more_.clear();
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
    if (order == 0 && file_order_ < 0) {
      Notice = "search needs a tag: choose one in the order box";
      return;
    }
    Select(Table->WorkArea());
    std::string expression;
    if (file_order_ >= 0) {
      expression = file_orders_[static_cast<std::size_t>(file_order_)]->KeyExpression();
    } else if (const OrderTag* tag = OrderOf(order); tag != nullptr) {
      expression = tag->header.KeyExpression();
    }
    const std::string key_text = SearchKeyText(expression, text);
    // Straight into the table's own code page, the page its keys are made in.
    const std::string key = os::EncodeCodePage(code_page_, key_text, os::OnFault::kReplace).text;
    bool found = false;
    bool past_end = false;
    if (file_order_ >= 0) {
      // The index file finds the record; the list of its records places it.
      Table->CheckBrowseMode();
      const std::uint32_t record =
          file_orders_[static_cast<std::size_t>(file_order_)]->Seek(*SelectedTable(), key, found);
      past_end = record == 0;
      if (past_end) {
        Table->Last();
      } else {
        Table->SetRecNo(static_cast<std::int32_t>(record));
      }
    } else {
      {
        const SettingScope soft(SoftSeek, true);
        found = Table->FindStored(key);
      }
      past_end = Table->Eof();
    }
    ShowFoundRecord();
    if (found) {
      Notice = "found \"" + text + "\"";
    } else if (past_end) {
      Notice = "\"" + text + "\" not found: no higher key, on the last record";
    } else {
      Notice = "\"" + text + "\" not found: on the next higher key";
    }
  });
  RefreshLocks();
  UpdateStatus();
}

void TBrowserForm::ChooseFileOrder(int n) {
  ChooseOrder(0);
  Guarded([&] {
    Select(Table->WorkArea());
    Table->SetRecordOrder(file_orders_[static_cast<std::size_t>(n)]->Records(*SelectedTable()));
    file_order_ = n;
  });
  if (file_order_ != n) FillOrderBox();
  ShowOrderInBox();
  RefreshLocks();
  UpdateStatus();
}

void TBrowserForm::ReloadFileOrder() {
  if (file_order_ < 0 || !Table->Active()) return;
  Guarded([&] {
    Select(Table->WorkArea());
    Table->SetRecordOrder(
        file_orders_[static_cast<std::size_t>(file_order_)]->Records(*SelectedTable()));
  });
}

// --- Sorting by a column -----------------------------------------------------------------------

void TBrowserForm::SortByColumn(int column, SortMode mode) {
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
  // One more column for the temporary order, or one of its columns reversed.
  if (mode == SortMode::kAdd && !sort_field_.empty()) {
    const auto more = std::find_if(sort_more_.begin(), sort_more_.end(),
                                   [&](const auto& key) { return key.first == name; });
    if (name == sort_field_) {
      sort_descending_ = !sort_descending_;
    } else if (more != sort_more_.end()) {
      more->second = !more->second;
    } else {
      sort_more_.emplace_back(name, false);
    }
    StartSort();
    return;
  }
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
  sort_field_ = name;
  sort_descending_ = descending;
  sort_more_.clear();
  StartSort();
}

void TBrowserForm::StartSort() {
  TableRecord* table = nullptr;
  Guarded([&] {
    Table->CheckBrowseMode();
    Select(Table->WorkArea());
    table = SelectedTable();
  });
  if (table == nullptr) return;
  // A sort still running stops first, forgetting its columns: these stay.
  const std::string field = sort_field_;
  const bool descending = sort_descending_;
  const std::vector<std::pair<std::string, bool>> more = sort_more_;
  CancelSort();
  sort_field_ = field;
  sort_descending_ = descending;
  sort_more_ = more;
  // The builder reads the file: each field's place is the one in the stored record, not the
  // one in the record image.
  const auto stored = [&](const std::string& name) -> const FieldEntry* {
    for (const FieldEntry& f : table->fields) {
      if (f.name == name) return &f;
    }
    return nullptr;
  };
  SortSource source;
  source.path = table->file_name;
  source.header_length =
      static_cast<std::uint32_t>(static_cast<std::uint16_t>(table->header_length));
  source.record_length = table->record_length;
  source.record_count = RecCount();
  const FieldEntry* first = stored(sort_field_);
  if (first == nullptr) return;
  source.field = *first;
  source.descending = sort_descending_;
  for (const auto& [name, descending] : sort_more_) {
    if (const FieldEntry* f = stored(name)) source.more.push_back({*f, descending});
  }
  sorted_count_ = source.record_count;
  sorter_ = std::make_unique<SortBuilder>(source);
  SortProgress->setValue(0);
  SortProgress->setVisible(true);
  SortCancel->setVisible(true);
  LayOut();
  Notice = "sorting by " + SortText(false) + "...";
  UpdateStatus();
  sort_timer_.start();
}

std::string TBrowserForm::SortText(bool arrows) const {
  const auto key = [arrows](const std::string& name, bool descending) {
    return name + (arrows ? (descending ? " \u25BC" : " \u25B2") : descending ? " descending" : "");
  };
  std::string text = key(sort_field_, sort_descending_);
  for (const auto& [name, descending] : sort_more_) text += ", " + key(name, descending);
  return text;
}

bool TBrowserForm::SortsBy(const std::string& field) const {
  return field == sort_field_ ||
         std::any_of(sort_more_.begin(), sort_more_.end(),
                     [&](const auto& key) { return key.first == field; });
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
  std::vector<std::int32_t> positions = sorter_->TakePositions();
  sorter_.reset();
  SortProgress->setVisible(false);
  SortCancel->setVisible(false);
  LayOut();
  if (!error.empty()) {
    Notice = "sorting stopped: " + error;
    sort_field_.clear();
  sort_more_.clear();
  } else if (Table->Active()) {
    file_order_ = -1;
    Guarded([&] { Table->SetRecordOrder(std::move(order), std::move(positions)); });
    Notice = "sorted by " + SortText(false) + " (temporary order)";
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
  sort_more_.clear();
  FillOrderBox();
  Notice = why;
  UpdateStatus();
}

}  // namespace vx::browser
