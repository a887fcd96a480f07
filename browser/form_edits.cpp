// The browser window's edits: undo and redo, deleting and restoring, the memo window, copying,
// pasting and exporting the view.

#include <QClipboard>
#include <QGuiApplication>
#include <cmath>
#include <fstream>

#include "browser/browser_form.h"
#include "browser/form_text.h"
#include "components/dataset/table_dataset.h"
#include "platform/dataset/application.h"
#include "platform/dataset/sys_utils.h"

namespace vx::browser {

namespace {

std::string CsvCell(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

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
  if (post_refused_) {
    KeepRefusedEdit();
    return;
  }
  if (replaying_) return;
  const EditHistory::Values after = CurrentValues();
  history_.Add({appending_ ? EditHistory::Kind::kAppend : EditHistory::Kind::kChange,
                Table->RecNo(), appending_ ? EditHistory::Values{} : before_post_, after});
  if (Table->HasRecordOrder() || Sorting()) {
    bool sorted_changed = appending_;
    for (std::size_t i = 0; i < after.size() && i < before_post_.size(); ++i) {
      if (after[i].first == sort_field_ && after[i].second != before_post_[i].second)
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
  post_refused_ = false;
  // The dataset has left the edit: open it again over the same record with what was typed, so
  // that Enter tries again and Escape gives up.
  const std::int32_t record = Table->RecNo();
  const bool was_append = appending_;
  Guarded([&] {
    if (was_append) {
      Table->Append();
    } else {
      Table->Edit();
    }
    for (const auto& [name, text] : typed_) {
      TField* field = Table->FindField(name);
      if (field != nullptr && field->AsString() != text) field->SetAsString(text);
    }
  });
  Notice = was_append ? "another program holds the table's append lock: the new record is kept "
                        "here; Enter tries again, Esc gives it up"
                      : "record " + std::to_string(record) +
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
  Table->Post();
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

std::string TBrowserForm::CopyCells(bool whole_rows) {
  if (!Table->Active() || Table->IsEmpty()) return {};
  std::string text;
  Guarded([&] {
    if (!whole_rows) {
      const int index = Grid->SelectedIndex();
      TField* field = index >= 0 && index < Grid->Columns().Count()
                          ? Grid->Columns().Items(index)->Field()
                          : nullptr;
      if (field != nullptr) text = Utf8(field->IsBlob() ? field->AsString() : field->DisplayText());
      return;
    }
    for (int i = 0; i < Grid->Columns().Count(); ++i) {
      TField* field = Grid->Columns().Items(i)->Field();
      if (!Grid->Columns().Items(i)->Visible() || field == nullptr) continue;
      if (!text.empty()) text += '\t';
      text += Utf8(field->IsBlob() ? std::string() : field->DisplayText());
    }
  });
  QGuiApplication::clipboard()->setText(QString::fromStdString(text));
  Notice = whole_rows ? "row copied" : "cell copied";
  UpdateStatus();
  return text;
}

std::string TBrowserForm::PasteProblem(TField* field, const std::string& text) {
  const TDbfFieldProps* props = Table->FieldProps();
  if (props == nullptr || field->FieldNo() < 1 || field->FieldNo() > props->Count()) return {};
  const TDTField& described = props->Field(field->FieldNo());
  const std::string stored = QStringToAnsi(QString::fromStdString(text));
  const std::string kind = std::string(1, described.type) + " " + std::to_string(described.length);
  switch (described.type) {
    case 'C':
      if (stored.size() > described.length)
        return "\"" + text + "\" is longer than " + described.name + " (" + kind + ") holds";
      return {};
    case 'N':
    case 'F': {
      const std::string number = Trimmed(text);
      if (number.empty()) return {};
      char* end = nullptr;
      const double value = std::strtod(number.c_str(), &end);
      if (*end != '\0' || !std::isfinite(value))
        return "\"" + text + "\" is not a number for " + described.name;
      char formatted[400];
      std::snprintf(formatted, sizeof formatted, "%.*f", int{described.decimals}, value);
      if (std::string(formatted).size() > described.length)
        return "\"" + text + "\" does not fit " + described.name + " (" + kind + "," +
               std::to_string(described.decimals) + ")";
      return {};
    }
    case 'L': {
      const std::string value = UpperAscii(Trimmed(text));
      static const char* const kLogical[] = {"", "T", "F", "Y", "N", "TRUE", "FALSE", ".T.", ".F."};
      for (const char* accepted : kLogical) {
        if (value == accepted) return {};
      }
      return "\"" + text + "\" is not a logical value for " + described.name;
    }
    default:
      return {};
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
  const int first_column = std::max(0, Grid->SelectedIndex());
  int changed = 0;
  std::string problem;
  for (std::size_t r = 0; r < rows.size() && problem.empty(); ++r) {
    if (r > 0) {
      Guarded([this] { Table->Next(); });
      if (Table->Eof()) break;
    }
    // Every value is checked before the record is touched: a refused row changes nothing.
    std::vector<std::pair<TField*, std::string>> values;
    for (std::size_t c = 0; c < rows[r].size(); ++c) {
      const int column = first_column + static_cast<int>(c);
      if (column >= Grid->Columns().Count()) break;
      TField* field = Grid->Columns().Items(column)->Field();
      if (field == nullptr || field->IsBlob()) continue;
      problem = PasteProblem(field, rows[r][c]);
      if (!problem.empty()) break;
      values.emplace_back(field, rows[r][c]);
    }
    if (!problem.empty()) break;
    const bool written = Guarded([&] {
      Table->Edit();
      try {
        for (const auto& [field, value] : values) {
          const std::string stored = QStringToAnsi(QString::fromStdString(value));
          if (field->DataType() == ftBoolean) {
            const std::string upper = UpperAscii(Trimmed(value));
            if (upper.empty()) {
              field->Clear();
            } else {
              field->SetAsBoolean(upper[0] == 'T' || upper[0] == 'Y' || upper == ".T.");
            }
          } else if (Trimmed(value).empty()) {
            field->Clear();
          } else {
            field->SetAsString(stored);
          }
        }
        post_refused_ = false;
        Table->Post();
      } catch (...) {
        Table->Cancel();
        throw;
      }
    });
    if (!written || post_refused_) break;
    ++changed;
  }
  Notice = problem.empty() ? std::to_string(changed) + " record(s) changed by the paste"
                           : "paste stopped: " + problem;
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
    Table->DisableControls();
    try {
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
    } catch (...) {
      Table->EnableControls();
      throw;
    }
    Table->EnableControls();
  });
  out.close();
  Notice = ok && out ? std::to_string(written) + " record(s) exported to " + path : "export failed";
  UpdateStatus();
  return ok && static_cast<bool>(out);
}

}  // namespace vx::browser
