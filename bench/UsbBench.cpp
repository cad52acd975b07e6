// The device component on the real Linux USB HID stack (hidapi, hidraw, usbhid), against
// zolsim-gadget instruments. Run inside the test machine of tests/usb/run, or on any Linux
// machine where the gadgets run (sim/README.md).
//
//   usb_bench identity                        every HID interface: ids, strings, report lengths
//   usb_bench chains PERIOD_MS [RUNS [JUDGED_FROM_MS]]
//                                             chains in report periods (the gadget already streams
//                                             at PERIOD_MS), median of RUNS after a warm-up run,
//                                             beside the simulator's; from
//                                             JUDGED_FROM_MS (default 2) up each must be within
//                                             1 T of the simulator's
//   usb_bench share SECONDS                   share of the input reports the worker reads (target
//                                             95 % at 1 kHz)
//   usb_bench replug CONTROL [--hold]         unplug and replug while connected: one disconnection,
//                                             one connection, no scan; --hold keeps another handle
//                                             open on the node meanwhile
//   usb_bench arrival CONTROL [RUNS]          plug to OnConnect with none open, told of arrivals as
//                                             the window is and polling as zolctl without news,
//                                             median of RUNS (default 10) each
//   usb_bench wrong-device CONTROL_A CONTROL_B STATS_B
//                                             instrument A leaves, device B (an RW8, a mouse)
//                                             takes its node: B is never written to; A is
//                                             followed when it returns, if it has a serial number
//
// Each check prints "PASS: ..." or "FAIL: ..."; the status is 1 when any failed.

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "link/HidapiPlatform.h"
#include "protocol/ZOL.h"
#include "sim/SimPlatform.h"

using namespace zol;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kCounterByte = 1 + 3; // report id, code, checksum, status, then the counter

int Failures = 0;

void Check(bool Ok, const std::string &What) {
  std::printf("%s: %s\n", Ok ? "PASS" : "FAIL", What.c_str());
  std::fflush(stdout);
  Failures += Ok ? 0 : 1;
}

/// Passes everything to the real platform and counts the input reports the worker reads, and
/// how many the instrument produced meanwhile (from its running counter). While profiling, it
/// also adds up the time spent in each call of the platform (the connection chain's breakdown).
class CountingPlatform final : public HidPlatform {
public:
  explicit CountingPlatform(HidPlatform &Wrapped) : Real(Wrapped) {}

  std::vector<std::string> ListInterfaces(bool r) override {
    return Timed("ListInterfaces", [&] { return Real.ListInterfaces(r); });
  }
  HidHandle Open(const std::string &p) override {
    return Timed("Open", [&] { return Real.Open(p); });
  }
  std::string LastOpenError() const override { return Real.LastOpenError(); }
  void Close(HidHandle h) override {
    Timed("Close", [&] {
      Real.Close(h);
      return 0;
    });
  }
  bool PeekAttributes(const std::string &p, HidAttributes &a) override {
    return Timed("PeekAttributes", [&] { return Real.PeekAttributes(p, a); });
  }
  bool GetAttributes(HidHandle h, HidAttributes &a) override {
    return Timed("GetAttributes", [&] { return Real.GetAttributes(h, a); });
  }
  bool GetManufacturerString(HidHandle h, std::string &t) override {
    return Timed("GetManufacturerString", [&] { return Real.GetManufacturerString(h, t); });
  }
  bool GetProductString(HidHandle h, std::string &t) override {
    return Timed("GetProductString", [&] { return Real.GetProductString(h, t); });
  }
  bool GetSerialNumberString(HidHandle h, std::string &t) override {
    return Timed("GetSerialNumberString", [&] { return Real.GetSerialNumberString(h, t); });
  }
  bool GetReportLengths(HidHandle h, HidReportLengths &l) override {
    return Timed("GetReportLengths", [&] { return Real.GetReportLengths(h, l); });
  }
  int Read(HidHandle h, std::uint8_t *Buffer, int Length, int TimeoutMs) override {
    const int n = Timed("Read", [&] { return Real.Read(h, Buffer, Length, TimeoutMs); });
    if (n > kCounterByte) {
      std::lock_guard Lock(Mutex);
      if (HaveCounter)
        Produced += static_cast<std::uint8_t>(Buffer[kCounterByte] - LastCounter);
      HaveCounter = true;
      LastCounter = Buffer[kCounterByte];
      ++Seen;
    }
    return n;
  }
  int Write(HidHandle h, const std::uint8_t *Report, int Length) override {
    return Timed("Write", [&] { return Real.Write(h, Report, Length); });
  }
  // The kept handle and the identity checks are the real platform's: without them the worker
  // would open and close its node every turn.
  bool KeepsDevicesOpen() const override { return Real.KeepsDevicesOpen(); }
  bool StillThere(HidHandle h) override { return Real.StillThere(h); }
  bool ReusesPaths() const override { return Real.ReusesPaths(); }
  HidIdentityMatch MatchIdentity(const std::string &p, const HidIdentity &Who) override {
    return Timed("MatchIdentity", [&] { return Real.MatchIdentity(p, Who); });
  }
  bool FindIdentity(const HidIdentity &Who, std::string &p) override {
    return Timed("FindIdentity", [&] { return Real.FindIdentity(Who, p); });
  }

  /// Reports read, and reports produced, since the last call.
  std::pair<std::uint64_t, std::uint64_t> TakeCounts() {
    std::lock_guard Lock(Mutex);
    const auto Counts = std::make_pair(Seen, Produced);
    Seen = Produced = 0;
    return Counts;
  }

  /// Starts adding up the time of each call, from nothing.
  void StartProfile() {
    std::lock_guard Lock(Mutex);
    Profile.clear();
    Profiling = true;
  }
  /// Stops, and gives "Open 3x 61.2 ms, ..." for the calls made since StartProfile, the
  /// worker's reads apart (they wait for the instrument by design).
  std::string StopProfile() {
    std::lock_guard Lock(Mutex);
    Profiling = false;
    std::string Out;
    char Line[96];
    for (const auto &[name, spent] : Profile) {
      std::snprintf(Line, sizeof Line, "%s%s %dx %.1f ms", Out.empty() ? "" : ", ", name.c_str(),
                    spent.first, spent.second * 1000.0);
      Out += Line;
    }
    return Out;
  }

private:
  template <typename Call> auto Timed(const char *Name, Call Work) -> decltype(Work()) {
    if (!Profiling.load(std::memory_order_relaxed))
      return Work();
    const auto T0 = Clock::now();
    auto Result = Work();
    const double Spent = std::chrono::duration<double>(Clock::now() - T0).count();
    std::lock_guard Lock(Mutex);
    auto &Entry = Profile[Name];
    ++Entry.first;
    Entry.second += Spent;
    return Result;
  }

  HidPlatform &Real;
  std::atomic<bool> Profiling{false};
  std::mutex Mutex; //!< Protects everything below.
  bool HaveCounter = false;
  std::uint8_t LastCounter = 0;
  std::uint64_t Seen = 0, Produced = 0;
  std::map<std::string, std::pair<int, double>> Profile; // by call: count, seconds
};

/// A device component on the real stack, with counters on its events.
class Session {
public:
  explicit Session(HidPlatform &Platform) : ZOL(Platform) {
    auto Count = [this](const char *Name) {
      return [this, Name](TObject *) {
        std::lock_guard Lock(Mutex);
        ++Counts[Name];
        Changed.notify_all();
      };
    };
    ZOL.OnConnect = Count("connect");
    ZOL.OnDisconnect = Count("disconnect");
    ZOL.OnUpdateState = Count("state");
    ZOL.OnUpdateTag = Count("tag");
    ZOL.OnUpdateFilter = Count("filter");
    ZOL.OnReadAll = Count("readall");
    ZOL.OnWriteAll = Count("writeall");
    ZOL.OnUpdateWROP = [this](TPtrWROP Record) {
      std::lock_guard Lock(Mutex);
      ++Counts["wrop"];
      LastMask = Record->SlotMask;
      Changed.notify_all();
    };
  }
  ~Session() { ZOL.Close(); }

  int Count(const std::string &Name) {
    std::lock_guard Lock(Mutex);
    return Counts[Name];
  }
  /// Waits until event name has fired more than Before times; false after Timeout.
  bool Await(const std::string &Name, int Before,
             std::chrono::milliseconds Timeout = std::chrono::seconds(10)) {
    std::unique_lock Lock(Mutex);
    return Changed.wait_for(Lock, Timeout, [&] { return Counts[Name] > Before; });
  }
  void ForgetRecord() {
    std::lock_guard Lock(Mutex);
    LastMask = -1;
  }
  /// Waits for the answer to history request Index: its slot, or no slot (nothing recorded).
  bool AwaitRecord(int Index) {
    const int Mask = WROPSlotMask(Index);
    std::unique_lock Lock(Mutex);
    return Changed.wait_for(Lock, std::chrono::seconds(10),
                            [&] { return LastMask == Mask || LastMask == 0; });
  }
  /// Scan, open the first instrument, wait until the connection chain has ended.
  bool Connect() {
    if (ZOL.Scan() < 1 || !ZOL.Open(0))
      return false;
    return Await("tag", 0) && Await("state", 0);
  }

  TCustomZOL ZOL;

private:
  std::mutex Mutex; //!< Protects Counts and LastMask.
  std::condition_variable Changed;
  std::map<std::string, int> Counts;
  int LastMask = -1;
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

bool Request(const std::string &Control, const std::string &Line) {
  const int Fd = ::open(Control.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (Fd < 0) {
    std::printf("cannot reach the gadget at %s\n", Control.c_str());
    return false;
  }
  const std::string Text = Line + "\n";
  const bool Ok = ::write(Fd, Text.data(), Text.size()) == static_cast<ssize_t>(Text.size());
  ::close(Fd);
  return Ok;
}

long StatOf(const std::string &StatsFile, const std::string &Key) {
  std::ifstream In(StatsFile);
  for (std::string Line; std::getline(In, Line);)
    if (Line.rfind(Key + "=", 0) == 0)
      return std::atol(Line.c_str() + Key.size() + 1);
  return -1;
}

/// The hidraw nodes of RW8s present now, with their serial numbers.
std::string Nodes(HidapiPlatform &Platform) {
  std::string Out;
  for (const std::string &Path : Platform.ListInterfaces(false)) {
    HidAttributes a;
    if (!Platform.PeekAttributes(Path, a) || a.VendorID != kRW8VendorId ||
        a.ProductID != kRW8ProductId)
      continue;
    std::string Serial = "?";
    const HidHandle h = Platform.Open(Path);
    if (h != kInvalidHidHandle) {
      Platform.GetSerialNumberString(h, Serial);
      Platform.Close(h);
    }
    Out += (Out.empty() ? "" : ", ") + Path + " (" + Serial + ")";
  }
  return Out.empty() ? "none" : Out;
}

/// The one hidraw node listed, found without opening anything; empty when none or several are.
std::string OnlyNode(HidapiPlatform &Platform) {
  const std::vector<std::string> Paths = Platform.ListInterfaces(false);
  return Paths.size() == 1 ? Paths[0] : std::string();
}

/// Whether this process holds a descriptor on Node, whose device may have gone already (the
/// kernel hands the node out again only once every descriptor on it is closed).
bool HoldsNode(const std::string &Node) {
  bool Held = false;
  if (DIR *Dir = ::opendir("/proc/self/fd")) {
    while (const dirent *Entry = ::readdir(Dir)) {
      char Target[256];
      const std::string Link = std::string("/proc/self/fd/") + Entry->d_name;
      const ssize_t n = ::readlink(Link.c_str(), Target, sizeof Target - 1);
      if (n <= 0)
        continue;
      const std::string Name(Target, static_cast<std::size_t>(n));
      if (Name == Node || Name == Node + " (deleted)")
        Held = true;
    }
    ::closedir(Dir);
  }
  return Held;
}

/// Polls Condition every 50 ms, at most Limit.
template <typename F> bool Within(std::chrono::milliseconds Limit, F Condition) {
  const auto End = Clock::now() + Limit;
  while (!Condition()) {
    if (Clock::now() > End)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

/// Every HID interface as the platform sees it: ids, identity strings, report lengths.
int Identity(HidapiPlatform &Platform) {
  for (const std::string &Path : Platform.ListInterfaces(false)) {
    HidAttributes a;
    const HidHandle h = Platform.Open(Path);
    if (h == kInvalidHidHandle) {
      std::printf("%s cannot be opened: %s\n", Path.c_str(), Platform.LastOpenError().c_str());
      continue;
    }
    std::string Manufacturer, Product, Serial;
    HidReportLengths Lengths;
    Platform.GetAttributes(h, a);
    Platform.GetManufacturerString(h, Manufacturer);
    Platform.GetProductString(h, Product);
    Platform.GetSerialNumberString(h, Serial);
    const bool Known = Platform.GetReportLengths(h, Lengths);
    Platform.Close(h);
    std::printf("%s %04x:%04x \"%s\" \"%s\" \"%s\" ", Path.c_str(), a.VendorID, a.ProductID,
                Manufacturer.c_str(), Product.c_str(), Serial.c_str());
    if (Known)
      std::printf("in=%d out=%d\n", Lengths.InputReportByteLength, Lengths.OutputReportByteLength);
    else
      std::printf("report lengths unknown\n");
  }
  return 0;
}

constexpr const char *kChainNames[] = {"connection to tag shown",
                                       "single write with read-back (filter)", "read-all",
                                       "write-all", "history, 8 records"};
constexpr int kChains = 5;

/// The chains of chain_bench on Platform, in report periods: the median of each over Runs, or
/// nothing when one did not end in time. A warm-up run goes first and is printed, not counted:
/// the first connection of a process pays once for what the chains do not measure (under
/// emulation, the first translation of the code, 20 to 60 ms).
std::optional<std::array<double, kChains>> Chains(HidPlatform &Platform, int Period, int Runs,
                                                  const char *Column,
                                                  CountingPlatform *Profiler = nullptr) {
  const double T = Period / 1000.0;
  std::array<std::vector<double>, kChains> Periods;
  for (int r = 0; r <= Runs; ++r) {
    Session s(Platform);
    if (s.ZOL.Scan() != 1) {
      Check(false, "exactly one instrument listed");
      return std::nullopt;
    }
    if (Profiler)
      Profiler->StartProfile();
    auto T0 = Clock::now();
    s.ZOL.Open(0);
    const auto Opened = Clock::now();
    if (!s.Await("tag", 0) || !s.Await("state", 0)) {
      Check(false, "connection chain within 10 s");
      return std::nullopt;
    }
    Periods[0].push_back(Seconds(T0, Clock::now()) / T);
    if (Profiler)
      std::printf("PROFILE connection, %s %d: %.1f ms in all, %.1f ms in Open(); platform: %s\n",
                  r == 0 ? "warm-up" : "run", r, Seconds(T0, Clock::now()) * 1000.0,
                  Seconds(T0, Opened) * 1000.0, Profiler->StopProfile().c_str());
    // Steps measured from the call to the event that ends them, as chain_bench does.
    auto Measure = [&](int Chain, const char *Event, auto Start) {
      const int Before = s.Count(Event);
      const auto t = Clock::now();
      Start();
      if (!s.Await(Event, Before))
        return false;
      Periods[static_cast<std::size_t>(Chain)].push_back(Seconds(t, Clock::now()) / T);
      return true;
    };
    bool Ok = Measure(1, "filter", [&] { s.ZOL.WriteFilter(1.5f + static_cast<float>(r)); });
    Ok = Ok && s.Await("state", s.Count("state"));
    Ok = Ok && Measure(2, "readall", [&] { s.ZOL.ReadAll(); });
    Ok = Ok && Measure(3, "writeall", [&] { s.ZOL.WriteAll(); });
    T0 = Clock::now();
    for (int i = 0; Ok && i < 8; ++i) {
      s.ForgetRecord();
      s.ZOL.ReadWROP(i);
      Ok = s.AwaitRecord(i);
    }
    if (!Ok) {
      Check(false, "every chain ends within 10 s");
      return std::nullopt;
    }
    Periods[4].push_back(Seconds(T0, Clock::now()) / T);
  }
  std::printf("warm-up run, %s, not counted:", Column);
  for (int i = 0; i < kChains; ++i)
    std::printf(" %.2f T%s", Periods[static_cast<std::size_t>(i)].front(),
                i + 1 < kChains ? "," : "\n");
  std::array<double, kChains> Medians{};
  for (int i = 0; i < kChains; ++i) {
    auto &ChainRuns = Periods[static_cast<std::size_t>(i)];
    ChainRuns.erase(ChainRuns.begin());
    Medians[static_cast<std::size_t>(i)] = Median(ChainRuns);
  }
  return Medians;
}

/// The chains on the real stack beside the same chains on the simulated platform in this
/// process; from 2 ms up, each real figure must be within 1 T of the simulator's.
int CompareChains(HidPlatform &Real, int Period, int Runs, int JudgedFrom) {
  CountingPlatform Profiled(Real);
  const auto RealChains = Chains(Profiled, Period, Runs, "RealChains USB", &Profiled);
  TVirtualRW8Options Options;
  Options.ReportPeriodMs = Period;
  SimPlatform Simulated(1, Options);
  const auto Sim = Chains(Simulated, Period, Runs, "simulator");
  if (!RealChains || !Sim)
    return 1;
  std::printf("report period T = %d ms, median of %d runs after the warm-up, in report periods\n",
              Period, Runs);
  std::printf("  %-38s %10s %10s\n", "", "RealChains USB", "simulator");
  const bool Judged = Period >= JudgedFrom;
  for (int i = 0; i < kChains; ++i) {
    const double r = (*RealChains)[static_cast<std::size_t>(i)],
                 m = (*Sim)[static_cast<std::size_t>(i)];
    const bool Within = r <= m + 1.0;
    std::printf("  %-38s %8.2f T %8.2f T  %s\n", kChainNames[i], r, m,
                !Judged  ? ""
                : Within ? "within 1 T"
                         : "OVER");
    if (Judged && !Within)
      ++Failures;
  }
  return Failures ? 1 : 0;
}

int Share(HidapiPlatform &Real, double SecondsToRun) {
  CountingPlatform Counting(Real);
  Session s(Counting);
  if (!s.Connect()) {
    Check(false, "connected");
    return 1;
  }
  s.Await("state", s.Count("state") + 20, std::chrono::seconds(5)); // settled on state answers
  Counting.TakeCounts();
  const int States0 = s.Count("state");
  std::this_thread::sleep_for(std::chrono::duration<double>(SecondsToRun));
  const auto [seen, produced] = Counting.TakeCounts();
  const int States = s.Count("state") - States0;
  std::printf(
      "input reports the worker read: %llu of %llu the instrument sent in %.1f s (%.1f %%); "
      "%d state answers\n",
      static_cast<unsigned long long>(seen), static_cast<unsigned long long>(produced),
      SecondsToRun,
      produced ? 100.0 * static_cast<double>(seen) / static_cast<double>(produced) : 0.0, States);
  Check(produced > 0 && seen * 100 >= produced * 95,
        "the worker reads at least 95 % of the input reports at 1 kHz");
  return Failures ? 1 : 0;
}

/// Holds a hidraw node open with a plain descriptor, as another program would.
class Holder {
public:
  explicit Holder(const std::string &Path) : Fd(::open(Path.c_str(), O_RDONLY | O_CLOEXEC)) {}
  ~Holder() {
    if (Fd >= 0)
      ::close(Fd);
  }
  Holder(const Holder &) = delete;
  Holder &operator=(const Holder &) = delete;
  bool Held() const { return Fd >= 0; }

private:
  int Fd;
};

int Replug(HidapiPlatform &Real, const std::string &Control, bool Hold) {
  const std::string How = Hold ? " (another handle held open)" : "";
  Session s(Real);
  if (!s.Connect()) {
    Check(false, "connected before the replug");
    return 1;
  }
  std::string Path;
  s.ZOL.Device->DevicePath(0, Path);
  std::unique_ptr<Holder> SecondHandle;
  if (Hold) {
    SecondHandle = std::make_unique<Holder>(Path);
    Check(SecondHandle->Held(), "a second handle holds " + Path);
  }
  const int Connects = s.Count("connect"), Disconnects = s.Count("disconnect");
  Request(Control, "unplug");
  Check(s.Await("disconnect", Disconnects, std::chrono::seconds(3)),
        "disconnection seen after the unplug" + How);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  Request(Control, "plug");
  const auto T0 = Clock::now();
  const bool Back = s.Await("connect", Connects, std::chrono::seconds(8));
  const double Took = Seconds(T0, Clock::now());
  std::printf("instrument nodes after the replug: %s (it was on %s)\n", Nodes(Real).c_str(),
              Path.c_str());
  Check(Back,
        "connection seen again without a scan" + How +
            (Back ? ", " + std::to_string(static_cast<int>(Took * 1000)) + " ms after the plug"
                  : ""));
  std::this_thread::sleep_for(std::chrono::seconds(1));
  Check(s.Count("connect") - Connects == 1 && s.Count("disconnect") - Disconnects == 1,
        "exactly one disconnection and one connection" + How + ": " +
            std::to_string(s.Count("disconnect") - Disconnects) + " and " +
            std::to_string(s.Count("connect") - Connects));
  if (Back) {
    const int Filters = s.Count("filter");
    s.ZOL.WriteFilter(3.25f);
    Check(s.Await("filter", Filters, std::chrono::seconds(3)) &&
              s.ZOL.Snapshot().Settings.Filter == 3.25f,
          "a write with read-back after the replug" + How);
  }
  SecondHandle.reset();
  return Failures ? 1 : 0;
}

/// Watches /dev from a thread of its own, every millisecond, for the first hidraw node to exist.
class NodeWatch {
public:
  NodeWatch() : Thread([this] { Run(); }) {}
  ~NodeWatch() {
    Stop = true;
    Thread.join();
  }
  NodeWatch(const NodeWatch &) = delete;
  NodeWatch &operator=(const NodeWatch &) = delete;

  /// When the node appeared, or nullopt while none has.
  std::optional<Clock::time_point> Appeared() {
    std::lock_guard Lock(Mutex);
    return When;
  }

private:
  static bool AnyNode() {
    bool Found = false;
    if (DIR *Dir = ::opendir("/dev")) {
      while (const dirent *Entry = ::readdir(Dir))
        Found = Found || std::string(Entry->d_name).rfind("hidraw", 0) == 0;
      ::closedir(Dir);
    }
    return Found;
  }
  void Run() {
    while (!Stop && !Appeared()) {
      if (AnyNode()) {
        std::lock_guard Lock(Mutex);
        When = Clock::now();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  std::atomic<bool> Stop{false};
  std::mutex Mutex; //!< Protects When.
  std::optional<Clock::time_point> When;
  std::thread Thread;
};

/// From the gadget's plug to OnConnect, RUNS times each way a front end finds an instrument
/// plugged in while none is open: told by the system as the window is (its news looked at every
/// kArrivalPoll, a scan at once, another kArrivalSettle later if that found none), and without the
/// system's news as zolctl --wait then is (a scan every kArrivalScanEvery, its phase spread over
/// the runs). The median of the told way must be under 300 ms after the hidraw node appeared.
int Arrival(HidapiPlatform &Real, const std::string &Control, int Runs) {
  const bool Told = Real.WatchArrivals(kRW8VendorId, kRW8ProductId);
  Check(Told, "the system tells of arrivals (a udev monitor)");
  std::vector<double> FromPlug[2], FromNode[2];
  for (int Way = Told ? 0 : 1; Way < 2; ++Way) {
    for (int Run = 0; Run < Runs; ++Run) {
      Request(Control, "unplug");
      if (!Within(std::chrono::seconds(5), [&] { return Real.ListInterfaces(false).empty(); })) {
        Check(false, "the instrument gone after the unplug");
        return 1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      Session s(Real);
      std::uint64_t Seen = Told ? Real.Arrivals() : 0;
      NodeWatch Node;
      Request(Control, "plug");
      const auto T0 = Clock::now();
      auto Scan = T0 + kArrivalScanEvery - kArrivalScanEvery * Run / Runs;
      bool Opened = false;
      while (!Opened && Clock::now() < T0 + std::chrono::seconds(8)) {
        if (Way == 0) {
          std::this_thread::sleep_for(kArrivalPoll);
          const std::uint64_t Now = Real.Arrivals();
          if (Now == Seen)
            continue;
          Seen = Now;
          // Nothing selected: scanned for at once, and once more after a moment when the node
          // could not be opened so soon.
          if (s.ZOL.Scan() >= 1 && s.ZOL.Open(0)) {
            Opened = true;
            break;
          }
          std::this_thread::sleep_for(kArrivalSettle);
        } else {
          std::this_thread::sleep_until(Scan);
          Scan += kArrivalScanEvery;
        }
        Opened = s.ZOL.Scan() >= 1 && s.ZOL.Open(0);
      }
      if (!Opened || !s.Await("connect", 0, std::chrono::seconds(3))) {
        Check(false, std::string(Way == 0 ? "told" : "polling") +
                         ": the instrument opened after the plug");
        continue;
      }
      const auto T1 = Clock::now();
      FromPlug[Way].push_back(Seconds(T0, T1) * 1000);
      if (const auto Appeared = Node.Appeared())
        FromNode[Way].push_back(Seconds(*Appeared, T1) * 1000);
    }
  }
  const char *Names[2] = {"told as the window is", "polling, as zolctl without news"};
  for (int Way = 0; Way < 2; ++Way)
    if (!FromPlug[Way].empty())
      std::printf("ARRIVAL %-32s plug to OnConnect %6.1f ms, node to OnConnect %6.1f ms "
                  "(median of %zu)\n",
                  Names[Way], Median(FromPlug[Way]), Median(FromNode[Way]), FromPlug[Way].size());
  if (Told)
    Check(FromNode[0].size() == static_cast<std::size_t>(Runs) && Median(FromNode[0]) < 300,
          "told of arrivals, OnConnect under 300 ms after the node appeared (median)");
  Request(Control, "plug");
  return Failures ? 1 : 0;
}

int WrongDevice(HidapiPlatform &Real, const std::string &ControlA, const std::string &ControlB,
                const std::string &StatsB) {
  Session s(Real);
  if (!s.Connect()) {
    Check(false, "connected to instrument A");
    return 1;
  }
  std::string Path;
  s.ZOL.Device->DevicePath(0, Path);
  const std::string SerialOfA = s.ZOL.Snapshot().SerialNumber;
  std::printf("instrument A on %s, serial number \"%s\"\n", Path.c_str(), SerialOfA.c_str());
  const long Before = StatOf(StatsB, "commands_received");
  const int Disconnects = s.Count("disconnect");
  Request(ControlA, "unplug");
  Check(s.Await("disconnect", Disconnects, std::chrono::seconds(3)), "A's disconnection seen");
  const int Connects = s.Count("connect");
  // Nothing is tested unless B takes A's old node. The kernel gives the node out again once
  // every descriptor on it is closed (the worker's closes at the loss, the platform's lingering
  // ones a second later), and B takes the lowest free node: B is plugged in once this process
  // holds nothing of the node, and plugged in again should it come elsewhere all the same.
  std::string NodeOfB;
  for (int Attempt = 1; Attempt <= 3 && NodeOfB != Path; ++Attempt) {
    if (!Within(std::chrono::seconds(5), [&] { return !HoldsNode(Path); }))
      std::printf("this process still holds %s\n", Path.c_str());
    Request(ControlB, "plug");
    Within(std::chrono::seconds(8), [&] { return !(NodeOfB = OnlyNode(Real)).empty(); });
    std::printf("attempt %d: instrument B on %s (A was on %s)\n", Attempt,
                NodeOfB.empty() ? "no node" : NodeOfB.c_str(), Path.c_str());
    if (NodeOfB != Path && Attempt < 3) {
      Request(ControlB, "unplug");
      Within(std::chrono::seconds(5), [&] { return OnlyNode(Real).empty(); });
    }
  }
  Check(NodeOfB == Path, "instrument B took A's old node " + Path);
  if (NodeOfB != Path) {
    Request(ControlB, "unplug");
    return 1;
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));
  // The user's next write, while A is away.
  try {
    s.ZOL.WriteFilter(7.5f);
  } catch (const std::exception &e) {
    std::printf("the write was refused: %s\n", e.what());
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));
  Check(s.Count("connect") == Connects,
        "no connection raised for instrument B: " + std::to_string(s.Count("connect") - Connects) +
            " seen");
  Request(ControlB, "stats");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const long Received = StatOf(StatsB, "commands_received") - Before;
  Check(Before >= 0 && Received == 0,
        "instrument B never written to: it received " + std::to_string(Received) + " command(s)");
  Request(ControlA, "plug");
  if (!SerialOfA.empty()) {
    Check(s.Await("connect", s.Count("connect"), std::chrono::seconds(8)),
          "instrument A followed to its new node without a scan");
  } else {
    // Nothing tells A on another node from another RW8 without a serial number: not followed.
    const int Now = s.Count("connect");
    Within(std::chrono::seconds(8), [&] { return Real.ListInterfaces(false).size() == 2; });
    Check(!s.Await("connect", Now, std::chrono::seconds(2)),
          "instrument A, without a serial number, not followed to its new node");
  }
  std::printf("instrument nodes with both plugged in: %s\n", Nodes(Real).c_str());
  Request(ControlB, "unplug");
  return Failures ? 1 : 0;
}

} // namespace

int main(int argc, char **argv) {
  const std::vector<std::string> Args(argv + 1, argv + argc);
  const std::string Mode = Args.empty() ? "" : Args[0];
  HidapiPlatform Platform; // before any thread: it initialises hidapi
  if (Mode == "identity")
    return Identity(Platform);
  if (Mode == "chains" && Args.size() >= 2)
    return CompareChains(Platform, std::max(1, std::atoi(Args[1].c_str())),
                         Args.size() > 2 ? std::max(1, std::atoi(Args[2].c_str())) : 3,
                         Args.size() > 3 ? std::atoi(Args[3].c_str()) : 2);
  if (Mode == "share" && Args.size() >= 2)
    return Share(Platform, std::max(0.5, std::atof(Args[1].c_str())));
  if (Mode == "replug" && Args.size() >= 2)
    return Replug(Platform, Args[1], Args.size() > 2 && Args[2] == "--hold");
  if (Mode == "arrival" && Args.size() >= 2)
    return Arrival(Platform, Args[1],
                   Args.size() > 2 ? std::max(1, std::atoi(Args[2].c_str())) : 10);
  if (Mode == "wrong-device" && Args.size() >= 4)
    return WrongDevice(Platform, Args[1], Args[2], Args[3]);
  std::fprintf(
      stderr,
      "usage: usb_bench identity | chains PERIOD_MS [RUNS [JUDGED_FROM_MS]] | share SECONDS | "
      "replug CONTROL [--hold]"
      " | arrival CONTROL [RUNS] | wrong-device CONTROL_A CONTROL_B STATS_B\n");
  return 2;
}
