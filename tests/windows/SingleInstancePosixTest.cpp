// The single-instance lock without a session runtime folder: a private folder of this user's own
// in the shared temporary folder; when someone else made that one first, another in this user's
// cache folder, so that the program still starts.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "windows/SingleInstance.h"

namespace zol {
namespace {

namespace fs = std::filesystem;

class LockFolderTest : public ::testing::Test {
protected:
  void SetUp() override {
    char Pattern[] = "/tmp/zol-lock-folder-XXXXXX";
    ASSERT_NE(::mkdtemp(Pattern), nullptr);
    Shared = Pattern;
    ::chmod(Pattern, 01777); // as /tmp is
    Saved(Runtime, "XDG_RUNTIME_DIR");
    Saved(Temporary, "TMPDIR");
    Saved(Cache, "XDG_CACHE_HOME");
    ::unsetenv("XDG_RUNTIME_DIR");
    ::setenv("TMPDIR", Shared.c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (Shared / "cache").c_str(), 1);
    Folder = Shared / ("zolcfg-" + std::to_string(::getuid()));
  }
  void TearDown() override {
    Restore(Runtime, "XDG_RUNTIME_DIR");
    Restore(Temporary, "TMPDIR");
    Restore(Cache, "XDG_CACHE_HOME");
    std::error_code Ec;
    fs::remove_all(Shared, Ec);
  }
  struct Variable {
    bool Set = false;
    std::string Value;
  };
  static void Saved(Variable &V, const char *Name) {
    const char *Value = std::getenv(Name);
    V.Set = Value != nullptr;
    V.Value = Value ? Value : "";
  }
  static void Restore(const Variable &V, const char *Name) {
    if (V.Set)
      ::setenv(Name, V.Value.c_str(), 1);
    else
      ::unsetenv(Name);
  }

  fs::path Shared;
  fs::path Folder;
  Variable Runtime;
  Variable Temporary;
  Variable Cache;
};

TEST_F(LockFolderTest, APrivateFolderIsMadeAndAnotherCopyOfThisUserDoesNotTakeTheLock) {
  TSingleInstance First("Rw8 ZOLCFG");
  ASSERT_TRUE(First.Acquired()) << First.Problem();
  struct stat Info {};
  ASSERT_EQ(::lstat(Folder.c_str(), &Info), 0);
  EXPECT_TRUE(S_ISDIR(Info.st_mode));
  EXPECT_EQ(Info.st_mode & 0777, 0700u);
  EXPECT_EQ(Info.st_uid, ::getuid());
  TSingleInstance Second("Rw8 ZOLCFG");
  EXPECT_FALSE(Second.Acquired());
  EXPECT_EQ(Second.Problem(), "") << "another copy of this user holds it";
  First.Release();
  TSingleInstance Third("Rw8 ZOLCFG");
  EXPECT_TRUE(Third.Acquired());
}

TEST_F(LockFolderTest, AFolderSomeoneElseMadeFirstIsPassedOverForAPrivateOne) {
  struct Case {
    const char *Name;
    std::function<bool(const fs::path &)> Plant;
  };
  const fs::path Elsewhere = Shared / "elsewhere";
  const fs::path Private = Shared / "cache" / "zolcfg";
  const Case Cases[] = {
      {"open to everyone",
       [](const fs::path &f) {
         return ::mkdir(f.c_str(), 0777) == 0 && ::chmod(f.c_str(), 0777) == 0;
       }},
      {"a link to a folder",
       [&](const fs::path &f) {
         return ::mkdir(Elsewhere.c_str(), 0700) == 0 &&
                ::symlink(Elsewhere.c_str(), f.c_str()) == 0;
       }},
      // Only root can give a folder to another user; elsewhere this case is not tried.
      {"another user's",
       [](const fs::path &f) {
         return ::mkdir(f.c_str(), 0700) == 0 && ::chown(f.c_str(), 65534, 65534) == 0;
       }},
  };
  for (const Case &c : Cases) {
    std::error_code Ec;
    fs::remove_all(Folder, Ec);
    fs::remove_all(Elsewhere, Ec);
    fs::remove_all(Private, Ec);
    if (!c.Plant(Folder)) {
      std::cout << "[ NOTE ] cannot plant " << c.Name << " here; not tried\n";
      continue;
    }
    TSingleInstance Lock("Rw8 ZOLCFG");
    ASSERT_TRUE(Lock.Acquired()) << c.Name << ": " << Lock.Problem();
    EXPECT_NE(Lock.Notice().find(Folder.string()), std::string::npos)
        << c.Name << ": " << Lock.Notice();
    struct stat Info {};
    ASSERT_EQ(::lstat(Private.c_str(), &Info), 0) << c.Name;
    EXPECT_TRUE(S_ISDIR(Info.st_mode)) << c.Name;
    EXPECT_EQ(Info.st_mode & 0777, 0700u) << c.Name;
    EXPECT_TRUE(fs::exists(Private / "Rw8 ZOLCFG.lock")) << c.Name;
    EXPECT_EQ(Lock.ServerName().toStdString(), (Private / "Rw8 ZOLCFG.sock").string()) << c.Name;
    EXPECT_FALSE(fs::exists(Folder / "Rw8 ZOLCFG.lock")) << c.Name;
    EXPECT_FALSE(fs::exists(Elsewhere / "Rw8 ZOLCFG.lock")) << c.Name;
    // The next copy finds the same lock.
    TSingleInstance Second("Rw8 ZOLCFG");
    EXPECT_FALSE(Second.Acquired()) << c.Name;
    EXPECT_EQ(Second.Problem(), "") << c.Name;
  }
}

} // namespace
} // namespace zol
