#include "sim/MemoryFile.h"

#include <algorithm>
#include <string_view>

#include "protocol/Codec.h"
#include "protocol/ParamFile.h"
#include "protocol/SystemFile.h"
#include "protocol/Utils.h"

namespace zol {

namespace {

// Memory file layout (sim/README.md).
constexpr std::array<std::uint8_t, 8> kMagic{'R', 'W', '8', 'S', 'I', 'M', '0', '1'};
namespace offset {
constexpr int kMagic = 0;
constexpr int kTag = 8;
constexpr int kFilter = 24;
constexpr int kAlarm1 = 28;
constexpr int kAlarm2 = 34;
constexpr int kOptions = 40;
constexpr int kPassword = 41;
constexpr int kHistoryCount = 49;
constexpr int kHistory = 50;
constexpr int kRecordLength = 5;
constexpr int kInfo = 90;
constexpr int kSum = 96;
} // namespace offset
static_assert(offset::kSum + 4 == kSimMemoryImageSize);

bool AllPackable(std::string_view Text) {
  return std::all_of(Text.begin(), Text.end(),
                     [](char c) { return IsPackableChar(static_cast<unsigned char>(c)); });
}

std::uint32_t Fnv1a(const std::uint8_t *Bytes, int n) {
  std::uint32_t h = 2166136261u;
  for (int i = 0; i < n; ++i) {
    h ^= Bytes[i];
    h *= 16777619u;
  }
  return h;
}

} // namespace

TSimMemoryImage BuildMemoryImage(const TSimMemory &m) {
  const TSimSettings &s = m.Settings;
  TSimMemoryImage b{};
  std::copy(kMagic.begin(), kMagic.end(), b.begin() + offset::kMagic);
  std::copy(s.Tag.begin(), s.Tag.end(), b.begin() + offset::kTag);
  std::copy(s.Filter.begin(), s.Filter.end(), b.begin() + offset::kFilter);
  PutAlarmBlock(s.Alarm1, b.data() + offset::kAlarm1);
  PutAlarmBlock(s.Alarm2, b.data() + offset::kAlarm2);
  b[offset::kOptions] = static_cast<std::uint8_t>((s.UseDisplay ? StatusBit::UseDisplay : 0) |
                                                  (s.UseE2PROM ? StatusBit::UseE2PROM : 0));
  std::copy(m.Password.begin(), m.Password.end(), b.begin() + offset::kPassword);
  b[offset::kHistoryCount] = static_cast<std::uint8_t>(m.HistoryCount);
  for (int i = 0; i < kSimHistorySize; ++i) {
    std::uint8_t *r = b.data() + offset::kHistory + i * offset::kRecordLength;
    r[0] = m.History[i].OpCode;
    PutUInt16LE(r + 1, m.History[i].OpDate);
    PutUInt16LE(r + 3, m.History[i].OpTime);
  }
  std::copy(m.Info.begin(), m.Info.end(), b.begin() + offset::kInfo);
  const std::uint32_t Sum = Fnv1a(b.data(), offset::kSum);
  for (int i = 0; i < 4; ++i)
    b[offset::kSum + i] = static_cast<std::uint8_t>(Sum >> (8 * i));
  return b;
}

bool ParseMemoryImage(const TSimMemoryImage &b, TSimMemory &m) {
  if (!std::equal(kMagic.begin(), kMagic.end(), b.begin() + offset::kMagic))
    return false;
  std::uint32_t Sum = 0;
  for (int i = 0; i < 4; ++i)
    Sum |= std::uint32_t{b[offset::kSum + i]} << (8 * i);
  if (Sum != Fnv1a(b.data(), offset::kSum))
    return false;
  const std::string Tag(b.begin() + offset::kTag, b.begin() + offset::kTag + kDeviceTagLength);
  const std::string Pass(b.begin() + offset::kPassword,
                         b.begin() + offset::kPassword + kPasswordLength);
  const int Count = b[offset::kHistoryCount];
  // A sound checksum over nonsense (a file written by hand) is still refused.
  if (!AllPackable(Tag) || !AllPackable(Pass) || Count > kSimHistorySize)
    return false;
  TSimSettings &s = m.Settings;
  s.Tag = Tag;
  std::copy(b.begin() + offset::kFilter, b.begin() + offset::kFilter + 4, s.Filter.begin());
  s.Alarm1 = GetAlarmBlock(b.data() + offset::kAlarm1);
  s.Alarm2 = GetAlarmBlock(b.data() + offset::kAlarm2);
  s.UseDisplay = (b[offset::kOptions] & StatusBit::UseDisplay) != 0;
  s.UseE2PROM = (b[offset::kOptions] & StatusBit::UseE2PROM) != 0;
  m.Password = Pass;
  m.HistoryCount = Count;
  for (int i = 0; i < kSimHistorySize; ++i) {
    const std::uint8_t *r = b.data() + offset::kHistory + i * offset::kRecordLength;
    m.History[i] = TSimRecord{r[0], GetUInt16LE(r + 1), GetUInt16LE(r + 3)};
  }
  std::copy(b.begin() + offset::kInfo, b.begin() + offset::kInfo + 6, m.Info.begin());
  return true;
}

TSimMemoryState LoadMemoryFile(const std::string &Path, TSimMemory &Memory, std::string *Reason) {
  // One byte more than an image tells a file of another size: not ours.
  std::uint8_t Bytes[kSimMemoryImageSize + 1];
  std::size_t Count = 0;
  // A FIFO or a device is refused before it is opened: opening a FIFO waits for a writer.
  const TSystemFileResult Read = ReadFileStart(Path, Bytes, sizeof Bytes, Count);
  if (!Read.Ok) {
    if (Reason)
      *Reason = EnglishSystemReason(Read.Error);
    return Read.NotFound ? TSimMemoryState::Missing : TSimMemoryState::Refused;
  }
  // A parameter file given by mistake is the user's: refused, so that no change overwrites it.
  if (Count >= static_cast<std::size_t>(kParamFileIdLength) &&
      std::equal(Bytes, Bytes + kParamFileIdLength, kParamFileId)) {
    if (Reason)
      *Reason = "a parameter file (it starts with " + std::string(kParamFileId) +
                "), not a memory file; it is left as it is";
    return TSimMemoryState::Refused;
  }
  if (Count != static_cast<std::size_t>(kSimMemoryImageSize))
    return TSimMemoryState::Corrupt;
  TSimMemoryImage b{};
  std::copy(Bytes, Bytes + kSimMemoryImageSize, b.begin());
  // ParseMemoryImage checks everything before it changes anything: a corrupt file leaves the
  // memory as it was.
  return ParseMemoryImage(b, Memory) ? TSimMemoryState::Loaded : TSimMemoryState::Corrupt;
}

bool SaveMemoryFile(const std::string &Path, const TSimMemoryImage &Image, std::string *Reason) {
  // Written whole or not at all, through a temporary file created new under a unique name (a
  // link planted there cannot redirect it); a node that is not a regular file is left alone.
  const TSystemFileResult Written = ReplaceFileContent(Path, Image.data(), Image.size());
  if (!Written.Ok && Reason)
    *Reason = EnglishSystemReason(Written.Error);
  return Written.Ok;
}

} // namespace zol
