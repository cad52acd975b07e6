// The program's windows, offscreen, on a simulated instrument streaming at 1 kHz.
//
//   build/bench/gui_bench [SECONDS]      UI thread and worker CPU, allocations per state answer
//   build/bench/gui_bench exit [RUNS]    from the main window closing to the end of the process,
//                                        on a simulated instrument streaming, on a silent one
//                                        (the worker waits in its read) and with none (the HID
//                                        platform)
//
// Targets: the user-interface thread under 0.5 % of one core and no allocation per state answer
// on the worker; the process ends within 300 ms of the window closing.

#include <QApplication>
#include <QCoreApplication>
#include <QEventLoop>
#include <QTabWidget>
#include <QTimer>

#include <pthread.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "link/HidapiPlatform.h"
#include "sim/SimPlatform.h"
#include "tests/support/CountingNew.h"
#include "windows/Main.h"
#include "windows/ZOLCFG.h"

using zol::counting::Watched;
using zol::counting::WatchedAllocations;

using namespace zol;

namespace {

double Seconds(clockid_t Clock) {
  timespec ts{};
  clock_gettime(Clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double ThreadSeconds(pthread_t Thread) {
  clockid_t Clock;
  if (pthread_getcpuclockid(Thread, &Clock) != 0)
    return -1;
  return Seconds(Clock);
}

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

int RunCpu(int argc, char **argv, double Span) {
  QApplication App(argc, argv);
  PrepareApplication();
  TVirtualRW8Options Options;
  Options.ReportPeriodMs = 1;
  SimPlatform Platform(1, Options);
  bool Ok = true;
  {
    TProgramWindows Windows(Platform);
    TZOL *ZOL = MainForm->ZOL;
    std::atomic<long> Answers{0};
    std::atomic<pthread_t> Worker{};
    const TNotifyEvent Forward = ZOL->OnUpdateState;
    ZOL->OnUpdateState = [&, Forward](TObject *Sender) {
      if (Watched.load() == std::thread::id{}) {
        Worker = pthread_self();
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
      return 1;
    }
    // The page with the measurement, the relays and the LEDs.
    if (auto *Tabs = MainForm->findChild<QTabWidget *>(QStringLiteral("TabAL1")))
      Tabs->setCurrentIndex(1);
    RunFor(1000); // past the connection and the page's read

    const pthread_t Ui = pthread_self();
    const double Wall0 = Seconds(CLOCK_MONOTONIC);
    const double Ui0 = ThreadSeconds(Ui);
    const double Worker0 = ThreadSeconds(Worker.load());
    const long Answers0 = Answers.load();
    const long Allocations0 = WatchedAllocations.load();
    const long Updates0 = Updates;
    RunFor(static_cast<int>(Span * 1000));
    const double Wall = Seconds(CLOCK_MONOTONIC) - Wall0;
    const double UiShare = 100.0 * (ThreadSeconds(Ui) - Ui0) / Wall;
    const double WorkerShare = 100.0 * (ThreadSeconds(Worker.load()) - Worker0) / Wall;
    const long AnswerCount = Answers.load() - Answers0;
    const double PerAnswer =
        AnswerCount > 0
            ? static_cast<double>(WatchedAllocations.load() - Allocations0) / AnswerCount
            : -1;
    const long UpdateCount = Updates - Updates0;
    const bool UiOk = UiShare < 0.5;
    const bool AllocOk = PerAnswer == 0.0;
    Ok = UiOk && AllocOk;
    std::printf("windows on 1 kHz, %.0f s: %ld state answers, %ld state updates shown (%.0f/s)\n",
                Wall, AnswerCount, UpdateCount, UpdateCount / Wall);
    std::printf("  UI thread %.2f %% of one core (target < 0.5 %%) %s\n", UiShare,
                UiOk ? "ok" : "OVER");
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
int ExitPipe = -1;              // where the child writes the moment it closed the window

/// In the child: once the window has been up for a while (and connected, with an instrument),
/// note the time and close it, as the user would.
void StartCloser() {
  if (ExitMode == TExitCase::None)
    return;
  auto *Timer = new QTimer(QCoreApplication::instance());
  auto *Shown = new double(0);
  QObject::connect(Timer, &QTimer::timeout, [Timer, Shown] {
    if (MainForm == nullptr || !MainForm->isVisible())
      return;
    if (*Shown == 0)
      *Shown = Seconds(CLOCK_MONOTONIC);
    if (ExitMode != TExitCase::NoInstrument && !MainForm->DevicePresent)
      return;
    if (Seconds(CLOCK_MONOTONIC) - *Shown < 0.5)
      return;
    if (ExitMode == TExitCase::Silent && ExitSim->Instrument(0)->Snapshot().ReportsSent > 0) {
      // Present but silent from now on: the worker waits in its read until the time-out.
      ExitSim->Instrument(0)->SetSilent(true);
      *Shown = Seconds(CLOCK_MONOTONIC) - 0.3;
      ExitMode = TExitCase::Streaming; // closed 0.2 s later
      return;
    }
    Timer->stop();
    const double Now = Seconds(CLOCK_MONOTONIC);
    if (write(ExitPipe, &Now, sizeof Now) != sizeof Now)
      std::_Exit(3);
    MainForm->close();
  });
  Timer->start(5);
}
Q_COREAPP_STARTUP_FUNCTION(StartCloser)

/// Milliseconds from the window closing to the end of a fresh program; -1 on failure.
double ExitOnce(char *Argv0, TExitCase Case) {
  std::fflush(stdout); // the child must not print the parent's buffered lines again
  int Fds[2];
  if (pipe(Fds) != 0)
    return -1;
  const pid_t Pid = fork();
  if (Pid < 0)
    return -1;
  if (Pid == 0) {
    close(Fds[0]);
    ExitPipe = Fds[1];
    ExitMode = Case;
    char *Argv[] = {Argv0, nullptr};
    int Argc = 1;
    int Status;
    if (Case != TExitCase::NoInstrument) {
      SimPlatform Platform(1);
      ExitSim = &Platform;
      Status = RunZOLCFG(Argc, Argv, Platform, "Rw8 ZOLCFG gui_bench", QString());
    } else {
      HidapiPlatform Platform;
      Status = RunZOLCFG(Argc, Argv, Platform, "Rw8 ZOLCFG gui_bench", QString());
    }
    std::exit(Status); // as main's return: static objects go too
  }
  close(Fds[1]);
  double Closed = 0;
  const bool Got = read(Fds[0], &Closed, sizeof Closed) == sizeof Closed;
  close(Fds[0]);
  int Status = 0;
  waitpid(Pid, &Status, 0);
  const double Ended = Seconds(CLOCK_MONOTONIC);
  if (!Got || !WIFEXITED(Status) || WEXITSTATUS(Status) != 0)
    return -1;
  return 1000.0 * (Ended - Closed);
}

int RunExit(char *Argv0, int Runs) {
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
      const double m = ExitOnce(Argv0, c.Case);
      if (m < 0) {
        std::fprintf(stderr, "run %d failed\n", i);
        return 1;
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
  if (argc > 1 && std::strcmp(argv[1], "exit") == 0)
    return RunExit(argv[0], argc > 2 ? std::max(1, std::atoi(argv[2])) : 5);
  const double Span = argc > 1 ? std::atof(argv[1]) : 10.0;
  int QtArgc = 1;
  return RunCpu(QtArgc, argv, Span > 0 ? Span : 10.0);
}
