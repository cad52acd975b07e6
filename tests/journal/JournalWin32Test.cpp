// The set-up journal on Windows: its folder in the user's local application data, writers in
// processes of their own (this program run again), one ended while it writes.
#include <windows.h>

#include <cstdlib>
#include <thread>

#include "tests/journal/JournalTestFixture.h"

namespace zol {
namespace {

using namespace journal_test;

constexpr const char *kWriterPath = "ZOL_JOURNAL_WRITER_PATH";
constexpr const char *kWriterSerial = "ZOL_JOURNAL_WRITER_SERIAL";
constexpr const char *kWriterCount = "ZOL_JOURNAL_WRITER_COUNT";

/// A writer process: this test program run again with only this test, which records as its
/// environment says (a count below 0: until it is ended). Disabled in a plain run.
TEST(JournalWriter, DISABLED_RecordsWhatItsEnvironmentSays) {
  const char *path = std::getenv(kWriterPath);
  const char *serial = std::getenv(kWriterSerial);
  const char *count = std::getenv(kWriterCount);
  ASSERT_TRUE(path && serial && count);
  const int n = std::atoi(count);
  auto journal = TJournal::Open(path, TJournal::TOpen::Write);
  for (int i = 0; n < 0 || i < n; ++i) {
    TJournalRecord r;
    r.When = TClock::now();
    r.SerialNumber = serial;
    r.Program = "journal_tests";
    r.Operation = TJournalOperation::WriteTag;
    r.Verdict = TJournalVerdict::Held;
    journal->Record(r);
  }
}

class JournalWin32 : public Journal {
protected:
  /// Starts a writer of Count records for Serial; its process handle (closed by Finish).
  HANDLE Writer(int Count, const std::string &Serial) {
    _putenv_s(kWriterPath, Path.c_str());
    _putenv_s(kWriterSerial, Serial.c_str());
    _putenv_s(kWriterCount, std::to_string(Count).c_str());
    wchar_t self[MAX_PATH] = {};
    EXPECT_GT(::GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
    std::wstring command = L"\"" + std::wstring(self) +
                           L"\" --gtest_also_run_disabled_tests"
                           L" --gtest_filter=JournalWriter.DISABLED_RecordsWhatItsEnvironmentSays";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    // No handle of this process is inherited; its output joins this one's.
    const BOOL started = ::CreateProcessW(self, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                          nullptr, &startup, &process);
    EXPECT_TRUE(started) << "error " << ::GetLastError();
    _putenv_s(kWriterPath, "");
    _putenv_s(kWriterSerial, "");
    _putenv_s(kWriterCount, "");
    if (!started)
      return nullptr;
    ::CloseHandle(process.hThread);
    return process.hProcess;
  }

  /// Waits (at most 120 s) for a writer to end and gives its exit status; -1 when it did not end.
  static long Finish(HANDLE Process) {
    if (!Process)
      return -1;
    DWORD status = STILL_ACTIVE;
    if (::WaitForSingleObject(Process, 120000) != WAIT_OBJECT_0 ||
        !::GetExitCodeProcess(Process, &status)) {
      ::TerminateProcess(Process, 1);
      status = static_cast<DWORD>(-1);
    }
    ::CloseHandle(Process);
    return static_cast<long>(status);
  }
};

TEST_F(JournalWin32, MakesItsFolderInTheUsersLocalApplicationData) {
  const std::string saved = std::getenv("LOCALAPPDATA") ? std::getenv("LOCALAPPDATA") : "";
  unsetenv("ZOLCFG_JOURNAL");
  setenv("LOCALAPPDATA", (Dir / "Local").string().c_str(), 1);
  const std::string path = (Dir / "Local" / "ZOLCFG" / "journal.sqlite").string();
  EXPECT_EQ(DefaultJournalPath(), path);
  TJournal::Open(DefaultJournalPath(), TJournal::TOpen::Write)->Record(Sample("A1", {}));
  EXPECT_TRUE(fs::is_regular_file(path));
  setenv("ZOLCFG_JOURNAL", Path.c_str(), 1);
  EXPECT_EQ(DefaultJournalPath(), Path);
  unsetenv("ZOLCFG_JOURNAL");
  setenv("LOCALAPPDATA", saved.c_str(), 1);
}

TEST_F(JournalWin32, AWriterEndedWhileItWritesLeavesASoundJournal) {
  TJournal::Open(Path, TJournal::TOpen::Write);
  const HANDLE process = Writer(-1, "ENDED");
  ASSERT_NE(process, nullptr);
  // Ended once it has written some records (bounded wait).
  for (int i = 0; i < 3000 && Count("ENDED") < 20; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  constexpr UINT kEnded = 77;
  ::TerminateProcess(process, kEnded);
  ASSERT_EQ(Finish(process), static_cast<long>(kEnded)) << "ended while writing";
  const TJournalCheck check = VerifyJournalAt(Path);
  EXPECT_TRUE(check.Sound) << check.Message;
  EXPECT_GE(Count("ENDED"), 20u);
  TJournal::Open(Path, TJournal::TOpen::Write)->Record(Sample("AFTER", {}));
  EXPECT_EQ(Count("AFTER"), 1u);
}

TEST_F(JournalWin32, TwoWritersAtOnceBothRecordEverything) {
  constexpr int kEach = 300;
  const HANDLE a = Writer(kEach, "A"), b = Writer(kEach, "B");
  EXPECT_EQ(Finish(a), 0);
  EXPECT_EQ(Finish(b), 0);
  EXPECT_EQ(Count("A"), static_cast<std::size_t>(kEach));
  EXPECT_EQ(Count("B"), static_cast<std::size_t>(kEach));
  EXPECT_TRUE(VerifyJournalAt(Path).Sound);
}

} // namespace
} // namespace zol
