// Soak and churn on the simulated instrument.
//
//   build/bench/soak_bench churn [CYCLES]      unplug/replug at a 1 ms report period (default 1000)
//   build/bench/soak_bench stream [SECONDS]    1 kHz for SECONDS (default 600), a filter write
//                                              every second; resident memory, open files and
//                                              threads sampled every 10 s
//
// Churn passes with exactly one OnDisconnect and one OnConnect per cycle; stream passes with
// every write acknowledged and memory, files and threads flat.

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "bench/BenchHarness.h"

using namespace zol;
using namespace zol::bench;

namespace {

long ResidentKiB() {
  std::ifstream Statm("/proc/self/statm");
  long Pages = 0, Resident = 0;
  Statm >> Pages >> Resident;
  return Resident * (sysconf(_SC_PAGESIZE) / 1024);
}

int OpenFiles() {
  int Count = 0;
  if (DIR *Dir = opendir("/proc/self/fd")) {
    while (dirent *e = readdir(Dir))
      if (e->d_name[0] != '.')
        ++Count;
    closedir(Dir);
  }
  return Count - 1; // the directory itself
}

int Threads() {
  std::ifstream Status("/proc/self/status");
  std::string Line;
  while (std::getline(Status, Line))
    if (Line.rfind("Threads:", 0) == 0)
      return std::atoi(Line.c_str() + 8);
  return -1;
}

int Churn(int Cycles) {
  Harness h(1);
  if (h.ZOL.Scan() != 1 || !h.ZOL.Open(0))
    return 1;
  h.Await("connect", 0);
  auto &Instrument = *h.Platform.Instrument(0);
  const auto T0 = Clock::now();
  for (int i = 1; i <= Cycles; ++i) {
    Instrument.SetPresent(false);
    h.Await("disconnect", i - 1);
    Instrument.SetPresent(true);
    h.Await("connect", i);
    if (h.Count("disconnect") != i || h.Count("connect") != i + 1) {
      std::printf("cycle %d: %d disconnects, %d connects\n", i, h.Count("disconnect"),
                  h.Count("connect"));
      return 1;
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const bool Ok = h.Count("disconnect") == Cycles && h.Count("connect") == Cycles + 1;
  std::printf("churn: %d unplug/replug cycles at 1 ms in %.1f s: %d OnDisconnect, %d OnConnect "
              "(expected %d and %d) %s\n",
              Cycles, std::chrono::duration<double>(Clock::now() - T0).count(),
              h.Count("disconnect"), h.Count("connect"), Cycles, Cycles + 1, Ok ? "ok" : "FAILED");
  return Ok ? 0 : 1;
}

int Stream(int Seconds) {
  Harness h(1);
  std::atomic<float> LastFilter{-1};
  auto CountFilter = h.ZOL.OnUpdateFilter;
  h.ZOL.OnUpdateFilter = [&](TObject *Sender) {
    LastFilter = h.ZOL.Snapshot().Settings.Filter;
    CountFilter(Sender);
  };
  if (h.ZOL.Scan() != 1 || !h.ZOL.Open(0))
    return 1;
  h.Await("state", 0);
  long Rss0 = ResidentKiB(), RssMax = Rss0, RssLast = Rss0;
  int Fd0 = OpenFiles(), FdMax = Fd0, FdLast = Fd0;
  int Th0 = Threads(), ThMax = Th0, ThLast = Th0;
  int Writes = 0, Acknowledged = 0;
  const auto T0 = Clock::now();
  for (int s = 1; s <= Seconds; ++s) {
    const float Value = static_cast<float>(s % 100) / 4.0f;
    ++Writes;
    h.ZOL.WriteFilter(Value);
    const auto Deadline = Clock::now() + std::chrono::milliseconds(900);
    while (LastFilter.load() != Value && Clock::now() < Deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (LastFilter.load() == Value)
      ++Acknowledged;
    std::this_thread::sleep_until(T0 + std::chrono::seconds(s));
    if (s % 10 == 0) {
      RssLast = ResidentKiB();
      FdLast = OpenFiles();
      ThLast = Threads();
      RssMax = std::max(RssMax, RssLast);
      FdMax = std::max(FdMax, FdLast);
      ThMax = std::max(ThMax, ThLast);
      std::printf("%4d s: resident %ld KiB, open files %d, threads %d, writes %d/%d acknowledged, "
                  "%d state answers\n",
                  s, RssLast, FdLast, ThLast, Acknowledged, Writes, h.Count("state"));
      std::fflush(stdout);
    }
  }
  const bool Flat = FdMax == Fd0 && ThMax == Th0 && RssMax - Rss0 < 1024;
  const bool Ok = Flat && Acknowledged == Writes;
  std::printf(
      "stream: %d s at 1 kHz: resident %ld -> %ld KiB (max %ld), open files %d -> %d (max %d), "
      "threads %d -> %d (max %d), %d/%d writes acknowledged %s\n",
      Seconds, Rss0, RssLast, RssMax, Fd0, FdLast, FdMax, Th0, ThLast, ThMax, Acknowledged, Writes,
      Ok ? "ok" : "FAILED");
  return Ok ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
  const std::string Mode = argc > 1 ? argv[1] : "churn";
  if (Mode == "churn")
    return Churn(argc > 2 ? std::max(1, std::atoi(argv[2])) : 1000);
  if (Mode == "stream")
    return Stream(argc > 2 ? std::max(1, std::atoi(argv[2])) : 600);
  std::fprintf(stderr, "usage: soak_bench churn [CYCLES] | stream [SECONDS]\n");
  return 2;
}
