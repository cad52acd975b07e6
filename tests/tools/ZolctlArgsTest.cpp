#include <gtest/gtest.h>

#include "tools/ZolctlArgs.h"

#include <cstdlib>
#include <ctime>

namespace zol {
namespace {

TZolctlParse Parse(std::vector<std::string> args) {
  return ParseZolctlArgs(args);
}

TEST(ZolctlArgs, GlobalOptionsAndCommands) {
  const TZolctlParse p =
      Parse({"--sim=3", "--sim-memory", "m.bin", "--device", "2", "--password", "abc", "--trace",
             "--timeout", "500", "write-tag", "tank 4", "--json"});
  ASSERT_TRUE(p.Options) << p.Error;
  const TZolctlOptions &o = *p.Options;
  EXPECT_TRUE(o.Sim);
  EXPECT_EQ(o.SimCount, 3);
  EXPECT_EQ(o.SimMemory, "m.bin");
  EXPECT_EQ(o.Device, 2);
  EXPECT_EQ(o.Password, "ABC")
      << "passwords go out in upper case, as the password dialog sends them";
  EXPECT_TRUE(o.Trace);
  EXPECT_TRUE(o.Json) << "switches may follow the command";
  EXPECT_EQ(o.TimeoutMs, 500);
  EXPECT_EQ(o.Command, TZolctlCommand::WriteTag);
  EXPECT_EQ(o.Text, "TANK 4");
}

TEST(ZolctlArgs, WriteAlarmKeepsUnsetFieldsEmpty) {
  const TZolctlParse p = Parse({"write-alarm", "2", "--setpoint", "-12.5", "--no", "--led-above"});
  ASSERT_TRUE(p.Options) << p.Error;
  const TAlarmChange &a = p.Options->Alarm;
  EXPECT_EQ(a.Number, 2);
  EXPECT_EQ(a.SetPoint, -12.5f);
  EXPECT_FALSE(a.Hysteresis);
  EXPECT_FALSE(a.Delay);
  EXPECT_EQ(a.ContactNC, false);
  EXPECT_FALSE(a.FailClosed);
  EXPECT_EQ(a.LedBelow, false);
}

TEST(ZolctlArgs, HelpIsNotAnError) {
  for (auto args :
       std::vector<std::vector<std::string>>{{"--help"}, {"-h"}, {"history", "--help"}}) {
    const TZolctlParse p = Parse(args);
    EXPECT_FALSE(p.Help.empty());
    EXPECT_TRUE(p.Error.empty());
  }
  EXPECT_NE(Parse({"write-alarm", "--help"}).Help.find("--setpoint"), std::string::npos);
}

// Values the frames cannot carry, and malformed lines, are refused before anything is sent.
TEST(ZolctlArgs, RefusesBadLines) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"frobnicate"},
      {"--bogus", "state"},
      {"--device"},
      {"--device", "x", "state"},
      {"--timeout", "0", "state"},
      {"--sim=0", "state"},
      {"--sim-memory", "m", "state"}, // without --sim
      {"state", "extra"},
      {"write-tag"},
      {"write-tag", "ABCDEFGHIJKLMNOPQ"}, // 17 characters
      {"write-tag", "caf\xc3\xa9"},       // a character the instrument cannot keep
      {"write-filter", "fast"},
      {"write-filter", "-1"},
      {"write-filter", "nan"},
      {"write-filter", "2,5"},
      {"write-filter", "3e38"}, // no answer carries it back
      {"write-alarm", "1", "--nc", "--no"},
      {"--all", "monitor"},
      {"--serial", "X", "--device", "1", "state"},
      {"write-alarm", "3"},
      {"write-alarm", "1", "--setpoint"},
      {"write-alarm", "1", "--setpoint", "3276.8"},
      {"write-alarm", "1", "--hysteresis", "-3276.9"},
      {"write-alarm", "1", "--setpoint", "inf"},
      {"write-alarm", "1", "--delay", "25.6"},
      {"write-alarm", "1", "--delay", "-0.1"},
      {"write-alarm", "1", "--colour", "red"},
      {"unlock", "ABCD", "EFGH"}, // one password; none reads it from standard input
      {"unlock", "TOOLONGPW"},
      {"change-password", "ABC"},
      {"monitor", "--count", "0"},
      {"load"},
      {"show", ""},
      {"--sim-fault", "gremlins", "--sim", "state"},
      {"journal", "--since", "2026-13-01"},
      {"journal", "--until", "2026-02-30"},
      {"journal", "--since", "2999-01-01"}, // beyond the system clock
      {"journal", "--since", "yesterday"},
      {"journal", "--csv", "--json"},
      {"journal", "--verify", "--serial", "X"},
      {"--all", "journal"},
      {"sheet", "--html", "--json"},
  };
  for (const auto &args : bad) {
    const TZolctlParse p = Parse(args);
    std::string line;
    for (const auto &a : args)
      line += a + " ";
    EXPECT_FALSE(p.Options) << line;
    EXPECT_FALSE(p.Error.empty()) << line;
  }
}

TEST(ZolctlArgs, EdgeValuesThatFitAreTaken) {
  EXPECT_TRUE(Parse({"write-alarm", "1", "--setpoint", "3276.7", "--delay", "25.5"}).Options);
  EXPECT_TRUE(Parse({"write-alarm", "1", "--setpoint", "-3276.8", "--delay", "0"}).Options);
  EXPECT_TRUE(Parse({"write-tag", "0123456789ABCDEF"}).Options);
  EXPECT_TRUE(Parse({"change-password", "ABCD"}).Options);
  EXPECT_TRUE(Parse({"--sim", "--sim-fault", "drop=0.2", "read"}).Options);
  EXPECT_TRUE(
      Parse({"journal", "--since", "2026-02-28", "--until", "2026-12-31T23:59:59"}).Options);
  // The journal's --serial filters; the global one, before the command, does too.
  EXPECT_EQ(Parse({"journal", "--serial", "A1"}).Options->JournalSerial, "A1");
  EXPECT_EQ(Parse({"--serial", "B2", "journal"}).Options->JournalSerial, "B2");
  // A day alone as --until includes it: the next midnight.
  const TZolctlParse day = Parse({"journal", "--since", "2026-12-31", "--until", "2026-12-31"});
  ASSERT_TRUE(day.Options) << day.Error;
  EXPECT_EQ(*day.Options->Until - *day.Options->Since, std::chrono::hours(24));
  // The instrument's "K:" comes off before the fault is looked at, lag=N's too.
  const TZolctlParse lag = Parse({"--sim", "--sim-fault", "0:lag=3", "read"});
  ASSERT_TRUE(lag.Options) << lag.Error;
  EXPECT_EQ(SimFaultText(lag.Options->SimFaults.at(0)), "0:lag=3");
}

} // namespace
} // namespace zol
