#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "protocol/ParamFile.h"
#include "protocol/ZOL.h"

namespace zol {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

class ParamFileTest : public ::testing::Test {
protected:
  void SetUp() override {
    Dir = fs::temp_directory_path() /
          ("zol-paramfile-" + std::to_string(::getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(Dir);
    fs::create_directories(Dir);
  }
  void TearDown() override {
    std::error_code Ec;
    fs::permissions(Dir, fs::perms::owner_all, Ec);
    fs::remove_all(Dir, Ec);
  }

  std::string PathOf(const std::string &Name) const { return (Dir / Name).string(); }

  void WriteBytes(const std::string &Path, const Bytes &Data) const {
    std::ofstream Out(Path, std::ios::binary);
    Out.write(reinterpret_cast<const char *>(Data.data()),
              static_cast<std::streamsize>(Data.size()));
  }

  static Bytes ReadBytes(const std::string &Path) {
    std::ifstream In(Path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
  }

  /// A valid file whose 72 bytes are all distinct from their neighbours (n + Seed).
  static Bytes ValidFile(std::size_t Length = 88, std::uint8_t Seed = 1) {
    Bytes Data(Length);
    std::memcpy(Data.data(), kParamFileId, 16);
    for (std::size_t i = 16; i < Length; ++i) {
      Data[i] = static_cast<std::uint8_t>(i + Seed);
    }
    if (Length > 16) {
      Data[16] = 16; // a tag length the instrument uses
    }
    return Data;
  }

  std::size_t EntriesInDir() const {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator(Dir), fs::directory_iterator()));
  }

  fs::path Dir;
};

TEST_F(ParamFileTest, LengthsAndIdentification) {
  struct Case {
    const char *Name;
    std::size_t Length;
    const char *Id;
    bool Loads;
  };
  const Case Cases[] = {
      {"exact", 88, "ZOLUSB V1.0-KOVA", true},
      {"longer", 200, "ZOLUSB V1.0-KOVA", true},
      {"one short", 87, "ZOLUSB V1.0-KOVA", false},
      {"id only", 16, "ZOLUSB V1.0-KOVA", false},
      {"lower case", 88, "zolusb v1.0-kova", false},
      {"one letter", 88, "ZOLUSB V1.0-KOVa", false},
      {"other version", 88, "ZOLUSB V2.0-KOVA", false},
  };
  for (const Case &c : Cases) {
    Bytes Data = ValidFile(c.Length);
    std::memcpy(Data.data(), c.Id, 16);
    const std::string Path = PathOf("file.ZOL");
    WriteBytes(Path, Data);
    TZOLSettings Settings;
    Settings.Filter = 42.0f;
    const TParamFileResult Result = ReadParameterFile(Path, Settings);
    EXPECT_EQ(Result.Ok, c.Loads) << c.Name << ": " << ErrorCodeName(Result.Error.Code);
    if (c.Loads) {
      const auto Image = SettingsImage(Settings);
      EXPECT_EQ(Bytes(Image.begin(), Image.end()), Bytes(Data.begin() + 16, Data.begin() + 88))
          << c.Name;
    } else {
      EXPECT_TRUE(Result.Refused) << c.Name;
      EXPECT_EQ(Result.Error.Code, c.Length < 88 && std::memcmp(c.Id, kParamFileId, 16) == 0
                                       ? TErrorCode::FileTooShort
                                       : TErrorCode::WrongFileStart)
          << c.Name;
      EXPECT_EQ(Settings.Filter, 42.0f) << c.Name << ": settings changed by a refused file";
    }
  }
  for (std::size_t Length : {0u, 1u, 10u}) {
    const std::string Path = PathOf("short.ZOL");
    const Bytes Full = ValidFile();
    WriteBytes(Path, Bytes(Full.begin(), Full.begin() + static_cast<long>(Length)));
    TZOLSettings Settings;
    const TParamFileResult Result = ReadParameterFile(Path, Settings);
    EXPECT_FALSE(Result.Ok);
    EXPECT_TRUE(Result.Refused) << Length;
  }
  EXPECT_STREQ(kFichierIncorrect, "  Fichier incorrect !  ");
}

TEST_F(ParamFileTest, RoundTripKeepsAll72Bytes) {
  const std::string In = PathOf("in.ZOL");
  const std::string Out = PathOf("out.ZOL");
  const Bytes Data = ValidFile(88, 7);
  WriteBytes(In, Data);
  TZOLSettings Settings;
  ASSERT_TRUE(ReadParameterFile(In, Settings).Ok);
  const TParamFileResult Saved = WriteParameterFile(Out, Settings);
  ASSERT_TRUE(Saved.Ok) << SystemReasonName(Saved.Error.System.Reason);
  EXPECT_EQ(ReadBytes(Out), Data);
}

TEST_F(ParamFileTest, FieldsSitAtTheirOffsetsLittleEndian) {
  TZOLSettings Settings;
  Settings.Tag.Set("0123456789ABCDEF");
  Settings.Filter = 1.5f;           // 3F C0 00 00
  Settings.Alarm1.SetPoint = 25.0f; // 41 C8 00 00
  Settings.Alarm1.ContactNC = 1;
  Settings.Alarm2.Delay = -12.5f; // C1 48 00 00
  Settings.Alarm2.LedBelow = 1;
  const std::string Path = PathOf("0123456789ABCDEF.ZOL");
  ASSERT_TRUE(WriteParameterFile(Path, Settings).Ok);
  const Bytes File = ReadBytes(Path);
  ASSERT_EQ(File.size(), 88u);
  EXPECT_EQ(std::string(File.begin(), File.begin() + 16), "ZOLUSB V1.0-KOVA");
  EXPECT_EQ(File[16], 16);
  EXPECT_EQ(std::string(File.begin() + 17, File.begin() + 33), "0123456789ABCDEF");
  EXPECT_EQ(Bytes(File.begin() + 52, File.begin() + 56), (Bytes{0x00, 0x00, 0xC0, 0x3F}));
  EXPECT_EQ(Bytes(File.begin() + 56, File.begin() + 60), (Bytes{0x00, 0x00, 0xC8, 0x41}));
  EXPECT_EQ(File[68], 1);
  EXPECT_EQ(Bytes(File.begin() + 80, File.begin() + 84), (Bytes{0x00, 0x00, 0x48, 0xC1}));
  EXPECT_EQ(File[86], 1);
  EXPECT_EQ(File[87], 0);
}

TEST_F(ParamFileTest, TagLengthByteBeyond32IsNeverReadPast32) {
  Bytes Data = ValidFile();
  Data[16] = 255;
  const std::string Path = PathOf("long-tag.ZOL");
  WriteBytes(Path, Data);
  TZOLSettings Settings;
  ASSERT_TRUE(ReadParameterFile(Path, Settings).Ok);
  EXPECT_EQ(Settings.Tag.Length, 255); // kept as the file has it
  const std::string Tag = Settings.Tag.Get();
  EXPECT_EQ(Tag, std::string(Data.begin() + 17, Data.begin() + 49));
}

TEST_F(ParamFileTest, FilesThatCannotBeOpened) {
  TZOLSettings Settings;
  Settings.Filter = 3.0f;
  const std::string Missing = PathOf("missing.ZOL");
  TParamFileResult Result = ReadParameterFile(Missing, Settings);
  EXPECT_FALSE(Result.Ok);
  EXPECT_FALSE(Result.Refused);
  EXPECT_EQ(Result.Error.Code, TErrorCode::CannotRead);
  EXPECT_EQ(Result.Error.Text, Missing);
  EXPECT_EQ(Result.Error.System.Reason, TSystemReason::NotFound);

  Result = ReadParameterFile(Dir.string(), Settings);
  EXPECT_FALSE(Result.Ok);
  EXPECT_FALSE(Result.Refused);
  EXPECT_EQ(Result.Error.System.Reason, TSystemReason::IsADirectory);
  EXPECT_EQ(Settings.Filter, 3.0f);
}

TEST_F(ParamFileTest, SaveReplacesAnExistingFileAndLeavesNoTemporary) {
  const std::string Path = PathOf("target.ZOL");
  WriteBytes(Path, Bytes(300, 0xAA));
  TZOLSettings Settings;
  Settings.Filter = 2.0f;
  ASSERT_TRUE(WriteParameterFile(Path, Settings).Ok);
  EXPECT_EQ(ReadBytes(Path).size(), 88u);
  EXPECT_EQ(EntriesInDir(), 1u);
}

TEST_F(ParamFileTest, FailedSavesLeaveTheTargetUntouched) {
  TZOLSettings Settings;
  Settings.Filter = 2.0f;

  // A directory that does not exist.
  TParamFileResult Result = WriteParameterFile(PathOf("no-such-dir/x.ZOL"), Settings);
  EXPECT_FALSE(Result.Ok);
  EXPECT_FALSE(Result.Refused);
  EXPECT_EQ(Result.Error.Code, TErrorCode::CannotWrite);
  EXPECT_EQ(Result.Error.System.Reason, TSystemReason::NotFound);

  // A target that is a directory.
  fs::create_directory(Dir / "sub.ZOL");
  Result = WriteParameterFile(PathOf("sub.ZOL"), Settings);
  EXPECT_FALSE(Result.Ok);
  EXPECT_TRUE(fs::is_directory(Dir / "sub.ZOL"));

  // A read-only directory holding the old file: chmod where it binds (not as root), else a
  // file system where nothing can be created.
  const fs::path ReadOnly = Dir / "ro";
  fs::create_directory(ReadOnly);
  const std::string Target = (ReadOnly / "old.ZOL").string();
  const Bytes Old(88, 0x55);
  WriteBytes(Target, Old);
  fs::permissions(ReadOnly, fs::perms::owner_read | fs::perms::owner_exec);
  const bool ChmodBinds = ::access(ReadOnly.string().c_str(), W_OK) != 0;
  if (ChmodBinds) {
    Result = WriteParameterFile(Target, Settings);
    EXPECT_FALSE(Result.Ok);
    EXPECT_EQ(Result.Error.System.Reason, TSystemReason::PermissionDenied);
    EXPECT_EQ(ReadBytes(Target), Old);
    EXPECT_EQ(std::distance(fs::directory_iterator(ReadOnly), fs::directory_iterator()), 1);
  } else {
    Result = WriteParameterFile("/proc/self/zol-test.ZOL", Settings);
    EXPECT_FALSE(Result.Ok) << "created a file under /proc";
    EXPECT_EQ(Result.Error.Code, TErrorCode::CannotWrite);
  }
  fs::permissions(ReadOnly, fs::perms::owner_all);
}

TEST_F(ParamFileTest, NamesBeyondAsciiSaveReplaceAndLoad) {
  const fs::path Name = fs::path(u8"param\u00e8tres-\u6e29\u5ea6-\u03a9.ZOL");
  const std::u8string Utf8 = (Dir / Name).u8string();
  const std::string Path(Utf8.begin(), Utf8.end());
  for (float Filter : {1.0f, 2.0f}) {
    TZOLSettings Settings;
    Settings.Filter = Filter;
    const TParamFileResult Saved = WriteParameterFile(Path, Settings);
    ASSERT_TRUE(Saved.Ok) << SystemReasonName(Saved.Error.System.Reason);
    // The system shows the name as it was given, not as bytes of another code page.
    EXPECT_TRUE(fs::is_regular_file(Dir / Name));
    TZOLSettings Loaded;
    ASSERT_TRUE(ReadParameterFile(Path, Loaded).Ok);
    EXPECT_EQ(Loaded.Filter, Filter);
    EXPECT_EQ(EntriesInDir(), 1u);
  }
}

} // namespace
} // namespace zol
