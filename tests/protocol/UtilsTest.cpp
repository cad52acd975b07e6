#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "protocol/Utils.h"
#include "protocol/ZOL.h"

namespace zol {
namespace {

using Bytes = std::vector<std::uint8_t>;

// ---- Checksum -------------------------------------------------------------------------------

TEST(FrameChecksum, GoldenFramesAddUpToFF) {
  const std::vector<Bytes> Frames = {
      {0x6A, 0x98, 0x00, 0xFF, 0x55, 0xAA, 0x5A, 0xA5},
      {0x30, 0x21, 0x04, 0x20, 0xE0, 0x82, 0x08, 0x20},
      {0x21, 0xB0, 0xFA, 0x00, 0x0A, 0x00, 0x19, 0x11},
      {0x69, 0x83, 0x6D, 0x26, 0x00, 0x80, 0x00, 0x00},
      {0x00, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
      {0xA0, 0x5F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
      {0x00, 0x96, 0x03, 0x17, 0xEA, 0x00, 0x12, 0x34, 0x42, 0xDD, 0x00, 0x00},
  };
  for (const Bytes &Frame : Frames) {
    const int n = static_cast<int>(Frame.size());
    EXPECT_EQ(FrameChecksum(Frame.data(), n), Frame[1]) << "code " << int(Frame[0]);
    EXPECT_TRUE(FrameChecksumValid(Frame.data(), n));
    Bytes Bad = Frame;
    Bad[n - 1] ^= 0x01;
    EXPECT_FALSE(FrameChecksumValid(Bad.data(), n));
  }
}

// ---- Packing ----------------------------------------------------------------------------------

TEST(PackChars, GoldenGroups) {
  struct Case {
    std::string Text;
    std::array<std::uint8_t, 3> Packed;
  };
  const Case Cases[] = {
      {"ABCD", {0x04, 0x20, 0xC4}}, {"    ", {0x82, 0x08, 0x20}}, {"ABC ", {0x04, 0x20, 0xE0}},
      {"@@@@", {0x00, 0x00, 0x00}}, {"____", {0x7D, 0xF7, 0xDF}},
  };
  for (const Case &c : Cases) {
    EXPECT_EQ(PackChars(c.Text), c.Packed) << c.Text;
    EXPECT_EQ(UnpackChars(c.Packed.data()), c.Text) << c.Text;
  }
}

TEST(PackChars, WholeAlphabetSurvivesAndOthersChange) {
  for (int c = 0; c < 256; ++c) {
    const std::string Group(4, static_cast<char>(c));
    const auto Packed = PackChars(Group);
    const bool Survives = UnpackChars(Packed.data()) == Group;
    EXPECT_EQ(Survives, c >= 0x20 && c <= 0x5F) << "character " << c;
    EXPECT_EQ(IsPackable(Group), Survives) << "character " << c;
  }
  EXPECT_EQ(UnpackChars(PackChars("abcd").data()), "!\"#$");
}

TEST(IsPackable, Texts) {
  struct Case {
    std::string Text;
    bool Packable;
  };
  const Case Cases[] = {{"", true},       {"PASSWORD", true},  {"Pass", false}, {"AB1_[", true},
                        {"AB1_{", false}, {"12345678 ", true}, {"é", false}};
  for (const Case &c : Cases) {
    EXPECT_EQ(IsPackable(c.Text), c.Packable) << c.Text;
  }
}

// ---- Numbers ----------------------------------------------------------------------------------

TEST(Singles, MostSignificantByteFirst) {
  struct Case {
    std::array<std::uint8_t, 4> Bytes;
    float Value;
  };
  const Case Cases[] = {
      {{0x42, 0xDD, 0x00, 0x00}, 110.5f},
      {{0x3F, 0xC0, 0x00, 0x00}, 1.5f},
      {{0xC1, 0x48, 0x00, 0x00}, -12.5f},
      {{0x00, 0x00, 0x00, 0x00}, 0.0f},
  };
  for (const Case &c : Cases) {
    EXPECT_EQ(BytesToSingle(c.Bytes.data()), c.Value);
    EXPECT_EQ(SingleToBytes(c.Value), c.Bytes);
  }
}

TEST(Singles, ExponentsOf254And255DecodeAsZero) {
  const std::array<std::uint8_t, 4> Cases[] = {
      {0x7F, 0x80, 0x00, 0x00}, // +inf
      {0xFF, 0x80, 0x00, 0x00}, // -inf
      {0x7F, 0xC0, 0x00, 0x00}, // NaN
      {0x7F, 0x7F, 0xFF, 0xFF}, // the largest finite single
      {0xFF, 0x00, 0x00, 0x01}, // exponent 254, negative
  };
  for (const auto &b : Cases) {
    EXPECT_EQ(BytesToSingle(b.data()), 0.0f) << std::hex << int(b[0]) << " " << int(b[1]);
  }
  const std::array<std::uint8_t, 4> Large{0x7E, 0xFF, 0xFF, 0xFF}; // exponent 253 is a value
  EXPECT_GT(BytesToSingle(Large.data()), 1e37f);
}

TEST(ToTenths16, RoundsHalfToEven) {
  struct Case {
    float Value;
    std::int16_t Tenths;
  };
  const Case Cases[] = {{25.0f, 250},       {1.0f, 10},   {-12.5f, -125}, {0.25f, 2},
                        {0.75f, 8},         {-0.25f, -2}, {-0.75f, -8},   {3276.7f, 32767},
                        {-3276.8f, -32768}, {1.15f, 11},  {0.04f, 0},     {0.05f, 1}};
  for (const Case &c : Cases) {
    EXPECT_EQ(ToTenths16(c.Value), c.Tenths) << c.Value;
  }
  std::uint8_t b[2];
  PutInt16LE(b, ToTenths16(-12.5f));
  EXPECT_EQ(b[0], 0x83);
  EXPECT_EQ(b[1], 0xFF);
  EXPECT_EQ(GetInt16LE(b), -125);
}

TEST(ToTenths16, ValuesAFrameCannotCarryAreRangeErrors) {
  const float Cases[] = {4000.0f,
                         -3276.9f,
                         1e9f,
                         std::numeric_limits<float>::quiet_NaN(),
                         std::numeric_limits<float>::infinity(),
                         -std::numeric_limits<float>::infinity()};
  for (float Value : Cases) {
    try {
      ToTenths16(Value, TQuantity::SetPoint, 2);
      ADD_FAILURE() << Value << " was accepted";
    } catch (const ERangeError &Error) {
      EXPECT_EQ(Error.Error().Code,
                std::isfinite(Value) ? TErrorCode::OutOfRange : TErrorCode::NotANumber);
      EXPECT_EQ(Error.Error().Quantity, TQuantity::SetPoint);
      EXPECT_EQ(Error.Error().Alarm, 2);
      EXPECT_TRUE(std::isnan(Value) ? std::isnan(Error.Error().Value)
                                    : Error.Error().Value == Value);
    }
  }
}

TEST(DelayToTenths8, ClampsAndRoundsHalfToEven) {
  struct Case {
    float Seconds;
    std::uint8_t Tenths;
  };
  const Case Cases[] = {{0.25f, 2},   {0.75f, 8},   {30.0f, 255},  {-2.0f, 0}, {2.5f, 25},
                        {25.5f, 255}, {25.4f, 254}, {25.51f, 255}, {0.0f, 0},  {-0.0f, 0}};
  for (const Case &c : Cases) {
    EXPECT_EQ(DelayToTenths8(c.Seconds), c.Tenths) << c.Seconds;
  }
  for (float Bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                    -std::numeric_limits<float>::infinity()}) {
    EXPECT_THROW(DelayToTenths8(Bad), ERangeError) << Bad;
  }
}

TEST(Int16, ByteOrders) {
  const std::uint8_t b[2] = {0x12, 0x34};
  EXPECT_EQ(GetInt16BE(b), 0x1234);
  EXPECT_EQ(GetInt16LE(b), 0x3412);
  EXPECT_EQ(GetUInt16LE(b), 0x3412);
  const std::uint8_t n[2] = {0xFF, 0xFE};
  EXPECT_EQ(GetInt16BE(n), -2);
  std::uint8_t out[2];
  PutUInt16LE(out, 0xBEEF);
  EXPECT_EQ(out[0], 0xEF);
  EXPECT_EQ(out[1], 0xBE);
}

// ---- Device date and time -------------------------------------------------------------------

TEST(DeviceDateTime, Encodes) {
  struct Case {
    TCivilDateTime When;
    std::uint16_t Date;
    std::uint16_t Time;
  };
  const Case Cases[] = {
      {{2026, 12, 7, 12, 0, 0, 0}, 0x266D, 0x8000},
      {{2000, 1, 1, 0, 0, 0, 0}, 0, 0},
      {{2001, 1, 1, 6, 0, 0, 0}, 366, 0x4000},
      {{2000, 1, 1, 23, 59, 59, 999}, 0, 0xFFFF},
      {{2179, 6, 6, 0, 0, 0, 0}, 65535, 0},
      {{2024, 2, 29, 0, 0, 1, 0}, 8825, 0}, // 1 s is 0.76 units: truncated
  };
  for (const Case &c : Cases) {
    const TDeviceDateTime d = EncodeDeviceDateTime(c.When);
    EXPECT_EQ(d.Date, c.Date) << c.When.Year << "-" << c.When.Month << "-" << c.When.Day;
    EXPECT_EQ(d.Time, c.Time) << c.When.Year << "-" << c.When.Month << "-" << c.When.Day;
  }
}

TEST(DeviceDateTime, OutsideTheDayCountIsARangeError) {
  const TCivilDateTime Cases[] = {
      {1999, 12, 31, 23, 59, 59, 0}, // before 2000: also with a fraction of a day that truncates to
                                     // 0
      {1970, 1, 1, 0, 0, 0, 0},
      {2179, 6, 7, 0, 0, 0, 0},
      {2026, 2, 30, 0, 0, 0, 0}, // no such day
      {2026, 13, 1, 0, 0, 0, 0},
  };
  for (const TCivilDateTime &When : Cases) {
    EXPECT_THROW(EncodeDeviceDateTime(When), ERangeError) << When.Year << "-" << When.Month;
  }
}

TEST(DeviceDateTime, DecodesAndRoundTrips) {
  int d = 0, m = 0, y = 0, h = 0, mi = 0;
  DecodeDeviceDate(0x266D, d, m, y);
  EXPECT_EQ(d, 7);
  EXPECT_EQ(m, 12);
  EXPECT_EQ(y, 2026);
  for (std::uint32_t Date = 0; Date <= 65535; Date += 97) {
    DecodeDeviceDate(static_cast<std::uint16_t>(Date), d, m, y);
    EXPECT_EQ(EncodeDeviceDateTime({y, m, d, 0, 0, 0, 0}).Date, Date);
  }
  DecodeDeviceTime(0x8000, h, mi);
  EXPECT_EQ(h, 12);
  EXPECT_EQ(mi, 0);
}

TEST(LocalNow, IsAValidDate) {
  const TCivilDateTime Now = LocalNow();
  EXPECT_GE(Now.Year, 2000);
  EXPECT_NO_THROW(EncodeDeviceDateTime(Now));
}

// ---- Write-operation records ------------------------------------------------------------------

TEST(WROP, SlotsOfMasks) {
  const std::uint8_t Masks[] = {0xFF, 0xFE, 0xFC, 0xF8, 0xF0, 0xE0, 0xC0, 0x80};
  for (int Slot = 0; Slot < 8; ++Slot) {
    EXPECT_EQ(WROPSlot(Masks[Slot]), Slot);
  }
  int Slots = 0;
  for (int Mask = 0; Mask < 256; ++Mask) {
    Slots += WROPSlot(static_cast<std::uint8_t>(Mask)) >= 0 ? 1 : 0;
  }
  EXPECT_EQ(Slots, 8);
  for (std::uint8_t Bad : {0x00, 0x7F, 0xF7, 0x01}) {
    EXPECT_EQ(WROPSlot(Bad), -1) << int(Bad);
  }
}

TEST(WROP, Texts) {
  EXPECT_EQ(WROPDateText(0), "1/1/2000");
  EXPECT_EQ(WROPDateText(366), "1/1/2001");
  EXPECT_EQ(WROPDateText(65535), "6/6/2179");
  EXPECT_EQ(WROPTimeText(0), "0:0");
  EXPECT_EQ(WROPTimeText(0x8000), "12:0");
  EXPECT_EQ(WROPTimeText(0xFFFF), "23:59");
  EXPECT_EQ(WROPOperationName(0x21), "Changement des paramètres de l'alarme n°1");
  EXPECT_EQ(WROPOperationName(0x68), "Effacement total de la mémoire du firmware USB");
  EXPECT_EQ(WROPOperationName(0x23), "???");
  int Named = 0;
  for (int Code = 0; Code < 256; ++Code) {
    Named += WROPOperationName(static_cast<std::uint8_t>(Code)) != "???" ? 1 : 0;
  }
  EXPECT_EQ(Named, 11);
}

TEST(WROP, FromPayloadBytes) {
  const std::uint8_t Payload[6] = {0xFC, 0x31, 0x6D, 0x26, 0x00, 0x80};
  const TWROP Record = WROPFromBytes(Payload);
  EXPECT_EQ(Record.SlotMask, 0xFC);
  EXPECT_EQ(Record.OpCode, 0x31);
  EXPECT_EQ(Record.OpDate, 0x266D);
  EXPECT_EQ(Record.OpTime, 0x8000);
}

TEST(WROP, ToPayloadBytesAndSlotMasks) {
  EXPECT_EQ(kHistoryRecords, 8);
  const std::uint8_t Masks[] = {0xFF, 0xFE, 0xFC, 0xF8, 0xF0, 0xE0, 0xC0, 0x80, 0x00};
  for (int Slot = 0; Slot <= kHistoryRecords; ++Slot) {
    EXPECT_EQ(WROPSlotMask(Slot), Masks[Slot]) << Slot;
  }
  std::uint8_t Payload[WROPOffset::Length]{};
  WROPToBytes(TWROP{WROPSlotMask(2), 0x31, 0x266D, 0x8000}, Payload);
  EXPECT_EQ(Bytes(Payload, Payload + 6), (Bytes{0xFC, 0x31, 0x6D, 0x26, 0x00, 0x80}));
}

// ---- Instrument facts -----------------------------------------------------------------------

TEST(InstrumentFacts, Golden) {
  EXPECT_EQ(kRW8VendorId, 0x0451);
  EXPECT_EQ(kRW8ProductId, 0x0023);
  EXPECT_EQ(kDefaultHidProductId, 4);
  EXPECT_EQ(kSensorFailureMeasure, 9999.0f);
  EXPECT_TRUE(IsSensorFailureMeasure(9999.0f));
  EXPECT_FALSE(IsSensorFailureMeasure(9998.9f));
  const std::uint8_t Programmed[6] = {0xC1, 0xFF, 0xFF, 0x01, 0x04, 0x00};
  EXPECT_EQ(InfoText(Programmed), "C1FFFF010400");
  const std::uint8_t Erased[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(InfoText(Erased), "FFFFFFFFFFFF");
  EXPECT_TRUE(FirmwareProgrammed("C1FFFF010400"));
  EXPECT_FALSE(FirmwareProgrammed("FFFFFFFFFFFF"));
  EXPECT_FALSE(FirmwareProgrammed("C1FF"));
  // A state answer's payload and the clock command's parameters.
  const std::uint8_t State[6] = {0x03, 0xE8, 0x42, 0xC8, 0x00, 0x00};
  EXPECT_EQ(GetInt16BE(State + StatePayload::RawValue), 1000);
  EXPECT_EQ(BytesToSingle(State + StatePayload::Rt), 100.0f);
  const std::uint8_t Clock[6] = {0x6D, 0x26, 0x00, 0x80};
  EXPECT_EQ(GetUInt16LE(Clock + ClockParam::Date), 0x266D);
  EXPECT_EQ(GetUInt16LE(Clock + ClockParam::Time), 0x8000);
}

TEST(PackEight, GoldenAndPadded) {
  struct Case {
    std::string Text;
    Bytes Packed;
    std::string Kept;
  };
  const Case Cases[] = {
      {"ABCD____", {0x04, 0x20, 0xC4, 0x7D, 0xF7, 0xDF}, "ABCD____"},
      {"ABC", {0x04, 0x20, 0xE0, 0x82, 0x08, 0x20}, "ABC     "},         // padded with spaces
      {"ABCD@@@@XYZ", {0x04, 0x20, 0xC4, 0x00, 0x00, 0x00}, "ABCD@@@@"}, // cut to 8
      {"", {0x82, 0x08, 0x20, 0x82, 0x08, 0x20}, "        "},
  };
  for (const Case &c : Cases) {
    const auto Packed = PackEight(c.Text);
    EXPECT_EQ(Bytes(Packed.begin(), Packed.end()), c.Packed) << c.Text;
    EXPECT_EQ(UnpackEight(Packed.data()), c.Kept) << c.Text;
  }
}

// ---- Resend rule ----------------------------------------------------------------------------

TEST(ResendDue, CountsTheDistanceModulo256) {
  using std::chrono::milliseconds;
  struct Case {
    std::uint8_t Answer, Last, Sent, Rx;
    bool Due;
    milliseconds Waited = milliseconds(1000);
    milliseconds Period = milliseconds(10);
  };
  const Case Cases[] = {
      {0x00, 0xA1, 10, 13, false},   // moved by 3: not yet
      {0x00, 0xA1, 10, 14, true},    // moved by 4
      {0xA1, 0xA1, 10, 200, false},  // answered
      {0x00, 0xA1, 254, 255, false}, // moved by 1 just before the wrap: not yet
      {0x00, 0xA1, 254, 1, false},   // moved by 3 across the wrap
      {0x00, 0xA1, 254, 2, true},    // moved by 4 across the wrap
      {0x00, 0xA1, 250, 2, true},    // moved by 8 across the wrap: due at once
      {0x00, 0xA1, 252, 0, true},
      {0x00, 0x65, 0, 100, false}, // reset
      {0x00, 0x66, 0, 100, false}, // firmware programming
      {0x00, 0x67, 0, 100, false}, // firmware erasure
      {0x00, 0x68, 0, 100, false}, // firmware memory erasure
      {0x00, 0x6B, 0, 100, true},  // reset all is resent
      {0xFF, 0x00, 0, 4, true},    // an error answer is not an answer to the command
      // Overdue in reports, not in time: the host sees the answers late.
      {0x00, 0x21, 10, 20, false, kResendFloor - milliseconds(1), milliseconds(2)},
      {0x00, 0x21, 10, 20, true, kResendFloor + milliseconds(1), milliseconds(2)},
      // At a long period the time is a number of periods.
      {0x00, 0x21, 10, 14, false, milliseconds(1000) * kResendPeriods, milliseconds(1000)},
      {0x00, 0x21, 10, 14, true, milliseconds(1000) * kResendPeriods + milliseconds(1),
       milliseconds(1000)},
  };
  for (const Case &c : Cases) {
    EXPECT_EQ(ResendDue(c.Answer, c.Last, c.Sent, c.Rx, c.Waited, c.Period), c.Due)
        << "answer " << int(c.Answer) << " last " << int(c.Last) << " sent " << int(c.Sent)
        << " rx " << int(c.Rx) << " waited " << c.Waited.count() << " ms";
  }
}

// ---- Settings records -------------------------------------------------------------------------

TEST(TagField, ClampsItsLengthByte) {
  TZOLSettings Settings;
  Settings.Tag.Set(std::string(40, 'X'));
  EXPECT_EQ(Settings.Tag.Length, 32);
  EXPECT_EQ(Settings.Tag.Get(), std::string(32, 'X'));
  Settings.Tag.Set("AB");
  EXPECT_EQ(Settings.Tag.Get(), "AB");
  EXPECT_EQ(Settings.Tag.Chars[2], 'X'); // bytes beyond the length are kept
  Settings.Tag.Length = 255;
  EXPECT_EQ(Settings.Tag.Get().size(), 32u);
}

TEST(HexText, UpperCaseDigitsSeparatedAndMasked) {
  const std::uint8_t Bytes[] = {0x00, 0x0A, 0xC1, 0xFF};
  EXPECT_EQ(HexByte(0x0A), "0A");
  EXPECT_EQ(HexByte(0xFF), "FF");
  EXPECT_EQ(HexBytes(Bytes, 4), "00 0A C1 FF");
  EXPECT_EQ(HexBytes(Bytes, 4, ""), "000AC1FF");
  EXPECT_EQ(HexBytes(Bytes, 4, " ", 2), "00 0A ** **");
  EXPECT_EQ(HexBytes(Bytes, 0), "");
}

} // namespace
} // namespace zol
