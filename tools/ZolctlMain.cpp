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
  std::vector<std::string> args(argv + 1, argv + argc);
  int status = 0;
  {
    zol::TSignalWatch signals([](int Status) {
      zol::ZolctlInterrupt(Status);
      // Every wait ends at once; should the program still be in a call that does not, it ends
      // here all the same.
      std::unique_lock lock(FinishedMutex);
      if (!FinishedChanged.wait_for(lock, std::chrono::seconds(2), [] { return Finished; })) {
        std::cerr << "zolctl: interrupted\n" << std::flush;
        zol::HardExit(Status);
      }
    });
    status = zol::ZolctlMain(args, std::cout, std::cerr);
    std::lock_guard lock(FinishedMutex);
    Finished = true;
    FinishedChanged.notify_all();
  }
  return status;
}
