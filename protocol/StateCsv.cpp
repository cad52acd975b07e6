#include "protocol/StateCsv.h"

#include <chrono>
#include <cstdio>

#include "protocol/LocalTime.h"
#include "protocol/Utils.h"
#include "protocol/ZOL.h"

namespace zol {

namespace {

std::string Tenths(double Value) {
  char Text[64];
  std::snprintf(Text, sizeof Text, "%.1f", Value);
  return Text;
}

} // namespace

TStateRow StateRowOf(const TZOLModel &Model, std::int64_t TimeMs) {
  return {TimeMs,     Model.Measure,     Model.Relay1,   Model.Relay2, Model.Led1,
          Model.Led2, Model.WriteLocked, Model.RawValue, Model.Rt};
}

std::string StateCsvHeader() {
  return "time,measure,relay1,relay2,led1,led2,writeLocked,rawValue,rt\n";
}

std::string StateCsvLine(const TStateRow &Row) {
  const auto Bit = [](bool B) { return B ? "1" : "0"; };
  const auto When = std::chrono::system_clock::time_point(std::chrono::milliseconds(Row.TimeMs));
  // A failed sensor has no measurement: the field stays empty.
  return LocalIsoTime(When) + "," +
         (IsSensorFailureMeasure(Row.Measure) ? std::string() : Tenths(Row.Measure)) + "," +
         Bit(Row.Relay1) + "," + Bit(Row.Relay2) + "," + Bit(Row.Led1) + "," + Bit(Row.Led2) + "," +
         Bit(Row.WriteLocked) + "," + std::to_string(Row.RawValue) + "," + Tenths(Row.Rt) + "\n";
}

} // namespace zol
