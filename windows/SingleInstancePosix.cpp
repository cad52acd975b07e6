#include "windows/SingleInstance.h"

#include <QFile>
#include <QRegularExpression>
#include <QSysInfo>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
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

/// The name of the socket beside the lock file.
std::string SocketFileName(const std::string &Name) {
  std::string File = LockFileName(Name);
  return File.replace(File.size() - 5, 5, ".sock");
}

/// Opens Folder when it is a real folder (not a link to one) of this user's own that nobody else
/// may enter, after making it (0700) when Make is set; else -1 with Why set. The descriptor is
/// checked, not the name, so that the folder cannot be swapped between the check and its use.
int OpenPrivateFolder(const std::string &Folder, bool Make, std::string &Why) {
  if (Make && ::mkdir(Folder.c_str(), 0700) != 0 && errno != EEXIST) {
    Why = Folder + " cannot be made: " + std::strerror(errno);
    return -1;
  }
  // O_NOFOLLOW: a link put there by someone else is refused, not followed.
  const int Fd = ::open(Folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (Fd < 0) {
    const int Error = errno;
    Why = Folder + (Error == ELOOP || Error == ENOTDIR ? " is not a folder but a link or a file"
                                                       : std::string(": ") + std::strerror(Error));
    return -1;
  }
  struct stat Info {};
  if (::fstat(Fd, &Info) != 0 || !S_ISDIR(Info.st_mode) || Info.st_uid != ::getuid()) {
    ::close(Fd);
    Why = Folder + " belongs to another user";
    return -1;
  }
  if ((Info.st_mode & 077) != 0) {
    ::close(Fd);
    Why = Folder + " may be entered by other users";
    return -1;
  }
  return Fd;
}

/// This user's cache folder: $XDG_CACHE_HOME, else .cache in the home folder; empty when there
/// is no home folder.
std::string CacheFolder() {
  std::string Folder;
  const char *Cache = std::getenv("XDG_CACHE_HOME");
  if (Cache != nullptr && Cache[0] == '/') {
    Folder = Cache;
  } else {
    const char *Home = std::getenv("HOME");
    if (Home == nullptr || Home[0] != '/') {
      const passwd *User = ::getpwuid(::getuid());
      Home = User != nullptr ? User->pw_dir : nullptr;
    }
    if (Home == nullptr || Home[0] != '/')
      return std::string();
    Folder = std::string(Home) + "/.cache";
  }
  ::mkdir(Folder.c_str(), 0700); // when it is not there yet; the lock's own folder is checked
  return Folder;
}

/// The folder that holds this user's locks, opened, and its name in Path: the first that is
/// private to this user of the session's runtime folder, a folder of this user's own in the
/// shared temporary folder (made 0700) and one in this user's cache folder (made 0700). Nobody
/// else can make the shared one first, plant a link there or take the lock: a folder someone
/// else made is passed over, and Notice says so. -1 with Problem set when none can be trusted.
int OpenLockFolder(std::string &Path, std::string &Notice, std::string &Problem) {
  std::string Refused;
  const auto Try = [&](const std::string &Folder, bool Make) {
    std::string Why;
    const int Fd = OpenPrivateFolder(Folder, Make, Why);
    if (Fd >= 0) {
      Path = Folder;
      if (!Refused.empty())
        Notice = "The lock folder " + Refused + "; using " + Folder + " instead";
      return Fd;
    }
    Refused += (Refused.empty() ? "" : "; ") + Why;
    return -1;
  };
  const char *Runtime = std::getenv("XDG_RUNTIME_DIR");
  if (Runtime != nullptr && Runtime[0] == '/') {
    const int Fd = Try(Runtime, false);
    if (Fd >= 0)
      return Fd;
  }
  const char *Temporary = std::getenv("TMPDIR");
  const std::string Base = Temporary != nullptr && Temporary[0] == '/' ? Temporary : "/tmp";
  int Fd = Try(Base + "/zolcfg-" + std::to_string(::getuid()), true);
  if (Fd >= 0)
    return Fd;
  const std::string Cache = CacheFolder();
  if (!Cache.empty()) {
    Fd = Try(Cache + "/zolcfg", true);
    if (Fd >= 0)
      return Fd;
  }
  Problem = "No private folder for the single-instance lock: " + Refused;
  return -1;
}

} // namespace

TSingleInstance::TSingleInstance(const std::string &Name) {
  std::string Path;
  const int Folder = OpenLockFolder(Path, FNotice, FProblem);
  if (Folder < 0)
    return;
  // The socket beside the lock, in the same private folder.
  FServerName = QFile::decodeName((Path + "/" + SocketFileName(Name)).c_str());
  // O_NOFOLLOW: a link in the folder must not make us create or lock another file.
  // O_CLOEXEC: a program we start must not inherit (and so keep) the lock.
  const int Fd =
      ::openat(Folder, LockFileName(Name).c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  const int OpenError = errno;
  ::close(Folder);
  if (Fd < 0) {
    FProblem = std::string("Cannot open the single-instance lock: ") + std::strerror(OpenError);
    FServerName.clear();
    return;
  }
  struct stat Info {};
  if (::fstat(Fd, &Info) != 0 || !S_ISREG(Info.st_mode) || Info.st_uid != ::getuid()) {
    ::close(Fd);
    FProblem = "The single-instance lock file is not this user's own file";
    FServerName.clear();
    return;
  }
  int Result;
  do
    Result = ::flock(Fd, LOCK_EX | LOCK_NB);
  while (Result != 0 && errno == EINTR);
  if (Result != 0) {
    // Another copy of this user holds it: that copy goes on, this one asks it to come forward.
    ::close(Fd);
    return;
  }
  FHandle = Fd;
  FHeld = true;
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
