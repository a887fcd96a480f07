#include "browser/query_window.h"

#include <sqlite3.h>

#include <QColor>
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
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <vexel/folder.hpp>
#include <vexel/sqlite.hpp>

#include "browser/form_text.h"
#include "platform/dataset/application.h"

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
  return text != nullptr
             ? std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(statement, i)))
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

// Keys a widget's owner takes before the widget: `take` answers whether it took the key.
class KeyHook : public QObject {
 public:
  KeyHook(QObject* parent, std::function<bool(const QKeyEvent&)> take)
      : QObject(parent), take_(std::move(take)) {}

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    return event->type() == QEvent::KeyPress && take_(*static_cast<QKeyEvent*>(event));
  }

 private:
  std::function<bool(const QKeyEvent&)> take_;
};

bool IsEnter(const QKeyEvent& key) {
  return key.key() == Qt::Key_Return || key.key() == Qt::Key_Enter;
}

// A word of a statement outside its strings, quoted names and comments, upper-cased, and
// whether a '(' follows it (a function's call).
struct SqlWord {
  std::string text;
  std::size_t end = 0;  // the offset just after it
  bool call = false;
};

std::vector<SqlWord> SqlWords(const std::string& sql) {
  std::vector<SqlWord> words;
  std::size_t i = 0;
  const std::size_t n = sql.size();
  const auto skip_to = [&](char close) {
    for (++i; i < n; ++i) {
      if (sql[i] != close) continue;
      if (i + 1 < n && sql[i + 1] == close) {
        ++i;  // doubled: the character itself
        continue;
      }
      break;
    }
    ++i;
  };
  while (i < n) {
    const char c = sql[i];
    if (c == '\'' || c == '"' || c == '`') {
      skip_to(c);
    } else if (c == '[') {
      skip_to(']');
    } else if (c == '-' && i + 1 < n && sql[i + 1] == '-') {
      while (i < n && sql[i] != '\n') ++i;
    } else if (c == '/' && i + 1 < n && sql[i + 1] == '*') {
      const std::size_t end = sql.find("*/", i + 2);
      i = end == std::string::npos ? n : end + 2;
    } else if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
      SqlWord word;
      while (i < n && (std::isalnum(static_cast<unsigned char>(sql[i])) || sql[i] == '_'))
        word.text += static_cast<char>(std::toupper(static_cast<unsigned char>(sql[i++])));
      word.end = i;
      std::size_t next = i;
      while (next < n && std::isspace(static_cast<unsigned char>(sql[next]))) ++next;
      word.call = next < n && sql[next] == '(';
      words.push_back(std::move(word));
    } else {
      ++i;
    }
  }
  return words;
}

// Why the rows of a statement are not one table's records, by its words ("" when nothing
// says so): anything but SELECT, and what merges, makes or multiplies rows.
std::string RowsAreNotRecords(const std::vector<SqlWord>& words) {
  if (words.empty() || words[0].text != "SELECT") return "it is not a SELECT";
  static const std::set<std::string> kMerging = {"DISTINCT", "GROUP",  "UNION", "INTERSECT",
                                                 "EXCEPT",   "JOIN",   "WITH",  "WINDOW",
                                                 "OVER",     "VALUES", "HAVING"};
  static const std::set<std::string> kAggregates = {"COUNT", "SUM", "AVG",          "TOTAL",
                                                    "MIN",   "MAX", "GROUP_CONCAT", "STRING_AGG"};
  for (const SqlWord& word : words) {
    if (kMerging.count(word.text) != 0)
      return word.text + " makes rows that are no table's records";
    if (word.call && kAggregates.count(word.text) != 0)
      return word.text + "() makes rows that are no table's records";
  }
  return {};
}

constexpr int kRetryCancelButtons = 5;  // MB_RETRYCANCEL
constexpr int kRetryAnswer = 4;         // IDRETRY

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
  Result->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                          QAbstractItemView::AnyKeyPressed);
  // On a cell whose value was refused for a lock, Enter tries again and Esc gives it up.
  Result->installEventFilter(new KeyHook(Result, [this](const QKeyEvent& key) {
    // (Keys typed into a cell's editor reach its own handler first.)
    if (!Pending(Result->currentRow(), Result->currentColumn()) ||
        (!IsEnter(key) && key.key() != Qt::Key_Escape))
      return false;
    SettlePending(IsEnter(key));
    return true;
  }));
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
  // Ctrl+Enter in the statement editor runs it.
  Editor->installEventFilter(new KeyHook(Editor, [run_text](const QKeyEvent& key) {
    if (!IsEnter(key) || !(key.modifiers() & Qt::ControlModifier)) return false;
    run_text();
    return true;
  }));
  QObject::connect(Result, &QTableWidget::itemChanged, [this](QTableWidgetItem* item) {
    if (!filling_) WriteCell(item->row(), item->column(), item->text().toStdString());
  });
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
    Editor->setPlainText(
        QString::fromStdString("SELECT * FROM " + vexel::sql::quote_identifier(tables_[0].first)));
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
      left_out_ += (left_out_.empty() ? "" : "; ") +
                   std::filesystem::path(file).filename().string() + " (" +
                   (message != nullptr ? message : "cannot be read") + ")";
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
      Statement with_records(nullptr, sqlite3_finalize);
      if (columns > 0) {
        filling_ = true;
        pending_.clear();
        Result->clear();
        Result->setRowCount(0);
        Result->setColumnCount(columns);
        QStringList titles;
        for (int i = 0; i < columns; ++i) titles << QString::fromUtf8(sqlite3_column_name(raw, i));
        Result->setHorizontalHeaderLabels(titles);
        last_rows_sql.assign(rest, tail);
        with_records.reset(PrepareWithRecords(last_rows_sql, raw));
      }
      // Rows read with their record numbers have them in column 0.
      sqlite3_stmt* stepped = with_records ? with_records.get() : raw;
      const int first = with_records ? 1 : 0;
      int rows = 0;
      while ((rc = sqlite3_step(stepped)) == SQLITE_ROW) {
        if (rows < kShownRows) {
          Result->insertRow(rows);
          if (first != 0) records_.push_back(sqlite3_column_int64(stepped, 0));
          for (int i = 0; i < columns; ++i) {
            auto* item =
                new QTableWidgetItem(QString::fromStdString(ColumnText(stepped, first + i)));
            const int type = sqlite3_column_type(stepped, first + i);
            if (type == SQLITE_INTEGER || type == SQLITE_FLOAT)
              item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            if (editable_table_.empty() || editable_[static_cast<std::size_t>(i)].empty())
              item->setFlags(item->flags() & ~Qt::ItemIsEditable);
            Result->setItem(rows, i, item);
          }
        }
        ++rows;
      }
      filling_ = false;
      if (rc == SQLITE_DONE) {
        rc = SQLITE_OK;
        if (columns > 0) {
          Message->setText(QString::fromStdString(
              std::to_string(rows) + " row(s)" +
              (rows > kShownRows ? ", the first " + std::to_string(kShownRows) + " shown" : "") +
              (editable_table_.empty()
                   ? ". Read-only: " + read_only_why_
                   : ". Edits are written to the records of " + editable_table_)));
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

sqlite3_stmt* TQueryWindow::PrepareWithRecords(const std::string& select, sqlite3_stmt* original) {
  const int columns = sqlite3_column_count(original);
  editable_table_.clear();
  editable_.assign(static_cast<std::size_t>(columns), std::string());
  column_types_.assign(static_cast<std::size_t>(columns), std::string());
  records_.clear();
  const std::vector<SqlWord> words = SqlWords(select);
  read_only_why_ = RowsAreNotRecords(words);
  if (!read_only_why_.empty()) return nullptr;
  // The record number goes in front of the columns, after the first word, SELECT; it names no
  // table, so a statement over more than one table fails to prepare.
  const std::string sql = select.substr(0, words[0].end) + " _recno," + select.substr(words[0].end);
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK || raw == nullptr ||
      sqlite3_column_count(raw) != columns + 1 || sqlite3_column_table_name(raw, 0) == nullptr) {
    sqlite3_finalize(raw);
    read_only_why_ = "its rows are not the records of one table";
    return nullptr;
  }
  const std::string table = sqlite3_column_table_name(raw, 0);
  const auto known = std::find_if(tables_.begin(), tables_.end(), [&](const auto& t) {
    return UpperAscii(t.first) == UpperAscii(table);
  });
  bool any = false;
  for (int i = 0; i < columns && known != tables_.end(); ++i) {
    const char* origin = sqlite3_column_origin_name(raw, i + 1);
    const char* from = sqlite3_column_table_name(raw, i + 1);
    if (origin == nullptr || from == nullptr || UpperAscii(from) != UpperAscii(table)) continue;
    const std::string field = origin;
    if (field.empty() || field[0] == '_') continue;  // _recno, _deleted
    const char* type = sqlite3_column_decltype(raw, i + 1);
    editable_[static_cast<std::size_t>(i)] = field;
    column_types_[static_cast<std::size_t>(i)] = type != nullptr ? UpperAscii(type) : "";
    any = true;
  }
  if (!any) {
    sqlite3_finalize(raw);
    read_only_why_ = "no column of it is a field of " + table;
    return nullptr;
  }
  editable_table_ = known->first;
  return raw;
}

void TQueryWindow::ShowStored(int row, int column) {
  QTableWidgetItem* item = Result->item(row, column);
  if (item == nullptr) return;
  // Every change the program makes to the item is kept from itemChanged's writing.
  filling_ = true;
  pending_.erase({row, column});
  item->setData(Qt::BackgroundRole, QVariant());
  filling_ = false;
  const std::string sql =
      "SELECT " + vexel::sql::quote_identifier(editable_[static_cast<std::size_t>(column)]) +
      " FROM main." + vexel::sql::quote_identifier(editable_table_) +
      " WHERE _recno = ?1 AND _deleted IN (0, 1)";
  sqlite3_stmt* raw = nullptr;
  sqlite3_prepare_v2(db_, sql.c_str(), -1, &raw, nullptr);
  const Statement read(raw, sqlite3_finalize);
  if (!read) return;
  sqlite3_bind_int64(raw, 1, records_[static_cast<std::size_t>(row)]);
  if (sqlite3_step(raw) != SQLITE_ROW) return;
  filling_ = true;
  item->setText(QString::fromStdString(ColumnText(raw, 0)));
  filling_ = false;
}

bool TQueryWindow::WriteCell(int row, int column, const std::string& text) {
  if (editable_table_.empty() || row < 0 || row >= static_cast<int>(records_.size()) ||
      column < 0 || column >= static_cast<int>(editable_.size()) ||
      editable_[static_cast<std::size_t>(column)].empty())
    return false;
  const std::int64_t record = records_[static_cast<std::size_t>(row)];
  const std::string& field = editable_[static_cast<std::size_t>(column)];
  const std::string& type = column_types_[static_cast<std::size_t>(column)];
  const std::string where = " WHERE _recno = ?2 AND _deleted IN (0, 1)";
  const std::string table = "main." + vexel::sql::quote_identifier(editable_table_);
  const std::string name = vexel::sql::quote_identifier(field);
  sqlite3_stmt* raw = nullptr;
  sqlite3_prepare_v2(db_, ("UPDATE " + table + " SET " + name + " = ?1" + where).c_str(), -1, &raw,
                     nullptr);
  const Statement update(raw, sqlite3_finalize);
  if (!update) return false;
  // A number typed into a number column goes as a number; nothing typed is a blank value.
  char* end = nullptr;
  const long long whole = std::strtoll(text.c_str(), &end, 10);
  const bool is_whole = !text.empty() && *end == '\0';
  const double number = std::strtod(text.c_str(), &end);
  const bool is_number = !text.empty() && *end == '\0';
  if (text.empty()) {
    sqlite3_bind_null(update.get(), 1);
  } else if (type == "INTEGER" && is_whole) {
    sqlite3_bind_int64(update.get(), 1, whole);
  } else if ((type == "INTEGER" || type == "REAL") && is_number) {
    sqlite3_bind_double(update.get(), 1, number);
  } else {
    sqlite3_bind_text(update.get(), 1, text.c_str(), static_cast<int>(text.size()),
                      SQLITE_TRANSIENT);
  }
  sqlite3_bind_int64(update.get(), 2, record);
  const std::string what = "record " + std::to_string(record);
  std::string said;
  bool written = false;
  for (;;) {
    const int rc = sqlite3_step(update.get());
    if (rc == SQLITE_DONE) {
      written = sqlite3_changes(db_) > 0;
      said = written ? what + ": " + field + " written"
                     : what + " is no longer in " + editable_table_ + ": nothing written";
      break;
    }
    const std::string error = sqlite3_errmsg(db_);
    sqlite3_reset(update.get());
    if (rc == SQLITE_BUSY) {
      const std::string text_said = "Record " + std::to_string(record) +
                                    " is locked by another program: the edit was not written.";
      if (MessageBox(text_said + " Try again?", "Record locked",
                     kRetryCancelButtons | MB_ICONWARNING) == kRetryAnswer)
        continue;
      // Kept in its cell, marked, with the stored value to go back to.
      QTableWidgetItem* item = Result->item(row, column);
      if (item != nullptr) {
        pending_.insert({row, column});
        filling_ = true;
        item->setBackground(QColor(255, 224, 160));
        filling_ = false;
      }
      Message->setText(QString::fromStdString(
          what +
          " is locked by another program: your edit is kept in the cell; Enter tries "
          "again, Esc gives it up"));
      return false;
    }
    MessageBox(what + " was not written: " + error, "Value refused", MB_OK | MB_ICONWARNING);
    said = what + " was not written: " + error;
    break;
  }
  // The cell shows what the record holds now (as stored, or as it was when refused).
  ShowStored(row, column);
  Message->setText(QString::fromStdString(said));
  if (written && OnTablesChanged) OnTablesChanged();
  return written;
}

void TQueryWindow::SettlePending(bool write) {
  const int row = Result->currentRow();
  const int column = Result->currentColumn();
  QTableWidgetItem* item = Result->item(row, column);
  if (item == nullptr || !Pending(row, column)) return;
  if (write) {
    WriteCell(row, column, item->text().toStdString());
    return;
  }
  ShowStored(row, column);
  Message->setText("the edit was given up");
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
              : "Export stopped: " +
                    std::string(rc == SQLITE_DONE ? "cannot write " + path : sqlite3_errmsg(db_))));
  return written;
}

}  // namespace vx::browser
