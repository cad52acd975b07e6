// What the worker costs: a connected instrument streaming at 1 kHz, and no instrument at all.
//
//   build/bench/load_bench [SECONDS]
//
// Targets: under 2 % of one core at 1 kHz; about nothing without an instrument.

#include <pthread.h>
#include <sys/resource.h>
#include <time.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "bench/BenchHarness.h"

using namespace zol;
using namespace zol::bench;

namespace {

double ThreadSeconds(pthread_t thread) {
  clockid_t clock;
  if (pthread_getcpuclockid(thread, &clock) != 0)
    return -1;
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double ProcessSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

/// Worker CPU share over Seconds, in percent of one core; the worker is found from a handler.
double WorkerShare(Harness &h, std::atomic<pthread_t> &worker, double Seconds, int &States) {
  const double w0 = ThreadSeconds(worker.load());
  const int s0 = h.Count("state");
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(Seconds));
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  States = h.Count("state") - s0;
  return 100.0 * (ThreadSeconds(worker.load()) - w0) / wall;
}

} // namespace

int main(int argc, char **argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
  bool ok = true;

  {
    Harness h(1);
    std::atomic<pthread_t> worker{};
    std::atomic<bool> known{false};
    auto stateCount = h.ZOL.OnUpdateState;
    h.ZOL.OnUpdateState = [&](TObject *sender) {
      if (!known.exchange(true))
        worker = pthread_self();
      stateCount(sender);
    };
    h.ZOL.Scan();
    h.ZOL.Open(0);
    h.Await("state", 0);
    h.Await("state", 50); // settled on state answers
    const double p0 = ProcessSeconds();
    int states = 0;
    const double share = WorkerShare(h, worker, seconds, states);
    const double process = 100.0 * (ProcessSeconds() - p0) / seconds;
    const bool pass = share < 2.0;
    ok = ok && pass;
    std::printf("connected, 1 kHz: worker %.2f %% of one core (target < 2 %%) %s; %d state answers "
                "in %.0f s; whole process with the simulator %.2f %%\n",
                share, pass ? "ok" : "OVER", states, seconds, process);
  }
  {
    // Selected, then unplugged for good: the worker only looks for it.
    Harness h(10);
    std::atomic<pthread_t> worker{};
    h.ZOL.OnConnect = [&](TObject *) { worker = pthread_self(); };
    h.ZOL.Scan();
    h.ZOL.Open(0);
    while (worker.load() == pthread_t{})
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    h.Platform.Instrument(0)->SetPresent(false);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    int states = 0;
    const double share = WorkerShare(h, worker, seconds, states);
    const bool pass = share < 0.1;
    ok = ok && pass;
    std::printf("no instrument: worker %.3f %% of one core (target about 0) %s\n", share,
                pass ? "ok" : "OVER");
  }
  return ok ? 0 : 1;
}
