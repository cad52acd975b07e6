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
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

int OpenFiles() {
  int count = 0;
  if (DIR *dir = opendir("/proc/self/fd")) {
    while (dirent *e = readdir(dir))
      if (e->d_name[0] != '.')
        ++count;
    closedir(dir);
  }
  return count - 1; // the directory itself
}

int Threads() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("Threads:", 0) == 0)
      return std::atoi(line.c_str() + 8);
  return -1;
}

int Churn(int cycles) {
  Harness h(1);
  if (h.ZOL.Scan() != 1 || !h.ZOL.Open(0))
    return 1;
  h.Await("connect", 0);
  auto &instrument = *h.Platform.Instrument(0);
  const auto t0 = Clock::now();
  for (int i = 1; i <= cycles; ++i) {
    instrument.SetPresent(false);
    h.Await("disconnect", i - 1);
    instrument.SetPresent(true);
    h.Await("connect", i);
    if (h.Count("disconnect") != i || h.Count("connect") != i + 1) {
      std::printf("cycle %d: %d disconnects, %d connects\n", i, h.Count("disconnect"),
                  h.Count("connect"));
      return 1;
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const bool ok = h.Count("disconnect") == cycles && h.Count("connect") == cycles + 1;
  std::printf("churn: %d unplug/replug cycles at 1 ms in %.1f s: %d OnDisconnect, %d OnConnect "
              "(expected %d and %d) %s\n",
              cycles, std::chrono::duration<double>(Clock::now() - t0).count(),
              h.Count("disconnect"), h.Count("connect"), cycles, cycles + 1, ok ? "ok" : "FAILED");
  return ok ? 0 : 1;
}

int Stream(int seconds) {
  Harness h(1);
  std::atomic<float> lastFilter{-1};
  auto countFilter = h.ZOL.OnUpdateFilter;
  h.ZOL.OnUpdateFilter = [&](TObject *sender) {
    lastFilter = h.ZOL.Snapshot().Settings.Filter;
    countFilter(sender);
  };
  if (h.ZOL.Scan() != 1 || !h.ZOL.Open(0))
    return 1;
  h.Await("state", 0);
  long rss0 = ResidentKiB(), rssMax = rss0, rssLast = rss0;
  int fd0 = OpenFiles(), fdMax = fd0, fdLast = fd0;
  int th0 = Threads(), thMax = th0, thLast = th0;
  int writes = 0, acknowledged = 0;
  const auto t0 = Clock::now();
  for (int s = 1; s <= seconds; ++s) {
    const float value = static_cast<float>(s % 100) / 4.0f;
    ++writes;
    h.ZOL.WriteFilter(value);
    const auto deadline = Clock::now() + std::chrono::milliseconds(900);
    while (lastFilter.load() != value && Clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (lastFilter.load() == value)
      ++acknowledged;
    std::this_thread::sleep_until(t0 + std::chrono::seconds(s));
    if (s % 10 == 0) {
      rssLast = ResidentKiB();
      fdLast = OpenFiles();
      thLast = Threads();
      rssMax = std::max(rssMax, rssLast);
      fdMax = std::max(fdMax, fdLast);
      thMax = std::max(thMax, thLast);
      std::printf("%4d s: resident %ld KiB, open files %d, threads %d, writes %d/%d acknowledged, "
                  "%d state answers\n",
                  s, rssLast, fdLast, thLast, acknowledged, writes, h.Count("state"));
      std::fflush(stdout);
    }
  }
  const bool flat = fdMax == fd0 && thMax == th0 && rssMax - rss0 < 1024;
  const bool ok = flat && acknowledged == writes;
  std::printf(
      "stream: %d s at 1 kHz: resident %ld -> %ld KiB (max %ld), open files %d -> %d (max %d), "
      "threads %d -> %d (max %d), %d/%d writes acknowledged %s\n",
      seconds, rss0, rssLast, rssMax, fd0, fdLast, fdMax, th0, thLast, thMax, acknowledged, writes,
      ok ? "ok" : "FAILED");
  return ok ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
  const std::string mode = argc > 1 ? argv[1] : "churn";
  if (mode == "churn")
    return Churn(argc > 2 ? std::max(1, std::atoi(argv[2])) : 1000);
  if (mode == "stream")
    return Stream(argc > 2 ? std::max(1, std::atoi(argv[2])) : 600);
  std::fprintf(stderr, "usage: soak_bench churn [CYCLES] | stream [SECONDS]\n");
  return 2;
}
