// The simulated instrument on its own, driven tick by tick (no streaming thread, no wall clock).

#include "sim/VirtualRW8.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "protocol/Utils.h"
#include "tests/sim/Frames.h"

namespace zol {
namespace {

using simtest::AlarmParams;
using simtest::Command;
using simtest::Frame;
using simtest::PackedEight;
using std::chrono::microseconds;
using std::chrono::milliseconds;
using Answer = std::array<std::uint8_t, kAnswerLength>;

Frame RawCommand(std::uint8_t code) {
  Frame f{};
  f[0] = code;
  f[1] = FrameChecksum(f.data(), kCommandLength);
  return f;
}

TVirtualRW8Options Manual(std::string memoryFile = {}) {
  TVirtualRW8Options o;
  o.Streaming = false;
  o.MemoryFile = std::move(memoryFile);
  return o;
}

/// The instrument under test with a few helpers: send a command, take the next answer.
struct Bench {
  explicit Bench(TVirtualRW8Options o = Manual()) : Sim(std::move(o)) {}
  void Send(const Frame &f) { Sim.ReceiveCommand(f.data()); }
  /// The next answer; fails the test when no report comes.
  Answer Next(microseconds elapsed = milliseconds(10)) {
    std::uint8_t report[kSimInputReportLength]{};
    const bool produced = Sim.Tick(elapsed, report);
    EXPECT_TRUE(produced);
    EXPECT_EQ(report[0], 0);
    Answer a{};
    std::copy(report + 1, report + kSimInputReportLength, a.begin());
    return a;
  }
  Answer Exchange(const Frame &f) {
    Send(f);
    return Next();
  }
  VirtualRW8 Sim;
};

const std::uint8_t *Payload(const Answer &a) {
  return a.data() + AnswerOffset::Payload;
}

// ---- Answers ------------------------------------------------------------------------------------

TEST(VirtualRW8, FreshInstrumentStreamsValidStateAnswers) {
  Bench b;
  const Answer a = b.Next();
  EXPECT_EQ(a[AnswerOffset::Code], 0x00);
  EXPECT_TRUE(FrameChecksumValid(a.data(), kAnswerLength));
  const std::uint8_t status = a[AnswerOffset::Status];
  EXPECT_EQ(status & StatusBit::WriteLocked, 0) << "factory password is eight spaces";
  EXPECT_NE(status & StatusBit::UseDisplay, 0);
  EXPECT_NE(status & StatusBit::UseE2PROM, 0);
  EXPECT_EQ(status & StatusBit::SensorFailure, 0);
  const int tenths = GetInt16LE(a.data() + AnswerOffset::Measure);
  EXPECT_GT(tenths, 150);
  EXPECT_LT(tenths, 270);
  // Rt is a Pt100 resistance at the measured temperature; RawValue counts 0.01 ohm.
  const float rt = BytesToSingle(Payload(a) + 2);
  const double t = tenths / 10.0;
  EXPECT_NEAR(rt, 100.0 * (1 + 3.9083e-3 * t - 5.775e-7 * t * t), 0.05);
  EXPECT_NEAR(GetInt16BE(Payload(a)), rt * 100.0, 1.0);
}

TEST(VirtualRW8, CounterAdvancesByOnePerReportAndWraps) {
  Bench b;
  int previous = b.Next()[AnswerOffset::Counter];
  bool wrapped = false;
  for (int i = 0; i < 600; ++i) {
    const int counter = b.Next()[AnswerOffset::Counter];
    EXPECT_EQ(counter, (previous + 1) % 256);
    wrapped = wrapped || (previous == 255 && counter == 0);
    previous = counter;
  }
  EXPECT_TRUE(wrapped);
  EXPECT_EQ(b.Sim.Snapshot().ReportsSent, 601u);
}

TEST(VirtualRW8, AnswersTheLastCommandInEveryReportUntilTheNext) {
  Bench b;
  b.Send(Command(TCommand::ReadInfo));
  for (int i = 0; i < 5; ++i) {
    const Answer a = b.Next();
    EXPECT_EQ(a[AnswerOffset::Code], 0x01);
    EXPECT_TRUE(FrameChecksumValid(a.data(), kAnswerLength));
  }
  EXPECT_EQ(b.Exchange(Command(TCommand::ReadState))[AnswerOffset::Code], 0x00);
  EXPECT_EQ(b.Sim.Snapshot().CommandsCarriedOut, 2u);
}

TEST(VirtualRW8, WritesAreStoredAndReadBack) {
  Bench b;
  const auto filter = SingleToBytes(2.5f);
  const TSimAlarm alarm1{-125, 15, 25, AlarmFlag::ContactNC | AlarmFlag::LedBelow};
  const TSimAlarm alarm2{4000, 0, 255, AlarmFlag::FailClosed};
  struct Case {
    const char *name;
    Frame write;
    Frame read;
    std::array<std::uint8_t, 6> expected;
  };
  const std::vector<Case> cases = {
      {"filter",
       Command(TCommand::SendFilter, {filter[0], filter[1], filter[2], filter[3], 0, 0}),
       Command(TCommand::ReadFilter),
       {filter[0], filter[1], filter[2], filter[3], 0, 0}},
      {"alarm 1", Command(TCommand::SendAlarm1, AlarmParams(alarm1)), Command(TCommand::ReadAlarm1),
       AlarmParams(alarm1)},
      {"alarm 2", Command(TCommand::SendAlarm2, AlarmParams(alarm2)), Command(TCommand::ReadAlarm2),
       AlarmParams(alarm2)},
      {"tag 1-8", Command(TCommand::SendTag1, PackedEight("TT-101 A")), Command(TCommand::ReadTag),
       PackedEight("TT-101 A")},
      {"tag 9-16", Command(TCommand::SendTag2, PackedEight("ZONE 3")), Command(TCommand::ReadTag2),
       PackedEight("ZONE 3")},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const Answer w = b.Exchange(c.write);
    EXPECT_EQ(w[AnswerOffset::Code], c.write[0]);
    const Answer r = b.Exchange(c.read);
    EXPECT_EQ(r[AnswerOffset::Code], c.read[0]);
    EXPECT_TRUE(std::equal(c.expected.begin(), c.expected.end(), Payload(r)));
  }
  const TSimSettings s = b.Sim.Snapshot().Settings;
  EXPECT_EQ(s.Tag, "TT-101 AZONE 3  ");
  EXPECT_FLOAT_EQ(s.FilterSeconds(), 2.5f);
  EXPECT_EQ(s.Alarm1, alarm1);
  EXPECT_EQ(s.Alarm2, alarm2);
}

TEST(VirtualRW8, OtherAnswers) {
  Bench b;
  // Ping echoes its parameters.
  const Answer ping = b.Exchange(Command(TCommand::Ping, kPingPattern));
  EXPECT_EQ(ping[0], 0x6A);
  EXPECT_TRUE(std::equal(kPingPattern.begin(), kPingPattern.end(), Payload(ping)));
  // The info block of an instrument whose USB firmware is programmed.
  const Answer info = b.Exchange(Command(TCommand::ReadInfo));
  EXPECT_EQ(Payload(info)[0], 0xC1);
  EXPECT_EQ(Payload(info)[1], 0xFF);
  EXPECT_EQ(Payload(info)[2], 0xFF);
  // An unknown code is answered with an error answer, in every report until the next command.
  b.Send(RawCommand(0x55));
  for (int i = 0; i < 3; ++i) {
    const Answer a = b.Next();
    EXPECT_EQ(a[0], 0xFF);
    EXPECT_TRUE(FrameChecksumValid(a.data(), kAnswerLength));
  }
  // A bad checksum is ignored: the instrument keeps answering what it answered.
  Frame bad = Command(TCommand::ReadFilter);
  bad[1] ^= 0x10;
  EXPECT_EQ(b.Exchange(bad)[0], 0xFF);
  EXPECT_EQ(b.Sim.Snapshot().CommandsWithBadChecksum, 1u);
  // The clock answer, the resets and the firmware commands answer with their own code.
  for (TCommand c : {TCommand::SetClock, TCommand::Reset, TCommand::ResetAll, TCommand::AdjustZero,
                     TCommand::AdjustFullScale})
    EXPECT_EQ(b.Exchange(Command(c))[0], CodeOf(c));
}

TEST(VirtualRW8, CryptedPasswordIsReversibleWithTheSerialNumber) {
  Bench b;
  b.Exchange(Command(TCommand::ChangePassword, PackedEight("K3Y#")));
  const Answer a = b.Exchange(Command(TCommand::ReadCryptedPassword));
  EXPECT_EQ(a[0], 0xC1);
  std::array<std::uint8_t, 6> crypted{};
  std::copy(Payload(a), Payload(a) + 6, crypted.begin());
  EXPECT_EQ(crypted, VirtualRW8::CryptPassword("K3Y#", b.Sim.SerialNumber()));
  EXPECT_EQ(VirtualRW8::DecryptPassword(crypted, b.Sim.SerialNumber()), "K3Y#    ");
  // Another serial number gives other bytes for the same password.
  EXPECT_NE(crypted, VirtualRW8::CryptPassword("K3Y#", "SIMRW80000000002"));
  // The crypted bytes do not show the packed password as it is.
  EXPECT_NE(crypted, PackedEight("K3Y#"));
}

// ---- Password and lock --------------------------------------------------------------------------

TEST(VirtualRW8, LockRefusesWritesUntilTheRightPassword) {
  Bench b;
  b.Exchange(Command(TCommand::ChangePassword, PackedEight("OPEN")));
  EXPECT_EQ(b.Sim.Snapshot().Password, "OPEN    ");
  EXPECT_FALSE(b.Sim.Snapshot().WriteLocked) << "changing the password does not lock at once";
  b.Sim.SetPresent(false);
  b.Sim.SetPresent(true);
  EXPECT_TRUE(b.Sim.Snapshot().WriteLocked)
      << "plug-in locks while the password is not eight spaces";
  EXPECT_NE(b.Next()[AnswerOffset::Status] & StatusBit::WriteLocked, 0);

  const int recordsBefore = b.Sim.Snapshot().HistoryCount;
  const TSimSettings before = b.Sim.Snapshot().Settings;
  const auto filter = SingleToBytes(9.0f);
  const std::vector<Frame> writes = {
      Command(TCommand::SendFilter, {filter[0], filter[1], filter[2], filter[3], 0, 0}),
      Command(TCommand::SendAlarm1, AlarmParams({1, 2, 3, 0})),
      Command(TCommand::SendAlarm2, AlarmParams({1, 2, 3, 0})),
      Command(TCommand::SendTag1, PackedEight("LOCKED")),
      Command(TCommand::SendTag2, PackedEight("LOCKED")),
      Command(TCommand::ChangePassword, PackedEight("HACK")),
      Command(TCommand::EraseFirmware),
      Command(TCommand::ResetAll),
  };
  for (const Frame &w : writes) {
    SCOPED_TRACE(static_cast<int>(w[0]));
    const Answer a = b.Exchange(w);
    EXPECT_EQ(a[0], w[0]) << "a refused write is still answered";
    EXPECT_NE(a[AnswerOffset::Status] & StatusBit::WriteLocked, 0);
  }
  EXPECT_EQ(b.Sim.Snapshot().Settings, before);
  EXPECT_EQ(b.Sim.Snapshot().Password, "OPEN    ");
  EXPECT_EQ(b.Sim.Snapshot().HistoryCount, recordsBefore);
  EXPECT_EQ(b.Sim.Snapshot().InfoBlock[0], 0xC1);

  const Answer wrong = b.Exchange(Command(TCommand::Unlock, PackedEight("OPEM")));
  EXPECT_EQ(wrong[0], 0x40);
  EXPECT_NE(wrong[AnswerOffset::Status] & StatusBit::WriteLocked, 0);
  const Answer right = b.Exchange(Command(TCommand::Unlock, PackedEight("OPEN")));
  EXPECT_EQ(right[AnswerOffset::Status] & StatusBit::WriteLocked, 0);
  b.Exchange(writes[0]);
  EXPECT_FLOAT_EQ(b.Sim.Snapshot().Settings.FilterSeconds(), 9.0f);

  // Reset restarts the instrument: locked again, as at plug-in.
  b.Exchange(Command(TCommand::Reset));
  EXPECT_TRUE(b.Sim.Snapshot().WriteLocked);
}

TEST(VirtualRW8, ResetAllRestoresFactorySettingsAndKeepsThePassword) {
  Bench b;
  b.Exchange(Command(TCommand::SendTag1, PackedEight("CHANGED")));
  b.Exchange(Command(TCommand::ChangePassword, PackedEight("KEEP")));
  b.Exchange(Command(TCommand::ResetAll));
  EXPECT_EQ(b.Sim.Snapshot().Settings, VirtualRW8::FactorySettings());
  EXPECT_EQ(b.Sim.Snapshot().Password, "KEEP    ");
}

// ---- Clock and history --------------------------------------------------------------------------

TEST(VirtualRW8, ClockIsSetThenRuns) {
  Bench b;
  // 7 December 2026 at noon.
  b.Exchange(Command(TCommand::SetClock, {0x6D, 0x26, 0x00, 0x80, 0, 0}));
  EXPECT_EQ(b.Sim.Snapshot().ClockDate, 0x266D);
  EXPECT_EQ(b.Sim.Snapshot().ClockTime, 0x8000);
  b.Next(std::chrono::hours(1));
  EXPECT_EQ(b.Sim.Snapshot().ClockTime, 0x8000 + 65536 * 3600LL / 86400);
  b.Next(std::chrono::hours(12));
  EXPECT_EQ(b.Sim.Snapshot().ClockDate, 0x266E) << "the date goes on at midnight";
}

TEST(VirtualRW8, HistoryKeepsTheLastEightWritesNewestFirst) {
  Bench b;
  b.Exchange(Command(TCommand::SetClock, {0x10, 0x00, 0x00, 0x40, 0, 0}));
  const std::vector<TCommand> recorded = {
      TCommand::SendFilter,      TCommand::SendAlarm1,         TCommand::SendAlarm2,
      TCommand::SendTag1,        TCommand::SendTag2,           TCommand::ChangePassword,
      TCommand::AdjustZero,      TCommand::AdjustFullScale,    TCommand::EraseFirmware,
      TCommand::ProgramFirmware, TCommand::EraseFirmwareMemory};
  // Reads, ping, unlock, clock and resets are not write operations.
  for (TCommand c : {TCommand::ReadState, TCommand::ReadFilter, TCommand::Ping, TCommand::Unlock,
                     TCommand::ReadTag, TCommand::Reset, TCommand::ResetAll})
    b.Exchange(Command(c));
  EXPECT_EQ(b.Sim.Snapshot().HistoryCount, 0);
  for (TCommand c : recorded)
    b.Exchange(Command(c, c == TCommand::ChangePassword ? PackedEight("")
                                                        : std::array<std::uint8_t, 6>{}));
  ASSERT_EQ(b.Sim.Snapshot().HistoryCount, kSimHistorySize);

  for (int index = 0; index < 12; ++index) {
    SCOPED_TRACE(index);
    const Answer a = b.Exchange(Command(TCommand::ReadWROP, {static_cast<std::uint8_t>(index)}));
    EXPECT_EQ(a[0], 0x02);
    const std::uint8_t *record = Payload(a);
    if (index < kSimHistorySize) {
      EXPECT_EQ(record[0], static_cast<std::uint8_t>((0xFF << index) & 0xFF));
      const TCommand expected = recorded[recorded.size() - 1 - index];
      EXPECT_EQ(record[1], CodeOf(expected));
      EXPECT_EQ(GetUInt16LE(record + 2), 0x0010);
      // Each exchange above took one 10 ms report; the time lies just after 06:00.
      EXPECT_GE(GetUInt16LE(record + 4), 0x4000);
      EXPECT_LT(GetUInt16LE(record + 4), 0x4010);
      EXPECT_EQ(b.Sim.Snapshot().HistoryRecord(index)->OpCode, CodeOf(expected));
    } else {
      EXPECT_EQ(record[0], 0x00) << "no record at this index";
      EXPECT_FALSE(b.Sim.Snapshot().HistoryRecord(index).has_value());
    }
  }
  // Erase then program: the info block follows the firmware.
  EXPECT_EQ(b.Sim.Snapshot().InfoBlock[0], 0xFF) << "the last firmware command erased the memory";
  b.Exchange(Command(TCommand::ProgramFirmware));
  EXPECT_EQ(b.Sim.Snapshot().InfoBlock[0], 0xC1);
}

TEST(VirtualRW8, EmptyHistoryAnswersRecordsWithoutSlot) {
  Bench b;
  for (std::uint8_t index : {0, 7, 8, 255}) {
    const Answer a = b.Exchange(Command(TCommand::ReadWROP, {index}));
    EXPECT_EQ(a[0], 0x02);
    EXPECT_EQ(Payload(a)[0], 0x00);
  }
}

// ---- Alarms -------------------------------------------------------------------------------------

struct AlarmStep {
  float celsius;
  int milliseconds;
  bool relay;
  bool led;
};

struct AlarmCase {
  const char *name;
  TSimAlarm alarm;
  std::vector<AlarmStep> steps;
};

TEST(VirtualRW8, AlarmsDriveRelaysAndLeds) {
  // Set point 30.0, hysteresis 1.0 (release at 29.0), delay 2.0 s.
  const auto alarm = [](std::uint8_t flags) { return TSimAlarm{300, 10, 20, flags}; };
  const std::vector<AlarmCase> cases = {
      {"normally open, LED above",
       alarm(0),
       {{25.0f, 100, false, false},
        {30.0f, 1000, false, false},  // the condition holds, the delay runs
        {30.5f, 1000, true, true},    // 2 s reached
        {29.5f, 5000, true, true},    // inside the hysteresis band: stays
        {29.0f, 1500, true, true},    // released condition, delay running
        {28.0f, 500, false, false}}}, // 2 s reached
      {"condition broken restarts the delay",
       alarm(0),
       {{31.0f, 1500, false, false},
        {29.9f, 100, false, false},
        {31.0f, 1500, false, false},
        {31.0f, 500, true, true}}},
      {"normally closed contact",
       alarm(AlarmFlag::ContactNC),
       {{25.0f, 100, true, false}, {35.0f, 2000, false, true}}},
      {"LED lit below",
       alarm(AlarmFlag::LedBelow),
       {{25.0f, 100, false, true}, {35.0f, 2000, true, false}}},
      {"no delay",
       TSimAlarm{-50, 5, 0, 0},
       {{-6.0f, 10, false, false},
        {-5.0f, 10, true, true},
        {-5.4f, 10, true, true},
        {-5.5f, 10, false, false}}},
  };
  for (const AlarmCase &c : cases) {
    for (int which : {1, 2}) {
      SCOPED_TRACE(std::string(c.name) + (which == 1 ? " (alarm 1)" : " (alarm 2)"));
      Bench b;
      b.Exchange(
          Command(which == 1 ? TCommand::SendAlarm1 : TCommand::SendAlarm2, AlarmParams(c.alarm)));
      const std::uint8_t relayBit = which == 1 ? StatusBit::Relay1 : StatusBit::Relay2;
      const std::uint8_t ledBit = which == 1 ? StatusBit::Led1 : StatusBit::Led2;
      for (const AlarmStep &s : c.steps) {
        b.Sim.SetTemperature(s.celsius);
        const Answer a = b.Next(milliseconds(s.milliseconds));
        EXPECT_EQ(GetInt16LE(a.data() + AnswerOffset::Measure), std::lround(s.celsius * 10));
        EXPECT_EQ((a[AnswerOffset::Status] & relayBit) != 0, s.relay) << s.celsius;
        EXPECT_EQ((a[AnswerOffset::Status] & ledBit) != 0, s.led) << s.celsius;
      }
    }
  }
}

TEST(VirtualRW8, SensorFailureSetsBit7AndTheFailureContact) {
  Bench b;
  b.Exchange(Command(TCommand::SendAlarm1, AlarmParams({300, 10, 0, AlarmFlag::FailClosed})));
  b.Exchange(Command(TCommand::SendAlarm2, AlarmParams({300, 10, 0, AlarmFlag::ContactNC})));
  b.Sim.SetTemperature(20.0f);
  const Answer normal = b.Next();
  EXPECT_EQ(normal[AnswerOffset::Status] & StatusBit::Relay1, 0);
  EXPECT_NE(normal[AnswerOffset::Status] & StatusBit::Relay2, 0) << "NC contact closed at rest";
  b.Sim.SetSensorFailure(true);
  const Answer failed = b.Next();
  EXPECT_TRUE(FrameChecksumValid(failed.data(), kAnswerLength));
  const std::uint8_t status = failed[AnswerOffset::Status];
  EXPECT_NE(status & StatusBit::SensorFailure, 0);
  EXPECT_NE(status & StatusBit::Relay1, 0) << "closed on sensor failure";
  EXPECT_EQ(status & StatusBit::Relay2, 0) << "open on sensor failure";
  EXPECT_NE(status & StatusBit::Led1, 0);
  EXPECT_NE(status & StatusBit::Led2, 0);
  b.Sim.SetSensorFailure(false);
  EXPECT_EQ(b.Next()[AnswerOffset::Status] & StatusBit::SensorFailure, 0);
}

TEST(VirtualRW8, OptionFlagsShowInTheStatus) {
  Bench b;
  for (const auto &[display, e2prom] : {std::pair{false, false}, {true, false}, {false, true}}) {
    b.Sim.SetOptionFlags(display, e2prom);
    const std::uint8_t status = b.Next()[AnswerOffset::Status];
    EXPECT_EQ((status & StatusBit::UseDisplay) != 0, display);
    EXPECT_EQ((status & StatusBit::UseE2PROM) != 0, e2prom);
  }
}

TEST(VirtualRW8, TheMeasurementDriftsSlowlyAndTheFilterDamps) {
  Bench b;
  b.Exchange(Command(TCommand::SendFilter, {0, 0, 0, 0, 0, 0})); // no damping
  int low = 10000, high = -10000, previous = b.Sim.Snapshot().MeasureTenths;
  for (int i = 0; i < 600; ++i) {
    const int m = GetInt16LE(b.Next(milliseconds(500)).data() + AnswerOffset::Measure);
    EXPECT_LE(std::abs(m - previous), 3) << "a slow drift, not a jump";
    low = std::min(low, m);
    high = std::max(high, m);
    previous = m;
  }
  EXPECT_GT(high - low, 10) << "it moves";
  EXPECT_GT(low, 150);
  EXPECT_LT(high, 270);
}

// ---- Faults -------------------------------------------------------------------------------------

TEST(VirtualRW8, DropsTheNextCommands) {
  Bench b;
  b.Sim.DropNextCommands(2);
  EXPECT_EQ(b.Exchange(Command(TCommand::ReadFilter))[0], 0x00);
  EXPECT_EQ(b.Exchange(Command(TCommand::ReadAlarm1))[0], 0x00);
  EXPECT_EQ(b.Exchange(Command(TCommand::ReadAlarm2))[0], 0xA2);
  EXPECT_EQ(b.Sim.Snapshot().CommandsReceived, 3u);
  EXPECT_EQ(b.Sim.Snapshot().CommandsCarriedOut, 1u);
  EXPECT_EQ(b.Sim.Snapshot().CommandsDropped, 2u);
}

TEST(VirtualRW8, DropsAShareOfTheCommands) {
  Bench b;
  b.Sim.SetDropShare(0.2, 5);
  for (int i = 0; i < 1000; ++i)
    b.Send(Command(TCommand::ReadState));
  EXPECT_GT(b.Sim.Snapshot().CommandsDropped, 150u);
  EXPECT_LT(b.Sim.Snapshot().CommandsDropped, 250u);
  EXPECT_EQ(b.Sim.Snapshot().CommandsDropped + b.Sim.Snapshot().CommandsCarriedOut, 1000u);
  b.Sim.SetDropShare(0.0, 5);
  const auto dropped = b.Sim.Snapshot().CommandsDropped;
  b.Send(Command(TCommand::ReadState));
  EXPECT_EQ(b.Sim.Snapshot().CommandsDropped, dropped);
}

TEST(VirtualRW8, ErrorAnswersCarryNothingOut) {
  Bench b;
  b.Sim.SetErrorAnswers(true);
  const Answer a = b.Exchange(Command(TCommand::SendTag1, PackedEight("NOPE")));
  EXPECT_EQ(a[0], 0xFF);
  EXPECT_TRUE(FrameChecksumValid(a.data(), kAnswerLength));
  EXPECT_EQ(b.Sim.Snapshot().Settings.Tag, VirtualRW8::FactorySettings().Tag);
  b.Sim.SetErrorAnswers(false);
  EXPECT_EQ(b.Exchange(Command(TCommand::ReadTag))[0], 0xB0);
}

TEST(VirtualRW8, SilentOrUnpluggedSendsNothingAndTakesNothing) {
  for (const bool unplug : {false, true}) {
    SCOPED_TRACE(unplug ? "unplugged" : "silent");
    Bench b;
    const auto generation = b.Sim.LinkState().PlugGeneration;
    if (unplug)
      b.Sim.SetPresent(false);
    else
      b.Sim.SetSilent(true);
    std::uint8_t report[kSimInputReportLength];
    EXPECT_FALSE(b.Sim.Tick(milliseconds(10), report));
    b.Send(Command(TCommand::SendTag1, PackedEight("LOST")));
    EXPECT_EQ(b.Sim.Snapshot().CommandsCarriedOut, 0u);
    EXPECT_EQ(b.Sim.LinkState().PlugGeneration, generation + (unplug ? 1 : 0));
    if (unplug)
      b.Sim.SetPresent(true);
    else
      b.Sim.SetSilent(false);
    EXPECT_EQ(b.Next()[0], 0x00);
    EXPECT_EQ(b.Sim.Snapshot().Settings.Tag, VirtualRW8::FactorySettings().Tag);
  }
}

TEST(VirtualRW8, CorruptedReportsAlwaysFailTheChecksumAndRepeatWithTheSeed) {
  const auto run = [](double share, std::uint32_t seed) {
    Bench b;
    b.Sim.SetCorruptShare(share, seed);
    std::vector<bool> bad;
    for (int i = 0; i < 2000; ++i)
      bad.push_back(!FrameChecksumValid(b.Next().data(), kAnswerLength));
    EXPECT_EQ(static_cast<std::uint64_t>(std::count(bad.begin(), bad.end(), true)),
              b.Sim.Snapshot().ReportsCorrupted);
    return bad;
  };
  const auto all = run(1.0, 7);
  EXPECT_EQ(std::count(all.begin(), all.end(), true), 2000);
  const auto none = run(0.0, 7);
  EXPECT_EQ(std::count(none.begin(), none.end(), true), 0);
  const auto some = run(0.2, 42);
  const auto count = std::count(some.begin(), some.end(), true);
  EXPECT_GT(count, 300);
  EXPECT_LT(count, 500);
  EXPECT_EQ(run(0.2, 42), some) << "the same seed gives the same reports";
  EXPECT_NE(run(0.2, 43), some);
}

TEST(VirtualRW8, FaultSettingsAreKept) {
  Bench b;
  b.Sim.SetReportPeriod(0);
  EXPECT_EQ(b.Sim.LinkState().ReportPeriod, 1) << "1 ms at least";
  b.Sim.SetReportPeriod(250);
  EXPECT_EQ(b.Sim.LinkState().ReportPeriod, 250);
  b.Sim.SetOversizedReports(true);
  EXPECT_TRUE(b.Sim.LinkState().OversizedReports);
  b.Sim.SetPermissionDenied(true);
  EXPECT_TRUE(b.Sim.LinkState().PermissionDenied);
}

// ---- Streaming thread ---------------------------------------------------------------------------

class CountingListener : public TSimReportListener {
public:
  void ReportProduced(int, const std::uint8_t *Report, int Length) override {
    std::lock_guard lock(Mutex);
    ++Reports;
    Valid =
        Valid && Length == kSimInputReportLength && FrameChecksumValid(Report + 1, kAnswerLength);
    Changed.notify_all();
  }
  void PresenceChanged(int) override {}
  bool WaitFor(int count) {
    std::unique_lock lock(Mutex);
    return Changed.wait_for(lock, std::chrono::seconds(5), [&] { return Reports >= count; });
  }
  std::mutex Mutex; // protects Reports and Valid
  std::condition_variable Changed;
  int Reports = 0;
  bool Valid = true;
};

TEST(VirtualRW8, StreamingThreadDeliversReportsAndStops) {
  CountingListener listener;
  TVirtualRW8Options o;
  o.ReportPeriodMs = 1;
  VirtualRW8 sim(o);
  EXPECT_TRUE(sim.Running());
  sim.SetListener(&listener, 3);
  EXPECT_TRUE(listener.WaitFor(20));
  sim.SetReportPeriod(2);
  EXPECT_TRUE(listener.WaitFor(30));
  sim.Stop();
  EXPECT_FALSE(sim.Running());
  const int after = [&] {
    std::lock_guard lock(listener.Mutex);
    return listener.Reports;
  }();
  std::uint8_t report[kSimInputReportLength];
  EXPECT_TRUE(sim.Tick(milliseconds(1), report)) << "a stopped stream can still be ticked";
  std::lock_guard lock(listener.Mutex);
  EXPECT_EQ(listener.Reports, after) << "nothing is delivered after Stop";
  EXPECT_TRUE(listener.Valid);
}

// ---- Memory file --------------------------------------------------------------------------------

class MemoryFile : public ::testing::Test {
protected:
  void SetUp() override {
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    Path = (std::filesystem::temp_directory_path() /
            (std::string("rw8-memory-") + info->name() + "-" +
             std::to_string(std::chrono::steady_clock::now().time_since_epoch().count())))
               .string();
    std::filesystem::remove(Path);
  }
  void TearDown() override {
    std::filesystem::remove(Path);
    std::filesystem::remove(Path + ".tmp");
  }
  void WriteBytes(const std::vector<char> &bytes) {
    std::ofstream out(Path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  std::vector<char> ReadBytes() {
    std::ifstream in(Path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  std::string Path;
};

TEST_F(MemoryFile, KeepsSettingsPasswordAndHistoryBetweenRuns) {
  TSimSettings written;
  std::vector<TSimRecord> history;
  {
    Bench b(Manual(Path));
    EXPECT_EQ(b.Sim.Snapshot().MemoryState, TSimMemoryState::Missing);
    b.Exchange(Command(TCommand::SetClock, {0x01, 0x02, 0x03, 0x04, 0, 0}));
    b.Exchange(Command(TCommand::SendTag1, PackedEight("MEMORY")));
    b.Exchange(Command(TCommand::SendAlarm2, AlarmParams({-300, 20, 50, AlarmFlag::ContactNC})));
    b.Exchange(Command(TCommand::EraseFirmware));
    b.Exchange(Command(TCommand::ChangePassword, PackedEight("SAFE")));
    b.Sim.SetOptionFlags(false, true);
    written = b.Sim.Snapshot().Settings;
    for (int i = 0; i < b.Sim.Snapshot().HistoryCount; ++i)
      history.push_back(*b.Sim.Snapshot().HistoryRecord(i));
  }
  EXPECT_EQ(ReadBytes().size(), static_cast<std::size_t>(kSimMemoryImageSize));
  EXPECT_FALSE(std::filesystem::exists(Path + ".tmp"));

  Bench again(Manual(Path));
  EXPECT_EQ(again.Sim.Snapshot().MemoryState, TSimMemoryState::Loaded);
  EXPECT_EQ(again.Sim.Snapshot().Settings, written);
  EXPECT_EQ(again.Sim.Snapshot().Password, "SAFE    ");
  EXPECT_TRUE(again.Sim.Snapshot().WriteLocked) << "plugged in with a password: locked";
  ASSERT_EQ(again.Sim.Snapshot().HistoryCount, 4);
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(*again.Sim.Snapshot().HistoryRecord(i), history[i]);
  EXPECT_EQ(again.Sim.Snapshot().InfoBlock[0], 0xFF);
}

TEST_F(MemoryFile, ACorruptFileGivesTheFactoryState) {
  {
    Bench b(Manual(Path));
    b.Exchange(Command(TCommand::SendTag1, PackedEight("GOOD")));
    b.Exchange(Command(TCommand::ChangePassword, PackedEight("PW")));
  }
  const std::vector<char> good = ReadBytes();
  ASSERT_EQ(good.size(), static_cast<std::size_t>(kSimMemoryImageSize));
  struct Case {
    const char *name;
    std::vector<char> bytes;
  };
  std::vector<Case> cases = {
      {"empty", {}},           {"truncated", {good.begin(), good.begin() + 60}},
      {"one byte more", good}, {"flipped byte", good},
      {"bad magic", good},     {"text", {'h', 'e', 'l', 'l', 'o'}}};
  cases[2].bytes.push_back(0);
  cases[3].bytes[20] ^= 0x04;
  cases[4].bytes[0] = 'X';
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    WriteBytes(c.bytes);
    Bench b(Manual(Path));
    EXPECT_EQ(b.Sim.Snapshot().MemoryState, TSimMemoryState::Corrupt);
    EXPECT_EQ(b.Sim.Snapshot().Settings, VirtualRW8::FactorySettings());
    EXPECT_EQ(b.Sim.Snapshot().Password, "        ");
    EXPECT_FALSE(b.Sim.Snapshot().WriteLocked);
    EXPECT_EQ(b.Sim.Snapshot().HistoryCount, 0);
  }
  // The good file still loads, and the instrument overwrites a corrupt file at its next change.
  WriteBytes(good);
  EXPECT_EQ(Bench(Manual(Path)).Sim.Snapshot().MemoryState, TSimMemoryState::Loaded);
  WriteBytes({'x'});
  {
    Bench b(Manual(Path));
    b.Exchange(Command(TCommand::SendTag2, PackedEight("FRESH")));
  }
  EXPECT_EQ(Bench(Manual(Path)).Sim.Snapshot().MemoryState, TSimMemoryState::Loaded);
}

} // namespace
} // namespace zol
