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

bool Fail(std::string *error, const char *reason) {
  if (error)
    *error = reason;
  return false;
}

} // namespace

bool ParseReportDescriptor(const std::uint8_t *data, std::size_t size, TReportDescriptorInfo &info,
                           std::string *error) {
  info = {};
  if (data == nullptr && size != 0)
    return Fail(error, "no descriptor");

  // Bits declared so far, by report id and kind.
  std::array<std::array<std::uint64_t, KindCount>, 256> bits{};
  std::array<GlobalState, kMaxPushDepth> stack{};
  int depth = 0;
  GlobalState state;
  bool usesIds = false;

  std::size_t pos = 0;
  while (pos < size) {
    const std::uint8_t prefix = data[pos];
    if (prefix == kLongItemPrefix) {
      if (size - pos < 3)
        return Fail(error, "truncated long item");
      const std::size_t length = data[pos + 1];
      if (size - pos - 3 < length)
        return Fail(error, "truncated long item");
      pos += 3 + length;
      continue;
    }
    const std::size_t length = (prefix & 3) == 3 ? 4 : (prefix & 3);
    if (size - pos - 1 < length)
      return Fail(error, "truncated item");
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < length; ++i)
      value |= static_cast<std::uint32_t>(data[pos + 1 + i]) << (8 * i);
    const int type = (prefix >> 2) & 3;
    const int tag = prefix >> 4;
    pos += 1 + length;

    if (type == kTypeGlobal) {
      switch (tag) {
      case kTagReportSize:
        state.ReportSize = value;
        break;
      case kTagReportCount:
        state.ReportCount = value;
        break;
      case kTagReportId:
        if (value == 0 || value > 255)
          return Fail(error, "report id outside 1..255");
        state.ReportId = value;
        usesIds = true;
        break;
      case kTagPush:
        if (depth == kMaxPushDepth)
          return Fail(error, "push nested too deep");
        stack[static_cast<std::size_t>(depth++)] = state;
        break;
      case kTagPop:
        if (depth == 0)
          return Fail(error, "pop without push");
        state = stack[static_cast<std::size_t>(--depth)];
        break;
      default:
        break;
      }
    } else if (type == kTypeMain) {
      int kind = -1;
      if (tag == kTagInput)
        kind = Input;
      else if (tag == kTagOutput)
        kind = Output;
      else if (tag == kTagFeature)
        kind = Feature;
      if (kind >= 0) {
        std::uint64_t &total = bits[state.ReportId][static_cast<std::size_t>(kind)];
        total += static_cast<std::uint64_t>(state.ReportSize) * state.ReportCount;
        if (total > kMaxReportBits)
          return Fail(error, "report longer than a HID report can be");
      }
    }
  }

  // A report is its data rounded up to whole bytes, plus the report id byte, which Windows
  // counts even for devices that do not number their reports.
  std::array<int, KindCount> longest{};
  for (const auto &byId : bits)
    for (int k = 0; k < KindCount; ++k) {
      const std::uint64_t b = byId[static_cast<std::size_t>(k)];
      if (b == 0)
        continue;
      const int bytes = static_cast<int>((b + 7) / 8) + 1;
      if (bytes > longest[static_cast<std::size_t>(k)])
        longest[static_cast<std::size_t>(k)] = bytes;
    }
  info.InputReportByteLength = longest[Input];
  info.OutputReportByteLength = longest[Output];
  info.FeatureReportByteLength = longest[Feature];
  info.UsesReportIds = usesIds;
  return true;
}

} // namespace zol
