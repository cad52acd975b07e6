#pragma once

#include <chrono>
#include <ctime>
#include <string>

namespace zol {

/// The local civil time of a moment, as the system's time zone has it; false when the system
/// cannot tell (Local is then unchanged).
bool LocalTimeOf(std::time_t Moment, std::tm &Local);
/// The civil time of a moment in UTC; false when the system cannot tell (Utc is then unchanged).
bool UtcTimeOf(std::time_t Moment, std::tm &Utc);

/// "2026-12-08T05:01:02.345+01:00": ISO 8601, local time with milliseconds and offset (the
/// local time's distance from UTC at When, the same on every system).
std::string LocalIsoTime(std::chrono::system_clock::time_point When);

} // namespace zol
