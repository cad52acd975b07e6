#include "tools/ZolctlSystem.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

// zolctl's POSIX side: signals through a self-pipe, terminal input without echo, local time.
namespace zol {

namespace {
int WakePipe[2] = {-1, -1}; // the handler writes the signal's status; 0 ends the watcher

constexpr int kWatched[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// The terminal's settings while ReadSecretLine has turned its echo off, for HardExit.
termios EchoSettings{};
std::atomic<bool> EchoOff{false};

std::atomic<int> Caught{0};
static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");

extern "C" void OnPosixSignal(int Signal) {
  const auto status = static_cast<unsigned char>(128 + Signal);
  Caught.store(status);
  const int saved = errno;
  [[maybe_unused]] const ssize_t n = write(WakePipe[1], &status, 1);
  errno = saved;
}

void Handle(int Signal, void (*Handler)(int)) {
  struct sigaction action {};
  action.sa_handler = Handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0; // no SA_RESTART: a blocking read returns EINTR
  sigaction(Signal, &action, nullptr);
}
} // namespace

void ReserveStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
      continue;
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0 && null != fd) {
      dup2(null, fd);
      close(null);
    }
  }
}

TSignalWatch::TSignalWatch(std::function<void(int)> OnSignal_) : OnSignal(std::move(OnSignal_)) {
  if (pipe(WakePipe) != 0)
    return;
  fcntl(WakePipe[0], F_SETFD, FD_CLOEXEC);
  fcntl(WakePipe[1], F_SETFD, FD_CLOEXEC);
  Watcher = std::thread([this] {
    // The signals go to another thread, so that a blocking read there (the password prompt)
    // ends with EINTR.
    sigset_t watched;
    sigemptyset(&watched);
    for (int signal : kWatched)
      sigaddset(&watched, signal);
    pthread_sigmask(SIG_BLOCK, &watched, nullptr);
    for (;;) {
      unsigned char status = 0;
      const ssize_t n = read(WakePipe[0], &status, 1);
      if (n < 0 && errno == EINTR)
        continue;
      if (n != 1 || status == 0)
        return;
      OnSignal(status);
    }
  });
  for (int signal : kWatched)
    Handle(signal, OnPosixSignal);
  Handle(SIGPIPE, SIG_IGN);
}

TSignalWatch::~TSignalWatch() {
  if (!Watcher.joinable())
    return;
  for (int signal : kWatched)
    Handle(signal, SIG_DFL);
  const unsigned char stop = 0;
  [[maybe_unused]] const ssize_t n = write(WakePipe[1], &stop, 1);
  Watcher.join();
  close(WakePipe[0]);
  close(WakePipe[1]);
  WakePipe[0] = WakePipe[1] = -1;
}

int CaughtSignalStatus() {
  return Caught.load();
}

bool StdinIsTerminal() {
  return isatty(STDIN_FILENO) != 0;
}

bool ReadSecretLine(std::string &Line, const char *Prompt) {
  termios saved{};
  const bool terminal = tcgetattr(STDIN_FILENO, &saved) == 0;
  if (terminal) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    EchoSettings = saved;
    EchoOff.store(true);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    // The prompt once the echo is off: what is typed after it is neither shown nor flushed.
    std::fputs(Prompt, stderr);
    std::fflush(stderr);
  }
  // read(2) itself: an interruption ends it with EINTR (iostreams would retry).
  Line.clear();
  bool ok = false;
  for (;;) {
    char c = 0;
    const ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n <= 0) {
      ok = !Line.empty() && n == 0;
      break;
    }
    if (c == '\n') {
      ok = true;
      break;
    }
    if (Line.size() < 4096)
      Line += c;
  }
  if (terminal) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    EchoOff.store(false);
    std::fputs("\n", stderr);
  }
  if (!Line.empty() && Line.back() == '\r')
    Line.pop_back();
  return ok;
}

void HardExit(int Status) {
  if (EchoOff.load())
    tcsetattr(STDIN_FILENO, TCSANOW, &EchoSettings);
  _exit(Status);
}

TFileLock::~TFileLock() {
  if (Handle < 0)
    return;
  // Removed while still held: whoever opened it meanwhile finds it gone once it has the lock,
  // and opens it again.
  unlink(LockPath.c_str());
  close(static_cast<int>(Handle));
}

TFileLock::TTake TFileLock::Take(const std::string &Path, std::chrono::milliseconds Wait,
                                 const std::function<bool()> &Stop, std::string &Reason) {
  const std::string lockPath = Path + ".lock";
  const auto end = std::chrono::steady_clock::now() + Wait;
  for (;;) {
    const int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
      Reason = lockPath + ": " + std::strerror(errno);
      return TTake::Failed;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
      struct stat held {
      }, named{};
      if (fstat(fd, &held) == 0 && stat(lockPath.c_str(), &named) == 0 &&
          held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
        Handle = fd;
        LockPath = lockPath;
        return TTake::Taken;
      }
      close(fd); // its last holder removed it meanwhile
      continue;
    }
    const int error = errno;
    close(fd);
    if (error != EWOULDBLOCK && error != EINTR) {
      Reason = lockPath + ": " + std::strerror(error);
      return TTake::Failed;
    }
    if (Stop && Stop())
      return TTake::Stopped;
    if (std::chrono::steady_clock::now() >= end)
      return TTake::Busy;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

} // namespace zol
