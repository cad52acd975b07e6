// Instruments plugged in while the window runs: opened as the scan button would while none is
// open; while one is open, arrivals change nothing.
#include <gtest/gtest.h>

#include "WindowsTest.h"
#include "windows/Main.h"
#include "windows/Select.h"

namespace zol::test {
namespace {

class TArrivals : public TMainWindowTest {
protected:
  /// The window shown with Count instruments, all unplugged.
  void StartUnplugged(int Count) {
    Create(Count);
    for (int i = 0; i < Count; ++i)
      Instrument(i)->SetPresent(false);
    Form->show();
    WaitUntil([] { return false; }, 300);
    ASSERT_FALSE(Form->DevicePresent);
  }
};

TEST_F(TArrivals, OneInstrumentPluggedInIsOpenedAndLaterOnesChangeNothing) {
  StartUnplugged(1);
  Instrument(0)->SetPresent(true);
  ASSERT_TRUE(WaitUntil([this] { return Form->DevicePresent; }));
  const std::string Serial = Form->ZOL->Snapshot().SerialNumber;
  EXPECT_EQ(Serial, Instrument(0)->SerialNumber());

  TModalWatcher Watcher([](QWidget *Modal) {
    Modal->close();
    return true;
  });
  Platform->AddInstrument(SimPlatform::OptionsFor(1, {}));
  WaitUntil([] { return false; }, 600);
  EXPECT_EQ(Watcher.Handled(), 0);
  EXPECT_TRUE(Form->DevicePresent);
  EXPECT_EQ(Form->ZOL->Snapshot().SerialNumber, Serial);
}

TEST_F(TArrivals, SeveralPluggedInAtOnceAskOnceWhichToOpen) {
  StartUnplugged(2);
  TModalWatcher Watcher([](QWidget *Modal) {
    if (Modal != SelectForm)
      return false;
    SelectForm->accept(); // the first line, selected
    return true;
  });
  Instrument(0)->SetPresent(true);
  Instrument(1)->SetPresent(true);
  ASSERT_TRUE(WaitUntil([this] { return Form->DevicePresent; }));
  WaitUntil([] { return false; }, 600);
  EXPECT_EQ(Watcher.Handled(), 1);
}

} // namespace
} // namespace zol::test
