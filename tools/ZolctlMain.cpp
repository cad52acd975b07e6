#include <chrono>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include "tools/Zolctl.h"
#include "tools/ZolctlSystem.h"

namespace {

std::mutex FinishedMutex; //!< Protects Finished.
std::condition_variable FinishedChanged;
bool Finished = false;

} // namespace

int main(int argc, char **argv) {
  // Before anything opens a descriptor: the signal pipe must not become standard input.
  zol::ReserveStandardDescriptors();
  std::vector<std::string> Args(argv + 1, argv + argc);
  int Status = 0;
  {
    zol::TSignalWatch Signals([](int Code) {
      zol::ZolctlInterrupt(Code);
      // Every wait ends at once; should the program still be in a call that does not, it ends
      // here all the same.
      std::unique_lock Lock(FinishedMutex);
      if (!FinishedChanged.wait_for(Lock, std::chrono::seconds(2), [] { return Finished; })) {
        std::cerr << "zolctl: interrupted\n" << std::flush;
        zol::HardExit(Code);
      }
    });
    Status = zol::ZolctlMain(Args, std::cout, std::cerr);
    std::lock_guard Lock(FinishedMutex);
    Finished = true;
    FinishedChanged.notify_all();
  }
  return Status;
}
