// The page control whose tabs are flat buttons wrapped onto rows.
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include "controls/PageControl.h"

namespace zol {
namespace {

TEST(PageControl, ButtonsWrapOntoRowsAndSelectTheirPage) {
  TPageControl Pages;
  Pages.resize(160, 200);
  for (const char *Caption : {"Premier onglet", "Deuxième onglet assez long", "Trois"})
    Pages.addTab(new QWidget, QString::fromUtf8(Caption));
  Pages.show();
  ASSERT_NE(Pages.tabButton(2), nullptr);
  EXPECT_EQ(Pages.tabButton(3), nullptr);
  EXPECT_EQ(Pages.tabButton(-1), nullptr);
  EXPECT_GT(Pages.tabButton(1)->y(), Pages.tabButton(0)->y()) << "a long caption starts a row";
  EXPECT_LE(Pages.tabButton(1)->geometry().right(), Pages.width());
  EXPECT_GT(Pages.currentWidget()->mapTo(&Pages, QPoint(0, 0)).y(),
            Pages.tabButton(2)->geometry().bottom())
      << "the pages lie below the rows of buttons";

  QTest::mouseClick(Pages.tabButton(2), Qt::LeftButton);
  EXPECT_EQ(Pages.currentIndex(), 2);
  Pages.setCurrentIndex(0);
  EXPECT_TRUE(Pages.tabButton(0)->isChecked());
  EXPECT_FALSE(Pages.tabButton(2)->isChecked());

  Pages.setPageCaption(2, QStringLiteral("Troisième"));
  EXPECT_EQ(Pages.tabButton(2)->text(), QStringLiteral("Troisième"));
}

} // namespace
} // namespace zol
