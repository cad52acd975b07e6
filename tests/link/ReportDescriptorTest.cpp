#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "link/ReportDescriptor.h"

namespace zol {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes FromHex(const std::string &text) {
  Bytes out;
  std::istringstream in(text);
  std::string byte;
  while (in >> byte)
    out.push_back(static_cast<std::uint8_t>(std::stoul(byte, nullptr, 16)));
  return out;
}

// The real descriptors captured from common devices, with the lengths Windows reported.
TEST(ReportDescriptor, RealDescriptorsGiveTheLengthsWindowsReports) {
  const char *shared = std::getenv("ZOL_SHARED_DIR");
  const std::filesystem::path folder =
      std::filesystem::path(shared ? shared : "") / "testdata" / "hid-descriptors";
  if (!shared || !std::filesystem::exists(folder / "expected.tsv"))
    GTEST_SKIP() << "no shared test data beside the checkout (" << folder << ")";

  std::ifstream table(folder / "expected.tsv");
  std::string line;
  std::getline(table, line); // heading
  int checked = 0;
  while (std::getline(table, line)) {
    std::istringstream row(line);
    std::string name;
    std::size_t size = 0;
    int input = 0, output = 0, feature = 0;
    row >> name >> size >> input >> output >> feature;
    std::ifstream file(folder / (name + ".hex"));
    std::stringstream hex;
    hex << file.rdbuf();
    const Bytes descriptor = FromHex(hex.str());
    ASSERT_EQ(descriptor.size(), size) << name;
    TReportDescriptorInfo info;
    std::string error;
    ASSERT_TRUE(ParseReportDescriptor(descriptor.data(), descriptor.size(), info, &error))
        << name << ": " << error;
    EXPECT_EQ(info.InputReportByteLength, input) << name;
    EXPECT_EQ(info.OutputReportByteLength, output) << name;
    EXPECT_EQ(info.FeatureReportByteLength, feature) << name;
    ++checked;
  }
  EXPECT_EQ(checked, 16);
}

// Descriptors of our own: the instrument's shape, with and without report ids.
TEST(ReportDescriptor, OwnDescriptors) {
  struct Case {
    const char *name;
    const char *hex;
    int input, output, feature;
    bool ids;
  };
  const Case cases[] = {
      {"vendor page, 12 bytes in, 8 out, no ids",
       "06 00 FF 09 01 A1 01 15 00 26 FF 00 75 08 95 0C 09 01 81 02 95 08 09 01 91 02 C0", 13, 9, 0,
       false},
      {"two numbered input reports: the longest counts",
       "06 00 FF 09 01 A1 01 85 01 75 08 95 04 09 01 81 02 85 02 95 20 09 01 81 02 C0", 33, 0, 0,
       true},
      {"odd bit counts round up to whole bytes", "05 01 09 06 A1 01 75 01 95 03 81 02 C0", 2, 0, 0,
       false},
      {"push and pop restore the globals",
       "06 00 FF 09 01 A1 01 75 08 95 02 A4 95 10 81 02 B4 91 02 B1 02 C0", 17, 3, 3, false},
      {"a long item is skipped", "FE 02 10 AA BB 75 08 95 04 81 02", 5, 0, 0, false},
      {"empty descriptor", "", 0, 0, 0, false},
  };
  for (const Case &c : cases) {
    const Bytes d = FromHex(c.hex);
    TReportDescriptorInfo info;
    std::string error;
    ASSERT_TRUE(ParseReportDescriptor(d.data(), d.size(), info, &error)) << c.name << ": " << error;
    EXPECT_EQ(info.InputReportByteLength, c.input) << c.name;
    EXPECT_EQ(info.OutputReportByteLength, c.output) << c.name;
    EXPECT_EQ(info.FeatureReportByteLength, c.feature) << c.name;
    EXPECT_EQ(info.UsesReportIds, c.ids) << c.name;
  }
}

TEST(ReportDescriptor, MalformedDescriptorsAreRefused) {
  const std::pair<const char *, const char *> cases[] = {
      {"item data cut off", "06 00"},
      {"four-byte item cut off", "27 FF FF"},
      {"long item cut off", "FE 05 10 01 02"},
      {"long item header cut off", "FE 05"},
      {"report id 0", "85 00 75 08 95 01 81 02"},
      {"pop without push", "B4"},
      {"absurd report count", "75 08 97 FF FF FF FF 81 02"},
      {"absurd report size", "77 FF FF FF 7F 95 02 81 02"},
      {"push nested too deep",
       "A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 "
       "A4 A4 A4"},
  };
  for (const auto &[name, hex] : cases) {
    const Bytes d = FromHex(hex);
    TReportDescriptorInfo info;
    std::string error;
    EXPECT_FALSE(ParseReportDescriptor(d.data(), d.size(), info, &error)) << name;
    EXPECT_FALSE(error.empty()) << name;
  }
}

TEST(ReportDescriptor, ManyFieldsAddUpWithoutOverflow) {
  // 2000 inputs of 255 x 8 bits each would pass 16 bits of bytes: refused, not wrapped.
  Bytes d = FromHex("75 08 95 FF");
  for (int i = 0; i < 2000; ++i) {
    d.push_back(0x81);
    d.push_back(0x02);
  }
  TReportDescriptorInfo info;
  EXPECT_FALSE(ParseReportDescriptor(d.data(), d.size(), info));
}

} // namespace
} // namespace zol
