// The windows' device component on an instrument streaming at 1 kHz: the worker allocates
// nothing per state answer, and the user-interface thread gets at most one state update per pass
// of its event loop. A program of its own: it replaces operator new with a counting one.
#include <QCoreApplication>
#include <QEventLoop>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "sim/SimPlatform.h"
#include "tests/support/CountingNew.h"
#include "windows/TZOL.h"

using zol::counting::Watched;
using zol::counting::WatchedAllocations;

namespace zol {
namespace {

using namespace std::chrono_literals;

TEST(TZOLSteadyStream, NoAllocationPerAnswerAndOneStateUpdatePerPass) {
  TVirtualRW8Options Options;
  Options.ReportPeriodMs = 1;
  SimPlatform Platform(1, Options);
  TZOL ZOL(Platform);
  std::atomic<long> Answers{0};
  const TNotifyEvent Forward = ZOL.OnUpdateState;
  ZOL.OnUpdateState = [&, Forward](TObject *Sender) {
    if (Watched.load() == std::thread::id{})
      Watched = std::this_thread::get_id();
    Answers.fetch_add(1);
    Forward(Sender);
  };
  int Updates = 0;
  QObject::connect(&ZOL, &TZOL::StateUpdated, [&] { ++Updates; });
  ASSERT_EQ(ZOL.Scan(), 1);
  ASSERT_TRUE(ZOL.Open(0));
  // Past the connection chain, into the steady stream, with the windows following it.
  const auto Deadline = std::chrono::steady_clock::now() + 10s;
  while ((Answers.load() < 100 || Updates < 3) && std::chrono::steady_clock::now() < Deadline)
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
  ASSERT_GE(Updates, 3);

  WatchedAllocations = 0;
  const long Before = Answers.load();
  const int UpdatesBefore = Updates;
  int MostPerPass = 0;
  while (Answers.load() < Before + 500 && std::chrono::steady_clock::now() < Deadline) {
    const int Pass = Updates;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    MostPerPass = std::max(MostPerPass, Updates - Pass);
  }
  const long Allocations = WatchedAllocations.load();
  const long Turns = Answers.load() - Before;
  ZOL.Close();
  ASSERT_GE(Turns, 500);
  EXPECT_EQ(Allocations, 0) << "in " << Turns << " state answers";
  EXPECT_LE(MostPerPass, 1);
  EXPECT_GT(Updates - UpdatesBefore, 0) << "the windows follow the instrument";
}

} // namespace
} // namespace zol

int main(int argc, char **argv) {
  QCoreApplication App(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
