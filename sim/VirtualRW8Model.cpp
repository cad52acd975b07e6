#include "sim/VirtualRW8.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "protocol/Utils.h"

// The measurement and the alarm relays of the simulated instrument; every member here runs
// under Mutex.

namespace zol {

namespace {
constexpr std::int64_t kUsPerDay = 86'400'000'000LL;
} // namespace

std::uint8_t VirtualRW8::ComputeStatus() const {
  std::uint8_t Status = 0;
  if (SensorFailure)
    Status |= StatusBit::SensorFailure;
  if (Locked)
    Status |= StatusBit::WriteLocked;
  if (Store.UseE2PROM)
    Status |= StatusBit::UseE2PROM;
  if (Store.UseDisplay)
    Status |= StatusBit::UseDisplay;
  const auto Drive = [this](const TSimAlarm &a, const AlarmRun &Run, std::uint8_t RelayBit,
                            std::uint8_t LedBit) {
    std::uint8_t Bits = 0;
    bool ContactClosed, Led;
    if (SensorFailure) {
      ContactClosed = (a.Flags & AlarmFlag::FailClosed) != 0;
      Led = true; // the LEDs show the fault whatever their sense
    } else {
      ContactClosed = Run.Tripped != ((a.Flags & AlarmFlag::ContactNC) != 0);
      Led = ((a.Flags & AlarmFlag::LedBelow) != 0) ? !Run.Tripped : Run.Tripped;
    }
    if (ContactClosed)
      Bits |= RelayBit;
    if (Led)
      Bits |= LedBit;
    return Bits;
  };
  Status |= Drive(Store.Alarm1, Run1, StatusBit::Relay1, StatusBit::Led1);
  Status |= Drive(Store.Alarm2, Run2, StatusBit::Relay2, StatusBit::Led2);
  return Status;
}

float VirtualRW8::Temperature() const {
  return static_cast<float>(Filtered);
}

std::int16_t VirtualRW8::MeasureTenthsLocked() const {
  const long Tenths = std::lround(Filtered * 10.0);
  return static_cast<std::int16_t>(std::clamp(Tenths, -32768L, 32767L));
}

void VirtualRW8::StepModel(std::int64_t ElapsedUs) {
  SimTimeUs += ElapsedUs;
  if (Pinned) {
    Filtered = *Pinned;
  } else {
    // A slow drift around 21 °C: two slow waves, periods 5 min and 37 s.
    const double t = static_cast<double>(SimTimeUs) / 1e6;
    const double Target = 21.0 + 1.5 * std::sin(2 * std::numbers::pi * t / 300.0) +
                          0.3 * std::sin(2 * std::numbers::pi * t / 37.0);
    // The damping filter: a first-order lag with the filter's time constant.
    const double Tau = Store.FilterSeconds();
    const double Dt = static_cast<double>(ElapsedUs) / 1e6;
    if (!(Tau > 0.0) || !std::isfinite(Tau) || Dt >= Tau)
      Filtered = Target;
    else
      Filtered += (Target - Filtered) * Dt / Tau;
  }
  StepAlarm(Store.Alarm1, Run1, ElapsedUs);
  StepAlarm(Store.Alarm2, Run2, ElapsedUs);
}

void VirtualRW8::StepAlarm(const TSimAlarm &Alarm, AlarmRun &Run, std::int64_t ElapsedUs) {
  if (SensorFailure) {
    // No measurement: the state keeps its value and the delay starts afresh afterwards.
    Run.PendingUs = 0;
    return;
  }
  const int Measure = MeasureTenthsLocked();
  const int Release = Alarm.SetPoint - std::abs(int{Alarm.Hysteresis});
  const bool WantsChange = Run.Tripped ? Measure <= Release : Measure >= Alarm.SetPoint;
  if (!WantsChange) {
    Run.PendingUs = 0;
    return;
  }
  Run.PendingUs += ElapsedUs;
  if (Run.PendingUs >= std::int64_t{Alarm.Delay} * 100'000) {
    Run.Tripped = !Run.Tripped;
    Run.PendingUs = 0;
  }
}

std::int64_t VirtualRW8::ClockTicks() const {
  const std::int64_t Elapsed = (SimTimeUs - ClockSetAt) * kTicksPerDay / kUsPerDay;
  return (ClockBase + Elapsed) % (kTicksPerDay * kDeviceDays); // the clock wraps with its date
}

} // namespace zol
