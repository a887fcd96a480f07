#pragma once
// The query window: SQL over the open table and the other tables of its folder, each under its
// file name without the extension, through the vexel SQLite module (so writes go through the
// same locks and keep the same tags as every other door). The rows of the last statement that
// has any show in a grid; an error shows with its place in the text (line and column, the
// editor's cursor put there); the statements run are kept per user in a history; the result is
// exported as CSV.
//
// The result grid is editable where the module can write what it shows: the rows of a plain
// SELECT over one table, each a record of it (its record number read beside the row), in the
// columns that are the table's fields. An edited cell becomes an UPDATE of that record through
// the module; a record another program holds is said in the words the main grid uses, with
// Retry, and a value refused for it stays in its cell, marked, until Enter tries again or Esc
// gives it up. Any other result is read-only, with a line that says why.

#include <QDialog>
#include <QPointer>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

class QComboBox;
class QLabel;
class QPlainTextEdit;
class QTableWidget;
class QWidget;
struct sqlite3;
struct sqlite3_stmt;

namespace vx::browser {

class TQueryWindow {
 public:
  // The tables of the folder of `table` (the table first); `parent` owns the dialog.
  TQueryWindow(QWidget* parent, const std::string& table);
  ~TQueryWindow();
  TQueryWindow(const TQueryWindow&) = delete;
  TQueryWindow& operator=(const TQueryWindow&) = delete;

  QDialog* Dialog() const { return dialog_; }
  // The tables the statements may name: SQL name and file.
  const std::vector<std::pair<std::string, std::string>>& Tables() const { return tables_; }

  // Runs the statements of `sql` in turn, up to the first that fails; the rows of the last one
  // that returns rows are shown. Answers whether every statement ran.
  bool Run(const std::string& sql);
  // What the last run said: the error ("" when every statement ran) and its place as a
  // character offset into the text run (-1 when SQLite does not say).
  const std::string& Error() const { return error_; }
  int ErrorOffset() const { return error_offset_; }
  // The statements run, newest first (kept between sessions).
  std::vector<std::string> History() const;
  // Writes the rows of the last statement shown (run again, so that every row goes out, not
  // only those the grid holds) as CSV with a title line. Answers whether the file was written.
  bool ExportCsv(const std::string& path);

  // The table whose records the result shows, editable ("" when it is read-only), and why it
  // is read-only ("" when it is not).
  const std::string& EditableTable() const { return editable_table_; }
  const std::string& ReadOnlyWhy() const { return read_only_why_; }
  // Writes `text` into the field shown in cell (row, column) of the result through an UPDATE
  // of the row's record, and shows the value as stored. A record another program holds asks
  // whether to try again; given up, the text stays in the cell, marked. Answers whether it
  // was written.
  bool WriteCell(int row, int column, const std::string& text);
  // Whether the cell holds a value not yet written (refused for a lock).
  bool Pending(int row, int column) const { return pending_.count({row, column}) != 0; }

  // Called after a run that changed records (the browser reads its rows again).
  std::function<void()> OnTablesChanged;
  // Asks where to export to; tests answer it themselves.
  std::function<bool(std::string& path)> AskExportFile;

  QPlainTextEdit* Editor = nullptr;
  QLabel* Message = nullptr;
  QTableWidget* Result = nullptr;
  QComboBox* HistoryBox = nullptr;

  // The grid holds at most this many rows (the export writes them all).
  static constexpr int kShownRows = 10000;

 private:
  void AttachTables(const std::string& table);
  // Prepares the statement that reads `select` with each row's record number in front when its
  // rows are one table's records (editable_table_ and editable_ set), else leaves it and sets
  // read_only_why_. Answers the statement to step (null: step the original).
  sqlite3_stmt* PrepareWithRecords(const std::string& select, sqlite3_stmt* original);
  // Shows in a cell what its record holds now (no write) and ends its marked state.
  void ShowStored(int row, int column);
  // Ends the marked state of a cell refused for a lock: written again, or given up.
  void SettlePending(bool write);
  void Remember(const std::string& sql);
  void FillHistory();

  sqlite3* db_ = nullptr;
  QPointer<QDialog> dialog_;
  std::vector<std::pair<std::string, std::string>> tables_;
  std::string left_out_;  // tables of the folder that could not be attached, in words
  std::string error_;
  int error_offset_ = -1;
  std::string shown_sql_;  // the statement whose rows the grid shows
  std::string editable_table_;
  std::string read_only_why_;
  // By result column: the field it shows ("" for an expression), and its SQL type.
  std::vector<std::string> editable_;
  std::vector<std::string> column_types_;
  std::vector<std::int64_t> records_;  // by result row: its record number
  bool filling_ = false;
  // Cells (row, column) whose typed value was refused for a lock.
  std::set<std::pair<int, int>> pending_;
};

}  // namespace vx::browser
