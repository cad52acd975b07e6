// TCustomZOL driven through the real channel against a scripted instrument.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "protocol/ParamFile.h"
#include "protocol/ZOL.h"
#include "tests/protocol/ScriptedInstrument.h"

namespace zol {
namespace {

using test::TCommandFrame;
using test::TScriptedAnswer;
using test::TScriptedInstrument;
using Codes = std::vector<std::uint8_t>;
using Names = std::vector<std::string>;

constexpr auto kWait = std::chrono::seconds(5);

/// Polls Condition until it holds or the bound runs out; never a fixed wait for correctness.
bool Eventually(const std::function<bool()> &Condition) {
  const auto Deadline = std::chrono::steady_clock::now() + kWait;
  while (!Condition()) {
    if (std::chrono::steady_clock::now() > Deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

std::array<std::uint8_t, 6> PackedText(const std::string &Eight) {
  std::array<std::uint8_t, 6> Payload{};
  const auto Low = PackChars(Eight.substr(0, 4));
  const auto High = PackChars(Eight.substr(4, 4));
  std::copy(Low.begin(), Low.end(), Payload.begin());
  std::copy(High.begin(), High.end(), Payload.begin() + 3);
  return Payload;
}

/// One instrument, one component, and a log of what the component raised.
class TRig {
public:
  TRig() : ZOL(std::make_unique<TCustomZOL>(Instrument)) {
    ZOL->Clock = [] { return TCivilDateTime{2026, 12, 7, 12, 0, 0, 0}; };
    Instrument.SetPayload(0xB0, PackedText("ABCDEFGH"));
    Instrument.SetPayload(0xB1, PackedText("12345678"));
    Instrument.SetPayload(0xA0, {0x3F, 0xC0, 0x00, 0x00, 0x00, 0x00});
    Instrument.SetPayload(0xA1, {0x83, 0xFF, 0x0A, 0x00, 0x19, 0x11});
    Instrument.SetPayload(0xA2, {0xFA, 0x00, 0x05, 0x00, 0xFF, 0xE2});
    Instrument.SetPayload(0x01, {0xC1, 0xFF, 0xFF, 0x0A, 0x0B, 0x0C});
    Instrument.SetPayload(0xC1, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66});
    Instrument.SetPayload(0x02, {0xFC, 0x31, 0x6D, 0x26, 0x00, 0x80});
    Instrument.SetPayload(0x00, {0x12, 0x34, 0x42, 0xDD, 0x00, 0x00});

    struct Named {
      TNotifyEvent TCustomZOL::*Event;
      const char *Name;
    };
    const Named Events[] = {
        {&TCustomZOL::OnConnect, "Connect"},
        {&TCustomZOL::OnDisconnect, "Disconnect"},
        {&TCustomZOL::OnUpdateState, "UpdateState"},
        {&TCustomZOL::OnError, "Error"},
        {&TCustomZOL::OnUnlockDevice, "UnlockDevice"},
        {&TCustomZOL::OnUpdateAlarm1, "UpdateAlarm1"},
        {&TCustomZOL::OnUpdateAlarm2, "UpdateAlarm2"},
        {&TCustomZOL::OnUpdateFilter, "UpdateFilter"},
        {&TCustomZOL::OnUpdateTag, "UpdateTag"},
        {&TCustomZOL::OnUpdateInfo, "UpdateInfo"},
        {&TCustomZOL::OnReadAll, "ReadAll"},
        {&TCustomZOL::OnWriteAll, "WriteAll"},
        {&TCustomZOL::OnGetCryptedPassword, "GetCryptedPassword"},
    };
    for (const Named &e : Events) {
      std::string Name = e.Name;
      (*ZOL).*e.Event = [this, Name](TObject *Sender) {
        EXPECT_EQ(Sender, ZOL.get());
        // Handlers take snapshots: events are raised with the model unlocked.
        const TZOLModel Model = ZOL->Snapshot();
        std::lock_guard<std::mutex> Lock(LogMutex);
        Log.push_back(Name);
        LastSeen = Model;
      };
    }
    ZOL->OnUpdateWROP = [this](TPtrWROP Record) {
      std::lock_guard<std::mutex> Lock(LogMutex);
      Log.push_back("UpdateWROP");
      Records.push_back(*Record);
    };
    ZOL->OnChainError = [this](TObject *, const std::string &Message) {
      std::lock_guard<std::mutex> Lock(LogMutex);
      ChainErrors.push_back(Message);
    };
  }

  ~TRig() { ZOL->Close(); }

  /// Scans, opens and waits for the end of the connection chain (tag read, state requested).
  void Connect() {
    ASSERT_EQ(ZOL->Scan(), 1);
    ASSERT_TRUE(ZOL->Open(0));
    ASSERT_TRUE(Eventually([&] {
      return Instrument.Codes() == Codes{0x69, 0xB0, 0xB1, 0x00};
    })) << ::testing::PrintToString(Instrument.Codes());
    // Every state update from here on comes from an answer read after the state request.
    Mark();
    ASSERT_TRUE(Eventually([&] { return Count("UpdateState") >= 1; }));
    Mark();
  }

  /// Forgets what happened so far: codes and events are counted from here.
  void Mark() {
    FramesMark = Instrument.Frames().size();
    std::lock_guard<std::mutex> Lock(LogMutex);
    Log.clear();
    Records.clear();
    ChainErrors.clear();
  }

  Codes CodesSinceMark() const {
    const Codes All = Instrument.Codes();
    return Codes(All.begin() + static_cast<long>(std::min(FramesMark, All.size())), All.end());
  }

  std::vector<TCommandFrame> FramesSinceMark() const {
    const auto All = Instrument.Frames();
    return std::vector<TCommandFrame>(
        All.begin() + static_cast<long>(std::min(FramesMark, All.size())), All.end());
  }

  /// Events since the mark, state updates left out (the instrument repeats state answers).
  Names EventsWithoutState() {
    std::lock_guard<std::mutex> Lock(LogMutex);
    Names Result;
    for (const std::string &Name : Log) {
      if (Name != "UpdateState") {
        Result.push_back(Name);
      }
    }
    return Result;
  }

  int Count(const std::string &Name) {
    std::lock_guard<std::mutex> Lock(LogMutex);
    return static_cast<int>(std::count(Log.begin(), Log.end(), Name));
  }

  std::vector<std::string> Errors() {
    std::lock_guard<std::mutex> Lock(LogMutex);
    return ChainErrors;
  }

  std::vector<TWROP> WROPs() {
    std::lock_guard<std::mutex> Lock(LogMutex);
    return Records;
  }

  /// Waits until the codes since the mark are Expected, then lets 20 more reports pass and
  /// checks that nothing else was sent.
  void ExpectCodes(const Codes &Expected) {
    EXPECT_TRUE(Eventually([&] { return CodesSinceMark().size() >= Expected.size(); }))
        << ::testing::PrintToString(CodesSinceMark());
    ASSERT_TRUE(Instrument.WaitReads(20));
    EXPECT_EQ(CodesSinceMark(), Expected);
  }

  TScriptedInstrument Instrument;
  std::unique_ptr<TCustomZOL> ZOL;
  TZOLModel LastSeen;

private:
  std::mutex LogMutex; // protects Log, Records, ChainErrors, LastSeen
  Names Log;
  std::vector<TWROP> Records;
  std::vector<std::string> ChainErrors;
  std::size_t FramesMark = 0;
};

TZOLAlarm GoldenAlarm() {
  TZOLAlarm Alarm;
  Alarm.SetPoint = 25.0f;
  Alarm.Hysteresis = 1.0f;
  Alarm.Delay = 2.5f;
  Alarm.ContactNC = 1;
  Alarm.LedBelow = 1;
  return Alarm;
}

TEST(ZOLConnection, ClockTagThenState) {
  TRig Rig;
  Rig.Instrument.SetIdentity("KOVA", std::string(300, 'P'), "0123456789ABCDEF");
  Rig.Connect();
  const auto Frames = Rig.Instrument.Frames();
  EXPECT_EQ(Frames[0], (TCommandFrame{0x69, 0x83, 0x6D, 0x26, 0x00, 0x80, 0x00, 0x00}));
  for (const TCommandFrame &Frame : Frames) {
    EXPECT_TRUE(FrameChecksumValid(Frame.data(), 8));
  }
  const TZOLModel Model = Rig.ZOL->Snapshot();
  EXPECT_EQ(Model.Manufacturer, "KOVA");
  EXPECT_EQ(Model.Product, std::string(255, 'P'));
  EXPECT_EQ(Model.SerialNumber, "0123456789ABCDEF");
  EXPECT_EQ(Model.Settings.Tag.Get(), "ABCDEFGH12345678");
  EXPECT_EQ(Model.LastCommand, 0x00);
  EXPECT_EQ(Model.DeviceIndex, 0);
  EXPECT_FLOAT_EQ(Model.Rt, 110.5f);
  EXPECT_EQ(Model.RawValue, 0x1234);
}

TEST(ZOLConnection, ConnectRaisedFirstAndAgainAfterReplug) {
  TRig Rig;
  std::vector<std::string> Order;
  std::mutex OrderMutex;
  Rig.ZOL->OnConnect = [&](TObject *) {
    std::lock_guard<std::mutex> Lock(OrderMutex);
    Order.push_back("Connect " + Rig.ZOL->Snapshot().Manufacturer);
  };
  Rig.ZOL->OnDisconnect = [&](TObject *) {
    std::lock_guard<std::mutex> Lock(OrderMutex);
    Order.push_back("Disconnect");
  };
  Rig.Connect();
  // A copy kept up to date in place takes the identity texts once per connection.
  TZOLModel Kept;
  Rig.ZOL->SnapshotInto(Kept);
  EXPECT_EQ(Kept.Manufacturer, "KOVA");
  Kept.Manufacturer = "not copied again";
  Kept.LastCommand = 0xEE;
  Rig.ZOL->SnapshotInto(Kept);
  EXPECT_EQ(Kept.Manufacturer, "not copied again");
  EXPECT_EQ(Kept.LastCommand, Rig.ZOL->Snapshot().LastCommand);
  Rig.Instrument.SetPresent(false);
  ASSERT_TRUE(Eventually([&] {
    std::lock_guard<std::mutex> Lock(OrderMutex);
    return Order.size() == 2;
  }));
  Rig.Instrument.SetPresent(true);
  ASSERT_TRUE(Eventually([&] { return Rig.CodesSinceMark() == Codes{0x69, 0xB0, 0xB1, 0x00}; }));
  Rig.ZOL->SnapshotInto(Kept);
  EXPECT_EQ(Kept.Manufacturer, "KOVA");
  std::lock_guard<std::mutex> Lock(OrderMutex);
  EXPECT_EQ(Order, (Names{"Connect KOVA", "Disconnect", "Connect KOVA"}));
}

struct DispatchRow {
  const char *Name;
  std::function<void(TCustomZOL &)> Operation;
  Codes Sent;
  Names Events; // state updates left out
  std::function<void(const TZOLModel &)> Check;
};

TEST(ZOLDispatch, EveryRowOfTheTable) {
  const DispatchRow Rows[] = {
      {"ReadTag",
       [](TCustomZOL &z) { z.ReadTag(); },
       {0xB0, 0xB1, 0x00},
       {"UpdateTag"},
       [](const TZOLModel &m) { EXPECT_EQ(m.Settings.Tag.Get(), "ABCDEFGH12345678"); }},
      {"ReadFilter",
       [](TCustomZOL &z) { z.ReadFilter(); },
       {0xA0, 0x00},
       {"UpdateFilter"},
       [](const TZOLModel &m) { EXPECT_EQ(m.Settings.Filter, 1.5f); }},
      {"ReadAlarm1",
       [](TCustomZOL &z) { z.ReadAlarm1(); },
       {0xA1, 0x00},
       {"UpdateAlarm1"},
       [](const TZOLModel &m) {
         EXPECT_EQ(m.Settings.Alarm1.SetPoint, -12.5f);
         EXPECT_EQ(m.Settings.Alarm1.Hysteresis, 1.0f);
         EXPECT_EQ(m.Settings.Alarm1.Delay, 2.5f);
         EXPECT_EQ(m.Settings.Alarm1.ContactNC, 1);
         EXPECT_EQ(m.Settings.Alarm1.FailClosed, 0);
         EXPECT_EQ(m.Settings.Alarm1.LedBelow, 1);
       }},
      {"ReadAlarm2",
       [](TCustomZOL &z) { z.ReadAlarm2(); },
       {0xA2, 0x00},
       {"UpdateAlarm2"},
       [](const TZOLModel &m) {
         EXPECT_EQ(m.Settings.Alarm2.SetPoint, 25.0f);
         EXPECT_EQ(m.Settings.Alarm2.Hysteresis, 0.5f);
         EXPECT_EQ(m.Settings.Alarm2.Delay, 25.5f);
         EXPECT_EQ(m.Settings.Alarm2.ContactNC, 0); // other bits of the flags ignored
         EXPECT_EQ(m.Settings.Alarm2.FailClosed, 1);
         EXPECT_EQ(m.Settings.Alarm2.LedBelow, 0);
       }},
      {"ReadAll",
       [](TCustomZOL &z) { z.ReadAll(); },
       {0xB0, 0xB1, 0xA0, 0xA1, 0xA2, 0x00},
       {"UpdateTag", "UpdateFilter", "UpdateAlarm1", "UpdateAlarm2", "ReadAll"},
       [](const TZOLModel &m) {
         EXPECT_FALSE(m.ReadingAll);
         EXPECT_EQ(m.Settings.Filter, 1.5f);
         EXPECT_EQ(m.Settings.Alarm2.Delay, 25.5f);
       }},
      {"WriteTag",
       [](TCustomZOL &z) { z.WriteTag("ABC"); },
       {0x30, 0x31, 0xB0, 0xB1, 0x00},
       {"UpdateTag"},
       [](const TZOLModel &m) { EXPECT_EQ(m.Outgoing.Tag.Get(), "ABC"); }},
      {"WriteFilter",
       [](TCustomZOL &z) { z.WriteFilter(2.5f); },
       {0x20, 0xA0, 0x00},
       {"UpdateFilter"},
       [](const TZOLModel &m) { EXPECT_EQ(m.Outgoing.Filter, 2.5f); }},
      {"WriteAlarm1",
       [](TCustomZOL &z) { z.WriteAlarm1(GoldenAlarm()); },
       {0x21, 0xA1, 0x00},
       {"UpdateAlarm1"},
       [](const TZOLModel &m) { EXPECT_EQ(m.Outgoing.Alarm1.SetPoint, 25.0f); }},
      {"WriteAlarm2",
       [](TCustomZOL &z) { z.WriteAlarm2(GoldenAlarm()); },
       {0x22, 0xA2, 0x00},
       {"UpdateAlarm2"},
       [](const TZOLModel &m) { EXPECT_EQ(m.Outgoing.Alarm2.Delay, 2.5f); }},
      // The instrument keeps answering 0x22 after the chain: that reads alarm 2 back.
      {"WriteAll",
       [](TCustomZOL &z) { z.WriteAll(); },
       {0x30, 0x31, 0x20, 0x21, 0x22, 0xA2, 0x00},
       {"UpdateTag", "UpdateFilter", "UpdateAlarm1", "UpdateAlarm2", "WriteAll", "UpdateAlarm2"},
       [](const TZOLModel &m) { EXPECT_FALSE(m.WritingAll); }},
      {"ReadInfo",
       [](TCustomZOL &z) { z.ReadInfo(); },
       {0x01, 0x00},
       {"UpdateInfo"},
       [](const TZOLModel &m) { EXPECT_EQ(m.InfoText, "C1FFFF0A0B0C"); }},
      {"ChangePassword", [](TCustomZOL &z) { z.ChangePassword("NEW"); }, {0x41, 0x00}, {}, nullptr},
      {"AdjustZero", [](TCustomZOL &z) { z.AdjustZero(); }, {0x60, 0x00}, {}, nullptr},
      {"AdjustFullScale", [](TCustomZOL &z) { z.AdjustFullScale(); }, {0x61, 0x00}, {}, nullptr},
      {"ReadCryptedPassword",
       [](TCustomZOL &z) { z.ReadCryptedPassword(); },
       {0xC1, 0x00},
       {"GetCryptedPassword"},
       [](const TZOLModel &m) {
         EXPECT_EQ(m.CryptedPassword,
                   (std::array<std::uint8_t, 6>{0x11, 0x22, 0x33, 0x44, 0x55, 0x66}));
       }},
      {"Ping",
       [](TCustomZOL &z) { z.Ping(); },
       {0x6A},
       {},
       [](const TZOLModel &m) { EXPECT_FALSE(m.PingError); }},
      {"Unlock", [](TCustomZOL &z) { z.Unlock("PW"); }, {0x40, 0x00}, {"UnlockDevice"}, nullptr},
      {"SetClock",
       [](TCustomZOL &z) { z.SetClock(); },
       {0x69, 0xB0, 0xB1, 0x00},
       {"UpdateTag"},
       nullptr},
      {"Reset", [](TCustomZOL &z) { z.Reset(); }, {0x65}, {}, nullptr},
      {"ProgramFirmware", [](TCustomZOL &z) { z.ProgramFirmware(); }, {0x66}, {}, nullptr},
      {"EraseFirmware", [](TCustomZOL &z) { z.EraseFirmware(); }, {0x67}, {}, nullptr},
      {"ResetAll", [](TCustomZOL &z) { z.ResetAll(); }, {0x6B}, {}, nullptr},
      {"SendCommand 0x55", [](TCustomZOL &z) { z.SendCommand(0x55); }, {0x55}, {}, nullptr},
  };
  for (const DispatchRow &Row : Rows) {
    SCOPED_TRACE(Row.Name);
    TRig Rig;
    Rig.Connect();
    if (::testing::Test::HasFatalFailure()) {
      return;
    }
    Row.Operation(*Rig.ZOL);
    Rig.ExpectCodes(Row.Sent);
    EXPECT_EQ(Rig.EventsWithoutState(), Row.Events);
    const TZOLModel Model = Rig.ZOL->Snapshot();
    EXPECT_EQ(Model.LastCommand, Row.Sent.back());
    if (Row.Check) {
      Row.Check(Model);
    }
    for (const TCommandFrame &Frame : Rig.Instrument.Frames()) {
      EXPECT_TRUE(FrameChecksumValid(Frame.data(), 8));
    }
  }
}

TEST(ZOLDispatch, GoldenCommandFrames) {
  struct Case {
    const char *Name;
    std::function<void(TCustomZOL &)> Operation;
    TCommandFrame Frame;
  };
  const Case Cases[] = {
      {"Ping", [](TCustomZOL &z) { z.Ping(); }, {0x6A, 0x98, 0x00, 0xFF, 0x55, 0xAA, 0x5A, 0xA5}},
      {"SendTag1 ABC",
       [](TCustomZOL &z) { z.WriteTag("ABC"); },
       {0x30, 0x21, 0x04, 0x20, 0xE0, 0x82, 0x08, 0x20}},
      {"SendAlarm1",
       [](TCustomZOL &z) { z.WriteAlarm1(GoldenAlarm()); },
       {0x21, 0xB0, 0xFA, 0x00, 0x0A, 0x00, 0x19, 0x11}},
      {"ReadFilter", [](TCustomZOL &z) { z.ReadFilter(); }, {0xA0, 0x5F, 0, 0, 0, 0, 0, 0}},
      {"ReadWROP 7", [](TCustomZOL &z) { z.ReadWROP(7); }, {0x02, 0xF6, 0x07, 0, 0, 0, 0, 0}},
      {"Unlock AB",
       [](TCustomZOL &z) { z.Unlock("AB"); },
       {0x40, 0, 0x04, 0x28, 0x20, 0x82, 0x08, 0x20}},
      {"Unlock empty",
       [](TCustomZOL &z) { z.Unlock(""); },
       {0x40, 0, 0x82, 0x08, 0x20, 0x82, 0x08, 0x20}},
      {"Unlock cut to 8",
       [](TCustomZOL &z) { z.Unlock("ABCDABCDEFGH"); },
       {0x40, 0, 0x04, 0x20, 0xC4, 0x04, 0x20, 0xC4}},
      {"Lower case is not folded",
       [](TCustomZOL &z) { z.ChangePassword("abcd"); },
       {0x41, 0, 0x86, 0x28, 0xE4, 0x82, 0x08, 0x20}},
  };
  for (const Case &c : Cases) {
    SCOPED_TRACE(c.Name);
    TRig Rig;
    Rig.Connect();
    if (::testing::Test::HasFatalFailure()) {
      return;
    }
    c.Operation(*Rig.ZOL);
    ASSERT_TRUE(Eventually([&] { return !Rig.FramesSinceMark().empty(); }));
    TCommandFrame Expected = c.Frame;
    if (Expected[1] == 0) {
      // Rows written without their checksum; the others check it too.
      Expected[1] = FrameChecksum(Expected.data(), 8);
    }
    EXPECT_EQ(Rig.FramesSinceMark().front(), Expected);
  }
}

TEST(ZOLDispatch, TagsArePaddedAndCut) {
  TRig Rig;
  Rig.Connect();
  const std::string Forty = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789!#$%";
  Rig.ZOL->WriteTag(Forty);
  ASSERT_TRUE(Eventually([&] { return Rig.FramesSinceMark().size() >= 2; }));
  const auto Frames = Rig.FramesSinceMark();
  EXPECT_EQ(UnpackChars(&Frames[0][2]) + UnpackChars(&Frames[0][5]), "ABCDEFGH");
  EXPECT_EQ(UnpackChars(&Frames[1][2]) + UnpackChars(&Frames[1][5]), "IJKLMNOP");
  EXPECT_EQ(Rig.ZOL->Snapshot().Outgoing.Tag.Get(), Forty.substr(0, 32));
}

TEST(ZOLDispatch, UnlockFailedOrSucceeded) {
  for (const bool StillLocked : {true, false}) {
    SCOPED_TRACE(StillLocked ? "still locked" : "unlocked");
    TRig Rig;
    Rig.Instrument.SetStatus(StatusBit::WriteLocked);
    Rig.Connect();
    ASSERT_TRUE(Rig.ZOL->Snapshot().WriteLocked);
    Rig.Instrument.SetStatus(StillLocked ? StatusBit::WriteLocked : 0);
    Rig.ZOL->Unlock("SECRET");
    Rig.ExpectCodes({0x40, 0x00});
    EXPECT_EQ(Rig.Count("UnlockDevice"), StillLocked ? 0 : 1);
    EXPECT_EQ(Rig.ZOL->Snapshot().WriteLocked, StillLocked);
  }
}

TEST(ZOLDispatch, WROPRecordReachesTheHandler) {
  TRig Rig;
  Rig.Connect();
  Rig.ZOL->ReadWROP(2);
  Rig.ExpectCodes({0x02});
  const auto Records = Rig.WROPs();
  ASSERT_GE(Records.size(), 1u); // every repeat of the answer raises it again
  EXPECT_EQ(Records[0].SlotMask, 0xFC);
  EXPECT_EQ(WROPSlot(Records[0].SlotMask), 2);
  EXPECT_EQ(Records[0].OpCode, 0x31);
  EXPECT_EQ(WROPDateText(Records[0].OpDate), "7/12/2026");
  EXPECT_EQ(WROPTimeText(Records[0].OpTime), "12:0");
  EXPECT_EQ(Rig.FramesSinceMark()[0][2], 2);
}

TEST(ZOLDispatch, OutOfRangeOperationsThrowAndSendNothing) {
  TRig Rig;
  Rig.Connect();
  const float NaN = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    const char *Name;
    std::function<void(TCustomZOL &)> Operation;
  };
  const Case Cases[] = {
      {"ReadWROP 256", [](TCustomZOL &z) { z.ReadWROP(256); }},
      {"ReadWROP -1", [](TCustomZOL &z) { z.ReadWROP(-1); }},
      {"set point 4000",
       [](TCustomZOL &z) {
         TZOLAlarm a;
         a.SetPoint = 4000.0f;
         z.WriteAlarm1(a);
       }},
      {"hysteresis NaN",
       [NaN](TCustomZOL &z) {
         TZOLAlarm a;
         a.Hysteresis = NaN;
         z.WriteAlarm2(a);
       }},
      {"delay infinite",
       [](TCustomZOL &z) {
         TZOLAlarm a;
         a.Delay = std::numeric_limits<float>::infinity();
         z.WriteAlarm1(a);
       }},
      {"clock 1999",
       [](TCustomZOL &z) {
         z.Clock = [] { return TCivilDateTime{1999, 12, 31, 23, 0, 0, 0}; };
         z.SetClock();
       }},
  };
  for (const Case &c : Cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_THROW(c.Operation(*Rig.ZOL), ERangeError);
  }
  ASSERT_TRUE(Rig.Instrument.WaitReads(20));
  EXPECT_TRUE(Rig.CodesSinceMark().empty());
  EXPECT_EQ(Rig.ZOL->Snapshot().LastCommand, 0x00);
}

TEST(ZOLDecoder, StateAnswerGolden) {
  TRig Rig;
  Rig.Connect();
  Rig.Instrument.SetAnswer({0x00, 0x03, 234, {0x12, 0x34, 0x42, 0xDD, 0x00, 0x00}, false});
  ASSERT_TRUE(Eventually([&] { return Rig.ZOL->Snapshot().Measure == 23.4f; }));
  const TZOLModel m = Rig.ZOL->Snapshot();
  EXPECT_EQ(m.RawValue, 0x1234);
  EXPECT_EQ(m.Rt, 110.5f);
  EXPECT_TRUE(m.Relay1);
  EXPECT_TRUE(m.Led1);
  EXPECT_FALSE(m.Relay2 || m.Led2 || m.WriteLocked || m.UseDisplay || m.UseE2PROM);
}

TEST(ZOLDecoder, StatusBitsAndSensorFailure) {
  struct Case {
    std::uint8_t Code;
    std::uint8_t Status;
    float Measure;
  };
  const Case Cases[] = {
      {0x00, 0x80, 9999.0f}, {0x00, 0x00, -12.5f}, {0x55, 0x8C, 9999.0f},
      {0x55, 0x7F, -12.5f},  {0x6A, 0x30, -12.5f},
  };
  TRig Rig;
  Rig.Connect();
  // Answers of other codes make the state request go out again: the instrument ignores it.
  Rig.Instrument.SetResponder([](const TCommandFrame &) { return std::nullopt; });
  for (const Case &c : Cases) {
    SCOPED_TRACE(::testing::Message() << "code " << int(c.Code) << " status " << int(c.Status));
    Rig.Instrument.SetAnswer({c.Code, c.Status, -125, {0x00, 0xFF, 0x55, 0xAA, 0x5A, 0xA5}, false});
    ASSERT_TRUE(Eventually([&] {
      const TZOLModel m = Rig.ZOL->Snapshot();
      return m.Measure == c.Measure && m.Relay1 == ((c.Status & 0x01) != 0) &&
             m.Led1 == ((c.Status & 0x02) != 0) && m.Relay2 == ((c.Status & 0x04) != 0) &&
             m.Led2 == ((c.Status & 0x08) != 0) && m.UseDisplay == ((c.Status & 0x10) != 0) &&
             m.UseE2PROM == ((c.Status & 0x20) != 0) && m.WriteLocked == ((c.Status & 0x40) != 0);
    }));
  }
}

TEST(ZOLDecoder, BadChecksumChangesNothing) {
  TRig Rig;
  Rig.Connect();
  const TCommandFrame LastFrame = Rig.Instrument.Frames().back();
  // The instrument acts on nothing from now on, so that only corrupted answers arrive.
  Rig.Instrument.SetResponder([](const TCommandFrame &) { return std::nullopt; });
  Rig.Instrument.SetAnswer({0xA1, 0xFF, 500, {0x10, 0x00, 0x10, 0x00, 0x10, 0x13}, true});
  // A good answer read just before the change may still be on its way through the decoder.
  ASSERT_TRUE(Rig.Instrument.WaitReads(3));
  Rig.Mark();
  const TZOLModel Before = Rig.ZOL->Snapshot();
  ASSERT_TRUE(Rig.Instrument.WaitReads(30));
  const TZOLModel After = Rig.ZOL->Snapshot();
  EXPECT_EQ(After.Measure, Before.Measure);
  EXPECT_EQ(After.WriteLocked, Before.WriteLocked);
  EXPECT_EQ(After.Relay1, Before.Relay1);
  EXPECT_EQ(After.Settings.Alarm1.SetPoint, Before.Settings.Alarm1.SetPoint);
  EXPECT_TRUE(Rig.EventsWithoutState().empty());
  EXPECT_EQ(Rig.Count("UpdateState"), 0);
  // Only the resend rule acts: the state request goes out again, byte for byte.
  const auto Sent = Rig.FramesSinceMark();
  EXPECT_FALSE(Sent.empty());
  for (const TCommandFrame &Frame : Sent) {
    EXPECT_EQ(Frame, LastFrame);
  }
}

TEST(ZOLDecoder, RepeatedAnswersAreTolerated) {
  TRig Rig;
  Rig.Connect();
  Rig.Instrument.SetAnswerDelay(3); // every answer comes 3 reports late; the old one repeats
  Rig.ZOL->ReadAll();
  ASSERT_TRUE(Eventually([&] { return Rig.Count("ReadAll") == 1; }));
  ASSERT_TRUE(Eventually([&] {
    const Codes Sent = Rig.CodesSinceMark();
    return !Sent.empty() && Sent.back() == 0x00;
  }));
  ASSERT_TRUE(Rig.Instrument.WaitReads(20));
  EXPECT_EQ(Rig.Count("ReadAll"), 1);
  EXPECT_GE(Rig.Count("UpdateAlarm2"), 2);
  const TZOLModel m = Rig.ZOL->Snapshot();
  EXPECT_FALSE(m.ReadingAll);
  EXPECT_EQ(m.Settings.Tag.Get(), "ABCDEFGH12345678");
  EXPECT_EQ(m.Settings.Alarm1.SetPoint, -12.5f);
  // The chain's order survives the repeats.
  Codes Distinct;
  for (std::uint8_t Code : Rig.CodesSinceMark()) {
    if (Distinct.empty() || Distinct.back() != Code) {
      Distinct.push_back(Code);
    }
  }
  EXPECT_EQ(Distinct, (Codes{0xB0, 0xB1, 0xA0, 0xA1, 0xA2, 0x00}));

  // A further 0xA2 answer raises UpdateAlarm2 again, not ReadAll.
  Rig.Instrument.SetAnswerDelay(0);
  const int Alarm2Before = Rig.Count("UpdateAlarm2");
  Rig.Instrument.SetAnswer({0xA2, 0x00, 0, {0xFA, 0x00, 0x05, 0x00, 0xFF, 0x02}, false});
  ASSERT_TRUE(Eventually([&] { return Rig.Count("UpdateAlarm2") > Alarm2Before; }));
  EXPECT_EQ(Rig.Count("ReadAll"), 1);
}

TEST(ZOLDecoder, PingErrorIsSticky) {
  TRig Rig;
  Rig.Instrument.SetPayload(0x6A, {0x00, 0xFF, 0x55, 0xAA, 0x5A, 0xA4});
  Rig.Connect();
  Rig.ZOL->Ping();
  ASSERT_TRUE(Eventually([&] { return Rig.ZOL->Snapshot().PingError; }));
  Rig.Instrument.SetAnswer({0x6A, 0x00, 0, {0x00, 0xFF, 0x55, 0xAA, 0x5A, 0xA5}, false});
  const int States = Rig.Count("UpdateState");
  ASSERT_TRUE(Eventually([&] { return Rig.Count("UpdateState") > States + 5; }));
  EXPECT_TRUE(Rig.ZOL->Snapshot().PingError);
  Rig.Instrument.SetPayload(0x6A, {0x00, 0xFF, 0x55, 0xAA, 0x5A, 0xA5});
  Rig.ZOL->Ping();
  EXPECT_FALSE(Rig.ZOL->Snapshot().PingError);
  ASSERT_TRUE(Rig.Instrument.WaitReads(10));
  EXPECT_FALSE(Rig.ZOL->Snapshot().PingError);
}

TEST(ZOLDecoder, ErrorAnswerRaisesOnErrorEachTime) {
  TRig Rig;
  Rig.Connect();
  Rig.Instrument.SetResponder([](const TCommandFrame &) { return std::nullopt; });
  Rig.Instrument.SetAnswer({0xFF, 0x00, 0, {}, false});
  ASSERT_TRUE(Eventually([&] { return Rig.Count("Error") >= 3; }));
  const Names Events = Rig.EventsWithoutState();
  EXPECT_EQ(std::count(Events.begin(), Events.end(), "Error"), static_cast<long>(Events.size()));
}

TEST(ZOLFraming, ResendRuleThroughTheChannel) {
  struct Case {
    const char *Name;
    std::uint8_t StartCounter;
    std::function<void(TCustomZOL &)> Operation;
    std::uint8_t Ignored;
    bool Resent;
  };
  const Case Cases[] = {
      {"read alarm 1", 10, [](TCustomZOL &z) { z.ReadAlarm1(); }, 0xA1, true},
      {"read alarm 1 across the wrap", 240, [](TCustomZOL &z) { z.ReadAlarm1(); }, 0xA1, true},
      {"reset all", 250, [](TCustomZOL &z) { z.ResetAll(); }, 0x6B, true},
      {"reset", 250, [](TCustomZOL &z) { z.Reset(); }, 0x65, false},
      {"program firmware", 250, [](TCustomZOL &z) { z.ProgramFirmware(); }, 0x66, false},
      {"erase firmware", 250, [](TCustomZOL &z) { z.EraseFirmware(); }, 0x67, false},
  };
  for (const Case &c : Cases) {
    SCOPED_TRACE(c.Name);
    TRig Rig;
    Rig.Connect();
    Rig.Instrument.SetCounter(c.StartCounter);
    const std::uint8_t Ignored = c.Ignored;
    Rig.Instrument.SetResponder(
        [Ignored](const TCommandFrame &Frame) -> std::optional<TScriptedAnswer> {
          if (Frame[0] == Ignored) {
            return std::nullopt;
          }
          TScriptedAnswer Answer;
          Answer.Code = Frame[0];
          return Answer;
        });
    c.Operation(*Rig.ZOL);
    ASSERT_TRUE(Rig.Instrument.WaitReads(40));
    const auto Sent = Rig.FramesSinceMark();
    ASSERT_FALSE(Sent.empty());
    if (c.Resent) {
      // The counter moves by one per report: a resend every 4 reports, never more often.
      EXPECT_GE(Sent.size(), 5u);
      EXPECT_LE(Sent.size(), 14u);
    } else {
      EXPECT_EQ(Sent.size(), 1u);
    }
    for (const TCommandFrame &Frame : Sent) {
      EXPECT_EQ(Frame, Sent.front()); // byte for byte the frame first sent
    }
  }
}

// ---- Range errors inside chains -----------------------------------------------------------------

TEST(ZOLChains, RangeErrorStopsOnlyTheWriteAllChain) {
  struct Case {
    const char *Name;
    std::function<void(TZOLSettings &)> Spoil;
    Codes SentBeforeTheStop;
    const char *Message;
  };
  const float NaN = std::numeric_limits<float>::quiet_NaN();
  const Case Cases[] = {
      {"set point 1e9",
       [](TZOLSettings &s) { s.Alarm1.SetPoint = 1e9f; },
       {0x30, 0x31, 0x20},
       "Alarm 1 set point 1000000000.0 °C cannot be sent: "},
      {"set point NaN",
       [NaN](TZOLSettings &s) { s.Alarm1.SetPoint = NaN; },
       {0x30, 0x31, 0x20},
       "Alarm 1 set point NaN °C cannot be sent: "},
      {"alarm 2 hysteresis infinite",
       [](TZOLSettings &s) { s.Alarm2.Hysteresis = std::numeric_limits<float>::infinity(); },
       {0x30, 0x31, 0x20, 0x21},
       "Alarm 2 hysteresis +Inf °C cannot be sent: "},
      {"alarm 2 delay NaN",
       [NaN](TZOLSettings &s) { s.Alarm2.Delay = NaN; },
       {0x30, 0x31, 0x20, 0x21},
       "Alarm 2 Delay NaN s cannot be sent: "},
  };
  const std::string Path = (std::filesystem::temp_directory_path() /
                            ("zol-chain-" + std::to_string(::getpid()) + ".ZOL"))
                               .string();
  for (const Case &c : Cases) {
    SCOPED_TRACE(c.Name);
    TZOLSettings Settings;
    Settings.Tag.Set("CHAIN");
    Settings.Filter = 1.0f;
    c.Spoil(Settings);
    ASSERT_TRUE(WriteParameterFile(Path, Settings).Ok);

    TRig Rig;
    Rig.Connect();
    ASSERT_TRUE(Rig.ZOL->LoadParameters(Path).Ok);
    Rig.ZOL->WriteAll();
    ASSERT_TRUE(Eventually([&] { return !Rig.Errors().empty(); }));
    Rig.ExpectCodes(c.SentBeforeTheStop);
    // The instrument repeats its last answer: the stopped row is not run again.
    EXPECT_EQ(Rig.Errors().size(), 1u);
    EXPECT_EQ(Rig.Errors()[0].rfind(c.Message, 0), 0u) << Rig.Errors()[0];
    EXPECT_TRUE(Rig.ZOL->Snapshot().WritingAll);
    EXPECT_EQ(Rig.Count("WriteAll"), 0);

    // The worker goes on; the next command ends the stopped chain without a second message.
    Rig.Mark();
    Rig.ZOL->ReadFilter();
    Rig.ExpectCodes({0xA0, 0x00});
    EXPECT_EQ(Rig.Count("UpdateFilter"), 1);
    EXPECT_FALSE(Rig.ZOL->Snapshot().WritingAll);
    EXPECT_TRUE(Rig.Errors().empty());
  }
  std::filesystem::remove(Path);
}

TEST(ZOLChains, ClockBefore2000StopsOnlyTheConnectionChain) {
  TRig Rig;
  Rig.ZOL->Clock = [] { return TCivilDateTime{1999, 6, 1, 8, 0, 0, 0}; };
  ASSERT_EQ(Rig.ZOL->Scan(), 1);
  ASSERT_TRUE(Rig.ZOL->Open(0));
  ASSERT_TRUE(Eventually([&] { return !Rig.Errors().empty(); }));
  ASSERT_TRUE(Rig.Instrument.WaitReads(20));
  EXPECT_EQ(Rig.Count("Connect"), 1);
  EXPECT_TRUE(Rig.Instrument.Frames().empty());
  EXPECT_NE(Rig.Errors()[0].find("Clock 1999-06-01"), std::string::npos) << Rig.Errors()[0];
  Rig.ZOL->ReadTag();
  Rig.ExpectCodes({0xB0, 0xB1, 0x00});
}

TEST(ZOLComponent, OpenBeyondTheListFails) {
  TRig Rig;
  EXPECT_EQ(Rig.ZOL->Scan(), 1);
  EXPECT_FALSE(Rig.ZOL->Open(1));
  EXPECT_FALSE(Rig.ZOL->Open(5));
  EXPECT_EQ(Rig.Count("Connect"), 0);
  EXPECT_EQ(Rig.ZOL->Device->Vid, 0x0451);
  EXPECT_EQ(Rig.ZOL->Device->Pid, 0x0023);
}

TEST(ZOLComponent, LoadAndSaveParameters) {
  const std::string Dir =
      (std::filesystem::temp_directory_path() / ("zol-component-" + std::to_string(::getpid())))
          .string();
  std::filesystem::create_directories(Dir);
  TRig Rig;
  TZOLSettings Settings;
  Settings.Tag.Set("LOADED");
  Settings.Alarm1.SetPoint = 12.5f;
  ASSERT_TRUE(WriteParameterFile(Dir + "/a.ZOL", Settings).Ok);
  ASSERT_TRUE(Rig.ZOL->LoadParameters(Dir + "/a.ZOL").Ok);
  EXPECT_EQ(Rig.ZOL->Snapshot().Settings.Tag.Get(), "LOADED");
  const TParamFileResult Missing = Rig.ZOL->LoadParameters(Dir + "/missing.ZOL");
  EXPECT_FALSE(Missing.Ok);
  EXPECT_EQ(Rig.ZOL->Snapshot().Settings.Alarm1.SetPoint, 12.5f);
  ASSERT_TRUE(Rig.ZOL->SaveParameters(Dir + "/b.ZOL").Ok);
  TZOLSettings Back;
  ASSERT_TRUE(ReadParameterFile(Dir + "/b.ZOL", Back).Ok);
  EXPECT_EQ(SettingsImage(Back), SettingsImage(Settings));
  std::filesystem::remove_all(Dir);
}

// The instrument repeats its last answer until a new command reaches it. Such a repeat of an
// earlier exchange must neither end a new chain, nor skip its writes, nor send a reply behind a
// command the user has just sent.
Codes Distinct(const Codes &Sent) {
  Codes Result;
  for (std::uint8_t Code : Sent) {
    if (Result.empty() || Result.back() != Code) {
      Result.push_back(Code);
    }
  }
  return Result;
}

TEST(ZOLChains, ARepeatOfThePreviousWriteAllDoesNotEndTheNext) {
  TRig Rig;
  Rig.Connect();
  Rig.Instrument.SetAnswerDelay(3);
  Rig.ZOL->WriteAll();
  ASSERT_TRUE(Eventually([&] { return Rig.Count("WriteAll") == 1; }));
  // At once, while the instrument still repeats its 0x22 answer.
  Rig.Mark();
  Rig.ZOL->WriteAll();
  ASSERT_TRUE(Eventually([&] { return Rig.Count("WriteAll") == 1; }));
  Codes Sent = Distinct(Rig.CodesSinceMark());
  // A read-back of alarm 2 asked by the first chain's repeat may precede the new chain.
  if (!Sent.empty() && Sent.front() == 0xA2) {
    Sent.erase(Sent.begin());
  }
  // After the chain, a repeat of its 0x22 answer may ask for alarm 2 to be read back.
  if (Sent.size() > 5 && Sent[5] == 0xA2) {
    Sent.resize(5);
  }
  EXPECT_EQ(Sent, (Codes{0x30, 0x31, 0x20, 0x21, 0x22})) << "every setting is written";
  ASSERT_TRUE(Rig.Instrument.WaitReads(20));
  EXPECT_EQ(Rig.Count("WriteAll"), 1);
  EXPECT_FALSE(Rig.ZOL->Snapshot().WritingAll);
}

TEST(ZOLChains, ARepeatOfThePreviousReadAllDoesNotEndTheNext) {
  TRig Rig;
  Rig.Connect();
  Rig.Instrument.SetAnswerDelay(3);
  Rig.ZOL->ReadAll();
  ASSERT_TRUE(Eventually([&] { return Rig.Count("ReadAll") == 1; }));
  Rig.Mark();
  Rig.ZOL->ReadAll();
  ASSERT_TRUE(Eventually([&] { return Rig.Count("ReadAll") == 1; }));
  // The second read-all ends only on its own 0xA2 answer, after every read went out.
  const Codes Sent = Distinct(Rig.CodesSinceMark());
  const Codes Chain{0xB0, 0xB1, 0xA0, 0xA1, 0xA2};
  EXPECT_NE(std::search(Sent.begin(), Sent.end(), Chain.begin(), Chain.end()), Sent.end())
      << ::testing::PrintToString(Sent);
  ASSERT_TRUE(Rig.Instrument.WaitReads(20));
  EXPECT_EQ(Rig.Count("ReadAll"), 1);
}

TEST(ZOLChains, NoReplyGoesOutBehindAUsersCommand) {
  TRig Rig;
  Rig.Connect();
  Rig.Instrument.SetAnswerDelay(3);
  Rig.ZOL->ReadAlarm1();
  ASSERT_TRUE(Eventually([&] { return Rig.Count("UpdateAlarm1") >= 1; }));
  // The instrument goes on repeating 0xA1 for a few reports: the user writes meanwhile.
  Rig.Mark();
  Rig.ZOL->WriteFilter(2.0f);
  ASSERT_TRUE(Eventually([&] { return Rig.Count("UpdateFilter") >= 1; })) << "read back";
  const Codes Sent = Rig.CodesSinceMark();
  const auto Write = std::find(Sent.begin(), Sent.end(), 0x20);
  ASSERT_NE(Write, Sent.end());
  const Codes After = Distinct(Codes(Write, Sent.end()));
  ASSERT_GE(After.size(), 2u);
  EXPECT_EQ(After[1], 0xA0) << ::testing::PrintToString(Sent);
}

TEST(ZOLChains, AUsersCommandDuringAChainEndsItWithAMessage) {
  struct Case {
    const char *Name;
    void (TCustomZOL::*Start)();
    const char *Message;
    const char *Completion;
  };
  const Case Cases[] = {
      {"write-all", &TCustomZOL::WriteAll, "Sending all settings was interrupted", "WriteAll"},
      {"read-all", &TCustomZOL::ReadAll, "Reading all settings was interrupted", "ReadAll"},
  };
  for (const Case &c : Cases) {
    SCOPED_TRACE(c.Name);
    TRig Rig;
    Rig.Connect();
    Rig.Instrument.SetAnswerDelay(2);
    ((*Rig.ZOL).*c.Start)();
    Rig.ZOL->ReadAlarm1(); // a second sender while the chain runs
    ASSERT_TRUE(Eventually([&] { return Rig.Count("UpdateAlarm1") >= 1; }));
    ASSERT_EQ(Rig.Errors().size(), 1u);
    EXPECT_EQ(Rig.Errors()[0].rfind(c.Message, 0), 0u) << Rig.Errors()[0];
    const TZOLModel m = Rig.ZOL->Snapshot();
    EXPECT_FALSE(m.WritingAll);
    EXPECT_FALSE(m.ReadingAll);
    // A later single write stays a single write: nothing of the old chain follows it.
    Rig.Instrument.SetAnswerDelay(0);
    ASSERT_TRUE(Rig.Instrument.WaitReads(10));
    Rig.Mark();
    Rig.ZOL->WriteFilter(4.0f);
    Rig.ExpectCodes({0x20, 0xA0, 0x00});
    EXPECT_EQ(Rig.Count(c.Completion), 0);
    EXPECT_EQ(Rig.Errors().size(), 0u);
  }
}

TEST(ZOLSecrets, APasswordIsForgottenOnceTheInstrumentAnswers) {
  for (const bool Change : {false, true}) {
    TRig Rig;
    Rig.Connect();
    Rig.Mark();
    Change ? Rig.ZOL->ChangePassword("SECRET") : Rig.ZOL->Unlock("SECRET");
    Rig.ExpectCodes({static_cast<std::uint8_t>(Change ? 0x41 : 0x40), 0x00});
    const auto Sent = Rig.FramesSinceMark();
    ASSERT_FALSE(Sent.empty());
    EXPECT_NE(Sent[0][2], 0) << "the instrument got the password";
    // What stays for resending is the state request now; and when the password frame was the
    // last one answered, its bytes are gone all the same.
    const auto Kept = Rig.ZOL->Device->FrameState().LastFrame;
    EXPECT_EQ(Kept[0], 0x00);
    EXPECT_TRUE(
        std::all_of(Kept.begin() + 2, Kept.begin() + 8, [](std::uint8_t b) { return b == 0; }));
  }
  // The framing alone: a valid answer to the password frame itself wipes the frame kept for
  // resending; the resend rule alone (run before the checksum is known) does not, nor does an
  // answer while the frame has not gone out.
  TScriptedInstrument Instrument;
  TZOLComDevice Device(Instrument);
  Device.Vid = 0x0451;
  Device.Pid = 0x0023;
  const std::array<std::uint8_t, 8> Frame{0x40, 0, 1, 2, 3, 4, 5, 6};
  Device.WriteFrame(Frame.data(), 8); // no device opened: kept, not sent
  EXPECT_EQ(Device.FrameState().LastFrame[2], 1);
  EXPECT_EQ(Device.ResendLastFrame(0x40), 0);
  Device.ForgetAnsweredSecret(0x40);
  EXPECT_EQ(Device.FrameState().LastFrame[2], 1);
  ASSERT_EQ(Device.Enumerate(), 1);
  ASSERT_TRUE(Device.OpenDevice(0));
  Device.WriteFrame(Frame.data(), 8); // waits until the worker has written it
  ASSERT_TRUE(Device.LastFrameOut());
  EXPECT_EQ(Device.ResendLastFrame(0x40), 0);
  EXPECT_EQ(Device.FrameState().LastFrame[2], 1);
  Device.ForgetAnsweredSecret(0x40);
  const auto Kept = Device.FrameState().LastFrame;
  EXPECT_EQ(Kept[0], 0x40);
  EXPECT_TRUE(
      std::all_of(Kept.begin() + 1, Kept.begin() + 8, [](std::uint8_t b) { return b == 0; }));
}

TEST(ZOLDecoder, EachHistoryRequestPassesOnOneRecordItsOwn) {
  TRig Rig;
  Rig.Connect();
  // Record i has the slot mask of slot i; the instrument takes 3 reports to act on a request.
  Rig.Instrument.SetResponder([](const TCommandFrame &Frame) -> std::optional<TScriptedAnswer> {
    TScriptedAnswer Answer;
    Answer.Code = Frame[0];
    if (Frame[0] == 0x02) {
      Answer.Payload = {static_cast<std::uint8_t>(0xFF << Frame[2]), 0x20, 0x6D, 0x26, 0x00, 0x80};
    }
    return Answer;
  });
  Rig.Instrument.SetAnswerDelay(3);
  Rig.Mark();
  for (int Index = 0; Index < 4; ++Index) {
    Rig.ZOL->ReadWROP(Index);
    ASSERT_TRUE(Eventually([&] { return static_cast<int>(Rig.WROPs().size()) == Index + 1; }));
    // The instrument repeats the record for as long as nothing new reaches it: one is enough.
    ASSERT_TRUE(Rig.Instrument.WaitReads(8));
    ASSERT_EQ(static_cast<int>(Rig.WROPs().size()), Index + 1);
    EXPECT_EQ(Rig.WROPs().back().SlotMask, static_cast<std::uint8_t>(0xFF << Index))
        << "the answer to request " << Index << ", not a repeat of the one before";
  }
}

// ---- The history read as a chain ----------------------------------------------------------------

/// Answers history requests like an instrument holding Held records (slot i for index i, the
/// others six zero bytes); LoseRequest(n) tells whether the n-th history request (from 0) is lost.
test::TScriptedInstrument::TResponder HistoryResponder(int Held,
                                                       std::function<bool(int)> LoseRequest) {
  auto Seen = std::make_shared<int>(0);
  return [=](const TCommandFrame &Frame) -> std::optional<TScriptedAnswer> {
    TScriptedAnswer Answer;
    Answer.Code = Frame[0];
    if (Frame[0] == 0x02) {
      if (LoseRequest((*Seen)++)) {
        return std::nullopt;
      }
      if (Frame[2] < Held) {
        Answer.Payload = {
            static_cast<std::uint8_t>(0xFF << Frame[2]), Frame[2], 0x6D, 0x26, 0x00, 0x80};
      }
    }
    return Answer;
  };
}

TEST(ZOLHistory, EightRecordsEachItsOwnOrAMessageNamingTheMissingOne) {
  struct Case {
    const char *Name;
    int Held;                      // records the instrument holds
    std::function<bool(int)> Lose; // which history requests are lost
    int CorruptEvery;              // every n-th report corrupted (0: none)
    int Missing;                   // the record that never comes, -1: all come
    int AnswerDelay = 0;           // reports the instrument takes to act on a command
  };
  const Case Cases[] = {
      {"full history", 8, [](int) { return false; }, 0, -1},
      {"three empty records", 5, [](int) { return false; }, 0, -1},
      {"lost requests and corrupt reports", 8, [](int n) { return n % 3 == 1; }, 5, -1},
      {"lost requests, empty records", 2, [](int n) { return n % 2 == 0; }, 7, -1},
      {"record 3 never comes", 8, [](int n) { return n >= 3; }, 0, 3},
      {"an instrument slower than 3 reports", 6, [](int) { return false; }, 0, -1, 6},
      {"slow, with lost requests", 8, [](int n) { return n % 4 == 2; }, 0, -1, 5},
  };
  for (const Case &c : Cases) {
    SCOPED_TRACE(c.Name);
    TRig Rig;
    Rig.Connect();
    Rig.Instrument.SetResponder(HistoryResponder(c.Held, c.Lose));
    Rig.Instrument.SetCorruptEvery(c.CorruptEvery);
    Rig.Instrument.SetAnswerDelay(c.AnswerDelay);
    Rig.Mark();
    Rig.ZOL->ReadHistory();
    EXPECT_TRUE(Rig.ZOL->ReadingHistoryNow());
    ASSERT_TRUE(Eventually([&] { return !Rig.ZOL->ReadingHistoryNow(); }));
    ASSERT_TRUE(Rig.Instrument.WaitReads(20));
    const auto Records = Rig.WROPs();
    const int Expected = c.Missing < 0 ? 8 : c.Missing;
    ASSERT_EQ(static_cast<int>(Records.size()), Expected);
    for (int i = 0; i < Expected; ++i) {
      // Each record is the answer to its own request (its OpCode carries the index asked for).
      const std::uint8_t Mask = i < c.Held ? static_cast<std::uint8_t>(0xFF << i) : 0;
      EXPECT_EQ(Records[static_cast<std::size_t>(i)].SlotMask, Mask) << "record " << i;
      EXPECT_EQ(Records[static_cast<std::size_t>(i)].OpCode, i < c.Held ? i : 0) << "record " << i;
    }
    if (c.Missing < 0) {
      EXPECT_TRUE(Rig.Errors().empty()) << Rig.Errors()[0];
    } else {
      ASSERT_EQ(Rig.Errors().size(), 1u);
      EXPECT_EQ(Rig.Errors()[0].rfind("History record 3 did not come", 0), 0u) << Rig.Errors()[0];
    }
  }
}

TEST(ZOLHistory, EachRequestGoesOutOnThePreviousAnswer) {
  TRig Rig;
  Rig.Connect();
  Rig.Instrument.SetResponder(HistoryResponder(8, [](int) { return false; }));
  Rig.Mark();
  Rig.ZOL->ReadHistory();
  ASSERT_TRUE(Eventually([&] { return Rig.WROPs().size() == 8; }));
  Rig.ExpectCodes(Codes(8, 0x02)); // no state request between, nothing after
  const auto Sent = Rig.FramesSinceMark();
  for (std::size_t i = 0; i < Sent.size(); ++i) {
    EXPECT_EQ(Sent[i][2], i);
  }
}

TEST(ZOLHistory, AUsersCommandEndsTheReadWithAMessage) {
  TRig Rig;
  Rig.Connect();
  Rig.Instrument.SetAnswerDelay(2);
  Rig.ZOL->ReadHistory();
  Rig.ZOL->ReadFilter();
  ASSERT_TRUE(Eventually([&] { return Rig.Count("UpdateFilter") >= 1; }));
  EXPECT_FALSE(Rig.ZOL->ReadingHistoryNow());
  ASSERT_EQ(Rig.Errors().size(), 1u);
  EXPECT_EQ(Rig.Errors()[0].rfind("Reading the history was interrupted", 0), 0u) << Rig.Errors()[0];
  // Restarting the read is not an interruption.
  Rig.Mark();
  Rig.ZOL->ReadHistory();
  Rig.ZOL->ReadHistory();
  ASSERT_TRUE(Eventually([&] { return !Rig.ZOL->ReadingHistoryNow(); }));
  EXPECT_TRUE(Rig.Errors().empty());
}

// ---- Faults found trying the component from outside ---------------------------------------------

TEST(ZOLChains, ANewCommandGetsItsFullExchangeAfterAStoppedWriteAll) {
  // A write-all stopped by a range error leaves the instrument repeating the answer of its last
  // write; a single write of that same code later must still be read back and reported.
  struct Case {
    const char *Name;
    std::function<void(TZOLSettings &)> Spoil;
    std::uint8_t StoppedAt;
    std::function<void(TCustomZOL &)> Write;
    Codes Sent;
    const char *Event;
  };
  const Case Cases[] = {
      {"stopped at 0x20, then WriteFilter",
       [](TZOLSettings &s) { s.Alarm1.SetPoint = 1e9f; },
       0x20,
       [](TCustomZOL &z) { z.WriteFilter(2.0f); },
       {0x20, 0xA0, 0x00},
       "UpdateFilter"},
      {"stopped at 0x21, then WriteAlarm1",
       [](TZOLSettings &s) { s.Alarm2.SetPoint = 1e9f; },
       0x21,
       [](TCustomZOL &z) { z.WriteAlarm1(GoldenAlarm()); },
       {0x21, 0xA1, 0x00},
       "UpdateAlarm1"},
  };
  const std::string Path = (std::filesystem::temp_directory_path() /
                            ("zol-stopped-" + std::to_string(::getpid()) + ".ZOL"))
                               .string();
  for (const Case &c : Cases) {
    SCOPED_TRACE(c.Name);
    TZOLSettings Settings;
    c.Spoil(Settings);
    ASSERT_TRUE(WriteParameterFile(Path, Settings).Ok);
    TRig Rig;
    Rig.Connect();
    ASSERT_TRUE(Rig.ZOL->LoadParameters(Path).Ok);
    Rig.ZOL->WriteAll();
    ASSERT_TRUE(Eventually([&] { return !Rig.Errors().empty(); }));
    ASSERT_TRUE(Rig.Instrument.WaitReads(10));
    ASSERT_EQ(Rig.Instrument.Codes().back(), c.StoppedAt);
    Rig.Mark();
    c.Write(*Rig.ZOL);
    Rig.ExpectCodes(c.Sent);
    EXPECT_EQ(Rig.Count(c.Event), 1);
  }
  std::filesystem::remove(Path);
}

TEST(ZOLSecrets, ACorruptReportDoesNotWipeALostPassword) {
  TRig Rig;
  Rig.Connect();
  // The first unlock frame is lost, and the reports meanwhile are corrupted ones reading 0x40.
  auto Seen = std::make_shared<int>(0);
  Rig.Instrument.SetResponder([Seen](const TCommandFrame &Frame) -> std::optional<TScriptedAnswer> {
    if (Frame[0] == 0x40 && (*Seen)++ == 0) {
      return std::nullopt;
    }
    TScriptedAnswer Answer;
    Answer.Code = Frame[0];
    return Answer;
  });
  TScriptedAnswer Corrupt;
  Corrupt.Code = 0x40;
  Corrupt.CorruptChecksum = true;
  Rig.Instrument.SetAnswer(Corrupt);
  Rig.Mark();
  Rig.ZOL->Unlock("SECRET");
  ASSERT_TRUE(Rig.Instrument.WaitReads(10));
  Rig.Instrument.SetAnswer(TScriptedAnswer{}); // valid state answers: the unlock is resent
  ASSERT_TRUE(Eventually([&] { return Rig.Count("UnlockDevice") >= 1; }))
      << ::testing::PrintToString(Rig.CodesSinceMark());
  const auto Sent = Rig.FramesSinceMark();
  ASSERT_GE(Sent.size(), 2u);
  EXPECT_EQ(Sent[1], Sent[0]) << "the resent unlock carries the password";
}

TEST(ZOLDecoder, ReadingAnAlarmKeepsItsPadding) {
  TZOLSettings Settings;
  Settings.Alarm1.Padding = 0xAB;
  Settings.Alarm2.Padding = 0xCD;
  const std::string Path = (std::filesystem::temp_directory_path() /
                            ("zol-padding-" + std::to_string(::getpid()) + ".ZOL"))
                               .string();
  ASSERT_TRUE(WriteParameterFile(Path, Settings).Ok);
  TRig Rig;
  Rig.Connect();
  ASSERT_TRUE(Rig.ZOL->LoadParameters(Path).Ok);
  std::filesystem::remove(Path);
  Rig.ZOL->ReadAll();
  ASSERT_TRUE(Eventually([&] { return Rig.Count("ReadAll") == 1; }));
  const TZOLModel m = Rig.ZOL->Snapshot();
  EXPECT_FLOAT_EQ(m.Settings.Alarm1.SetPoint, -12.5f); // read from the instrument
  EXPECT_EQ(m.Settings.Alarm1.Padding, 0xAB);
  EXPECT_EQ(m.Settings.Alarm2.Padding, 0xCD);
}

TEST(ZOLChains, AnOperationFromAHandlerGoesOutAfterTheRowsReply) {
  struct Case {
    const char *Name;
    TNotifyEvent TCustomZOL::*Event;
    std::function<void(TCustomZOL &)> Call;      // from the handler, once
    std::function<void(TCustomZOL &)> Operation; // what the test starts
    Codes Sent;
  };
  const Case Cases[] = {
      // The unlock row sends its state request before the event: the read-all follows it.
      {"ReadAll from OnUnlockDevice",
       &TCustomZOL::OnUnlockDevice,
       [](TCustomZOL &z) { z.ReadAll(); },
       [](TCustomZOL &z) { z.Unlock("SECRET"); },
       {0x40, 0x00, 0xB0, 0xB1, 0xA0, 0xA1, 0xA2, 0x00}},
      // The alarm row would send its state request after the event: it gives way.
      {"ReadFilter from OnUpdateAlarm1",
       &TCustomZOL::OnUpdateAlarm1,
       [](TCustomZOL &z) { z.ReadFilter(); },
       [](TCustomZOL &z) { z.ReadAlarm1(); },
       {0xA1, 0xA0, 0x00}},
  };
  for (const Case &c : Cases) {
    SCOPED_TRACE(c.Name);
    TRig Rig;
    Rig.Connect();
    auto Called = std::make_shared<bool>(false);
    TCustomZOL &Zol = *Rig.ZOL;
    Zol.*c.Event = [&Zol, Called, Call = c.Call](TObject *) {
      if (!*Called) {
        *Called = true;
        Call(Zol);
      }
    };
    c.Operation(Zol);
    Rig.ExpectCodes(c.Sent);
    EXPECT_FALSE(Zol.Snapshot().ReadingAll);
    EXPECT_TRUE(Rig.Errors().empty());
  }
}

} // namespace
} // namespace zol
