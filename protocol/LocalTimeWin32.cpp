#include "protocol/LocalTime.h"

namespace zol {

bool LocalTimeOf(std::time_t Moment, std::tm &Local) {
  std::tm Result{};
  if (::localtime_s(&Result, &Moment) != 0)
    return false;
  Local = Result;
  return true;
}

} // namespace zol
