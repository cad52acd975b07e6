// The maker's tab: hidden, yet kept current by every state update and its own handlers.
#include <QMessageBox>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include "WindowsTest.h"
#include "ui_Main.h"
#include "windows/About.h"
#include "windows/BackTrace.h"

namespace zol::test {
namespace {

using TMakerTab = TMainWindowTest;

TEST_F(TMakerTab, StateUpdatesFillTheDisplaysAndFlags) {
  Create(0);
  const struct {
    bool Tenths;
    float Measure;
    int SEGt;
    int Point;
    int SEGMesure;
  } Cases[] = {
      {true, 21.3f, 213, 1, 21}, {false, 21.3f, 21, 0, 21}, {false, 21.5f, 22, 0, 22},
      {false, 22.5f, 22, 0, 22}, {true, -5.5f, -55, 1, -6}, {false, 9999.0f, 9999, 0, 9999},
  };
  for (const auto &c : Cases) {
    SCOPED_TRACE(c.Measure);
    ui().CkDix->setChecked(c.Tenths);
    TZOLModel Model;
    Model.Measure = c.Measure;
    Model.RawValue = -1234;
    Model.Rt = 108.25f;
    Model.UseDisplay = c.Tenths;
    Model.UseE2PROM = !c.Tenths;
    Model.Relay1 = true;
    Model.Led2 = true;
    Form->ZOLUpdateState(Model);
    EXPECT_EQ(ui().SEGt->Nb(), c.SEGt);
    EXPECT_EQ(ui().SEGt->PointDecimal(), c.Point);
    EXPECT_EQ(ui().SEGMesure->Nb(), c.SEGMesure);
    EXPECT_EQ(ui().SEG->Nb(), -1234);
    EXPECT_EQ(ui().SEGRt->Nb(), 1082); // 1082.5 rounds to the even neighbour
    EXPECT_EQ(ui().SEGRt->PointDecimal(), 1);
    EXPECT_EQ(ui().CkUseDisplay->isChecked(), c.Tenths);
    EXPECT_EQ(ui().CkUseE2PROM->isChecked(), !c.Tenths);
    EXPECT_TRUE(ui().RALR1->Status());
    EXPECT_FALSE(ui().LEDALR1->LedStatus());
    EXPECT_FALSE(ui().RALR2->Status());
    EXPECT_TRUE(ui().LEDALR2->LedStatus());
  }
}

TEST_F(TMakerTab, CpuErrorLastsUntilTheNextStateUpdate) {
  Create(0);
  TZOLModel Model;
  Form->ZOLError(Model);
  EXPECT_TRUE(ui().CkCPUError->isChecked());
  Form->ZOLUpdateState(Model);
  EXPECT_FALSE(ui().CkCPUError->isChecked());
  {
    TModalWatcher Yes(
        [](QWidget *Modal) { return !TakeMessageBox(Modal, QMessageBox::Yes).isEmpty(); });
    Form->BtnRESET_MSPClick(); // ticked before the reset is asked for
  }
  EXPECT_TRUE(ui().CkCPUError->isChecked());
  Form->ZOLUpdateState(Model);
  EXPECT_FALSE(ui().CkCPUError->isChecked());
}

TEST_F(TMakerTab, PingLedShowsTheLastEcho) {
  Create(0);
  TZOLModel Model;
  Form->ZOLUpdateState(Model);
  EXPECT_TRUE(ui().PingLED->LedStatus());
  Model.PingError = true;
  Form->ZOLUpdateState(Model);
  EXPECT_FALSE(ui().PingLED->LedStatus());
  EXPECT_TRUE(ui().PingLED->isHidden());
  EXPECT_TRUE(ui().BtnRESET->isHidden());
  EXPECT_TRUE(ui().SpeedButton1->isHidden());
}

TEST_F(TMakerTab, InformationHintTellsWhetherTheUsbFirmwareIsProgrammed) {
  Create(0);
  const struct {
    const char *Info;
    const char *Hint;
  } Cases[] = {
      {"C1FFFF010400", "TUSB Programmé"},     {"C1FFFE010400", "TUSB Non programmé"},
      {"c1ffff010400", "TUSB Non programmé"}, {"C1FF", "TUSB Non programmé"},
      {"C1FFFF", "TUSB Programmé"},           {"", "?"},
  };
  for (const auto &c : Cases) {
    SCOPED_TRACE(c.Info);
    ui().EdInfo->setToolTip(QStringLiteral("?"));
    TZOLModel Model;
    Model.InfoText = c.Info;
    Form->ZOLUpdateInfo(Model);
    EXPECT_EQ(ui().EdInfo->text(), QLatin1String(c.Info));
    EXPECT_EQ(ui().EdInfo->toolTip(), QString::fromUtf8(c.Hint));
  }
}

TEST_F(TMakerTab, ButtonsReachTheInstrument) {
  Start(1);
  ui().EdInfo->setText(QStringLiteral("OLD"));
  Instrument()->SetTemperature(21.3f);
  // INFO: emptied and "?" at once, then the answer.
  Form->BtnGetInfoClick();
  EXPECT_TRUE(ui().EdInfo->text().isEmpty());
  EXPECT_EQ(ui().EdInfo->toolTip(), QStringLiteral("?"));
  ASSERT_TRUE(WaitUntil([this] { return ui().EdInfo->text().size() == 12; }));
  // The firmware questions: No sends nothing, Yes sends; the information shows the result.
  const struct {
    QToolButton *Button;
    const char *Question;
    TCommand Command;
    int Answer;
    const char *Hint;
  } Cases[] = {
      {ui().BtnErase, "Voulez vous vraiment effacer le firmware ?", TCommand::EraseFirmware,
       QMessageBox::No, "TUSB Programmé"},
      {ui().BtnErase, "Voulez vous vraiment effacer le firmware ?", TCommand::EraseFirmware,
       QMessageBox::Yes, "TUSB Non programmé"},
      {ui().BtnPRG, "Voulez vous vraiment programmer le firmware ?", TCommand::ProgramFirmware,
       QMessageBox::No, "TUSB Non programmé"},
      {ui().BtnPRG, "Voulez vous vraiment programmer le firmware ?", TCommand::ProgramFirmware,
       QMessageBox::Yes, "TUSB Programmé"},
  };
  for (const auto &c : Cases) {
    SCOPED_TRACE(c.Question);
    SCOPED_TRACE(c.Answer);
    QString Question;
    TModalWatcher Watcher([&](QWidget *Modal) {
      Question = TakeMessageBox(Modal, c.Answer);
      return !Question.isEmpty();
    });
    const auto Before = Instrument()->Snapshot().CommandCount(CodeOf(c.Command));
    QTest::mouseClick(c.Button, Qt::LeftButton);
    EXPECT_EQ(Question, QString::fromUtf8(c.Question));
    if (c.Answer == QMessageBox::Yes)
      EXPECT_TRUE(WaitUntil(
          [&] { return Instrument()->Snapshot().CommandCount(CodeOf(c.Command)) > Before; }));
    else
      EXPECT_EQ(Instrument()->Snapshot().CommandCount(CodeOf(c.Command)), Before);
    Form->BtnGetInfoClick();
    ASSERT_TRUE(WaitUntil([this] { return ui().EdInfo->text().size() == 12; }));
    EXPECT_EQ(ui().EdInfo->toolTip(), QString::fromUtf8(c.Hint));
  }
  // Ping: a good echo keeps the lamp lit.
  Form->SpeedButton1Click();
  Settle();
  EXPECT_TRUE(ui().PingLED->LedStatus());
  // Tenths on SEGt with the instrument's measurement.
  ui().CkDix->setChecked(true);
  Form->ZOL->SendCommand(CodeOf(TCommand::ReadState));
  ASSERT_TRUE(WaitUntil([this] { return ui().SEGt->Nb() == 213; }));
  EXPECT_EQ(ui().SEGt->PointDecimal(), 1);
  // The history window opens without being modal; the about box opens modally on the logo.
  QTest::mouseClick(ui().BtnBackTrace, Qt::LeftButton);
  EXPECT_TRUE(BackTraceForm->isVisible());
  EXPECT_FALSE(BackTraceForm->isModal());
  BackTraceForm->hide();
  bool AboutWasModal = false;
  {
    TModalWatcher Watcher([&](QWidget *Modal) {
      if (Modal != AboutBox)
        return false;
      AboutWasModal = true;
      AboutBox->reject();
      return true;
    });
    QTest::mouseDClick(ui().Image1, Qt::LeftButton);
  }
  EXPECT_TRUE(AboutWasModal);
  const auto Zero = Instrument()->Snapshot().CommandCount(CodeOf(TCommand::AdjustZero));
  QTest::mouseClick(ui().SpBtnZ, Qt::LeftButton);
  EXPECT_TRUE(WaitUntil(
      [&] { return Instrument()->Snapshot().CommandCount(CodeOf(TCommand::AdjustZero)) > Zero; }));
}

} // namespace
} // namespace zol::test
