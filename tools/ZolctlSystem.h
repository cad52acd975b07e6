#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <thread>

namespace zol {

/// What zolctl needs of the operating system, kept in one place: signals, the terminal, the
/// local clock.

/// Gives /dev/null to any of the standard descriptors 0, 1 and 2 that is closed, so that no file
/// the program opens later takes their place. First thing in main.
void ReserveStandardDescriptors();

/// Watches SIGINT, SIGTERM, SIGHUP and SIGQUIT (Ctrl-C, Ctrl-Break and the console's closing on
/// Windows) while it lives: each calls OnSignal with 128 + the signal's number (130, 143, 129,
/// 131) on the watcher's own thread, where it may lock and notify. SIGPIPE is ignored (writes are
/// checked). A blocking system call of the main thread is interrupted, not restarted.
class TSignalWatch {
public:
  explicit TSignalWatch(std::function<void(int Status)> Handler);
  ~TSignalWatch(); ///< Restores the default handlers and joins the watcher.
  TSignalWatch(const TSignalWatch &) = delete;
  TSignalWatch &operator=(const TSignalWatch &) = delete;

private:
  std::function<void(int)> OnSignal;
  std::thread Watcher;
};

/// 128 + the number of the last signal TSignalWatch caught, set at once by its handler (before
/// the watcher has run OnSignal), else 0.
int CaughtSignalStatus();

/// True when standard input is a terminal.
bool StdinIsTerminal();

/// Reads one line from standard input (without its line end), echo off when it is a terminal,
/// Prompt then written to standard error. False at the end of input or on an error.
bool ReadSecretLine(std::string &Line, const char *Prompt);

/// Ends the process at once with Status (no destructors): the last resort of an interruption.
/// A terminal left without echo by ReadSecretLine gets it back first.
[[noreturn]] void HardExit(int Status);

/// An exclusive lock between processes on a file kept beside Path (Path + ".lock"), held while
/// this object lives: flock on POSIX, LockFileEx on Windows.
class TFileLock {
public:
  enum class TTake { Taken, Busy, Failed, Stopped };
  TFileLock() = default;
  ~TFileLock();
  TFileLock(const TFileLock &) = delete;
  TFileLock &operator=(const TFileLock &) = delete;
  /// Takes the lock, trying again every 50 ms for up to Wait while another process holds it;
  /// Stop, asked between tries, ends the wait. Failed: the lock file cannot be made (Reason).
  TTake Take(const std::string &Path, std::chrono::milliseconds Wait,
             const std::function<bool()> &Stop, std::string &Reason);

private:
  std::intptr_t Handle = -1;
  std::string LockPath;
};

} // namespace zol
