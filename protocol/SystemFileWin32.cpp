#include "protocol/SystemFile.h"

#include <windows.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <random>
#include <system_error>

namespace zol {

namespace {

/// The system's reason as the other systems name it where one matches, so that a message reads
/// the same everywhere; Other (with the system's own text) otherwise.
TSystemReason ReasonOf(DWORD Code) {
  switch (Code) {
  case ERROR_FILE_NOT_FOUND:
  case ERROR_PATH_NOT_FOUND:
  case ERROR_INVALID_DRIVE:
    return TSystemReason::NotFound;
  case ERROR_ACCESS_DENIED:
  case ERROR_SHARING_VIOLATION:
  case ERROR_LOCK_VIOLATION:
    return TSystemReason::PermissionDenied;
  case ERROR_DISK_FULL:
  case ERROR_HANDLE_DISK_FULL:
    return TSystemReason::NoSpace;
  case ERROR_WRITE_PROTECT:
    return TSystemReason::ReadOnlyFileSystem;
  case ERROR_FILENAME_EXCED_RANGE:
    return TSystemReason::NameTooLong;
  default:
    return TSystemReason::Other;
  }
}

TSystemFileResult Failure(TSystemReason Reason, unsigned Count = 0) {
  TSystemFileResult Result;
  Result.Error.Reason = Reason;
  Result.Error.Count = Count;
  Result.NotFound = Reason == TSystemReason::NotFound;
  return Result;
}

TSystemFileResult Failure(DWORD Code) {
  TSystemFileResult Result = Failure(ReasonOf(Code));
  Result.NotFound = Code == ERROR_FILE_NOT_FOUND || Code == ERROR_PATH_NOT_FOUND;
  if (Result.Error.Reason == TSystemReason::Other)
    Result.Error.Text = std::system_category().message(static_cast<int>(Code));
  return Result;
}

/// UTF-8 to UTF-16; false when Text is not valid UTF-8.
bool Widen(const std::string &Text, std::wstring &Wide) {
  Wide.clear();
  if (Text.empty())
    return true;
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, Text.data(),
                                    static_cast<int>(Text.size()), nullptr, 0);
  if (n <= 0)
    return false;
  Wide.resize(static_cast<std::size_t>(n));
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, Text.data(), static_cast<int>(Text.size()),
                      Wide.data(), n);
  return true;
}

/// A file name as the system's calls take it: UTF-16, and past MAX_PATH in the long form
/// ("\\?\C:\...", "\\?\UNC\server\..."), which the classic limit of 260 does not bind.
bool FileName(const std::string &Path, std::wstring &Name) {
  if (!Widen(Path, Name))
    return false;
  if (Name.size() < MAX_PATH - 16 || Name.rfind(L"\\\\?\\", 0) == 0)
    return true;
  const DWORD n = GetFullPathNameW(Name.c_str(), 0, nullptr, nullptr);
  if (n == 0)
    return true;
  std::wstring Full(n, L'\0');
  const DWORD m = GetFullPathNameW(Name.c_str(), n, Full.data(), nullptr);
  if (m == 0 || m >= n)
    return true;
  Full.resize(m);
  Name = Full.rfind(L"\\\\", 0) == 0 ? L"\\\\?\\UNC\\" + Full.substr(2) : L"\\\\?\\" + Full;
  return true;
}

class THandle {
public:
  explicit THandle(HANDLE Handle) : Handle(Handle) {}
  THandle(const THandle &) = delete;
  THandle &operator=(const THandle &) = delete;
  ~THandle() { Close(); }
  bool Valid() const { return Handle != INVALID_HANDLE_VALUE; }
  HANDLE Get() const { return Handle; }
  bool Close() {
    const HANDLE h = Handle;
    Handle = INVALID_HANDLE_VALUE;
    return h == INVALID_HANDLE_VALUE || CloseHandle(h) != 0;
  }

private:
  HANDLE Handle;
};

/// Opens a name for its attributes only, following links; a folder opens too.
HANDLE OpenForAttributes(const std::wstring &Path) {
  return CreateFileW(Path.c_str(), FILE_READ_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

/// Why an opened node is not a file whose content may be read or replaced; false when it is.
bool NotRegular(HANDLE Handle, const BY_HANDLE_FILE_INFORMATION &Info, TSystemReason &Why) {
  // Device names ("NUL", "CON", "COM1") open as character devices, pipes as pipes.
  const DWORD Type = GetFileType(Handle);
  if (Type == FILE_TYPE_CHAR)
    Why = TSystemReason::CharacterDevice;
  else if (Type == FILE_TYPE_PIPE)
    Why = TSystemReason::Fifo;
  else if (Type != FILE_TYPE_DISK)
    Why = TSystemReason::NotAFile;
  else if (Info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
    Why = TSystemReason::IsADirectory;
  else
    return false;
  return true;
}

std::wstring DirectoryOf(const std::wstring &Path) {
  const auto Slash = Path.find_last_of(L"\\/");
  if (Slash == std::wstring::npos)
    return L".";
  return Path.substr(0, Slash);
}

/// A short, hidden-style name beside the target, so that it fits wherever the target does.
std::wstring TemporaryName(const std::wstring &Directory) {
  static std::atomic<unsigned> Sequence{0};
  static thread_local std::mt19937_64 Random(
      std::random_device{}() ^
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
  wchar_t Name[64];
  std::swprintf(Name, 64, L"\\.zol-%lu-%u-%016llx.tmp", GetCurrentProcessId(),
                Sequence.fetch_add(1), static_cast<unsigned long long>(Random()));
  return Directory + Name;
}

/// The name a link finally leads to, when Handle was opened through one.
bool FinalName(HANDLE Handle, std::wstring &Path) {
  wchar_t Buffer[MAX_PATH * 4];
  const DWORD n = GetFinalPathNameByHandleW(Handle, Buffer, MAX_PATH * 4, FILE_NAME_NORMALIZED);
  if (n == 0 || n >= MAX_PATH * 4)
    return false;
  Path.assign(Buffer, n);
  return true;
}

} // namespace

TSystemFileResult ReadFileStart(const std::string &Path, std::uint8_t *Buffer, std::size_t Capacity,
                                std::size_t &Count) {
  Count = 0;
  std::wstring Wide;
  if (!FileName(Path, Wide))
    return Failure(ERROR_INVALID_NAME);
  THandle File(CreateFileW(Wide.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!File.Valid())
    return Failure(GetLastError());
  BY_HANDLE_FILE_INFORMATION Info{};
  if (!GetFileInformationByHandle(File.Get(), &Info) && GetFileType(File.Get()) == FILE_TYPE_DISK)
    return Failure(GetLastError());
  if (TSystemReason Why{}; NotRegular(File.Get(), Info, Why))
    return Failure(Why);
  while (Count < Capacity) {
    DWORD n = 0;
    const DWORD Ask = static_cast<DWORD>(Capacity - Count > 65536 ? 65536 : Capacity - Count);
    if (!ReadFile(File.Get(), Buffer + Count, Ask, &n, nullptr))
      return Failure(GetLastError());
    if (n == 0)
      break;
    Count += n;
  }
  TSystemFileResult Result;
  Result.Ok = true;
  return Result;
}

TSystemFileResult ReplaceFileContent(const std::string &Path, const std::uint8_t *Data,
                                     std::size_t Count) {
  std::wstring Target;
  if (!FileName(Path, Target))
    return Failure(ERROR_INVALID_NAME);
  {
    THandle Old(OpenForAttributes(Target));
    if (Old.Valid()) {
      BY_HANDLE_FILE_INFORMATION Info{};
      if (!GetFileInformationByHandle(Old.Get(), &Info) && GetFileType(Old.Get()) == FILE_TYPE_DISK)
        return Failure(GetLastError());
      if (TSystemReason Why{}; NotRegular(Old.Get(), Info, Why))
        return Failure(Why);
      if (Info.nNumberOfLinks > 1)
        return Failure(TSystemReason::HardLinks, static_cast<unsigned>(Info.nNumberOfLinks));
      // A file made read-only is not replaced, as copy refuses it.
      if (Info.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
        return Failure(TSystemReason::ReadOnlyFile);
      // Through a symbolic link, the file it leads to is the one replaced. The name the system
      // ends at is asked for every file: Wine shows a POSIX link as a plain file.
      const DWORD Attributes = GetFileAttributesW(Target.c_str());
      const bool Link =
          Attributes != INVALID_FILE_ATTRIBUTES && (Attributes & FILE_ATTRIBUTE_REPARSE_POINT);
      if (!FinalName(Old.Get(), Target) && Link)
        return Failure(GetLastError());
    } else if (const DWORD Code = GetLastError(); Code != ERROR_FILE_NOT_FOUND) {
      return Failure(Code);
    }
  }

  const std::wstring Directory = DirectoryOf(Target);
  std::wstring Temporary;
  HANDLE Created = INVALID_HANDLE_VALUE;
  for (int Attempt = 0; Created == INVALID_HANDLE_VALUE && Attempt < 100; ++Attempt) {
    Temporary = TemporaryName(Directory);
    Created = CreateFileW(Temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    if (Created == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS)
      return Failure(GetLastError());
  }
  if (Created == INVALID_HANDLE_VALUE)
    return Failure(ERROR_FILE_EXISTS);
  THandle File(Created);
  auto Abandon = [&](DWORD Code) {
    File.Close();
    DeleteFileW(Temporary.c_str());
    return Failure(Code);
  };
  std::size_t Done = 0;
  while (Done < Count) {
    DWORD n = 0;
    const DWORD Ask = static_cast<DWORD>(Count - Done > 65536 ? 65536 : Count - Done);
    if (!WriteFile(File.Get(), Data + Done, Ask, &n, nullptr) || n == 0)
      return Abandon(GetLastError());
    Done += n;
  }
  if (!FlushFileBuffers(File.Get()))
    return Abandon(GetLastError());
  if (!File.Close())
    return Abandon(GetLastError());
  if (!MoveFileExW(Temporary.c_str(), Target.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return Abandon(GetLastError());
  TSystemFileResult Result;
  Result.Ok = true;
  return Result;
}

} // namespace zol
