// Prints every record of a table as the browser shows it, one JSON object a line:
// {"_recno": n, FIELD: text, ...}. The browser's window is opened on the table (offscreen, as a
// user would open it) and each column's text is taken as its grid cell paints it; a memo as the
// memo window shows it. With --codepage N the View > Code page entry N is chosen first, as a
// user does for a table whose page nothing names. A table the window does not open prints
// {"error": 1, "message": the message boxes' text} and exits 1.
//
// usage: browser_rows FILE [--codepage N]
#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QMenu>
#include <cstdlib>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>

#include "browser/browser_form.h"
#include "components/dataset/table_dataset.h"
#include "engine/startup/engine_startup.h"
#include "platform/dataset/application.h"
#include "platform/widgets/graphics.h"

namespace {

std::string Messages() {
  std::string text;
  for (const std::string& message : vx::RecordedMessages()) text += message + "\n";
  return text;
}

// Chooses View > Code page > `page` the way a click does; false when the menu lacks it.
bool ChoosePage(vx::browser::TBrowserForm& form, int page) {
  for (QAction* action : form.CodePageMenu->actions()) {
    if (action->isCheckable() && action->data().toInt() == page) {
      action->trigger();
      return true;
    }
  }
  return false;
}

int PrintRows(vx::browser::TBrowserForm& form, const std::string& path, int page) {
  form.Show();
  if (!form.OpenTable(path)) {
    std::cout << nlohmann::json{{"error", 1}, {"message", Messages()}}.dump() << "\n";
    return 1;
  }
  if (page != 0 && !ChoosePage(form, page)) {
    std::cout << nlohmann::json{{"error", 2},
                                {"message", "no View > Code page entry " + std::to_string(page)}}
                     .dump()
              << "\n";
    return 1;
  }
  vx::browser::TBrowserGrid& grid = *form.Grid;
  vx::ZOvEzi& table = *form.Table;
  for (table.First(); !table.Eof(); table.Next()) {
    nlohmann::json row = {{"_recno", table.RecNo()}};
    for (int i = 0; i < grid.Columns().Count(); ++i) {
      vx::TColumn* column = grid.Columns().Items(i);
      const vx::TField* field = column->Field();
      if (field == nullptr) continue;
      const bool memo = field->DataType() == vx::ftMemo;
      const std::string shown = memo ? field->AsString() : field->DisplayText();
      row[column->FieldName()] = vx::AnsiToQString(shown).toStdString();
    }
    std::cout << row.dump() << "\n";
  }
  const std::string messages = Messages();
  if (!messages.empty()) std::cerr << messages;
  return messages.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || (argc != 2 && (argc != 4 || std::string(argv[2]) != "--codepage"))) {
    std::cerr << "usage: browser_rows FILE [--codepage N]\n";
    return 2;
  }
  const int page = argc == 4 ? std::atoi(argv[3]) : 0;
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  QCoreApplication::setOrganizationName("VexelTest");
  QCoreApplication::setApplicationName("vexel");
  vx::InitWidgets(argc, argv);
  vx::SetMessageBoxHook({});  // recorded, not shown
  vx::InitEngine();
  vx::InitTableDatasetUnit();
  int status = 0;
  {
    vx::TComponent owner(nullptr);
    auto* form = new vx::browser::TBrowserForm(&owner);
    status = PrintRows(*form, argv[1], page);
    delete form;
  }
  vx::ShutdownEngine();
  return status;
}
