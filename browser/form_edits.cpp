// The browser window's edits: undo and redo, deleting and restoring, the memo window, copying,
// pasting and exporting the view.

#include <QClipboard>
#include <QGuiApplication>
#include <QSettings>
#include <cmath>
#include <fstream>

#include "browser/browser_form.h"
#include "browser/form_text.h"
#include "components/dataset/table_dataset.h"
#include "engine/foundation/dates.h"
#include "engine/table/field_values.h"
#include "engine/workarea/field_input.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/work_areas.h"
#include "platform/dataset/application.h"
#include "platform/dataset/sys_utils.h"

namespace vx::browser {

namespace {

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

}  // namespace

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
  // An index file's order follows the change (the engine kept the file current): its records
  // are read again.
  if (file_order_ >= 0) ReloadFileOrder();
  if (replaying_) return;
  const EditHistory::Values after = CurrentValues();
  history_.Add({appending_ ? EditHistory::Kind::kAppend : EditHistory::Kind::kChange,
                Table->RecNo(), appending_ ? EditHistory::Values{} : before_post_, after});
  if (file_order_ < 0 && (Table->HasRecordOrder() || Sorting())) {
    bool sorted_changed = appending_;
    for (std::size_t i = 0; i < after.size() && i < before_post_.size(); ++i) {
      if (SortsBy(after[i].first) && after[i].second != before_post_[i].second)
        sorted_changed = true;
    }
    // An order being built read the file before this change: it is stopped as well.
    if (sorted_changed && Sorting()) {
      CancelSort();
      Notice = "sorting stopped: the table changed under it";
      UpdateStatus();
    } else if (sorted_changed) {
      DropTemporaryOrder("the temporary order was dropped: the table changed under it");
    }
  }
  appending_ = false;
}

void TBrowserForm::KeepRefusedEdit() {
  // The post ends without writing and the record stays in edit with what was typed (the
  // table's part), so that Enter tries again and Esc gives up; a move that posted on its way
  // stays on the record.
  post_refused_ = true;
  Table->RefuseWrite();
  Notice = appending_ ? "another program holds the table's append lock: the new record is kept "
                        "here; Enter tries again, Esc gives it up"
                      : "record " + std::to_string(Table->RecNo()) +
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
  try {
    Table->Post();
  } catch (const EAbort&) {
    // Refused for a lock: an undo or redo leaves nothing half done in the row.
    Table->Cancel();
    return false;
  }
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
  // The switch is the user's setting: the next session starts with it.
  if (user_.show_deleted != show) {
    user_.show_deleted = show;
    QSettings().setValue("settings/show_deleted", show);
  }
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

int TBrowserForm::ForEachRow(int first_row, int rows, const std::function<void(int row)>& visit) {
  int visited = 0;
  const DisabledControls quiet(*Table);
  int moved = Table->MoveBy(first_row);
  // Rows before the first record of the view are not there: the range starts lower.
  for (int row = moved - first_row; row < rows && !Table->Eof(); ++row) {
    visit(row);
    ++visited;
    if (row + 1 < rows) {
      const int step = Table->MoveBy(1);
      moved += step;
      if (step == 0) break;
    }
  }
  Table->MoveBy(-moved);
  return visited;
}

std::string TBrowserForm::CellText(TField* field, bool raw) {
  if (field->IsNull()) return {};
  const char type = DbaseTypeLetter(field);
  if (type == 'D') {
    // Dates go out in the form a paste takes back.
    int y = 0, m = 0, d = 0;
    DecodeDate(field->AsDateTime(), y, m, d);
    char iso[16];
    std::snprintf(iso, sizeof iso, "%04d-%02d-%02d", y, m, d);
    return iso;
  }
  std::string text =
      Utf8(field->IsBlob() ? (raw ? field->AsString() : std::string()) : field->DisplayText());
  if (!raw) {
    // One value per cell: a tab or a line break inside a value would start another.
    for (char& c : text) {
      if (c == '\t' || c == '\n' || c == '\r') c = ' ';
    }
    text = Trimmed(text);
  }
  return text;
}

std::string TBrowserForm::CopyCells(bool whole_rows) {
  if (!Table->Active() || Table->IsEmpty()) return {};
  const TBrowserGrid::CellRange range = Grid->SelectedRange();
  const bool one_cell = !whole_rows && range.rows == 1 && range.first_column == range.last_column;
  std::string text;
  Guarded([&] {
    Table->CheckBrowseMode();
    const int first = whole_rows ? 0 : range.first_column;
    const int last = whole_rows ? Grid->Columns().Count() - 1 : range.last_column;
    bool first_line = true;
    ForEachRow(range.first_row, range.rows, [&](int) {
      std::string line;
      bool first_cell = true;
      for (int i = first; i <= last && i < Grid->Columns().Count(); ++i) {
        TColumn* column = Grid->Columns().Items(i);
        TField* field = column->Field();
        if (!column->Visible() || field == nullptr) continue;
        if (!first_cell) line += '\t';
        first_cell = false;
        line += CellText(field, one_cell);
      }
      text += (first_line ? "" : "\n") + line;
      first_line = false;
    });
  });
  QGuiApplication::clipboard()->setText(QString::fromStdString(text));
  Notice = one_cell     ? "cell copied"
           : whole_rows ? std::to_string(range.rows) + " row(s) copied"
                        : std::to_string(range.rows) + " row(s) of cells copied";
  UpdateStatus();
  return text;
}

std::string TBrowserForm::PasteValue(TField* field, const std::string& text, PastedValue& value) {
  TableRecord* table = SelectedTable();
  const int n = table != nullptr ? FieldNo(field->FieldName()) : 0;
  if (n == 0) return "no field " + field->FieldName() + " in the table";
  const FieldEntry& f = table->fields[static_cast<std::size_t>(n - 1)];
  const char kind = static_cast<char>(f.type);
  if (IsBinaryField(f) || (kind != 'C' && kind != 'N' && kind != 'F' && kind != 'L' && kind != 'D'))
    return FieldLabel(f) + " takes no pasted text: edit it in its own editor";
  // Text goes into the table's page: a character the page lacks is refused, not replaced.
  std::string stored;
  try {
    stored = QStringToStored(QString::fromStdString(text), FieldLabel(f));
  } catch (const EDatabaseError& e) {
    if (kind == 'C') return e.Message();
    stored = QStringToAnsi(QString::fromStdString(text));  // numbers, dates, logicals: ASCII
  }
  // The value is checked and read back through a scratch record image, by the rules every
  // writer of text values follows.
  const std::vector<std::uint32_t> offsets = ImageOffsets(table->fields);
  std::vector<char> scratch(offsets.back(), 0);
  std::vector<std::uint8_t> changed(table->fields.size(), 0);
  RecordImage image(table->fields, offsets, scratch.data(), &changed);
  const std::string problem = PutFieldText(image, n, {text, false, stored});
  if (!problem.empty()) return problem;
  value.field = field;
  value.blank = Trimmed(text).empty() || (kind == 'L' && image.SetBlank(n));
  switch (kind) {
    case 'N':
    case 'F':
      value.number = image.Number(n);
      break;
    case 'L':
      value.logical = image.Logical(n);
      break;
    case 'D':
      value.blank = image.Date(n) == kBlankDate;
      value.number = image.Date(n) - DayNumber(1899, 12, 30);
      break;
    default:
      value.text = stored;
  }
  return {};
}

void TBrowserForm::WritePasted(const PastedValue& value) {
  TField* field = value.field;
  if (value.blank) {
    field->Clear();
    return;
  }
  switch (DbaseTypeLetter(field)) {
    case 'N':
    case 'F':
      field->SetAsFloat(value.number);
      break;
    case 'L':
      field->SetAsBoolean(value.logical);
      break;
    case 'D':
      field->SetAsDateTime(value.number);
      break;
    default:
      field->SetAsString(value.text);
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
  if (rows.empty()) return 0;
  // Into the selected range from its top left cell; one value fills the whole range.
  const TBrowserGrid::CellRange range = Grid->SelectedRange();
  if (rows.size() == 1 && rows[0].size() == 1 &&
      (range.rows > 1 || range.last_column > range.first_column)) {
    const std::vector<std::string> line(
        static_cast<std::size_t>(range.last_column - range.first_column + 1), rows[0][0]);
    rows.assign(static_cast<std::size_t>(range.rows), line);
  }
  const int first_column = std::max(0, range.first_column);
  std::string problem;
  // Every value is checked before any record is touched: a refused value changes nothing.
  std::vector<std::vector<PastedValue>> values(rows.size());
  Guarded([&] {
    Table->CheckBrowseMode();
    Select(Table->WorkArea());
    for (std::size_t r = 0; r < rows.size() && problem.empty(); ++r) {
      for (std::size_t c = 0; c < rows[r].size() && problem.empty(); ++c) {
        const int column = first_column + static_cast<int>(c);
        if (column >= Grid->Columns().Count()) break;
        TField* field = Grid->Columns().Items(column)->Field();
        if (field == nullptr || !Grid->Columns().Items(column)->Visible()) continue;
        PastedValue value;
        problem = PasteValue(field, rows[r][c], value);
        if (problem.empty()) values[r].push_back(value);
        if (!problem.empty() && rows.size() > 1)
          problem = "row " + std::to_string(r + 1) + ": " + problem;
      }
    }
  });
  int changed = 0;
  if (problem.empty()) {
    Grid->ClearSelection();
    Guarded([&] {
      ForEachRow(range.first_row, static_cast<int>(rows.size()), [&](int row) {
        if (post_refused_ && changed > 0) return;
        Table->Edit();
        try {
          for (const PastedValue& value : values[static_cast<std::size_t>(row)]) WritePasted(value);
          post_refused_ = false;
          Table->Post();
        } catch (...) {
          Table->Cancel();
          throw;
        }
        if (!post_refused_) ++changed;
      });
    });
  }
  const std::size_t short_by =
      rows.size() - std::min(rows.size(), static_cast<std::size_t>(changed));
  Notice = !problem.empty() ? "paste stopped, nothing changed: " + problem
           : short_by > 0   ? std::to_string(changed) + " record(s) changed by the paste; " +
                                std::to_string(short_by) + " row(s) not pasted"
                          : std::to_string(changed) + " record(s) changed by the paste";
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
    {
      const DisabledControls quiet(*Table);
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
    }
  });
  out.close();
  Notice = ok && out ? std::to_string(written) + " record(s) exported to " + path : "export failed";
  UpdateStatus();
  return ok && static_cast<bool>(out);
}

}  // namespace vx::browser
