#pragma once
// The query window: SQL over the open table and the other tables of its folder, each under its
// file name without the extension, through the vexel SQLite module (so writes go through the
// same locks and keep the same tags as every other door). The rows of the last statement that
// has any show in a grid; an error shows with its place in the text (line and column, the
// editor's cursor put there); the statements run are kept per user in a history; the result is
// exported as CSV.

#include <QDialog>
#include <QPointer>
#include <functional>
#include <string>
#include <utility>
#include <vector>

class QComboBox;
class QLabel;
class QPlainTextEdit;
class QTableWidget;
class QWidget;
struct sqlite3;

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
  void Remember(const std::string& sql);
  void FillHistory();

  sqlite3* db_ = nullptr;
  QPointer<QDialog> dialog_;
  std::vector<std::pair<std::string, std::string>> tables_;
  std::string left_out_;  // tables of the folder that could not be attached, in words
  std::string error_;
  int error_offset_ = -1;
  std::string shown_sql_;  // the statement whose rows the grid shows
};

}  // namespace vx::browser
