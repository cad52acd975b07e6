#include "protocol/ParamFile.h"

#include <atomic>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "protocol/Settings.h"

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

std::string SystemReason(int Error) {
  return std::generic_category().message(Error);
}

TParamFileResult Failure(const std::string &What, const std::string &Path, int Error) {
  TParamFileResult Result;
  Result.Message = What + " " + Path + ": " + SystemReason(Error);
  return Result;
}

TParamFileResult Refusal(const std::string &Path, const char *Why) {
  TParamFileResult Result;
  Result.Refused = true;
  Result.Message = Path + " is not a parameter file: " + Why;
  return Result;
}

/// Reads up to Count bytes; the count read, or -1 with errno set on a read error.
long ReadUpTo(int Fd, std::uint8_t *Buffer, std::size_t Count) {
  std::size_t Done = 0;
  while (Done < Count) {
    const ssize_t n = ::read(Fd, Buffer + Done, Count - Done);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return -1;
    }
    if (n == 0) {
      break;
    }
    Done += static_cast<std::size_t>(n);
  }
  return static_cast<long>(Done);
}

bool WriteAll(int Fd, const std::uint8_t *Buffer, std::size_t Count) {
  std::size_t Done = 0;
  while (Done < Count) {
    const ssize_t n = ::write(Fd, Buffer + Done, Count - Done);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    Done += static_cast<std::size_t>(n);
  }
  return true;
}

class TFileDescriptor {
public:
  explicit TFileDescriptor(int Fd) : Fd(Fd) {}
  TFileDescriptor(const TFileDescriptor &) = delete;
  TFileDescriptor &operator=(const TFileDescriptor &) = delete;
  ~TFileDescriptor() {
    if (Fd >= 0) {
      ::close(Fd);
    }
  }
  int Get() const { return Fd; }
  /// Closes now; false (errno set) when the close reports a failure of a delayed write.
  bool Close() {
    const int f = Fd;
    Fd = -1;
    return ::close(f) == 0;
  }

private:
  int Fd;
};

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
  std::error_code Ec;
  if (std::filesystem::is_directory(Path, Ec)) {
    return Failure("Cannot open", Path, EISDIR);
  }
  TFileDescriptor File(::open(Path.c_str(), O_RDONLY | O_CLOEXEC));
  if (File.Get() < 0) {
    return Failure("Cannot open", Path, errno);
  }
  std::uint8_t Buffer[kParamFileLength];
  const long n = ReadUpTo(File.Get(), Buffer, sizeof Buffer);
  if (n < 0) {
    return Failure("Cannot read", Path, errno);
  }
  const std::size_t IdRead =
      static_cast<std::size_t>(n < kParamFileIdLength ? n : kParamFileIdLength);
  if (std::memcmp(Buffer, kParamFileId, IdRead) != 0) {
    return Refusal(Path, "it does not start with \"ZOLUSB V1.0-KOVA\"");
  }
  if (n < kParamFileLength) {
    return Refusal(Path, "it is shorter than 88 bytes");
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

  std::error_code Ec;
  if (std::filesystem::is_directory(Path, Ec)) {
    return Failure("Cannot write", Path, EISDIR);
  }
  // The temporary file lies beside the target so that the rename stays in one file system.
  static std::atomic<unsigned> Sequence{0};
  const std::string Temporary =
      Path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(Sequence.fetch_add(1));
  // An existing file keeps its permissions; a new one gets the user's default.
  mode_t Mode = 0666;
  struct stat Existing {};
  if (::stat(Path.c_str(), &Existing) == 0) {
    Mode = Existing.st_mode & 07777;
  }
  TFileDescriptor File(::open(Temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, Mode));
  if (File.Get() < 0) {
    return Failure("Cannot write", Path, errno);
  }
  auto Abandon = [&](int Error) {
    ::unlink(Temporary.c_str());
    return Failure("Cannot write", Path, Error);
  };
  if (!WriteAll(File.Get(), Buffer, sizeof Buffer) || ::fsync(File.Get()) != 0) {
    return Abandon(errno);
  }
  if (!File.Close()) {
    return Abandon(errno);
  }
  if (std::rename(Temporary.c_str(), Path.c_str()) != 0) {
    return Abandon(errno);
  }
  // Make the rename itself durable; a failure here no longer risks the file's content.
  const std::string Directory = std::filesystem::path(Path).parent_path().string();
  TFileDescriptor Dir(::open(Directory.empty() ? "." : Directory.c_str(), O_RDONLY | O_CLOEXEC));
  if (Dir.Get() >= 0) {
    ::fsync(Dir.Get());
  }
  TParamFileResult Result;
  Result.Ok = true;
  return Result;
}

} // namespace zol
