// zolcfg-demo: the configurator's windows on a simulated instrument, for trying the program
// without hardware, with the window "Instrument simulé" beside it that drives the simulated
// instruments (plug, second instrument, temperature, faults, password). It runs beside a real
// configurator: its lock has its own name.
#include <QGuiApplication>
#include <QScreen>

#include "sim/SimPlatform.h"
#include "windows/SimControl.h"
#include "windows/ZOLCFG.h"

int main(int argc, char **argv) {
  zol::SimPlatform Platform(1);
  return zol::RunZOLCFG(argc, argv, Platform, "Rw8 ZOLCFG demo", QStringLiteral(" (simulation)"),
                        [&Platform](QWidget &Main) -> std::unique_ptr<QWidget> {
                          auto Control = std::make_unique<zol::TSimControlForm>(Platform);
                          Control->move(Main.frameGeometry().topRight() + QPoint(8, 0));
                          return Control;
                        });
}
