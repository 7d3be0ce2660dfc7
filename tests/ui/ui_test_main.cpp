// The one main of the widget tests: a QApplication on the offscreen platform
// (unless another platform was asked for), then every test. With
// CORVANE_TEST_COLOURS=dark the program's dark look is applied first, as a
// dark desktop gets it (the picture runs use it).
#include <gtest/gtest.h>

#include <QApplication>

#include "ui/colour_scheme.h"

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  if (qgetenv("CORVANE_TEST_COLOURS") == "dark") ApplyColours(true);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
