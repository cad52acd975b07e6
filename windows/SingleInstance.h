#pragma once

#include <QString>

#include <cstdint>
#include <string>

namespace zol {

/// What the windows layer asks of the operating system: the lock that lets one copy of the
/// program run at a time, and the system's version for the about box. One source file per
/// system implements it (SingleInstancePosix.cpp, SingleInstanceWin32.cpp).

/// A system-wide named lock held by one process at a time. The system releases it when the
/// process ends, however it ends, so a crashed copy never blocks the next start.
class TSingleInstance {
public:
  /// Tries to take the lock named Name at once (never waits).
  explicit TSingleInstance(const std::string &Name);
  /// Releases the lock if held.
  ~TSingleInstance();
  TSingleInstance(const TSingleInstance &) = delete;
  TSingleInstance &operator=(const TSingleInstance &) = delete;

  /// True when this object holds the lock: no other copy holds it.
  bool Acquired() const;
  /// Why the lock could not be taken although no other copy was seen holding it (the lock's
  /// folder is not safe, the system refused); empty when it was taken or another copy holds it.
  const std::string &Problem() const;
  /// Releases the lock (no effect when not held).
  void Release();

private:
  bool FHeld = false;
  std::string FProblem;
  // The system's token of the lock while FHeld: the named mutex's handle on Windows, the
  // locked file's descriptor elsewhere.
  std::intptr_t FHandle = 0;
};

/// The running system as the about box describes it.
struct TSystemVersion {
  /// Windows platform identifier (0 Win32s, 1 Windows 95/98/Me, 2 NT family); -1 elsewhere.
  int PlatformId = -1;
  /// The system's own name where it is not told by PlatformId ("Debian GNU/Linux 12"), else empty.
  QString Name;
  std::uint32_t Major = 0;
  std::uint32_t Minor = 0;
  std::uint32_t Build = 0;
  /// Service-pack text on Windows; the rest of the kernel's version text elsewhere; may be empty.
  QString ServicePack;
};

/// The version of the running system.
TSystemVersion QuerySystemVersion();

} // namespace zol
