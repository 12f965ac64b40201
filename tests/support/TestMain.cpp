// Test entry point: every test runs with an application object, because the components wait in
// the event loop. Widget tests build this with XV4_TEST_WIDGETS and run offscreen.
#include <gtest/gtest.h>

#ifdef XV4_TEST_WIDGETS
#include <QApplication>
using TestApplication = QApplication;
#else
#include <QCoreApplication>
using TestApplication = QCoreApplication;
#endif

#include <cstdlib>

int main(int argc, char** argv) {
#ifdef XV4_TEST_WIDGETS
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
#endif
  ::testing::InitGoogleTest(&argc, argv);
  TestApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
