#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace zol {

/// What zolctl needs of the operating system, kept in one place: signals, the terminal, the
/// local clock.

/// Watches SIGINT and SIGTERM (Ctrl-C and Ctrl-Break on Windows) while it lives: each calls
/// OnSignal with 130 or 143 on the watcher's own thread, where it may lock and notify. SIGPIPE is
/// ignored (writes are checked). A blocking system call is interrupted, not restarted.
class TSignalWatch {
public:
  explicit TSignalWatch(std::function<void(int Status)> OnSignal);
  ~TSignalWatch(); ///< Restores the default handlers and joins the watcher.
  TSignalWatch(const TSignalWatch &) = delete;
  TSignalWatch &operator=(const TSignalWatch &) = delete;

private:
  std::function<void(int)> OnSignal;
  std::thread Watcher;
};

/// True when standard input is a terminal.
bool StdinIsTerminal();

/// Reads one line from standard input (without its line end), echo off when it is a terminal,
/// Prompt then written to standard error. False at the end of input or on an error.
bool ReadSecretLine(std::string &Line, const char *Prompt);

/// "2026-12-08T05:01:02.345+01:00": ISO 8601, local time with milliseconds and offset.
std::string LocalIsoTime(std::chrono::system_clock::time_point When);

/// Ends the process at once with Status (no destructors): the last resort of an interruption.
[[noreturn]] void HardExit(int Status);

} // namespace zol
