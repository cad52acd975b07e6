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
  std::uint8_t status = 0;
  if (SensorFailure)
    status |= StatusBit::SensorFailure;
  if (Locked)
    status |= StatusBit::WriteLocked;
  if (Store.UseE2PROM)
    status |= StatusBit::UseE2PROM;
  if (Store.UseDisplay)
    status |= StatusBit::UseDisplay;
  const auto drive = [this](const TSimAlarm &a, const AlarmRun &run, std::uint8_t relayBit,
                            std::uint8_t ledBit) {
    std::uint8_t bits = 0;
    bool contactClosed, led;
    if (SensorFailure) {
      contactClosed = (a.Flags & AlarmFlag::FailClosed) != 0;
      led = true; // the LEDs show the fault whatever their sense
    } else {
      contactClosed = run.Tripped != ((a.Flags & AlarmFlag::ContactNC) != 0);
      led = ((a.Flags & AlarmFlag::LedBelow) != 0) ? !run.Tripped : run.Tripped;
    }
    if (contactClosed)
      bits |= relayBit;
    if (led)
      bits |= ledBit;
    return bits;
  };
  status |= drive(Store.Alarm1, Run1, StatusBit::Relay1, StatusBit::Led1);
  status |= drive(Store.Alarm2, Run2, StatusBit::Relay2, StatusBit::Led2);
  return status;
}

float VirtualRW8::Temperature() const {
  return static_cast<float>(Filtered);
}

std::int16_t VirtualRW8::MeasureTenthsLocked() const {
  const long tenths = std::lround(Filtered * 10.0);
  return static_cast<std::int16_t>(std::clamp(tenths, -32768L, 32767L));
}

void VirtualRW8::StepModel(std::int64_t ElapsedUs) {
  SimTimeUs += ElapsedUs;
  if (Pinned) {
    Filtered = *Pinned;
  } else {
    // A slow drift around 21 °C: two slow waves, periods 5 min and 37 s.
    const double t = static_cast<double>(SimTimeUs) / 1e6;
    const double target = 21.0 + 1.5 * std::sin(2 * std::numbers::pi * t / 300.0) +
                          0.3 * std::sin(2 * std::numbers::pi * t / 37.0);
    // The damping filter: a first-order lag with the filter's time constant.
    const double tau = Store.FilterSeconds();
    const double dt = static_cast<double>(ElapsedUs) / 1e6;
    if (!(tau > 0.0) || !std::isfinite(tau) || dt >= tau)
      Filtered = target;
    else
      Filtered += (target - Filtered) * dt / tau;
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
  const int measure = MeasureTenthsLocked();
  const int release = Alarm.SetPoint - std::abs(int{Alarm.Hysteresis});
  const bool wantsChange = Run.Tripped ? measure <= release : measure >= Alarm.SetPoint;
  if (!wantsChange) {
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
  const std::int64_t elapsed = (SimTimeUs - ClockSetAt) * kTicksPerDay / kUsPerDay;
  return (ClockBase + elapsed) % (kTicksPerDay * kDeviceDays); // the clock wraps with its date
}

} // namespace zol
