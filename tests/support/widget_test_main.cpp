// The main of the widget test binaries: runs the tests inside a Qt application on the offscreen
// platform. Listing the tests (CTest's discovery) needs no application and no display.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>
#include <cstring>

#include "platform/dataset/application.h"
#include "platform/widgets/forms.h"

int main(int argc, char** argv) {
  bool listing = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--gtest_list_tests") == 0) listing = true;
  }
  testing::InitGoogleTest(&argc, argv);
  if (listing) return RUN_ALL_TESTS();
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  vx::InitWidgets(argc, argv);
  // Message boxes are recorded, not shown: a test reads them with RecordedMessages().
  vx::SetMessageBoxHook({});
  return RUN_ALL_TESTS();
}
