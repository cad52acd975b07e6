#include "link/ReportDescriptor.h"

#include <array>

namespace zol {

namespace {

// Item prefix: bits 0-1 data size (3 means 4 bytes), bits 2-3 type, bits 4-7 tag.
constexpr std::uint8_t kLongItemPrefix = 0xFE;
constexpr int kTypeMain = 0;
constexpr int kTypeGlobal = 1;

constexpr int kTagInput = 0x8;
constexpr int kTagOutput = 0x9;
constexpr int kTagFeature = 0xB;
constexpr int kTagReportSize = 0x7;
constexpr int kTagReportId = 0x8;
constexpr int kTagReportCount = 0x9;
constexpr int kTagPush = 0xA;
constexpr int kTagPop = 0xB;

constexpr int kMaxPushDepth = 32;
/// No HID report can be longer: the transport counts report bytes in 16 bits.
constexpr std::uint64_t kMaxReportBits = 0xFFFFull * 8;

struct GlobalState {
  std::uint32_t ReportSize = 0;
  std::uint32_t ReportCount = 0;
  std::uint32_t ReportId = 0;
};

enum Kind { Input = 0, Output = 1, Feature = 2, KindCount = 3 };

bool Fail(std::string *Error, const char *Reason) {
  if (Error)
    *Error = Reason;
  return false;
}

} // namespace

bool ParseReportDescriptor(const std::uint8_t *Data, std::size_t Size, TReportDescriptorInfo &Info,
                           std::string *Error) {
  Info = {};
  if (Data == nullptr && Size != 0)
    return Fail(Error, "no descriptor");

  // Bits declared so far, by report id and kind.
  std::array<std::array<std::uint64_t, KindCount>, 256> Bits{};
  std::array<GlobalState, kMaxPushDepth> Stack{};
  int Depth = 0;
  GlobalState State;
  bool UsesIds = false;

  std::size_t Pos = 0;
  while (Pos < Size) {
    const std::uint8_t Prefix = Data[Pos];
    if (Prefix == kLongItemPrefix) {
      if (Size - Pos < 3)
        return Fail(Error, "truncated long item");
      const std::size_t Length = Data[Pos + 1];
      if (Size - Pos - 3 < Length)
        return Fail(Error, "truncated long item");
      Pos += 3 + Length;
      continue;
    }
    const std::size_t Length = (Prefix & 3) == 3 ? 4 : (Prefix & 3);
    if (Size - Pos - 1 < Length)
      return Fail(Error, "truncated item");
    std::uint32_t Value = 0;
    for (std::size_t i = 0; i < Length; ++i)
      Value |= static_cast<std::uint32_t>(Data[Pos + 1 + i]) << (8 * i);
    const int Type = (Prefix >> 2) & 3;
    const int Tag = Prefix >> 4;
    Pos += 1 + Length;

    if (Type == kTypeGlobal) {
      switch (Tag) {
      case kTagReportSize:
        State.ReportSize = Value;
        break;
      case kTagReportCount:
        State.ReportCount = Value;
        break;
      case kTagReportId:
        if (Value == 0 || Value > 255)
          return Fail(Error, "report id outside 1..255");
        State.ReportId = Value;
        UsesIds = true;
        break;
      case kTagPush:
        if (Depth == kMaxPushDepth)
          return Fail(Error, "push nested too deep");
        Stack[static_cast<std::size_t>(Depth++)] = State;
        break;
      case kTagPop:
        if (Depth == 0)
          return Fail(Error, "pop without push");
        State = Stack[static_cast<std::size_t>(--Depth)];
        break;
      default:
        break;
      }
    } else if (Type == kTypeMain) {
      int ItemKind = -1;
      if (Tag == kTagInput)
        ItemKind = Input;
      else if (Tag == kTagOutput)
        ItemKind = Output;
      else if (Tag == kTagFeature)
        ItemKind = Feature;
      if (ItemKind >= 0) {
        std::uint64_t &Total = Bits[State.ReportId][static_cast<std::size_t>(ItemKind)];
        Total += static_cast<std::uint64_t>(State.ReportSize) * State.ReportCount;
        if (Total > kMaxReportBits)
          return Fail(Error, "report longer than a HID report can be");
      }
    }
  }

  // A report is its data rounded up to whole bytes, plus the report id byte, which Windows
  // counts even for devices that do not number their reports.
  std::array<int, KindCount> Longest{};
  for (const auto &ById : Bits)
    for (int k = 0; k < KindCount; ++k) {
      const std::uint64_t b = ById[static_cast<std::size_t>(k)];
      if (b == 0)
        continue;
      const int Bytes = static_cast<int>((b + 7) / 8) + 1;
      if (Bytes > Longest[static_cast<std::size_t>(k)])
        Longest[static_cast<std::size_t>(k)] = Bytes;
    }
  Info.InputReportByteLength = Longest[Input];
  Info.OutputReportByteLength = Longest[Output];
  Info.FeatureReportByteLength = Longest[Feature];
  Info.UsesReportIds = UsesIds;
  return true;
}

} // namespace zol
