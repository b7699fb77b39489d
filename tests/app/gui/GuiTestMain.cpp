// Widgets need one QApplication for the whole run; gtest_main cannot provide it.
#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  // No display is needed, and a developer's desktop must not get test windows flashing on it.
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
