#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zol {

// ---- Settings records ---------------------------------------------------------------------------

/// Characters the tag field of the settings holds.
inline constexpr int kTagCapacity = 32;
/// Characters the instrument keeps of a tag.
inline constexpr int kDeviceTagLength = 16;
/// Characters of a password.
inline constexpr int kPasswordLength = 8;

/// The settings of one alarm, 16 bytes as parameter files hold them. The three flags are bytes:
/// 1 when the program writes true, and any non-zero byte reads as true.
struct TZOLAlarm {
  float SetPoint = 0.0f;       ///< threshold, °C
  float Hysteresis = 0.0f;     ///< °C
  float Delay = 0.0f;          ///< seconds; the instrument holds 0 to 25.5 in tenths
  std::uint8_t ContactNC = 0;  ///< contact normally closed
  std::uint8_t FailClosed = 0; ///< contact closed on sensor failure
  std::uint8_t LedBelow = 0;   ///< LED lit below the threshold
  std::uint8_t Padding = 0;
};
static_assert(sizeof(TZOLAlarm) == 16);
static_assert(offsetof(TZOLAlarm, SetPoint) == 0);
static_assert(offsetof(TZOLAlarm, Hysteresis) == 4);
static_assert(offsetof(TZOLAlarm, Delay) == 8);
static_assert(offsetof(TZOLAlarm, ContactNC) == 12);
static_assert(offsetof(TZOLAlarm, FailClosed) == 13);
static_assert(offsetof(TZOLAlarm, LedBelow) == 14);
static_assert(offsetof(TZOLAlarm, Padding) == 15);

/// A text of at most 32 characters: a length byte, then 32 character bytes. Bytes beyond the
/// length are kept as they are (a loaded file's bytes survive to the next save).
struct TTagField {
  std::uint8_t Length = 0;
  char Chars[kTagCapacity]{};

  /// The tag; a length byte above 32 (a foreign file) gives the 32 characters, never more.
  std::string Get() const;
  /// Stores the first 32 characters of Text; the bytes after them are left as they are.
  void Set(std::string_view Text);
};
static_assert(sizeof(TTagField) == 33);

/// All settings of the instrument, 72 bytes, the body of a parameter file.
struct TZOLSettings {
  TTagField Tag;
  std::uint8_t Padding[3]{};
  float Filter = 0.0f; ///< damping filter, seconds
  TZOLAlarm Alarm1;
  TZOLAlarm Alarm2;
};
static_assert(sizeof(TZOLSettings) == 72);
static_assert(offsetof(TZOLSettings, Tag) == 0);
static_assert(offsetof(TZOLSettings, Padding) == 33);
static_assert(offsetof(TZOLSettings, Filter) == 36);
static_assert(offsetof(TZOLSettings, Alarm1) == 40);
static_assert(offsetof(TZOLSettings, Alarm2) == 56);

} // namespace zol
