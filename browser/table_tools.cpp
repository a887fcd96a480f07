#include "browser/table_tools.h"

#include <QAction>
#include <QCoreApplication>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <filesystem>
#include <fstream>
#include <vexel/edit.hpp>
#include <vexel/maintenance.hpp>
#include <vexel/vexel.hpp>

#include "browser/browser_form.h"
#include "browser/copy_dialog.h"
#include "browser/field_list_editor.h"
#include "browser/form_text.h"
#include "browser/import_dialog.h"
#include "browser/tag_dialog.h"
#include "platform/dataset/application.h"

namespace vx::browser {

namespace {

// Thrown from a progress step when Cancel was pressed; the library lets it through unchanged
// (it is no std::exception), its work undone.
struct Cancelled {};

// Rows read between two looks at the progress box while an import reads its file.
constexpr std::uint64_t kRowsPerStep = 1024;

std::string FileNameOf(const std::string& path) {
  return std::filesystem::path(path).filename().string();
}

// What a stage of an operation does, as the progress box says it.
std::string StageText(const std::string& label) {
  if (label == "index") return "Building the tags...";
  if (label == "pack") return "Copying the records to keep...";
  if (label == "zap") return "Emptying the table...";
  if (label == "copy") return "Copying the records...";
  if (label == "alter") return "Converting the records...";
  if (label == "read") return "Reading and checking the rows...";
  if (label == "append") return "Appending the rows...";
  return label + "...";
}

std::string Plural(std::int64_t n, const std::string& one) {
  return std::to_string(n) + " " + one + (n == 1 ? "" : "s");
}

std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

vexel::Table OpenToRead(const std::string& path, int codepage) {
  vexel::OpenOptions options;
  options.mode = vexel::OpenMode::read_only;
  options.codepage = codepage;
  return vexel::open(path, options);
}

}  // namespace

// --- The window's side: letting go of the table and taking it back ---------------------------

TBrowserForm::Released TBrowserForm::ReleaseTable() {
  Released released{path_, chosen_page_};
  if (!Table->Active()) return released;
  Guarded([this] { Table->CheckBrowseMode(); });
  CloseTable();
  return released;
}

bool TBrowserForm::TakeBackTable(const Released& released) {
  if (released.path.empty()) return false;
  chosen_page_ = released.page;
  return OpenTable(released.path);
}

// --- The tools -------------------------------------------------------------------------------

TTableTools::TTableTools(TBrowserForm& form) : form_(form) {
  Confirm = [this](const std::string& question) {
    return MessageBox(question, "Vexel", MB_YESNO | MB_ICONQUESTION) == IDYES;
  };
  AskRetry = [this](const std::string& text) {
    QMessageBox box(QMessageBox::Warning, "Table in use", QString::fromStdString(text),
                    QMessageBox::Retry | QMessageBox::Cancel, form_.Widget());
    return box.exec() == QMessageBox::Retry;
  };
}

TTableTools::~TTableTools() = default;

void TTableTools::BuildMenu(QMenuBar* bar) {
  QMenu* menu = bar->addMenu("T&able");
  menu->setObjectName("TableMenu");
  QObject::connect(menu->addAction("&New table..."), &QAction::triggered,
                   [this] { ShowCreateTable(); });
  AlterAction = menu->addAction("Change &structure...");
  QObject::connect(AlterAction, &QAction::triggered, [this] { ShowAlterTable(); });
  TagsAction = menu->addAction("&Tags...");
  QObject::connect(TagsAction, &QAction::triggered, [this] { ShowTags(); });
  menu->addSeparator();
  QObject::connect(menu->addAction("&Import rows..."), &QAction::triggered,
                   [this] { ShowImport(); });
  QObject::connect(menu->addAction("&Copy to..."), &QAction::triggered, [this] { ShowCopy(); });
  menu->addSeparator();
  QObject::connect(menu->addAction("&Pack (remove deleted records)"), &QAction::triggered,
                   [this] { Pack(); });
  QObject::connect(menu->addAction("&Zap (remove every record)"), &QAction::triggered,
                   [this] { Zap(); });
}

std::string TTableTools::HeldText(const std::string& title) const {
  return FileNameOf(form_.TablePath()) + " is held by another program: " + title +
         " needs the table to itself, so nothing was changed. Close it in that program, then "
         "try again.";
}

void TTableTools::Say(const std::string& text, bool problem) {
  LastMessage = text;
  form_.Notice = text;
  form_.UpdateStatus();
  if (problem) ShowMessage(text);
}

ToolOutcome TTableTools::Run(const ToolRun& run) {
  if (running_) return ToolOutcome::kFailed;
  running_ = true;
  cancel_ = false;
  QProgressDialog box(QString::fromStdString(run.title + "..."), QString(), 0, 100, form_.Widget());
  box.setObjectName("ToolProgress");
  box.setWindowTitle(QString::fromStdString(run.title));
  box.setWindowModality(Qt::WindowModal);
  box.setMinimumDuration(0);
  box.setAutoClose(false);
  box.setAutoReset(false);
  QPushButton* cancel = nullptr;
  if (run.cancellable.empty()) {
    box.setCancelButton(nullptr);
  } else {
    cancel = new QPushButton("Cancel");
    box.setCancelButton(cancel);
  }
  QObject::connect(&box, &QProgressDialog::canceled, [this] { cancel_ = true; });
  ProgressBox = &box;
  box.show();
  QCoreApplication::processEvents();

  // The .NDX files open with the table are kept by what changes it (rebuilt after a pack, zap
  // or change of structure, kept current by an import).
  const std::vector<std::string> ndx = run.release ? form_.NdxFiles() : std::vector<std::string>{};
  const TBrowserForm::Released released =
      run.release ? form_.ReleaseTable() : TBrowserForm::Released{form_.TablePath(), 0};
  vexel::OpenOptions options;
  // A lock another program holds is asked about at once (AskRetry below), not waited for.
  options.lock_retries = 0;
  options.lock_wait_ms = 0;
  options.ndx_files.assign(ndx.begin(), ndx.end());
  options.codepage = form_.CodePage();
  std::vector<std::string> notes;
  options.warn = [&notes](const std::string& message) { notes.push_back(message); };
  options.progress = [&](const std::string& label, std::int64_t done, std::int64_t total) {
    if (done < 0) return;
    box.setLabelText(QString::fromStdString(StageText(label)));
    box.setValue(total > 0 ? static_cast<int>(std::min<std::int64_t>(done, total) * 100 / total)
                           : 0);
    // Cancel is offered only while the stage can stop with nothing changed.
    const bool stoppable = !run.cancellable.empty() && label == run.cancellable;
    if (cancel != nullptr) cancel->setEnabled(stoppable);
    if (OnProgress) OnProgress(label, done, total);
    QCoreApplication::processEvents();
    if (cancel_ && stoppable) throw Cancelled{};
  };

  ToolOutcome outcome = ToolOutcome::kFailed;
  std::string text;
  for (;;) {
    try {
      text = run.work(options);
      outcome = ToolOutcome::kDone;
    } catch (const Cancelled&) {
      text = run.title + " cancelled: nothing was changed.";
      outcome = ToolOutcome::kCancelled;
    } catch (const vexel::Error& e) {
      if (e.kind() == vexel::ErrorKind::lock && run.release) {
        if (AskRetry && AskRetry(HeldText(run.title))) continue;
        text = HeldText(run.title);
      } else {
        text = run.title + " refused: " + e.what();
      }
    } catch (const std::exception& e) {
      text = run.title + " failed: " + e.what();
    }
    break;
  }
  ProgressBox = nullptr;
  box.close();
  if (run.release) form_.TakeBackTable(released);
  for (const std::string& note : notes) text += "\n" + note;
  running_ = false;
  Say(text, false);
  return outcome;
}

// --- Create and alter ------------------------------------------------------------------------

TFieldListEditor* TTableTools::ShowCreateTable() {
  auto* editor = new TFieldListEditor(form_.Widget(), TFieldListEditor::Mode::kCreate);
  editor->setAttribute(Qt::WA_DeleteOnClose);
  editor->OnApply = [this, editor] {
    std::string file = editor->FileName();
    // A bare name goes beside the open table.
    if (!form_.TablePath().empty() && std::filesystem::path(file).is_relative())
      file = (std::filesystem::path(form_.TablePath()).parent_path() / file).string();
    const std::vector<vexel::Field> fields = editor->Fields();
    const ToolOutcome outcome =
        Run({.title = "New table", .release = false, .work = [&](vexel::OpenOptions&) {
               vexel::CreateOptions create;
               create.version = editor->Version();
               create.codepage = editor->CodePage();
               vexel::create(file, fields, create);  // closed again: the form opens it
               return "created " + FileNameOf(file);
             }});
    if (outcome != ToolOutcome::kDone) {
      editor->ShowRefusal(LastMessage);
      return false;
    }
    form_.OpenTable(file);
    return true;
  };
  editor->show();
  return editor;
}

TFieldListEditor* TTableTools::ShowAlterTable() {
  if (form_.TablePath().empty()) return nullptr;
  std::vector<vexel::Field> fields;
  std::uint8_t version = 0;
  try {
    const vexel::Table t = OpenToRead(form_.TablePath(), form_.CodePage());
    fields = t.fields();
    version = static_cast<std::uint8_t>(t.version());
  } catch (const vexel::Error& e) {
    Say(e.what(), true);
    return nullptr;
  }
  auto* editor =
      new TFieldListEditor(form_.Widget(), TFieldListEditor::Mode::kAlter, fields, version);
  editor->setAttribute(Qt::WA_DeleteOnClose);
  editor->OnApply = [this, editor] {
    const vexel::AlterChanges changes = editor->Changes();
    const std::string path = form_.TablePath();
    const ToolOutcome outcome =
        Run({.title = "Changing the structure",
             .cancellable = "alter",
             .work = [&](vexel::OpenOptions& options) {
               const vexel::AlterResult r = vexel::alter_table(path, changes, options);
               return "structure changed: " + Plural(static_cast<std::int64_t>(r.fields), "field") +
                      ", " + Plural(r.records, "record") + " converted" +
                      (r.tags.empty() ? "" : ", tags rebuilt: " + Joined(r.tags));
             }});
    if (outcome != ToolOutcome::kDone) editor->ShowRefusal(LastMessage);
    return outcome == ToolOutcome::kDone;
  };
  editor->show();
  return editor;
}

// --- Tags ------------------------------------------------------------------------------------

TTagDialog* TTableTools::ShowTags() {
  if (form_.TablePath().empty()) return nullptr;
  auto* dialog = new TTagDialog(form_.Widget(), form_.TablePath(), form_.CodePage());
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->OnAdd = [this, dialog](const vexel::NewTag& tag) {
    const std::string path = form_.TablePath();
    const ToolOutcome outcome =
        Run({.title = "Adding the tag " + tag.name, .work = [&](vexel::OpenOptions& options) {
               // The table to itself for the build, its index opened only when it can be read
               // (the build then writes a new one); the .NDX files play no part in it.
               vexel::OpenOptions build = options;
               build.mode = vexel::OpenMode::exclusive;
               build.ignore_index = true;
               build.ndx_files.clear();
               vexel::Table table = vexel::open(path, build);
               table.add_tag(tag);
               table.close();
               return "tag " + tag.name + " added";
             }});
    if (outcome != ToolOutcome::kDone) dialog->ShowRefusal(LastMessage);
    return outcome == ToolOutcome::kDone;
  };
  dialog->OnDrop = [this, dialog](const std::string& name) {
    if (!Confirm("Drop the tag " + name + " of " + FileNameOf(form_.TablePath()) + "?"))
      return false;
    const std::string path = form_.TablePath();
    const ToolOutcome outcome =
        Run({.title = "Dropping the tag " + name, .work = [&](vexel::OpenOptions& options) {
               vexel::AlterChanges changes;
               changes.drop_tags = {name};
               vexel::alter_table(path, changes, options);
               return "tag " + name + " dropped";
             }});
    if (outcome != ToolOutcome::kDone) dialog->ShowRefusal(LastMessage);
    return outcome == ToolOutcome::kDone;
  };
  dialog->show();
  return dialog;
}

// --- Pack, zap, copy -------------------------------------------------------------------------

bool TTableTools::Pack() {
  const std::string path = form_.TablePath();
  if (path.empty()) return false;
  if (!Confirm("Pack " + FileNameOf(path) +
               "? The records marked deleted are removed for good, and the records after them "
               "are numbered anew."))
    return false;
  return Run({.title = "Pack", .cancellable = "pack", .work = [&](vexel::OpenOptions& options) {
                const vexel::PackResult r = vexel::pack_table(path, {}, options);
                return "packed: " + Plural(r.removed, "record") + " removed, " +
                       std::to_string(r.kept) + " kept";
              }}) == ToolOutcome::kDone;
}

bool TTableTools::Zap() {
  const std::string path = form_.TablePath();
  if (path.empty()) return false;
  if (!Confirm("Zap " + FileNameOf(path) +
               "? Every record is removed for good; the fields and tags stay."))
    return false;
  return Run({.title = "Zap", .work = [&](vexel::OpenOptions& options) {
                const vexel::PackResult r = vexel::zap_table(path, {}, options);
                return "zapped: " + Plural(r.removed, "record") + " removed";
              }}) == ToolOutcome::kDone;
}

TCopyDialog* TTableTools::ShowCopy() {
  if (form_.TablePath().empty()) return nullptr;
  auto* dialog = new TCopyDialog(form_.Widget(), form_.TablePath(), form_.CodePage());
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->OnApply = [this, dialog] {
    const std::string path = form_.TablePath();
    const std::string target = dialog->Target();
    const vexel::CopyOptions copy = dialog->Options();
    // The source is read for exclusive use: the window lets go of it meanwhile.
    const ToolOutcome outcome =
        Run({.title = "Copy", .cancellable = "copy", .work = [&](vexel::OpenOptions& options) {
               const vexel::CopyResult r = vexel::copy_table(path, target, copy, options);
               return "copied " + Plural(r.records, "record") + " to " + r.table +
                      (r.tags.empty() ? "" : " with the tags " + Joined(r.tags));
             }});
    if (outcome != ToolOutcome::kDone) dialog->ShowRefusal(LastMessage);
    return outcome == ToolOutcome::kDone;
  };
  dialog->show();
  return dialog;
}

// --- Import ----------------------------------------------------------------------------------

TImportDialog* TTableTools::ShowImport() {
  if (form_.TablePath().empty()) return nullptr;
  std::vector<std::string> fields;
  try {
    const vexel::Table table = OpenToRead(form_.TablePath(), form_.CodePage());
    for (const vexel::Field& f : table.fields()) fields.push_back(UpperAscii(f.name));
  } catch (const vexel::Error& e) {
    Say(e.what(), true);
    return nullptr;
  }
  auto* dialog = new TImportDialog(form_.Widget(), std::move(fields));
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->OnApply = [this, dialog] {
    const std::string path = form_.TablePath();
    const std::string source = dialog->FileName();
    const bool json = dialog->ChosenFormat() == TImportDialog::Format::kJsonLines;
    // Rows are appended as another program appends them: the window keeps the table open,
    // and every row is read and checked before the first is appended, so that until then
    // Cancel leaves the table as it was.
    const ToolOutcome outcome =
        Run({.title = "Import",
             .cancellable = "read",
             .release = false,
             .work = [&](vexel::OpenOptions& options) {
               std::ifstream in(source, std::ios::binary);
               if (!in) throw vexel::InputError(2, "cannot open " + source);
               const auto size = static_cast<std::int64_t>(std::filesystem::file_size(source));
               vexel::RowInput input = json ? vexel::json_rows(in) : vexel::csv_rows(in);
               std::uint64_t read = 0;
               input.next = [&, next = input.next](vexel::TextRow& row) {
                 if (read++ % kRowsPerStep == 0) {
                   const std::int64_t at = in.tellg();
                   options.progress("read", at < 0 ? size : at, size);
                 }
                 return next(row);
               };
               const std::uint64_t rows = vexel::append_rows(path, input, options);
               return "imported " + Plural(static_cast<std::int64_t>(rows), "row") + " from " +
                      FileNameOf(source);
             }});
    if (outcome != ToolOutcome::kDone) {
      dialog->ShowRefusal(LastMessage);
      return false;
    }
    form_.RefreshRows();
    form_.UpdateStatus();
    return true;
  };
  dialog->show();
  return dialog;
}

}  // namespace vx::browser
