// The decoder: every answer, the resend rule, secrets kept and wiped, history answers.
#include "tests/protocol/ZOLRig.h"

namespace zol {
namespace {

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
    std::uint8_t Code;
    bool Lost; // the instrument ignores the command; else it answers AnswerDelay late
    bool Resent;
    int AnswerDelay = 0;
  };
  const Case Cases[] = {
      {"read alarm 1", 10, [](TCustomZOL &z) { z.ReadAlarm1(); }, 0xA1, true, true},
      {"read alarm 1 across the wrap", 240, [](TCustomZOL &z) { z.ReadAlarm1(); }, 0xA1, true,
       true},
      {"reset all", 250, [](TCustomZOL &z) { z.ResetAll(); }, 0x6B, true, true},
      {"reset", 250, [](TCustomZOL &z) { z.Reset(); }, 0x65, true, false},
      {"program firmware", 250, [](TCustomZOL &z) { z.ProgramFirmware(); }, 0x66, true, false},
      {"erase firmware", 250, [](TCustomZOL &z) { z.EraseFirmware(); }, 0x67, true, false},
      // Taken, but its answer is seen 6 reports late (60 ms): the instrument must not record
      // the write twice.
      {"write alarm 1 answered late", 10, [](TCustomZOL &z) { z.WriteAlarm1(GoldenAlarm()); }, 0x21,
       false, false, 6},
  };
  for (const Case &c : Cases) {
    SCOPED_TRACE(c.Name);
    TRig Rig;
    Rig.Connect();
    Rig.Instrument.SetCounter(c.StartCounter);
    const std::uint8_t Ignored = c.Lost ? c.Code : 0xFF;
    Rig.Instrument.SetResponder(
        [Ignored](const TCommandFrame &Frame) -> std::optional<TScriptedAnswer> {
          if (Frame[0] == Ignored) {
            return std::nullopt;
          }
          TScriptedAnswer Answer;
          Answer.Code = Frame[0];
          return Answer;
        });
    Rig.Instrument.SetAnswerDelay(c.AnswerDelay);
    c.Operation(*Rig.ZOL);
    ASSERT_TRUE(Rig.Instrument.WaitReads(60));
    auto Sent = Rig.FramesSinceMark();
    Sent.erase(std::remove_if(Sent.begin(), Sent.end(),
                              [&](const TCommandFrame &Frame) { return Frame[0] != c.Code; }),
               Sent.end());
    ASSERT_FALSE(Sent.empty());
    if (c.Resent) {
      // Overdue after more than 3 reports and 100 ms (10 reports of the rig): a resend every
      // 10 or 11 reports, never more often.
      EXPECT_GE(Sent.size(), 5u);
      EXPECT_LE(Sent.size(), 7u);
    } else {
      EXPECT_EQ(Sent.size(), 1u);
    }
    for (const TCommandFrame &Frame : Sent) {
      EXPECT_EQ(Frame, Sent.front()); // byte for byte the frame first sent
    }
  }
}

TEST(ZOLFraming, TheClockGoesOutOnceAtEachConnectionWhateverTheCounter) {
  // The counter is far from the one held before the connection (none, or the instrument's from
  // before it went away): the clock is counted from the first answer read after it.
  TRig Rig;
  Rig.Instrument.SetCounter(200);
  Rig.Connect(); // exactly 0x69, 0xB0, 0xB1, 0x00
  Rig.Instrument.SetPresent(false);
  ASSERT_TRUE(Eventually([&] { return Rig.Count("Disconnect") == 1; }));
  Rig.Instrument.SetCounter(90);
  Rig.Mark();
  Rig.Instrument.SetPresent(true);
  Rig.ExpectCodes({0x69, 0xB0, 0xB1, 0x00});
}

// ---- Range errors inside chains -----------------------------------------------------------------

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

} // namespace
} // namespace zol
