// The real zolctl binary against the simulated instrument, as a production bench would run it.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;

struct Result {
  int Code = -1;
  std::string Out;
  std::string Err;
};

std::string Quote(const std::string &Arg) {
  std::string q = "'";
  for (char c : Arg)
    q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string Slurp(const fs::path &Path) {
  std::ifstream in(Path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class Zolctl : public ::testing::Test {
protected:
  void SetUp() override {
    char pattern[] = "/tmp/zolctl-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    Dir = pattern;
    Memory = (Dir / "rw8.mem").string();
  }
  void TearDown() override { fs::remove_all(Dir); }

  Result Run(const std::vector<std::string> &Args) {
    std::string command = Quote(ZOLCTL_PATH);
    for (const std::string &a : Args)
      command += " " + Quote(a);
    command += " >" + Quote((Dir / "out").string()) + " 2>" + Quote((Dir / "err").string()) + " </dev/null";
    const int status = std::system(command.c_str());
    Result r;
    r.Code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.Out = Slurp(Dir / "out");
    r.Err = Slurp(Dir / "err");
    return r;
  }
  /// The simulated instrument with a memory kept in this test's folder.
  Result Sim(std::vector<std::string> Args) {
    Args.insert(Args.begin(), {"--sim", "--sim-memory", Memory});
    return Run(Args);
  }

  fs::path Dir;
  std::string Memory;
};

#define EXPECT_HAS(text, part) EXPECT_NE((text).find(part), std::string::npos) << (text)

TEST_F(Zolctl, ListsTheSimulatedInstruments) {
  Result r = Run({"--sim=2", "list"});
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_HAS(r.Out, "0  sim:0");
  EXPECT_HAS(r.Out, "1  sim:1");
  EXPECT_EQ(r.Out.find("sim:mouse"), std::string::npos) << "the mouse is not an instrument";
  r = Run({"--sim", "--json", "list"});
  ASSERT_EQ(r.Code, 0);
  EXPECT_HAS(r.Out, "\"instruments\":[{\"index\":0,\"path\":\"sim:0\"");
  EXPECT_HAS(r.Out, "\"serialNumber\":\"SIMRW8");
}

TEST_F(Zolctl, ListExplainsAnInstrumentItMayNotOpen) {
  Result r = Run({"--sim=2", "--sim-fault", "permission-denied", "list"});
  EXPECT_EQ(r.Code, 1) << "none can be used";
  EXPECT_HAS(r.Out, "cannot open sim:0: permission denied");
  EXPECT_HAS(r.Out, "cannot open sim:1: permission denied");
  EXPECT_HAS(r.Out, "70-rw8.rules");
  r = Run({"--sim", "--sim-fault", "permission-denied", "--json", "list"});
  EXPECT_HAS(r.Out, "\"unopened\":[{\"path\":\"sim:0\",\"reason\":\"permission denied\"");
}

TEST_F(Zolctl, StateAndReadPrintTheInstrument) {
  Result r = Sim({"state"});
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_HAS(r.Out, "measure: ");
  EXPECT_HAS(r.Out, "write lock: unlocked");
  r = Sim({"--json", "state"});
  ASSERT_EQ(r.Code, 0);
  for (const char *key : {"\"measure\":", "\"relay1\":", "\"led2\":", "\"writeLocked\":false",
                          "\"useDisplay\":", "\"rawValue\":", "\"rt\":"})
    EXPECT_HAS(r.Out, key);
  r = Sim({"--json", "read"});
  ASSERT_EQ(r.Code, 0) << r.Err;
  for (const char *key : {"\"tag\":", "\"filter\":", "\"alarm1\":{\"setPoint\":", "\"hysteresis\":",
                          "\"delay\":", "\"contactNC\":", "\"failClosed\":", "\"ledBelow\":"})
    EXPECT_HAS(r.Out, key);
}

TEST_F(Zolctl, WritesAreReadBackAndKept) {
  ASSERT_EQ(Sim({"write-tag", "tank 4"}).Code, 0);
  ASSERT_EQ(Sim({"write-filter", "2.5"}).Code, 0);
  ASSERT_EQ(Sim({"write-alarm", "1", "--setpoint", "-12.5", "--hysteresis", "0.5", "--delay", "0.75",
                 "--nc", "--fail-closed", "--led-below"})
                .Code,
            0);
  // Only the delay changes: the rest keeps the instrument's values.
  Result r = Sim({"write-alarm", "1", "--delay", "3"});
  ASSERT_EQ(r.Code, 0) << r.Err;
  r = Sim({"--json", "read"});
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_HAS(r.Out, "\"tag\":\"TANK 4          \"");
  EXPECT_HAS(r.Out, "\"filter\":2.5,");
  EXPECT_HAS(r.Out, "\"alarm1\":{\"setPoint\":-12.5,\"hysteresis\":0.5,\"delay\":3.0,\"contactNC\":true,"
                    "\"failClosed\":true,\"ledBelow\":true}");
}

TEST_F(Zolctl, TraceShowsTheFramesOnTheWire) {
  Result r = Sim({"--trace", "write-alarm", "1", "--setpoint", "25", "--hysteresis", "1", "--delay",
                  "2.5", "--nc", "--fail-open", "--led-below"});
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_HAS(r.Err, "-> 21 B0 FA 00 0A 00 19 11\n");
  EXPECT_HAS(r.Err, "-> A1 5E 00 00 00 00 00 00\n") << "read back after the write";
  EXPECT_HAS(r.Err, "<- 21 ");
  // Every trace line is a command of 8 bytes or an answer of 12.
  std::istringstream lines(r.Err);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("-> ", 0) == 0) {
      EXPECT_EQ(line.size(), 3u + 8 * 3 - 1) << line;
    } else if (line.rfind("<- ", 0) == 0) {
      EXPECT_EQ(line.size(), 3u + 12 * 3 - 1) << line;
    }
  }
}

TEST_F(Zolctl, PasswordsNeverShowInTheTraceUnlessAsked) {
  ASSERT_EQ(Sim({"change-password", "SECRET"}).Code, 0);
  Result r = Sim({"--trace", "unlock", "SECRET"});
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_HAS(r.Err, "-> 40 ** ** ** ** ** ** **\n");
  r = Sim({"--trace", "--show-secrets", "unlock", "SECRET"});
  EXPECT_HAS(r.Err, "-> 40 D4 4C 50 D2 15 48 20\n"); // "SECRET  " packed
}

TEST_F(Zolctl, SaveShowLoadRoundTripByteForByte) {
  ASSERT_EQ(Sim({"write-tag", "PUMP 7"}).Code, 0);
  ASSERT_EQ(Sim({"write-alarm", "2", "--setpoint", "80", "--no", "--led-above"}).Code, 0);
  const std::string first = (Dir / "first.zol").string();
  ASSERT_EQ(Sim({"save", first}).Code, 0);
  EXPECT_EQ(fs::file_size(first), 88u);
  Result r = Run({"show", first});
  ASSERT_EQ(r.Code, 0);
  EXPECT_HAS(r.Out, "tag: \"PUMP 7          \"");
  EXPECT_HAS(r.Out, "alarm 2: set point 80.0 C");

  // Onto a second instrument with its own memory, then saved again: the same 88 bytes.
  const std::string other = (Dir / "other.mem").string();
  r = Run({"--sim", "--sim-memory", other, "load", first});
  ASSERT_EQ(r.Code, 0) << r.Err;
  const std::string second = (Dir / "second.zol").string();
  ASSERT_EQ(Run({"--sim", "--sim-memory", other, "save", second}).Code, 0);
  EXPECT_EQ(Slurp(first), Slurp(second));
}

TEST_F(Zolctl, LockedInstrumentsRefuseUntilUnlocked) {
  ASSERT_EQ(Sim({"change-password", "ABCD"}).Code, 0);
  Result r = Sim({"write-tag", "X"});
  EXPECT_EQ(r.Code, 4);
  EXPECT_HAS(r.Err, "write-locked");
  EXPECT_EQ(Sim({"--password", "WRONG", "write-tag", "X"}).Code, 4);
  EXPECT_EQ(Sim({"unlock", "WRONG"}).Code, 4);
  EXPECT_EQ(Sim({"--password", "abcd", "write-tag", "X"}).Code, 0);
  EXPECT_EQ(Sim({"unlock", "ABCD"}).Code, 0);
  r = Sim({"--json", "lost-password"});
  ASSERT_EQ(r.Code, 0);
  EXPECT_HAS(r.Out, "\"cryptedPassword\":\"");
  EXPECT_HAS(r.Out, "\"serialNumber\":\"SIMRW80000000001\"");
}

TEST_F(Zolctl, HistoryListsTheWritesNewestFirst) {
  ASSERT_EQ(Sim({"write-filter", "3"}).Code, 0);
  ASSERT_EQ(Sim({"write-alarm", "2", "--delay", "1"}).Code, 0);
  Result r = Sim({"history"});
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_HAS(r.Out, "0  FF  Changement des param\xc3\xa8tres de l'alarme n\xc2\xb0""2");
  EXPECT_HAS(r.Out, "1  FE  Changement de la valeur du filtre");
  EXPECT_HAS(r.Out, "2  00  (empty)");
}

TEST_F(Zolctl, MonitorPrintsOneLinePerStateAnswer) {
  Result r = Sim({"monitor", "--count", "3"});
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(std::count(r.Out.begin(), r.Out.end(), '\n'), 3);
  r = Run({"--sim", "--sim-fault", "sensor-failure", "--json", "monitor", "--count", "1"});
  EXPECT_HAS(r.Out, "\"sensorFailure\":true");
}

TEST_F(Zolctl, PingInfoAndMakerCommands) {
  EXPECT_HAS(Sim({"ping"}).Out, "ping: ok");
  EXPECT_HAS(Sim({"info"}).Out, "programmed");
  EXPECT_EQ(Sim({"adjust-zero"}).Code, 0);
  EXPECT_EQ(Sim({"adjust-full-scale"}).Code, 0);
  EXPECT_EQ(Sim({"reset-all"}).Code, 0);
}

TEST_F(Zolctl, ParameterFilesThatAreNotRefusedWithStatus3AndNothingSent) {
  const fs::path good = Dir / "good.zol";
  ASSERT_EQ(Sim({"save", good.string()}).Code, 0);
  const std::string bytes = Slurp(good);

  const fs::path truncated = Dir / "short.zol";
  std::ofstream(truncated, std::ios::binary) << bytes.substr(0, 87);
  const fs::path wrongCase = Dir / "case.zol";
  std::ofstream(wrongCase, std::ios::binary) << "zolusb v1.0-kova" << bytes.substr(16);
  for (const fs::path &p : {truncated, wrongCase}) {
    for (const char *command : {"show", "load"}) {
      Result r = Sim({"--trace", command, p.string()});
      EXPECT_EQ(r.Code, 3) << command << " " << p;
      EXPECT_HAS(r.Err, "  Fichier incorrect !  \n");
      EXPECT_EQ(r.Err.find("-> "), std::string::npos) << "nothing sent";
    }
  }
  for (const fs::path &p : {Dir / "missing.zol", Dir}) {
    Result r = Sim({"load", p.string()});
    EXPECT_EQ(r.Code, 3) << p;
    EXPECT_FALSE(r.Err.empty());
  }
  // A save into a folder that does not exist fails with status 3 and leaves nothing behind.
  Result r = Sim({"save", (Dir / "no" / "such.zol").string()});
  EXPECT_EQ(r.Code, 3);
  EXPECT_FALSE(fs::exists(Dir / "no"));
}

TEST_F(Zolctl, AFileWithAValueNoFrameCarriesSendsNothing) {
  const fs::path good = Dir / "good.zol";
  ASSERT_EQ(Sim({"save", good.string()}).Code, 0);
  std::string bytes = Slurp(good);
  const float huge = 1e9f; // alarm 1 set point at offset 56, least significant byte first
  std::memcpy(bytes.data() + 56, &huge, 4);
  std::ofstream(Dir / "huge.zol", std::ios::binary) << bytes;
  Result r = Sim({"--trace", "load", (Dir / "huge.zol").string()});
  EXPECT_EQ(r.Code, 2);
  EXPECT_HAS(r.Err, "nothing was sent");
  EXPECT_EQ(r.Err.find("-> "), std::string::npos);
}

TEST_F(Zolctl, ExitStatusesForMissingInstrumentsAndSilence) {
  EXPECT_EQ(Run({"--sim", "--device", "1", "state"}).Code, 1);
  Result r = Run({"--sim", "--sim-fault", "unplugged", "state"});
  EXPECT_EQ(r.Code, 1);
  EXPECT_HAS(r.Err, "No instrument found");
  r = Run({"--sim", "--sim-fault", "silent", "--timeout", "300", "read"});
  EXPECT_EQ(r.Code, 1);
  EXPECT_HAS(r.Err, "No answer in time: the tag read at connection");
  EXPECT_EQ(Run({"--sim", "--sim-fault", "oversized", "state"}).Code, 1);
  EXPECT_EQ(Run({"--bogus"}).Code, 2);
  EXPECT_EQ(Run({"write-alarm", "1", "--setpoint", "99999"}).Code, 2);
  r = Run({"--help"});
  EXPECT_EQ(r.Code, 0);
  EXPECT_HAS(r.Out, "usage: zolctl");
}

TEST_F(Zolctl, ChainsCompleteDespiteLostCommandsAndCorruptReports) {
  Result r = Sim({"--sim-fault", "drop=0.2", "--sim-fault", "corrupt=0.05", "write-tag", "LOSSY"});
  ASSERT_EQ(r.Code, 0) << r.Err;
  r = Sim({"--sim-fault", "drop=0.2", "--sim-fault", "corrupt=0.05", "read"});
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_HAS(r.Out, "tag: \"LOSSY           \"");
}

} // namespace
