#include "windows/ZOLCFG.h"

#include <QApplication>
#include <QMessageBox>
#include <QTabWidget>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "link/TracePlatform.h"
#include "link/USB.h"
#include "ui_Main.h"
#include "windows/About.h"
#include "windows/BackTrace.h"
#include "windows/Error.h"
#include "windows/Journal.h"
#include "windows/Language.h"
#include "windows/Main.h"
#include "windows/Pass.h"
#include "windows/Select.h"
#include "windows/SingleInstance.h"
#include "windows/TZOL.h"

namespace zol {

namespace {

/// The application object: an exception that escapes a window's handler is shown to the user in
/// the error box of every other error (ShowErrorMessage), and the program goes on.
class TApplication final : public QApplication {
public:
  using QApplication::QApplication;

  bool notify(QObject *Receiver, QEvent *Event) override {
    try {
      return QApplication::notify(Receiver, Event);
    } catch (const std::exception &Error) {
      ShowErrorMessage(QApplication::activeWindow(), QString::fromUtf8(Error.what()));
    } catch (...) {
      ShowErrorMessage(QApplication::activeWindow(), Tr("Erreur inconnue", "Unknown error"));
    }
    return false;
  }
};

/// The program's name as started ("zolcfg", "zolcfg-demo"), for its messages.
std::string ProgramName(int Argc, char **Argv) {
  if (Argc < 1 || Argv == nullptr || Argv[0] == nullptr || Argv[0][0] == '\0')
    return "zolcfg";
  const char *Slash = std::strrchr(Argv[0], '/');
  return Slash != nullptr && Slash[1] != '\0' ? Slash + 1 : Argv[0];
}

} // namespace

TProgramTrace::TProgramTrace(HidPlatform &Platform, const char *Path, const std::string &Program)
    : Inner(Platform) {
  if (Path == nullptr || Path[0] == '\0')
    return;
  errno = 0;
  File.open(Path, std::ios::out | std::ios::trunc);
  if (!File) {
    const int Why = errno;
    std::fprintf(stderr, "%s: cannot write the trace to %s (%s); running without a trace\n",
                 Program.c_str(), Path, Why != 0 ? std::strerror(Why) : "cannot open the file");
    return;
  }
  // The configurator never shows the password bytes.
  Trace = std::make_unique<TracePlatform>(Inner, &File, false);
}

TProgramTrace::~TProgramTrace() = default;

HidPlatform &TProgramTrace::Platform() const {
  if (Trace)
    return *Trace;
  return Inner;
}

TProgramWindows::TProgramWindows(HidPlatform &Platform) {
  Main = std::make_unique<TMainForm>(Platform);
  MainForm = Main.get();
  About = std::make_unique<TAboutBox>();
  AboutBox = About.get();
  Select = std::make_unique<TSelectForm>();
  SelectForm = Select.get();
  // The dialogs reach the instrument through the main window's device component.
  Pass = std::make_unique<TPassForm>(Main->ZOL);
  PassForm = Pass.get();
  BackTrace = std::make_unique<TBackTraceForm>(Main->ZOL);
  BackTraceForm = BackTrace.get();
  Error = std::make_unique<TErrorForm>();
  ErrorForm = Error.get();
}

TProgramWindows::~TProgramWindows() {
  if (Main && Main->ZOL != nullptr)
    Main->ZOL->Close();
  ErrorForm = nullptr;
  Error.reset();
  BackTraceForm = nullptr;
  BackTrace.reset();
  PassForm = nullptr;
  Pass.reset();
  SelectForm = nullptr;
  Select.reset();
  AboutBox = nullptr;
  About.reset();
  MainForm = nullptr;
  Main.reset();
}

QString ApplicationTitle() {
  return Tr("Utilitaire de configuration RW8", "RW8 configuration utility");
}

bool MakerRequested(int Argc, char **Argv) {
  for (int i = 1; i < Argc && Argv != nullptr; ++i)
    if (Argv[i] != nullptr && std::strcmp(Argv[i], "--maker") == 0)
      return true;
  return false;
}

bool JournalRequested(int Argc, char **Argv) {
  for (int i = 1; i < Argc && Argv != nullptr; ++i)
    if (Argv[i] != nullptr && std::strcmp(Argv[i], "--no-journal") == 0)
      return false;
  const char *Off = std::getenv("ZOLCFG_NO_JOURNAL");
  return Off == nullptr || Off[0] == '\0' || std::strcmp(Off, "0") == 0;
}

void ShowMakerTab(bool Shown) {
  if (MainForm == nullptr)
    return;
  QTabWidget *Tabs = MainForm->Form()->TabAL1;
  const int Maker = Tabs->indexOf(MainForm->Form()->TabRW8);
  // Off the page before it goes: hidden, the page control would move to its neighbour.
  if (!Shown && Tabs->currentIndex() == Maker)
    Tabs->setCurrentIndex(0);
  Tabs->setTabVisible(Maker, Shown);
}

void PrepareApplication() {
  // The title is the application's name, not its display name: on X11 Qt appends a display name
  // to every window's caption ("Configurateur ZOLCFG RW8 — ..."), while the name only stands in
  // for an empty caption (the message boxes without a title).
  QCoreApplication::setApplicationName(ApplicationTitle());
  // The link cannot work without its worker: say so, as the program always has.
  SetFatalMessageHook([](const std::string &Text, const std::string &Title) {
    QMessageBox::critical(nullptr, QString::fromStdString(Title), QString::fromStdString(Text),
                          QMessageBox::Ok);
  });
}

void BringToFront(QWidget &Window) {
  Window.showNormal();
  Window.raise();
  Window.activateWindow();
  // A dialog open over the window is where the user goes on.
  QWidget *Modal = QApplication::activeModalWidget();
  if (Modal != nullptr && Modal != &Window) {
    Modal->raise();
    Modal->activateWindow();
  }
}

int RunZOLCFG(int &Argc, char **Argv, HidPlatform &Platform, const char *LockName,
              const QString &TitleSuffix,
              const std::function<std::unique_ptr<QWidget>(QWidget &Main)> &Beside) {
  const std::string Program = ProgramName(Argc, Argv);
  // Before anything else: a second copy brings the running one to the front and leaves.
  TSingleInstance Lock(LockName);
  if (!Lock.Notice().empty())
    std::fprintf(stderr, "%s: %s\n", Program.c_str(), Lock.Notice().c_str());
  if (!Lock.Acquired() && !Lock.Problem().empty()) {
    // Not another copy: a lock that cannot be trusted. Say why instead of leaving without a word.
    std::fprintf(stderr, "%s: %s\n", Program.c_str(), Lock.Problem().c_str());
    int BoxArgc = 1;
    char BoxName[] = "zolcfg";
    char *BoxArgv[] = {BoxName, nullptr};
    QApplication Box(BoxArgc, BoxArgv);
    QMessageBox::critical(nullptr, ApplicationTitle(), QString::fromStdString(Lock.Problem()));
    return 1;
  }
  if (!Lock.Acquired()) {
    // The socket needs an application object, not a display.
    int CoreArgc = 1;
    char CoreName[] = "zolcfg";
    char *CoreArgv[] = {CoreName, nullptr};
    std::unique_ptr<QCoreApplication> Core;
    if (QCoreApplication::instance() == nullptr)
      Core = std::make_unique<QCoreApplication>(CoreArgc, CoreArgv);
    if (AskRunningCopyToShow(Lock)) {
      std::fprintf(stderr,
                   "%s: the configurator is already running; its window was brought to the "
                   "front\n",
                   Program.c_str());
      return 0;
    }
    std::fprintf(stderr,
                 "%s: another copy holds the single-instance lock but did not answer within %d "
                 "ms; this one does not start\n",
                 Program.c_str(), ShowAnswerTimeoutMs);
    return 1;
  }

  const bool Maker = MakerRequested(Argc, Argv);
  const bool Journal = JournalRequested(Argc, Argv);
  // The toolkit sees the program's name only.
  static char DefaultName[] = "zolcfg";
  char *QtArgv[] = {Argc > 0 && Argv != nullptr && Argv[0] != nullptr ? Argv[0] : DefaultName,
                    nullptr};
  int QtArgc = 1;
  TApplication App(QtArgc, QtArgv);
  InstallLanguage(App);
  PrepareApplication();

  // Opened once the lock is ours (a second copy leaves the running one's trace alone), and
  // closed after the worker has stopped.
  const TProgramTrace Trace(Platform, std::getenv("ZOLCFG_TRACE"), Program);

  // Every window exists before the main window is first shown: showing it scans, which may
  // open the selection dialog, and the instrument's events reach the password and history
  // windows.
  {
    TProgramWindows Windows(Trace.Platform());
    // Later copies reach this one through the socket beside the lock; from before the
    // main window is first shown (the selection dialog may wait there), and gone before the
    // windows go.
    const TInstanceServer Server(Lock, []() {
      if (MainForm != nullptr)
        BringToFront(*MainForm);
    });
    if (!Server.Listening())
      std::fprintf(stderr, "%s: a later copy will not bring this one to the front: %s\n",
                   Program.c_str(), Server.Problem().toLocal8Bit().constData());
    MainForm->ZOL->Journal->SetEnabled(Journal);
    MainForm->show();
    if (!TitleSuffix.isEmpty() && !MainForm->windowTitle().endsWith(TitleSuffix))
      MainForm->setWindowTitle(MainForm->windowTitle() + TitleSuffix);
    if (Maker)
      ShowMakerTab(true);
    std::unique_ptr<QWidget> Companion = Beside ? Beside(*MainForm) : nullptr;
    if (Companion)
      Companion->show();
    QApplication::exec();
  } // the worker is stopped and the windows are gone before the lock is let go

  SetFatalMessageHook(nullptr);
  Lock.Release();
  return 0;
}

} // namespace zol
