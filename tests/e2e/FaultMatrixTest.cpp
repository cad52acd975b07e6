// The bench's faults met in the middle of every chain: unplugging, closing the program, a second
// sender, a slow instrument, a disk that fills up during a save. Nothing may hang, crash, lose a
// command without a word, or change a file nobody asked to change. Every wait is bounded.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "protocol/ParamFile.h"
#include "protocol/ZOL.h"
#include "sim/SimPlatform.h"

namespace zol {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

/// A component on one simulated instrument, counting its events.
class Bench {
public:
  explicit Bench(int PeriodMs = 2) : Platform(1, Options(PeriodMs)), Zol(Platform) {
    auto on = [this](const char *name) { return [this, name](TObject *) { Add(name); }; };
    Zol.OnConnect = on("connect");
    Zol.OnDisconnect = on("disconnect");
    Zol.OnUpdateState = on("state");
    Zol.OnUpdateTag = on("tag");
    Zol.OnUpdateFilter = on("filter");
    Zol.OnUpdateAlarm1 = on("alarm1");
    Zol.OnReadAll = on("readall");
    Zol.OnWriteAll = on("writeall");
    Zol.OnUnlockDevice = on("unlock");
    Zol.OnUpdateWROP = [this](TPtrWROP) { Add("wrop"); };
    Zol.OnChainError = [this](TObject *, const TError &error) {
      std::lock_guard lock(Mutex);
      Messages.push_back(ErrorCodeName(error.Code));
      Changed.notify_all();
    };
  }
  ~Bench() { Zol.Close(); }

  static TVirtualRW8Options Options(int PeriodMs) {
    TVirtualRW8Options o;
    o.ReportPeriodMs = PeriodMs;
    return o;
  }
  VirtualRW8 &Sim() { return *Platform.Instrument(0); }
  int Count(const std::string &name) {
    std::lock_guard lock(Mutex);
    return Counts[name];
  }
  bool Wait(const std::string &name, int count, std::chrono::milliseconds timeout = 10s) {
    std::unique_lock lock(Mutex);
    return Changed.wait_for(lock, timeout, [&] { return Counts[name] >= count; });
  }
  std::vector<std::string> ChainErrors() {
    std::lock_guard lock(Mutex);
    return Messages;
  }
  bool Connect() {
    return Zol.Scan() == 1 && Zol.Open(0) && Wait("connect", 1) && Wait("tag", 1) &&
           Wait("state", Count("state") + 3);
  }

  SimPlatform Platform;
  TCustomZOL Zol;

private:
  void Add(const char *name) {
    std::lock_guard lock(Mutex);
    ++Counts[name];
    Changed.notify_all();
  }
  std::mutex Mutex; //!< Protects Counts and Messages.
  std::condition_variable Changed;
  std::map<std::string, int> Counts;
  std::vector<std::string> Messages;
};

/// The chains a user can start, each with the event that ends it.
struct Chain {
  const char *Name;
  std::function<void(TCustomZOL &)> Start;
  const char *Done;
};

std::vector<Chain> Chains() {
  return {
      {"read-all", [](TCustomZOL &z) { z.ReadAll(); }, "readall"},
      {"write-all", [](TCustomZOL &z) { z.WriteAll(); }, "writeall"},
      {"tag write", [](TCustomZOL &z) { z.WriteTag("FAULT"); }, "tag"},
      {"filter write", [](TCustomZOL &z) { z.WriteFilter(4.5f); }, "filter"},
      {"history record", [](TCustomZOL &z) { z.ReadWROP(0); }, "wrop"},
      {"unlock", [](TCustomZOL &z) { z.Unlock("        "); }, "unlock"},
  };
}

TEST(FaultMatrix, UnpluggingDuringEachChainGivesOneDisconnectAndTheChainRunsAgainAfter) {
  for (const Chain &c : Chains()) {
    SCOPED_TRACE(c.Name);
    Bench b;
    ASSERT_TRUE(b.Connect());
    c.Start(b.Zol);
    b.Sim().SetPresent(false); // mid-chain
    ASSERT_TRUE(b.Wait("disconnect", 1));
    std::this_thread::sleep_for(50ms);
    b.Sim().SetPresent(true);
    ASSERT_TRUE(b.Wait("connect", 2));
    ASSERT_TRUE(b.Wait("tag", b.Count("tag") + 1)) << "the connection chain runs again";
    ASSERT_TRUE(b.Wait("state", b.Count("state") + 3));
    EXPECT_EQ(b.Count("disconnect"), 1);
    EXPECT_EQ(b.Count("connect"), 2);
    const int done = b.Count(c.Done);
    c.Start(b.Zol);
    EXPECT_TRUE(b.Wait(c.Done, done + 1)) << "the chain completes once started again";
  }
}

TEST(FaultMatrix, ClosingDuringEachChainReturnsPromptly) {
  for (const Chain &c : Chains()) {
    for (auto after : {0ms, 3ms, 15ms}) {
      SCOPED_TRACE(c.Name);
      Bench b;
      ASSERT_TRUE(b.Connect());
      c.Start(b.Zol);
      std::this_thread::sleep_for(after);
      const auto t0 = Clock::now();
      b.Zol.Close();
      EXPECT_LT(Clock::now() - t0, 1s) << "closing must never hang";
      EXPECT_EQ(b.Platform.OpenHandles(), 0);
    }
  }
  // Also while connecting, before the tag has come.
  Bench b;
  ASSERT_EQ(b.Zol.Scan(), 1);
  ASSERT_TRUE(b.Zol.Open(0));
  const auto t0 = Clock::now();
  b.Zol.Close();
  EXPECT_LT(Clock::now() - t0, 1s);
}

TEST(FaultMatrix, ASecondSenderDuringAChainIsNeverLostSilently) {
  for (const char *first : {"read-all", "write-all"}) {
    SCOPED_TRACE(first);
    Bench b;
    ASSERT_TRUE(b.Connect());
    std::thread other([&] { b.Zol.ReadAlarm1(); });
    if (std::string(first) == "read-all")
      b.Zol.ReadAll();
    else
      b.Zol.WriteAll();
    other.join();
    // The second command is always answered; the chain either completes or is reported cut.
    ASSERT_TRUE(b.Wait("alarm1", 1));
    const char *done = std::string(first) == "read-all" ? "readall" : "writeall";
    const bool completed = b.Wait(done, 1, 2s);
    EXPECT_NE(completed, !b.ChainErrors().empty()) << "completed, or a message: exactly one";
    const TZOLModel m = b.Zol.Snapshot();
    EXPECT_FALSE(m.ReadingAll || m.WritingAll) << "no chain left hanging";
  }
}

TEST(FaultMatrix, ASlowInstrumentStillCompletesEveryChain) {
  Bench b(50);
  ASSERT_TRUE(b.Connect());
  b.Zol.ReadAll();
  EXPECT_TRUE(b.Wait("readall", 1, 10s));
  b.Sim().SetReportPeriod(120);
  b.Zol.WriteFilter(7.0f);
  EXPECT_TRUE(b.Wait("filter", 2, 10s));
  EXPECT_EQ(b.Zol.Snapshot().Settings.Filter, 7.0f);
}

std::string Slurp(const std::filesystem::path &p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(FaultMatrix, ADiskThatFillsUpDuringASaveLeavesTheOldFileWhole) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("zol-full-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const auto target = dir / "kept.ZOL";
  TZOLSettings before;
  before.Tag.Set("BEFORE");
  ASSERT_TRUE(WriteParameterFile(target.string(), before).Ok);
  const std::string old = Slurp(target);

  // A file-size limit below 88 bytes makes the write fail part-way, as a full disk does.
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  rlimit small = saved;
  small.rlim_cur = 40;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  TZOLSettings after;
  after.Tag.Set("AFTER");
  const TParamFileResult r = WriteParameterFile(target.string(), after);
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, SIG_DFL);

  EXPECT_FALSE(r.Ok);
  EXPECT_FALSE(r.Refused);
  EXPECT_EQ(r.Error.Code, TErrorCode::CannotWrite);
  EXPECT_EQ(Slurp(target), old) << "the old file is untouched";
  int files = 0;
  for ([[maybe_unused]] const auto &e : std::filesystem::directory_iterator(dir))
    ++files;
  EXPECT_EQ(files, 1) << "no temporary file left behind";
  std::filesystem::remove_all(dir);
}

TEST(FaultMatrix, ASaveIntoAFolderThatCannotBeWrittenFailsWithAReason) {
  // /proc cannot take new files, for root too.
  TZOLSettings s;
  const TParamFileResult r = WriteParameterFile("/proc/zol-cannot-write.ZOL", s);
  EXPECT_FALSE(r.Ok);
  EXPECT_EQ(r.Error.Code, TErrorCode::CannotWrite);
  EXPECT_FALSE(std::filesystem::exists("/proc/zol-cannot-write.ZOL"));
}

} // namespace
} // namespace zol
