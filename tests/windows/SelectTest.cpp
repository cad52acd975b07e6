// Tests of the selection dialog, on its own and on simulated instruments.
#include <QGroupBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include <gtest/gtest.h>

#include "WindowsTest.h"
#include "windows/Select.h"
#include "windows/TZOL.h"

namespace zol::test {
namespace {

// ---- Selection dialog --------------------------------------------------------------------------

class SelectFormTest : public ::testing::Test {
protected:
  void SetUp() override { Form = std::make_unique<TSelectForm>(); }
  std::unique_ptr<TSelectForm> Form;
};

TEST_F(SelectFormTest, DialogAsDescribed) {
  EXPECT_EQ(Form->size(), QSize(186, 258));
  EXPECT_EQ(Form->windowTitle(), QStringLiteral("Selection"));
  EXPECT_TRUE(Form->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
  EXPECT_EQ(Form->GrRdSelect->geometry(), QRect(8, 40, 169, 169));
  EXPECT_EQ(Form->GrRdSelect->title(), QStringLiteral("Selection"));
  EXPECT_EQ(Form->BtnOK->geometry(), QRect(96, 224, 75, 25));
  EXPECT_EQ(Form->BtnOK->text(), QStringLiteral("OK"));
  EXPECT_EQ(Form->ItemIndex(), -1);
}

TEST_F(SelectFormTest, SelectedLineTakenHoweverItCloses) {
  enum class How { OK, CloseBox, Escape };
  for (const How Closing : {How::OK, How::CloseBox, How::Escape}) {
    SCOPED_TRACE(static_cast<int>(Closing));
    Form->SetItems(
        {QStringLiteral("USB N°0"), QStringLiteral("USB N°1"), QStringLiteral("USB N°2")}, 0);
    EXPECT_EQ(Form->Items(), (QStringList{"USB N°0", "USB N°1", "USB N°2"}));
    EXPECT_EQ(Form->ItemIndex(), 0);
    TModalWatcher Watcher([&](QWidget *Modal) {
      if (Modal != Form.get())
        return false;
      auto Lines = Form->GrRdSelect->findChildren<QRadioButton *>();
      if (Lines.size() != 3)
        return false;
      QTest::mouseClick(Lines[2], Qt::LeftButton, {}, QPoint(4, Lines[2]->height() / 2));
      switch (Closing) {
      case How::OK:
        QTest::mouseClick(Form->BtnOK, Qt::LeftButton);
        break;
      case How::CloseBox:
        Form->close();
        break;
      case How::Escape:
        QTest::keyClick(Form.get(), Qt::Key_Escape);
        break;
      }
      return true;
    });
    Form->exec();
    EXPECT_EQ(Watcher.Handled(), 1);
    EXPECT_EQ(Form->ItemIndex(), 2);
  }
  // Rebuilt before each use: fewer lines, none left over.
  Form->SetItems({QStringLiteral("USB N°0")}, 0);
  EXPECT_EQ(Form->GrRdSelect->findChildren<QRadioButton *>().size(), 1);
  Form->SetItems({QStringLiteral("USB N°0")}, 5);
  EXPECT_EQ(Form->ItemIndex(), -1);
}

class SelectOnInstrumentsTest : public TMainWindowTest {};

TEST_F(SelectOnInstrumentsTest, CloseBoxOpensTheSelectedInstrument) {
  Create(2);
  int Asked = 0;
  TModalWatcher Watcher([&](QWidget *Modal) {
    if (Modal != SelectForm)
      return false;
    ++Asked;
    EXPECT_EQ(SelectForm->Items(), (QStringList{"USB N°0", "USB N°1"}));
    EXPECT_EQ(SelectForm->ItemIndex(), 0);
    SelectForm->SetItemIndex(1);
    SelectForm->close();
    return true;
  });
  Form->show();
  ASSERT_TRUE(WaitUntil([&] { return Form->DevicePresent; }));
  EXPECT_EQ(Asked, 1);
  EXPECT_EQ(Form->ZOL->Snapshot().SerialNumber, Instrument(1)->SerialNumber());
}

} // namespace
} // namespace zol::test
