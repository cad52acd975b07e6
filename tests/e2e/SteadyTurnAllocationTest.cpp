// A connected instrument streams answers for as long as the program runs: the worker's steady
// turn (open, read, decode, raise the state event, close) must not allocate.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "protocol/ZOL.h"
#include "sim/SimPlatform.h"
#include "tests/support/CountingNew.h"

using zol::counting::Watched;
using zol::counting::WatchedAllocations;

namespace zol {
namespace {

using namespace std::chrono_literals;

TEST(SteadyTurn, TheWorkerAllocatesNothingWhileStateAnswersStream) {
  TVirtualRW8Options options;
  options.ReportPeriodMs = 1;
  SimPlatform platform(1, options);
  TCustomZOL zol(platform);
  std::atomic<long> states{0};
  zol.OnUpdateState = [&](TObject *) {
    if (Watched.load() == std::thread::id{})
      Watched = std::this_thread::get_id();
    states.fetch_add(1);
  };
  ASSERT_EQ(zol.Scan(), 1);
  ASSERT_TRUE(zol.Open(0));
  // Past the connection chain, into the steady stream of state answers.
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (states.load() < 100 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(1ms);
  ASSERT_GE(states.load(), 100);

  WatchedAllocations = 0;
  const long before = states.load();
  while (states.load() < before + 300 && std::chrono::steady_clock::now() < deadline + 5s)
    std::this_thread::sleep_for(1ms);
  const long allocations = WatchedAllocations.load();
  const long turns = states.load() - before;
  zol.Close();
  ASSERT_GE(turns, 300);
  EXPECT_EQ(allocations, 0) << "in " << turns << " steady turns";
}

} // namespace
} // namespace zol
