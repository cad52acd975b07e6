#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

// The instrument's USB ids live with the link, which looks for them; one copy for every layer.
#include "link/DeviceIds.h"
#include "protocol/Errors.h"

namespace zol {

// ---- Frames ---------------------------------------------------------------------------------

/// A command, host to instrument.
inline constexpr int kCommandLength = 8;
/// An answer, instrument to host.
inline constexpr int kAnswerLength = 12;

/// Offsets inside a command frame.
namespace CommandOffset {
inline constexpr int Code = 0;
inline constexpr int Checksum = 1;
inline constexpr int Params = 2; // bytes 2..7
} // namespace CommandOffset

/// Offsets inside an answer frame.
namespace AnswerOffset {
inline constexpr int Code = 0;
inline constexpr int Checksum = 1;
inline constexpr int Status = 2;
inline constexpr int Counter = 3;
inline constexpr int Measure = 4; // signed 16-bit tenths, least significant byte first
inline constexpr int Payload = 6; // bytes 6..11
inline constexpr int PayloadLength = 6;
} // namespace AnswerOffset

/// Offsets inside the payload of a state answer (0x00).
namespace StatePayload {
inline constexpr int RawValue = 0; // signed 16-bit, most significant byte first
inline constexpr int Rt = 2;       // single, most significant byte first
} // namespace StatePayload

/// Offsets inside the parameters of the clock command (0x69), least significant byte first.
namespace ClockParam {
inline constexpr int Date = 0; // device date
inline constexpr int Time = 2; // device time
} // namespace ClockParam

/// Bits of the status byte every answer carries.
namespace StatusBit {
inline constexpr std::uint8_t Relay1 = 0x01;
inline constexpr std::uint8_t Led1 = 0x02;
inline constexpr std::uint8_t Relay2 = 0x04;
inline constexpr std::uint8_t Led2 = 0x08;
inline constexpr std::uint8_t UseDisplay = 0x10;
inline constexpr std::uint8_t UseE2PROM = 0x20;
inline constexpr std::uint8_t WriteLocked = 0x40;
inline constexpr std::uint8_t SensorFailure = 0x80;
} // namespace StatusBit

/// Flags byte of an alarm block.
namespace AlarmFlag {
inline constexpr std::uint8_t ContactNC = 0x01;
inline constexpr std::uint8_t FailClosed = 0x02;
inline constexpr std::uint8_t LedBelow = 0x10;
} // namespace AlarmFlag

/// Offsets inside the 6-byte alarm block (parameters of 0x21/0x22, payload of 0xA1/0xA2).
namespace AlarmBlock {
inline constexpr int SetPoint = 0;
inline constexpr int Hysteresis = 2;
inline constexpr int Delay = 4;
inline constexpr int Flags = 5;
inline constexpr int Length = 6;
} // namespace AlarmBlock

/// Command codes. An answer carries the code of the command it answers.
enum class TCommand : std::uint8_t {
  ReadState = 0x00,
  ReadInfo = 0x01,
  ReadWROP = 0x02,
  SendFilter = 0x20,
  SendAlarm1 = 0x21,
  SendAlarm2 = 0x22,
  SendTag1 = 0x30,
  SendTag2 = 0x31,
  Unlock = 0x40,
  ChangePassword = 0x41,
  AdjustZero = 0x60,
  AdjustFullScale = 0x61,
  Reset = 0x65,
  ProgramFirmware = 0x66,
  EraseFirmware = 0x67,
  EraseFirmwareMemory = 0x68, // never sent by the program
  SetClock = 0x69,
  Ping = 0x6A,
  ResetAll = 0x6B,
  ReadFilter = 0xA0,
  ReadAlarm1 = 0xA1,
  ReadAlarm2 = 0xA2,
  ReadTag = 0xB0,
  ReadTag2 = 0xB1,
  ReadCryptedPassword = 0xC1,
  Error = 0xFF, // answer only
};

constexpr std::uint8_t CodeOf(TCommand c) {
  return static_cast<std::uint8_t>(c);
}

/// What a ping carries and what the instrument echoes.
inline constexpr std::array<std::uint8_t, 6> kPingPattern{0x00, 0xFF, 0x55, 0xAA, 0x5A, 0xA5};

// ---- Checksum and packing ---------------------------------------------------------------------

/// The checksum byte (byte 1) of an n-byte frame: all n bytes of a valid frame add up to 0xFF.
std::uint8_t FrameChecksum(const std::uint8_t *Frame, int n);
/// True when the n bytes add up to 0xFF modulo 256.
bool FrameChecksumValid(const std::uint8_t *Frame, int n);

/// The characters the packing carries, 6 bits each: space (0x20) to '_' (0x5F).
inline constexpr char16_t kFirstPackableChar = 0x20;
inline constexpr char16_t kLastPackableChar = 0x5F;
/// True when the character with code Code is one the packing carries.
constexpr bool IsPackableChar(std::uint32_t Code) {
  return Code >= kFirstPackableChar && Code <= kLastPackableChar;
}

/// Packs the first 4 characters of Text (callers pad to at least 4) into 3 bytes, 6 bits each.
std::array<std::uint8_t, 3> PackChars(std::string_view Text);
/// The 4 characters of 3 packed bytes.
std::string UnpackChars(const std::uint8_t *Bytes);
/// True when Text survives packing and unpacking unchanged.
bool IsPackable(std::string_view Text);

/// Characters of a password block and of each half of a tag: 8, packed into 6 bytes.
inline constexpr int kPackedEightChars = 8;
/// Packs the first 8 characters of Text, padded with spaces, into 6 bytes (two groups of 3).
std::array<std::uint8_t, 6> PackEight(std::string_view Text);
/// The 8 characters of 6 packed bytes.
std::string UnpackEight(const std::uint8_t *Bytes);

// ---- Measurement and information ------------------------------------------------------------

/// The measurement, in °C, that stands for a failed sensor (the status byte's SensorFailure).
inline constexpr float kSensorFailureMeasure = 9999.0f;
/// True when a measurement is the sensor-failure value.
constexpr bool IsSensorFailureMeasure(float Measure) {
  return Measure >= kSensorFailureMeasure;
}

/// The first bytes of the information block (answer to 0x01) of an instrument whose USB
/// firmware is programmed; its text starts "C1FFFF".
inline constexpr std::array<std::uint8_t, 3> kProgrammedFirmwareInfo{0xC1, 0xFF, 0xFF};
/// The 12 upper-case hexadecimal digits of a 6-byte information block.
std::string InfoText(const std::uint8_t *Block);
/// True when an information text (as InfoText gives it) says the USB firmware is programmed.
bool FirmwareProgrammed(std::string_view Text);

// ---- Numbers ----------------------------------------------------------------------------------

/// A single sent most significant byte first; 0.0 for exponents 254/255 (huge, inf, NaN).
float BytesToSingle(const std::uint8_t *Bytes);
/// The 4 bytes of Value, most significant first.
std::array<std::uint8_t, 4> SingleToBytes(float Value);

/// Value x 10 rounded half to even, as signed 16-bit tenths. Throws ERangeError when the result
/// does not fit or Value is not finite, naming the Quantity (of Alarm, when not 0).
std::int16_t ToTenths16(float Value, TQuantity Quantity = TQuantity::Value, int Alarm = 0);
/// A delay in seconds as unsigned tenths: 0 below 0, 255 above 25.5, else x 10 half to even.
/// Throws ERangeError for NaN, naming Alarm (when not 0).
std::uint8_t DelayToTenths8(float Seconds, int Alarm = 0);

std::int16_t GetInt16LE(const std::uint8_t *Bytes);
std::int16_t GetInt16BE(const std::uint8_t *Bytes);
std::uint16_t GetUInt16LE(const std::uint8_t *Bytes);
void PutInt16LE(std::uint8_t *Bytes, std::int16_t Value);
void PutUInt16LE(std::uint8_t *Bytes, std::uint16_t Value);

// ---- Device date and time -------------------------------------------------------------------

/// A local civil date and time, as the computer's clock gives it.
struct TCivilDateTime {
  int Year = 2000;
  int Month = 1;
  int Day = 1;
  int Hour = 0;
  int Minute = 0;
  int Second = 0;
  int Millisecond = 0;
};

/// Value rounded to the nearest integer, halves to the even neighbour, whatever the FPU mode.
double RoundHalfEven(double Value);

/// The device clock's ticks in a day (its time of day is 16 bits), and the days its date counts
/// (16 bits from 1 January 2000: to 6 June 2179).
inline constexpr std::int64_t kDeviceTicksPerDay = 65536;
inline constexpr std::int64_t kDeviceDays = 65536;

/// Device date (days since 1 January 2000) and time of day (1/65536 of a day).
struct TDeviceDateTime {
  std::uint16_t Date = 0;
  std::uint16_t Time = 0;
};

/// Throws ERangeError when the date lies before 2000 or more than 65535 days after.
TDeviceDateTime EncodeDeviceDateTime(const TCivilDateTime &When);
/// The computer's local date and time now.
TCivilDateTime LocalNow();
/// Day, month, year of a device date.
void DecodeDeviceDate(std::uint16_t Date, int &Day, int &Month, int &Year);
/// Hour and minute of a device time (seconds dropped).
void DecodeDeviceTime(std::uint16_t Time, int &Hour, int &Minute);

// ---- Hex text ---------------------------------------------------------------------------------

/// Byte as two upper-case hex digits ("0A").
std::string HexByte(std::uint8_t Byte);
/// Count bytes, each as two upper-case hex digits, Separator between two; from index MaskFrom on
/// (when not negative) each byte shows as "**".
std::string HexBytes(const std::uint8_t *Bytes, std::size_t Count, std::string_view Separator = " ",
                     int MaskFrom = -1);

} // namespace zol
