#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "link/ReportDescriptor.h"
#include "link/USB.h"
#include "sim/Gadget.h"

namespace zol {
namespace {

/// A folder of its own under the system's temporary folder, removed with what it holds.
struct TTempFolder {
  std::string Path;
  TTempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zol-gadget-XXXXXX").string();
    if (::mkdtemp(pattern.data()))
      Path = pattern;
  }
  ~TTempFolder() {
    if (!Path.empty())
      std::filesystem::remove_all(Path);
  }
};

std::string Content(const std::string &Path) {
  std::ifstream in(Path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void Put(const std::string &Path, const std::string &Text) {
  std::ofstream(Path) << Text;
}

std::vector<std::string> Names(const std::string &Folder) {
  std::vector<std::string> names;
  for (const auto &entry : std::filesystem::directory_iterator(Folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(Gadget, DescriptorDeclaresTheInstrumentsReports) {
  struct Case {
    bool Oversized;
    int In, Out;
  };
  for (const Case c : {Case{false, kSimInputReportLength, kSimOutputReportLength},
                       Case{true, kSimOversizedInputLength + 1, kSimOversizedOutputLength + 1}}) {
    const std::vector<std::uint8_t> d = GadgetReportDescriptor(c.Oversized);
    TReportDescriptorInfo info;
    std::string error;
    ASSERT_TRUE(ParseReportDescriptor(d.data(), d.size(), info, &error)) << error;
    EXPECT_EQ(info.InputReportByteLength, c.In);
    EXPECT_EQ(info.OutputReportByteLength, c.Out);
    EXPECT_FALSE(info.UsesReportIds);
    EXPECT_EQ(info.InputReportByteLength > kReadBufferSize, c.Oversized);
  }
}

TEST(Gadget, ControlLines) {
  using K = TGadgetRequest::TKind;
  struct Case {
    const char *Line;
    bool Ok;
    K Kind;
    int Period;
    const char *Fault;
  };
  const Case cases[] = {
      {"plug", true, K::Plug, 0, ""},
      {"unplug", true, K::Unplug, 0, ""},
      {"  stats ", true, K::Stats, 0, ""},
      {"quit", true, K::Quit, 0, ""},
      {"period 1", true, K::Period, 1, ""},
      {"period 1000", true, K::Period, 1000, ""},
      {"period 0", false, K::Stats, 0, ""},
      {"period 1001", false, K::Stats, 0, ""},
      {"period -5", false, K::Stats, 0, ""},
      {"period 99999999999", false, K::Stats, 0, ""},
      {"period", false, K::Stats, 0, ""},
      {"fault silent", true, K::Fault, 0, "silent"},
      {"fault drop=0.5", true, K::Fault, 0, "drop=0.5"},
      {"fault healthy", true, K::Fault, 0, "healthy"},
      {"fault drop=2", false, K::Stats, 0, ""},
      {"fault corrupt=", false, K::Stats, 0, ""},
      {"fault permission-denied", false, K::Stats, 0, ""},
      {"plug now", false, K::Stats, 0, ""},
      {"", false, K::Stats, 0, ""},
  };
  for (const Case &c : cases) {
    const auto r = ParseGadgetRequest(c.Line);
    ASSERT_EQ(r.has_value(), c.Ok) << c.Line;
    if (!r)
      continue;
    EXPECT_EQ(r->Kind, c.Kind) << c.Line;
    EXPECT_EQ(r->Period, c.Period) << c.Line;
    if (c.Kind == K::Fault) {
      EXPECT_EQ(SimFaultText(r->Fault), c.Fault) << c.Line;
    }
  }
}

// The control pipe is the gadget's own: whatever already sits at its path (another user's FIFO
// above all, which that user could write requests into) is refused and left alone, and only the
// FIFO the gadget made is removed at the end.
TEST(Gadget, ControlPipeIsMadeByTheGadgetAndOnlyItsOwnRemoved) {
  TTempFolder dir;
  ASSERT_FALSE(dir.Path.empty());
  const std::string fifo = dir.Path + "/fifo", file = dir.Path + "/file", link = dir.Path + "/link";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0666), 0);
  Put(file, "x");
  ASSERT_EQ(::symlink(fifo.c_str(), link.c_str()), 0);
  for (const std::string &taken : {fifo, file, link}) {
    struct stat before {
    }, after{};
    ASSERT_EQ(::lstat(taken.c_str(), &before), 0);
    GadgetControlPipe pipe;
    EXPECT_NE(pipe.Open(taken), "") << taken;
    EXPECT_LT(pipe.Descriptor(), 0) << taken;
    pipe.Close();
    ASSERT_EQ(::lstat(taken.c_str(), &after), 0) << taken;
    EXPECT_EQ(after.st_ino, before.st_ino) << taken;
  }

  const std::string path = dir.Path + "/rw8.ctl";
  GadgetControlPipe pipe;
  ASSERT_EQ(pipe.Open(path), "");
  struct stat made {};
  ASSERT_EQ(::lstat(path.c_str(), &made), 0);
  EXPECT_TRUE(S_ISFIFO(made.st_mode));
  EXPECT_EQ(made.st_uid, ::geteuid());
  EXPECT_EQ(made.st_mode & 077, 0u);
  const int writer = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(::write(writer, "plug\n", 5), 5);
  ::close(writer);
  char line[8] = {};
  EXPECT_EQ(::read(pipe.Descriptor(), line, sizeof line), 5);
  EXPECT_STREQ(line, "plug\n");
  pipe.Close();
  EXPECT_NE(::access(path.c_str(), F_OK), 0);

  // Its name given to another file meanwhile: that file stays.
  ASSERT_EQ(pipe.Open(path), "");
  ASSERT_EQ(::rename(file.c_str(), path.c_str()), 0);
  pipe.Close();
  EXPECT_EQ(Content(path), "x");
}

// The counters replace the file whole through a new file of a unique name: a link at the path is
// replaced, never written through, and a FIFO there neither blocks the gadget nor is written to.
TEST(Gadget, StatsFileIsReplacedNeverWrittenThrough) {
  TTempFolder dir;
  ASSERT_FALSE(dir.Path.empty());
  const std::string victim = dir.Path + "/victim", stats = dir.Path + "/rw8.stats";
  Put(victim, "keep\n");
  for (const std::string what : {"nothing", "file", "link", "fifo", "link to a fifo"}) {
    std::filesystem::remove(stats);
    std::filesystem::remove(stats + ".tmp");
    if (what == "file")
      Put(stats, "old\n");
    if (what == "link") {
      ASSERT_EQ(::symlink(victim.c_str(), stats.c_str()), 0);
      ASSERT_EQ(::symlink(victim.c_str(), (stats + ".tmp").c_str()), 0);
    }
    if (what == "fifo") {
      ASSERT_EQ(::mkfifo(stats.c_str(), 0600), 0);
    }
    if (what == "link to a fifo") {
      ASSERT_EQ(::mkfifo((dir.Path + "/fifo").c_str(), 0600), 0);
      ASSERT_EQ(::symlink((dir.Path + "/fifo").c_str(), (stats + ".tmp").c_str()), 0);
    }
    EXPECT_EQ(ReplaceGadgetFile(stats, "present=1\n", 0644), "") << what;
    struct stat st {};
    ASSERT_EQ(::lstat(stats.c_str(), &st), 0) << what;
    EXPECT_TRUE(S_ISREG(st.st_mode)) << what;
    EXPECT_EQ(st.st_mode & 0777, 0644u) << what;
    EXPECT_EQ(Content(stats), "present=1\n") << what;
    EXPECT_EQ(Content(victim), "keep\n") << what;
    std::filesystem::remove(dir.Path + "/fifo");
    std::filesystem::remove(stats + ".tmp");
    // No temporary file left beside it.
    EXPECT_EQ(Names(dir.Path), (std::vector<std::string>{"rw8.stats", "victim"})) << what;
  }
  EXPECT_NE(ReplaceGadgetFile(dir.Path + "/missing/rw8.stats", "x", 0644), "");
}

// A gadget left in configfs by a killed zolsim-gadget is told from a running one's by the pid
// file: removed only when the process it names is gone or runs another program.
TEST(Gadget, PidFileTellsALeftBehindGadget) {
  TTempFolder dir;
  ASSERT_FALSE(dir.Path.empty());
  const std::string pidFile = GadgetPidFile(dir.Path, "rw8b");
  EXPECT_EQ(pidFile, dir.Path + "/zolsim-gadget.rw8b.pid");
  std::string program;
  std::getline(std::ifstream("/proc/self/comm"), program);
  ASSERT_FALSE(program.empty());
  EXPECT_FALSE(GadgetOwnerRuns(pidFile, program)); // no file

  int gate[2];
  ASSERT_EQ(::pipe(gate), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) { // runs until the gate closes
    ::close(gate[1]);
    char c;
    const ssize_t n = ::read(gate[0], &c, 1);
    ::_exit(n == 0 ? 0 : 1);
  }
  ::close(gate[0]);
  Put(pidFile, std::to_string(child) + "\n");
  EXPECT_TRUE(GadgetOwnerRuns(pidFile, program));
  EXPECT_FALSE(GadgetOwnerRuns(pidFile, "another-program"));
  ::close(gate[1]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_FALSE(GadgetOwnerRuns(pidFile, program)); // ended

  Put(pidFile, std::to_string(::getpid()) + "\n");
  EXPECT_FALSE(GadgetOwnerRuns(pidFile, program)); // this process's own id
  Put(pidFile, "nonsense\n");
  EXPECT_FALSE(GadgetOwnerRuns(pidFile, program));
  std::filesystem::remove(pidFile);
  ASSERT_EQ(::mkfifo(pidFile.c_str(), 0600), 0);
  EXPECT_FALSE(GadgetOwnerRuns(pidFile, program)); // a FIFO: refused without waiting
}

} // namespace
} // namespace zol
