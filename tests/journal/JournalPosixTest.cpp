// The set-up journal on POSIX systems: its folder in the XDG data folder, writers in processes
// of their own, one killed while it writes.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <thread>

#include "tests/journal/JournalTestFixture.h"

namespace zol {
namespace {

using namespace journal_test;

class JournalPosix : public Journal {
protected:
  /// Records Count records in a process of its own, in a loop; returns its id.
  pid_t Writer(int Count, const std::string &Serial) {
    const pid_t pid = fork();
    if (pid == 0) {
      try {
        auto journal = TJournal::Open(Path, TJournal::TOpen::Write);
        for (int i = 0; Count < 0 || i < Count; ++i)
          journal->Record(Sample(Serial, TClock::now()));
      } catch (...) {
        _exit(1);
      }
      _exit(0);
    }
    return pid;
  }
};

TEST_F(JournalPosix, MakesItsFolderForItsOwnerInTheUsersDataFolder) {
  const std::string saved = std::getenv("HOME") ? std::getenv("HOME") : "";
  unsetenv("ZOLCFG_JOURNAL");
  unsetenv("XDG_DATA_HOME");
  setenv("HOME", Dir.c_str(), 1);
  EXPECT_EQ(DefaultJournalPath(), (Dir / ".local/share/zolcfg/journal.sqlite").string());
  setenv("XDG_DATA_HOME", (Dir / "data").c_str(), 1);
  EXPECT_EQ(DefaultJournalPath(), (Dir / "data/zolcfg/journal.sqlite").string());
  TJournal::Open(DefaultJournalPath(), TJournal::TOpen::Write)->Record(Sample("A1", {}));
  struct stat info {};
  ASSERT_EQ(stat((Dir / "data/zolcfg").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  setenv("ZOLCFG_JOURNAL", Path.c_str(), 1);
  EXPECT_EQ(DefaultJournalPath(), Path);
  unsetenv("ZOLCFG_JOURNAL");
  unsetenv("XDG_DATA_HOME");
  setenv("HOME", saved.c_str(), 1);
}

TEST_F(JournalPosix, AWriterKilledWhileItWritesLeavesASoundJournal) {
  TJournal::Open(Path, TJournal::TOpen::Write);
  const pid_t pid = Writer(-1, "KILLED");
  // Killed once it has written some records (bounded wait).
  for (int i = 0; i < 1000 && Count() < 20; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status)) << "killed while writing";
  const TJournalCheck check = VerifyJournalAt(Path);
  EXPECT_TRUE(check.Sound) << check.Message;
  EXPECT_GE(Count("KILLED"), 20u);
  TJournal::Open(Path, TJournal::TOpen::Write)->Record(Sample("AFTER", {}));
  EXPECT_EQ(Count("AFTER"), 1u);
}

TEST_F(JournalPosix, TwoWritersAtOnceBothRecordEverything) {
  constexpr int kEach = 300;
  const pid_t a = Writer(kEach, "A"), b = Writer(kEach, "B");
  int statusA = 0, statusB = 0;
  waitpid(a, &statusA, 0);
  waitpid(b, &statusB, 0);
  EXPECT_TRUE(WIFEXITED(statusA) && WEXITSTATUS(statusA) == 0);
  EXPECT_TRUE(WIFEXITED(statusB) && WEXITSTATUS(statusB) == 0);
  EXPECT_EQ(Count("A"), static_cast<std::size_t>(kEach));
  EXPECT_EQ(Count("B"), static_cast<std::size_t>(kEach));
  EXPECT_TRUE(VerifyJournalAt(Path).Sound);
}

} // namespace
} // namespace zol
