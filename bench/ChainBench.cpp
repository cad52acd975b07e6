// How many report periods each chain costs, on the simulated instrument.
//
//   build/bench/chain_bench [PERIOD_MS] [REPEATS]
//
// Targets: read-all <= 7 T, write-all <= 7 T, a single write with read-back <= 3 T, the 8-record
// history <= 17 T, connection to the tag shown <= 5 T.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "bench/BenchHarness.h"

using namespace zol;
using namespace zol::bench;

namespace {

struct Figure {
  const char *Name;
  double Limit; // in report periods
  std::vector<double> Periods;
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv) {
  const int period = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
  const int repeats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20;
  const double T = period / 1000.0;
  std::vector<Figure> figures = {{"connection to tag shown", 5, {}},
                                 {"single write with read-back (filter)", 3, {}},
                                 {"read-all", 7, {}},
                                 {"write-all", 7, {}},
                                 {"history, 8 records", 17, {}}};
  auto seconds = [](Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
  };

  for (int r = 0; r < repeats; ++r) {
    Harness h(period);
    if (h.ZOL.Scan() != 1)
      return 1;
    auto t0 = Clock::now();
    h.ZOL.Open(0);
    h.Await("tag", 0);
    figures[0].Periods.push_back(seconds(t0, Clock::now()) / T);
    h.Await("state", 0); // the connection chain has ended

    int before = h.Count("filter");
    t0 = Clock::now();
    h.ZOL.WriteFilter(1.5f + static_cast<float>(r));
    h.Await("filter", before);
    figures[1].Periods.push_back(seconds(t0, Clock::now()) / T);
    before = h.Count("state");
    h.Await("state", before);

    before = h.Count("readall");
    t0 = Clock::now();
    h.ZOL.ReadAll();
    h.Await("readall", before);
    figures[2].Periods.push_back(seconds(t0, Clock::now()) / T);

    before = h.Count("writeall");
    t0 = Clock::now();
    h.ZOL.WriteAll();
    h.Await("writeall", before);
    figures[3].Periods.push_back(seconds(t0, Clock::now()) / T);

    // The history as the history window reads it: each request after the previous answer.
    const int records = h.Platform.Instrument(0)->HistoryCount();
    t0 = Clock::now();
    for (int i = 0; i < 8; ++i) {
      const auto mask = static_cast<std::uint8_t>(i < records ? 0xFF << i : 0);
      h.ForgetRecord();
      h.ZOL.ReadWROP(i);
      h.AwaitRecord(mask);
    }
    figures[4].Periods.push_back(seconds(t0, Clock::now()) / T);
  }

  std::printf("report period T = %d ms, %d runs, median (worst) in report periods\n", period, repeats);
  bool ok = true;
  for (const Figure &f : figures) {
    const double median = Median(f.Periods);
    const double worst = *std::max_element(f.Periods.begin(), f.Periods.end());
    const bool pass = median <= f.Limit;
    ok = ok && pass;
    std::printf("  %-38s %5.2f T  (%5.2f T)   target <= %2.0f T  %s\n", f.Name, median, worst, f.Limit,
                pass ? "ok" : "OVER");
  }
  return ok ? 0 : 1;
}
