// The journal's tests: a folder of the test's own with a journal path in it, and a record.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "journal/Journal.h"

namespace zol::journal_test {

namespace fs = std::filesystem;
using TClock = std::chrono::system_clock;

inline std::string Slurp(const fs::path &Path) {
  std::ifstream in(Path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class Journal : public ::testing::Test {
protected:
  void SetUp() override {
    Dir = fs::temp_directory_path() /
          ("journal-test-" + std::to_string(::getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(Dir);
    fs::create_directories(Dir);
    Path = (Dir / "journal.sqlite").string();
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(Dir, ec);
  }

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

  std::size_t Count(const std::optional<std::string> &Serial = std::nullopt) {
    TJournalQuery q;
    q.SerialNumber = Serial;
    return TJournal::Open(Path, TJournal::TOpen::Read)->Query(q).size();
  }

  fs::path Dir;
  std::string Path;
};

} // namespace zol::journal_test
