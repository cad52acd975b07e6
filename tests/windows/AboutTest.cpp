// Tests of the about box.
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>

#include <gtest/gtest.h>

#include "WindowsTest.h"
#include "windows/About.h"
#include "windows/SingleInstance.h"

namespace zol::test {
namespace {

TEST(AboutBoxTest, LabelsFromTheSystem) {
  struct Case {
    int PlatformId;
    const char *Name;
    std::uint32_t Major, Minor, Build;
    const char *ServicePack;
    const char *Systeme;
    const char *VersionWin;
  };
  const Case Cases[] = {
      {2, "", 5, 1, 2600, "Service Pack 3", "Microsoft Windows NT/2000/XP/Vista/Seven",
       "Version n° : 5.1.2600 Service Pack 3"},
      {1, "", 4, 10, 0x0A0A08CEu, "A", "Microsoft Windows 95/98/Millenium",
       "Version n° : 4.10.2254 A"}, // only the low 16 bits of the build
      {0, "", 3, 10, 0, "", "Microsoft Windows 3.1/Win32s", "Version n° : 3.10.0 "},
      {7, "", 6, 1, 7601, "", "Systeme", "Version n° : 6.1.7601 "}, // unlisted: unchanged
      {-1, "Debian GNU/Linux 12 (bookworm)", 6, 1, 0, "18-amd64", "Debian GNU/Linux 12 (bookworm)",
       "Version n° : 6.1.0 18-amd64"},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(C.VersionWin);
    TAboutBox Box;
    TSystemVersion V;
    V.PlatformId = C.PlatformId;
    V.Name = QString::fromUtf8(C.Name);
    V.Major = C.Major;
    V.Minor = C.Minor;
    V.Build = C.Build;
    V.ServicePack = QString::fromUtf8(C.ServicePack);
    Box.ShowSystem(V);
    EXPECT_EQ(Box.Systeme->text(), QString::fromUtf8(C.Systeme));
    EXPECT_EQ(Box.VersionWin->text(), QString::fromUtf8(C.VersionWin));
    EXPECT_EQ(Box.windowTitle(), QStringLiteral("A propos de ..."));
    EXPECT_EQ(Box.ProductName->text(), QStringLiteral("ZOLCFG - Français"));
    EXPECT_EQ(Box.Version->text(), QStringLiteral("Version : 1.04"));
    EXPECT_EQ(Box.Programmeur->text(), TAboutBox::kCreditLine);
  }
}

TEST(AboutBoxTest, ShowingDescribesTheRunningSystem) {
  TAboutBox Box;
  EXPECT_EQ(Box.windowTitle(), QStringLiteral("A propos ..."));
  EXPECT_EQ(Box.size(), QSize(265, 217));
  EXPECT_EQ(Box.Panel1->geometry(), QRect(0, 32, 265, 137));
  EXPECT_EQ(Box.Programmeur->size(), QSize(168, 17));
  EXPECT_EQ(Box.OKButton->size(), QSize(65, 33));
  EXPECT_TRUE(Box.OKButton->isDefault());
  EXPECT_TRUE(Box.ProductName->font().bold());
  TModalWatcher Watcher([&](QWidget *Modal) {
    if (Modal != &Box)
      return false;
    QTest::mouseClick(Box.OKButton, Qt::LeftButton);
    return true;
  });
  EXPECT_EQ(Box.exec(), QDialog::Accepted);
  EXPECT_EQ(Box.windowTitle(), QStringLiteral("A propos de ..."));
  EXPECT_NE(Box.Systeme->text(), QStringLiteral("Systeme"));
  static const QRegularExpression Line(QStringLiteral("^Version n° : \\d+\\.\\d+\\.\\d+ .*$"));
  EXPECT_TRUE(Line.match(Box.VersionWin->text()).hasMatch())
      << Box.VersionWin->text().toStdString();
}

} // namespace
} // namespace zol::test
