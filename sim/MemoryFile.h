#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "protocol/Codec.h"
#include "protocol/WROP.h"

namespace zol {

/// Number of write-operation records the instrument keeps.
inline constexpr int kSimHistorySize = kHistoryRecords;
/// Size of the memory file.
inline constexpr int kSimMemoryImageSize = 100;

/// One alarm as the instrument stores it: the 6-byte alarm block of commands 0x21/0x22, its
/// flags as received (other bits kept, ignored).
using TSimAlarm = TAlarmBlock;

/// The settings the instrument keeps.
struct TSimSettings {
  std::string Tag;                      ///< always 16 characters of 0x20..0x5F
  std::array<std::uint8_t, 4> Filter{}; ///< seconds, single, most significant byte first
  TSimAlarm Alarm1;
  TSimAlarm Alarm2;
  bool UseDisplay = true;
  bool UseE2PROM = true;
  /// Filter as a number (0 for the encodings the program reads as 0).
  float FilterSeconds() const;
  bool operator==(const TSimSettings &) const = default;
};

/// One write-operation record.
struct TSimRecord {
  std::uint8_t OpCode = 0;
  std::uint16_t OpDate = 0; ///< days since 1 January 2000
  std::uint16_t OpTime = 0; ///< 1/65536 of a day
  bool operator==(const TSimRecord &) const = default;
};

/// How the memory file was found when the instrument started. Refused: the name holds something
/// that cannot be the memory file (a folder, a FIFO, a device, a file that cannot be read, a
/// parameter file); it is neither read nor ever written.
enum class TSimMemoryState : std::uint8_t { NoFile, Loaded, Missing, Corrupt, Refused };

/// Everything the instrument keeps between runs.
struct TSimMemory {
  TSimSettings Settings;
  std::string Password; ///< 8 characters of 0x20..0x5F
  std::array<TSimRecord, kSimHistorySize> History{};
  int HistoryCount = 0;
  std::array<std::uint8_t, 6> Info{};
  bool operator==(const TSimMemory &) const = default;
};

/// The memory file's bytes (layout in sim/README.md).
using TSimMemoryImage = std::array<std::uint8_t, kSimMemoryImageSize>;

/// The image of Memory, checksum included.
TSimMemoryImage BuildMemoryImage(const TSimMemory &Memory);
/// Reads Image into Memory when it is sound (magic, checksum, packable tag and password, a
/// history count in range); otherwise false and Memory untouched.
bool ParseMemoryImage(const TSimMemoryImage &Image, TSimMemory &Memory);
/// Reads the file at Path into Memory: Loaded, Missing (no file of that name), Corrupt (not an
/// image of exactly the right size, or not sound) or Refused (Reason says why; never waits on a
/// FIFO; a parameter file, told by its identification, is refused too); Memory changes only when
/// Loaded.
TSimMemoryState LoadMemoryFile(const std::string &Path, TSimMemory &Memory,
                               std::string *Reason = nullptr);
/// Replaces the file at Path by Image, whole or not at all; false when it could not, and Reason
/// says why.
bool SaveMemoryFile(const std::string &Path, const TSimMemoryImage &Image,
                    std::string *Reason = nullptr);

} // namespace zol
