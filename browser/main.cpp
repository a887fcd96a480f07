// vexel, the table browser: any .DBF in a grid, in natural or tag order, with a search field.
//
//   vexel [TABLE]
//   vexel --screenshot FILE.png TABLE [--tag NAME] [--seek TEXT]
//
// --screenshot opens TABLE on the offscreen platform, chooses tag NAME, types TEXT into the
// search field, writes the window into FILE.png and exits (status 1 when an error box was
// shown or the picture could not be written).

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <cstdlib>
#include <iostream>
#include <string>

#include "browser/browser_form.h"
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
};

void Usage() {
  std::cerr << "usage: vexel [TABLE]\n"
               "       vexel --screenshot FILE.png TABLE [--tag NAME] [--seek TEXT]\n";
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
  if ((!options.tag.empty() || !options.seek.empty()) && options.screenshot.empty()) {
    std::cerr << "vexel: --tag and --seek go with --screenshot\n";
    return false;
  }
  return true;
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
    form->Show();
    if (!options.table.empty()) form->OpenTable(options.table);

    if (options.screenshot.empty()) {
      status = vx::RunApplication();
    } else {
      if (!options.tag.empty()) {
        const int order =
            form->OrderBox->findText(QString::fromStdString(options.tag), Qt::MatchFixedString);
        if (order < 0) {
          std::cerr << "vexel: no tag " << options.tag << " in " << options.table << "\n";
          status = 1;
        } else {
          form->OrderBox->setCurrentIndex(order);
        }
      }
      if (!options.seek.empty()) form->SearchField->setText(QString::fromStdString(options.seek));
      form->RefreshLocks();
      vx::ProcessMessages();
      for (const std::string& text : vx::RecordedMessages()) {
        std::cerr << "vexel: " << text << "\n";
        status = 1;
      }
      const QImage picture = vx::PictureOfForms({form});
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
