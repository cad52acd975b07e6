#pragma once

#include <QString>

#include <fstream>
#include <functional>
#include <memory>
#include <string>

class QWidget;

namespace zol {

class HidPlatform;
class TracePlatform;
class TMainForm;
class TAboutBox;
class TSelectForm;
class TPassForm;
class TBackTraceForm;
class TErrorForm;

/// The program's six windows, created in their fixed order (the main window first, which creates
/// the device component) and reached through the program-wide references. Destroyed in the
/// written shutdown order: the instrument's worker stops first, so that no event is raised
/// while the windows go; then the windows, last created first.
class TProgramWindows {
public:
  explicit TProgramWindows(HidPlatform &Platform);
  ~TProgramWindows();
  TProgramWindows(const TProgramWindows &) = delete;
  TProgramWindows &operator=(const TProgramWindows &) = delete;

private:
  std::unique_ptr<TMainForm> Main;
  std::unique_ptr<TAboutBox> About;
  std::unique_ptr<TSelectForm> Select;
  std::unique_ptr<TPassForm> Pass;
  std::unique_ptr<TBackTraceForm> BackTrace;
  std::unique_ptr<TErrorForm> Error;
};

/// The wire trace the environment asks for (ZOLCFG_TRACE=FILE): FILE emptied and every frame
/// the program writes or reads put there as a line, as zolctl's --trace prints it (passwords
/// masked), flushed line by line. Without a path, or when FILE cannot be opened (said on the
/// standard error, after Program), the program runs on Platform itself, without a trace.
class TProgramTrace {
public:
  TProgramTrace(HidPlatform &Platform, const char *Path, const std::string &Program);
  ~TProgramTrace();
  TProgramTrace(const TProgramTrace &) = delete;
  TProgramTrace &operator=(const TProgramTrace &) = delete;

  /// The platform the windows use: the trace over Platform, or Platform.
  HidPlatform &Platform() const;
  bool Tracing() const { return Trace != nullptr; }

private:
  HidPlatform &Inner;
  std::ofstream File;
  std::unique_ptr<TracePlatform> Trace;
};

/// The text the system shows for the program (task bar, window lists).
QString ApplicationTitle();

/// Sets up the application object as the program does before creating its windows: the
/// application's title (which no window caption gets appended) and the message box of a worker
/// that cannot start.
void PrepareApplication();

/// The program: takes the single-instance lock LockName (when another copy holds it, asks that
/// copy to bring its main window to the front, says so on the standard error and returns 0, or 1
/// when that copy does not answer in time; it shows no window of its own), creates the six windows
/// in their fixed order over Platform, shows the main window and runs the message loop until it
/// closes, then releases the lock. TitleSuffix is appended to the main window's caption ("" for the
/// real program). Of the command line it reads only --maker, which shows the maker's tab, and
/// --no-journal, which keeps no set-up journal (JournalRequested); argv[0]
/// is the only argument the toolkit sees. Beside, when given, makes a window shown beside the main
/// window (given it, once shown) and destroyed before the windows go. The language follows the
/// user's environment. Returns the exit code.
int RunZOLCFG(int &Argc, char **Argv, HidPlatform &Platform, const char *LockName,
              const QString &TitleSuffix,
              const std::function<std::unique_ptr<QWidget>(QWidget &Main)> &Beside = {});

/// Brings Window to the front as asked by a later copy of the program: shown, not minimised,
/// raised and active; a dialog open over it is raised above it.
void BringToFront(QWidget &Window);

/// Shows (or hides again) the main window's maker's tab, hidden from the user by default.
void ShowMakerTab(bool Shown);
/// Whether the command line asks for the maker's tab (--maker).
bool MakerRequested(int Argc, char **Argv);
/// Whether the set-up journal is kept: not when the command line says --no-journal, nor when
/// ZOLCFG_NO_JOURNAL is set to anything but "" or "0".
bool JournalRequested(int Argc, char **Argv);

} // namespace zol
