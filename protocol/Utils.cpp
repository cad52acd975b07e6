#include "protocol/Utils.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <utility>

#include "link/Types.h"
#include "protocol/LocalTime.h"

namespace zol {

namespace {

std::uint8_t SixBitCode(unsigned char c) {
  unsigned Code = c >= 64 ? c - 64u : c;
  return static_cast<std::uint8_t>(Code & 0x3Fu);
}

char CharOfCode(unsigned Code) {
  return static_cast<char>(Code < 32 ? Code + 64 : Code);
}

// Days from 1 January 1970 of a proleptic Gregorian date (H. Hinnant's algorithm).
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2 ? 1 : 0;
  const long long Era = (y >= 0 ? y : y - 399) / 400;
  const unsigned YearOfEra = static_cast<unsigned>(y - Era * 400);
  const unsigned DayOfYear = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned DayOfEra = YearOfEra * 365 + YearOfEra / 4 - YearOfEra / 100 + DayOfYear;
  return Era * 146097 + static_cast<long long>(DayOfEra) - 719468;
}

void CivilFromDays(long long z, int &Year, int &Month, int &Day) {
  z += 719468;
  const long long Era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned DayOfEra = static_cast<unsigned>(z - Era * 146097);
  const unsigned YearOfEra =
      (DayOfEra - DayOfEra / 1460 + DayOfEra / 36524 - DayOfEra / 146096) / 365;
  const unsigned DayOfYear = DayOfEra - (365 * YearOfEra + YearOfEra / 4 - YearOfEra / 100);
  const unsigned MonthFromMarch = (5 * DayOfYear + 2) / 153;
  Day = static_cast<int>(DayOfYear - (153 * MonthFromMarch + 2) / 5 + 1);
  Month = static_cast<int>(MonthFromMarch < 10 ? MonthFromMarch + 3 : MonthFromMarch - 9);
  Year = static_cast<int>(YearOfEra + Era * 400 + (Month <= 2 ? 1 : 0));
}

bool IsLeap(int y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysInMonth(int y, int m) {
  static constexpr int Days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : Days[m - 1];
}

const long long kDay2000 = DaysFromCivil(2000, 1, 1);
constexpr long long kMillisecondsPerDay = 86'400'000;

} // namespace

double RoundHalfEven(double Value) {
  double Floor = std::floor(Value);
  double Rest = Value - Floor;
  if (Rest > 0.5) {
    return Floor + 1.0;
  }
  if (Rest == 0.5 && std::fmod(Floor, 2.0) != 0.0) {
    return Floor + 1.0;
  }
  return Floor;
}

// ---- Checksum and packing ---------------------------------------------------------------------

std::uint8_t FrameChecksum(const std::uint8_t *Frame, int n) {
  unsigned Sum = 0;
  for (int i = 0; i < n; ++i) {
    if (i != CommandOffset::Checksum) {
      Sum += Frame[i];
    }
  }
  return static_cast<std::uint8_t>(0xFFu - Sum);
}

bool FrameChecksumValid(const std::uint8_t *Frame, int n) {
  unsigned Sum = 0;
  for (int i = 0; i < n; ++i) {
    Sum += Frame[i];
  }
  return static_cast<std::uint8_t>(Sum) == 0xFF;
}

std::array<std::uint8_t, 3> PackChars(std::string_view Text) {
  // Callers pad; a short text is padded here with spaces rather than read past its end.
  std::uint8_t k[4];
  for (std::size_t i = 0; i < 4; ++i) {
    k[i] = SixBitCode(i < Text.size() ? static_cast<unsigned char>(Text[i]) : ' ');
  }
  return {static_cast<std::uint8_t>(k[0] * 4 + k[1] / 16),
          static_cast<std::uint8_t>((k[1] % 16) * 16 + k[2] / 4),
          static_cast<std::uint8_t>((k[2] % 4) * 64 + k[3])};
}

std::string UnpackChars(const std::uint8_t *Bytes) {
  const unsigned First = Bytes[0], Second = Bytes[1], Third = Bytes[2];
  std::string Text(4, ' ');
  Text[0] = CharOfCode(First / 4);
  Text[1] = CharOfCode((First % 4) * 16 + Second / 16);
  Text[2] = CharOfCode((Second % 16) * 4 + Third / 64);
  Text[3] = CharOfCode(Third % 64);
  return Text;
}

bool IsPackable(std::string_view Text) {
  std::string Padded(Text);
  Padded += "    ";
  for (std::size_t i = 0; i + 4 <= Padded.size(); i += 4) {
    std::string_view Group(Padded.data() + i, 4);
    auto Packed = PackChars(Group);
    if (UnpackChars(Packed.data()) != Group) {
      return false;
    }
  }
  return true;
}

std::array<std::uint8_t, 6> PackEight(std::string_view Text) {
  char Padded[kPackedEightChars];
  std::fill(std::begin(Padded), std::end(Padded), ' ');
  std::copy_n(Text.data(), std::min<std::size_t>(Text.size(), kPackedEightChars), Padded);
  const auto Low = PackChars(std::string_view(Padded, 4));
  const auto High = PackChars(std::string_view(Padded + 4, 4));
  std::array<std::uint8_t, 6> Bytes{};
  std::copy(Low.begin(), Low.end(), Bytes.begin());
  std::copy(High.begin(), High.end(), Bytes.begin() + 3);
  // The padded copy may have held a password.
  WipeBytes(Padded, sizeof Padded);
  return Bytes;
}

std::string UnpackEight(const std::uint8_t *Bytes) {
  return UnpackChars(Bytes) + UnpackChars(Bytes + 3);
}

std::string InfoText(const std::uint8_t *Block) {
  static constexpr char Hex[] = "0123456789ABCDEF";
  std::string Text(2 * AnswerOffset::PayloadLength, '0');
  for (int i = 0; i < AnswerOffset::PayloadLength; ++i) {
    Text[static_cast<std::size_t>(2 * i)] = Hex[Block[i] >> 4];
    Text[static_cast<std::size_t>(2 * i + 1)] = Hex[Block[i] & 0x0F];
  }
  return Text;
}

bool FirmwareProgrammed(std::string_view Text) {
  std::uint8_t Block[AnswerOffset::PayloadLength]{};
  std::copy(kProgrammedFirmwareInfo.begin(), kProgrammedFirmwareInfo.end(), Block);
  const std::string Prefix = InfoText(Block).substr(0, 2 * kProgrammedFirmwareInfo.size());
  return Text.substr(0, Prefix.size()) == Prefix;
}

// ---- Numbers ----------------------------------------------------------------------------------

float BytesToSingle(const std::uint8_t *Bytes) {
  // Exponent 254 or 255: huge values, infinities and NaN are taken as 0.
  if ((Bytes[0] & 0x7F) == 0x7F) {
    return 0.0f;
  }
  std::uint32_t Bits = (std::uint32_t{Bytes[0]} << 24) | (std::uint32_t{Bytes[1]} << 16) |
                       (std::uint32_t{Bytes[2]} << 8) | std::uint32_t{Bytes[3]};
  return std::bit_cast<float>(Bits);
}

std::array<std::uint8_t, 4> SingleToBytes(float Value) {
  auto Bits = std::bit_cast<std::uint32_t>(Value);
  return {static_cast<std::uint8_t>(Bits >> 24), static_cast<std::uint8_t>(Bits >> 16),
          static_cast<std::uint8_t>(Bits >> 8), static_cast<std::uint8_t>(Bits)};
}

std::int16_t ToTenths16(float Value, TQuantity Quantity, int Alarm) {
  // The error is built only on failure: sends from the worker allocate nothing.
  auto Fail = [&](TErrorCode Code) {
    TError Error;
    Error.Code = Code;
    Error.Quantity = Quantity;
    Error.Alarm = Alarm;
    Error.Value = Value;
    throw ERangeError(std::move(Error));
  };
  if (!std::isfinite(Value)) {
    Fail(TErrorCode::NotANumber);
  }
  // Double keeps the product exact enough that a single like 1.15 rounds as its true value.
  const double Tenths = RoundHalfEven(static_cast<double>(Value) * 10.0);
  if (Tenths < kLowestTenths || Tenths > kHighestTenths) {
    Fail(TErrorCode::OutOfRange);
  }
  return static_cast<std::int16_t>(Tenths);
}

std::uint8_t DelayToTenths8(float Seconds, int Alarm) {
  if (!std::isfinite(Seconds)) {
    TError Error;
    Error.Code = TErrorCode::NotANumber;
    Error.Quantity = TQuantity::Delay;
    Error.Alarm = Alarm;
    Error.Value = Seconds;
    throw ERangeError(std::move(Error));
  }
  if (Seconds < 0.0f) {
    return 0;
  }
  if (static_cast<double>(Seconds) > 25.5) {
    return 255;
  }
  const double Tenths = RoundHalfEven(static_cast<double>(Seconds) * 10.0);
  return static_cast<std::uint8_t>(Tenths > 255.0 ? 255.0 : Tenths);
}

std::int16_t GetInt16LE(const std::uint8_t *Bytes) {
  return static_cast<std::int16_t>(GetUInt16LE(Bytes));
}

std::int16_t GetInt16BE(const std::uint8_t *Bytes) {
  return static_cast<std::int16_t>(static_cast<std::uint16_t>((Bytes[0] << 8) | Bytes[1]));
}

std::uint16_t GetUInt16LE(const std::uint8_t *Bytes) {
  return static_cast<std::uint16_t>(Bytes[0] | (Bytes[1] << 8));
}

void PutInt16LE(std::uint8_t *Bytes, std::int16_t Value) {
  PutUInt16LE(Bytes, static_cast<std::uint16_t>(Value));
}

void PutUInt16LE(std::uint8_t *Bytes, std::uint16_t Value) {
  Bytes[0] = static_cast<std::uint8_t>(Value & 0xFF);
  Bytes[1] = static_cast<std::uint8_t>(Value >> 8);
}

// ---- Device date and time -------------------------------------------------------------------

TDeviceDateTime EncodeDeviceDateTime(const TCivilDateTime &When) {
  char Text[80];
  std::snprintf(Text, sizeof Text, "%d-%02d-%02d %02d:%02d:%02d", When.Year, When.Month, When.Day,
                When.Hour, When.Minute, When.Second);
  auto Fail = [&](TErrorCode Code) {
    TError Error;
    Error.Code = Code;
    Error.Text = Text;
    throw ERangeError(std::move(Error));
  };
  if (When.Month < 1 || When.Month > 12 || When.Day < 1 ||
      When.Day > DaysInMonth(When.Year, When.Month) || When.Hour < 0 || When.Hour > 23 ||
      When.Minute < 0 || When.Minute > 59 || When.Second < 0 || When.Second > 59 ||
      When.Millisecond < 0 || When.Millisecond > 999) {
    Fail(TErrorCode::ClockNotADate);
  }
  const long long Days =
      DaysFromCivil(When.Year, static_cast<unsigned>(When.Month), static_cast<unsigned>(When.Day)) -
      kDay2000;
  if (Days < 0 || Days >= kDeviceDays) {
    Fail(TErrorCode::ClockOutOfRange);
  }
  // Integer arithmetic: the fraction of the day in ticks, truncated, without rounding noise.
  const long long Ms =
      ((When.Hour * 60LL + When.Minute) * 60LL + When.Second) * 1000LL + When.Millisecond;
  TDeviceDateTime Result;
  Result.Date = static_cast<std::uint16_t>(Days);
  Result.Time = static_cast<std::uint16_t>(Ms * kDeviceTicksPerDay / kMillisecondsPerDay);
  return Result;
}

TCivilDateTime LocalNow() {
  const auto Now = std::chrono::system_clock::now();
  const std::time_t Seconds = std::chrono::system_clock::to_time_t(Now);
  const auto Ms = std::chrono::duration_cast<std::chrono::milliseconds>(Now.time_since_epoch()) %
                  std::chrono::seconds(1);
  std::tm Local{};
  LocalTimeOf(Seconds, Local);
  TCivilDateTime When;
  When.Year = Local.tm_year + 1900;
  When.Month = Local.tm_mon + 1;
  When.Day = Local.tm_mday;
  When.Hour = Local.tm_hour;
  When.Minute = Local.tm_min;
  // A leap second (60) is folded into the last second of the minute.
  When.Second = Local.tm_sec > 59 ? 59 : Local.tm_sec;
  When.Millisecond = static_cast<int>(Ms.count() < 0 ? 0 : Ms.count());
  return When;
}

void DecodeDeviceDate(std::uint16_t Date, int &Day, int &Month, int &Year) {
  CivilFromDays(kDay2000 + Date, Year, Month, Day);
}

void DecodeDeviceTime(std::uint16_t Time, int &Hour, int &Minute) {
  const long long Seconds = static_cast<long long>(Time) * 86400LL / kDeviceTicksPerDay;
  Hour = static_cast<int>(Seconds / 3600);
  Minute = static_cast<int>((Seconds % 3600) / 60);
}

// ---- Hex text ---------------------------------------------------------------------------------

std::string HexByte(std::uint8_t Byte) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  return {kDigits[Byte >> 4], kDigits[Byte & 0x0F]};
}

std::string HexBytes(const std::uint8_t *Bytes, std::size_t Count, std::string_view Separator,
                     int MaskFrom) {
  std::string Text;
  for (std::size_t i = 0; i < Count; ++i) {
    if (i != 0)
      Text += Separator;
    Text += MaskFrom >= 0 && i >= static_cast<std::size_t>(MaskFrom) ? std::string("**")
                                                                     : HexByte(Bytes[i]);
  }
  return Text;
}

} // namespace zol
