#include "tools/ZolctlSystem.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <iostream>

#include <io.h>
#include <system_error>
#include <windows.h>

// zolctl's Windows side: console control events, input without echo, local time.
namespace zol {

namespace {
std::function<void(int)> *WinCallback = nullptr; // set while a TSignalWatch lives
std::atomic<int> Caught{0};

BOOL WINAPI OnConsoleEvent(DWORD Event) {
  // Windows runs this on a thread of its own: it may lock and notify.
  if (!WinCallback)
    return FALSE;
  const int status = Event == CTRL_C_EVENT ? 130 : 143;
  Caught.store(status);
  (*WinCallback)(status);
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

void ReserveStandardDescriptors() {
  // The C runtime gives a process started without standard handles descriptors that fail; the
  // system's own handles are not taken by the files the program opens.
}

int CaughtSignalStatus() {
  return Caught.load();
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

void HardExit(int Status) {
  _exit(Status);
}

namespace {
/// UTF-8 to UTF-16; false when Text is not valid UTF-8.
bool Widen(const std::string &Text, std::wstring &Wide) {
  Wide.clear();
  if (Text.empty())
    return true;
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, Text.data(),
                                    static_cast<int>(Text.size()), nullptr, 0);
  if (n <= 0)
    return false;
  Wide.resize(static_cast<std::size_t>(n));
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, Text.data(), static_cast<int>(Text.size()),
                      Wide.data(), n);
  return true;
}
} // namespace

TFileLock::~TFileLock() {
  if (Handle == -1)
    return;
  const HANDLE h = reinterpret_cast<HANDLE>(Handle);
  OVERLAPPED at{};
  UnlockFileEx(h, 0, 1, 0, &at);
  CloseHandle(h);
}

TFileLock::TTake TFileLock::Take(const std::string &Path, std::chrono::milliseconds Wait,
                                 const std::function<bool()> &Stop, std::string &Reason) {
  const std::string lockPath = Path + ".lock";
  std::wstring name;
  if (!Widen(lockPath, name)) {
    Reason = lockPath + ": not a valid file name";
    return TTake::Failed;
  }
  const HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    Reason = lockPath + ": " + std::system_category().message(static_cast<int>(GetLastError()));
    return TTake::Failed;
  }
  const auto end = std::chrono::steady_clock::now() + Wait;
  for (;;) {
    OVERLAPPED at{};
    if (LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
      Handle = reinterpret_cast<std::intptr_t>(h);
      LockPath = lockPath;
      return TTake::Taken;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING) {
      CloseHandle(h);
      Reason = lockPath + ": " + std::system_category().message(static_cast<int>(error));
      return TTake::Failed;
    }
    const bool stop = Stop && Stop();
    if (stop || std::chrono::steady_clock::now() >= end) {
      CloseHandle(h);
      return stop ? TTake::Stopped : TTake::Busy;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

} // namespace zol
