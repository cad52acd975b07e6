// zolcfg-demo: the configurator's windows on one simulated instrument, for trying the program
// without hardware. It runs beside a real configurator: its lock has its own name.
#include "sim/SimPlatform.h"
#include "windows/ZOLCFG.h"

int main(int argc, char **argv) {
  zol::SimPlatform Platform(1);
  return zol::RunZOLCFG(argc, argv, Platform, "Rw8 ZOLCFG demo", QStringLiteral(" (simulation)"));
}
