// The set-up journal on a real SQLite database in a folder of the test's own.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sqlite3.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "journal/Journal.h"

namespace zol {
namespace {

namespace fs = std::filesystem;
using TClock = std::chrono::system_clock;

std::string Slurp(const fs::path &Path) {
  std::ifstream in(Path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class Journal : public ::testing::Test {
protected:
  void SetUp() override {
    char pattern[] = "/tmp/journal-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    Dir = pattern;
    Path = (Dir / "journal.sqlite").string();
  }
  void TearDown() override { fs::remove_all(Dir); }

  static TJournalRecord Sample(const std::string &Serial, TClock::time_point When) {
    TJournalRecord r;
    r.When = When;
    r.SerialNumber = Serial;
    r.Manufacturer = "Maker";
    r.Product = "RW8";
    r.Firmware = "0123456789AB";
    r.Program = "zolctl";
    r.ProgramVersion = "1.04";
    r.Operation = TJournalOperation::Load;
    r.ParameterFile = "tank4.ZOL";
    TZOLSettings before;
    before.Tag.Set("OLD TAG");
    before.Filter = 1.5f;
    TZOLSettings after = before;
    after.Tag.Set("TANK 4");
    after.Alarm2.SetPoint = -12.5f;
    after.Alarm2.Delay = 2.5f;
    after.Alarm2.LedBelow = 1;
    r.Before = before;
    r.After = after;
    r.Verdict = TJournalVerdict::Held;
    return r;
  }

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

  std::size_t Count(const std::optional<std::string> &Serial = std::nullopt) {
    TJournalQuery q;
    q.SerialNumber = Serial;
    return TJournal::Open(Path, TJournal::TOpen::Read)->Query(q).size();
  }

  fs::path Dir;
  std::string Path;
};

TEST_F(Journal, KeepsEachRecordWholeAndFindsThemBySerialAndDate) {
  const auto t0 = TClock::time_point(std::chrono::hours(24 * 20000));
  {
    auto journal = TJournal::Open(Path, TJournal::TOpen::Write);
    journal->Record(Sample("A1", t0));
    TJournalRecord failed = Sample("B2", t0 + std::chrono::hours(1));
    failed.Operation = TJournalOperation::WriteFilter;
    failed.Verdict = TJournalVerdict::Failed;
    failed.After.reset();
    failed.Message = "No answer in time";
    journal->Record(failed);
    journal->Record(Sample("A1", t0 + std::chrono::hours(2)));
  }
  auto journal = TJournal::Open(Path, TJournal::TOpen::Read);
  const std::vector<TJournalRecord> all = journal->Query({});
  ASSERT_EQ(all.size(), 3u);
  const TJournalRecord &first = all[0];
  EXPECT_EQ(first.When, t0);
  EXPECT_EQ(first.Time.size(), std::string("2024-10-04T00:00:00.000+00:00").size()) << first.Time;
  EXPECT_EQ(first.SerialNumber, "A1");
  EXPECT_EQ(first.Firmware, "0123456789AB");
  EXPECT_EQ(first.ProgramVersion, "1.04");
  EXPECT_FALSE(first.UserName.empty()) << "the system's user";
  EXPECT_FALSE(first.HostName.empty()) << "the system's host";
  EXPECT_EQ(first.Operation, TJournalOperation::Load);
  EXPECT_EQ(first.ParameterFile, "tank4.ZOL");
  ASSERT_TRUE(first.Before && first.After);
  EXPECT_EQ(first.Before->Tag.Get(), "OLD TAG");
  EXPECT_EQ(first.Before->Filter, 1.5f);
  EXPECT_EQ(first.After->Tag.Get(), "TANK 4");
  EXPECT_EQ(first.After->Alarm2.SetPoint, -12.5f);
  EXPECT_EQ(first.After->Alarm2.Delay, 2.5f);
  EXPECT_EQ(first.After->Alarm2.LedBelow, 1);
  EXPECT_EQ(first.After->Alarm1.LedBelow, 0);
  EXPECT_EQ(first.Verdict, TJournalVerdict::Held);
  EXPECT_EQ(all[1].Verdict, TJournalVerdict::Failed);
  EXPECT_EQ(all[1].Message, "No answer in time");
  EXPECT_FALSE(all[1].After) << "not read back";

  TJournalQuery q;
  q.SerialNumber = "A1";
  EXPECT_EQ(journal->Query(q).size(), 2u);
  q.Since = t0 + std::chrono::minutes(1);
  ASSERT_EQ(journal->Query(q).size(), 1u);
  EXPECT_EQ(journal->Query(q)[0].When, t0 + std::chrono::hours(2));
  q = {};
  q.Until = t0 + std::chrono::hours(2);
  EXPECT_EQ(journal->Query(q).size(), 2u) << "until excludes its moment";
  q = {};
  q.Limit = 2;
  const auto last = journal->Query(q);
  ASSERT_EQ(last.size(), 2u);
  EXPECT_EQ(last[0].SerialNumber, "B2") << "the last two, oldest first";
  EXPECT_TRUE(journal->Verify().Sound) << journal->Verify().Message;
}

TEST_F(Journal, MakesItsFolderForItsOwnerInTheUsersDataFolder) {
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

TEST_F(Journal, AWriterKilledWhileItWritesLeavesASoundJournal) {
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

TEST_F(Journal, TwoWritersAtOnceBothRecordEverything) {
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

TEST_F(Journal, ANewerJournalIsRefusedAndLeftAsItIs) {
  sqlite3 *db = nullptr;
  ASSERT_EQ(sqlite3_open(Path.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(
      sqlite3_exec(db, "CREATE TABLE future (x); PRAGMA user_version=7", nullptr, nullptr, nullptr),
      SQLITE_OK);
  sqlite3_close(db);
  const std::string bytes = Slurp(Path);
  for (const auto mode : {TJournal::TOpen::Write, TJournal::TOpen::Read}) {
    try {
      TJournal::Open(Path, mode);
      ADD_FAILURE() << "opened";
    } catch (const EJournal &e) {
      EXPECT_EQ(e.Kind, EJournal::TKind::Newer);
      EXPECT_NE(std::string(e.what()).find("newer program"), std::string::npos) << e.what();
    }
  }
  EXPECT_FALSE(VerifyJournalAt(Path).Sound);
  EXPECT_EQ(Slurp(Path), bytes);
  EXPECT_FALSE(fs::exists(Path + "-wal")) << "not even put in WAL mode";
}

TEST_F(Journal, VerifyFindsADamagedJournal) {
  {
    auto journal = TJournal::Open(Path, TJournal::TOpen::Write);
    for (int i = 0; i < 200; ++i)
      journal->Record(Sample("A1", {}));
  }
  ASSERT_TRUE(VerifyJournalAt(Path).Sound);
  // A page of the records' table overwritten, the header left.
  std::string bytes = Slurp(Path);
  ASSERT_GT(bytes.size(), 3 * 4096u);
  for (std::size_t i = 2 * 4096; i < 3 * 4096; ++i)
    bytes[i] = static_cast<char>(i * 7);
  std::ofstream(Path, std::ios::binary | std::ios::trunc) << bytes;
  EXPECT_FALSE(VerifyJournalAt(Path).Sound);
  EXPECT_FALSE(VerifyJournalAt((Dir / "none.sqlite").string()).Sound);
}

} // namespace
} // namespace zol
