#include "sim/MemoryFile.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "protocol/Utils.h"

namespace zol {
namespace {

TSimMemory Sample() {
  TSimMemory m;
  m.Settings.Tag = "SAMPLE TAG 0123_";
  m.Settings.Filter = SingleToBytes(2.5f);
  m.Settings.Alarm1 = {-250, 15, 30, AlarmFlag::ContactNC};
  m.Settings.Alarm2 = {800, -5, 0, 0xFF};
  m.Settings.UseDisplay = false;
  m.Settings.UseE2PROM = true;
  m.Password = "PASS[9]^";
  m.HistoryCount = 2;
  m.History[0] = {0x23, 9000, 0xFFFF};
  m.History[1] = {0x20, 1, 2};
  m.History[7] = {0x55, 3, 4}; // beyond the count: kept as stored
  m.Info = {1, 2, 3, 4, 5, 6};
  return m;
}

std::string TempPath() {
  const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
  return (std::filesystem::temp_directory_path() /
          (std::string("rw8-image-") + info->name() + "-" +
           std::to_string(std::chrono::steady_clock::now().time_since_epoch().count())))
      .string();
}

TEST(MemoryImage, RoundTripsThroughBytesAndFile) {
  const TSimMemory m = Sample();
  TSimMemory back;
  ASSERT_TRUE(ParseMemoryImage(BuildMemoryImage(m), back));
  EXPECT_EQ(back, m);

  const std::string path = TempPath();
  ASSERT_TRUE(SaveMemoryFile(path, BuildMemoryImage(m)));
  TSimMemory loaded;
  EXPECT_EQ(LoadMemoryFile(path, loaded), TSimMemoryState::Loaded);
  EXPECT_EQ(loaded, m);
  EXPECT_EQ(std::filesystem::file_size(path), static_cast<std::uintmax_t>(kSimMemoryImageSize));
  std::filesystem::remove(path);
  EXPECT_EQ(LoadMemoryFile(path, loaded), TSimMemoryState::Missing);
  EXPECT_EQ(loaded, m) << "a missing file changes nothing";
}

TEST(MemoryImage, RefusesGarbledOrNonsenseImagesAndChangesNothing) {
  const TSimMemory kept = Sample();
  struct Case {
    const char *Name;
    TSimMemoryImage Image;
  };
  TSimMemory lowerTag = Sample(), badPass = Sample(), longHistory = Sample();
  lowerTag.Settings.Tag[3] = 'a';
  badPass.Password[0] = '\t';
  longHistory.HistoryCount = kSimHistorySize + 1;
  std::vector<Case> cases = {{"flipped byte", BuildMemoryImage(kept)},
                             {"flipped checksum", BuildMemoryImage(kept)},
                             {"bad magic", BuildMemoryImage(kept)},
                             {"all zero", TSimMemoryImage{}},
                             // A sound checksum over contents the instrument never keeps.
                             {"lower-case tag", BuildMemoryImage(lowerTag)},
                             {"control character in password", BuildMemoryImage(badPass)},
                             {"history count too large", BuildMemoryImage(longHistory)}};
  cases[0].Image[30] ^= 0x10;
  cases[1].Image[kSimMemoryImageSize - 1] ^= 0x01;
  cases[2].Image[0] = 'X';
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Name);
    TSimMemory m = kept;
    EXPECT_FALSE(ParseMemoryImage(c.Image, m));
    EXPECT_EQ(m, kept);
  }

  // On disk: a garbled image, and a sound one with a byte more, are corrupt files.
  const std::string path = TempPath();
  for (int extra : {0, 1}) {
    SCOPED_TRACE(extra);
    TSimMemoryImage image = BuildMemoryImage(Sample());
    if (extra == 0)
      image[10] ^= 0x01;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(image.data()), image.size());
    out.write("", extra);
    out.close();
    TSimMemory m = kept;
    EXPECT_EQ(LoadMemoryFile(path, m), TSimMemoryState::Corrupt);
    EXPECT_EQ(m, kept);
  }
  std::filesystem::remove(path);
}

} // namespace
} // namespace zol
