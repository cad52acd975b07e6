#include "windows/SingleInstance.h"

#include <windows.h>

#include <cstring>

namespace zol {

TSingleInstance::TSingleInstance(const std::string &Name) {
  // The mutex's name is of this session; named pipes are of the whole machine, so the socket's
  // name tells the session.
  DWORD Session = 0;
  if (!ProcessIdToSessionId(GetCurrentProcessId(), &Session))
    Session = 0;
  FServerName =
      QString::fromLocal8Bit(Name.c_str()) + QStringLiteral(" session ") + QString::number(Session);
  // Owned at once by the creating thread. The program goes on only when the mutex is new: when
  // another copy holds one of that name the system answers ERROR_ALREADY_EXISTS.
  SetLastError(0);
  HANDLE Handle = CreateMutexA(nullptr, TRUE, Name.c_str());
  const DWORD Error = GetLastError();
  if (Handle == nullptr)
    return;
  if (Error != 0) {
    CloseHandle(Handle);
    return;
  }
  FHandle = reinterpret_cast<std::intptr_t>(Handle);
  FHeld = true;
}

void TSingleInstance::Release() {
  if (FHeld) {
    CloseHandle(reinterpret_cast<HANDLE>(FHandle));
    FHeld = false;
    FHandle = 0;
  }
}

TSystemVersion QuerySystemVersion() {
  TSystemVersion Version;
  OSVERSIONINFOA Info;
  std::memset(&Info, 0, sizeof Info);
  Info.dwOSVersionInfoSize = sizeof Info; // 148: the basic version record
#if defined(_MSC_VER)
#pragma warning(suppress : 4996)
#endif
  if (!GetVersionExA(&Info))
    return Version;
  Version.PlatformId = static_cast<int>(Info.dwPlatformId);
  Version.Major = Info.dwMajorVersion;
  Version.Minor = Info.dwMinorVersion;
  Version.Build = Info.dwBuildNumber;
  // The service-pack text ends at its first NUL, or at the end of its 128 characters.
  Version.ServicePack = QString::fromLocal8Bit(
      Info.szCSDVersion,
      static_cast<qsizetype>(strnlen(Info.szCSDVersion, sizeof Info.szCSDVersion)));
  return Version;
}

} // namespace zol
