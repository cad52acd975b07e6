#pragma once

#include <ctime>

namespace zol {

/// The local civil time of a moment, as the system's time zone has it; false when the system
/// cannot tell (Local is then unchanged).
bool LocalTimeOf(std::time_t Moment, std::tm &Local);

} // namespace zol
