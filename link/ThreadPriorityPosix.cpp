#include "link/ThreadPriority.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

namespace zol {

namespace {

/// Leaving the idle class again needs the right to raise priority (root, or a nice limit that
/// allows nice 0). Without it a thread once idle would stay idle, and a busy desktop could starve
/// the link: then the worker never goes idle.
bool CanLeaveIdle() {
  static const bool Can = [] {
    if (geteuid() == 0)
      return true;
    rlimit Limit{};
    return getrlimit(RLIMIT_NICE, &Limit) == 0 &&
           (Limit.rlim_cur == RLIM_INFINITY || Limit.rlim_cur >= 20);
  }();
  return Can;
}

} // namespace

bool SetCurrentThreadPriority(TThreadPriority Priority) {
#ifdef SCHED_IDLE
  if (Priority == TThreadPriority::Idle && !CanLeaveIdle())
    return false;
  sched_param Param{};
  Param.sched_priority = 0;
  const int Policy = Priority == TThreadPriority::Idle ? SCHED_IDLE : SCHED_OTHER;
  return pthread_setschedparam(pthread_self(), Policy, &Param) == 0;
#else
  (void)priority;
  return false;
#endif
}

} // namespace zol
