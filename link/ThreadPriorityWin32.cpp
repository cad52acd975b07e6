#include "link/ThreadPriority.h"

#include <windows.h>

namespace zol {

bool SetCurrentThreadPriority(TThreadPriority priority) {
  const int value =
      priority == TThreadPriority::Idle ? THREAD_PRIORITY_IDLE : THREAD_PRIORITY_NORMAL;
  return SetThreadPriority(GetCurrentThread(), value) != 0;
}

} // namespace zol
