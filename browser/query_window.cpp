#include "browser/query_window.h"

#include <sqlite3.h>

#include <QComboBox>
#include <QDialog>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QSplitter>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <vexel/folder.hpp>
#include <vexel/sqlite.hpp>

#include "browser/form_text.h"

namespace vx::browser {

namespace {

constexpr int kHistoryLength = 50;

using Statement = std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)>;

std::string SqlString(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out + "'";
}

std::string ColumnText(sqlite3_stmt* statement, int i) {
  if (sqlite3_column_type(statement, i) == SQLITE_NULL) return {};
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, i));
  return text != nullptr ? std::string(text, static_cast<std::size_t>(
                                                 sqlite3_column_bytes(statement, i)))
                         : std::string();
}

// Line and column (from 1) of a character offset into `text`.
std::string PlaceOf(const std::string& text, int offset) {
  int line = 1;
  int column = 1;
  for (int i = 0; i < offset && i < static_cast<int>(text.size()); ++i) {
    if (text[static_cast<std::size_t>(i)] == '\n') {
      ++line;
      column = 1;
    } else if ((static_cast<unsigned char>(text[static_cast<std::size_t>(i)]) & 0xC0) != 0x80) {
      ++column;  // a UTF-8 character counts once
    }
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

// Ctrl+Enter in the statement editor runs it.
class RunKeys : public QObject {
 public:
  RunKeys(QObject* parent, std::function<void()> run) : QObject(parent), run_(std::move(run)) {}

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() != QEvent::KeyPress) return false;
    const auto* key = static_cast<QKeyEvent*>(event);
    if ((key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter) ||
        !(key->modifiers() & Qt::ControlModifier))
      return false;
    run_();
    return true;
  }

 private:
  std::function<void()> run_;
};

}  // namespace

TQueryWindow::TQueryWindow(QWidget* parent, const std::string& table) {
  dialog_ = new QDialog(parent);
  dialog_->setObjectName("QueryWindow");
  dialog_->setWindowTitle("Query");
  auto* layout = new QVBoxLayout(dialog_);
  auto* top = new QHBoxLayout();
  top->addWidget(new QLabel("History:", dialog_));
  HistoryBox = new QComboBox(dialog_);
  HistoryBox->setObjectName("QueryHistory");
  HistoryBox->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  HistoryBox->setMinimumContentsLength(40);
  top->addWidget(HistoryBox, 1);
  auto* run = new QPushButton("&Run (Ctrl+Enter)", dialog_);
  top->addWidget(run);
  auto* export_csv = new QPushButton("&Export CSV...", dialog_);
  top->addWidget(export_csv);
  layout->addLayout(top);

  auto* split = new QSplitter(Qt::Vertical, dialog_);
  Editor = new QPlainTextEdit(split);
  Editor->setObjectName("QueryText");
  Result = new QTableWidget(split);
  Result->setObjectName("QueryResult");
  Result->setEditTriggers(QAbstractItemView::NoEditTriggers);
  Result->verticalHeader()->setDefaultSectionSize(20);
  split->setStretchFactor(0, 1);
  split->setStretchFactor(1, 3);
  layout->addWidget(split, 1);
  Message = new QLabel(dialog_);
  Message->setObjectName("QueryMessage");
  Message->setWordWrap(true);
  Message->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addWidget(Message);
  dialog_->resize(760, 520);

  const auto run_text = [this] { Run(Editor->toPlainText().toStdString()); };
  QObject::connect(run, &QPushButton::clicked, run_text);
  Editor->installEventFilter(new RunKeys(Editor, run_text));
  QObject::connect(export_csv, &QPushButton::clicked, [this] {
    std::string path;
    if (AskExportFile && AskExportFile(path)) ExportCsv(path);
  });
  QObject::connect(HistoryBox, &QComboBox::activated, [this](int index) {
    if (index >= 0) Editor->setPlainText(HistoryBox->itemText(index));
  });
  AskExportFile = [this](std::string& path) {
    const QString name =
        QFileDialog::getSaveFileName(dialog_, "Export result", QString(), "CSV (*.csv)");
    if (name.isEmpty()) return false;
    path = name.toStdString();
    return true;
  };

  if (sqlite3_open(":memory:", &db_) != SQLITE_OK) {
    Message->setText("SQLite cannot be opened");
  } else {
    vexel::sql::register_module(db_);
    AttachTables(table);
  }
  FillHistory();
  std::string names;
  for (const auto& [name, file] : tables_) names += (names.empty() ? "" : ", ") + name;
  Message->setText(QString::fromStdString("Tables: " + (names.empty() ? "none" : names) +
                                          (left_out_.empty() ? "" : ". Left out: " + left_out_)));
  if (!tables_.empty())
    Editor->setPlainText(QString::fromStdString("SELECT * FROM " +
                                                vexel::sql::quote_identifier(tables_[0].first)));
}

TQueryWindow::~TQueryWindow() {
  delete dialog_.data();
  sqlite3_close(db_);
}

void TQueryWindow::AttachTables(const std::string& table) {
  const std::filesystem::path open_path = std::filesystem::absolute(table);
  const std::filesystem::path folder = open_path.parent_path();
  std::vector<std::string> files{open_path.string()};
  if (const auto names = vexel::table_files(folder)) {
    for (const std::string& name : *names) {
      const std::string file = (folder / name).string();
      if (file != files[0]) files.push_back(file);
    }
  }
  std::set<std::string> taken;
  for (const std::string& file : files) {
    const std::string name = std::filesystem::path(file).stem().string();
    // Names are compared as SQL compares them, without case: the first of a kind stays.
    if (!taken.insert(UpperAscii(name)).second) continue;
    const std::string sql = "CREATE VIRTUAL TABLE main." + vexel::sql::quote_identifier(name) +
                            " USING vexel(" + SqlString(file) + ")";
    char* message = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK) {
      tables_.emplace_back(name, file);
    } else {
      left_out_ += (left_out_.empty() ? "" : "; ") + std::filesystem::path(file).filename().string() +
                   " (" + (message != nullptr ? message : "cannot be read") + ")";
    }
    sqlite3_free(message);
  }
}

bool TQueryWindow::Run(const std::string& sql) {
  error_.clear();
  error_offset_ = -1;
  if (db_ == nullptr) return false;
  const int changes_before = sqlite3_total_changes(db_);
  const char* start = sql.c_str();
  const char* rest = start;
  int statements = 0;
  std::string last_rows_sql;
  Result->setUpdatesEnabled(false);
  while (*rest != '\0') {
    sqlite3_stmt* raw = nullptr;
    const char* tail = nullptr;
    const int offset = static_cast<int>(rest - start);
    int rc = sqlite3_prepare_v2(db_, rest, -1, &raw, &tail);
    const Statement statement(raw, sqlite3_finalize);
    if (rc == SQLITE_OK && raw != nullptr) {
      ++statements;
      const int columns = sqlite3_column_count(raw);
      if (columns > 0) {
        Result->clear();
        Result->setRowCount(0);
        Result->setColumnCount(columns);
        QStringList titles;
        for (int i = 0; i < columns; ++i) titles << QString::fromUtf8(sqlite3_column_name(raw, i));
        Result->setHorizontalHeaderLabels(titles);
        last_rows_sql.assign(rest, tail);
      }
      int rows = 0;
      while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
        if (rows < kShownRows) {
          Result->insertRow(rows);
          for (int i = 0; i < columns; ++i) {
            auto* item = new QTableWidgetItem(QString::fromStdString(ColumnText(raw, i)));
            const int type = sqlite3_column_type(raw, i);
            if (type == SQLITE_INTEGER || type == SQLITE_FLOAT)
              item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            Result->setItem(rows, i, item);
          }
        }
        ++rows;
      }
      if (rc == SQLITE_DONE) {
        rc = SQLITE_OK;
        if (columns > 0) {
          Message->setText(QString::fromStdString(
              std::to_string(rows) + " row(s)" +
              (rows > kShownRows ? ", the first " + std::to_string(kShownRows) + " shown" : "")));
        }
      }
    }
    if (rc != SQLITE_OK) {
      error_ = sqlite3_errmsg(db_);
      const int at = sqlite3_error_offset(db_);
      error_offset_ = at >= 0 ? offset + at : -1;
      break;
    }
    rest = tail;
  }
  Result->setUpdatesEnabled(true);
  Result->resizeColumnsToContents();
  for (int i = 0; i < Result->columnCount(); ++i)
    Result->setColumnWidth(i, std::min(Result->columnWidth(i), 320));
  if (!last_rows_sql.empty()) shown_sql_ = last_rows_sql;
  if (!error_.empty()) {
    std::string text = "Error: " + error_;
    if (error_offset_ >= 0) {
      text += " (at " + PlaceOf(sql, error_offset_) + ")";
      // The cursor goes where SQLite stopped in the editor's text (the offset counts bytes of
      // the UTF-8 text).
      if (Editor->toPlainText().toStdString() == sql) {
        QTextCursor cursor = Editor->textCursor();
        cursor.setPosition(static_cast<int>(QString::fromUtf8(sql.data(), error_offset_).size()));
        Editor->setTextCursor(cursor);
      }
    }
    Message->setText(QString::fromStdString(text));
  } else if (last_rows_sql.empty()) {
    Message->setText(QString::fromStdString(
        std::to_string(statements) + " statement(s) run, " +
        std::to_string(sqlite3_total_changes(db_) - changes_before) + " record(s) changed"));
  }
  if (statements > 0 || !error_.empty()) Remember(sql);
  if (sqlite3_total_changes(db_) != changes_before && OnTablesChanged) OnTablesChanged();
  return error_.empty();
}

std::vector<std::string> TQueryWindow::History() const {
  std::vector<std::string> history;
  for (const QString& sql : QSettings().value("query/history").toStringList())
    history.push_back(sql.toStdString());
  return history;
}

void TQueryWindow::Remember(const std::string& sql) {
  const QString text = QString::fromStdString(sql).trimmed();
  if (text.isEmpty()) return;
  QSettings settings;
  QStringList history = settings.value("query/history").toStringList();
  history.removeAll(text);
  history.prepend(text);
  while (history.size() > kHistoryLength) history.removeLast();
  settings.setValue("query/history", history);
  FillHistory();
}

void TQueryWindow::FillHistory() {
  HistoryBox->clear();
  for (const std::string& sql : History()) HistoryBox->addItem(QString::fromStdString(sql));
  HistoryBox->setCurrentIndex(-1);
}

bool TQueryWindow::ExportCsv(const std::string& path) {
  if (db_ == nullptr || shown_sql_.empty()) return false;
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db_, shown_sql_.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
    sqlite3_finalize(raw);
    Message->setText(QString::fromStdString("Export: " + std::string(sqlite3_errmsg(db_))));
    return false;
  }
  const Statement statement(raw, sqlite3_finalize);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) {
    Message->setText(QString::fromStdString("Export: cannot write " + path));
    return false;
  }
  const int columns = sqlite3_column_count(raw);
  const auto line = [&](const std::function<std::string(int)>& cell) {
    for (int i = 0; i < columns; ++i) out << (i > 0 ? "," : "") << CsvCell(cell(i));
    out << "\r\n";
  };
  line([&](int i) { return std::string(sqlite3_column_name(raw, i)); });
  int rows = 0;
  int rc;
  while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
    line([&](int i) { return ColumnText(raw, i); });
    ++rows;
  }
  out.close();
  const bool written = rc == SQLITE_DONE && out.good();
  Message->setText(QString::fromStdString(
      written ? std::to_string(rows) + " row(s) written to " + path
              : "Export stopped: " + std::string(rc == SQLITE_DONE ? "cannot write " + path
                                                                   : sqlite3_errmsg(db_))));
  return written;
}

}  // namespace vx::browser
