// The demo program: the film table in a grid, and a modal memo window for the plots.
//
//   vexel-demo [--screenshot FILE.png [--memo]] [FOLDER]
//
// Works on "movie.DBF" in FOLDER (default: the current folder), creating it when it is missing.
// --screenshot renders the main form (with --memo also the memo window over the current
// record) on the offscreen platform into FILE.png and exits.

#include <unistd.h>

#include <QApplication>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>

#include "components/controls/memo_window.h"
#include "components/controls/window_picture.h"
#include "components/dataset/table_dataset.h"
#include "demo/main_form.h"
#include "engine/startup/engine_startup.h"
#include "platform/dataset/application.h"

namespace {

struct DemoOptions {
  std::string screenshot;
  bool memo = false;
  std::string folder;
};

void Usage() { std::cerr << "usage: vexel-demo [--screenshot FILE.png [--memo]] [FOLDER]\n"; }

bool ParseOptions(int argc, char** argv, DemoOptions& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--screenshot" && i + 1 < argc) {
      options.screenshot = argv[++i];
    } else if (arg == "--memo") {
      options.memo = true;
    } else if (arg == "--help" || arg == "-h") {
      return false;
    } else if (!arg.empty() && arg[0] != '-' && options.folder.empty()) {
      options.folder = arg;
    } else {
      std::cerr << "vexel-demo: unknown argument " << arg << "\n";
      return false;
    }
  }
  if (options.memo && options.screenshot.empty()) {
    std::cerr << "vexel-demo: --memo goes with --screenshot\n";
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  DemoOptions options;
  if (!ParseOptions(argc, argv, options)) {
    Usage();
    return 2;
  }
  // The picture's name is taken from where the program was started, not from FOLDER.
  if (!options.screenshot.empty())
    options.screenshot = std::filesystem::absolute(options.screenshot).string();
  if (!options.folder.empty() && chdir(options.folder.c_str()) != 0) {
    std::cerr << "vexel-demo: cannot enter " << options.folder << ": " << std::strerror(errno)
              << "\n";
    return 1;
  }
  // A screenshot needs no display.
  if (!options.screenshot.empty()) setenv("QT_QPA_PLATFORM", "offscreen", 1);

  QApplication app(argc, argv);
  vx::InitWidgets(argc, argv);
  vx::InitEngine();
  vx::InitTableDatasetUnit();
  vx::MessageMode = 2;
  vx::Application().Title = "Vexel films";

  int status = 0;
  {
    vx::TComponent application_owner(nullptr);
    auto* form1 = new vx::demo::TForm1(&application_owner);
    auto* window_form = new vx::TVxMemoWindow(&application_owner, form1->DataSource1, "PLOT");
    form1->SetMemoWindow(window_form);
    form1->Show();

    if (options.screenshot.empty()) {
      status = vx::RunApplication();
    } else {
      std::vector<vx::TForm*> forms{form1};
      if (options.memo) {
        window_form->Show();
        forms.push_back(window_form);
      }
      vx::ProcessMessages();
      const QImage picture = vx::PictureOfForms(forms);
      if (!picture.save(QString::fromStdString(options.screenshot), "PNG")) {
        std::cerr << "vexel-demo: cannot write " << options.screenshot << "\n";
        status = 1;
      }
    }
    // The memo window goes first: it edits through the main form's data source.
    delete window_form;
    delete form1;
  }
  vx::ShutdownEngine();
  return status;
}
