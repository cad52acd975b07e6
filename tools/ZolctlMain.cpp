#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "tools/Zolctl.h"

namespace {

extern "C" void OnInterrupt(int) { zol::ZolctlInterrupt(); }

} // namespace

int main(int argc, char **argv) {
  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);
#ifdef SIGPIPE
  std::signal(SIGPIPE, SIG_IGN);
#endif
  std::vector<std::string> args(argv + 1, argv + argc);
  return zol::ZolctlMain(args, std::cout, std::cerr);
}
