// The device component: connection, the operations and their frames, parameter files.
#include "tests/protocol/ZOLRig.h"

namespace zol {
namespace {

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
  Rig.ExpectCodes({0x02, 0x00}); // a state request after it, as after a read-all
  const auto Records = Rig.WROPs();
  ASSERT_EQ(Records.size(), 1u);
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

} // namespace
} // namespace zol
