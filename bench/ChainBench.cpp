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
  const int Period = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
  const int Repeats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20;
  const double T = Period / 1000.0;
  // The figures' places in the table below.
  constexpr std::size_t kRead = 0, kConnection = 1, kWrite = 2, kReadAll = 3, kWriteAll = 4,
                        kHistory = 5, kEmptyHistory = 6;
  std::vector<Figure> Figures = {
      {"single read (filter)", 1, 2, false, {}, {}, {}, {}},
      {"connection to tag shown", 3, 5, false, {}, {}, {}, {}},
      {"single write with read-back (filter)", 2, 3, false, {}, {}, {}, {}},
      {"read-all", 5, 7, false, {}, {}, {}, {}},
      {"write-all", 5, 7, false, {}, {}, {}, {}},
      {"history, 8 records", 8, 9, true, {}, {}, {}, {}},
      // Records without a slot all look alike: a state request goes
      // between them, one more exchange for each after the first.
      {"history, no record held", 15, 0, true, {}, {}, {}, {}}};
  auto Seconds = [](Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
  };

  // The wait and the ratio of the run just measured.
  auto Note = [&](Figure &f, Harness &h, Clock::time_point T0) {
    const double Cost = f.Periods.back();
    const double w = Seconds(T0, h.Timed.FirstWriteAfter(T0)) / T;
    f.Waits.push_back(w);
    f.Ratios.push_back(Cost / (f.Exchanges + w));
    f.Chained.push_back(Cost - w);
  };
  try {
    for (int r = 0; r < Repeats; ++r) {
      Harness h(Period);
      if (h.ZOL.Scan() != 1)
        return 1;
      auto T0 = Clock::now();
      h.ZOL.Open(0);
      Figures[kConnection].Periods.push_back(Seconds(T0, h.Await("tag", 0)) / T);
      Note(Figures[kConnection], h, T0);
      h.Await("state", 0); // the connection chain has ended

      // The history of a new instrument, which holds no record yet.
      h.ForgetRecords();
      T0 = Clock::now();
      h.ZOL.ReadHistory();
      (void)h.AwaitRecords(8);
      Figures[kEmptyHistory].Periods.push_back(Seconds(T0, h.RecordArrivals()[7]) / T);
      Note(Figures[kEmptyHistory], h, T0);

      int Before = h.Count("filter");
      T0 = Clock::now();
      h.ZOL.ReadFilter();
      Figures[kRead].Periods.push_back(Seconds(T0, h.Await("filter", Before)) / T);
      Note(Figures[kRead], h, T0);
      Before = h.Count("state");
      h.Await("state", Before);

      Before = h.Count("filter");
      T0 = Clock::now();
      h.ZOL.WriteFilter(1.5f + static_cast<float>(r));
      Figures[kWrite].Periods.push_back(Seconds(T0, h.Await("filter", Before)) / T);
      Note(Figures[kWrite], h, T0);
      Before = h.Count("state");
      h.Await("state", Before);

      Before = h.Count("readall");
      T0 = Clock::now();
      h.ZOL.ReadAll();
      Figures[kReadAll].Periods.push_back(Seconds(T0, h.Await("readall", Before)) / T);
      Note(Figures[kReadAll], h, T0);

      Before = h.Count("writeall");
      T0 = Clock::now();
      h.ZOL.WriteAll();
      Figures[kWriteAll].Periods.push_back(Seconds(T0, h.Await("writeall", Before)) / T);
      Note(Figures[kWriteAll], h, T0);

      // The history of an instrument that holds its 8 records (one more write-all fills it),
      // read as the history window and zolctl read it.
      Before = h.Count("writeall");
      h.ZOL.WriteAll();
      h.Await("writeall", Before);
      Before = h.Count("state");
      h.ZOL.ReadFilter(); // the instrument is back to state answers when the read starts
      h.Await("state", Before + 2);
      if (h.Platform.Instrument(0)->Snapshot().HistoryCount != 8) {
        std::fprintf(stderr, "the instrument holds %d records, not 8\n",
                     h.Platform.Instrument(0)->Snapshot().HistoryCount);
        return 1;
      }
      h.ForgetRecords();
      T0 = Clock::now();
      h.ZOL.ReadHistory();
      const std::vector<std::uint8_t> Masks = h.AwaitRecords(8);
      const auto Arrivals = h.RecordArrivals();
      Figures[kHistory].Periods.push_back(Seconds(T0, Arrivals[7]) / T);
      Note(Figures[kHistory], h, T0);
      for (int i = 0; i < 8; ++i) {
        if (Masks[static_cast<std::size_t>(i)] != WROPSlotMask(i)) {
          std::fprintf(stderr, "history record %d is not its own (slot mask %02X)\n", i,
                       Masks[static_cast<std::size_t>(i)]);
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
              Period, Repeats);
  bool Ok = true;
  for (const Figure &f : Figures) {
    const double Middle = Median(f.Periods);
    const double Worst = *std::max_element(f.Periods.begin(), f.Periods.end());
    const double w = Median(f.Waits);
    // A target "N T + w" holds for the cost less the run's own wait.
    const double Judged = f.LimitPlusW ? Median(f.Chained) : Middle;
    const bool Pass = f.Limit == 0 || Judged <= f.Limit;
    Ok = Ok && Pass;
    char Target[32];
    std::snprintf(Target, sizeof Target,
                  f.Limit == 0   ? "no target"
                  : f.LimitPlusW ? "<= %.0f T + w"
                                 : "<= %.0f T",
                  f.Limit);
    std::printf("  %-36s %5.2f T (%5.2f T), floor %d T + w = %5.2f T (w %4.2f T), ratio %4.2f   "
                "target %-12s %s\n",
                f.Name, Middle, Worst, f.Exchanges, f.Exchanges + w, w, Median(f.Ratios), Target,
                Pass ? "ok" : "OVER");
  }
  return Ok ? 0 : 1;
}
