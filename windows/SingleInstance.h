#pragma once

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class QLocalServer;

namespace zol {

/// What the windows layer asks of the operating system: the lock that lets one copy of the
/// program run at a time, with the local socket beside it through which a later copy asks the
/// running one to come to the front, and the system's version for the about box. One source
/// file per system finds the lock (SingleInstancePosix.cpp, SingleInstanceWin32.cpp); what does
/// not depend on the system is in SingleInstance.cpp.

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
  /// Why the lock could not be taken although no other copy was seen holding it (no private
  /// folder could be found for it, the system refused); empty when it was taken or another copy
  /// holds it.
  const std::string &Problem() const;
  /// What the user should know although the lock works: the usual folder of the lock could not
  /// be trusted and another one is used. Empty when there is nothing to say.
  const std::string &Notice() const;
  /// The name of the local socket the holder of the lock listens on (in the lock's own private
  /// folder, or of this session); known whether or not this object holds the lock, empty when
  /// the lock has a problem.
  const QString &ServerName() const;
  /// Releases the lock (no effect when not held).
  void Release();

private:
  bool FHeld = false;
  std::string FProblem;
  std::string FNotice;
  QString FServerName;
  // The system's token of the lock while FHeld: the named mutex's handle on Windows, the
  // locked file's descriptor elsewhere.
  std::intptr_t FHandle = 0;
};

/// The holder's side of the socket beside the lock: calls OnShow, on the thread that made it,
/// each time another copy asks for the running one to be shown. Needs the application object.
class TInstanceServer {
public:
  /// Listens on Lock's socket; Lock must be held.
  TInstanceServer(const TSingleInstance &Lock, std::function<void()> OnShow);
  ~TInstanceServer();
  TInstanceServer(const TInstanceServer &) = delete;
  TInstanceServer &operator=(const TInstanceServer &) = delete;

  /// True when other copies can reach this one.
  bool Listening() const;
  /// Why the socket could not be opened; empty when listening.
  const QString &Problem() const;

private:
  std::unique_ptr<QLocalServer> FServer;
  std::function<void()> FOnShow;
  QString FProblem;
};

/// The longest a later copy waits for the running one to answer, in milliseconds: enough for a
/// copy that has just taken the lock to open its windows.
constexpr int ShowAnswerTimeoutMs = 3000;

/// Asks the copy that holds Lock to show itself; true when it answered that it did within
/// TimeoutMs. While the socket is not there yet (that copy is still starting) it tries again.
/// Needs the application object.
bool AskRunningCopyToShow(const TSingleInstance &Lock, int TimeoutMs = ShowAnswerTimeoutMs);

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
