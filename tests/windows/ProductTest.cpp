// What a user meets outside the pages: the destructive questions, an instrument the system will
// not let the program open, the maker's tab on request.
#include <QAbstractButton>
#include <QMessageBox>
#include <QTest>

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSlider>
#include <QSpinBox>
#include <QTemporaryDir>

#include "WindowsTest.h"
#include "protocol/AccessHint.h"
#include "ui_Main.h"
#include "windows/Select.h"
#include "windows/SimControl.h"
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
      DefaultIsNo =
          Box->defaultButton() != nullptr && Box->defaultButton() == Box->button(QMessageBox::No);
      QTest::keyClick(Box, Qt::Key_Return); // the user presses Enter
      return true;
    });
    const auto Before = Instrument()->Snapshot().CommandCount(CodeOf(c.Command));
    (Form.get()->*c.Click)();
    EXPECT_EQ(Enter.Handled(), 1);
    EXPECT_TRUE(DefaultIsNo);
    Settle();
    EXPECT_EQ(Instrument()->Snapshot().CommandCount(CodeOf(c.Command)), Before);
  }
}

TEST_F(TProduct, ScanGivesTheSystemsHintForAnInstrumentItMayNotOpen) {
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
  // The system's own hint: the udev rule on Linux, the other program or the driver on Windows.
  EXPECT_TRUE(Message.contains(QString::fromStdString(AccessHint().French)))
      << Message.toStdString();
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
  TModalWatcher Watcher(
      [](QWidget *Modal) { return !TakeMessageBox(Modal, QMessageBox::Ok).isEmpty(); });
  Form->show();
  Form->BtnScanClick();
  QTest::qWait(100);
  EXPECT_EQ(Watcher.Handled(), 0);
}

TEST_F(TProduct, MakerTabOnRequestOnly) {
  char Program[] = "zolcfg", MakerOption[] = "--maker", Other[] = "-maker";
  char *WithMaker[] = {Program, MakerOption, nullptr};
  char *WithOther[] = {Program, Other, nullptr};
  EXPECT_TRUE(MakerRequested(2, WithMaker));
  EXPECT_FALSE(MakerRequested(2, WithOther));
  EXPECT_FALSE(MakerRequested(1, WithMaker));
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

TEST_F(TProduct, DemoControlsChangeWhatTheConfiguratorShows) {
  Start(1);
  TSimControlForm Control(*Platform);
  Control.show();

  // Temperature pinned by the slider.
  Control.CkDrift->setChecked(false);
  Control.SlTemperature->setValue(253);
  EXPECT_TRUE(WaitUntil([this] { return ui().SEGMesure->Nb() == 25; }));
  // Sensor failure: the out-of-range pattern.
  Control.CkSensorFailure->setChecked(true);
  EXPECT_TRUE(WaitUntil([this] { return ui().SEGMesure->Nb() > 999; }));
  Control.CkSensorFailure->setChecked(false);
  EXPECT_TRUE(WaitUntil([this] { return ui().SEGMesure->Nb() == 25; }));
  // Error answers: the CPU error box.
  Control.CkErrorAnswers->setChecked(true);
  EXPECT_TRUE(WaitUntil([this] { return ui().CkCPUError->isChecked(); }));
  Control.CkErrorAnswers->setChecked(false);
  EXPECT_TRUE(WaitUntil([this] { return !ui().CkCPUError->isChecked(); }));
  // Report period, lost commands, corrupted reports reach the instrument.
  Control.SpReportPeriod->setValue(5);
  EXPECT_EQ(Instrument()->LinkState().ReportPeriod, 5);
  Control.SpCorruptShare->setValue(50);
  EXPECT_TRUE(WaitUntil([this] { return Instrument()->Snapshot().ReportsCorrupted > 0; }));
  Control.SpCorruptShare->setValue(0);
  Control.SpDropShare->setValue(50);
  EXPECT_TRUE(WaitUntil([this] {
    Form->ZOL->SendCommand(CodeOf(TCommand::ReadState));
    return Instrument()->Snapshot().CommandsDropped > 0;
  }));
  Control.SpDropShare->setValue(0);
  // A password locks the instrument: the send rows go grey; none unlocks it.
  Control.EdPassword->setText(QStringLiteral("SECRET"));
  QTest::mouseClick(Control.BtnLock, Qt::LeftButton);
  EXPECT_TRUE(Instrument()->Snapshot().WriteLocked);
  EXPECT_TRUE(WaitUntil([this] { return !ui().BtnWR_TAG->isEnabled(); }));
  QTest::mouseClick(Control.BtnNoPassword, Qt::LeftButton);
  EXPECT_FALSE(Instrument()->Snapshot().WriteLocked);
  EXPECT_TRUE(WaitUntil([this] { return ui().BtnWR_TAG->isEnabled(); }));
  // The maker's tab on request.
  Control.CkMakerTab->setChecked(true);
  EXPECT_TRUE(ui().TabAL1->isTabVisible(ui().TabAL1->indexOf(ui().TabRW8)));
  // Unplugged: the identity shows "???".
  Control.CkPresent->setChecked(false);
  EXPECT_TRUE(WaitUntil([this] { return ui().LbVendor->text() == QStringLiteral("???"); }));
  // Refused by the system: the next scan gives the system's hint.
  Control.CkPermissionDenied->setChecked(true);
  Control.CkPresent->setChecked(true);
  QString Refused;
  {
    TModalWatcher Ok([&](QWidget *Modal) {
      Refused = TakeMessageBox(Modal, QMessageBox::Ok);
      return !Refused.isEmpty();
    });
    Form->BtnScanClick();
  }
  EXPECT_TRUE(Refused.contains(QString::fromStdString(AccessHint().French)));
  Control.CkPermissionDenied->setChecked(false);
  // A second instrument: the next scan asks which one.
  Control.CkSecond->setChecked(true);
  EXPECT_EQ(Control.CbInstrument->count(), 2);
  QStringList Lines;
  TModalWatcher Choose([&](QWidget *Modal) {
    if (Modal != SelectForm)
      return false;
    Lines = SelectForm->Items();
    SelectForm->BtnOKClick();
    return true;
  });
  Form->BtnScanClick();
  EXPECT_EQ(Lines.size(), 2);
  Control.CkSecond->setChecked(false);
  EXPECT_EQ(Control.CbInstrument->count(), 1);
}

// ZOLCFG_TRACE: the frames of the session reach the file while it runs, one line each in
// zolctl's format; a file that cannot be opened leaves the program on its own platform.
TEST(ProgramTrace, WritesTheSessionsFramesToTheFileAsTheyGo) {
  QTemporaryDir Dir;
  ASSERT_TRUE(Dir.isValid());
  const QString Path = Dir.filePath(QStringLiteral("trace.txt"));
  TVirtualRW8Options Options;
  Options.ReportPeriodMs = 2;
  SimPlatform Sim(1, Options);
  const TProgramTrace None(Sim, Dir.filePath(QStringLiteral("none/trace.txt")).toLocal8Bit(),
                           "windows_test");
  EXPECT_FALSE(None.Tracing());
  EXPECT_EQ(&None.Platform(), &Sim);

  const auto ReadLines = [&Path] {
    QFile File(Path);
    if (!File.open(QIODevice::ReadOnly | QIODevice::Text)) // Windows ends the lines with CR LF
      return QStringList();
    return QString::fromLatin1(File.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  };
  const TProgramTrace Trace(Sim, Path.toLocal8Bit(), "windows_test");
  ASSERT_TRUE(Trace.Tracing());
  {
    TProgramWindows Windows(Trace.Platform());
    MainForm->show();
    ASSERT_TRUE(WaitUntil([] { return MainForm->DevicePresent; }));
    // Both ways, while the session runs.
    ASSERT_TRUE(WaitUntil([&] {
      const QStringList Lines = ReadLines();
      return !Lines.filter(QStringLiteral("-> ")).isEmpty() &&
             !Lines.filter(QStringLiteral("<- ")).isEmpty();
    }));
  } // the worker has stopped: the last line is whole
  const QRegularExpression Frame(QStringLiteral("^(-> ([0-9A-F]{2} ){7}|<- ([0-9A-F]{2} ){11})"
                                                "[0-9A-F]{2}$"));
  for (const QString &Line : ReadLines())
    EXPECT_TRUE(Frame.match(Line).hasMatch()) << Line.toStdString();
}

} // namespace
} // namespace zol::test
