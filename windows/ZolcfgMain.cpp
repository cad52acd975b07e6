// zolcfg: the configurator on the instruments plugged into this computer.
#include "link/SystemHidPlatform.h"
#include "windows/ZOLCFG.h"

int main(int argc, char **argv) {
  const auto Platform = zol::MakeSystemHidPlatform();
  return zol::RunZOLCFG(argc, argv, *Platform, "Rw8 ZOLCFG", QString());
}
