// Tests of the single-instance lock of the program's entry point.
#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QWidget>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "WindowsTest.h"
#include "windows/SingleInstance.h"
#include "windows/ZOLCFG.h"

extern char **environ;

namespace zol::test {
namespace {

// ---- Single-instance lock ----------------------------------------------------------------------

/// A lock name of this test run only, so that runs side by side never meet.
std::string TestLockName(const char *What) {
  return std::string("Rw8 ZOLCFG test ") + What + " " + std::to_string(::getpid());
}

/// A copy of this test program running one helper below, its standard output on a pipe.
class THelper {
public:
  THelper(const char *Test, const std::string &LockName) {
    int Pipe[2];
    if (::pipe(Pipe) != 0)
      return;
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_adddup2(&Actions, Pipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&Actions, Pipe[0]);
    std::vector<std::string> Env;
    for (char **e = environ; *e != nullptr; ++e)
      Env.emplace_back(*e);
    Env.push_back("ZOL_LOCK_HELPER=" + LockName);
    Env.push_back("QT_QPA_PLATFORM=offscreen");
    std::vector<char *> Envp;
    for (std::string &e : Env)
      Envp.push_back(e.data());
    Envp.push_back(nullptr);
    std::string Exe = "/proc/self/exe";
    std::string Filter = std::string("--gtest_filter=SingleInstanceHelper.") + Test;
    std::string Disabled = "--gtest_also_run_disabled_tests";
    char *Argv[] = {Exe.data(), Filter.data(), Disabled.data(), nullptr};
    if (posix_spawn(&Pid, Exe.c_str(), &Actions, nullptr, Argv, Envp.data()) != 0)
      Pid = -1;
    posix_spawn_file_actions_destroy(&Actions);
    ::close(Pipe[1]);
    Out = Pipe[0];
  }
  ~THelper() {
    if (Pid > 0) {
      ::kill(Pid, SIGKILL);
      ::waitpid(Pid, nullptr, 0);
    }
    if (Out >= 0)
      ::close(Out);
  }
  /// Reads the helper's output until it holds Marker, at most Ms milliseconds.
  bool WaitFor(const std::string &Marker, int Ms) {
    const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(Ms);
    while (Output.find(Marker) == std::string::npos) {
      const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
          End - std::chrono::steady_clock::now());
      if (Left.count() <= 0)
        return false;
      pollfd P{Out, POLLIN, 0};
      if (::poll(&P, 1, static_cast<int>(Left.count())) <= 0)
        return false;
      char Buffer[256];
      const ssize_t n = ::read(Out, Buffer, sizeof Buffer);
      if (n <= 0)
        return false;
      Output.append(Buffer, static_cast<std::size_t>(n));
    }
    return true;
  }
  /// Waits at most Ms milliseconds for the helper to end, serving this process's events
  /// meanwhile; its exit status, or -1.
  int WaitExit(int Ms) {
    const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(Ms);
    while (std::chrono::steady_clock::now() < End) {
      int Status = 0;
      if (::waitpid(Pid, &Status, WNOHANG) == Pid) {
        Pid = -1;
        return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
      }
      QCoreApplication::processEvents();
      ::usleep(5000); // polling a child's end
    }
    return -1;
  }
  void Kill() {
    if (Pid > 0) {
      ::kill(Pid, SIGKILL);
      ::waitpid(Pid, nullptr, 0);
      Pid = -1;
    }
  }
  bool Started() const { return Pid > 0; }

private:
  pid_t Pid = -1;
  int Out = -1;
  std::string Output;
};

/// The lock files of these tests go to a folder of their own, removed afterwards; the helper
/// processes inherit it.
class SingleInstanceTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(Folder.isValid());
    Saved = qgetenv("XDG_RUNTIME_DIR");
    HadSaved = qEnvironmentVariableIsSet("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", Folder.path().toLocal8Bit());
  }
  void TearDown() override {
    if (HadSaved)
      qputenv("XDG_RUNTIME_DIR", Saved);
    else
      qunsetenv("XDG_RUNTIME_DIR");
  }
  /// Files in the lock folder.
  int LockFiles() const {
    return static_cast<int>(QDir(Folder.path()).entryList(QDir::Files).size());
  }

  QTemporaryDir Folder;
  QByteArray Saved;
  bool HadSaved = false;
};

TEST_F(SingleInstanceTest, OneHolderAtATimeAndFreeAfterRelease) {
  const std::string Name = TestLockName("direct");
  TSingleInstance First(Name);
  ASSERT_TRUE(First.Acquired());
  {
    TSingleInstance Second(Name);
    EXPECT_FALSE(Second.Acquired());
  }
  TSingleInstance Other(TestLockName("other"));
  EXPECT_TRUE(Other.Acquired()); // another name is another lock
  First.Release();
  EXPECT_FALSE(First.Acquired());
  TSingleInstance Third(Name);
  EXPECT_TRUE(Third.Acquired());
}

TEST_F(SingleInstanceTest, ALockWithASlashStaysInItsFolder) {
  TSingleInstance Lock(TestLockName("a/b/../c"));
  EXPECT_TRUE(Lock.Acquired());
  EXPECT_EQ(LockFiles(), 1);
}

TEST_F(SingleInstanceTest, KilledHolderFreesTheLock) {
  const std::string Name = TestLockName("killed");
  THelper Holder("DISABLED_HoldLock", Name);
  ASSERT_TRUE(Holder.Started());
  ASSERT_TRUE(Holder.WaitFor("LOCK HELD", 20000));
  {
    TSingleInstance Second(Name);
    EXPECT_FALSE(Second.Acquired());
  }
  Holder.Kill(); // as a crash would end it
  TSingleInstance After(Name);
  EXPECT_TRUE(After.Acquired());
}

TEST_F(SingleInstanceTest, SecondCopyBringsTheFirstToTheFrontOrFails) {
  const std::string Name = TestLockName("second");
  TSingleInstance First(Name);
  ASSERT_TRUE(First.Acquired());
  {
    // The lock is held but nobody answers: the second copy does not end as if it had been seen.
    THelper Second("DISABLED_RunProgram", Name);
    ASSERT_TRUE(Second.Started());
    EXPECT_EQ(Second.WaitExit(20000), 1);
  }
  QWidget Window;
  Window.showMinimized();
  int Asked = 0;
  const TInstanceServer Server(First, [&]() {
    ++Asked;
    BringToFront(Window);
  });
  ASSERT_TRUE(Server.Listening()) << Server.Problem().toStdString();
  THelper Second("DISABLED_RunProgram", Name);
  ASSERT_TRUE(Second.Started());
  EXPECT_EQ(Second.WaitExit(20000), 0);
  EXPECT_EQ(Asked, 1);
  EXPECT_TRUE(Window.isVisible());
  EXPECT_FALSE(Window.isMinimized());
}

// Helpers run by the tests above in a process of their own; they do nothing in a normal run.
TEST(SingleInstanceHelper, DISABLED_HoldLock) {
  const char *Name = std::getenv("ZOL_LOCK_HELPER");
  if (Name == nullptr)
    GTEST_SKIP();
  TSingleInstance Lock(Name);
  if (!Lock.Acquired())
    std::_Exit(3);
  std::printf("LOCK HELD\n");
  std::fflush(stdout);
  // Held until the test kills this process; never longer than a minute.
  ::sleep(60);
  std::_Exit(4);
}

TEST(SingleInstanceHelper, DISABLED_RunProgram) {
  const char *Name = std::getenv("ZOL_LOCK_HELPER");
  if (Name == nullptr)
    GTEST_SKIP();
  SimPlatform Platform(1);
  char Program[] = "zolcfg";
  char *Argv[] = {Program, nullptr};
  int Argc = 1;
  MainForm = nullptr;
  const int Code = RunZOLCFG(Argc, Argv, Platform, Name, QString());
  // A copy that ran would have made windows; this one must have left before.
  std::_Exit(MainForm == nullptr && QApplication::topLevelWidgets().isEmpty() ? Code : 100);
}

} // namespace
} // namespace zol::test
