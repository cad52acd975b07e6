#include "tools/ZolctlSystem.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <iostream>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

// zolctl's POSIX side: signals through a self-pipe, terminal input without echo, local time.
namespace zol {

namespace {
int WakePipe[2] = {-1, -1}; // the handler writes the signal's status; 0 ends the watcher

extern "C" void OnPosixSignal(int Signal) {
  const unsigned char status = Signal == SIGINT ? 130 : 143;
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

TSignalWatch::TSignalWatch(std::function<void(int)> OnSignal_) : OnSignal(std::move(OnSignal_)) {
  if (pipe(WakePipe) != 0)
    return;
  fcntl(WakePipe[0], F_SETFD, FD_CLOEXEC);
  fcntl(WakePipe[1], F_SETFD, FD_CLOEXEC);
  Watcher = std::thread([this] {
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
  Handle(SIGINT, OnPosixSignal);
  Handle(SIGTERM, OnPosixSignal);
  Handle(SIGPIPE, SIG_IGN);
}

TSignalWatch::~TSignalWatch() {
  if (!Watcher.joinable())
    return;
  Handle(SIGINT, SIG_DFL);
  Handle(SIGTERM, SIG_DFL);
  const unsigned char stop = 0;
  [[maybe_unused]] const ssize_t n = write(WakePipe[1], &stop, 1);
  Watcher.join();
  close(WakePipe[0]);
  close(WakePipe[1]);
  WakePipe[0] = WakePipe[1] = -1;
}

bool StdinIsTerminal() {
  return isatty(STDIN_FILENO) != 0;
}

bool ReadSecretLine(std::string &Line, const char *Prompt) {
  termios saved{};
  const bool terminal = tcgetattr(STDIN_FILENO, &saved) == 0;
  if (terminal) {
    std::fputs(Prompt, stderr);
    std::fflush(stderr);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
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
    std::fputs("\n", stderr);
  }
  if (!Line.empty() && Line.back() == '\r')
    Line.pop_back();
  return ok;
}

std::string LocalIsoTime(std::chrono::system_clock::time_point When) {
  const std::time_t t = std::chrono::system_clock::to_time_t(When);
  std::tm local{};
  localtime_r(&t, &local);
  char date[40];
  std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(When.time_since_epoch()).count() % 1000;
  const long offset = local.tm_gmtoff / 60;
  char out[80];
  std::snprintf(out, sizeof out, "%s.%03d%c%02ld:%02ld", date, static_cast<int>(ms),
                offset < 0 ? '-' : '+', (offset < 0 ? -offset : offset) / 60,
                (offset < 0 ? -offset : offset) % 60);
  return out;
}

void HardExit(int Status) {
  _exit(Status);
}

} // namespace zol
