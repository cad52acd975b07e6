#include "link/ThreadPriority.h"

#include <windows.h>

namespace zol {

bool SetCurrentThreadPriority(TThreadPriority Priority) {
  const int Value =
      Priority == TThreadPriority::Idle ? THREAD_PRIORITY_IDLE : THREAD_PRIORITY_NORMAL;
  return SetThreadPriority(GetCurrentThread(), Value) != 0;
}

} // namespace zol
