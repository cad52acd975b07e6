// The device component over the HID channel over simulated instruments: the program's whole
// core path, with the instrument's faults. Every wait is bounded.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "protocol/Utils.h"
#include "protocol/ZOL.h"
#include "sim/SimPlatform.h"
#include "tests/sim/Frames.h"

namespace zol {
namespace {

using namespace std::chrono_literals;
using simtest::AlarmParams;
using simtest::Command;
using simtest::FilterParams;
using simtest::PackedEight;

constexpr auto kWait = 10s;

/// Records the component's events in order, and the settings each settings event showed.
class Events {
public:
  void Attach(TCustomZOL &z) {
    const auto on = [this, &z](const char *name) {
      return [this, &z, name](TObject *) { Add(name, &z); };
    };
    z.OnConnect = on("Connect");
    z.OnDisconnect = on("Disconnect");
    z.OnUpdateState = on("State");
    z.OnError = on("Error");
    z.OnUnlockDevice = on("Unlock");
    z.OnUpdateAlarm1 = on("Alarm1");
    z.OnUpdateAlarm2 = on("Alarm2");
    z.OnUpdateFilter = on("Filter");
    z.OnUpdateTag = on("Tag");
    z.OnUpdateInfo = on("Info");
    z.OnReadAll = on("ReadAll");
    z.OnWriteAll = on("WriteAll");
    z.OnGetCryptedPassword = on("Crypted");
    z.OnUpdateWROP = [this](TPtrWROP) { Add("WROP", nullptr); };
  }
  int Count(const std::string &name) const {
    std::lock_guard lock(Mutex);
    return static_cast<int>(std::count(Names.begin(), Names.end(), name));
  }
  /// Waits until the event has been raised Count times in all.
  bool WaitCount(const std::string &name, int count) {
    std::unique_lock lock(Mutex);
    return Changed.wait_for(lock, kWait,
                            [&] { return std::count(Names.begin(), Names.end(), name) >= count; });
  }
  std::vector<std::string> Sequence() const {
    std::lock_guard lock(Mutex);
    return Names;
  }
  /// Settings as seen by every settings event so far.
  std::vector<TZOLSettings> SeenSettings() const {
    std::lock_guard lock(Mutex);
    return Seen;
  }

private:
  void Add(const char *name, TCustomZOL *z) {
    const std::string n = name;
    TZOLSettings settings;
    const bool keep =
        z && (n == "Tag" || n == "Filter" || n == "Alarm1" || n == "Alarm2" || n == "ReadAll");
    if (keep)
      settings = z->Snapshot().Settings;
    std::lock_guard lock(Mutex);
    Names.push_back(n);
    if (keep)
      Seen.push_back(settings);
    Changed.notify_all();
  }
  mutable std::mutex Mutex; // protects Names and Seen
  std::condition_variable Changed;
  std::vector<std::string> Names;
  std::vector<TZOLSettings> Seen;
};

/// Polls a condition every 2 ms, at most kWait.
bool Eventually(const std::function<bool()> &condition) {
  const auto deadline = std::chrono::steady_clock::now() + kWait;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition())
      return true;
    std::this_thread::sleep_for(2ms);
  }
  return condition();
}

bool SameAlarm(const TZOLAlarm &z, const TSimAlarm &s) {
  return std::fabs(z.SetPoint - s.SetPoint / 10.0f) < 1e-4f &&
         std::fabs(z.Hysteresis - s.Hysteresis / 10.0f) < 1e-4f &&
         std::fabs(z.Delay - s.Delay / 10.0f) < 1e-4f &&
         (z.ContactNC != 0) == ((s.Flags & AlarmFlag::ContactNC) != 0) &&
         (z.FailClosed != 0) == ((s.Flags & AlarmFlag::FailClosed) != 0) &&
         (z.LedBelow != 0) == ((s.Flags & AlarmFlag::LedBelow) != 0);
}

/// The parts of the component's settings that the instrument holds, compared with it.
void ExpectSameSettings(const TZOLSettings &z, const TSimSettings &s) {
  EXPECT_EQ(z.Tag.Get(), s.Tag);
  EXPECT_EQ(z.Filter, s.FilterSeconds());
  EXPECT_TRUE(SameAlarm(z.Alarm1, s.Alarm1));
  EXPECT_TRUE(SameAlarm(z.Alarm2, s.Alarm2));
}

TZOLAlarm Alarm(float setPoint, float hysteresis, float delay, bool nc, bool failClosed,
                bool ledBelow) {
  TZOLAlarm a;
  a.SetPoint = setPoint;
  a.Hysteresis = hysteresis;
  a.Delay = delay;
  a.ContactNC = nc;
  a.FailClosed = failClosed;
  a.LedBelow = ledBelow;
  return a;
}

/// Gives an instrument settings other than the factory's, without the program.
void Prepare(VirtualRW8 &sim) {
  for (const auto &f : {Command(TCommand::SendTag1, PackedEight("TT-0042 ")),
                        Command(TCommand::SendTag2, PackedEight("BAC 7")),
                        Command(TCommand::SendFilter, FilterParams(3.5f)),
                        Command(TCommand::SendAlarm1, AlarmParams({-125, 15, 30, 0x11})),
                        Command(TCommand::SendAlarm2, AlarmParams({855, 5, 255, 0x02})),
                        Command(TCommand::ReadState)})
    sim.ReceiveCommand(f.data());
}

/// A component connected to instrument Index of Platform.
struct Connected {
  Connected(SimPlatform &platform, int index) : Zol(platform) {
    Log.Attach(Zol);
    Found = Zol.Scan();
    Opened = Zol.Open(index);
  }
  ~Connected() { Zol.Close(); }
  /// Waits until the last chain has ended: both sides at the state request, and state answers
  /// coming in. A new operation started earlier would race the answers still repeated for the
  /// old chain (the program has no way to tell a repeated answer from a fresh one).
  bool Quiet(const VirtualRW8 &sim) {
    if (!Eventually(
            [&] { return sim.Snapshot().LastCode == 0 && Zol.Snapshot().LastCommand == 0; }))
      return false;
    return Log.WaitCount("State", Log.Count("State") + 3);
  }
  bool WaitConnected() { return Opened && Log.WaitCount("Connect", 1) && Log.WaitCount("Tag", 1); }
  TCustomZOL Zol;
  Events Log;
  int Found = 0;
  bool Opened = false;
};

TEST(EndToEnd, ConnectReadsIdentitySetsTheClockAndReadsTheTag) {
  SimPlatform platform(1);
  auto sim = platform.Instrument(0);
  Prepare(*sim);
  Connected c(platform, 0);
  EXPECT_EQ(c.Found, 1) << "the mouse is not an instrument";
  ASSERT_TRUE(c.WaitConnected());
  const auto sequence = c.Log.Sequence();
  const auto connect = std::find(sequence.begin(), sequence.end(), "Connect");
  const auto tag = std::find(sequence.begin(), sequence.end(), "Tag");
  EXPECT_LT(connect, tag) << "OnConnect comes before OnUpdateTag";
  const TZOLModel m = c.Zol.Snapshot();
  EXPECT_EQ(m.Manufacturer, sim->Manufacturer());
  EXPECT_EQ(m.Product, "RW8");
  EXPECT_EQ(m.SerialNumber, sim->SerialNumber());
  EXPECT_EQ(m.Settings.Tag.Get(), "TT-0042 BAC 7   ");
  EXPECT_GE(sim->Snapshot().CommandCount(CodeOf(TCommand::SetClock)), 1u);
  const auto now = EncodeDeviceDateTime(LocalNow());
  EXPECT_LE(std::abs(int{sim->Snapshot().ClockDate} - int{now.Date}), 1);
  // After the chain, the repeated state answers keep the display current.
  EXPECT_TRUE(c.Log.WaitCount("State", 3));
  EXPECT_TRUE(Eventually([&] {
    return std::fabs(c.Zol.Snapshot().Measure - sim->Snapshot().MeasureTenths / 10.0f) < 0.5f;
  }));
}

TEST(EndToEnd, TwoInstrumentsTheSecondIsOpened) {
  SimPlatform platform(2);
  Connected c(platform, 1);
  EXPECT_EQ(c.Found, 2);
  ASSERT_TRUE(c.WaitConnected());
  EXPECT_EQ(c.Zol.Snapshot().SerialNumber, platform.Instrument(1)->SerialNumber());
  c.Zol.WriteTag("SECOND");
  ASSERT_TRUE(c.Log.WaitCount("Tag", 2));
  EXPECT_EQ(platform.Instrument(1)->Snapshot().Settings.Tag, "SECOND          ");
  EXPECT_EQ(platform.Instrument(0)->Snapshot().Settings.Tag, VirtualRW8::FactorySettings().Tag);
}

TEST(EndToEnd, SingleWritesAreReadBack) {
  SimPlatform platform(1);
  auto sim = platform.Instrument(0);
  Connected c(platform, 0);
  ASSERT_TRUE(c.WaitConnected());

  c.Zol.WriteFilter(4.5f);
  ASSERT_TRUE(c.Log.WaitCount("Filter", 1));
  c.Zol.WriteAlarm1(Alarm(-12.5f, 1.5f, 2.5f, true, false, true));
  ASSERT_TRUE(c.Log.WaitCount("Alarm1", 1));
  c.Zol.WriteAlarm2(Alarm(85.5f, 0.5f, 30.0f, false, true, false));
  ASSERT_TRUE(c.Log.WaitCount("Alarm2", 1));
  c.Zol.WriteTag("ZONE B");
  ASSERT_TRUE(c.Log.WaitCount("Tag", 2));

  const TSimSettings s = sim->Snapshot().Settings;
  EXPECT_FLOAT_EQ(s.FilterSeconds(), 4.5f);
  EXPECT_EQ(s.Alarm1, (TSimAlarm{-125, 15, 25, AlarmFlag::ContactNC | AlarmFlag::LedBelow}));
  EXPECT_EQ(s.Alarm2, (TSimAlarm{855, 5, 255, AlarmFlag::FailClosed}));
  EXPECT_EQ(s.Tag, "ZONE B          ");
  ExpectSameSettings(c.Zol.Snapshot().Settings, s);
  // Five accepted writes (the tag takes two), newest first.
  ASSERT_EQ(sim->Snapshot().HistoryCount, 5);
  EXPECT_EQ(sim->Snapshot().HistoryRecord(0)->OpCode, 0x31);
  EXPECT_EQ(sim->Snapshot().HistoryRecord(4)->OpCode, 0x20);
}

TEST(EndToEnd, ReadAllAndWriteAllCopyAnInstrument) {
  SimPlatform platform(2);
  Prepare(*platform.Instrument(0));
  const std::string file = (std::filesystem::temp_directory_path() / "rw8-e2e-copy.ZOL").string();
  {
    Connected a(platform, 0);
    ASSERT_TRUE(a.WaitConnected());
    a.Zol.ReadAll();
    ASSERT_TRUE(a.Log.WaitCount("ReadAll", 1));
    ExpectSameSettings(a.Zol.Snapshot().Settings, platform.Instrument(0)->Snapshot().Settings);
    ASSERT_TRUE(a.Zol.SaveParameters(file).Ok);
  }
  Connected b(platform, 1);
  ASSERT_TRUE(b.WaitConnected());
  ASSERT_TRUE(b.Zol.LoadParameters(file).Ok);
  b.Zol.WriteAll();
  ASSERT_TRUE(b.Log.WaitCount("WriteAll", 1));
  EXPECT_EQ(platform.Instrument(1)->Snapshot().Settings,
            platform.Instrument(0)->Snapshot().Settings);
  std::filesystem::remove(file);
}

TEST(EndToEnd, LockedInstrumentRefusesWritesUntilUnlocked) {
  SimPlatform platform(1);
  auto sim = platform.Instrument(0);
  const auto change = Command(TCommand::ChangePassword, PackedEight("SECRET"));
  sim->ReceiveCommand(change.data());
  sim->SetPresent(false);
  sim->SetPresent(true);
  ASSERT_TRUE(sim->Snapshot().WriteLocked);
  const int records = sim->Snapshot().HistoryCount;

  Connected c(platform, 0);
  ASSERT_TRUE(c.WaitConnected());
  EXPECT_TRUE(c.Zol.Snapshot().WriteLocked);
  c.Zol.WriteFilter(7.5f);
  ASSERT_TRUE(c.Log.WaitCount("Filter", 1));
  EXPECT_FLOAT_EQ(c.Zol.Snapshot().Settings.Filter, 1.0f) << "read back: the old value";
  EXPECT_FLOAT_EQ(sim->Snapshot().Settings.FilterSeconds(), 1.0f);
  EXPECT_EQ(sim->Snapshot().HistoryCount, records);

  c.Zol.Unlock("WRONG");
  ASSERT_TRUE(
      Eventually([&] { return sim->Snapshot().CommandCount(CodeOf(TCommand::Unlock)) >= 1; }));
  const int states = c.Log.Count("State");
  ASSERT_TRUE(c.Log.WaitCount("State", states + 3));
  EXPECT_EQ(c.Log.Count("Unlock"), 0);
  EXPECT_TRUE(c.Zol.Snapshot().WriteLocked);

  c.Zol.Unlock("SECRET");
  ASSERT_TRUE(c.Log.WaitCount("Unlock", 1));
  EXPECT_TRUE(Eventually([&] { return !c.Zol.Snapshot().WriteLocked; }));
  c.Zol.WriteFilter(7.5f);
  ASSERT_TRUE(c.Log.WaitCount("Filter", 2));
  EXPECT_FLOAT_EQ(sim->Snapshot().Settings.FilterSeconds(), 7.5f);
  EXPECT_FLOAT_EQ(c.Zol.Snapshot().Settings.Filter, 7.5f);
}

TEST(EndToEnd, DroppedCommandsAreResentUntilTheChainsComplete) {
  TVirtualRW8Options o;
  o.ReportPeriodMs = 2;
  SimPlatform platform(1, o);
  auto sim = platform.Instrument(0);
  Prepare(*sim);
  sim->SetDropShare(0.2, 11);
  Connected c(platform, 0);
  ASSERT_TRUE(c.WaitConnected());
  for (int round = 1; round <= 3; ++round) {
    ASSERT_TRUE(c.Quiet(*sim));
    c.Zol.ReadAll();
    ASSERT_TRUE(c.Log.WaitCount("ReadAll", round));
  }
  ASSERT_TRUE(c.Quiet(*sim));
  const int alarms = c.Log.Count("Alarm1");
  c.Zol.WriteAlarm1(Alarm(40.0f, 2.0f, 1.0f, false, true, false));
  ASSERT_TRUE(c.Log.WaitCount("Alarm1", alarms + 1));
  EXPECT_EQ(sim->Snapshot().Settings.Alarm1, (TSimAlarm{400, 20, 10, AlarmFlag::FailClosed}));
  ExpectSameSettings(c.Zol.Snapshot().Settings, sim->Snapshot().Settings);
  EXPECT_GT(sim->Snapshot().CommandsDropped, 0u) << "the fault was exercised";
}

TEST(EndToEnd, HistoryRecordsEachTheirOwnDespiteLostCommandsAndCorruptReports) {
  std::uint64_t dropped = 0;
  for (const std::uint32_t seed : {3u, 17u, 29u}) {
    SCOPED_TRACE(seed);
    TVirtualRW8Options o;
    o.ReportPeriodMs = 1;
    SimPlatform platform(1, o);
    auto sim = platform.Instrument(0);
    Prepare(*sim); // 5 records: slots 5 to 7 hold none
    Connected c(platform, 0);
    std::mutex m;
    std::vector<TWROP> records;
    std::vector<TError> errors;
    c.Zol.OnUpdateWROP = [&](TPtrWROP r) {
      std::lock_guard lock(m);
      records.push_back(*r);
    };
    c.Zol.OnChainError = [&](TObject *, const TError &error) {
      std::lock_guard lock(m);
      errors.push_back(error);
    };
    ASSERT_TRUE(c.WaitConnected());
    ASSERT_TRUE(c.Quiet(*sim));
    sim->SetDropShare(0.3, seed);
    sim->SetCorruptShare(0.2, seed + 1);
    c.Zol.ReadHistory();
    ASSERT_TRUE(Eventually([&] { return !c.Zol.ReadingHistoryNow(); }));
    std::lock_guard lock(m);
    ASSERT_TRUE(errors.empty()) << ErrorCodeName(errors[0].Code);
    ASSERT_EQ(records.size(), 8u);
    ASSERT_EQ(sim->Snapshot().HistoryCount, 5);
    for (int i = 0; i < 8; ++i) {
      const TWROP &r = records[static_cast<std::size_t>(i)];
      const auto held = sim->Snapshot().HistoryRecord(i);
      EXPECT_EQ(r.SlotMask, held ? static_cast<std::uint8_t>(0xFF << i) : 0) << "record " << i;
      EXPECT_EQ(r.OpCode, held ? held->OpCode : 0) << "record " << i;
    }
    dropped += sim->Snapshot().CommandsDropped;
  }
  EXPECT_GT(dropped, 0u) << "the fault was exercised";
}

TEST(EndToEnd, CorruptReportsNeverPutAWrongValueIntoSettings) {
  TVirtualRW8Options o;
  o.ReportPeriodMs = 2;
  SimPlatform platform(1, o);
  auto sim = platform.Instrument(0);
  Prepare(*sim);
  sim->SetCorruptShare(0.05, 3);
  Connected c(platform, 0);
  ASSERT_TRUE(c.WaitConnected());
  for (int round = 1; round <= 5; ++round) {
    ASSERT_TRUE(c.Quiet(*sim));
    c.Zol.ReadAll();
    ASSERT_TRUE(c.Log.WaitCount("ReadAll", round));
  }
  EXPECT_GT(sim->Snapshot().ReportsCorrupted, 0u) << "the fault was exercised";
  const TSimSettings truth = sim->Snapshot().Settings;
  // Every event that showed settings showed only values the instrument holds; before the first
  // read-all completes, fields not read yet still hold zeros.
  for (const TZOLSettings &seen : c.Log.SeenSettings()) {
    const TZOLAlarm zero{};
    if (seen.Tag.Length != 0) {
      EXPECT_EQ(seen.Tag.Get(), truth.Tag);
    }
    if (seen.Filter != 0.0f) {
      EXPECT_EQ(seen.Filter, truth.FilterSeconds());
    }
    if (std::memcmp(&seen.Alarm1, &zero, sizeof zero) != 0) {
      EXPECT_TRUE(SameAlarm(seen.Alarm1, truth.Alarm1));
    }
    if (std::memcmp(&seen.Alarm2, &zero, sizeof zero) != 0) {
      EXPECT_TRUE(SameAlarm(seen.Alarm2, truth.Alarm2));
    }
  }
  ExpectSameSettings(c.Zol.Snapshot().Settings, truth);
}

TEST(EndToEnd, UnplugAndReplugGiveOneDisconnectAndOneConnect) {
  SimPlatform platform(1);
  auto sim = platform.Instrument(0);
  Connected c(platform, 0);
  ASSERT_TRUE(c.WaitConnected());
  sim->SetPresent(false);
  ASSERT_TRUE(c.Log.WaitCount("Disconnect", 1));
  sim->SetPresent(true);
  ASSERT_TRUE(c.Log.WaitCount("Connect", 2));
  // The connection chain runs again to the tag and the state answers.
  ASSERT_TRUE(c.Log.WaitCount("Tag", 2));
  const int states = c.Log.Count("State");
  ASSERT_TRUE(c.Log.WaitCount("State", states + 5));
  EXPECT_EQ(c.Log.Count("Disconnect"), 1);
  EXPECT_EQ(c.Log.Count("Connect"), 2);
}

TEST(EndToEnd, CloseReturnsSoonWhenTheInstrumentIsSilent) {
  SimPlatform platform(1);
  auto sim = platform.Instrument(0);
  Connected c(platform, 0);
  ASSERT_TRUE(c.WaitConnected());
  sim->SetSilent(true);
  std::this_thread::sleep_for(20ms); // let the worker block in a read that gets nothing
  const auto start = std::chrono::steady_clock::now();
  c.Zol.Close();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 300ms);
}

TEST(EndToEnd, SensorFailureShows9999AndErrorAnswersRaiseOnError) {
  SimPlatform platform(1);
  auto sim = platform.Instrument(0);
  Connected c(platform, 0);
  ASSERT_TRUE(c.WaitConnected());
  sim->SetSensorFailure(true);
  EXPECT_TRUE(Eventually([&] { return c.Zol.Snapshot().Measure == 9999.0f; }));
  sim->SetSensorFailure(false);
  EXPECT_TRUE(Eventually([&] { return c.Zol.Snapshot().Measure < 100.0f; }));
  sim->SetErrorAnswers(true);
  EXPECT_TRUE(c.Log.WaitCount("Error", 1));
}

TEST(EndToEnd, OversizedOrDeniedInstrumentIsNotOpened) {
  SimPlatform platform(1);
  platform.Instrument(0)->SetOversizedReports(true);
  {
    TCustomZOL z(platform);
    EXPECT_EQ(z.Scan(), 1);
    EXPECT_FALSE(z.Open(0));
    z.Close();
  }
  platform.Instrument(0)->SetOversizedReports(false);
  platform.Instrument(0)->SetPermissionDenied(true);
  TCustomZOL z(platform);
  EXPECT_EQ(z.Scan(), 0) << "a device that cannot be opened is skipped";
  z.Close();
}

} // namespace
} // namespace zol
