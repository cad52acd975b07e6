#include "protocol/ParamFile.h"

#include <bit>
#include <cstddef>
#include <cstring>

#include "protocol/Settings.h"
#include "protocol/SystemFile.h"

namespace zol {

namespace {

void PutSingleLE(std::uint8_t *Bytes, float Value) {
  const auto Bits = std::bit_cast<std::uint32_t>(Value);
  for (int i = 0; i < 4; ++i) {
    Bytes[i] = static_cast<std::uint8_t>(Bits >> (8 * i));
  }
}

float GetSingleLE(const std::uint8_t *Bytes) {
  std::uint32_t Bits = 0;
  for (int i = 0; i < 4; ++i) {
    Bits |= std::uint32_t{Bytes[i]} << (8 * i);
  }
  return std::bit_cast<float>(Bits);
}

void PutAlarm(std::uint8_t *Bytes, const TZOLAlarm &Alarm) {
  PutSingleLE(Bytes + offsetof(TZOLAlarm, SetPoint), Alarm.SetPoint);
  PutSingleLE(Bytes + offsetof(TZOLAlarm, Hysteresis), Alarm.Hysteresis);
  PutSingleLE(Bytes + offsetof(TZOLAlarm, Delay), Alarm.Delay);
  Bytes[offsetof(TZOLAlarm, ContactNC)] = Alarm.ContactNC;
  Bytes[offsetof(TZOLAlarm, FailClosed)] = Alarm.FailClosed;
  Bytes[offsetof(TZOLAlarm, LedBelow)] = Alarm.LedBelow;
  Bytes[offsetof(TZOLAlarm, Padding)] = Alarm.Padding;
}

void GetAlarm(const std::uint8_t *Bytes, TZOLAlarm &Alarm) {
  Alarm.SetPoint = GetSingleLE(Bytes + offsetof(TZOLAlarm, SetPoint));
  Alarm.Hysteresis = GetSingleLE(Bytes + offsetof(TZOLAlarm, Hysteresis));
  Alarm.Delay = GetSingleLE(Bytes + offsetof(TZOLAlarm, Delay));
  Alarm.ContactNC = Bytes[offsetof(TZOLAlarm, ContactNC)];
  Alarm.FailClosed = Bytes[offsetof(TZOLAlarm, FailClosed)];
  Alarm.LedBelow = Bytes[offsetof(TZOLAlarm, LedBelow)];
  Alarm.Padding = Bytes[offsetof(TZOLAlarm, Padding)];
}

TParamFileResult Failure(TErrorCode Code, const std::string &Path, const TSystemError &Reason) {
  TParamFileResult Result;
  Result.Error.Code = Code;
  Result.Error.Text = Path;
  Result.Error.System = Reason;
  return Result;
}

TParamFileResult Refusal(TErrorCode Code, const std::string &Path) {
  TParamFileResult Result;
  Result.Refused = true;
  Result.Error.Code = Code;
  Result.Error.Text = Path;
  return Result;
}

} // namespace

std::array<std::uint8_t, kSettingsImageLength> SettingsImage(const TZOLSettings &Settings) {
  std::array<std::uint8_t, kSettingsImageLength> Image{};
  std::uint8_t *p = Image.data();
  p[offsetof(TZOLSettings, Tag)] = Settings.Tag.Length;
  std::memcpy(p + offsetof(TZOLSettings, Tag) + 1, Settings.Tag.Chars, kTagCapacity);
  std::memcpy(p + offsetof(TZOLSettings, Padding), Settings.Padding, sizeof Settings.Padding);
  PutSingleLE(p + offsetof(TZOLSettings, Filter), Settings.Filter);
  PutAlarm(p + offsetof(TZOLSettings, Alarm1), Settings.Alarm1);
  PutAlarm(p + offsetof(TZOLSettings, Alarm2), Settings.Alarm2);
  return Image;
}

void SettingsFromImage(const std::uint8_t *Image, TZOLSettings &Settings) {
  Settings.Tag.Length = Image[offsetof(TZOLSettings, Tag)];
  std::memcpy(Settings.Tag.Chars, Image + offsetof(TZOLSettings, Tag) + 1, kTagCapacity);
  std::memcpy(Settings.Padding, Image + offsetof(TZOLSettings, Padding), sizeof Settings.Padding);
  Settings.Filter = GetSingleLE(Image + offsetof(TZOLSettings, Filter));
  GetAlarm(Image + offsetof(TZOLSettings, Alarm1), Settings.Alarm1);
  GetAlarm(Image + offsetof(TZOLSettings, Alarm2), Settings.Alarm2);
}

TParamFileResult ReadParameterFile(const std::string &Path, TZOLSettings &Settings) {
  std::uint8_t Buffer[kParamFileLength];
  std::size_t n = 0;
  const TSystemFileResult Read = ReadFileStart(Path, Buffer, sizeof Buffer, n);
  if (!Read.Ok) {
    return Failure(TErrorCode::CannotRead, Path, Read.Error);
  }
  const std::size_t IdRead = n < kParamFileIdLength ? n : kParamFileIdLength;
  if (std::memcmp(Buffer, kParamFileId, IdRead) != 0) {
    return Refusal(TErrorCode::WrongFileStart, Path);
  }
  if (n < kParamFileLength) {
    return Refusal(TErrorCode::FileTooShort, Path);
  }
  // Bytes after the 88th are ignored.
  SettingsFromImage(Buffer + kParamFileIdLength, Settings);
  TParamFileResult Result;
  Result.Ok = true;
  return Result;
}

TParamFileResult WriteParameterFile(const std::string &Path, const TZOLSettings &Settings) {
  std::uint8_t Buffer[kParamFileLength];
  std::memcpy(Buffer, kParamFileId, static_cast<std::size_t>(kParamFileIdLength));
  const auto Image = SettingsImage(Settings);
  std::memcpy(Buffer + kParamFileIdLength, Image.data(), Image.size());
  const TSystemFileResult Written = ReplaceFileContent(Path, Buffer, sizeof Buffer);
  if (!Written.Ok) {
    return Failure(TErrorCode::CannotWrite, Path, Written.Error);
  }
  TParamFileResult Result;
  Result.Ok = true;
  return Result;
}

} // namespace zol
