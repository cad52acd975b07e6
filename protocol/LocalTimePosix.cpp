#include "protocol/LocalTime.h"

namespace zol {

bool LocalTimeOf(std::time_t Moment, std::tm &Local) {
  std::tm Result{};
  if (::localtime_r(&Moment, &Result) == nullptr)
    return false;
  Local = Result;
  return true;
}

bool UtcTimeOf(std::time_t Moment, std::tm &Utc) {
  std::tm Result{};
  if (::gmtime_r(&Moment, &Result) == nullptr)
    return false;
  Utc = Result;
  return true;
}

} // namespace zol
