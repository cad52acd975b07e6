#pragma once

#include <QString>

namespace zol {

class HidPlatform;

/// The text the system shows for the program (task bar, window lists).
QString ApplicationTitle();

/// The program: takes the single-instance lock LockName (when another copy holds it, returns 0
/// at once and shows nothing), creates the six windows in their fixed order over Platform,
/// shows the main window and runs the message loop until it closes, then releases the lock.
/// TitleSuffix is appended to the main window's caption ("" for the real program). Reads no
/// command line: argv[0] is the only argument the toolkit sees. Returns the exit code, 0.
int RunZOLCFG(int &argc, char **argv, HidPlatform &Platform, const char *LockName,
              const QString &TitleSuffix);

} // namespace zol
