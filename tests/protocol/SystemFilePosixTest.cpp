// Saving over what a path may name on a POSIX system: nodes that are not files, links, long names;
// and the hint naming the udev rule a system lacks. Device nodes are made with mknod in the test's
// own folder, never taken from /dev.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include "protocol/AccessHint.h"
#include "protocol/ParamFile.h"
#include "protocol/ZOL.h"
#include "sim/VirtualRW8.h"

namespace zol {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

class SaveSafetyTest : public ::testing::Test {
protected:
  void SetUp() override {
    char Pattern[] = "/tmp/zol-save-safety-XXXXXX";
    ASSERT_NE(::mkdtemp(Pattern), nullptr);
    Dir = Pattern;
    Settings.Filter = 2.5f;
  }
  void TearDown() override {
    std::error_code Ec;
    fs::remove_all(Dir, Ec);
  }
  std::string PathOf(const std::string &Name) const { return (Dir / Name).string(); }
  static void WriteBytes(const std::string &Path, const Bytes &Data) {
    std::ofstream Out(Path, std::ios::binary);
    Out.write(reinterpret_cast<const char *>(Data.data()),
              static_cast<std::streamsize>(Data.size()));
  }
  static Bytes ReadBytes(const std::string &Path) {
    std::ifstream In(Path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
  }
  std::size_t Entries() const {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator(Dir), fs::directory_iterator()));
  }

  fs::path Dir;
  TZOLSettings Settings;
};

bool MakeSocket(const std::string &Path) {
  const int Fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un Address{};
  Address.sun_family = AF_UNIX;
  if (Fd < 0 || Path.size() >= sizeof Address.sun_path)
    return false;
  Path.copy(Address.sun_path, Path.size());
  const bool Made = ::bind(Fd, reinterpret_cast<sockaddr *>(&Address), sizeof Address) == 0;
  ::close(Fd);
  return Made;
}

TEST_F(SaveSafetyTest, NodesThatAreNotFilesAreRefusedAndStayAsTheyAre) {
  struct Case {
    const char *Name;
    std::function<bool(const std::string &)> Make;
    TSystemReason Reason;
  };
  const Case Cases[] = {
      {"fifo", [](const std::string &p) { return ::mkfifo(p.c_str(), 0600) == 0; },
       TSystemReason::Fifo},
      // The same numbers as the null device, in our own folder; needs the right to make nodes.
      {"chardev",
       [](const std::string &p) { return ::mknod(p.c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0; },
       TSystemReason::CharacterDevice},
      {"socket", MakeSocket, TSystemReason::Socket},
      {"folder", [](const std::string &p) { return ::mkdir(p.c_str(), 0700) == 0; },
       TSystemReason::IsADirectory},
  };
  for (const Case &c : Cases) {
    const std::string Node = PathOf(c.Name);
    if (!c.Make(Node)) {
      std::cout << "[ NOTE ] cannot make a " << c.Name << " here; that case is not tried\n";
      continue;
    }
    const std::string Link = PathOf(std::string(c.Name) + ".link");
    ASSERT_EQ(::symlink(c.Name, Link.c_str()), 0);
    struct stat Before {};
    ASSERT_EQ(::lstat(Node.c_str(), &Before), 0);
    const std::size_t Count = Entries();
    for (const std::string &Target : {Node, Link}) {
      const TParamFileResult Saved = WriteParameterFile(Target, Settings);
      EXPECT_FALSE(Saved.Ok) << Target;
      EXPECT_FALSE(Saved.Refused) << Target;
      EXPECT_EQ(Saved.Error.System.Reason, c.Reason) << Target;
      // Reading never waits on the node (a FIFO without writer would block an open for ever).
      // A reader stuck for ever is left behind (detached) so that the test can still fail.
      auto Promise = std::make_shared<std::promise<TParamFileResult>>();
      auto Read = Promise->get_future();
      std::thread([Promise, Target] {
        TZOLSettings Loaded;
        Promise->set_value(ReadParameterFile(Target, Loaded));
      }).detach();
      ASSERT_EQ(Read.wait_for(std::chrono::seconds(5)), std::future_status::ready) << Target;
      const TParamFileResult Loaded = Read.get();
      EXPECT_FALSE(Loaded.Ok) << Target;
      EXPECT_EQ(Loaded.Error.System.Reason, c.Reason) << Target;
    }
    struct stat After {};
    ASSERT_EQ(::lstat(Node.c_str(), &After), 0);
    EXPECT_EQ(After.st_ino, Before.st_ino) << c.Name;
    EXPECT_EQ(After.st_mode, Before.st_mode) << c.Name;
    EXPECT_EQ(After.st_rdev, Before.st_rdev) << c.Name;
    EXPECT_TRUE(fs::is_symlink(Link)) << c.Name;
    EXPECT_EQ(Entries(), Count) << c.Name << ": a temporary file stayed";
  }
}

TEST_F(SaveSafetyTest, ALinkIsFollowedToTheFileItNames) {
  fs::create_directory(Dir / "real");
  const std::string File = PathOf("real/settings.ZOL");
  WriteBytes(File, Bytes(300, 0xAA));
  ::chmod(File.c_str(), 0640);
  // Only root may give the file to another user; then the replaced file stays that user's.
  const bool GivenAway = ::chown(File.c_str(), 65534, 65534) == 0;
  // Relative, absolute, a chain of two, and a link whose file does not exist yet.
  ASSERT_EQ(::symlink("real/settings.ZOL", PathOf("relative.ZOL").c_str()), 0);
  ASSERT_EQ(::symlink(File.c_str(), PathOf("absolute.ZOL").c_str()), 0);
  ASSERT_EQ(::symlink("relative.ZOL", PathOf("chain.ZOL").c_str()), 0);
  ASSERT_EQ(::symlink("real/new.ZOL", PathOf("dangling.ZOL").c_str()), 0);
  for (const char *Link : {"relative.ZOL", "absolute.ZOL", "chain.ZOL", "dangling.ZOL"}) {
    Settings.Filter += 1.0f;
    const TParamFileResult Saved = WriteParameterFile(PathOf(Link), Settings);
    ASSERT_TRUE(Saved.Ok) << Link << ": " << SystemReasonName(Saved.Error.System.Reason);
    EXPECT_TRUE(fs::is_symlink(Dir / Link)) << Link;
    TZOLSettings Loaded;
    ASSERT_TRUE(ReadParameterFile(PathOf(Link), Loaded).Ok) << Link;
    EXPECT_EQ(Loaded.Filter, Settings.Filter) << Link;
  }
  struct stat Info {};
  ASSERT_EQ(::stat(File.c_str(), &Info), 0);
  EXPECT_EQ(Info.st_mode & 07777, 0640u) << "the replaced file keeps its permissions";
  if (GivenAway) {
    EXPECT_EQ(Info.st_uid, 65534u) << "the replaced file keeps its owner";
  }
  EXPECT_EQ(ReadBytes(File).size(), 88u);
  EXPECT_EQ(ReadBytes(PathOf("real/new.ZOL")).size(), 88u);
  EXPECT_EQ(std::distance(fs::directory_iterator(Dir / "real"), fs::directory_iterator()), 2);
}

TEST_F(SaveSafetyTest, AFileWithOtherNamesIsRefusedAndKeptWhole) {
  const std::string File = PathOf("a.ZOL");
  const Bytes Old(88, 0x55);
  WriteBytes(File, Old);
  ASSERT_EQ(::link(File.c_str(), PathOf("b.ZOL").c_str()), 0);
  const TParamFileResult Saved = WriteParameterFile(File, Settings);
  EXPECT_FALSE(Saved.Ok);
  EXPECT_EQ(Saved.Error.System.Reason, TSystemReason::HardLinks);
  EXPECT_EQ(Saved.Error.System.Count, 2u);
  EXPECT_EQ(ReadBytes(File), Old);
  EXPECT_EQ(ReadBytes(PathOf("b.ZOL")), Old);
  EXPECT_EQ(Entries(), 2u);
}

TEST_F(SaveSafetyTest, ANameOf250BytesSavesAndReplaces) {
  const std::string Name = std::string(246, 'n') + ".ZOL";
  ASSERT_EQ(Name.size(), 250u);
  for (float Filter : {1.0f, 2.0f}) {
    Settings.Filter = Filter;
    const TParamFileResult Saved = WriteParameterFile(PathOf(Name), Settings);
    ASSERT_TRUE(Saved.Ok) << SystemReasonName(Saved.Error.System.Reason);
    TZOLSettings Loaded;
    ASSERT_TRUE(ReadParameterFile(PathOf(Name), Loaded).Ok);
    EXPECT_EQ(Loaded.Filter, Filter);
    EXPECT_EQ(Entries(), 1u);
  }
}

TEST_F(SaveSafetyTest, TheSimulatorsMemoryFileIsSavedTheSameWay) {
  // A device node where the memory file should be stays a node; a link leads to its file; a long
  // name works; no temporary file stays.
  const std::string Node = PathOf("node.mem");
  const bool HaveNode = ::mknod(Node.c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0;
  fs::create_directory(Dir / "real");
  ASSERT_EQ(::symlink("real/rw8.mem", PathOf("link.mem").c_str()), 0);
  for (const std::string &Name :
       {std::string("node.mem"), std::string("link.mem"), std::string(246, 'm') + ".mem"}) {
    if (Name == "node.mem" && !HaveNode)
      continue;
    TVirtualRW8Options Options;
    Options.Streaming = false;
    Options.MemoryFile = PathOf(Name);
    VirtualRW8 Sim(Options);
    Sim.SetOptionFlags(false, true);
  }
  if (HaveNode) {
    struct stat Info {};
    ASSERT_EQ(::lstat(Node.c_str(), &Info), 0);
    EXPECT_TRUE(S_ISCHR(Info.st_mode)) << "the node was replaced";
    EXPECT_EQ(Info.st_rdev, makedev(1, 3));
  }
  EXPECT_TRUE(fs::is_symlink(Dir / "link.mem"));
  EXPECT_EQ(ReadBytes(PathOf("real/rw8.mem")).size(),
            static_cast<std::size_t>(kSimMemoryImageSize));
  EXPECT_EQ(ReadBytes(PathOf(std::string(246, 'm') + ".mem")).size(),
            static_cast<std::size_t>(kSimMemoryImageSize));
  EXPECT_EQ(Entries(), HaveNode ? 4u : 3u);
}

TEST_F(SaveSafetyTest, AnotherUsersLinkInAFolderOpenToAllIsNotFollowed) {
  // Only root may give a link to another user.
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root to make another user's link";
  fs::create_directory(Dir / "shared");
  ASSERT_EQ(::chmod(PathOf("shared").c_str(), 01777), 0);
  const std::string Victim = PathOf("victim.ZOL");
  const Bytes Old(88, 0x55);
  WriteBytes(Victim, Old);
  const std::string Theirs = PathOf("shared/theirs.ZOL");
  const std::string Ours = PathOf("shared/ours.ZOL");
  ASSERT_EQ(::symlink(Victim.c_str(), Theirs.c_str()), 0);
  ASSERT_EQ(::lchown(Theirs.c_str(), 65534, 65534), 0);
  ASSERT_EQ(::symlink(Victim.c_str(), Ours.c_str()), 0);
  const TParamFileResult Saved = WriteParameterFile(Theirs, Settings);
  EXPECT_FALSE(Saved.Ok);
  EXPECT_EQ(Saved.Error.System.Reason, TSystemReason::ForeignLink);
  EXPECT_EQ(ReadBytes(Victim), Old);
  EXPECT_TRUE(fs::is_symlink(Theirs));
  // The user's own link there is followed.
  EXPECT_TRUE(WriteParameterFile(Ours, Settings).Ok);
  EXPECT_EQ(ReadBytes(Victim).size(), 88u);
  EXPECT_NE(ReadBytes(Victim), Old);
}

TEST_F(SaveSafetyTest, AReadOnlyFileIsRefusedAndKeptWhole) {
  const std::string File = PathOf("kept.ZOL");
  const Bytes Old(88, 0x33);
  WriteBytes(File, Old);
  ASSERT_EQ(::chmod(File.c_str(), 0444), 0);
  const TParamFileResult Saved = WriteParameterFile(File, Settings);
  EXPECT_FALSE(Saved.Ok);
  EXPECT_EQ(Saved.Error.System.Reason, TSystemReason::ReadOnlyFile);
  EXPECT_EQ(Saved.Error.System.Count & 0777u, 0444u);
  EXPECT_EQ(ReadBytes(File), Old);
  EXPECT_EQ(Entries(), 1u);
}

TEST_F(SaveSafetyTest, TheAccessHintNamesWhatThisSystemLacks) {
  const auto Has = [](const std::string &Text, const std::string &Part) {
    return Text.find(Part) != std::string::npos;
  };
  // No rule: how to install it.
  TAccessHint Hint = AccessHint(Dir.string());
  EXPECT_TRUE(Has(Hint.English, "not installed")) << Hint.English;
  EXPECT_TRUE(Has(Hint.English, "sudo cp resources/70-rw8.rules")) << Hint.English;
  EXPECT_TRUE(Has(Hint.French, "70-rw8.rules")) << Hint.French;
  // The package's rule: nothing to copy for the user at the seat, the plugdev rule for others.
  fs::create_directories(Dir / "usr/lib/udev/rules.d");
  WriteBytes(PathOf("usr/lib/udev/rules.d/70-rw8.rules"), Bytes(1, '#'));
  Hint = AccessHint(Dir.string());
  EXPECT_TRUE(Has(Hint.English, "/usr/lib/udev/rules.d/70-rw8.rules is installed")) << Hint.English;
  EXPECT_FALSE(Has(Hint.English, "cp resources/70-rw8.rules")) << Hint.English;
  EXPECT_TRUE(Has(Hint.English, "70-rw8-plugdev.rules")) << Hint.English;
  // The plugdev rule: the group.
  fs::create_directories(Dir / "etc/udev/rules.d");
  WriteBytes(PathOf("etc/udev/rules.d/70-rw8-plugdev.rules"), Bytes(1, '#'));
  Hint = AccessHint(Dir.string());
  EXPECT_TRUE(Has(Hint.English, "/etc/udev/rules.d/70-rw8-plugdev.rules gives the instrument to "
                                "the group plugdev"))
      << Hint.English;
  EXPECT_FALSE(Has(Hint.English, "sudo cp")) << Hint.English;
}

} // namespace
} // namespace zol
