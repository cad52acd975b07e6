// The set-up journal on a real SQLite database in a folder of the test's own.
#include <sqlite3.h>

#include "tests/journal/JournalTestFixture.h"

namespace zol {
namespace {

using namespace journal_test;

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
