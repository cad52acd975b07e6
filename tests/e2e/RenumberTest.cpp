// What the windows see when the instrument is plugged back while its node was still held: the
// kernel gives it another path and may hand its old path to another instrument.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "protocol/ZOL.h"
#include "sim/SimPlatform.h"

namespace zol {
namespace {

using namespace std::chrono_literals;

/// Counts the component's connection events and tag updates, and the serial number shown at
/// each connection.
struct Seen {
  std::mutex Mutex; //!< Protects Counts and Serials.
  std::condition_variable Changed;
  std::map<std::string, int> Counts;
  std::vector<std::string> Serials;

  void Attach(TCustomZOL &z) {
    z.OnConnect = [this, &z](TObject *) { Add("connect", z.Snapshot().SerialNumber); };
    z.OnDisconnect = [this](TObject *) { Add("disconnect"); };
    z.OnUpdateTag = [this](TObject *) { Add("tag"); };
    z.OnUpdateState = [this](TObject *) { Add("state"); };
  }
  void Add(const std::string &name, const std::string &serial = {}) {
    std::lock_guard lock(Mutex);
    ++Counts[name];
    if (name == "connect")
      Serials.push_back(serial);
    Changed.notify_all();
  }
  int Count(const std::string &name) {
    std::lock_guard lock(Mutex);
    return Counts[name];
  }
  bool Wait(const std::string &name, int count) {
    std::unique_lock lock(Mutex);
    return Changed.wait_for(lock, 5s, [&] { return Counts[name] >= count; });
  }
};

TEST(Renumbering, TheWindowsSeeOneLossAndOneReturnOfTheSameInstrument) {
  for (const bool keepOpen : {true, false}) {
    SCOPED_TRACE(keepOpen ? "device kept open" : "device opened every turn");
    SimPlatform platform(2);
    platform.SetKeepsDevicesOpen(keepOpen);
    const std::string first = platform.Instrument(0)->SerialNumber();
    TCustomZOL zol(platform);
    Seen seen;
    seen.Attach(zol);
    ASSERT_EQ(zol.Scan(), 2);
    ASSERT_TRUE(zol.Open(0));
    ASSERT_TRUE(seen.Wait("tag", 1));

    // Plugged back on a new path; the second instrument takes the old one.
    const int opensOfOther = platform.OpensOf(1);
    const auto commandsToOther = platform.Instrument(1)->Snapshot().CommandsReceived;
    platform.Renumber(0, 1);
    ASSERT_TRUE(seen.Wait("connect", 2)) << "reconnected without a scan";
    ASSERT_TRUE(seen.Wait("tag", 2)) << "the connection chain runs again";
    ASSERT_TRUE(seen.Wait("state", seen.Count("state") + 5));
    EXPECT_EQ(seen.Count("disconnect"), 1);
    EXPECT_EQ(seen.Count("connect"), 2);
    {
      std::lock_guard lock(seen.Mutex);
      EXPECT_EQ(seen.Serials, (std::vector<std::string>{first, first}));
    }

    // The user's next write reaches the instrument selected, never the one on its old path.
    const int tags = seen.Count("tag");
    zol.WriteTag("RENUMBERED");
    ASSERT_TRUE(seen.Wait("tag", tags + 1));
    EXPECT_EQ(platform.Instrument(0)->Snapshot().Settings.Tag.substr(0, 10), "RENUMBERED");
    EXPECT_EQ(platform.Instrument(1)->Snapshot().CommandsReceived, commandsToOther);
    EXPECT_EQ(platform.OpensOf(1), opensOfOther) << "the other instrument is never opened";
    zol.Close();
    EXPECT_EQ(platform.OpenHandles(), 0);
  }
}

// Swapped between two turns, one instrument on the path of the other: the worker's kept handle
// is dead, and the path holds an instrument that went through no absent turn of its own.
TEST(Renumbering, AnInstantSwapOfAnInstrumentWithoutASerialNumberIsALoss) {
  for (const bool otherHasSerial : {true, false}) {
    SCOPED_TRACE(otherHasSerial ? "the other instrument has a serial number" : "neither has one");
    SimPlatform platform(0);
    TVirtualRW8Options options = SimPlatform::OptionsFor(0, {});
    options.SerialNumber.clear();
    platform.AddInstrument(options);
    if (!otherHasSerial)
      platform.AddInstrument(options);
    else
      platform.AddInstrument(SimPlatform::OptionsFor(1, {}));
    TCustomZOL zol(platform);
    Seen seen;
    seen.Attach(zol);
    ASSERT_EQ(zol.Scan(), 2);
    ASSERT_TRUE(zol.Open(0));
    ASSERT_TRUE(seen.Wait("tag", 1));
    ASSERT_TRUE(seen.Wait("state", seen.Count("state") + 3));

    const auto commandsToOther = platform.Instrument(1)->Snapshot().CommandsReceived;
    platform.Renumber(0, 1);
    ASSERT_TRUE(seen.Wait("disconnect", 1)) << "the swap is seen";
    if (otherHasSerial) {
      // Another instrument: never linked, never written to.
      const auto turns = zol.Device->Worker()->Turns();
      for (int i = 0; i < 500 && zol.Device->Worker()->Turns() < turns + 5; ++i)
        std::this_thread::sleep_for(10ms);
      ASSERT_GE(zol.Device->Worker()->Turns(), turns + 5);
      EXPECT_EQ(seen.Count("connect"), 1);
      EXPECT_EQ(platform.Instrument(1)->Snapshot().CommandsReceived, commandsToOther);
    } else {
      // Nothing tells the two apart: a return, and the connection chain reads the instrument.
      ASSERT_TRUE(seen.Wait("connect", 2));
      ASSERT_TRUE(seen.Wait("tag", 2));
      EXPECT_EQ(seen.Count("disconnect"), 1);
    }
    zol.Close();
  }
}

} // namespace
} // namespace zol
