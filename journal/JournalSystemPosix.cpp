#include "journal/JournalSystem.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace zol {

namespace {

/// The user's home: HOME, else the password database's.
std::string Home() {
  if (const char *Home = std::getenv("HOME"); Home && *Home)
    return Home;
  std::vector<char> Buffer(16384);
  passwd Entry{};
  passwd *Found = nullptr;
  if (::getpwuid_r(::getuid(), &Entry, Buffer.data(), Buffer.size(), &Found) == 0 && Found &&
      Found->pw_dir)
    return Found->pw_dir;
  return {};
}

} // namespace

std::string SystemJournalPath() {
  // XDG: a relative XDG_DATA_HOME is to be ignored.
  if (const char *Data = std::getenv("XDG_DATA_HOME"); Data && Data[0] == '/')
    return std::string(Data) + "/zolcfg/journal.sqlite";
  const std::string Folder = Home();
  if (Folder.empty())
    return {};
  return Folder + "/.local/share/zolcfg/journal.sqlite";
}

std::string MakeFoldersFor(const std::string &FilePath) {
  const std::size_t Slash = FilePath.rfind('/');
  if (Slash == std::string::npos || Slash == 0)
    return {};
  const std::string Folder = FilePath.substr(0, Slash);
  // Each folder from the top: those made here are the owner's alone.
  for (std::size_t At = 1; At <= Folder.size(); ++At) {
    if (At < Folder.size() && Folder[At] != '/')
      continue;
    const std::string Part = Folder.substr(0, At);
    if (::mkdir(Part.c_str(), 0700) == 0 || errno == EEXIST) {
      struct stat Info {};
      if (::stat(Part.c_str(), &Info) != 0 || !S_ISDIR(Info.st_mode))
        return Part + " is not a folder";
      continue;
    }
    return "cannot make the folder " + Part + ": " + std::strerror(errno);
  }
  return {};
}

bool PathExists(const std::string &Path) {
  struct stat Info {};
  return ::lstat(Path.c_str(), &Info) == 0;
}

std::string SystemUserName() {
  std::vector<char> Buffer(16384);
  passwd Entry{};
  passwd *Found = nullptr;
  if (::getpwuid_r(::getuid(), &Entry, Buffer.data(), Buffer.size(), &Found) == 0 && Found &&
      Found->pw_name)
    return Found->pw_name;
  if (const char *User = std::getenv("USER"))
    return User;
  return {};
}

std::string SystemHostName() {
  char Name[256] = {};
  if (::gethostname(Name, sizeof Name - 1) != 0)
    return {};
  return Name;
}

} // namespace zol
