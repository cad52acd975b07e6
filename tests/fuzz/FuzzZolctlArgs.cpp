// zolctl's command line: whatever a script passes, it parses or explains, never crashes, and what
// it accepts is within what the instrument takes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "protocol/Utils.h"
#include "tools/ZolctlArgs.h"

namespace {

void Check(bool condition, const char *what) {
  if (!condition) {
    std::fprintf(stderr, "broken: %s\n", what);
    std::abort();
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *Data, std::size_t Size) {
  using namespace zol;
  // Arguments are separated by zero bytes, as in a real argv.
  std::vector<std::string> args(1);
  for (std::size_t i = 0; i < Size && args.size() < 64; ++i) {
    if (Data[i] == 0)
      args.emplace_back();
    else
      args.back() += static_cast<char>(Data[i]);
  }
  const TZolctlParse p = ParseZolctlArgs(args);
  Check(p.Options.has_value() + !p.Help.empty() + !p.Error.empty() == 1, "exactly one outcome");
  if (!p.Options)
    return 0;
  const TZolctlOptions &o = *p.Options;
  Check(o.TimeoutMs > 0 && o.Device >= 0 && o.SimCount >= 1, "options in range");
  Check(!o.Password || (o.Password->size() <= 8 && IsPackable(*o.Password)), "--password kept");
  switch (o.Command) {
  case TZolctlCommand::WriteTag:
    Check(o.Text.size() <= 16 && IsPackable(o.Text), "tag the instrument keeps");
    break;
  case TZolctlCommand::WriteFilter:
    Check(o.Value >= 0 && FilterSendable(o.Value), "filter a frame carries back");
    break;
  case TZolctlCommand::Monitor:
    Check(!o.All && (!o.IntervalMs || *o.IntervalMs >= 1) && (!o.Count || *o.Count >= 1),
          "monitor on one instrument, positive interval and count");
    break;
  case TZolctlCommand::Unlock:
  case TZolctlCommand::ChangePassword:
    Check(o.Text.size() <= 8 && IsPackable(o.Text), "password the instrument keeps");
    Check(o.TextGiven || o.Text.empty(), "a password only when given");
    break;
  case TZolctlCommand::WriteAlarm:
    // Throws, and so aborts, if a value does not fit.
    if (o.Alarm.SetPoint)
      ToTenths16(*o.Alarm.SetPoint, TQuantity::SetPoint);
    if (o.Alarm.Hysteresis)
      ToTenths16(*o.Alarm.Hysteresis, TQuantity::Hysteresis);
    Check(!o.Alarm.Delay || (*o.Alarm.Delay >= 0 && *o.Alarm.Delay <= 25.5f), "delay in range");
    break;
  default:
    break;
  }
  return 0;
}
