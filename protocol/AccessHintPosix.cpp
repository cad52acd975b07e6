#include "protocol/AccessHint.h"

#include <cstdlib>
#include <vector>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zol {

namespace {

/// The first of the rule's places that holds it, empty when none does. /etc's copy overrides
/// the package's.
std::string Installed(const std::string &Root, const char *Rule) {
  for (const char *Folder :
       {"/etc/udev/rules.d/", "/usr/lib/udev/rules.d/", "/lib/udev/rules.d/"}) {
    const std::string Path = Root + Folder + Rule;
    struct stat Info {};
    if (::stat(Path.c_str(), &Info) == 0 && S_ISREG(Info.st_mode))
      return std::string(Folder) + Rule;
  }
  return {};
}

/// True when this process has the group plugdev; false when it has not or there is none.
bool InPlugdev() {
  std::vector<char> Buffer(16384);
  struct group Group {};
  struct group *Found = nullptr;
  if (::getgrnam_r("plugdev", &Group, Buffer.data(), Buffer.size(), &Found) != 0 || !Found)
    return false;
  if (::getegid() == Found->gr_gid)
    return true;
  const int n = ::getgroups(0, nullptr);
  std::vector<gid_t> Groups(static_cast<std::size_t>(n > 0 ? n : 0));
  if (n > 0 && ::getgroups(n, Groups.data()) == n)
    for (gid_t g : Groups)
      if (g == Found->gr_gid)
        return true;
  return false;
}

std::string UserName() {
  std::vector<char> Buffer(16384);
  struct passwd Entry {};
  struct passwd *Found = nullptr;
  if (::getpwuid_r(::geteuid(), &Entry, Buffer.data(), Buffer.size(), &Found) == 0 && Found)
    return Found->pw_name;
  return "$USER";
}

const char kReload[] = "sudo udevadm control --reload && sudo udevadm trigger";

} // namespace

TAccessHint AccessHint(const std::string &Root) {
  const std::string Seat = Installed(Root, "70-rw8.rules");
  const std::string Group = Installed(Root, "70-rw8-plugdev.rules");
  const std::string User = UserName();
  const std::string Join = "sudo usermod -aG plugdev " + User;
  const std::string CopyGroup = "sudo cp resources/70-rw8-plugdev.rules /etc/udev/rules.d/ && " +
                                std::string(kReload) + " && " + Join;
  TAccessHint Hint;
  if (!Group.empty() && !InPlugdev()) {
    Hint.English = "the udev rule " + Group + " gives the instrument to the group plugdev, and " +
                   User + " is not in it: " + Join + ", then log in again";
    Hint.French = "la règle udev " + Group + " donne l'instrument au groupe plugdev, dont " + User +
                  " n'est pas membre : " + Join + ", puis reconnectez-vous";
  } else if (!Group.empty()) {
    Hint.English = "the udev rule " + Group + " gives the instrument to the group plugdev, " +
                   User + " is in it: udev has not applied it to this instrument yet: " + kReload +
                   ", then unplug the instrument and plug it in again";
    Hint.French = "la règle udev " + Group + " donne l'instrument au groupe plugdev, dont " + User +
                  " est membre : udev ne l'a pas encore appliquée à cet instrument : " + kReload +
                  ", puis débranchez et rebranchez l'instrument";
  } else if (!Seat.empty()) {
    Hint.English =
        "the udev rule " + Seat +
        " is installed; it gives the instrument only to the user at the computer's seat (the "
        "local session in front of the screen). Installed since the instrument was plugged in: "
        "unplug it and plug it in again. Run remotely (ssh), by a service or by another user: "
        "install the plugdev rule shipped with the sources (README.md): " +
        CopyGroup + ", then log in again and plug the instrument in again";
    Hint.French =
        "la règle udev " + Seat +
        " est installée ; elle ne donne l'instrument qu'à l'utilisateur assis devant l'ordinateur "
        "(la session locale). Installée depuis le branchement : débranchez et rebranchez "
        "l'instrument. Pour un accès à distance (ssh), un service ou un autre utilisateur, "
        "installez la règle plugdev livrée avec les sources (README.md) : " +
        CopyGroup + ", puis reconnectez-vous et rebranchez l'instrument";
  } else {
    Hint.English = "the udev rule 70-rw8.rules, which gives the instrument to the user at the "
                   "seat, is not installed: install the zolcfg package, or from the sources: sudo "
                   "cp resources/70-rw8.rules /etc/udev/rules.d/ && " +
                   std::string(kReload) + ", then unplug the instrument and plug it in again";
    Hint.French = "la règle udev 70-rw8.rules, qui donne l'instrument à l'utilisateur connecté, "
                  "n'est pas installée : installez le paquet zolcfg, ou depuis les sources : sudo "
                  "cp resources/70-rw8.rules /etc/udev/rules.d/ && " +
                  std::string(kReload) + ", puis débranchez et rebranchez l'instrument";
  }
  return Hint;
}

} // namespace zol
