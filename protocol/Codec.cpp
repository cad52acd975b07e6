#include "protocol/Codec.h"

#include <algorithm>
#include <cstdio>

#include "link/Types.h"

namespace zol {

namespace {

TCommandBytes WithParams(std::uint8_t Code, const std::uint8_t *Params, int Count) {
  TCommandBytes Frame{};
  Frame[CommandOffset::Code] = Code;
  std::copy(Params, Params + Count, Frame.begin() + CommandOffset::Params);
  Frame[CommandOffset::Checksum] = FrameChecksum(Frame.data(), kCommandLength);
  return Frame;
}

float TenthsToFloat(int Tenths) {
  return static_cast<float>(Tenths / 10.0);
}

} // namespace

// ---- Alarm block --------------------------------------------------------------------------------

TAlarmBlock GetAlarmBlock(const std::uint8_t *Block) {
  TAlarmBlock a;
  a.SetPoint = GetInt16LE(Block + AlarmBlock::SetPoint);
  a.Hysteresis = GetInt16LE(Block + AlarmBlock::Hysteresis);
  a.Delay = Block[AlarmBlock::Delay];
  a.Flags = Block[AlarmBlock::Flags];
  return a;
}

void PutAlarmBlock(const TAlarmBlock &a, std::uint8_t *Block) {
  PutInt16LE(Block + AlarmBlock::SetPoint, a.SetPoint);
  PutInt16LE(Block + AlarmBlock::Hysteresis, a.Hysteresis);
  Block[AlarmBlock::Delay] = a.Delay;
  Block[AlarmBlock::Flags] = a.Flags;
}

// ---- Commands out -------------------------------------------------------------------------------

TCommandBytes EncodeCommand(std::uint8_t Code) {
  return WithParams(Code, nullptr, 0);
}

TCommandBytes EncodeFilter(float Seconds) {
  const auto Bytes = SingleToBytes(Seconds);
  return WithParams(CodeOf(TCommand::SendFilter), Bytes.data(), kFilterLength);
}

TCommandBytes EncodeAlarm(TCommand Code, const TZOLAlarm &Alarm) {
  const int Which = Code == TCommand::SendAlarm2 ? 2 : 1;
  // Every value is encoded before the frame is built: a range error gives no frame.
  TAlarmBlock Block;
  Block.SetPoint = ToTenths16(Alarm.SetPoint, TQuantity::SetPoint, Which);
  Block.Hysteresis = ToTenths16(Alarm.Hysteresis, TQuantity::Hysteresis, Which);
  Block.Delay = DelayToTenths8(Alarm.Delay, Which);
  Block.Flags = static_cast<std::uint8_t>((Alarm.ContactNC ? AlarmFlag::ContactNC : 0) |
                                          (Alarm.FailClosed ? AlarmFlag::FailClosed : 0) |
                                          (Alarm.LedBelow ? AlarmFlag::LedBelow : 0));
  std::uint8_t Params[AlarmBlock::Length];
  PutAlarmBlock(Block, Params);
  return WithParams(CodeOf(Code), Params, AlarmBlock::Length);
}

TCommandBytes EncodeTagHalf(TCommand Code, std::string_view Tag) {
  const std::size_t First = Code == TCommand::SendTag2 ? kTagHalfLength : 0;
  const auto Packed = PackEight(Tag.substr(std::min(Tag.size(), First), kTagHalfLength));
  return WithParams(CodeOf(Code), Packed.data(), static_cast<int>(Packed.size()));
}

TCommandBytes EncodePassword(TCommand Code, std::string_view Password) {
  auto Packed = PackEight(Password);
  const TCommandBytes Frame =
      WithParams(CodeOf(Code), Packed.data(), static_cast<int>(Packed.size()));
  WipeBytes(Packed.data(), Packed.size());
  return Frame;
}

TCommandBytes EncodeClock(const TCivilDateTime &When) {
  const TDeviceDateTime Device = EncodeDeviceDateTime(When);
  std::uint8_t Params[4];
  PutUInt16LE(Params + ClockParam::Date, Device.Date);
  PutUInt16LE(Params + ClockParam::Time, Device.Time);
  return WithParams(CodeOf(TCommand::SetClock), Params, 4);
}

TCommandBytes EncodePing() {
  return WithParams(CodeOf(TCommand::Ping), kPingPattern.data(),
                    static_cast<int>(kPingPattern.size()));
}

TCommandBytes EncodeHistoryRequest(int Index) {
  if (Index < 0 || Index > kLastHistoryIndex) {
    TError Error;
    Error.Code = TErrorCode::HistoryIndexOutOfRange;
    Error.Number = Index;
    throw ERangeError(std::move(Error));
  }
  const auto Param = static_cast<std::uint8_t>(Index);
  return WithParams(CodeOf(TCommand::ReadWROP), &Param, 1);
}

// ---- Answers in ---------------------------------------------------------------------------------

TDecodedAnswer DecodeAnswer(const std::uint8_t *Answer) {
  TDecodedAnswer d;
  d.Code = Answer[AnswerOffset::Code];
  d.Counter = Answer[AnswerOffset::Counter];
  d.ChecksumValid = FrameChecksumValid(Answer, kAnswerLength);
  if (!d.ChecksumValid) {
    return d;
  }
  const std::uint8_t Status = Answer[AnswerOffset::Status];
  d.Status = Status;
  d.Relay1 = (Status & StatusBit::Relay1) != 0;
  d.Led1 = (Status & StatusBit::Led1) != 0;
  d.Relay2 = (Status & StatusBit::Relay2) != 0;
  d.Led2 = (Status & StatusBit::Led2) != 0;
  d.UseDisplay = (Status & StatusBit::UseDisplay) != 0;
  d.UseE2PROM = (Status & StatusBit::UseE2PROM) != 0;
  d.WriteLocked = (Status & StatusBit::WriteLocked) != 0;
  d.SensorFailure = (Status & StatusBit::SensorFailure) != 0;
  d.Measure = d.SensorFailure ? kSensorFailureMeasure
                              : TenthsToFloat(GetInt16LE(Answer + AnswerOffset::Measure));
  const std::uint8_t *Payload = Answer + AnswerOffset::Payload;
  std::copy(Payload, Payload + AnswerOffset::PayloadLength, d.Payload.begin());

  switch (static_cast<TCommand>(d.Code)) {
  case TCommand::ReadState:
    d.RawValue = GetInt16BE(Payload + StatePayload::RawValue);
    d.Rt = BytesToSingle(Payload + StatePayload::Rt);
    break;
  case TCommand::ReadInfo:
    d.InfoText = InfoText(Payload);
    break;
  case TCommand::ReadWROP:
    d.Record = WROPFromBytes(Payload);
    break;
  case TCommand::Ping:
    d.PingEchoed = std::equal(kPingPattern.begin(), kPingPattern.end(), Payload);
    break;
  case TCommand::ReadFilter:
    d.Filter = BytesToSingle(Payload);
    break;
  case TCommand::ReadAlarm1:
  case TCommand::ReadAlarm2: {
    const TAlarmBlock Block = GetAlarmBlock(Payload);
    d.Alarm.SetPoint = TenthsToFloat(Block.SetPoint);
    d.Alarm.Hysteresis = TenthsToFloat(Block.Hysteresis);
    d.Alarm.Delay = TenthsToFloat(Block.Delay);
    d.Alarm.ContactNC = (Block.Flags & AlarmFlag::ContactNC) ? 1 : 0;
    d.Alarm.FailClosed = (Block.Flags & AlarmFlag::FailClosed) ? 1 : 0;
    d.Alarm.LedBelow = (Block.Flags & AlarmFlag::LedBelow) ? 1 : 0;
    break;
  }
  case TCommand::ReadTag:
  case TCommand::ReadTag2:
    d.TagHalf = UnpackEight(Payload);
    break;
  case TCommand::ReadCryptedPassword:
    d.CryptedPassword = d.Payload;
    break;
  default:
    break;
  }
  return d;
}

// ---- Commands in --------------------------------------------------------------------------------

TDecodedCommand DecodeCommand(const std::uint8_t *Command) {
  TDecodedCommand d;
  d.Code = Command[CommandOffset::Code];
  d.ChecksumValid = FrameChecksumValid(Command, kCommandLength);
  const std::uint8_t *Params = Command + CommandOffset::Params;
  std::copy(Params, Params + d.Params.size(), d.Params.begin());
  switch (static_cast<TCommand>(d.Code)) {
  case TCommand::SendFilter:
    std::copy(Params, Params + kFilterLength, d.Filter.begin());
    break;
  case TCommand::SendAlarm1:
  case TCommand::SendAlarm2:
    d.Alarm = GetAlarmBlock(Params);
    break;
  case TCommand::SendTag1:
  case TCommand::SendTag2:
  case TCommand::Unlock:
  case TCommand::ChangePassword:
    d.Text = UnpackEight(Params);
    break;
  case TCommand::SetClock:
    d.Clock.Date = GetUInt16LE(Params + ClockParam::Date);
    d.Clock.Time = GetUInt16LE(Params + ClockParam::Time);
    break;
  case TCommand::ReadWROP:
    d.HistoryIndex = Params[0];
    break;
  default:
    break;
  }
  return d;
}

// ---- Answers out --------------------------------------------------------------------------------

TAnswerBytes EncodeAnswer(const TAnswerFields &Fields) {
  TAnswerBytes Answer{};
  Answer[AnswerOffset::Code] = Fields.Code;
  Answer[AnswerOffset::Status] = Fields.Status;
  Answer[AnswerOffset::Counter] = Fields.Counter;
  PutInt16LE(Answer.data() + AnswerOffset::Measure, Fields.MeasureTenths);
  std::copy(Fields.Payload.begin(), Fields.Payload.end(), Answer.begin() + AnswerOffset::Payload);
  Answer[AnswerOffset::Checksum] = FrameChecksum(Answer.data(), kAnswerLength);
  return Answer;
}

TBlockBytes EncodeStatePayload(std::int16_t RawValue, float Rt) {
  TBlockBytes Payload{};
  const auto Raw = static_cast<std::uint16_t>(RawValue);
  Payload[StatePayload::RawValue] = static_cast<std::uint8_t>(Raw >> 8);
  Payload[StatePayload::RawValue + 1] = static_cast<std::uint8_t>(Raw & 0xFF);
  const auto Bytes = SingleToBytes(Rt);
  std::copy(Bytes.begin(), Bytes.end(), Payload.begin() + StatePayload::Rt);
  return Payload;
}

TBlockBytes EncodeFilterPayload(const std::array<std::uint8_t, kFilterLength> &Filter) {
  TBlockBytes Payload{};
  std::copy(Filter.begin(), Filter.end(), Payload.begin());
  return Payload;
}

TBlockBytes EncodeAlarmPayload(const TAlarmBlock &Alarm) {
  TBlockBytes Payload{};
  PutAlarmBlock(Alarm, Payload.data());
  return Payload;
}

TBlockBytes EncodeTagHalfPayload(std::string_view Half) {
  return PackEight(Half);
}

} // namespace zol
