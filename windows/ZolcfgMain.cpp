// zolcfg: the configurator on the instruments plugged into this computer.
#include "link/HidapiPlatform.h"
#include "windows/ZOLCFG.h"

int main(int argc, char **argv) {
  zol::HidapiPlatform Platform;
  return zol::RunZOLCFG(argc, argv, Platform, "Rw8 ZOLCFG", QString());
}
