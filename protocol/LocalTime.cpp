#include "protocol/LocalTime.h"

#include <cstdio>

namespace zol {

namespace {

/// Seconds since 1970 of a broken-down time read as if it were UTC.
long long CivilSeconds(const std::tm &T) {
  using namespace std::chrono;
  const sys_days Day{year{T.tm_year + 1900} / month{static_cast<unsigned>(T.tm_mon + 1)} /
                     static_cast<unsigned>(T.tm_mday)};
  return Day.time_since_epoch().count() * 86400LL + T.tm_hour * 3600 + T.tm_min * 60 + T.tm_sec;
}

} // namespace

std::string LocalIsoTime(std::chrono::system_clock::time_point When) {
  const std::time_t Moment = std::chrono::system_clock::to_time_t(When);
  std::tm Utc{};
  std::tm Local{};
  if (!UtcTimeOf(Moment, Utc))
    Utc = std::tm{};
  if (!LocalTimeOf(Moment, Local))
    Local = Utc;
  // The offset is what separates the two readings of the same instant, in whole minutes.
  const long long Offset = (CivilSeconds(Local) - CivilSeconds(Utc)) / 60;
  char Date[40];
  std::strftime(Date, sizeof Date, "%Y-%m-%dT%H:%M:%S", &Local);
  auto Ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(When.time_since_epoch()).count() % 1000;
  if (Ms < 0)
    Ms += 1000;
  const long long Size = Offset < 0 ? -Offset : Offset;
  char Out[80];
  std::snprintf(Out, sizeof Out, "%s.%03d%c%02lld:%02lld", Date, static_cast<int>(Ms),
                Offset < 0 ? '-' : '+', Size / 60, Size % 60);
  return Out;
}

} // namespace zol
