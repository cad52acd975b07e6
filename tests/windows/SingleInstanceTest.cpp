// Tests of the single-instance lock of the program's entry point.
#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QWidget>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QThread>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "WindowsTest.h"
#include "windows/SingleInstance.h"
#include "windows/ZOLCFG.h"

namespace zol::test {
namespace {

// ---- Single-instance lock ----------------------------------------------------------------------

/// A lock name of this test run only, so that runs side by side never meet.
std::string TestLockName(const char *What) {
  return std::string("Rw8 ZOLCFG test ") + What + " " +
         std::to_string(QCoreApplication::applicationPid());
}

/// A copy of this test program running one helper below, its standard output read here.
class THelper {
public:
  THelper(const char *Test, const std::string &LockName) {
    QProcessEnvironment Env = QProcessEnvironment::systemEnvironment();
    Env.insert(QStringLiteral("ZOL_LOCK_HELPER"), QString::fromStdString(LockName));
    Env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    Process.setProcessEnvironment(Env);
    Process.setReadChannel(QProcess::StandardOutput);
    Process.start(QCoreApplication::applicationFilePath(),
                  {QStringLiteral("--gtest_filter=SingleInstanceHelper.") + QLatin1String(Test),
                   QStringLiteral("--gtest_also_run_disabled_tests")});
    Running = Process.waitForStarted(20000);
  }
  ~THelper() { Kill(); }
  /// Reads the helper's output until it holds Marker, at most Ms milliseconds.
  bool WaitFor(const std::string &Marker, int Ms) {
    const QDeadlineTimer Deadline(Ms);
    for (;;) {
      Output += Process.readAllStandardOutput().toStdString();
      if (Output.find(Marker) != std::string::npos)
        return true;
      if (Deadline.hasExpired() || Process.state() == QProcess::NotRunning)
        return false;
      Process.waitForReadyRead(static_cast<int>(std::max<qint64>(1, Deadline.remainingTime())));
    }
  }
  /// Waits at most Ms milliseconds for the helper to end, serving this process's events
  /// meanwhile (the first copy answers the second); its exit status, or -1.
  int WaitExit(int Ms) {
    const QDeadlineTimer Deadline(Ms);
    while (!Deadline.hasExpired()) {
      QCoreApplication::processEvents();
      if (Process.state() == QProcess::NotRunning || Process.waitForFinished(5)) {
        Running = false;
        return Process.exitStatus() == QProcess::NormalExit ? Process.exitCode() : -1;
      }
    }
    return -1;
  }
  void Kill() {
    if (Process.state() != QProcess::NotRunning) {
      Process.kill();
      Process.waitForFinished(20000);
    }
    Running = false;
  }
  bool Started() const { return Running; }

private:
  QProcess Process;
  bool Running = false;
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
#if defined(Q_OS_WIN)
  GTEST_SKIP() << "on Windows the lock is a named mutex, not a file";
#endif
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
  QThread::sleep(60);
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
