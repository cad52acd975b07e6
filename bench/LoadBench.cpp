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

double ThreadSeconds(pthread_t Thread) {
  clockid_t ClockId;
  if (pthread_getcpuclockid(Thread, &ClockId) != 0)
    return -1;
  timespec Ts{};
  clock_gettime(ClockId, &Ts);
  return static_cast<double>(Ts.tv_sec) + static_cast<double>(Ts.tv_nsec) / 1e9;
}

double ProcessSeconds() {
  rusage Usage{};
  getrusage(RUSAGE_SELF, &Usage);
  return static_cast<double>(Usage.ru_utime.tv_sec + Usage.ru_stime.tv_sec) +
         static_cast<double>(Usage.ru_utime.tv_usec + Usage.ru_stime.tv_usec) / 1e6;
}

/// Worker CPU share over Seconds, in percent of one core; the worker is found from a handler.
double WorkerShare(Harness &h, std::atomic<pthread_t> &Worker, double Seconds, int &States) {
  const double W0 = ThreadSeconds(Worker.load());
  const int S0 = h.Count("state");
  const auto T0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(Seconds));
  const double Wall = std::chrono::duration<double>(Clock::now() - T0).count();
  States = h.Count("state") - S0;
  return 100.0 * (ThreadSeconds(Worker.load()) - W0) / Wall;
}

} // namespace

int main(int argc, char **argv) {
  const double Seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
  bool Ok = true;

  {
    Harness h(1);
    std::atomic<pthread_t> Worker{};
    std::atomic<bool> Known{false};
    auto StateCount = h.ZOL.OnUpdateState;
    h.ZOL.OnUpdateState = [&](TObject *Sender) {
      if (!Known.exchange(true))
        Worker = pthread_self();
      StateCount(Sender);
    };
    h.ZOL.Scan();
    h.ZOL.Open(0);
    h.Await("state", 0);
    h.Await("state", 50); // settled on state answers
    const double P0 = ProcessSeconds();
    int States = 0;
    const double Share = WorkerShare(h, Worker, Seconds, States);
    const double Process = 100.0 * (ProcessSeconds() - P0) / Seconds;
    const bool Pass = Share < 2.0;
    Ok = Ok && Pass;
    std::printf("connected, 1 kHz: Worker %.2f %% of one core (target < 2 %%) %s; %d state answers "
                "in %.0f s; whole process with the simulator %.2f %%\n",
                Share, Pass ? "ok" : "OVER", States, Seconds, Process);
  }
  {
    // Selected, then unplugged for good: the worker only looks for it.
    Harness h(10);
    std::atomic<pthread_t> Worker{};
    h.ZOL.OnConnect = [&](TObject *) { Worker = pthread_self(); };
    h.ZOL.Scan();
    h.ZOL.Open(0);
    while (Worker.load() == pthread_t{})
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    h.Platform.Instrument(0)->SetPresent(false);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    int States = 0;
    const double Share = WorkerShare(h, Worker, Seconds, States);
    const bool Pass = Share < 0.1;
    Ok = Ok && Pass;
    std::printf("no instrument: worker %.3f %% of one core (target about 0) %s\n", Share,
                Pass ? "ok" : "OVER");
  }
  return Ok ? 0 : 1;
}
