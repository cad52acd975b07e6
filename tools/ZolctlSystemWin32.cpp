#include "tools/ZolctlSystem.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <iostream>

#include <io.h>
#include <windows.h>

// zolctl's Windows side: console control events, input without echo, local time.
namespace zol {

namespace {
std::function<void(int)> *WinCallback = nullptr; // set while a TSignalWatch lives

BOOL WINAPI OnConsoleEvent(DWORD Event) {
  // Windows runs this on a thread of its own: it may lock and notify.
  if (!WinCallback)
    return FALSE;
  (*WinCallback)(Event == CTRL_C_EVENT ? 130 : 143);
  return TRUE;
}
} // namespace

TSignalWatch::TSignalWatch(std::function<void(int)> OnSignal_) : OnSignal(std::move(OnSignal_)) {
  WinCallback = &OnSignal;
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

TSignalWatch::~TSignalWatch() {
  SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
  WinCallback = nullptr;
}

bool StdinIsTerminal() {
  return _isatty(_fileno(stdin)) != 0;
}

bool ReadSecretLine(std::string &Line, const char *Prompt) {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  const bool console = GetConsoleMode(in, &mode) != 0;
  if (console) {
    std::fputs(Prompt, stderr);
    SetConsoleMode(in, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
  }
  const bool ok = static_cast<bool>(std::getline(std::cin, Line));
  if (console) {
    SetConsoleMode(in, mode);
    std::fputs("\n", stderr);
  }
  if (!Line.empty() && Line.back() == '\r')
    Line.pop_back();
  return ok;
}

std::string LocalIsoTime(std::chrono::system_clock::time_point When) {
  const std::time_t t = std::chrono::system_clock::to_time_t(When);
  std::tm local{};
  localtime_s(&local, &t);
  char date[40];
  std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(When.time_since_epoch()) % 1000;
  char out[64];
  std::snprintf(out, sizeof out, "%s.%03d", date, static_cast<int>(ms.count()));
  return out;
}

void HardExit(int Status) {
  _exit(Status);
}

} // namespace zol
