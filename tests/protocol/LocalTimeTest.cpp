#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>
#include <utility>

#include "protocol/LocalTime.h"

namespace zol {
namespace {

// The time of monitor's lines and of the trend's export: the local time and its distance from UTC,
// minutes included.
TEST(LocalIsoTime, CarriesTheOffsetOfTheLocalTime) {
  const char *saved = std::getenv("TZ");
  const std::string before = saved ? saved : "";
  const auto when =
      std::chrono::system_clock::from_time_t(1796706062) + std::chrono::milliseconds(345);
  const std::pair<const char *, const char *> cases[] = {
      {"UTC0", "2026-12-08T05:01:02.345+00:00"},
      {"IST-5:30", "2026-12-08T10:31:02.345+05:30"},
      {"NST3:30", "2026-12-08T01:31:02.345-03:30"},
  };
  for (const auto &[zone, expected] : cases) {
    setenv("TZ", zone, 1);
    tzset();
    EXPECT_EQ(LocalIsoTime(when), expected) << zone;
  }
  saved ? setenv("TZ", before.c_str(), 1) : unsetenv("TZ");
  tzset();
}

} // namespace
} // namespace zol
