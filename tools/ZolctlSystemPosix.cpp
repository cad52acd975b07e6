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
  const auto Status = static_cast<unsigned char>(128 + Signal);
  Caught.store(Status);
  const int Saved = errno;
  [[maybe_unused]] const ssize_t n = write(WakePipe[1], &Status, 1);
  errno = Saved;
}

void Handle(int Signal, void (*Handler)(int)) {
  struct sigaction Action {};
  Action.sa_handler = Handler;
  sigemptyset(&Action.sa_mask);
  Action.sa_flags = 0; // no SA_RESTART: a blocking read returns EINTR
  sigaction(Signal, &Action, nullptr);
}
} // namespace

void ReserveStandardDescriptors() {
  for (int Fd = 0; Fd <= 2; ++Fd) {
    if (fcntl(Fd, F_GETFD) != -1 || errno != EBADF)
      continue;
    const int Null = open("/dev/null", O_RDWR);
    if (Null >= 0 && Null != Fd) {
      dup2(Null, Fd);
      close(Null);
    }
  }
}

TSignalWatch::TSignalWatch(std::function<void(int)> Handler) : OnSignal(std::move(Handler)) {
  if (pipe(WakePipe) != 0)
    return;
  fcntl(WakePipe[0], F_SETFD, FD_CLOEXEC);
  fcntl(WakePipe[1], F_SETFD, FD_CLOEXEC);
  Watcher = std::thread([this] {
    // The signals go to another thread, so that a blocking read there (the password prompt)
    // ends with EINTR.
    sigset_t Watched;
    sigemptyset(&Watched);
    for (int Signal : kWatched)
      sigaddset(&Watched, Signal);
    pthread_sigmask(SIG_BLOCK, &Watched, nullptr);
    for (;;) {
      unsigned char Status = 0;
      const ssize_t n = read(WakePipe[0], &Status, 1);
      if (n < 0 && errno == EINTR)
        continue;
      if (n != 1 || Status == 0)
        return;
      OnSignal(Status);
    }
  });
  for (int Signal : kWatched)
    Handle(Signal, OnPosixSignal);
  Handle(SIGPIPE, SIG_IGN);
}

TSignalWatch::~TSignalWatch() {
  if (!Watcher.joinable())
    return;
  for (int Signal : kWatched)
    Handle(Signal, SIG_DFL);
  const unsigned char Stop = 0;
  [[maybe_unused]] const ssize_t n = write(WakePipe[1], &Stop, 1);
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
  termios Saved{};
  const bool Terminal = tcgetattr(STDIN_FILENO, &Saved) == 0;
  if (Terminal) {
    termios Quiet = Saved;
    Quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    EchoSettings = Saved;
    EchoOff.store(true);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &Quiet);
    // The prompt once the echo is off: what is typed after it is neither shown nor flushed.
    std::fputs(Prompt, stderr);
    std::fflush(stderr);
  }
  // read(2) itself: an interruption ends it with EINTR (iostreams would retry).
  Line.clear();
  bool Ok = false;
  for (;;) {
    char c = 0;
    const ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n <= 0) {
      Ok = !Line.empty() && n == 0;
      break;
    }
    if (c == '\n') {
      Ok = true;
      break;
    }
    if (Line.size() < 4096)
      Line += c;
  }
  if (Terminal) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &Saved);
    EchoOff.store(false);
    std::fputs("\n", stderr);
  }
  if (!Line.empty() && Line.back() == '\r')
    Line.pop_back();
  return Ok;
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
  const std::string Name = Path + ".lock";
  const auto End = std::chrono::steady_clock::now() + Wait;
  for (;;) {
    const int Fd = open(Name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (Fd < 0) {
      Reason = Name + ": " + std::strerror(errno);
      return TTake::Failed;
    }
    if (flock(Fd, LOCK_EX | LOCK_NB) == 0) {
      struct stat Held {
      }, Named{};
      if (fstat(Fd, &Held) == 0 && stat(Name.c_str(), &Named) == 0 && Held.st_dev == Named.st_dev &&
          Held.st_ino == Named.st_ino) {
        Handle = Fd;
        LockPath = Name;
        return TTake::Taken;
      }
      close(Fd); // its last holder removed it meanwhile
      continue;
    }
    const int Error = errno;
    close(Fd);
    if (Error != EWOULDBLOCK && Error != EINTR) {
      Reason = Name + ": " + std::strerror(Error);
      return TTake::Failed;
    }
    if (Stop && Stop())
      return TTake::Stopped;
    if (std::chrono::steady_clock::now() >= End)
      return TTake::Busy;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

} // namespace zol
