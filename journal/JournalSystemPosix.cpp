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
  if (const char *home = std::getenv("HOME"); home && *home)
    return home;
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd *found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
      found->pw_dir)
    return found->pw_dir;
  return {};
}

} // namespace

std::string SystemJournalPath() {
  // XDG: a relative XDG_DATA_HOME is to be ignored.
  if (const char *data = std::getenv("XDG_DATA_HOME"); data && data[0] == '/')
    return std::string(data) + "/zolcfg/journal.sqlite";
  const std::string home = Home();
  if (home.empty())
    return {};
  return home + "/.local/share/zolcfg/journal.sqlite";
}

std::string MakeFoldersFor(const std::string &FilePath) {
  const std::size_t slash = FilePath.rfind('/');
  if (slash == std::string::npos || slash == 0)
    return {};
  const std::string folder = FilePath.substr(0, slash);
  // Each folder from the top: those made here are the owner's alone.
  for (std::size_t at = 1; at <= folder.size(); ++at) {
    if (at < folder.size() && folder[at] != '/')
      continue;
    const std::string part = folder.substr(0, at);
    if (::mkdir(part.c_str(), 0700) == 0 || errno == EEXIST) {
      struct stat info {};
      if (::stat(part.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return part + " is not a folder";
      continue;
    }
    return "cannot make the folder " + part + ": " + std::strerror(errno);
  }
  return {};
}

bool PathExists(const std::string &Path) {
  struct stat info {};
  return ::lstat(Path.c_str(), &info) == 0;
}

std::string SystemUserName() {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd *found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
      found->pw_name)
    return found->pw_name;
  if (const char *user = std::getenv("USER"))
    return user;
  return {};
}

std::string SystemHostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0)
    return {};
  return name;
}

} // namespace zol
