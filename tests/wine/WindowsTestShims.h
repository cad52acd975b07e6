// Included before every core test of the Windows build (tests/CMakeLists.txt): the few POSIX
// calls the shared tests make, with the meaning they have on Windows.
#pragma once

#include <csignal>
#include <cstdio>
#include <cstdlib>

/// Any Windows thread may go to idle priority and come back; on Linux only a privileged one may,
/// which the tests ask as "is the effective user root".
inline int geteuid() {
  return 0;
}

/// The environment as POSIX sets it (the time zone tests set TZ).
inline int setenv(const char *Name, const char *Value, int) {
  return _putenv_s(Name, Value);
}
inline int unsetenv(const char *Name) {
  return _putenv_s(Name, "");
}

namespace zol::wine_shims {

/// abort() ends a Windows program silently with status 3; this says so, after the test's name.
inline void SayAbort(int) {
  std::fputs("\nabort() was called\n", stderr);
  std::_Exit(3);
}

/// Output to a file is fully buffered on Windows and lost when the program aborts or crashes:
/// unbuffered, the log shows the test that was running. So a test program that started always
/// prints (scripts/wine-run relies on it).
inline const bool kOutputUnbuffered = [] {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  std::signal(SIGABRT, SayAbort);
  return true;
}();

} // namespace zol::wine_shims
