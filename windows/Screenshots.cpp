// zolcfg-screenshots: renders the main window on each of its five pages, the dialogs and the
// demo's control window, connected to a simulated instrument, to PNG files, without a display,
// in the language of the environment (LANGUAGE=en: English, else French).
//   zolcfg-screenshots [FOLDER]     (default: ./screenshots)
// Ends with 1 when the instrument did not answer in time or a picture could not be written.
#include <QApplication>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QLineEdit>
#include <QProgressBar>
#include <QSaveFile>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <functional>
#include <memory>

#include "controls/MaskEdit.h"
#include "journal/Journal.h"
#include "protocol/Utils.h"
#include "sim/SimPlatform.h"
#include "ui_Main.h"
#include "windows/About.h"
#include "windows/BackTrace.h"
#include "windows/Error.h"
#include "windows/Journal.h"
#include "windows/JournalStore.h"
#include "windows/Language.h"
#include "windows/Main.h"
#include "windows/Pass.h"
#include "windows/Select.h"
#include "windows/Sheet.h"
#include "windows/SimControl.h"
#include "windows/TZOL.h"
#include "windows/Trend.h"
#include "windows/ZOLCFG.h"

namespace {

using namespace zol;

/// Processes events until Condition holds, at most Ms milliseconds; whether it held.
bool WaitFor(const std::function<bool()> &Condition, int Ms = 5000) {
  QDeadlineTimer Deadline(Ms);
  while (!Condition()) {
    if (Deadline.hasExpired())
      return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(2);
  }
  return true;
}

/// Lets pending events (answers of the instrument, repaints) through for Ms milliseconds.
void Settle(int Ms = 150) {
  WaitFor([] { return false; }, Ms);
}

class TShooter {
public:
  explicit TShooter(const QString &Folder) : FFolder(Folder) {}
  bool Failed = false;

  void Shoot(QWidget *Window, const QString &Name) {
    Settle();
    const QString Path = FFolder.filePath(Name + QStringLiteral(".png"));
    // Written whole or not at all: a temporary file renamed over the picture.
    QSaveFile File(Path);
    if (!File.open(QIODevice::WriteOnly) || !Window->grab().save(&File, "PNG") || !File.commit()) {
      std::fprintf(stderr, "zolcfg-screenshots: cannot write %s\n", qPrintable(Path));
      Failed = true;
      return;
    }
    std::printf("%s\n", qPrintable(Path));
  }
  void ShootImage(const QImage &Image, const QString &Name) {
    const QString Path = FFolder.filePath(Name + QStringLiteral(".png"));
    QSaveFile File(Path);
    if (!File.open(QIODevice::WriteOnly) || !Image.save(&File, "PNG") || !File.commit()) {
      std::fprintf(stderr, "zolcfg-screenshots: cannot write %s\n", qPrintable(Path));
      Failed = true;
      return;
    }
    std::printf("%s\n", qPrintable(Path));
  }
  void Expect(bool Held, const char *What) {
    if (!Held) {
      std::fprintf(stderr, "zolcfg-screenshots: %s did not happen in time\n", What);
      Failed = true;
    }
  }

private:
  QDir FFolder;
};

} // namespace

int main(int argc, char **argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication App(argc, argv);
  if (!InstallLanguage(App))
    std::fprintf(stderr, "zolcfg-screenshots: Qt's French translations are missing\n");
  QApplication::setApplicationDisplayName(ApplicationTitle());
  const QString Folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshots");
  if (!QDir().mkpath(Folder)) {
    std::fprintf(stderr, "zolcfg-screenshots: cannot create %s\n", qPrintable(Folder));
    return 1;
  }
  TShooter Shooter(Folder);

  // One instrument at start, so the main window opens it without asking; a second one is
  // plugged in later for the selection dialog.
  SimPlatform Platform(1);
  TProgramWindows Windows(Platform);
  Ui::TMainForm &Ui = *MainForm->Form();

  MainForm->show();
  Shooter.Expect(WaitFor([&] { return MainForm->DevicePresent && Ui.EdTag->isEnabled(); }),
                 "the connection");
  // A few settings written, so that the pages and the history have something to show.
  TZOLAlarm Alarm;
  Alarm.SetPoint = 25.0f;
  Alarm.Hysteresis = 1.0f;
  Alarm.Delay = 2.5f;
  Alarm.LedBelow = 1;
  MainForm->ZOL->WriteAlarm1(Alarm);
  Settle(300);
  MainForm->ZOL->WriteFilter(1.5f);
  Settle(300);
  MainForm->ZOL->SendCommand(0x00);

  const char *Pages[] = {"main-0-identification", "main-1-mesure", "main-2-alarme1",
                         "main-3-alarme2", "main-4-borvane"};
  for (int Page = 0; Page < 5; ++Page) {
    // The maker's tab is hidden from the user: shown only for its picture.
    Ui.TabAL1->setTabVisible(4, Page == 4);
    Ui.TabAL1->setCurrentIndex(Page);
    Settle(300);
    Shooter.Shoot(MainForm, QString::fromLatin1(Pages[Page]));
  }
  Ui.TabAL1->setCurrentIndex(0);
  Ui.TabAL1->setTabVisible(4, false);

  // The trend after the measurement went through alarm 1's set point and back.
  {
    const auto Instrument = Platform.Instrument(0);
    for (float Celsius : {22.0f, 28.0f, 22.0f}) {
      Instrument->SetTemperature(Celsius);
      Settle(4000);
    }
    MainForm->TrendForm->show();
    Settle(300);
    Shooter.Shoot(MainForm->TrendForm, QStringLiteral("trend"));
    MainForm->TrendForm->hide();
    Instrument->SetTemperature(std::nullopt);
  }

  // The journal after writes from the window, in a journal of its own, and the configuration
  // sheet of the instrument (its page as a picture).
  {
    QTemporaryDir JournalDir;
    qputenv("ZOLCFG_JOURNAL", JournalDir.filePath(QStringLiteral("journal.sqlite")).toLocal8Bit());
    TJournalKeeper &Journal = *MainForm->ZOL->Journal;
    Journal.SetEnabled(true);
    int Recorded = 0;
    const auto Counting =
        QObject::connect(&Journal, &TJournalKeeper::Recorded, [&Recorded] { ++Recorded; });
    const QChar Separator = RegionalDecimalSeparator();
    for (float Filter : {2.0f, 1.5f}) {
      const int From = Recorded;
      Ui.EdFilter->setMaskedText(FormatTenths(Filter, Separator));
      MainForm->BtnWR_FilterClick();
      Shooter.Expect(!JournalKept() || WaitFor([&] { return Recorded > From; }),
                     "the journal's record");
    }
    Ui.EdAlr2->setMaskedText(QStringLiteral("40"));
    Ui.EdHys2->setMaskedText(QStringLiteral("2"));
    const int From = Recorded;
    MainForm->BtnWR_Alr2Click();
    Shooter.Expect(!JournalKept() || WaitFor([&] { return Recorded > From; }),
                   "the journal's record");
    MainForm->JournalForm->show();
    Settle(300);
    Shooter.Shoot(MainForm->JournalForm, QStringLiteral("journal"));
    MainForm->JournalForm->hide();
    const TZOLModel Model = MainForm->ZOL->Snapshot();
    const TJournalListing Listing =
        ListJournal(JournalLocation(), Model.SerialNumber, TJournalForm::kSheetRecords);
    Shooter.ShootImage(ConfigurationSheetImage(Model, Listing.Records,
                                               QString::fromStdString(Listing.Problem),
                                               QDateTime::currentDateTime(), 100),
                       QStringLiteral("sheet"));
    QObject::disconnect(Counting);
    Journal.SetEnabled(false);
    qunsetenv("ZOLCFG_JOURNAL");
  }

  // The password dialog, each of its tabs (shown without a modal loop, for the picture).
  PassForm->show();
  for (int Tab = 0; Tab < PassForm->PageControl1->count(); ++Tab) {
    PassForm->PageControl1->setCurrentIndex(Tab);
    Shooter.Shoot(PassForm, QStringLiteral("pass-%1").arg(Tab));
  }
  PassForm->hide();

  // The history window after a full read of the 8 records.
  BackTraceForm->show();
  Shooter.Expect(WaitFor([&] {
                   return BackTraceForm->ProgressBar1->value() ==
                          BackTraceForm->ProgressBar1->maximum();
                 }),
                 "the history read");
  Shooter.Shoot(BackTraceForm, QStringLiteral("backtrace"));
  BackTraceForm->hide();

  // The selection dialog as a scan with two instruments fills it.
  SelectForm->SetItems({QStringLiteral("USB N°0"), QStringLiteral("USB N°1")}, 0);
  SelectForm->show();
  Shooter.Shoot(SelectForm, QStringLiteral("select"));
  SelectForm->hide();

  AboutBox->show();
  Shooter.Shoot(AboutBox, QStringLiteral("about"));
  AboutBox->hide();

  ErrorForm->show();
  Shooter.Shoot(ErrorForm, QStringLiteral("error"));
  ErrorForm->hide();

  // The demo's control window beside the configurator, with a locked instrument.
  {
    TSimControlForm Control(Platform);
    Control.show();
    Control.EdPassword->setText(QStringLiteral("SECRET"));
    Control.LockWith(Control.EdPassword->text());
    Shooter.Expect(WaitFor([&] { return !Ui.BtnWR_TAG->isEnabled(); }), "the lock");
    Shooter.Shoot(&Control, QStringLiteral("demo-control"));
    Shooter.Shoot(MainForm, QStringLiteral("main-locked"));
    Control.LockWith(QString());
  }

  return Shooter.Failed ? 1 : 0;
}
