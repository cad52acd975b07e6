// The main window on simulated instruments: scanning, connection, pages, sends and re-reads,
// the write lock, unplugging, parameter files and the errors a frame cannot carry.
#include <QAction>
#include <QContextMenuEvent>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLocale>
#include <QMessageBox>
#include <QTabBar>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include "WindowsTest.h"
#include "protocol/ParamFile.h"
#include "ui_Main.h"
#include "windows/BackTrace.h"
#include "windows/Language.h"
#include "windows/Pass.h"
#include "windows/Select.h"
#include "windows/ZOLCFG.h"

namespace zol::test {
namespace {

using TMainWindow = TMainWindowTest;

/// Clicks the tab of page Index.
void ClickTab(QTabWidget *Tabs, int Index) {
  QTabBar *Bar = Tabs->tabBar();
  QTest::mouseClick(Bar, Qt::LeftButton, {}, Bar->tabRect(Index).center());
}

/// Opens the send button's context menu and picks entry Entry ("Envoyer" 0, "Relire" 1).
void PickFromMenu(TBitBtnAlt *Button, int Entry) {
  QContextMenuEvent Event(QContextMenuEvent::Mouse, QPoint(5, 5),
                          Button->mapToGlobal(QPoint(5, 5)));
  QCoreApplication::sendEvent(Button, &Event);
  QMenu *Menu = Button->PopupMenu();
  ASSERT_NE(Menu, nullptr);
  Menu->actions().at(Entry)->trigger();
  Menu->hide();
}

TEST_F(TMainWindow, WithoutInstrumentPageZeroStaysAndShowsUnknownIdentity) {
  Start(0);
  EXPECT_FALSE(Form->DevicePresent);
  EXPECT_EQ(ui().TabAL1->currentIndex(), 0);
  EXPECT_FALSE(ui().led1->LedStatus());
  for (QLabel *Value : {ui().LbVendor, ui().LbProduct, ui().LbSerial})
    EXPECT_EQ(Value->text(), QStringLiteral("???"));
  EXPECT_EQ(Form->windowTitle(), QStringLiteral("Configurateur ZOLCFG RW8"));
  EXPECT_FALSE(ui().TabAL1->isTabVisible(4));
  // Refused silently: by mouse on each tab, by the keyboard's page switching.
  for (int Page : {1, 2, 3}) {
    ClickTab(ui().TabAL1, Page);
    EXPECT_EQ(ui().TabAL1->currentIndex(), 0) << Page;
  }
  QTest::keyClick(ui().TabAL1, Qt::Key_Tab, Qt::ControlModifier);
  QTest::keyClick(ui().TabAL1->tabBar(), Qt::Key_Right);
  EXPECT_EQ(ui().TabAL1->currentIndex(), 0);
  // Initial state of the controls.
  EXPECT_FALSE(ui().BtnLoad->isEnabled());
  EXPECT_FALSE(ui().BtnSave->isEnabled());
  EXPECT_FALSE(ui().BtnUnlock->isEnabled());
  EXPECT_FALSE(ui().EdTag->isEnabled());
  EXPECT_FALSE(ui().BtnWR_TAG->isEnabled());
  EXPECT_FALSE(ui().LbWR_TAG->isEnabled());
  EXPECT_TRUE(ui().BtnScan->isEnabled());
  EXPECT_EQ(ui().EdTag->text(), QStringLiteral("0123456789ABCDEF"));
  EXPECT_EQ(ui().EdFilter->maskedText(), QStringLiteral(" 0,0"));
  EXPECT_EQ(ui().EdAlr1->maskedText(), QStringLiteral("   "));
  EXPECT_TRUE(ui().RdRelNo1->isChecked());
  EXPECT_TRUE(ui().RdDefNo2->isChecked());
  EXPECT_TRUE(ui().RdLedNa1->isChecked());
  // A later scan finds the instrument plugged in meanwhile.
  Platform->AddInstrument(SimPlatform::OptionsFor(0, {}));
  QTest::mouseClick(ui().BtnScan, Qt::LeftButton);
  ASSERT_TRUE(WaitUntil([this] { return Form->DevicePresent; }));
}

TEST(Application, CaptionsGetNothingAppendedAndAnEmptyOneShowsTheTitle) {
  const QString Saved = QCoreApplication::applicationName();
  PrepareApplication();
  SetFatalMessageHook(nullptr);
  const QString Name = QCoreApplication::applicationName();
  // On X11 Qt appends the display name to every caption once one is set; unset, it follows the
  // application's name.
  QCoreApplication::setApplicationName(QStringLiteral("probe"));
  const QString Display = QGuiApplication::applicationDisplayName();
  QCoreApplication::setApplicationName(Saved);
  EXPECT_EQ(Display, QStringLiteral("probe"));
  // The name is what a caption-less message box shows.
  EXPECT_EQ(Name, QStringLiteral("Utilitaire de configuration RW8"));
}

TEST_F(TMainWindow, WithOneInstrumentItOpensAtOnceAndShowsItsIdentity) {
  Start(1);
  EXPECT_TRUE(ui().led1->LedStatus());
  EXPECT_EQ(ui().LbVendor->text(), QStringLiteral("KOVA"));
  EXPECT_EQ(ui().LbProduct->text(), QStringLiteral("RW8"));
  EXPECT_EQ(ui().LbSerial->text(), QString::fromStdString(Instrument()->SerialNumber()));
  for (QWidget *Enabled :
       {static_cast<QWidget *>(ui().BtnLoad), static_cast<QWidget *>(ui().BtnSave),
        static_cast<QWidget *>(ui().BtnUnlock)})
    EXPECT_TRUE(Enabled->isEnabled()) << Enabled->objectName().toStdString();
  // The tag read at connection, and the tag edit enabled with it.
  ASSERT_TRUE(WaitUntil([this] { return ui().EdTag->isEnabled(); }));
  EXPECT_EQ(ui().EdTag->text(), QString::fromStdString(Instrument()->Snapshot().Settings.Tag));
  EXPECT_TRUE(ui().BtnWR_TAG->isEnabled());
}

TEST_F(TMainWindow, WithTwoInstrumentsTheUserChoosesInTheSelectionDialog) {
  Create(2);
  QStringList Lines;
  int Selected = -2;
  TModalWatcher Watcher([&](QWidget *Modal) {
    auto *Dialog = qobject_cast<TSelectForm *>(Modal);
    if (Dialog == nullptr)
      return false;
    Lines = Dialog->Items();
    Selected = Dialog->ItemIndex();
    Dialog->SetItemIndex(1);
    Dialog->reject(); // the close box: the line selected counts all the same
    return true;
  });
  Form->show();
  EXPECT_EQ(Lines, (QStringList{QStringLiteral("USB N°0"), QStringLiteral("USB N°1")}));
  EXPECT_EQ(Selected, 0);
  ASSERT_TRUE(WaitUntil([this] { return Form->DevicePresent; }));
  EXPECT_EQ(ui().LbSerial->text(), QString::fromStdString(Instrument(1)->SerialNumber()));
}

TEST_F(TMainWindow, EachPageReadsItsGroupWhenShown) {
  Start(1);
  const struct {
    int Page;
    TCommand Read;
  } Cases[] = {{1, TCommand::ReadFilter},
               {2, TCommand::ReadAlarm1},
               {3, TCommand::ReadAlarm2},
               {2, TCommand::ReadAlarm1}};
  for (const auto &c : Cases) {
    const auto Before = Instrument()->Snapshot().CommandCount(CodeOf(c.Read));
    ClickTab(ui().TabAL1, c.Page);
    EXPECT_EQ(ui().TabAL1->currentIndex(), c.Page);
    EXPECT_TRUE(WaitUntil([&] {
      return Instrument()->Snapshot().CommandCount(CodeOf(c.Read)) > Before;
    })) << "page "
        << c.Page;
  }
  // The maker's page stays out of reach of the keyboard's page switching.
  ClickTab(ui().TabAL1, 3);
  QTest::keyClick(ui().TabAL1, Qt::Key_Tab, Qt::ControlModifier);
  EXPECT_NE(ui().TabAL1->currentIndex(), 4);
  EXPECT_FALSE(ui().TabAL1->isTabVisible(4));
}

TEST_F(TMainWindow, SendsAndReadsBackThroughTheButtonsAndTheMenu) {
  Start(1);
  // One menu for the four buttons: "Envoyer", the default entry, then "Relire".
  ASSERT_EQ(Form->PopupMenu->actions().size(), 2);
  EXPECT_EQ(Form->PopupMenu->actions()[0]->text(), QStringLiteral("Envoyer"));
  EXPECT_EQ(Form->PopupMenu->actions()[1]->text(), QStringLiteral("Relire"));
  EXPECT_EQ(Form->PopupMenu->defaultAction(), Form->Envoyer1);
  for (TBitBtnAlt *Button : {ui().BtnWR_TAG, ui().BtnWR_Filter, ui().BtnWR_Alr1, ui().BtnWR_Alr2})
    EXPECT_EQ(Button->PopupMenu(), Form->PopupMenu);
  ASSERT_TRUE(WaitUntil([this] { return ui().EdTag->isEnabled(); }));
  for (bool ByMenu : {false, true}) {
    SCOPED_TRACE(ByMenu ? "context menu" : "button");
    const QString Tag = ByMenu ? QStringLiteral("BY MENU") : QStringLiteral("by button");
    ui().EdTag->setText(QString());
    QTest::keyClicks(ui().EdTag, Tag);
    EXPECT_EQ(ui().EdTag->text(), Tag.toUpper()); // forced to upper case as typed
    ui().EdFilter->setMaskedText(ByMenu ? QStringLiteral("3,5") : QStringLiteral("12,0"));
    ui().EdAlr1->setMaskedText(QStringLiteral("-12"));
    ui().EdHys1->setMaskedText(QStringLiteral("2"));
    ui().EdDel1->setMaskedText(QStringLiteral("2,5"));
    ui().RdRelNf1->setChecked(true);
    ui().RdDefNf1->setChecked(ByMenu);
    ui().RdLedNe1->setChecked(true);
    ui().EdAlr2->setMaskedText(QStringLiteral("150"));
    ui().EdHys2->setMaskedText(QStringLiteral("5"));
    ui().EdDel2->setMaskedText(QStringLiteral("0,3"));
    ui().RdRelNo2->setChecked(true);
    ui().RdLedNa2->setChecked(true);
    for (TBitBtnAlt *Button :
         {ui().BtnWR_TAG, ui().BtnWR_Filter, ui().BtnWR_Alr1, ui().BtnWR_Alr2}) {
      const auto Before = Instrument()->Snapshot().CommandsCarriedOut;
      if (ByMenu)
        PickFromMenu(Button, 0);
      else
        QTest::mouseClick(Button, Qt::LeftButton);
      // Each send ends with the group read back and the state asked for again.
      ASSERT_TRUE(
          WaitUntil([&] { return Instrument()->Snapshot().CommandsCarriedOut >= Before + 2; }));
      Settle();
    }
    const TSimSettings Held = Instrument()->Snapshot().Settings;
    EXPECT_EQ(QString::fromStdString(Held.Tag).trimmed(), Tag.toUpper());
    EXPECT_FLOAT_EQ(Held.FilterSeconds(), ByMenu ? 3.5f : 12.0f);
    EXPECT_EQ(Held.Alarm1.SetPoint, -120);
    EXPECT_EQ(Held.Alarm1.Hysteresis, 20);
    EXPECT_EQ(Held.Alarm1.Delay, 25);
    EXPECT_EQ(Held.Alarm1.Flags & 0x13, ByMenu ? 0x13 : 0x11);
    EXPECT_EQ(Held.Alarm2.SetPoint, 1500);
    EXPECT_EQ(Held.Alarm2.Hysteresis, 50);
    EXPECT_EQ(Held.Alarm2.Delay, 3);
    EXPECT_EQ(Held.Alarm2.Flags & 0x13, 0);
  }
  // "Relire": fields changed in the window come back as the instrument holds them.
  ui().EdTag->setText(QStringLiteral("CHANGED"));
  ui().EdFilter->setMaskedText(QStringLiteral("9,9"));
  ui().EdAlr1->setMaskedText(QStringLiteral("77"));
  ui().RdRelNo1->setChecked(true);
  ui().EdAlr2->setMaskedText(QStringLiteral("77"));
  // One at a time, as a user would: the instrument answers only the last command it received.
  PickFromMenu(ui().BtnWR_TAG, 1);
  EXPECT_TRUE(
      WaitUntil([this] { return ui().EdTag->text().trimmed() == QStringLiteral("BY MENU"); }));
  PickFromMenu(ui().BtnWR_Filter, 1);
  EXPECT_TRUE(WaitUntil([this] { return ui().EdFilter->maskedText() == QStringLiteral(" 3,5"); }));
  PickFromMenu(ui().BtnWR_Alr1, 1);
  EXPECT_TRUE(WaitUntil([this] { return ui().EdAlr1->maskedText() == QStringLiteral("-12"); }));
  EXPECT_TRUE(ui().RdRelNf1->isChecked());
  EXPECT_FALSE(ui().RdRelNo1->isChecked());
  PickFromMenu(ui().BtnWR_Alr2, 1);
  EXPECT_TRUE(WaitUntil([this] { return ui().EdAlr2->maskedText() == QStringLiteral("150"); }));
}

TEST_F(TMainWindow, ASetPointOfTwentyTwoAndAHalfShowsAsTwentyThree) {
  Start(1);
  TZOLAlarm Alarm;
  Alarm.SetPoint = 22.5f;
  Alarm.Hysteresis = -1.5f;
  Alarm.Delay = 0.5f;
  Form->ZOL->WriteAlarm1(Alarm);
  ASSERT_TRUE(WaitUntil([this] { return ui().EdAlr1->maskedText() == QStringLiteral(" 23"); }));
  EXPECT_EQ(ui().EdHys1->maskedText(), QStringLiteral(" -2"));
  EXPECT_EQ(ui().EdDel1->maskedText(), QStringLiteral(" 0,5"));
  // Sending the page sends what is shown: 23.
  QTest::mouseClick(ui().BtnWR_Alr1, Qt::LeftButton);
  ASSERT_TRUE(
      WaitUntil([this] { return Instrument()->Snapshot().Settings.Alarm1.SetPoint == 230; }));
}

TEST_F(TMainWindow, DelaysFollowTheRegionalSeparator) {
  const struct {
    QLocale Locale;
    const char *Mask;
    const char *Shown;
    const char *Typed;
    int SentTenths;
  } Cases[] = {
      {QLocale(QLocale::English, QLocale::UnitedStates), "!90.0;1;_", " 2.5", "7.5", 75},
      {QLocale(QLocale::French, QLocale::France), "!90,0;1;_", " 2,5", "4,5", 45},
  };
  Start(1);
  for (const auto &c : Cases) {
    SCOPED_TRACE(c.Mask);
    QLocale::setDefault(c.Locale);
    TZOLAlarm Alarm;
    Alarm.Delay = 2.5f;
    Form->ZOL->WriteAlarm2(Alarm);
    ASSERT_TRUE(WaitUntil([&] { return ui().EdDel2->maskedText() == QLatin1String(c.Shown); }));
    EXPECT_EQ(ui().EdDel2->editMask(), QLatin1String(c.Mask));
    // Typed by the user over the whole field, then sent.
    ui().EdDel2->setFocus();
    ui().EdDel2->selectAll();
    QTest::keyClicks(ui().EdDel2, QLatin1String(c.Typed));
    QTest::mouseClick(ui().BtnWR_Alr2, Qt::LeftButton);
    EXPECT_TRUE(WaitUntil([&] {
      return Instrument()->Snapshot().Settings.Alarm2.Delay == c.SentTenths;
    })) << int(Instrument()->Snapshot().Settings.Alarm2.Delay);
  }
  QLocale::setDefault(QLocale(QLocale::French, QLocale::France));
}

TEST_F(TMainWindow, ABlankOrLoneMinusFieldIsSentAsZero) {
  Start(1);
  TZOLAlarm Alarm;
  Alarm.SetPoint = 40.0f;
  Alarm.Hysteresis = 4.0f;
  Form->ZOL->WriteAlarm1(Alarm);
  ASSERT_TRUE(
      WaitUntil([this] { return Instrument()->Snapshot().Settings.Alarm1.SetPoint == 400; }));
  for (const char *Typed : {"", "-"}) {
    SCOPED_TRACE(Typed);
    ui().EdAlr1->setMaskedText(QString());
    ui().EdAlr1->setCursorPosition(0);
    QTest::keyClicks(ui().EdAlr1, QLatin1String(Typed));
    ui().EdHys1->setMaskedText(QStringLiteral("3"));
    Form->BtnWR_Alr1Click();
    // Only the field that does not convert is 0; the hysteresis goes as typed.
    ASSERT_TRUE(
        WaitUntil([this] { return Instrument()->Snapshot().Settings.Alarm1.Hysteresis == 30; }));
    EXPECT_EQ(Instrument()->Snapshot().Settings.Alarm1.SetPoint, 0);
    Alarm.Hysteresis = 4.0f;
    Form->ZOL->WriteAlarm1(Alarm);
    ASSERT_TRUE(
        WaitUntil([this] { return Instrument()->Snapshot().Settings.Alarm1.Hysteresis == 40; }));
  }
}

TEST_F(TMainWindow, EveryAlarmUpdateShowsExactlyItsThreeFlagsWhateverWasSelected) {
  Create(0);
  for (int Which : {1, 2}) {
    const bool One = Which == 1;
    // Per flag: the button standing for "set", the one standing for "clear".
    const std::pair<QRadioButton *, QRadioButton *> Pairs[] = {
        {One ? ui().RdRelNf1 : ui().RdRelNf2, One ? ui().RdRelNo1 : ui().RdRelNo2},
        {One ? ui().RdDefNf1 : ui().RdDefNf2, One ? ui().RdDefNo1 : ui().RdDefNo2},
        {One ? ui().RdLedNe1 : ui().RdLedNe2, One ? ui().RdLedNa1 : ui().RdLedNa2}};
    for (int Before = 0; Before < 8; ++Before) {
      for (int Flags = 0; Flags < 8; ++Flags) {
        for (int f = 0; f < 3; ++f)
          ((Before >> f) & 1 ? Pairs[f].first : Pairs[f].second)->setChecked(true);
        TZOLModel Snapshot;
        TZOLAlarm &Alarm = One ? Snapshot.Settings.Alarm1 : Snapshot.Settings.Alarm2;
        Alarm.ContactNC = Flags & 1;
        Alarm.FailClosed = (Flags >> 1) & 1;
        Alarm.LedBelow = (Flags >> 2) & 1;
        One ? Form->ZOLUpdateAlarm1(Snapshot) : Form->ZOLUpdateAlarm2(Snapshot);
        for (int f = 0; f < 3; ++f) {
          const bool Set = (Flags >> f) & 1;
          EXPECT_EQ(Pairs[f].first->isChecked(), Set)
              << "alarm " << Which << " flag " << f << " from " << Before << " to " << Flags;
          EXPECT_EQ(Pairs[f].second->isChecked(), !Set)
              << "alarm " << Which << " flag " << f << " from " << Before << " to " << Flags;
        }
        // And the page sends what it shows.
        const TZOLAlarm Sent = Form->AlarmOfPage(Which);
        EXPECT_EQ(Sent.ContactNC | Sent.FailClosed << 1 | Sent.LedBelow << 2, Flags);
      }
    }
  }
}

TEST_F(TMainWindow, TheTagTakesOnlyWhatTheInstrumentKeeps) {
  Create(0);
  const struct {
    const char *Typed; // UTF-8
    const char *Shown;
  } Cases[] = {
      {"abc 123", "ABC 123"}, {"\xc3\xa9t\xc3\xa9", "T"},       {"a~b{c}", "ABC"},
      {"_^]@?!", "_^]@?!"},   {"\xc3\x9f\xe2\x82\xac\x7f", ""},
  };
  ui().EdTag->setEnabled(true);
  for (const auto &c : Cases) {
    ui().EdTag->setText(QString());
    // As a keyboard sends them, accented letters included.
    for (const QChar Char : QString::fromUtf8(c.Typed)) {
      QKeyEvent Key(QEvent::KeyPress, 0, Qt::NoModifier, QString(Char));
      QCoreApplication::sendEvent(ui().EdTag, &Key);
    }
    EXPECT_EQ(ui().EdTag->text(), QString::fromUtf8(c.Shown)) << c.Typed;
    // Pasted text goes through the same check.
    ui().EdTag->setText(QString());
    ui().EdTag->insert(QString::fromUtf8(c.Typed));
    EXPECT_EQ(ui().EdTag->text(), QString::fromUtf8(c.Shown)) << c.Typed;
  }
}

TEST_F(TMainWindow, TheWriteLockDisablesTheSendControlsUntilAnUnlockedUpdate) {
  Start(1);
  const auto LockDependent = [this] {
    return std::vector<QWidget *>{ui().BtnWR_TAG,  ui().BtnWR_Filter, ui().BtnWR_Alr1,
                                  ui().BtnWR_Alr2, ui().LbWR_TAG,     ui().LbWR_Filter,
                                  ui().LbWR_Alr1,  ui().LbWR_Alr2,    ui().BtnLoad,
                                  ui().SpBtnZ,     ui().SpBtnPE};
  };
  ASSERT_TRUE(WaitUntil([&] { return ui().BtnWR_Alr1->isEnabled(); }));
  Form->ZOL->ChangePassword("SECRET");
  ASSERT_TRUE(WaitUntil([this] { return Instrument()->Snapshot().Password == "SECRET  "; }));
  Form->ZOL->Reset(); // the instrument restarts locked
  ASSERT_TRUE(WaitUntil([this] { return Instrument()->Snapshot().WriteLocked; }));
  Form->ZOL->SendCommand(CodeOf(TCommand::ReadState));
  ASSERT_TRUE(WaitUntil([this] { return ui().CkWriteLock->isChecked(); }));
  for (QWidget *Control : LockDependent())
    EXPECT_FALSE(Control->isEnabled()) << Control->objectName().toStdString();
  EXPECT_TRUE(ui().BtnSave->isEnabled());
  EXPECT_TRUE(ui().BtnUnlock->isEnabled());
  EXPECT_FALSE(PassForm->GrChangePW->isEnabled());
  EXPECT_FALSE(PassForm->ImgLock->isHidden());
  Form->ZOL->Unlock("SECRET");
  ASSERT_TRUE(WaitUntil([this] { return !ui().CkWriteLock->isChecked(); }));
  for (QWidget *Control : LockDependent())
    EXPECT_TRUE(Control->isEnabled()) << Control->objectName().toStdString();
  EXPECT_TRUE(PassForm->GrChangePW->isEnabled());
  EXPECT_TRUE(PassForm->ImgLock->isHidden());
}

TEST_F(TMainWindow, UnpluggingOnPageTwoBringsPageZeroBack) {
  Start(1);
  ClickTab(ui().TabAL1, 2);
  ASSERT_EQ(ui().TabAL1->currentIndex(), 2);
  // The page's read is answered first (factory set point 30 °C).
  ASSERT_TRUE(WaitUntil([this] { return ui().EdAlr1->maskedText() == QStringLiteral(" 30"); }));
  Settle();
  ui().EdAlr1->setMaskedText(QStringLiteral("42"));
  ui().EdInfo->setText(QStringLiteral("C1FFFF010400"));
  // The password dialog is open when the instrument goes.
  bool DialogWasOpen = false;
  TModalWatcher Watcher([&](QWidget *Modal) {
    if (Modal != PassForm || DialogWasOpen)
      return false;
    DialogWasOpen = true;
    Instrument()->SetPresent(false);
    return true;
  });
  Form->_BtnUnlockClick(); // returns when the dialog has closed
  EXPECT_TRUE(DialogWasOpen);
  ASSERT_TRUE(WaitUntil([this] { return !Form->DevicePresent; }));
  EXPECT_FALSE(PassForm->isVisible());
  EXPECT_EQ(ui().TabAL1->currentIndex(), 0);
  EXPECT_FALSE(ui().led1->LedStatus());
  for (QLabel *Value : {ui().LbVendor, ui().LbProduct, ui().LbSerial})
    EXPECT_EQ(Value->text(), QStringLiteral("???"));
  EXPECT_TRUE(ui().EdInfo->text().isEmpty());
  for (QWidget *Control : std::vector<QWidget *>{ui().BtnWR_TAG, ui().BtnWR_Filter, ui().BtnWR_Alr1,
                                                 ui().BtnWR_Alr2, ui().LbWR_Alr1, ui().BtnLoad,
                                                 ui().BtnSave, ui().EdTag, ui().BtnUnlock})
    EXPECT_FALSE(Control->isEnabled()) << Control->objectName().toStdString();
  EXPECT_EQ(ui().EdAlr1->maskedText(), QStringLiteral(" 42")); // values stay as they were
  ClickTab(ui().TabAL1, 2);
  EXPECT_EQ(ui().TabAL1->currentIndex(), 0);
  // Plugged in again under the same path: connected again without a scan.
  Instrument()->SetPresent(true);
  ASSERT_TRUE(WaitUntil([this] { return Form->DevicePresent; }));
  EXPECT_EQ(ui().LbVendor->text(), QStringLiteral("KOVA"));
}

TEST_F(TMainWindow, QuittingWhileChainsRunStopsTheInstrumentAndClosesTheHistory) {
  Start(1);
  // A read-all that ends asks where to save: the user cancels. Chains cut short by the next
  // one are reported in message boxes: the user closes them.
  QStringList Messages;
  TModalWatcher Watcher([&](QWidget *Modal) {
    auto *Dialog = qobject_cast<QFileDialog *>(Modal);
    if (Dialog != nullptr)
      static_cast<QDialog *>(Dialog)->reject();
    const QString Text = TakeMessageBox(Modal, QMessageBox::Ok);
    if (!Text.isEmpty())
      Messages << Text;
    return Dialog != nullptr || !Text.isEmpty();
  });
  BackTraceForm->show();
  for (int i = 0; i < 3; ++i) {
    Form->ZOL->ReadAll();
    Form->ZOL->WriteAll();
  }
  QTest::mouseClick(ui().BtnQuit, Qt::LeftButton);
  EXPECT_FALSE(Form->isVisible());
  EXPECT_FALSE(BackTraceForm->isVisible());
  // The worker is stopped: the instrument hears nothing more.
  const auto Heard = Instrument()->Snapshot().CommandsReceived;
  QTest::qWait(50);
  EXPECT_EQ(Instrument()->Snapshot().CommandsReceived, Heard);
}

class TMainWindowFiles : public TMainWindowTest {
protected:
  QTemporaryDir Folder;
  QString SavedCurrent;
  void SetUp() override {
    SavedCurrent = QDir::currentPath();
    QDir::setCurrent(Folder.path());
  }
  void TearDown() override {
    TMainWindowTest::TearDown();
    QDir::setCurrent(SavedCurrent);
  }
};

TEST_F(TMainWindowFiles, SaveReadsEverythingFirstThenWritesTheFile) {
  Start(1);
  Form->ZOL->WriteFilter(7.5f);
  ASSERT_TRUE(
      WaitUntil([this] { return Instrument()->Snapshot().Settings.FilterSeconds() == 7.5f; }));
  const auto ReadsBefore = Instrument()->Snapshot().CommandCount(CodeOf(TCommand::ReadAlarm2));
  bool ReadBeforeDialog = false;
  const QString Path = Folder.filePath(QStringLiteral("saved.ZOL"));
  TModalWatcher Watcher([&](QWidget *Modal) {
    auto *Dialog = qobject_cast<QFileDialog *>(Modal);
    if (Dialog == nullptr)
      return false;
    ReadBeforeDialog =
        Instrument()->Snapshot().CommandCount(CodeOf(TCommand::ReadAlarm2)) > ReadsBefore;
    ChooseFile(Dialog, Path);
    return true;
  });
  // An unsent edit in the window is not what the file gets.
  ui().EdFilter->setMaskedText(QStringLiteral("1,0"));
  QTest::mouseClick(ui().BtnSave, Qt::LeftButton);
  ASSERT_TRUE(WaitUntil([&] { return QFile::exists(Path); }));
  EXPECT_TRUE(ReadBeforeDialog);
  TZOLSettings Saved;
  ASSERT_TRUE(ReadParameterFile(Path.toStdString(), Saved).Ok);
  EXPECT_FLOAT_EQ(Saved.Filter, 7.5f);
  EXPECT_EQ(Saved.Tag.Get(), Instrument()->Snapshot().Settings.Tag);
}

TEST_F(TMainWindowFiles, LoadSendsTheFileWithTheWriteAllChain) {
  Start(1);
  TZOLSettings File;
  File.Tag.Set("LOADED TAG");
  File.Filter = 4.5f;
  File.Alarm1.SetPoint = 55.0f;
  File.Alarm1.Hysteresis = 1.0f;
  File.Alarm1.Delay = 1.5f;
  File.Alarm1.ContactNC = 1;
  File.Alarm2.SetPoint = -20.0f;
  File.Alarm2.LedBelow = 1;
  const QString Path = Folder.filePath(QStringLiteral("load.ZOL"));
  ASSERT_TRUE(WriteParameterFile(Path.toStdString(), File).Ok);
  int Written = 0;
  QObject::connect(Form->ZOL, &TZOL::AllWritten, Form.get(), [&] { ++Written; });
  TModalWatcher Watcher([&](QWidget *Modal) {
    auto *Dialog = qobject_cast<QFileDialog *>(Modal);
    if (Dialog == nullptr)
      return false;
    ChooseFile(Dialog, Path);
    return true;
  });
  QTest::mouseClick(ui().BtnLoad, Qt::LeftButton);
  ASSERT_TRUE(WaitUntil([&] { return Written > 0; }));
  const TSimSettings Held = Instrument()->Snapshot().Settings;
  EXPECT_EQ(Held.Tag, "LOADED TAG      ");
  EXPECT_FLOAT_EQ(Held.FilterSeconds(), 4.5f);
  EXPECT_EQ(Held.Alarm1.SetPoint, 550);
  EXPECT_EQ(Held.Alarm1.Delay, 15);
  EXPECT_EQ(Held.Alarm1.Flags & 0x01, 0x01);
  EXPECT_EQ(Held.Alarm2.SetPoint, -200);
  EXPECT_EQ(Held.Alarm2.Flags & 0x10, 0x10);
  // The pages show what was sent, through the events of the chain.
  EXPECT_EQ(ui().EdTag->text(), QStringLiteral("LOADED TAG"));
  EXPECT_EQ(ui().EdFilter->maskedText(), QStringLiteral(" 4,5"));
  EXPECT_EQ(ui().EdAlr1->maskedText(), QStringLiteral(" 55"));
  EXPECT_TRUE(ui().RdLedNe2->isChecked());
}

TEST_F(TMainWindowFiles, ALoadedSetPointThatDoesNotFitIsShownAndTheProgramGoesOn) {
  Start(1);
  TZOLSettings File;
  File.Tag.Set("BIG");
  File.Alarm1.SetPoint = 5000.0f; // 50000 tenths: beyond a signed 16-bit number
  const QString Path = Folder.filePath(QStringLiteral("big.ZOL"));
  ASSERT_TRUE(WriteParameterFile(Path.toStdString(), File).Ok);
  QString Message;
  TModalWatcher Watcher([&](QWidget *Modal) {
    if (auto *Dialog = qobject_cast<QFileDialog *>(Modal)) {
      ChooseFile(Dialog, Path);
      return true;
    }
    if (qobject_cast<QMessageBox *>(Modal) != nullptr) {
      Message = TakeMessageBox(Modal, QMessageBox::Ok);
      return true;
    }
    return false;
  });
  QTest::mouseClick(ui().BtnLoad, Qt::LeftButton);
  ASSERT_TRUE(WaitUntil([&] { return !Message.isEmpty(); }));
  EXPECT_TRUE(Message.contains(QStringLiteral("5000"))) << Message.toStdString();
  // The worker goes on: a read is answered and shown.
  Form->BtnWR_FilterAltClick();
  const int From = StateUpdates;
  EXPECT_TRUE(WaitUntil([&] { return StateUpdates > From; }));
}

TEST(ShowRangeErrors, ShowsTheValueAndLetsOtherErrorsThrough) {
  QString Message;
  TModalWatcher Watcher([&](QWidget *Modal) {
    Message = TakeMessageBox(Modal, QMessageBox::Ok);
    return !Message.isEmpty();
  });
  bool After = false;
  TError Error;
  Error.Code = TErrorCode::OutOfRange;
  Error.Quantity = TQuantity::SetPoint;
  Error.Value = 4000.0;
  ShowRangeErrors(nullptr, [&] { throw ERangeError(Error); });
  After = true;
  EXPECT_TRUE(After);
  EXPECT_EQ(Message, Worded(Error));
  EXPECT_TRUE(Message.contains(QStringLiteral("4000"))) << Message.toStdString();
  EXPECT_THROW(ShowRangeErrors(nullptr, [] { throw std::logic_error("other"); }), std::logic_error);
}

TEST(RoundHalfEvenToInt, RoundsHalvesToEvenAndClampsTheRest) {
  const struct {
    double Value;
    int Expected;
  } Cases[] = {{21.5, 22},
               {22.5, 22},
               {-21.5, -22},
               {213.0, 213},
               {9999.0, 9999},
               {0.5, 0},
               {1e12, std::numeric_limits<int>::max()},
               {-1e12, std::numeric_limits<int>::min()}};
  for (const auto &c : Cases)
    EXPECT_EQ(RoundHalfEvenToInt(c.Value), c.Expected) << c.Value;
  EXPECT_EQ(RoundHalfEvenToInt(std::nan("")), std::numeric_limits<int>::max());
}

} // namespace
} // namespace zol::test
