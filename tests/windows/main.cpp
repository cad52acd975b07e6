// The windows' tests need a QApplication: offscreen, Fusion style, DejaVu Sans, and the French
// regional settings pinned, so that what is shown does not depend on the desktop running them.
#include <QApplication>
#include <QFont>
#include <QLocale>
#include <QStyleFactory>

#include <gtest/gtest.h>

#include "tests/support/TestFonts.h"

int main(int argc, char **argv) {
  // Also when the test list is gathered, where the test's environment is not applied.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  zol::test::UseTestFonts();
  QApplication App(argc, argv);
  QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
  QApplication::setFont(QFont(QStringLiteral("DejaVu Sans"), 9));
  QLocale::setDefault(QLocale(QLocale::French, QLocale::France));
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
