#include "link/ThreadPriority.h"

#include <pthread.h>
#include <sched.h>

namespace zol {

bool SetCurrentThreadPriority(TThreadPriority priority) {
#ifdef SCHED_IDLE
  sched_param param{};
  param.sched_priority = 0;
  const int policy = priority == TThreadPriority::Idle ? SCHED_IDLE : SCHED_OTHER;
  return pthread_setschedparam(pthread_self(), policy, &param) == 0;
#else
  (void)priority;
  return false;
#endif
}

} // namespace zol
