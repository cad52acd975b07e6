#include "windows/SingleInstance.h"

#include <QRegularExpression>
#include <QSysInfo>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zol {

namespace {

/// The lock file's name: a '/' in the lock's name would reach another folder, so it is replaced.
std::string LockFileName(const std::string &Name) {
  std::string File = Name;
  for (char &c : File)
    if (c == '/' || c == '\0')
      c = '_';
  return File + ".lock";
}

/// The folder that holds this user's locks, opened: the runtime folder when the session has one;
/// else a folder of this user's own in the shared temporary folder, made private (0700) and
/// checked, so that nobody else can create it first, plant a link there or take the lock.
/// -1 with Problem set when that folder cannot be trusted or made.
int OpenLockFolder(std::string &Problem) {
  const char *Runtime = std::getenv("XDG_RUNTIME_DIR");
  if (Runtime != nullptr && Runtime[0] == '/') {
    const int Fd = ::open(Runtime, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (Fd < 0)
      Problem =
          std::string("Cannot open the runtime folder ") + Runtime + ": " + std::strerror(errno);
    return Fd;
  }
  const char *Temporary = std::getenv("TMPDIR");
  const std::string Base = Temporary != nullptr && Temporary[0] == '/' ? Temporary : "/tmp";
  const std::string Folder = Base + "/zolcfg-" + std::to_string(::getuid());
  if (::mkdir(Folder.c_str(), 0700) != 0 && errno != EEXIST) {
    Problem = "Cannot make the lock folder " + Folder + ": " + std::strerror(errno);
    return -1;
  }
  // O_NOFOLLOW: a link put there by someone else is refused, not followed.
  const int Fd = ::open(Folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (Fd < 0) {
    Problem = "The lock folder " + Folder +
              " is not a folder of this user's own: " + std::strerror(errno);
    return -1;
  }
  struct stat Info {};
  if (::fstat(Fd, &Info) != 0 || Info.st_uid != ::getuid() || (Info.st_mode & 077) != 0) {
    ::close(Fd);
    Problem = "The lock folder " + Folder +
              " belongs to another user or others may write to it; remove it and start again";
    return -1;
  }
  return Fd;
}

} // namespace

TSingleInstance::TSingleInstance(const std::string &Name) {
  const int Folder = OpenLockFolder(FProblem);
  if (Folder < 0)
    return;
  // O_NOFOLLOW: a link in the folder must not make us create or lock another file.
  // O_CLOEXEC: a program we start must not inherit (and so keep) the lock.
  const int Fd =
      ::openat(Folder, LockFileName(Name).c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  const int OpenError = errno;
  ::close(Folder);
  if (Fd < 0) {
    FProblem = std::string("Cannot open the single-instance lock: ") + std::strerror(OpenError);
    return;
  }
  struct stat Info {};
  if (::fstat(Fd, &Info) != 0 || !S_ISREG(Info.st_mode) || Info.st_uid != ::getuid()) {
    ::close(Fd);
    FProblem = "The single-instance lock file is not this user's own file";
    return;
  }
  int Result;
  do
    Result = ::flock(Fd, LOCK_EX | LOCK_NB);
  while (Result != 0 && errno == EINTR);
  if (Result != 0) {
    // Another copy of this user holds it: that copy goes on, this one leaves silently.
    ::close(Fd);
    return;
  }
  FHandle = Fd;
  FHeld = true;
}

TSingleInstance::~TSingleInstance() {
  Release();
}

bool TSingleInstance::Acquired() const {
  return FHeld;
}

const std::string &TSingleInstance::Problem() const {
  return FProblem;
}

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
