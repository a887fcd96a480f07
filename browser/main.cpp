// vexel, the table browser: any .DBF in a grid, in natural or tag order, with a search field.
//
//   vexel [TABLE] [--tag NAME] [--seek TEXT] [--sort FIELD[:descending]] [--filter CONDITION]
//         [--form] [--structure] [--settings] [--query SQL] [--alter] [--import FILE]
//   vexel --screenshot FILE.png TABLE [the same options]
//
// The options set the window up as a user would: choose tag NAME (from its first record),
// type TEXT into the search field, click FIELD's title (twice for descending), apply CONDITION
// in the filter bar, show the record form, open the structure view, the settings dialog, or
// the query window with SQL run in it, Table > Change structure, or Table > Import rows with FILE
// named. --screenshot does that on the offscreen platform,
// writes the window (or the structure view, dialog or query window opened) into
// FILE.png and exits (status 1 when an error box was shown or the picture could not be
// written).

#include <QApplication>
#include <QDialog>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QWidget>
#include <cstdlib>
#include <iostream>
#include <string>

#include "browser/browser_form.h"
#include "browser/field_list_editor.h"
#include "browser/import_dialog.h"
#include "browser/query_window.h"
#include "browser/table_tools.h"
#include "components/controls/message_windows.h"
#include "components/controls/window_picture.h"
#include "components/dataset/table_dataset.h"
#include "engine/startup/engine_startup.h"
#include "engine/workarea/locks.h"
#include "platform/dataset/application.h"

namespace {

struct BrowserOptions {
  std::string screenshot;
  std::string table;
  std::string tag;
  std::string seek;
  std::string sort;
  std::string filter;
  std::string query;
  std::string import;
  bool alter = false;
  bool form = false;
  bool structure = false;
  bool settings = false;
};

void Usage() {
  std::cerr << "usage: vexel [TABLE] [--tag NAME] [--seek TEXT] [--sort FIELD[:descending]]\n"
               "             [--filter CONDITION] [--form] [--structure] [--settings] [--query SQL]\n"
               "             [--alter] [--import FILE]\n"
               "       vexel --screenshot FILE.png TABLE [the same options]\n";
}

bool ParseOptions(int argc, char** argv, BrowserOptions& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--screenshot" && has_value) {
      options.screenshot = argv[++i];
    } else if (arg == "--tag" && has_value) {
      options.tag = argv[++i];
    } else if (arg == "--seek" && has_value) {
      options.seek = argv[++i];
    } else if (arg == "--sort" && has_value) {
      options.sort = argv[++i];
    } else if (arg == "--filter" && has_value) {
      options.filter = argv[++i];
    } else if (arg == "--form") {
      options.form = true;
    } else if (arg == "--structure") {
      options.structure = true;
    } else if (arg == "--settings") {
      options.settings = true;
    } else if (arg == "--query" && has_value) {
      options.query = argv[++i];
    } else if (arg == "--alter") {
      options.alter = true;
    } else if (arg == "--import" && has_value) {
      options.import = argv[++i];
    } else if (arg == "--help" || arg == "-h") {
      return false;
    } else if (!arg.empty() && arg[0] != '-' && options.table.empty()) {
      options.table = arg;
    } else {
      std::cerr << "vexel: unknown argument " << arg << "\n";
      return false;
    }
  }
  if (!options.screenshot.empty() && options.table.empty()) {
    std::cerr << "vexel: --screenshot needs a TABLE\n";
    return false;
  }
  const bool setup = !options.tag.empty() || !options.seek.empty() || !options.sort.empty() ||
                     !options.filter.empty() || options.form || options.structure ||
                     !options.query.empty() || options.alter || !options.import.empty();
  if (setup && options.table.empty()) {
    std::cerr << "vexel: --tag, --seek, --sort, --filter, --form, --structure, --query, --alter and "
                 "--import need a TABLE\n";
    return false;
  }
  return true;
}

// Sets the window up as the options ask; answers 1 when a tag or field named is not there, or
// the query failed. `shown` receives the window opened over the browser's, if any.
int SetUp(vx::browser::TBrowserForm& form, const BrowserOptions& options, QWidget*& shown) {
  int status = 0;
  if (!options.filter.empty()) {
    form.FilterField->setText(QString::fromStdString(options.filter));
    if (!form.ApplyFilter(options.filter)) {
      std::cerr << "vexel: " << form.FilterMessage->text().toStdString() << "\n";
      status = 1;
    }
  }
  if (!options.tag.empty()) {
    const int order =
        form.OrderBox->findText(QString::fromStdString(options.tag), Qt::MatchFixedString);
    if (order < 0) {
      std::cerr << "vexel: no tag " << options.tag << " in " << options.table << "\n";
      status = 1;
    } else {
      form.OrderBox->setCurrentIndex(order);
      // The browsing starts at the top of the order chosen.
      form.Table->First();
    }
  }
  if (!options.sort.empty()) {
    std::string field = options.sort;
    const std::string descending = ":descending";
    const bool down = field.size() > descending.size() && field.ends_with(descending);
    if (down) field.resize(field.size() - descending.size());
    int column = -1;
    for (int i = 0; i < form.Grid->Columns().Count(); ++i) {
      if (form.Grid->Columns().Items(i)->FieldName() == field) column = i;
    }
    if (column < 0) {
      std::cerr << "vexel: no field " << field << " in " << options.table << "\n";
      status = 1;
    } else {
      for (int click = 0; click < (down ? 2 : 1); ++click) {
        form.SortByColumn(column);
        form.FinishSort();
      }
      form.Table->First();
    }
  }
  if (!options.seek.empty()) form.SearchField->setText(QString::fromStdString(options.seek));
  if (options.form) form.ShowRecordForm(true);
  if (options.structure) {
    form.ShowStructure();
    QWidget* view = form.Widget()->findChild<QWidget*>("StructureText");
    if (view != nullptr) shown = view->window();
  }
  if (!options.query.empty()) {
#ifdef VX_HAVE_SQLITE
    vx::browser::TQueryWindow* query = form.ShowQueryWindow();
    if (query != nullptr) {
      query->Editor->setPlainText(QString::fromStdString(options.query));
      if (!query->Run(options.query)) {
        std::cerr << "vexel: " << query->Message->text().toStdString() << "\n";
        status = 1;
      }
      shown = query->Dialog();
    }
#else
    std::cerr << "vexel: this build has no query window (no SQLite)\n";
    status = 1;
#endif
  }
  if (options.alter) shown = form.Tools->ShowAlterTable();
  if (!options.import.empty()) {
    vx::browser::TImportDialog* dialog = form.Tools->ShowImport();
    if (dialog != nullptr) {
      dialog->FileEdit->setText(QString::fromStdString(options.import));
      shown = dialog;
    }
  }
  form.RefreshLocks();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  BrowserOptions options;
  if (!ParseOptions(argc, argv, options)) {
    Usage();
    return 2;
  }
  if (!options.screenshot.empty()) setenv("QT_QPA_PLATFORM", "offscreen", 1);

  QApplication app(argc, argv);
  QCoreApplication::setOrganizationName("Vexel");
  QCoreApplication::setApplicationName("vexel");
  vx::InitWidgets(argc, argv);
  // Without a screen nobody could answer a message box: messages are recorded and reported.
  if (!options.screenshot.empty()) vx::SetMessageBoxHook({});
  vx::InitEngine();
  vx::InitTableDatasetUnit();
  vx::InstallIndexProgressWindow();
  vx::MessageMode = 2;
  // A record another program holds is reported at once instead of waiting for it.
  vx::LockRetries = 0;
  vx::Application().Title = "Vexel";

  int status = 0;
  {
    vx::TComponent application_owner(nullptr);
    auto* form = new vx::browser::TBrowserForm(&application_owner);
    if (!options.screenshot.empty()) {
      // Nobody answers: a table another program holds is left alone, and said so.
      form->AskAboutHeldTable = [](const std::string& text, bool) {
        std::cerr << "vexel: " << text << "\n";
        return vx::browser::TBrowserForm::HeldAnswer::kCancel;
      };
    }
    form->Show();
    QWidget* shown = nullptr;
    if (!options.table.empty()) {
      status = form->OpenTable(options.table) ? SetUp(*form, options, shown) : 1;
    }
    if (options.settings) shown = form->ShowSettings();

    if (options.screenshot.empty()) {
      const int result = vx::RunApplication();
      if (status == 0) status = result;
    } else {
      vx::ProcessMessages();
      for (const std::string& text : vx::RecordedMessages()) {
        std::cerr << "vexel: " << text << "\n";
        status = 1;
      }
      const QImage picture =
          shown != nullptr ? shown->grab().toImage() : vx::PictureOfForms({form});
      if (!picture.save(QString::fromStdString(options.screenshot), "PNG")) {
        std::cerr << "vexel: cannot write " << options.screenshot << "\n";
        status = 1;
      }
    }
    delete form;
  }
  vx::ShutdownEngine();
  return status;
}
