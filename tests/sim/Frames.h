#pragma once

// Command frames built by hand, for tests that talk to a simulated instrument directly.

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/Utils.h"
#include "sim/VirtualRW8.h"

namespace zol::simtest {

using Frame = std::array<std::uint8_t, kCommandLength>;

inline Frame Command(TCommand code, std::array<std::uint8_t, 6> params = {}) {
  Frame f{};
  f[CommandOffset::Code] = CodeOf(code);
  std::copy(params.begin(), params.end(), f.begin() + CommandOffset::Params);
  f[CommandOffset::Checksum] = FrameChecksum(f.data(), kCommandLength);
  return f;
}

inline std::array<std::uint8_t, 6> PackedEight(std::string text) {
  text.resize(8, ' ');
  std::array<std::uint8_t, 6> out{};
  const auto a = PackChars(std::string_view(text).substr(0, 4));
  const auto b = PackChars(std::string_view(text).substr(4, 4));
  std::copy(a.begin(), a.end(), out.begin());
  std::copy(b.begin(), b.end(), out.begin() + 3);
  return out;
}

inline std::array<std::uint8_t, 6> AlarmParams(const TSimAlarm &a) {
  std::array<std::uint8_t, 6> p{};
  PutInt16LE(p.data() + AlarmBlock::SetPoint, a.SetPoint);
  PutInt16LE(p.data() + AlarmBlock::Hysteresis, a.Hysteresis);
  p[AlarmBlock::Delay] = a.Delay;
  p[AlarmBlock::Flags] = a.Flags;
  return p;
}

inline std::array<std::uint8_t, 6> FilterParams(float seconds) {
  const auto b = SingleToBytes(seconds);
  return {b[0], b[1], b[2], b[3], 0, 0};
}

} // namespace zol::simtest
