// Tests of the hardware error dialog.
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include "WindowsTest.h"
#include "windows/Error.h"

namespace zol::test {
namespace {

TEST(ErrorFormTest, CreatedNotShownAndClosedByItsButton) {
  TErrorForm Form;
  EXPECT_FALSE(Form.isVisible());
  EXPECT_EQ(Form.windowTitle(), QStringLiteral("Erreur"));
  EXPECT_EQ(Form.size(), QSize(243, 129));
  EXPECT_EQ(Form.Label1->text(), QStringLiteral("Problème materiel"));
  EXPECT_EQ(Form.Label1->font().pixelSize(), 19);
  EXPECT_EQ(Form.Button1->text(), QStringLiteral("Ok"));
  EXPECT_EQ(Form.Image2->size(), QSize(33, 33));
  EXPECT_FALSE(Form.Image2->pixmap().isNull());
  Form.show();
  QTest::mouseClick(Form.Button1, Qt::LeftButton);
  EXPECT_FALSE(Form.isVisible());
}

} // namespace
} // namespace zol::test
