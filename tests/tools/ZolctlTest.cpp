// The real zolctl binary against the simulated instrument, as a production bench would run it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "sim/Faults.h"

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
    // The runs' set-up journal is the test's, never the user's.
    Journal = (Dir / "journal.sqlite").string();
    setenv("ZOLCFG_JOURNAL", Journal.c_str(), 1);
  }
  void TearDown() override { fs::remove_all(Dir); }

  /// Runs zolctl with Input on standard input and Env (NAME=VALUE) added to its environment.
  Result Run(const std::vector<std::string> &Args, const std::string &Input = {},
             const std::string &Env = {}) {
    std::ofstream(Dir / "in", std::ios::binary) << Input;
    std::string command = Env.empty() ? "" : "env " + Quote(Env) + " ";
    command += Quote(ZOLCTL_PATH);
    for (const std::string &a : Args)
      command += " " + Quote(a);
    command += " >" + Quote((Dir / "out").string()) + " 2>" + Quote((Dir / "err").string()) + " <" +
               Quote((Dir / "in").string());
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

  /// Starts zolctl in the background, standard output and error to files (or OutFd).
  pid_t Start(const std::vector<std::string> &Args, int OutFd = -1) {
    const pid_t pid = fork();
    if (pid == 0) {
      const int out =
          OutFd >= 0 ? OutFd : open((Dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int err = open((Dir / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int in = open("/dev/null", O_RDONLY);
      dup2(out, 1), dup2(err, 2), dup2(in, 0);
      for (int fd = 3; fd < 1024; ++fd) // the test's own pipe ends stay with the test
        close(fd);
      std::vector<char *> argv{const_cast<char *>(ZOLCTL_PATH)};
      for (const std::string &a : Args)
        argv.push_back(const_cast<char *>(a.c_str()));
      argv.push_back(nullptr);
      execv(ZOLCTL_PATH, argv.data());
      _exit(127);
    }
    return pid;
  }
  /// The exit status of Pid, or -1 (and the process killed) when it has not ended within Ms.
  static int Finish(pid_t Pid, int Ms = 5000) {
    for (int waited = 0; waited < Ms; waited += 10) {
      int status = 0;
      if (waitpid(Pid, &status, WNOHANG) == Pid)
        return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(Pid, SIGKILL);
    waitpid(Pid, nullptr, 0);
    return -1;
  }
  /// Waits (bounded) until File holds Part.
  bool WaitForText(const fs::path &File, const std::string &Part, int Ms = 5000) {
    for (int waited = 0; waited < Ms; waited += 10) {
      if (Slurp(File).find(Part) != std::string::npos)
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  /// A parameter file saved from the simulated instrument, with Patch applied to its bytes.
  fs::path PatchedFile(const std::string &Name, const std::function<void(std::string &)> &Patch) {
    const fs::path path = Dir / Name;
    EXPECT_EQ(Sim({"save", path.string()}).Code, 0);
    std::string bytes = Slurp(path);
    Patch(bytes);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    return path;
  }

  fs::path Dir;
  std::string Memory;
  std::string Journal;
};

/// The lines of Text.
std::vector<std::string> Lines(const std::string &Text) {
  std::vector<std::string> lines;
  std::istringstream in(Text);
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

/// True when Text holds Word between blanks or quotes.
bool HasWord(const std::string &Text, const std::string &Word) {
  const auto edge = [](char c) { return c == ' ' || c == '\n' || c == '"'; };
  for (auto at = Text.find(Word); at != std::string::npos; at = Text.find(Word, at + 1))
    if (at > 0 && edge(Text[at - 1]) && at + Word.size() < Text.size() &&
        edge(Text[at + Word.size()]))
      return true;
  return false;
}

/// "2026-12-08T05:01:02.345+01:00": ISO 8601 local time with milliseconds and offset.
bool IsIsoTime(const std::string &T) {
  const std::string shape = "dddd-dd-ddTdd:dd:dd.ddd+dd:dd";
  if (T.size() != shape.size())
    return false;
  for (std::size_t i = 0; i < T.size(); ++i) {
    const bool ok = shape[i] == 'd'   ? std::isdigit(static_cast<unsigned char>(T[i])) != 0
                    : shape[i] == '+' ? T[i] == '+' || T[i] == '-'
                                      : T[i] == shape[i];
    if (!ok)
      return false;
  }
  return true;
}

std::vector<std::string> Split(const std::string &Line, char Separator) {
  std::vector<std::string> fields(1);
  for (char c : Line) {
    if (c == Separator)
      fields.emplace_back();
    else
      fields.back().push_back(c);
  }
  return fields;
}

void PutFloat(std::string &Bytes, std::size_t Offset, float Value) {
  std::memcpy(Bytes.data() + Offset, &Value, 4);
}

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
  ASSERT_EQ(Sim({"write-alarm", "1", "--setpoint", "-12.5", "--hysteresis", "0.5", "--delay",
                 "0.75", "--nc", "--fail-closed", "--led-below"})
                .Code,
            0);
  // Only the delay changes: the rest keeps the instrument's values.
  Result r = Sim({"write-alarm", "1", "--delay", "3"});
  ASSERT_EQ(r.Code, 0) << r.Err;
  r = Sim({"--json", "read"});
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_HAS(r.Out, "\"tag\":\"TANK 4\"");
  EXPECT_HAS(r.Out, "\"filter\":2.5,");
  EXPECT_HAS(r.Out,
             "\"alarm1\":{\"setPoint\":-12.5,\"hysteresis\":0.5,\"delay\":3.0,\"contactNC\":true,"
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
  EXPECT_HAS(r.Out, "0  FF  Changement des param\xc3\xa8tres de l'alarme n\xc2\xb0"
                    "2");
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
  // Plugged in late: found with --wait, which says how it waits; missed without it, or when
  // the wait is shorter.
  r = Run({"--sim", "--sim-fault", "plug-in=400", "--wait", "5", "--verbose", "state"});
  EXPECT_EQ(r.Code, 0) << r.Err;
  EXPECT_HAS(r.Err, "the system tells when one is plugged in");
  EXPECT_EQ(Run({"--sim", "--sim-fault", "plug-in=400", "state"}).Code, 1);
  EXPECT_EQ(Run({"--sim", "--sim-fault", "plug-in=3000", "--wait", "1", "state"}).Code, 1);
  EXPECT_EQ(Run({"--sim", "--wait", "3601", "state"}).Code, 2);
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

// ---- Production bench: the standard command line, instruments by serial, batches ----------------

TEST_F(Zolctl, GnuFormsNegativeValuesAndTheEndOfOptions) {
  Result r = Sim({"--timeout=500", "write-alarm", "1", "--setpoint=-12.5", "--hysteresis", "0.5",
                  "--delay=1.5", "--nc"});
  ASSERT_EQ(r.Code, 0) << r.Err;
  ASSERT_EQ(Sim({"write-alarm", "2", "--setpoint", "-3.5", "--json"}).Code, 0);
  ASSERT_EQ(Sim({"--device=0", "write-tag", "--", "-5-"}).Code, 0);
  const auto read = nlohmann::json::parse(Sim({"--json", "read"}).Out);
  EXPECT_EQ(read["alarm1"]["setPoint"], -12.5);
  EXPECT_EQ(read["alarm1"]["delay"], 1.5);
  EXPECT_EQ(read["alarm2"]["setPoint"], -3.5);
  EXPECT_EQ(read["tag"], "-5-");
  r = Run({"write-alarm", "-h"});
  EXPECT_EQ(r.Code, 0);
  EXPECT_HAS(r.Out, "--setpoint");
  EXPECT_HAS(Run({"--version"}).Out, "zolctl ");
  // A bad value names its option, ends with 2 and sends nothing.
  r = Sim({"--trace", "write-alarm", "1", "--delay", "30", "--nc"});
  EXPECT_EQ(r.Code, 2);
  EXPECT_HAS(r.Err, "--delay");
  EXPECT_HAS(r.Err, "30");
  EXPECT_EQ(r.Err.find("--nc"), std::string::npos) << r.Err;
  EXPECT_EQ(r.Err.find("-> "), std::string::npos);
  EXPECT_HAS(Run({"--sim", "--timeout=x", "state"}).Err, "--timeout");
}

TEST_F(Zolctl, SerialChoosesTheInstrument) {
  EXPECT_HAS(Run({"--sim=2", "list"}).Out, "SIMRW80000000002");
  Result r = Run({"--sim=2", "--serial", "SIMRW80000000002", "--json", "lost-password"});
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(nlohmann::json::parse(r.Out)["serialNumber"], "SIMRW80000000002");
  r = Run({"--sim=2", "--serial=NOPE", "state"});
  EXPECT_EQ(r.Code, 1);
  EXPECT_HAS(r.Err, "NOPE");
  EXPECT_HAS(r.Err, "SIMRW80000000001, SIMRW80000000002");
}

TEST_F(Zolctl, AllLoadsEveryUnitAndReportsTheBadOnes) {
  ASSERT_EQ(Sim({"write-tag", "BENCH 1"}).Code, 0);
  const std::string file = (Dir / "bench.zol").string();
  ASSERT_EQ(Sim({"save", file}).Code, 0);
  const std::string table = (Dir / "table.mem").string();
  const std::vector<std::string> three = {"--sim=3", "--sim-memory", table};
  auto on = [&](std::vector<std::string> Args) {
    Args.insert(Args.begin(), three.begin(), three.end());
    return Run(Args);
  };
  ASSERT_EQ(on({"--device", "2", "change-password", "ABCD"}).Code, 0);
  Result r = on({"--sim-fault", "1:unplug-on-open", "--json", "--all", "load", file});
  EXPECT_EQ(r.Code, 4) << "the worst status: " << r.Err;
  const auto json = nlohmann::json::parse(r.Out);
  EXPECT_EQ(json["SIMRW80000000001"]["status"], 0);
  EXPECT_EQ(json["SIMRW80000000001"]["tag"], "BENCH 1");
  EXPECT_EQ(json["SIMRW80000000002"]["status"], 1);
  EXPECT_EQ(json["SIMRW80000000003"]["status"], 4);
  EXPECT_EQ(Lines(r.Err).size(), 3u) << "one progress line per instrument:\n" << r.Err;
  EXPECT_HAS(r.Err, "[3/3] SIMRW80000000003: status 4");
  // The unit that was set up holds the file; the others are as they were.
  EXPECT_HAS(on({"--serial", "SIMRW80000000001", "read"}).Out, "BENCH 1");
  EXPECT_EQ(on({"--serial", "SIMRW80000000002", "read"}).Out.find("BENCH"), std::string::npos);
}

TEST_F(Zolctl, PasswordsFromAFileStandardInputAndTheEnvironmentNeverTraced) {
  ASSERT_EQ(Sim({"change-password", "SECRET"}).Code, 0);
  std::ofstream(Dir / "pw") << "secret\n";
  const std::string packed = "D4 4C 50 D2"; // "SECR" as the frame carries it
  std::vector<Result> runs = {
      Sim({"--trace", "--password-file", (Dir / "pw").string(), "write-tag", "A"}),
      Run({"--sim", "--sim-memory", Memory, "--trace", "--password-file=-", "write-tag", "B"},
          "SECRET\n"),
      Run({"--sim", "--sim-memory", Memory, "--trace", "write-tag", "C"}, "",
          "ZOLCTL_PASSWORD=secret"),
      Run({"--sim", "--sim-memory", Memory, "--trace", "unlock"}, "SECRET\n"),
  };
  for (const Result &r : runs) {
    EXPECT_EQ(r.Code, 0) << r.Err;
    EXPECT_HAS(r.Err, "-> 40 ** ** ** ** ** ** **");
    EXPECT_EQ(r.Err.find(packed), std::string::npos) << r.Err;
    EXPECT_EQ(r.Err.find("SECRET"), std::string::npos) << r.Err;
  }
  EXPECT_EQ(
      Run({"--sim", "--sim-memory", Memory, "write-tag", "D"}, "", "ZOLCTL_PASSWORD=WRONG").Code,
      4);
  // A new password from standard input.
  ASSERT_EQ(Run({"--sim", "--sim-memory", Memory, "change-password"}, "other1\n",
                "ZOLCTL_PASSWORD=SECRET")
                .Code,
            0);
  EXPECT_EQ(Sim({"--password", "OTHER1", "write-tag", "E"}).Code, 0);
  EXPECT_HAS(Run({"--help"}).Out, "visible to other users");
}

TEST_F(Zolctl, MonitorCsvAtAnIntervalParsesBack) {
  Result r = Sim({"monitor", "--csv", "--interval", "100", "--count", "5"});
  ASSERT_EQ(r.Code, 0) << r.Err;
  const std::vector<std::string> lines = Lines(r.Out);
  ASSERT_EQ(lines.size(), 6u) << r.Out;
  EXPECT_EQ(lines[0], "time,measure,relay1,relay2,led1,led2,writeLocked,rawValue,rt");
  std::string previous;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::vector<std::string> f = Split(lines[i], ',');
    ASSERT_EQ(f.size(), 9u) << lines[i];
    EXPECT_TRUE(IsIsoTime(f[0])) << f[0];
    EXPECT_NO_THROW((void)std::stod(f[1])) << "measure " << lines[i];
    for (std::size_t bit = 2; bit <= 6; ++bit)
      EXPECT_TRUE(f[bit] == "0" || f[bit] == "1") << lines[i];
    EXPECT_NO_THROW((void)std::stoi(f[7]));
    EXPECT_NO_THROW((void)std::stod(f[8]));
    EXPECT_GT(f[0], previous) << "one line per interval, in time order";
    previous = f[0];
  }
}

TEST_F(Zolctl, MonitorWaitsForAnUnpluggedInstrumentToComeBack) {
  Result r =
      Run({"--sim", "--sim-fault", "blip=200", "monitor", "--interval", "50", "--count", "12"});
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(Lines(r.Err), (std::vector<std::string>{
                              "zolctl: the instrument was unplugged; waiting for it to come back",
                              "zolctl: the instrument is back"}));
  EXPECT_EQ(Lines(r.Out).size(), 12u);
  // Told of the arrival, it has the link look at once; --verbose says so.
  r = Run({"--sim", "--sim-fault", "blip=200", "--verbose", "monitor", "--count", "30"});
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_HAS(r.Err, "the system tells when it is plugged in again");
  EXPECT_HAS(r.Err, "the instrument is back");
  r = Run({"--sim", "--sim-fault", "blip=200", "monitor", "--exit-on-disconnect"});
  EXPECT_EQ(r.Code, 1);
  EXPECT_HAS(r.Err, "unplugged");
}

TEST_F(Zolctl, AnInterruptedMonitorEndsWith0AndCompleteLines) {
  for (int signal : {SIGINT, SIGTERM}) {
    fs::remove(Dir / "out");
    const pid_t pid = Start({"--sim", "monitor", "--csv"});
    for (int waited = 0; waited < 5000 && Lines(Slurp(Dir / "out")).size() < 3; waited += 10)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    kill(pid, signal);
    EXPECT_EQ(Finish(pid, 2000), 0) << signal;
    const std::string out = Slurp(Dir / "out");
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back(), '\n');
    for (const std::string &line : Lines(out))
      EXPECT_EQ(std::count(line.begin(), line.end(), ','), 8) << line;
  }
}

// ---- Faults found trying the program as users and hostile inputs would
// ---------------------------

TEST_F(Zolctl, AnInterruptedCommandEndsNonZeroAndSaysWhatWasSent) {
  const fs::path file = Dir / "f.zol";
  ASSERT_EQ(Sim({"save", file.string()}).Code, 0);
  const pid_t pid = Start({"--sim", "--sim-fault", "slow=100", "--trace", "load", file.string()});
  ASSERT_TRUE(WaitForText(Dir / "err", "-> 31", 10000)) << Slurp(Dir / "err");
  kill(pid, SIGTERM);
  EXPECT_EQ(Finish(pid, 2000), 143);
  EXPECT_HAS(Slurp(Dir / "err"), "interrupted; ");
  EXPECT_HAS(Slurp(Dir / "err"), "changing the instrument's settings had been sent");

  const pid_t reader = Start({"--sim", "--sim-fault", "silent", "--timeout", "60000", "read"});
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  kill(reader, SIGINT);
  EXPECT_EQ(Finish(reader, 2000), 130);
  EXPECT_HAS(Slurp(Dir / "err"), "nothing that changes the instrument's settings had been sent");
}

TEST_F(Zolctl, FilesThatAreNotRegularAreRefusedBeforeOpening) {
  const fs::path fifo = Dir / "fifo.zol";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const char *command : {"show", "load"}) {
    const pid_t pid = Start({"--sim", command, fifo.string()});
    EXPECT_EQ(Finish(pid, 3000), 3) << command;
    EXPECT_HAS(Slurp(Dir / "err"), "FIFO");
  }
  // A save onto a device node refuses it and leaves the node.
  const fs::path node = Dir / "null";
  if (mknod(node.c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0) {
    Result r = Sim({"save", node.string()});
    EXPECT_EQ(r.Code, 3);
    EXPECT_HAS(r.Err, "device");
    EXPECT_TRUE(fs::is_character_file(node));
  }
  Result r = Sim({"save", fifo.string()});
  EXPECT_EQ(r.Code, 3);
  EXPECT_TRUE(fs::is_fifo(fifo));
  // The simulator's memory file: a FIFO is refused at once and nothing is sent; a file that
  // cannot be replaced (it has a second name) is reported once the command is done.
  const pid_t pid = Start({"--sim", "--sim-memory", fifo.string(), "write-tag", "A"});
  EXPECT_EQ(Finish(pid, 3000), 3);
  EXPECT_HAS(Slurp(Dir / "err"), "FIFO");
  const fs::path memory = Dir / "memory.bin";
  ASSERT_EQ(Run({"--sim", "--sim-memory", memory.string(), "write-tag", "A"}).Code, 0);
  fs::create_hard_link(memory, Dir / "memory-2.bin");
  r = Run({"--sim", "--sim-memory", memory.string(), "write-tag", "B"});
  EXPECT_EQ(r.Code, 3);
  EXPECT_HAS(r.Err, "could not be written");
}

TEST_F(Zolctl, AFailedWriteToStandardOutputEndsTheProgram) {
  Result r = Run({"--sim", "read"});
  ASSERT_EQ(r.Code, 0);
  const int status =
      std::system((Quote(ZOLCTL_PATH) + " --sim read >/dev/full 2>/dev/null").c_str());
  EXPECT_EQ(WEXITSTATUS(status), 5);
  // monitor | head -2: the reader goes, the monitor ends.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t pid = Start({"--sim", "monitor"}, fds[1]);
  close(fds[1]);
  char buffer[64];
  ASSERT_GT(read(fds[0], buffer, sizeof buffer), 0);
  close(fds[0]);
  EXPECT_EQ(Finish(pid, 3000), 5);
}

TEST_F(Zolctl, AFilterNoFrameCarriesBackIsRefused) {
  Result r = Sim({"--trace", "write-filter", "3e38"});
  EXPECT_EQ(r.Code, 2);
  EXPECT_EQ(r.Err.find("-> "), std::string::npos);
  for (float bad :
       {std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN(), 2e38f}) {
    const fs::path file =
        PatchedFile("filter.zol", [&](std::string &b) { PutFloat(b, 16 + 36, bad); });
    r = Sim({"--trace", "load", file.string()});
    EXPECT_EQ(r.Code, 2) << bad;
    EXPECT_HAS(r.Err, "nothing was sent");
    EXPECT_EQ(r.Err.find("-> "), std::string::npos);
  }
}

TEST_F(Zolctl, LoadNamesTheValuesTheInstrumentKeepsOtherwise) {
  const fs::path file = PatchedFile("lower.zol", [](std::string &b) {
    b.replace(17, 6, "pump 7");
    PutFloat(b, 16 + 40 + 8, 25.6f); // alarm 1 delay
  });
  Result r = Sim({"--json", "load", file.string()});
  ASSERT_EQ(r.Code, 0) << r.Err;
  const auto json = nlohmann::json::parse(r.Out);
  ASSERT_EQ(json["differences"].size(), 2u) << r.Out;
  EXPECT_EQ(json["differences"][0]["field"], "tag");
  EXPECT_EQ(json["differences"][1]["field"], "alarm1.delay");
  for (const auto &d : json["differences"])
    EXPECT_EQ(d["explained"], true);
  EXPECT_HAS(Sim({"load", file.string()}).Out, "warning: tag: the file holds \"pump 7");
}

TEST_F(Zolctl, OutputIsValidJsonAndSafeTextForAnyBytes) {
  const std::string tag = std::string("\x1b[2J\x07") + "\xC3\xA9" + "\xE9\xFF" + "\"\\";
  const fs::path file = PatchedFile("odd.zol", [&](std::string &b) {
    b[16] = static_cast<char>(tag.size());
    b.replace(17, tag.size(), tag);
  });
  Result r = Run({"--json", "show", file.string()});
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(nlohmann::json::parse(r.Out)["tag"], "\x1b[2J\x07\xC3\xA9\xC3\xA9\xC3\xBF\"\\")
      << "UTF-8 kept, other bytes as Latin-1";
  r = Run({"show", file.string()});
  EXPECT_EQ(r.Out.find('\x1b'), std::string::npos) << "no escape sequence reaches the terminal";
  EXPECT_HAS(r.Out, "tag: \"\\x1B[2J\\x07\xC3\xA9\\xE9\\xFF");

  ASSERT_EQ(Sim({"write-alarm", "2", "--delay", "1"}).Code, 0);
  r = Sim({"--json", "history"});
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(nlohmann::json::parse(r.Out)["history"][0]["operation"],
            "Changement des param\xc3\xa8tres de l'alarme n\xc2\xb0"
            "2");
}

TEST_F(Zolctl, MessagesNameWhatWentWrong) {
  Result r = Run({"--sim", "--sim-fault", "error-answers", "state"});
  EXPECT_EQ(r.Code, 4);
  EXPECT_HAS(r.Err, "answered with an error");
  const std::string path = (Dir / "no" / "such.zol").string();
  r = Sim({"save", path});
  EXPECT_EQ(r.Code, 3);
  EXPECT_EQ(r.Err.find(path), r.Err.rfind(path)) << "the path once: " << r.Err;
}

TEST_F(Zolctl, EveryWriteIsJudgedOnTheReadBackAfterItsAnswer) {
  // A host that lags 3 reports behind the instrument: old answers are still coming in when a
  // write goes out, as on a USB stack that sees the answers every 60 to 70 ms.
  const std::vector<std::string> slow = {"--sim",   "--sim-memory", Memory,  "--sim-fault",
                                         "slow=20", "--sim-fault",  "lag=3", "--trace"};
  auto run = [&](std::vector<std::string> Args) {
    Args.insert(Args.begin(), slow.begin(), slow.end());
    return Run(Args);
  };
  for (const char *setPoint : {"30", "31.5"}) {
    Result r = run({"write-alarm", "1", "--setpoint", setPoint, "--hysteresis", "2", "--delay",
                    "1.5", "--nc"});
    ASSERT_EQ(r.Code, 0) << r.Err;
    EXPECT_HAS(r.Out, std::string("set point ") + setPoint);
    EXPECT_LT(r.Err.find("<- 21"), r.Err.rfind("-> A1")) << "read back after the write's answer";
  }
  Result r = run({"write-filter", "4.5"});
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_HAS(r.Out, "filter: 4.50");
  r = run({"write-tag", "SLOW"});
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_HAS(r.Out, "SLOW");
}

// ---- The set-up journal and the configuration sheet ---------------------------------------------

/// True when this build keeps a journal (a build without SQLite keeps none).
#define SKIP_WITHOUT_JOURNAL()                                                                     \
  if (Run({"journal"}).Err.find("keeps no journal") != std::string::npos)                          \
  GTEST_SKIP() << "this build keeps no journal"

TEST_F(Zolctl, EveryWritingCommandLeavesOneRecordPerInstrumentWithItsVerdict) {
  SKIP_WITHOUT_JOURNAL();
  ASSERT_EQ(Sim({"write-filter", "2.5"}).Code, 0);
  ASSERT_EQ(Sim({"--no-journal", "write-filter", "3"}).Code, 0);
  ASSERT_EQ(Sim({"write-alarm", "2", "--setpoint", "-12.5", "--nc"}).Code, 0);
  const std::string file = (Dir / "f.zol").string();
  ASSERT_EQ(Sim({"save", file}).Code, 0);
  ASSERT_EQ(Sim({"change-password", "ABCD"}).Code, 0);
  EXPECT_EQ(Sim({"write-tag", "X"}).Code, 4) << "write-locked";
  EXPECT_EQ(Sim({"--password", "ABCD", "reset-all"}).Code, 0);
  const std::string table = (Dir / "table.mem").string();
  EXPECT_EQ(Run({"--sim=2", "--sim-memory", table, "--all", "load", file}).Code, 0);

  Result r = Run({"journal", "--json"});
  ASSERT_EQ(r.Code, 0) << r.Err;
  const auto records = nlohmann::json::parse(r.Out)["records"];
  ASSERT_EQ(records.size(), 7u) << r.Out;
  std::vector<std::string> seen;
  for (const auto &record : records)
    seen.push_back(record["operation"].get<std::string>() + " " +
                   record["verdict"].get<std::string>());
  EXPECT_EQ(seen, (std::vector<std::string>{"write-filter held", "write-alarm held",
                                            "change-password held", "write-tag failed",
                                            "reset-all held", "load held", "load held"}));
  const auto &filter = records[0];
  EXPECT_EQ(filter["serialNumber"], "SIMRW80000000001");
  EXPECT_FALSE(filter["manufacturer"].get<std::string>().empty());
  EXPECT_EQ(filter["firmware"].get<std::string>().size(), 12u) << "the information block";
  EXPECT_EQ(filter["program"], "zolctl");
  EXPECT_FALSE(filter["userName"].get<std::string>().empty());
  EXPECT_TRUE(IsIsoTime(filter["time"])) << filter["time"];
  EXPECT_NE(filter["before"]["filter"], 2.5);
  EXPECT_EQ(filter["after"]["filter"], 2.5);
  EXPECT_EQ(records[1]["before"]["filter"], 3.0) << "the run with --no-journal set it";
  EXPECT_EQ(records[1]["after"]["alarm2"]["setPoint"], -12.5);
  EXPECT_EQ(records[3]["message"], "The instrument is write-locked: unlock it with "
                                   "--password-file FILE, ZOLCTL_PASSWORD or 'zolctl unlock'");
  EXPECT_EQ(records[5]["parameterFile"], file);
  EXPECT_EQ(records[6]["serialNumber"], "SIMRW80000000002");

  // By serial number and date, as text and CSV.
  r = Run({"journal", "--serial", "SIMRW80000000002"});
  EXPECT_EQ(Lines(r.Out).size(), 2u) << r.Out << "a line, and one for the file";
  EXPECT_HAS(r.Out, "  load  held  ");
  EXPECT_EQ(Lines(Run({"journal", "--since", "2000-01-01", "--until", "2000-12-31"}).Out).size(),
            0u);
  r = Run({"journal", "--csv", "--until", "2199-12-31"});
  const std::vector<std::string> lines = Lines(r.Out);
  ASSERT_EQ(lines.size(), 8u) << r.Out;
  EXPECT_EQ(Split(lines[0], ',').size(), Split(lines[1], ',').size());
  EXPECT_HAS(lines[0], ",after.alarm2.ledBelow");
  EXPECT_EQ(Run({"journal", "--since", "2026-02-30"}).Code, 2);
}

TEST_F(Zolctl, AJournalThatCannotBeWrittenIsSaidAndTheCommandKeepsItsStatus) {
  SKIP_WITHOUT_JOURNAL();
  std::ofstream(Dir / "file") << "not a folder";
  const std::string env = "ZOLCFG_JOURNAL=" + (Dir / "file" / "journal.sqlite").string();
  Result r = Run({"--sim", "--sim-memory", Memory, "write-filter", "4"}, "", env);
  EXPECT_EQ(r.Code, 0) << "the instrument was set";
  EXPECT_HAS(r.Err, "zolctl: the journal could not be written: ");
  EXPECT_HAS(r.Out, "filter: 4.00 s");
  r = Run({"--sim", "--sim-memory", Memory, "write-tag", "caf\xc3\xa9"}, "", env);
  EXPECT_EQ(r.Code, 2) << "refused before anything was sent: nothing to record";
  EXPECT_EQ(r.Err.find("journal"), std::string::npos) << r.Err;
}

TEST_F(Zolctl, AJournalOfANewerProgramIsRefusedAndLeftAsItIs) {
  SKIP_WITHOUT_JOURNAL();
  ASSERT_EQ(Sim({"write-filter", "2"}).Code, 0);
  Result r = Run({"journal", "--verify"});
  EXPECT_EQ(r.Code, 0) << r.Out << r.Err;
  EXPECT_HAS(r.Out, "sound");
  if (std::system("command -v sqlite3 >/dev/null") != 0)
    GTEST_SKIP() << "the sqlite3 shell is not installed";
  ASSERT_EQ(std::system(("sqlite3 " + Quote(Journal) + " 'PRAGMA user_version=99'").c_str()), 0);
  const std::string bytes = Slurp(Journal);
  r = Sim({"write-filter", "3"});
  EXPECT_EQ(r.Code, 0);
  EXPECT_HAS(r.Err, "zolctl: the journal could not be written: ");
  EXPECT_HAS(r.Err, "newer program");
  r = Run({"journal", "--verify"});
  EXPECT_NE(r.Code, 0);
  EXPECT_HAS(r.Out, "newer program");
  EXPECT_NE(Run({"journal"}).Code, 0);
  EXPECT_EQ(Slurp(Journal), bytes);
}

TEST_F(Zolctl, TheSheetShowsTheInstrumentAndItsRecordsEscapedInHtml) {
  SKIP_WITHOUT_JOURNAL();
  ASSERT_EQ(Sim({"write-tag", "<B>&'\"X"}).Code, 0);
  Result r = Sim({"sheet"});
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_HAS(r.Out, "serial number: SIMRW80000000001");
  EXPECT_HAS(r.Out, "tag: \"<B>&'\"X");
  EXPECT_HAS(r.Out, "  write-tag  held  ");
  r = Sim({"sheet", "--html"});
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_HAS(r.Out, "&quot;&lt;B&gt;&amp;&#39;&quot;X");
  EXPECT_EQ(r.Out.find("<B>"), std::string::npos) << "nothing of the instrument unescaped";
  EXPECT_HAS(r.Out, "<td>write-tag</td><td>held</td>");
  const auto json = nlohmann::json::parse(Sim({"sheet", "--json"}).Out);
  EXPECT_EQ(json["serialNumber"], "SIMRW80000000001");
  EXPECT_EQ(json["settings"]["tag"], "<B>&'\"X");
  EXPECT_EQ(json["journal"].size(), 1u) << "the sheet records nothing itself";
}

/// Every option and command that --help-all lists is a word of Text.
void ExpectEveryCommandAndOption(const std::string &Help, const std::string &Text) {
  const auto word = [](char c) { return std::islower(static_cast<unsigned char>(c)) || c == '-'; };
  for (auto at = Help.find("--"); at != std::string::npos; at = Help.find("--", at + 2)) {
    std::size_t end = at + 2;
    while (end < Help.size() && word(Help[end]))
      ++end;
    if (end > at + 2) {
      EXPECT_TRUE(HasWord(Text, Help.substr(at, end - at))) << Help.substr(at, end - at);
    }
  }
  bool commands = false;
  for (const std::string &line : Lines(Help)) {
    commands = commands || line.rfind("Subcommands:", 0) == 0;
    if (commands && !line.empty() && std::all_of(line.begin(), line.end(), word)) {
      EXPECT_TRUE(HasWord(Text, line)) << line;
    }
  }
}

/// Every fault --sim-fault takes is a word of Text: "drop=" (Valued) or "drop".
void ExpectEveryFault(const std::string &Text, bool Valued) {
  for (const zol::TSimFaultInfo &f : zol::SimFaultTable())
    if (f.TakenBy(zol::TSimFaultUser::Zolctl)) {
      const bool value = Valued && f.Value != zol::TSimFaultValue::None;
      EXPECT_TRUE(HasWord(Text, f.Name + std::string(value ? "=" : ""))) << f.Name;
    }
}

TEST_F(Zolctl, TheBashCompletionKnowsEveryCommandAndOption) {
  ExpectEveryCommandAndOption(Run({"--help-all"}).Out, Slurp(ZOLCTL_COMPLETION));
  ExpectEveryFault(Slurp(ZOLCTL_COMPLETION), true);
}

// ---- Batches, interruptions, a stalled output, the simulator's memory file ---------------------

/// The frames of Trace that change the instrument's settings.
int SettingFrames(const std::string &Trace) {
  int n = 0;
  for (const std::string &line : Lines(Trace))
    for (const char *code :
         {"20", "21", "22", "30", "31", "41", "60", "61", "66", "67", "68", "6B"})
      if (line.rfind(std::string("-> ") + code + " ", 0) == 0)
        ++n;
  return n;
}

TEST_F(Zolctl, AllSaveWritesOneFilePerInstrumentOrNothing) {
  const fs::path plain = Dir / "bench.zol";
  Result r = Run({"--sim=2", "--trace", "--all", "save", plain.string()});
  EXPECT_EQ(r.Code, 2) << r.Err;
  EXPECT_EQ(r.Err.find("-> "), std::string::npos) << "nothing sent";
  EXPECT_FALSE(fs::exists(plain));
  r = Run({"--sim=2", "--sim-fault", "1:serial=A/..", "--all", "save",
           (Dir / "bench-{serial}.zol").string()});
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(fs::file_size(Dir / "bench-SIMRW80000000001.zol"), 88u);
  EXPECT_EQ(fs::file_size(Dir / "bench-A%2F%2E%2E.zol"), 88u) << "the serial made a file name";
}

TEST_F(Zolctl, AllWorksEveryInstrumentOnceOrCountsItsFailure) {
  Result r = Run({"--sim=3", "--sim-fault", "1:permission-denied", "--json", "--all", "state"});
  EXPECT_EQ(r.Code, 1) << r.Err;
  EXPECT_EQ(nlohmann::json::parse(r.Out)["sim:1"]["status"], 1) << r.Out;
  // Two instruments with one serial number: each is written once.
  r = Run({"--sim=2", "--sim-memory", Memory, "--sim-fault", "serial=TWIN", "--all", "write-tag",
           "BOTH"});
  ASSERT_EQ(r.Code, 0) << r.Err;
  for (const char *device : {"0", "1"})
    EXPECT_HAS(Run({"--sim=2", "--sim-memory", Memory, "--device", device, "read"}).Out, "BOTH");
}

TEST_F(Zolctl, AnInterruptedLoadSaysWhatTheInstrumentMayHold) {
  const fs::path file = PatchedFile("f.zol", [](std::string &b) { b.replace(17, 4, "NEW1"); });
  fs::remove(Memory);
  fs::remove(Dir / "err");
  const pid_t pid = Start({"--sim", "--sim-memory", Memory, "--sim-fault", "slow=500", "--timeout",
                           "10000", "--trace", "load", file.string()});
  ASSERT_TRUE(WaitForText(Dir / "err", "-> 30", 15000)) << Slurp(Dir / "err");
  kill(pid, SIGTERM);
  EXPECT_EQ(Finish(pid, 3000), 143);
  const std::string err = Slurp(Dir / "err");
  // What the message counts is what went out, and what the instrument recorded.
  const int sent = SettingFrames(err);
  EXPECT_HAS(err, "interrupted; " + std::to_string(sent) + " command(s)");
  const auto history = nlohmann::json::parse(Sim({"--json", "history"}).Out)["history"];
  EXPECT_EQ(std::count_if(history.begin(), history.end(),
                          [](const auto &h) { return h["empty"] == false; }),
            sent);
  if (err.find("-> 31") == std::string::npos) {
    EXPECT_HAS(err, "the tag may be half-written");
  }
}

TEST_F(Zolctl, AStalledOutputIsNotTheInstrumentsSilence) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  fcntl(fds[0], F_SETPIPE_SZ, 4096);
  const pid_t pid = Start({"--sim", "--timeout", "300", "monitor"}, fds[1]);
  close(fds[1]);
  std::this_thread::sleep_for(std::chrono::milliseconds(2500)); // nobody reads meanwhile
  fcntl(fds[0], F_SETFL, O_NONBLOCK);
  char buffer[4096];
  const auto drain = [&](int Ms) {
    for (int waited = 0; waited < Ms; waited += 5) {
      while (read(fds[0], buffer, sizeof buffer) > 0) {
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  };
  drain(700);
  kill(pid, SIGINT);
  drain(300);
  EXPECT_EQ(Finish(pid, 3000), 0);
  close(fds[0]);
  const std::string err = Slurp(Dir / "err");
  EXPECT_EQ(err.find("No answer in time"), std::string::npos) << err;
  EXPECT_HAS(err, "dropped");
}

TEST_F(Zolctl, JsonMonitorPrintsOnlyItsLines) {
  Result r = Sim({"--json", "monitor", "--count", "2"});
  ASSERT_EQ(r.Code, 0) << r.Err;
  const std::vector<std::string> lines = Lines(r.Out);
  ASSERT_EQ(lines.size(), 2u) << r.Out;
  for (const std::string &line : lines)
    EXPECT_TRUE(nlohmann::json::parse(line).contains("measure")) << line;
}

TEST_F(Zolctl, HangupAndQuitEndACommandAsTermDoes) {
  for (int signal : {SIGHUP, SIGQUIT}) {
    fs::remove(Dir / "err");
    const pid_t pid =
        Start({"--sim", "--sim-fault", "silent", "--timeout", "60000", "--trace", "read"});
    ASSERT_TRUE(WaitForText(Dir / "err", "-> 69")) << "connected, waiting";
    kill(pid, signal);
    EXPECT_EQ(Finish(pid, 3000), 128 + signal);
    EXPECT_HAS(Slurp(Dir / "err"), "interrupted; nothing that changes");
  }
}

TEST_F(Zolctl, AClosedStandardInputIsNotTakenByTheProgram) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int err = open((Dir / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(err, 2);
    for (int fd = 3; fd < 1024; ++fd)
      close(fd);
    close(0);
    execl(ZOLCTL_PATH, ZOLCTL_PATH, "--sim", "unlock", static_cast<char *>(nullptr));
    _exit(127);
  }
  EXPECT_EQ(Finish(pid, 3000), 2) << "no password on standard input, at once";
  EXPECT_HAS(Slurp(Dir / "err"), "no password on standard input");
}

TEST_F(Zolctl, ChangePasswordOnATerminalAsksTheNewOneTwice) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const std::string slave = ptsname(master);
  const pid_t pid = fork();
  if (pid == 0) {
    setsid();
    const int in = open(slave.c_str(), O_RDWR);
    const int err = open((Dir / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(in, 0), dup2(in, 1), dup2(err, 2);
    for (int fd = 3; fd < 1024; ++fd)
      close(fd);
    execl(ZOLCTL_PATH, ZOLCTL_PATH, "--sim", "--sim-memory", Memory.c_str(), "change-password",
          static_cast<char *>(nullptr));
    _exit(127);
  }
  ASSERT_TRUE(WaitForText(Dir / "err", "New password: "));
  ASSERT_EQ(write(master, "abcd\n", 5), 5);
  ASSERT_TRUE(WaitForText(Dir / "err", "again")) << Slurp(Dir / "err");
  ASSERT_EQ(write(master, "abce\n", 5), 5);
  EXPECT_EQ(Finish(pid, 5000), 2);
  close(master);
  EXPECT_HAS(Slurp(Dir / "err"), "differ");
  EXPECT_EQ(Sim({"write-tag", "STILL OPEN"}).Code, 0) << "the password was not changed";
}

TEST_F(Zolctl, TwoRunsOnOneMemoryFileLoseNoChange) {
  const pid_t slow = Start({"--sim", "--sim-memory", Memory, "--sim-fault", "slow=200", "--trace",
                            "write-tag", "FIRST"});
  ASSERT_TRUE(WaitForText(Dir / "err", "-> ", 5000));
  EXPECT_EQ(Sim({"write-filter", "7"}).Code, 0);
  EXPECT_EQ(Finish(slow, 10000), 0);
  const auto read = nlohmann::json::parse(Sim({"--json", "read"}).Out);
  EXPECT_EQ(read["tag"], "FIRST");
  EXPECT_EQ(read["filter"], 7.0);
}

TEST_F(Zolctl, AParameterFileIsNoMemoryFile) {
  const fs::path file = Dir / "p.zol";
  ASSERT_EQ(Sim({"save", file.string()}).Code, 0);
  const std::string bytes = Slurp(file);
  Result r = Run({"--sim", "--sim-memory", file.string(), "--trace", "write-tag", "X"});
  EXPECT_EQ(r.Code, 3);
  EXPECT_HAS(r.Err, "parameter file");
  EXPECT_EQ(r.Err.find("-> "), std::string::npos) << "nothing sent";
  EXPECT_EQ(Slurp(file), bytes);
}

// ---- Parameter files, JSON for machines, the manual page and the completion
// ----------------------

TEST_F(Zolctl, LoadSendsALowerCaseTagInUpperCaseAndRefusesOneItCannotKeep) {
  const fs::path lower = PatchedFile("lower.zol", [](std::string &b) {
    b[16] = 9;
    b.replace(17, 9, "tank four");
  });
  Result r = Sim({"load", lower.string()});
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_HAS(Sim({"read"}).Out, "tag: \"TANK FOUR       \"");
  const fs::path accent = PatchedFile("accent.zol", [](std::string &b) {
    b[16] = 4;
    b.replace(17, 4, "caf\xe9");
  });
  r = Sim({"--trace", "load", accent.string()});
  EXPECT_EQ(r.Code, 2);
  EXPECT_HAS(r.Err, "the tag \"caf\\xE9\" holds a character the instrument cannot keep");
  EXPECT_HAS(r.Err, "nothing was sent");
  EXPECT_EQ(r.Err.find("-> "), std::string::npos);
}

TEST_F(Zolctl, LoadSendsEveryInstrumentTheFileAsFirstRead) {
  const fs::path file = PatchedFile("f.zol", [](std::string &b) { PutFloat(b, 16 + 36, 7.5f); });
  const std::string table = (Dir / "table.mem").string();
  const pid_t pid = Start({"--sim=2", "--sim-memory", table, "--sim-fault", "slow=40", "--trace",
                           "--all", "load", file.string()});
  ASSERT_TRUE(WaitForText(Dir / "err", "-> 31", 10000)) << Slurp(Dir / "err");
  // While the first instrument is being set up, the file becomes one no frame carries.
  std::string bytes = Slurp(file);
  PutFloat(bytes, 16 + 36, std::numeric_limits<float>::quiet_NaN());
  std::ofstream(Dir / "swap", std::ios::binary) << bytes;
  fs::rename(Dir / "swap", file);
  EXPECT_EQ(Finish(pid, 30000), 0) << Slurp(Dir / "err");
  for (const char *serial : {"SIMRW80000000001", "SIMRW80000000002"}) {
    EXPECT_HAS(Run({"--sim=2", "--sim-memory", table, "--serial", serial, "read"}).Out,
               "filter: 7.50 s");
  }
}

TEST_F(Zolctl, JsonSaysWhatAMachineNeeds) {
  // A failed sensor has no measurement.
  auto json =
      nlohmann::json::parse(Run({"--sim", "--sim-fault", "sensor-failure", "--json", "state"}).Out);
  EXPECT_TRUE(json["measure"].is_null()) << json;
  EXPECT_EQ(json["sensorFailure"], true);
  // The tag without the instrument's padding, and as it is.
  ASSERT_EQ(Sim({"write-tag", "TANK 4"}).Code, 0);
  json = nlohmann::json::parse(Sim({"--json", "read"}).Out);
  EXPECT_EQ(json["tag"], "TANK 4");
  EXPECT_EQ(json["tagRaw"], "TANK 4          ");
  // History dates and times in ISO 8601.
  json = nlohmann::json::parse(Sim({"--json", "history"}).Out);
  const auto shaped = [](const std::string &Text, const std::string &Shape) {
    return Text.size() == Shape.size() &&
           std::equal(Text.begin(), Text.end(), Shape.begin(), [](char t, char s) {
             return s == 'd' ? std::isdigit(static_cast<unsigned char>(t)) != 0 : t == s;
           });
  };
  const std::string date = json["history"][0]["date"], time = json["history"][0]["time"];
  EXPECT_TRUE(shaped(date, "dddd-dd-dd")) << date;
  EXPECT_TRUE(shaped(time, "dd:dd")) << time;
  // C1 controls (a Latin-1 byte, and UTF-8) as escapes, never raw.
  const fs::path file = PatchedFile("c1.zol", [](std::string &b) {
    b[16] = 3;
    b.replace(17, 3, "\x9b\xc2\x85");
  });
  Result r = Run({"--json", "show", file.string()});
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(r.Out.find("\xc2\x9b"), std::string::npos) << r.Out;
  EXPECT_EQ(r.Out.find("\xc2\x85"), std::string::npos) << r.Out;
  EXPECT_EQ(nlohmann::json::parse(r.Out)["tag"], "\xc2\x9b\xc2\x85");
  // A file name in a message is shown as safely as a tag.
  r = Run({"show", (Dir / "no\x1b]2;such.zol").string()});
  EXPECT_EQ(r.Code, 3);
  EXPECT_EQ(r.Err.find('\x1b'), std::string::npos) << r.Err;
  EXPECT_HAS(r.Err, "no\\x1B]2;such.zol");
}

TEST_F(Zolctl, TheBashCompletionKeepsFileNamesWholeAndCompletesOptionValues) {
  const fs::path library = "/usr/share/bash-completion/bash_completion";
  if (!fs::exists(library))
    GTEST_SKIP() << "bash-completion is not installed";
  std::ofstream(Dir / "my file.zol") << "";
  std::ofstream(Dir / "other.zol") << "";
  // Each case: the line typed, then its words as bash splits them (at '=' too), the last one
  // being completed; the replies follow, one per line.
  std::ofstream(Dir / "complete.sh")
      << "source " << Quote(library.string()) << "\nsource " << Quote(ZOLCTL_COMPLETION) << "\ncd "
      << Quote(Dir.string()) << R"(
try() {
  COMP_LINE=$1 COMP_POINT=${#1}; shift
  COMP_WORDS=("$@") COMP_CWORD=$(($# - 1)) COMPREPLY=()
  _zolctl 2>/dev/null
  for reply in "${COMPREPLY[@]}"; do printf '%s|' "$reply"; done; echo
}
try 'zolctl load my' zolctl load my
try 'zolctl --sim-memory=ot' zolctl --sim-memory = ot
try 'zolctl --sim-fault=sl' zolctl --sim-fault = sl
try 'zolctl --timeout=' zolctl --timeout = ''
try 'zolctl --serial list wr' zolctl --serial list wr
)";
  const int status = std::system(
      ("bash " + Quote((Dir / "complete.sh").string()) + " >" + Quote((Dir / "replies").string()))
          .c_str());
  ASSERT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(Lines(Slurp(Dir / "replies")),
            (std::vector<std::string>{"my file.zol|", "other.zol|", "slow=|", "",
                                      "write-tag|write-filter|write-alarm|"}));
}

TEST_F(Zolctl, TheManualPageHasItsSectionsAndEveryCommandAndOption) {
  std::string page = Slurp(fs::path(ZOLCTL_COMPLETION).parent_path() / "zolctl.1");
  for (const char *section : {".SH SYNOPSIS", ".SH EXIT STATUS", ".SH FILES", ".SH ENVIRONMENT"})
    EXPECT_HAS(page, std::string("\n") + section + "\n");
  // The words as a reader sees them: "\-" is a minus, "\fB" and the like change the font.
  std::string text;
  for (std::size_t i = 0; i < page.size(); ++i) {
    if (page.compare(i, 2, "\\-") == 0) {
      text += '-', ++i;
    } else if (page.compare(i, 2, "\\f") == 0) {
      text += ' ', i += 2;
    } else {
      text += std::strchr("[]|,=", page[i]) ? ' ' : page[i];
    }
  }
  ExpectEveryCommandAndOption(Run({"--help-all"}).Out, text);
  ExpectEveryFault(text, false);
}

} // namespace
