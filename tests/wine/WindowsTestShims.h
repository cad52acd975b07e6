// Included before every core test of the Windows build (tests/CMakeLists.txt): the few POSIX
// calls the shared tests make, with the meaning they have on Windows.
#pragma once

/// Any Windows thread may go to idle priority and come back; on Linux only a privileged one may,
/// which the tests ask as "is the effective user root".
inline int geteuid() {
  return 0;
}
