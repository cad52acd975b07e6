#pragma once

// The frames of the RW8, both ways and from both ends: pure functions, no I/O, no state. The
// program encodes commands and decodes answers; the simulated instrument decodes commands and
// encodes answers with the same definitions.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/Settings.h"
#include "protocol/Utils.h"
#include "protocol/WROP.h"

namespace zol {

// ---- Reports ------------------------------------------------------------------------------------

/// The report id byte that goes before a frame in a HID report (always 0).
inline constexpr int kReportIdLength = 1;
/// An output report: the report id, then the command.
inline constexpr int kCommandReportLength = kReportIdLength + kCommandLength;
/// An input report: the report id, then the answer.
inline constexpr int kAnswerReportLength = kReportIdLength + kAnswerLength;
/// Characters of each half of a tag (commands 0x30/0x31, answers 0xB0/0xB1).
inline constexpr int kTagHalfLength = kPackedEightChars;
/// Bytes of the filter, a single, at the start of its parameters or payload.
inline constexpr int kFilterLength = 4;

using TCommandBytes = std::array<std::uint8_t, kCommandLength>;
using TAnswerBytes = std::array<std::uint8_t, kAnswerLength>;
using TBlockBytes = std::array<std::uint8_t, AnswerOffset::PayloadLength>;

/// The 6-byte alarm block as the frames carry it: tenths, least significant byte first.
struct TAlarmBlock {
  std::int16_t SetPoint = 0;   ///< tenths of °C
  std::int16_t Hysteresis = 0; ///< tenths of °C
  std::uint8_t Delay = 0;      ///< tenths of a second
  std::uint8_t Flags = 0;      ///< AlarmFlag bits (other bits kept as they came)
  bool operator==(const TAlarmBlock &) const = default;
};
TAlarmBlock GetAlarmBlock(const std::uint8_t *Block);
void PutAlarmBlock(const TAlarmBlock &Alarm, std::uint8_t *Block);

// ---- The program's side: commands out ----------------------------------------------------------

/// Every encoder gives the whole 8-byte command, its checksum in byte 1.

/// A command without parameters.
TCommandBytes EncodeCommand(std::uint8_t Code);
/// 0x20: the filter in seconds, a single most significant byte first.
TCommandBytes EncodeFilter(float Seconds);
/// 0x21 or 0x22 (Code): the alarm in tenths. Throws ERangeError, naming the alarm, for a set
/// point or hysteresis beyond the signed 16-bit tenths or a value that is not a number.
TCommandBytes EncodeAlarm(TCommand Code, const TZOLAlarm &Alarm);
/// 0x30 or 0x31 (Code): characters 1-8 or 9-16 of Tag, padded with spaces, packed.
TCommandBytes EncodeTagHalf(TCommand Code, std::string_view Tag);
/// 0x40 or 0x41 (Code): the password followed by spaces, cut to 8, packed.
TCommandBytes EncodePassword(TCommand Code, std::string_view Password);
/// 0x69: device date and time. Throws ERangeError outside the instrument's day count.
TCommandBytes EncodeClock(const TCivilDateTime &When);
/// 0x6A: the ping pattern.
TCommandBytes EncodePing();
/// 0x02: history record Index; ERangeError beyond 0 to 255.
TCommandBytes EncodeHistoryRequest(int Index);

// ---- The program's side: answers in ------------------------------------------------------------

/// An answer, decoded. Code, Counter and ChecksumValid always; the rest only when the checksum
/// is valid, and of the payload only what the code carries.
struct TDecodedAnswer {
  std::uint8_t Code = 0;
  std::uint8_t Counter = 0;
  bool ChecksumValid = false;
  std::uint8_t Status = 0;
  bool Relay1 = false;
  bool Led1 = false;
  bool Relay2 = false;
  bool Led2 = false;
  bool UseDisplay = false;
  bool UseE2PROM = false;
  bool WriteLocked = false;
  bool SensorFailure = false;
  float Measure = 0.0f;  ///< °C; kSensorFailureMeasure while the sensor has failed
  TBlockBytes Payload{}; ///< the 6 payload bytes as they came
  // 0x00
  std::int16_t RawValue = 0;
  float Rt = 0.0f;
  // 0x01: 12 upper-case hexadecimal digits
  std::string InfoText;
  // 0x02
  TWROP Record;
  // 0x6A: the payload echoes the ping pattern
  bool PingEchoed = false;
  // 0xA0
  float Filter = 0.0f;
  // 0xA1, 0xA2 (Padding 0: no frame carries it)
  TZOLAlarm Alarm;
  // 0xB0, 0xB1: 8 characters
  std::string TagHalf;
  // 0xC1
  TBlockBytes CryptedPassword{};
};

/// Decodes the 12 bytes of an answer (without the report id).
TDecodedAnswer DecodeAnswer(const std::uint8_t *Answer);

// ---- The instrument's side: commands in ---------------------------------------------------------

/// A command, decoded. Code and ChecksumValid always; of the parameters what the code carries.
struct TDecodedCommand {
  std::uint8_t Code = 0;
  bool ChecksumValid = false;
  TBlockBytes Params{}; ///< the 6 parameter bytes as they came
  // 0x20: the single as it came
  std::array<std::uint8_t, kFilterLength> Filter{};
  // 0x21, 0x22
  TAlarmBlock Alarm;
  // 0x30, 0x31 (a tag half), 0x40, 0x41 (a password): 8 characters
  std::string Text;
  // 0x69
  TDeviceDateTime Clock;
  // 0x02
  int HistoryIndex = 0;
};

/// Decodes the 8 bytes of a command (without the report id).
TDecodedCommand DecodeCommand(const std::uint8_t *Command);

// ---- The instrument's side: answers out --------------------------------------------------------

/// What an answer carries besides its checksum.
struct TAnswerFields {
  std::uint8_t Code = 0;
  std::uint8_t Status = 0;
  std::uint8_t Counter = 0;
  std::int16_t MeasureTenths = 0; ///< least significant byte first
  TBlockBytes Payload{};
};
/// The 12 bytes of an answer, its checksum in byte 1.
TAnswerBytes EncodeAnswer(const TAnswerFields &Fields);

/// The payload of a state answer (0x00): the raw value most significant byte first, then Rt.
TBlockBytes EncodeStatePayload(std::int16_t RawValue, float Rt);
/// The payload of 0xA0: the filter's 4 bytes, then zeros.
TBlockBytes EncodeFilterPayload(const std::array<std::uint8_t, kFilterLength> &Filter);
/// The payload of 0xA1/0xA2.
TBlockBytes EncodeAlarmPayload(const TAlarmBlock &Alarm);
/// The payload of 0xB0/0xB1: 8 characters of a tag half, padded with spaces, packed.
TBlockBytes EncodeTagHalfPayload(std::string_view Half);

} // namespace zol
