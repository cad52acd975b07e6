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
  static const bool can = [] {
    if (geteuid() == 0)
      return true;
    rlimit limit{};
    return getrlimit(RLIMIT_NICE, &limit) == 0 &&
           (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= 20);
  }();
  return can;
}

} // namespace

bool SetCurrentThreadPriority(TThreadPriority priority) {
#ifdef SCHED_IDLE
  if (priority == TThreadPriority::Idle && !CanLeaveIdle())
    return false;
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
