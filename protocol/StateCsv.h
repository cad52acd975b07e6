#pragma once

#include <cstdint>
#include <string>

namespace zol {

struct TZOLModel;

/// What one state answer gives a CSV row: the columns of zolctl monitor --csv and of the trend
/// window's export.
struct TStateRow {
  std::int64_t TimeMs = 0; ///< when it arrived, milliseconds since 1970 (UTC)
  float Measure = 0;       ///< kSensorFailureMeasure while the sensor has failed
  bool Relay1 = false, Relay2 = false, Led1 = false, Led2 = false, WriteLocked = false;
  std::int16_t RawValue = 0;
  float Rt = 0;
};

/// The row of the state in Model, arrived at TimeMs.
TStateRow StateRowOf(const TZOLModel &Model, std::int64_t TimeMs);
/// The header line, "time,measure,...\n".
std::string StateCsvHeader();
/// One line: the local time with its offset, the measure (empty while the sensor has failed)
/// and the rest, "\n" ended.
std::string StateCsvLine(const TStateRow &Row);

} // namespace zol
