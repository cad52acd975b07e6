// The frame codec, synchronously: golden commands and answers, both ends, range errors.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "protocol/Codec.h"
#include "sim/VirtualRW8.h"

namespace zol {
namespace {

using Bytes = std::vector<std::uint8_t>;

template <std::size_t N> Bytes Of(const std::array<std::uint8_t, N> &Frame) {
  return Bytes(Frame.begin(), Frame.end());
}

TZOLAlarm Alarm(float SetPoint, float Hysteresis, float Delay, bool ContactNC, bool FailClosed,
                bool LedBelow) {
  TZOLAlarm a;
  a.SetPoint = SetPoint;
  a.Hysteresis = Hysteresis;
  a.Delay = Delay;
  a.ContactNC = ContactNC ? 1 : 0;
  a.FailClosed = FailClosed ? 1 : 0;
  a.LedBelow = LedBelow ? 1 : 0;
  return a;
}

// Host to instrument: each encoder's golden frame, and what the instrument decodes of it.
TEST(Codec, CommandsGoldenAndDecodedByTheInstrument) {
  struct Row {
    const char *Name;
    TCommandBytes Frame;
    Bytes Golden; // checksum 0: written without it, filled in here
    std::function<void(const TDecodedCommand &)> Check;
  };
  const Row Rows[] = {
      {"read filter", EncodeCommand(0xA0), {0xA0, 0x5F, 0, 0, 0, 0, 0, 0}, nullptr},
      {"ping",
       EncodePing(),
       {0x6A, 0x98, 0x00, 0xFF, 0x55, 0xAA, 0x5A, 0xA5},
       [](const TDecodedCommand &d) { EXPECT_EQ(d.Params, kPingPattern); }},
      {"filter 1.5 s",
       EncodeFilter(1.5f),
       {0x20, 0xE0, 0x3F, 0xC0, 0x00, 0x00, 0, 0},
       [](const TDecodedCommand &d) {
         EXPECT_EQ(d.Filter, (std::array<std::uint8_t, 4>{0x3F, 0xC0, 0x00, 0x00}));
       }},
      {"alarm 1",
       EncodeAlarm(TCommand::SendAlarm1, Alarm(25.0f, 1.0f, 2.5f, true, false, true)),
       {0x21, 0xB0, 0xFA, 0x00, 0x0A, 0x00, 0x19, 0x11},
       [](const TDecodedCommand &d) {
         EXPECT_EQ(d.Alarm, (TAlarmBlock{250, 10, 25, 0x11}));
       }},
      {"alarm 2 below zero, fail closed",
       EncodeAlarm(TCommand::SendAlarm2, Alarm(-12.5f, 0.5f, 25.5f, false, true, false)),
       {0x22, 0, 0x83, 0xFF, 0x05, 0x00, 0xFF, 0x02},
       [](const TDecodedCommand &d) {
         EXPECT_EQ(d.Alarm, (TAlarmBlock{-125, 5, 255, 0x02}));
       }},
      {"alarm delays clamped, tenths half to even",
       EncodeAlarm(TCommand::SendAlarm1, Alarm(0.25f, 0.0f, 30.0f, false, false, false)),
       {0x21, 0, 0x02, 0x00, 0x00, 0x00, 0xFF, 0x00},
       nullptr},
      {"alarm negative delay",
       EncodeAlarm(TCommand::SendAlarm1, Alarm(0.0f, 0.0f, -1.0f, false, false, false)),
       {0x21, 0, 0, 0, 0, 0, 0x00, 0x00},
       nullptr},
      {"tag half 1 of ABC",
       EncodeTagHalf(TCommand::SendTag1, "ABC"),
       {0x30, 0x21, 0x04, 0x20, 0xE0, 0x82, 0x08, 0x20},
       [](const TDecodedCommand &d) { EXPECT_EQ(d.Text, "ABC     "); }},
      {"tag half 2 of ABC",
       EncodeTagHalf(TCommand::SendTag2, "ABC"),
       {0x31, 0, 0x82, 0x08, 0x20, 0x82, 0x08, 0x20},
       [](const TDecodedCommand &d) { EXPECT_EQ(d.Text, "        "); }},
      {"tag half 2 of 16",
       EncodeTagHalf(TCommand::SendTag2, "ABCDEFGH12345678XYZ"),
       {0x31, 0, 0xC7, 0x2C, 0xF4, 0xD7, 0x6D, 0xF8},
       [](const TDecodedCommand &d) { EXPECT_EQ(d.Text, "12345678"); }},
      {"unlock AB",
       EncodePassword(TCommand::Unlock, "AB"),
       {0x40, 0, 0x04, 0x28, 0x20, 0x82, 0x08, 0x20},
       [](const TDecodedCommand &d) { EXPECT_EQ(d.Text, "AB      "); }},
      {"unlock empty",
       EncodePassword(TCommand::Unlock, ""),
       {0x40, 0, 0x82, 0x08, 0x20, 0x82, 0x08, 0x20},
       nullptr},
      {"unlock cut to 8",
       EncodePassword(TCommand::Unlock, "ABCDABCDEFGH"),
       {0x40, 0, 0x04, 0x20, 0xC4, 0x04, 0x20, 0xC4},
       [](const TDecodedCommand &d) { EXPECT_EQ(d.Text, "ABCDABCD"); }},
      {"change password, lower case not folded",
       EncodePassword(TCommand::ChangePassword, "abcd"),
       {0x41, 0, 0x86, 0x28, 0xE4, 0x82, 0x08, 0x20},
       nullptr},
      {"clock",
       EncodeClock(TCivilDateTime{2026, 12, 7, 12, 0, 0, 0}),
       {0x69, 0x83, 0x6D, 0x26, 0x00, 0x80, 0x00, 0x00},
       [](const TDecodedCommand &d) {
         EXPECT_EQ(d.Clock.Date, 0x266D);
         EXPECT_EQ(d.Clock.Time, 0x8000);
       }},
      {"history 7",
       EncodeHistoryRequest(7),
       {0x02, 0xF6, 0x07, 0, 0, 0, 0, 0},
       [](const TDecodedCommand &d) { EXPECT_EQ(d.HistoryIndex, 7); }},
      {"history 255",
       EncodeHistoryRequest(255),
       {0x02, 0, 0xFF, 0, 0, 0, 0, 0},
       [](const TDecodedCommand &d) { EXPECT_EQ(d.HistoryIndex, 255); }},
  };
  for (const Row &r : Rows) {
    SCOPED_TRACE(r.Name);
    Bytes Golden = r.Golden;
    if (Golden[CommandOffset::Checksum] == 0) {
      Golden[CommandOffset::Checksum] = FrameChecksum(Golden.data(), kCommandLength);
    }
    EXPECT_EQ(Of(r.Frame), Golden);
    const TDecodedCommand d = DecodeCommand(r.Frame.data());
    EXPECT_TRUE(d.ChecksumValid);
    EXPECT_EQ(d.Code, Golden[CommandOffset::Code]);
    if (r.Check) {
      r.Check(d);
    }
  }
  TCommandBytes Bad = EncodeCommand(0x00);
  Bad[CommandOffset::Checksum] ^= 0x01;
  EXPECT_FALSE(DecodeCommand(Bad.data()).ChecksumValid);
}

TEST(Codec, ValuesNoFrameCarriesAreRangeErrors) {
  const float NaN = std::numeric_limits<float>::quiet_NaN();
  const float Inf = std::numeric_limits<float>::infinity();
  struct Row {
    std::function<void()> Encode;
    TErrorCode Code;
    TQuantity Quantity;
    int Alarm;
    int Number;
    const char *Text;
  };
  const Row Rows[] = {
      {[] { EncodeAlarm(TCommand::SendAlarm1, Alarm(4000.0f, 0, 0, false, false, false)); },
       TErrorCode::OutOfRange, TQuantity::SetPoint, 1, 0, ""},
      {[NaN] { EncodeAlarm(TCommand::SendAlarm2, Alarm(0, NaN, 0, false, false, false)); },
       TErrorCode::NotANumber, TQuantity::Hysteresis, 2, 0, ""},
      {[Inf] { EncodeAlarm(TCommand::SendAlarm2, Alarm(0, 0, Inf, false, false, false)); },
       TErrorCode::NotANumber, TQuantity::Delay, 2, 0, ""},
      {[] { EncodeHistoryRequest(256); }, TErrorCode::HistoryIndexOutOfRange, TQuantity::Value, 0,
       256, ""},
      {[] { EncodeHistoryRequest(-1); }, TErrorCode::HistoryIndexOutOfRange, TQuantity::Value, 0,
       -1, ""},
      {[] {
         EncodeClock(TCivilDateTime{1999, 12, 31, 23, 0, 0, 0});
       },
       TErrorCode::ClockOutOfRange, TQuantity::Value, 0, 0, "1999-12-31 23:00:00"},
      {[] {
         EncodeClock(TCivilDateTime{2026, 2, 30, 0, 0, 0, 0});
       },
       TErrorCode::ClockNotADate, TQuantity::Value, 0, 0, "2026-02-30 00:00:00"},
  };
  for (const Row &r : Rows) {
    try {
      r.Encode();
      ADD_FAILURE() << "no range error: " << ErrorCodeName(r.Code);
    } catch (const ERangeError &Error) {
      const TError &e = Error.Error();
      EXPECT_EQ(ErrorCodeName(e.Code), std::string(ErrorCodeName(r.Code)));
      EXPECT_EQ(e.Quantity, r.Quantity) << ErrorCodeName(r.Code);
      EXPECT_EQ(e.Alarm, r.Alarm) << ErrorCodeName(r.Code);
      EXPECT_EQ(e.Number, r.Number) << ErrorCodeName(r.Code);
      EXPECT_EQ(e.Text, r.Text);
    }
  }
}

// Instrument to host: each answer kind decoded, and the instrument's encoder giving the same
// bytes.
TEST(Codec, AnswersGoldenDecodedAndEncodedByTheInstrument) {
  struct Row {
    const char *Name;
    TAnswerFields Fields;
    std::function<void(const TDecodedAnswer &)> Check;
  };
  const TBlockBytes Ping = kPingPattern;
  const Row Rows[] = {
      {"state",
       {0x00, 0x03, 0x07, 234, {0x12, 0x34, 0x42, 0xDD, 0x00, 0x00}},
       [](const TDecodedAnswer &d) {
         EXPECT_EQ(d.Measure, 23.4f);
         EXPECT_EQ(d.RawValue, 0x1234);
         EXPECT_EQ(d.Rt, 110.5f);
       }},
      {"state, sensor failed",
       {0x00, 0x80, 0x08, -125, {0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00}},
       [](const TDecodedAnswer &d) {
         EXPECT_TRUE(d.SensorFailure);
         EXPECT_EQ(d.Measure, kSensorFailureMeasure);
         EXPECT_EQ(d.RawValue, -1);
       }},
      {"unknown code, sensor failed and LEDs",
       {0x55, 0x8A, 0x09, -125, {}},
       [](const TDecodedAnswer &d) { EXPECT_EQ(d.Measure, kSensorFailureMeasure); }},
      {"unknown code, every other status bit",
       {0x55, 0x7F, 0x0A, -125, {}},
       [](const TDecodedAnswer &d) { EXPECT_EQ(d.Measure, -12.5f); }},
      {"info",
       {0x01, 0x00, 0x0B, 0, {0xC1, 0xFF, 0xFF, 0x0A, 0x0B, 0x0C}},
       [](const TDecodedAnswer &d) { EXPECT_EQ(d.InfoText, "C1FFFF0A0B0C"); }},
      {"history record",
       {0x02, 0x00, 0x0C, 0, {0xFC, 0x31, 0x6D, 0x26, 0x00, 0x80}},
       [](const TDecodedAnswer &d) {
         EXPECT_EQ(d.Record.SlotMask, 0xFC);
         EXPECT_EQ(d.Record.OpCode, 0x31);
         EXPECT_EQ(d.Record.OpDate, 0x266D);
         EXPECT_EQ(d.Record.OpTime, 0x8000);
       }},
      {"ping echoed",
       {0x6A, 0x25, 0x0D, -125, Ping},
       [](const TDecodedAnswer &d) { EXPECT_TRUE(d.PingEchoed); }},
      {"ping not echoed",
       {0x6A, 0x44, 0x0E, 0, {0x00, 0xFF, 0x55, 0xAA, 0x5A, 0xA4}},
       [](const TDecodedAnswer &d) { EXPECT_FALSE(d.PingEchoed); }},
      {"filter",
       {0xA0, 0x00, 0x0F, 0, {0x3F, 0xC0, 0x00, 0x00, 0x00, 0x00}},
       [](const TDecodedAnswer &d) { EXPECT_EQ(d.Filter, 1.5f); }},
      {"filter of exponent 255",
       {0xA0, 0x00, 0x10, 0, {0x7F, 0xC0, 0x00, 0x00, 0x00, 0x00}},
       [](const TDecodedAnswer &d) { EXPECT_EQ(d.Filter, 0.0f); }},
      {"alarm 1",
       {0xA1, 0x00, 0x11, 0, {0x83, 0xFF, 0x0A, 0x00, 0x19, 0x11}},
       [](const TDecodedAnswer &d) {
         EXPECT_EQ(d.Alarm.SetPoint, -12.5f);
         EXPECT_EQ(d.Alarm.Hysteresis, 1.0f);
         EXPECT_EQ(d.Alarm.Delay, 2.5f);
         EXPECT_EQ(d.Alarm.ContactNC, 1);
         EXPECT_EQ(d.Alarm.FailClosed, 0);
         EXPECT_EQ(d.Alarm.LedBelow, 1);
       }},
      {"alarm 2, other flag bits ignored",
       {0xA2, 0x00, 0x12, 0, {0xFA, 0x00, 0x05, 0x00, 0xFF, 0xE2}},
       [](const TDecodedAnswer &d) {
         EXPECT_EQ(d.Alarm.SetPoint, 25.0f);
         EXPECT_EQ(d.Alarm.Hysteresis, 0.5f);
         EXPECT_EQ(d.Alarm.Delay, 25.5f);
         EXPECT_EQ(d.Alarm.ContactNC, 0);
         EXPECT_EQ(d.Alarm.FailClosed, 1);
         EXPECT_EQ(d.Alarm.LedBelow, 0);
       }},
      {"tag half 1",
       {0xB0, 0x00, 0x13, 0, {0x04, 0x20, 0xC4, 0x14, 0x61, 0xC8}},
       [](const TDecodedAnswer &d) { EXPECT_EQ(d.TagHalf, "ABCDEFGH"); }},
      {"tag half 2",
       {0xB1, 0x00, 0x14, 0, {0xC7, 0x2C, 0xF4, 0xD7, 0x6D, 0xF8}},
       [](const TDecodedAnswer &d) { EXPECT_EQ(d.TagHalf, "12345678"); }},
      {"crypted password",
       {0xC1, 0x00, 0x15, 0, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66}},
       [](const TDecodedAnswer &d) {
         EXPECT_EQ(d.CryptedPassword, (TBlockBytes{0x11, 0x22, 0x33, 0x44, 0x55, 0x66}));
       }},
  };
  for (const Row &r : Rows) {
    SCOPED_TRACE(r.Name);
    // The golden frame, laid out by hand.
    Bytes Golden(kAnswerLength, 0);
    Golden[AnswerOffset::Code] = r.Fields.Code;
    Golden[AnswerOffset::Status] = r.Fields.Status;
    Golden[AnswerOffset::Counter] = r.Fields.Counter;
    const auto Tenths = static_cast<std::uint16_t>(r.Fields.MeasureTenths);
    Golden[AnswerOffset::Measure] = static_cast<std::uint8_t>(Tenths & 0xFF);
    Golden[AnswerOffset::Measure + 1] = static_cast<std::uint8_t>(Tenths >> 8);
    std::copy(r.Fields.Payload.begin(), r.Fields.Payload.end(),
              Golden.begin() + AnswerOffset::Payload);
    Golden[AnswerOffset::Checksum] = FrameChecksum(Golden.data(), kAnswerLength);
    EXPECT_EQ(Of(EncodeAnswer(r.Fields)), Golden);
    const TDecodedAnswer d = DecodeAnswer(Golden.data());
    EXPECT_TRUE(d.ChecksumValid);
    EXPECT_EQ(d.Code, r.Fields.Code);
    EXPECT_EQ(d.Counter, r.Fields.Counter);
    EXPECT_EQ(d.Status, r.Fields.Status);
    EXPECT_EQ(d.Payload, r.Fields.Payload);
    // The status bits, one flag each (the rows tell every bit from every other).
    const std::uint8_t s = r.Fields.Status;
    EXPECT_EQ(d.Relay1, (s & 0x01) != 0);
    EXPECT_EQ(d.Led1, (s & 0x02) != 0);
    EXPECT_EQ(d.Relay2, (s & 0x04) != 0);
    EXPECT_EQ(d.Led2, (s & 0x08) != 0);
    EXPECT_EQ(d.UseDisplay, (s & 0x10) != 0);
    EXPECT_EQ(d.UseE2PROM, (s & 0x20) != 0);
    EXPECT_EQ(d.WriteLocked, (s & 0x40) != 0);
    EXPECT_EQ(d.SensorFailure, (s & 0x80) != 0);
    r.Check(d);
  }
  // A corrupted answer: its code and counter, nothing else.
  TAnswerBytes Bad = EncodeAnswer({0xA1, 0xFF, 0x33, 500, {0x10, 0x00, 0x10, 0x00, 0x10, 0x13}});
  Bad[AnswerOffset::Checksum] ^= 0x01;
  const TDecodedAnswer d = DecodeAnswer(Bad.data());
  EXPECT_FALSE(d.ChecksumValid);
  EXPECT_EQ(d.Code, 0xA1);
  EXPECT_EQ(d.Counter, 0x33);
  EXPECT_EQ(d.Measure, 0.0f);
  EXPECT_FALSE(d.Relay1 || d.WriteLocked);
  EXPECT_EQ(d.Alarm.SetPoint, 0.0f);
}

// The codec's commands through the simulated instrument, and its answers back.
TEST(Codec, RoundTripsThroughTheSimulatedInstrument) {
  TVirtualRW8Options Options;
  Options.Streaming = false;
  VirtualRW8 Instrument(Options);
  const TZOLAlarm Alarm1 = Alarm(-12.5f, 1.0f, 2.5f, true, false, true);
  for (const TCommandBytes &Frame :
       {EncodeTagHalf(TCommand::SendTag1, "ABCDEFGH12345678"),
        EncodeTagHalf(TCommand::SendTag2, "ABCDEFGH12345678"), EncodeFilter(2.5f),
        EncodeAlarm(TCommand::SendAlarm1, Alarm1)}) {
    Instrument.ReceiveCommand(Frame.data());
  }
  std::uint8_t Report[kAnswerReportLength];
  const auto Ask = [&](std::uint8_t Code) {
    Instrument.ReceiveCommand(EncodeCommand(Code).data());
    EXPECT_TRUE(Instrument.Tick(std::chrono::milliseconds(10), Report));
    return DecodeAnswer(Report + kReportIdLength);
  };
  EXPECT_EQ(Ask(CodeOf(TCommand::ReadTag)).TagHalf + Ask(CodeOf(TCommand::ReadTag2)).TagHalf,
            "ABCDEFGH12345678");
  EXPECT_EQ(Ask(CodeOf(TCommand::ReadFilter)).Filter, 2.5f);
  const TZOLAlarm Read = Ask(CodeOf(TCommand::ReadAlarm1)).Alarm;
  EXPECT_EQ(Read.SetPoint, Alarm1.SetPoint);
  EXPECT_EQ(Read.Hysteresis, Alarm1.Hysteresis);
  EXPECT_EQ(Read.Delay, Alarm1.Delay);
  EXPECT_EQ(Read.ContactNC, 1);
  EXPECT_EQ(Read.FailClosed, 0);
  EXPECT_EQ(Read.LedBelow, 1);
  Instrument.ReceiveCommand(EncodePing().data());
  ASSERT_TRUE(Instrument.Tick(std::chrono::milliseconds(10), Report));
  EXPECT_TRUE(DecodeAnswer(Report + kReportIdLength).PingEchoed);
  const TDecodedAnswer State = Ask(CodeOf(TCommand::ReadState));
  EXPECT_TRUE(State.ChecksumValid);
  EXPECT_GT(State.Rt, 100.0f); // a Pt100 above 0 °C
}

} // namespace
} // namespace zol
