// The chains: read-all, write-all, the history read, and commands that cut them short.
#include "tests/protocol/ZOLRig.h"

namespace zol {
namespace {

TEST(ZOLChains, RangeErrorStopsOnlyTheWriteAllChain) {
  struct Case {
    const char *Name;
    std::function<void(TZOLSettings &)> Spoil;
    Codes SentBeforeTheStop;
    TErrorCode Code;
    TQuantity Quantity;
    int Alarm;
  };
  const float NaN = std::numeric_limits<float>::quiet_NaN();
  const Case Cases[] = {
      {"set point 1e9",
       [](TZOLSettings &s) { s.Alarm1.SetPoint = 1e9f; },
       {0x30, 0x31, 0x20},
       TErrorCode::OutOfRange,
       TQuantity::SetPoint,
       1},
      {"set point NaN",
       [NaN](TZOLSettings &s) { s.Alarm1.SetPoint = NaN; },
       {0x30, 0x31, 0x20},
       TErrorCode::NotANumber,
       TQuantity::SetPoint,
       1},
      {"alarm 2 hysteresis infinite",
       [](TZOLSettings &s) { s.Alarm2.Hysteresis = std::numeric_limits<float>::infinity(); },
       {0x30, 0x31, 0x20, 0x21},
       TErrorCode::NotANumber,
       TQuantity::Hysteresis,
       2},
      {"alarm 2 delay NaN",
       [NaN](TZOLSettings &s) { s.Alarm2.Delay = NaN; },
       {0x30, 0x31, 0x20, 0x21},
       TErrorCode::NotANumber,
       TQuantity::Delay,
       2},
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
    EXPECT_EQ(Rig.Errors()[0].Code, c.Code);
    EXPECT_EQ(Rig.Errors()[0].Quantity, c.Quantity);
    EXPECT_EQ(Rig.Errors()[0].Alarm, c.Alarm);
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
  EXPECT_EQ(Rig.Errors()[0].Code, TErrorCode::ClockOutOfRange);
  EXPECT_EQ(Rig.Errors()[0].Text.rfind("1999-06-01", 0), 0u) << Rig.Errors()[0].Text;
  Rig.ZOL->ReadTag();
  Rig.ExpectCodes({0xB0, 0xB1, 0x00});
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
    TErrorCode Code;
    const char *Completion;
  };
  const Case Cases[] = {
      {"write-all", &TCustomZOL::WriteAll, TErrorCode::WriteAllInterrupted, "WriteAll"},
      {"read-all", &TCustomZOL::ReadAll, TErrorCode::ReadAllInterrupted, "ReadAll"},
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
    EXPECT_EQ(Rig.Errors()[0].Code, c.Code);
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
      EXPECT_TRUE(Rig.Errors().empty()) << ErrorCodeName(Rig.Errors()[0].Code);
    } else {
      ASSERT_EQ(Rig.Errors().size(), 1u);
      EXPECT_EQ(Rig.Errors()[0].Code, TErrorCode::HistoryNoAnswer);
      EXPECT_EQ(Rig.Errors()[0].Number, 3);
    }
  }
}

TEST(ZOLHistory, EachRequestGoesOutOnThePreviousAnswerAndTheStateComesBackAfter) {
  TRig Rig;
  Rig.Connect();
  Rig.Instrument.SetResponder(HistoryResponder(8, [](int) { return false; }));
  Rig.Mark();
  Rig.ZOL->ReadHistory();
  ASSERT_TRUE(Eventually([&] { return Rig.WROPs().size() == 8; }));
  Codes Expected(8, 0x02);  // no state request between
  Expected.push_back(0x00); // and one after, as at the end of a read-all
  Rig.ExpectCodes(Expected);
  const auto Sent = Rig.FramesSinceMark();
  for (std::size_t i = 0; i < 8 && i < Sent.size(); ++i) {
    EXPECT_EQ(Sent[i][2], i);
  }
  // The measurement is shown again without another command.
  Rig.Mark();
  ASSERT_TRUE(Rig.Instrument.WaitReads(5));
  EXPECT_GE(Rig.Count("UpdateState"), 1);
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
  EXPECT_EQ(Rig.Errors()[0].Code, TErrorCode::HistoryInterrupted);
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
