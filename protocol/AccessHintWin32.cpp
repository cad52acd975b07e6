#include "protocol/AccessHint.h"

namespace zol {

// Windows gives a HID instrument to every user; refused, another program holds it open, or the
// system's driver for it is not working.
TAccessHint AccessHint(const std::string &) {
  TAccessHint Hint;
  Hint.English = "Windows refused to open it: close any other program that uses the instrument "
                 "(another configurator, a zolctl run), then unplug it and plug it in again; if "
                 "it stays refused, Device Manager shows it under Human Interface Devices, with "
                 "the reason when its driver is not working";
  Hint.French = "Windows refuse de l'ouvrir : fermez tout autre programme qui utilise "
                "l'instrument (un autre configurateur, zolctl), puis débranchez et rebranchez-le ; "
                "s'il reste refusé, le Gestionnaire de périphériques le montre sous Périphériques "
                "d'interface utilisateur, avec la raison quand son pilote ne fonctionne pas";
  return Hint;
}

} // namespace zol
