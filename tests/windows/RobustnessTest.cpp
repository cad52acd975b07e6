// The window under a hurried user: rapid clicks while chains run, and closing the program in the
// middle of every chain. Nothing may hang, crash or keep the program alive.
#include <QElapsedTimer>
#include <QFileDialog>
#include <QMessageBox>
#include <QTest>

#include <gtest/gtest.h>

#include "WindowsTest.h"
#include "ui_Main.h"
#include "windows/BackTrace.h"

namespace zol::test {
namespace {

using TRobustness = TMainWindowTest;

/// Closes every message box and file dialog that comes up, as an impatient user would.
TModalWatcher DismissAll() {
  return TModalWatcher([](QWidget *Modal) {
    if (auto *Dialog = qobject_cast<QFileDialog *>(Modal)) {
      static_cast<QDialog *>(Dialog)->reject();
      return true;
    }
    return !TakeMessageBox(Modal, QMessageBox::Ok).isEmpty();
  });
}

TEST_F(TRobustness, AHundredRapidClicksOnASendButtonWhileChainsRun) {
  Start(1);
  TModalWatcher Watcher = DismissAll();
  ui().TabAL1->setCurrentIndex(1); // the page reads the instrument's filter
  Form->ZOL->ReadAll();            // a chain under way
  for (int i = 0; i < 100; ++i) {
    // The field shows every filter the window reads: the page's own read, the read-all's, the
    // read-back of each click. Any of them may land between two clicks, and a click sends what
    // the field shows: each click's value is typed just before it, as a user types what they
    // send, and each is another, so that only the last click's can end up in the instrument.
    ui().EdFilter->setMaskedText(QStringLiteral("%1,%2").arg(i / 10).arg(i % 10));
    QTest::mouseClick(ui().BtnWR_Filter, Qt::LeftButton);
    if (i == 50)
      Form->ZOL->WriteAll(); // and another one
    QCoreApplication::processEvents();
  }
  // The last click's filter (9.9 s) reaches the instrument and the window still follows it.
  ASSERT_TRUE(WaitUntil(
      [this] { return Instrument()->Snapshot().Settings.FilterSeconds() == 9.9f; }, 10000))
      << "the instrument holds a filter of " << Instrument()->Snapshot().Settings.FilterSeconds()
      << " s; last command " << int(Form->ZOL->Snapshot().LastCommand);
  const int Before = StateUpdates;
  EXPECT_TRUE(WaitUntil([&] { return StateUpdates > Before + 5; })) << "the window is alive";
}

TEST_F(TRobustness, ClosingDuringEveryChainEndsWithinOneSecond) {
  struct Case {
    const char *Name;
    std::function<void()> Start;
  };
  const Case Cases[] = {
      {"connection", [] {}},
      {"read-all", [this] { Form->ZOL->ReadAll(); }},
      {"write-all", [this] { Form->ZOL->WriteAll(); }},
      {"history read", [] { BackTraceForm->show(); }},
  };
  for (const Case &c : Cases) {
    SCOPED_TRACE(c.Name);
    TearDown();
    Create(1);
    TModalWatcher Watcher = DismissAll();
    Form->show(); // scans and opens: the connection chain starts
    c.Start();
    QTest::qWait(5);
    QElapsedTimer Clock;
    Clock.start();
    QTest::mouseClick(ui().BtnQuit, Qt::LeftButton);
    EXPECT_LT(Clock.elapsed(), 1000);
    EXPECT_FALSE(Form->isVisible());
    // The worker has stopped: the instrument hears nothing more.
    const auto Heard = Instrument()->Snapshot().CommandsReceived;
    QTest::qWait(30);
    EXPECT_EQ(Instrument()->Snapshot().CommandsReceived, Heard);
  }
}

} // namespace
} // namespace zol::test
