// The program's windows, offscreen, on a simulated instrument streaming at 1 kHz.
//
//   build/bench/gui_bench [SECONDS]      UI thread and worker CPU, allocations per state answer
//   build/bench/gui_bench trend [SECONDS] the same with the trend window shown on its 1 h span,
//                                        and the process's resident memory over the run
//   build/bench/gui_bench exit [RUNS]    from the main window closing to the end of the process,
//                                        on a simulated instrument streaming, on a silent one
//                                        (the worker waits in its read) and with none (the HID
//                                        platform); each run is a fresh copy of this program
//
// The same on Windows (gui_bench.exe), where the thread times come from GetThreadTimes.
//
// Targets: the user-interface thread under 0.5 % of one core and no allocation per state answer
// on the worker; the process ends within 300 ms of the window closing.

#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QEventLoop>
#include <QProcess>
#include <QTabWidget>
#include <QTimer>

#ifdef _WIN32
#include <windows.h>
// After windows.h.
#include <psapi.h>
#else
#include <pthread.h>
#include <time.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "link/SystemHidPlatform.h"
#include "sim/SimPlatform.h"
#include "tests/support/CountingNew.h"
#include "windows/Main.h"
#include "windows/Trend.h"
#include "windows/ZOLCFG.h"

using zol::counting::Watched;
using zol::counting::WatchedAllocations;

using namespace zol;

namespace {

/// Seconds on the steady clock, which is the same in every process of the system
/// (CLOCK_MONOTONIC, QueryPerformanceCounter).
double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

/// The process's resident memory in KiB; -1 when it cannot be read.
long ResidentKiB() {
#ifdef _WIN32
  PROCESS_MEMORY_COUNTERS Counters{};
  if (!K32GetProcessMemoryInfo(GetCurrentProcess(), &Counters, sizeof Counters))
    return -1;
  return static_cast<long>(Counters.WorkingSetSize / 1024);
#else
  long Pages = 0;
  long Resident = 0;
  FILE *Statm = std::fopen("/proc/self/statm", "r");
  if (Statm == nullptr)
    return -1;
  const bool Read = std::fscanf(Statm, "%ld %ld", &Pages, &Resident) == 2;
  std::fclose(Statm);
  return Read ? Resident * (sysconf(_SC_PAGESIZE) / 1024) : -1;
#endif
}

/// The CPU time of one thread, read from any thread.
#ifdef _WIN32
class TThreadClock {
public:
  /// The calling thread's clock.
  static TThreadClock Current() {
    TThreadClock Clock;
    Clock.Thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, GetCurrentThreadId());
    return Clock;
  }
  double Seconds() const {
    FILETIME Created, Exited, Kernel, User;
    if (Thread == nullptr || !GetThreadTimes(Thread, &Created, &Exited, &Kernel, &User))
      return -1;
    auto Ticks = [](const FILETIME &t) {
      return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    return static_cast<double>(Ticks(Kernel) + Ticks(User)) / 1e7; // 100 ns ticks
  }

private:
  HANDLE Thread = nullptr; // kept for the bench's life
};
#else
class TThreadClock {
public:
  static TThreadClock Current() {
    TThreadClock Clock;
    if (pthread_getcpuclockid(pthread_self(), &Clock.Id) == 0)
      Clock.Valid = true;
    return Clock;
  }
  double Seconds() const {
    timespec Ts{};
    if (!Valid || clock_gettime(Id, &Ts) != 0)
      return -1;
    return static_cast<double>(Ts.tv_sec) + static_cast<double>(Ts.tv_nsec) / 1e9;
  }

private:
  clockid_t Id{};
  bool Valid = false;
};
#endif

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

/// Runs the event loop for Ms milliseconds.
void RunFor(int Ms) {
  QEventLoop Loop;
  QTimer::singleShot(Ms, &Loop, &QEventLoop::quit);
  Loop.exec();
}

int RunCpu(int Argc, char **Argv, double Span, bool Trend) {
  QApplication App(Argc, Argv);
  PrepareApplication();
  TVirtualRW8Options Options;
  Options.ReportPeriodMs = 1;
  SimPlatform Platform(1, Options);
  bool Ok = true;
  {
    TProgramWindows Windows(Platform);
    TZOL *ZOL = MainForm->ZOL;
    std::atomic<long> Answers{0};
    TThreadClock Worker;
    std::atomic<bool> WorkerSeen{false};
    const TNotifyEvent Forward = ZOL->OnUpdateState;
    ZOL->OnUpdateState = [&, Forward](TObject *Sender) {
      if (Watched.load() == std::thread::id{}) {
        Worker = TThreadClock::Current();
        WorkerSeen = true; // before the page's read below: the clock is set once, then read
        Watched = std::this_thread::get_id();
      }
      Answers.fetch_add(1, std::memory_order_relaxed);
      Forward(Sender);
    };
    long Updates = 0;
    QObject::connect(ZOL, &TZOL::StateUpdated, [&] { ++Updates; });
    MainForm->show();
    for (int i = 0; i < 500 && !MainForm->DevicePresent; ++i)
      RunFor(10);
    if (!MainForm->DevicePresent) {
      std::fprintf(stderr, "no connection\n");
      return 2;
    }
    // The page with the measurement, the relays and the LEDs.
    if (auto *Tabs = MainForm->findChild<QTabWidget *>(QStringLiteral("TabAL1")))
      Tabs->setCurrentIndex(1);
    if (Trend) {
      MainForm->TrendForm->CbSpan->setCurrentIndex(static_cast<int>(TTrendSpan::OneHour));
      MainForm->TrendForm->show();
    }
    RunFor(1000); // past the connection and the page's read

    if (!WorkerSeen) {
      std::fprintf(stderr, "no state answer\n");
      return 2;
    }
    const TThreadClock Ui = TThreadClock::Current();
    const double Wall0 = Now();
    const double Ui0 = Ui.Seconds();
    const double Worker0 = Worker.Seconds();
    const long Answers0 = Answers.load();
    const long Allocations0 = WatchedAllocations.load();
    const long Updates0 = Updates;
    // In slices of a second, the resident memory read after each; the first tenth of the run
    // is its warm-up.
    long WarmKiB = -1;
    long PeakKiB = -1;
    const int Slices = std::max(1, static_cast<int>(Span));
    for (int i = 0; i < Slices; ++i) {
      RunFor(static_cast<int>(Span * 1000 / Slices));
      const long Now = ResidentKiB();
      if (i == Slices / 10)
        WarmKiB = Now;
      if (i >= Slices / 10)
        PeakKiB = std::max(PeakKiB, Now);
    }
    const long EndKiB = ResidentKiB();
    const double Wall = Now() - Wall0;
    const double UiShare = 100.0 * (Ui.Seconds() - Ui0) / Wall;
    const double WorkerShare = 100.0 * (Worker.Seconds() - Worker0) / Wall;
    const long AnswerCount = Answers.load() - Answers0;
    const double PerAnswer =
        AnswerCount > 0
            ? static_cast<double>(WatchedAllocations.load() - Allocations0) / AnswerCount
            : -1;
    const long UpdateCount = Updates - Updates0;
    const double UiTarget = Trend ? 1.0 : 0.5;
    const bool UiOk = UiShare < UiTarget;
    const bool AllocOk = PerAnswer == 0.0;
    const bool MemoryOk = !Trend || (WarmKiB > 0 && EndKiB <= WarmKiB);
    Ok = UiOk && AllocOk && MemoryOk;
    std::printf("windows on 1 kHz, %.0f s: %ld state answers, %ld state updates shown (%.0f/s)\n",
                Wall, AnswerCount, UpdateCount, UpdateCount / Wall);
    std::printf("  UI thread %.2f %% of one core (target < %.1f %%) %s\n", UiShare, UiTarget,
                UiOk ? "ok" : "OVER");
    if (Trend)
      std::printf("  trend on its 1 h span: resident memory %ld KiB after the first tenth, at most "
                  "%ld KiB after it, %ld KiB at the end (target: no more at the end) %s\n",
                  WarmKiB, PeakKiB, EndKiB, MemoryOk ? "ok" : "OVER");
    std::printf("  worker %.2f %% of one core; allocations per state answer on the worker %.3f "
                "(target 0) %s\n",
                WorkerShare, PerAnswer, AllocOk ? "ok" : "OVER");
    Watched = std::thread::id{};
    MainForm->close();
  }
  return Ok ? 0 : 1;
}

// ---- Closing -------------------------------------------------------------------------------

/// What the closing is measured with.
enum class TExitCase { None, NoInstrument, Streaming, Silent };
TExitCase ExitMode = TExitCase::None;
SimPlatform *ExitSim = nullptr; // the simulated instrument's platform, in the child

/// In the copy run for one closing: once the window has been up for a while (and connected, with an
/// instrument), note the time and close it, as the user would.
void StartCloser() {
  if (ExitMode == TExitCase::None)
    return;
  auto *Timer = new QTimer(QCoreApplication::instance());
  auto *Shown = new double(0);
  QObject::connect(Timer, &QTimer::timeout, [Timer, Shown] {
    if (MainForm == nullptr || !MainForm->isVisible())
      return;
    if (*Shown == 0)
      *Shown = Now();
    if (ExitMode != TExitCase::NoInstrument && !MainForm->DevicePresent)
      return;
    if (Now() - *Shown < 0.5)
      return;
    if (ExitMode == TExitCase::Silent && ExitSim->Instrument(0)->Snapshot().ReportsSent > 0) {
      // Present but silent from now on: the worker waits in its read until the time-out.
      ExitSim->Instrument(0)->SetSilent(true);
      *Shown = Now() - 0.3;
      ExitMode = TExitCase::Streaming; // closed 0.2 s later
      return;
    }
    Timer->stop();
    // The moment of the closing, for the program that started this copy.
    std::printf("closed %.9f\n", Now());
    std::fflush(stdout);
    MainForm->close();
  });
  Timer->start(5);
}
Q_COREAPP_STARTUP_FUNCTION(StartCloser)

/// The copy of this program that closes its window once, in Case. Returns its exit status.
int RunExitCopy(char *Argv0, TExitCase Case) {
  ExitMode = Case;
  char *Argv[] = {Argv0, nullptr};
  int Argc = 1;
  if (Case != TExitCase::NoInstrument) {
    SimPlatform Platform(1);
    ExitSim = &Platform;
    return RunZOLCFG(Argc, Argv, Platform, "Rw8 ZOLCFG gui_bench", QString());
  }
  const auto Platform = MakeSystemHidPlatform(); // hidapi, or the Win32 HID services
  return RunZOLCFG(Argc, Argv, *Platform, "Rw8 ZOLCFG gui_bench", QString());
}

/// Milliseconds from the window closing to the end of a fresh copy of this program; -1 on
/// failure.
double ExitOnce(const QString &Program, TExitCase Case) {
  QProcess Copy;
  Copy.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  Copy.start(Program, {QStringLiteral("exit-copy"), QString::number(static_cast<int>(Case))});
  if (!Copy.waitForFinished(60000)) {
    Copy.kill();
    Copy.waitForFinished(5000);
    return -1;
  }
  const double Ended = Now();
  if (Copy.exitStatus() != QProcess::NormalExit || Copy.exitCode() != 0)
    return -1;
  double Closed = 0;
  for (const QByteArray &Line : Copy.readAllStandardOutput().split('\n'))
    if (Line.startsWith("closed "))
      Closed = Line.mid(7).trimmed().toDouble();
  return Closed > 0 ? 1000.0 * (Ended - Closed) : -1;
}

int RunExit(int Argc, char **Argv, int Runs) {
  QCoreApplication App(Argc, Argv); // for the copies' processes
  const QString Program = QCoreApplication::applicationFilePath();
  bool Ok = true;
  const struct {
    TExitCase Case;
    const char *Name;
  } Cases[] = {{TExitCase::Streaming, "simulated instrument"},
               {TExitCase::Silent, "silent instrument"},
               {TExitCase::NoInstrument, "no instrument"}};
  for (const auto &c : Cases) {
    std::vector<double> Ms;
    for (int i = 0; i < Runs; ++i) {
      const double m = ExitOnce(Program, c.Case);
      if (m < 0) {
        std::fprintf(stderr, "run %d failed\n", i);
        return 2;
      }
      Ms.push_back(m);
    }
    const double m = Median(Ms);
    const bool Pass = m < 300;
    Ok = Ok && Pass;
    std::printf("window closed to process ended, %s: median %.0f ms of %d (max %.0f) (target < "
                "300 ms) %s\n",
                c.Name, m, Runs, *std::max_element(Ms.begin(), Ms.end()), Pass ? "ok" : "OVER");
  }
  return Ok ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  if (argc > 2 && std::strcmp(argv[1], "exit-copy") == 0)
    return RunExitCopy(argv[0], static_cast<TExitCase>(std::atoi(argv[2])));
  if (argc > 1 && std::strcmp(argv[1], "exit") == 0) {
    int QtArgc = 1;
    return RunExit(QtArgc, argv, argc > 2 ? std::max(1, std::atoi(argv[2])) : 5);
  }
  const bool Trend = argc > 1 && std::strcmp(argv[1], "trend") == 0;
  const int SpanArg = Trend ? 2 : 1;
  const double Span = argc > SpanArg ? std::atof(argv[SpanArg]) : 10.0;
  int QtArgc = 1;
  return RunCpu(QtArgc, argv, Span > 0 ? Span : 10.0, Trend);
}
