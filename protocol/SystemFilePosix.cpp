#include "protocol/SystemFile.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <random>
#include <system_error>

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zol {

namespace {

TSystemReason ReasonOf(int Error) {
  switch (Error) {
  case ENOENT:
    return TSystemReason::NotFound;
  case EACCES:
  case EPERM:
    return TSystemReason::PermissionDenied;
  case EISDIR:
    return TSystemReason::IsADirectory;
  case ENOTDIR:
    return TSystemReason::NotADirectory;
  case ENOSPC:
    return TSystemReason::NoSpace;
  case EDQUOT:
    return TSystemReason::QuotaExceeded;
  case EROFS:
    return TSystemReason::ReadOnlyFileSystem;
  case EIO:
    return TSystemReason::InputOutput;
  case ENAMETOOLONG:
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

TSystemFileResult Failure(int Error) {
  TSystemFileResult Result = Failure(ReasonOf(Error));
  if (Result.Error.Reason == TSystemReason::Other)
    Result.Error.Text = std::generic_category().message(Error);
  return Result;
}

/// Why a node that is not a regular file is refused, naming its kind.
TSystemReason NotRegular(mode_t Mode) {
  return S_ISDIR(Mode)    ? TSystemReason::IsADirectory
         : S_ISCHR(Mode)  ? TSystemReason::CharacterDevice
         : S_ISBLK(Mode)  ? TSystemReason::BlockDevice
         : S_ISFIFO(Mode) ? TSystemReason::Fifo
         : S_ISSOCK(Mode) ? TSystemReason::Socket
                          : TSystemReason::NotAFile;
}

class TDescriptor {
public:
  explicit TDescriptor(int Fd) : Fd(Fd) {}
  TDescriptor(const TDescriptor &) = delete;
  TDescriptor &operator=(const TDescriptor &) = delete;
  ~TDescriptor() {
    if (Fd >= 0)
      ::close(Fd);
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

bool WriteAll(int Fd, const std::uint8_t *Data, std::size_t Count) {
  std::size_t Done = 0;
  while (Done < Count) {
    const ssize_t n = ::write(Fd, Data + Done, Count - Done);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return false;
    }
    Done += static_cast<std::size_t>(n);
  }
  return true;
}

std::string DirectoryOf(const std::string &Path) {
  const auto Slash = Path.rfind('/');
  if (Slash == std::string::npos)
    return ".";
  return Slash == 0 ? "/" : Path.substr(0, Slash);
}

/// A link the system itself would not follow: in a folder anyone may write to and only owners
/// may delete from (/tmp), a link followed only by its owner or the folder's, so that another
/// user's link cannot lead the program onto a file of its choice.
bool ProtectedLink(const std::string &Path, const struct stat &Link) {
  struct stat Folder {};
  if (::stat(DirectoryOf(Path).c_str(), &Folder) != 0)
    return false;
  const bool Shared = (Folder.st_mode & S_ISVTX) && (Folder.st_mode & S_IWOTH);
  return Shared && Link.st_uid != ::geteuid() && Link.st_uid != Folder.st_uid;
}

/// Path with its symbolic links followed to the node they finally name (which may not exist).
/// Foreign is set when a link was not followed because the system would not follow it either.
bool FollowLinks(std::string &Path, int &Error, bool &Foreign) {
  for (int Hop = 0; Hop < 40; ++Hop) {
    struct stat Info {};
    if (::lstat(Path.c_str(), &Info) != 0) {
      Error = errno;
      return Error == ENOENT;
    }
    if (!S_ISLNK(Info.st_mode))
      return true;
    if (ProtectedLink(Path, Info)) {
      Foreign = true;
      return false;
    }
    char Target[PATH_MAX];
    const ssize_t n = ::readlink(Path.c_str(), Target, sizeof Target - 1);
    if (n < 0) {
      Error = errno;
      return false;
    }
    const std::string Next(Target, static_cast<std::size_t>(n));
    Path = Next.front() == '/' ? Next : DirectoryOf(Path) + "/" + Next;
  }
  Error = ELOOP;
  return false;
}

/// A name for the new file beside the target: short whatever the target's name, so that it fits
/// wherever the target does; hidden, so that a listing does not show it while it lives.
std::string TemporaryName(const std::string &Directory) {
  static std::atomic<unsigned> Sequence{0};
  static thread_local std::mt19937_64 Random(
      std::random_device{}() ^
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
  char Name[64];
  std::snprintf(Name, sizeof Name, "/.zol-%d-%u-%016llx.tmp", static_cast<int>(::getpid()),
                Sequence.fetch_add(1), static_cast<unsigned long long>(Random()));
  return Directory + Name;
}

} // namespace

TSystemFileResult ReadFileStart(const std::string &Path, std::uint8_t *Buffer, std::size_t Capacity,
                                std::size_t &Count) {
  Count = 0;
  // Judge the node before opening it: opening a FIFO waits for a writer, opening some devices
  // acts on them.
  struct stat Before {};
  if (::stat(Path.c_str(), &Before) != 0)
    return Failure(errno);
  if (!S_ISREG(Before.st_mode))
    return Failure(NotRegular(Before.st_mode));
  TDescriptor File(::open(Path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (File.Get() < 0)
    return Failure(errno);
  // The name may have been given to another node since.
  struct stat Opened {};
  if (::fstat(File.Get(), &Opened) != 0)
    return Failure(errno);
  if (!S_ISREG(Opened.st_mode))
    return Failure(NotRegular(Opened.st_mode));
  while (Count < Capacity) {
    const ssize_t n = ::read(File.Get(), Buffer + Count, Capacity - Count);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return Failure(errno);
    }
    if (n == 0)
      break;
    Count += static_cast<std::size_t>(n);
  }
  TSystemFileResult Result;
  Result.Ok = true;
  return Result;
}

TSystemFileResult ReplaceFileContent(const std::string &Path, const std::uint8_t *Data,
                                     std::size_t Count) {
  std::string Target = Path;
  int Error = 0;
  bool Foreign = false;
  if (!FollowLinks(Target, Error, Foreign))
    return Foreign ? Failure(TSystemReason::ForeignLink) : Failure(Error);
  struct stat Existing {};
  const bool Exists = ::lstat(Target.c_str(), &Existing) == 0;
  if (!Exists && errno != ENOENT)
    return Failure(errno);
  if (Exists && !S_ISREG(Existing.st_mode))
    return Failure(NotRegular(Existing.st_mode));
  if (Exists && Existing.st_nlink > 1)
    return Failure(TSystemReason::HardLinks, static_cast<unsigned>(Existing.st_nlink));
  // A file its owner made read-only is not replaced, even by someone the system would let write
  // it (root), as cp refuses it.
  if (Exists &&
      ((Existing.st_mode & 0222) == 0 ||
       (::faccessat(AT_FDCWD, Target.c_str(), W_OK, AT_EACCESS) != 0 && errno == EACCES))) {
    return Failure(TSystemReason::ReadOnlyFile, static_cast<unsigned>(Existing.st_mode & 07777));
  }

  const std::string Directory = DirectoryOf(Target);
  std::string Temporary;
  int Fd = -1;
  // A new file takes the user's default permissions; a replaced one keeps its own (below).
  for (int Attempt = 0; Fd < 0 && Attempt < 100; ++Attempt) {
    Temporary = TemporaryName(Directory);
    Fd = ::open(Temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                Exists ? 0600 : 0666);
    if (Fd < 0 && errno != EEXIST)
      return Failure(errno);
  }
  if (Fd < 0)
    return Failure(EEXIST);
  TDescriptor File(Fd);
  auto Abandon = [&](int Why) {
    ::unlink(Temporary.c_str());
    return Failure(Why);
  };
  if (Exists) {
    // The replaced file keeps its owner where the system lets us (root saving a user's file),
    // then its permissions (after the owner: a change of owner may clear set-id bits).
    if ((Existing.st_uid != ::geteuid() || Existing.st_gid != ::getegid()) &&
        ::fchown(File.Get(), Existing.st_uid, Existing.st_gid) != 0) {
      // Not allowed: the new content is owned by whoever saves it, as with any new file.
    }
    if (::fchmod(File.Get(), Existing.st_mode & 07777) != 0)
      return Abandon(errno);
  }
  if (!WriteAll(File.Get(), Data, Count) || ::fsync(File.Get()) != 0)
    return Abandon(errno);
  if (!File.Close())
    return Abandon(errno);
  if (::rename(Temporary.c_str(), Target.c_str()) != 0)
    return Abandon(errno);
  // Make the rename itself durable; a failure here no longer risks the file's content.
  TDescriptor Dir(::open(Directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (Dir.Get() >= 0)
    ::fsync(Dir.Get());
  TSystemFileResult Result;
  Result.Ok = true;
  return Result;
}

} // namespace zol
