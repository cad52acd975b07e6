// How many report periods each chain costs, on the simulated instrument.
//
//   build/bench/chain_bench [PERIOD_MS] [REPEATS]
//
// Each chained exchange costs at least one report period T (the reply goes out in the turn its
// answer is read, and the instrument answers in its next report). A chain started by the user
// waits besides for w, until the worker has read the next report and written its first command
// (0 to 1 T; for the connection, from Open). w is measured in each run: the harness notes when
// each report is written. Each chain is printed with its cost, its floor N T + w and the ratio
// of the two (medians over the runs).
//
// Targets: read-all <= 7 T, write-all <= 7 T, a single write with read-back <= 3 T, the 8-record
// history <= 9 T + w, connection to the tag shown <= 5 T. The history of an instrument that
// holds no record is shown without a target.

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
  int Exchanges;               // chained exchanges: the floor is Exchanges T + w
  double Limit;                // target in report periods
  bool LimitPlusW;             // the target is Limit T + w; a Limit of 0: no target
  std::vector<double> Periods; // cost of each run
  std::vector<double> Waits;   // w of each run
  std::vector<double> Ratios;  // cost / (N T + w) of each run
  std::vector<double> Chained; // cost - w of each run
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
  // The figures' places in the table below.
  constexpr std::size_t kRead = 0, kConnection = 1, kWrite = 2, kReadAll = 3, kWriteAll = 4,
                        kHistory = 5, kEmptyHistory = 6;
  std::vector<Figure> figures = {
      {"single read (filter)", 1, 2, false, {}, {}, {}, {}},
      {"connection to tag shown", 3, 5, false, {}, {}, {}, {}},
      {"single write with read-back (filter)", 2, 3, false, {}, {}, {}, {}},
      {"read-all", 5, 7, false, {}, {}, {}, {}},
      {"write-all", 5, 7, false, {}, {}, {}, {}},
      {"history, 8 records", 8, 9, true, {}, {}, {}, {}},
      // Records without a slot all look alike: a state request goes
      // between them, one more exchange for each after the first.
      {"history, no record held", 15, 0, true, {}, {}, {}, {}}};
  auto seconds = [](Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
  };

  // The wait and the ratio of the run just measured.
  auto note = [&](Figure &f, Harness &h, Clock::time_point t0) {
    const double cost = f.Periods.back();
    const double w = seconds(t0, h.Timed.FirstWriteAfter(t0)) / T;
    f.Waits.push_back(w);
    f.Ratios.push_back(cost / (f.Exchanges + w));
    f.Chained.push_back(cost - w);
  };
  try {
    for (int r = 0; r < repeats; ++r) {
      Harness h(period);
      if (h.ZOL.Scan() != 1)
        return 1;
      auto t0 = Clock::now();
      h.ZOL.Open(0);
      figures[kConnection].Periods.push_back(seconds(t0, h.Await("tag", 0)) / T);
      note(figures[kConnection], h, t0);
      h.Await("state", 0); // the connection chain has ended

      // The history of a new instrument, which holds no record yet.
      h.ForgetRecords();
      t0 = Clock::now();
      h.ZOL.ReadHistory();
      (void)h.AwaitRecords(8);
      figures[kEmptyHistory].Periods.push_back(seconds(t0, h.RecordArrivals()[7]) / T);
      note(figures[kEmptyHistory], h, t0);

      int before = h.Count("filter");
      t0 = Clock::now();
      h.ZOL.ReadFilter();
      figures[kRead].Periods.push_back(seconds(t0, h.Await("filter", before)) / T);
      note(figures[kRead], h, t0);
      before = h.Count("state");
      h.Await("state", before);

      before = h.Count("filter");
      t0 = Clock::now();
      h.ZOL.WriteFilter(1.5f + static_cast<float>(r));
      figures[kWrite].Periods.push_back(seconds(t0, h.Await("filter", before)) / T);
      note(figures[kWrite], h, t0);
      before = h.Count("state");
      h.Await("state", before);

      before = h.Count("readall");
      t0 = Clock::now();
      h.ZOL.ReadAll();
      figures[kReadAll].Periods.push_back(seconds(t0, h.Await("readall", before)) / T);
      note(figures[kReadAll], h, t0);

      before = h.Count("writeall");
      t0 = Clock::now();
      h.ZOL.WriteAll();
      figures[kWriteAll].Periods.push_back(seconds(t0, h.Await("writeall", before)) / T);
      note(figures[kWriteAll], h, t0);

      // The history of an instrument that holds its 8 records (one more write-all fills it),
      // read as the history window and zolctl read it.
      before = h.Count("writeall");
      h.ZOL.WriteAll();
      h.Await("writeall", before);
      before = h.Count("state");
      h.ZOL.ReadFilter(); // the instrument is back to state answers when the read starts
      h.Await("state", before + 2);
      if (h.Platform.Instrument(0)->Snapshot().HistoryCount != 8) {
        std::fprintf(stderr, "the instrument holds %d records, not 8\n",
                     h.Platform.Instrument(0)->Snapshot().HistoryCount);
        return 1;
      }
      h.ForgetRecords();
      t0 = Clock::now();
      h.ZOL.ReadHistory();
      const std::vector<std::uint8_t> masks = h.AwaitRecords(8);
      const auto arrivals = h.RecordArrivals();
      figures[kHistory].Periods.push_back(seconds(t0, arrivals[7]) / T);
      note(figures[kHistory], h, t0);
      for (int i = 0; i < 8; ++i) {
        if (masks[static_cast<std::size_t>(i)] != WROPSlotMask(i)) {
          std::fprintf(stderr, "history record %d is not its own (slot mask %02X)\n", i,
                       masks[static_cast<std::size_t>(i)]);
          return 1;
        }
      }
    }
  } catch (const std::exception &e) {
    std::fprintf(stderr, "chain_bench: %s\n", e.what());
    return 1;
  }

  std::printf("report period T = %d ms, %d runs, median (worst) in report periods; w: the wait "
              "for the first command to go out\n",
              period, repeats);
  bool ok = true;
  for (const Figure &f : figures) {
    const double median = Median(f.Periods);
    const double worst = *std::max_element(f.Periods.begin(), f.Periods.end());
    const double w = Median(f.Waits);
    // A target "N T + w" holds for the cost less the run's own wait.
    const double judged = f.LimitPlusW ? Median(f.Chained) : median;
    const bool pass = f.Limit == 0 || judged <= f.Limit;
    ok = ok && pass;
    char target[32];
    std::snprintf(target, sizeof target,
                  f.Limit == 0   ? "no target"
                  : f.LimitPlusW ? "<= %.0f T + w"
                                 : "<= %.0f T",
                  f.Limit);
    std::printf("  %-36s %5.2f T (%5.2f T), floor %d T + w = %5.2f T (w %4.2f T), ratio %4.2f   "
                "target %-12s %s\n",
                f.Name, median, worst, f.Exchanges, f.Exchanges + w, w, Median(f.Ratios), target,
                pass ? "ok" : "OVER");
  }
  return ok ? 0 : 1;
}
