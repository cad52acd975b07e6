#include "windows/SingleInstance.h"

#include <QRegularExpression>
#include <QSysInfo>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zol {

namespace {

/// The file that carries the lock: per user, in the runtime folder when there is one. A '/' in
/// the name would reach another folder, so it is replaced.
std::string LockPath(const std::string &Name) {
  std::string File = Name;
  for (char &c : File)
    if (c == '/' || c == '\0')
      c = '_';
  const char *Runtime = std::getenv("XDG_RUNTIME_DIR");
  if (Runtime != nullptr && Runtime[0] == '/')
    return std::string(Runtime) + "/" + File + ".lock";
  // /tmp is shared by every user: the user id keeps each user's copy apart, as the session
  // keeps named mutexes apart on Windows.
  return "/tmp/" + File + "-" + std::to_string(::getuid()) + ".lock";
}

} // namespace

TSingleInstance::TSingleInstance(const std::string &Name) {
  // O_NOFOLLOW: a link planted in a shared folder must not make us create or lock another file.
  // O_CLOEXEC: a program we start must not inherit (and so keep) the lock.
  const std::string Path = LockPath(Name);
  int Fd = ::open(Path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (Fd < 0)
    return;
  struct stat Info {};
  if (::fstat(Fd, &Info) != 0 || !S_ISREG(Info.st_mode) || Info.st_uid != ::getuid()) {
    ::close(Fd);
    return;
  }
  int Result;
  do
    Result = ::flock(Fd, LOCK_EX | LOCK_NB);
  while (Result != 0 && errno == EINTR);
  if (Result != 0) {
    ::close(Fd);
    return;
  }
  FHandle = Fd;
  FHeld = true;
}

TSingleInstance::~TSingleInstance() { Release(); }

bool TSingleInstance::Acquired() const { return FHeld; }

void TSingleInstance::Release() {
  // The file stays: removing it would let a copy starting now lock a new file while another
  // still holds the old one.
  if (FHeld) {
    const int Fd = static_cast<int>(FHandle);
    ::flock(Fd, LOCK_UN);
    ::close(Fd);
    FHeld = false;
    FHandle = 0;
  }
}

TSystemVersion QuerySystemVersion() {
  TSystemVersion Version;
  Version.Name = QSysInfo::prettyProductName();
  if (Version.Name.isEmpty() || Version.Name == QLatin1String("unknown"))
    Version.Name = QSysInfo::kernelType();
  // "6.1.0-18-amd64": three numbers, then the rest of the text as the system tells it.
  static const QRegularExpression Release(
      QStringLiteral("^(\\d+)(?:\\.(\\d+))?(?:\\.(\\d+))?[-+._~ ]?(.*)$"));
  const QRegularExpressionMatch Match = Release.match(QSysInfo::kernelVersion());
  if (Match.hasMatch()) {
    Version.Major = Match.captured(1).toUInt();
    Version.Minor = Match.captured(2).toUInt();
    Version.Build = Match.captured(3).toUInt();
    Version.ServicePack = Match.captured(4);
  } else {
    Version.ServicePack = QSysInfo::kernelVersion();
  }
  return Version;
}

} // namespace zol
