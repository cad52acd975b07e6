// What a user meets outside the pages: the destructive questions, an instrument the system will
// not let the program open, the maker's tab on request.
#include <QAbstractButton>
#include <QMessageBox>
#include <QTest>

#include "WindowsTest.h"
#include "ui_Main.h"
#include "windows/ZOLCFG.h"

namespace zol::test {
namespace {

class TProduct : public TMainWindowTest {};

TEST_F(TProduct, DestructiveQuestionsDefaultToNo) {
  Start(1);
  ShowMakerTab(true);
  const struct {
    void (TMainForm::*Click)();
    TCommand Command;
  } Cases[] = {
      {&TMainForm::BtnEraseClick, TCommand::EraseFirmware},
      {&TMainForm::BtnPRGClick, TCommand::ProgramFirmware},
      {&TMainForm::BtnRESET_MSPClick, TCommand::ResetAll},
  };
  for (const auto &c : Cases) {
    SCOPED_TRACE(static_cast<int>(c.Command));
    bool DefaultIsNo = false;
    TModalWatcher Enter([&](QWidget *Modal) {
      auto *Box = qobject_cast<QMessageBox *>(Modal);
      if (Box == nullptr)
        return false;
      DefaultIsNo = Box->defaultButton() != nullptr &&
                    Box->defaultButton() == Box->button(QMessageBox::No);
      QTest::keyClick(Box, Qt::Key_Return); // the user presses Enter
      return true;
    });
    const auto Before = Instrument()->CommandCount(CodeOf(c.Command));
    (Form.get()->*c.Click)();
    EXPECT_EQ(Enter.Handled(), 1);
    EXPECT_TRUE(DefaultIsNo);
    Settle();
    EXPECT_EQ(Instrument()->CommandCount(CodeOf(c.Command)), Before);
  }
}

TEST_F(TProduct, ScanNamesTheUdevRuleForAnInstrumentItMayNotOpen) {
  Create(1);
  Instrument()->SetPermissionDenied(true);
  QString Message;
  TModalWatcher Watcher([&](QWidget *Modal) {
    Message = TakeMessageBox(Modal, QMessageBox::Ok);
    return !Message.isEmpty();
  });
  Form->show();
  ASSERT_TRUE(WaitUntil([&] { return !Message.isEmpty(); }));
  EXPECT_TRUE(Message.contains(QStringLiteral("sim:0"))) << Message.toStdString();
  EXPECT_TRUE(Message.contains(QStringLiteral("70-rw8.rules")));
  EXPECT_TRUE(Message.contains(QStringLiteral("udevadm control --reload")));
  EXPECT_FALSE(Form->DevicePresent);
  // Allowed again: the next scan opens it and says nothing.
  Instrument()->SetPermissionDenied(false);
  Message.clear();
  Form->BtnScanClick();
  EXPECT_TRUE(WaitUntil([this] { return Form->DevicePresent; }));
  EXPECT_TRUE(Message.isEmpty());
}

TEST_F(TProduct, NoInstrumentAtAllSaysNothing) {
  Create(0);
  TModalWatcher Watcher([](QWidget *Modal) { return !TakeMessageBox(Modal, QMessageBox::Ok).isEmpty(); });
  Form->show();
  Form->BtnScanClick();
  QTest::qWait(100);
  EXPECT_EQ(Watcher.Handled(), 0);
}

TEST_F(TProduct, MakerTabOnRequestOnly) {
  Start(1);
  const int Maker = ui().TabAL1->indexOf(ui().TabRW8);
  EXPECT_FALSE(ui().TabAL1->isTabVisible(Maker));
  ShowMakerTab(true);
  EXPECT_TRUE(ui().TabAL1->isTabVisible(Maker));
  ui().TabAL1->setCurrentIndex(Maker);
  EXPECT_EQ(ui().TabAL1->currentIndex(), Maker);
  ShowMakerTab(false);
  EXPECT_FALSE(ui().TabAL1->isTabVisible(Maker));
  EXPECT_EQ(ui().TabAL1->currentIndex(), 0);
}

} // namespace
} // namespace zol::test
