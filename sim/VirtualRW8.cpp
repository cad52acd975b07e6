#include "sim/VirtualRW8.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numbers>

#include "protocol/SystemFile.h"
#include "protocol/Utils.h"

namespace zol {

namespace {

constexpr std::string_view kEightSpaces = "        ";
// The information block of a programmed firmware: its prefix, then the firmware's version.
constexpr std::array<std::uint8_t, 6> kInfoProgrammed{kProgrammedFirmwareInfo[0],
                                                      kProgrammedFirmwareInfo[1],
                                                      kProgrammedFirmwareInfo[2],
                                                      0x01,
                                                      0x04,
                                                      0x00};
constexpr std::array<std::uint8_t, 6> kInfoErased{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr std::int64_t kTicksPerDay = 65536;
constexpr std::int64_t kUsPerDay = 86'400'000'000LL;
constexpr std::int64_t kClockWrap = kTicksPerDay * 65536; // 65536 days
constexpr std::int16_t kFailedMeasure = 0x7FFF;

// Memory file layout (sim/README.md).
constexpr std::array<std::uint8_t, 8> kMagic{'R', 'W', '8', 'S', 'I', 'M', '0', '1'};
namespace MemoryOffset {
constexpr int Magic = 0;
constexpr int Tag = 8;
constexpr int Filter = 24;
constexpr int Alarm1 = 28;
constexpr int Alarm2 = 34;
constexpr int Options = 40;
constexpr int Password = 41;
constexpr int HistoryCount = 49;
constexpr int History = 50;
constexpr int RecordLength = 5;
constexpr int Info = 90;
constexpr int Sum = 96;
} // namespace MemoryOffset
static_assert(MemoryOffset::Sum + 4 == kSimMemoryImageSize);

bool IsCode(std::uint8_t Code, TCommand Command) {
  return Code == CodeOf(Command);
}

/// The codes whose accepted writes the instrument records in its history.
bool IsRecordedWrite(std::uint8_t Code) {
  switch (static_cast<TCommand>(Code)) {
  case TCommand::SendFilter:
  case TCommand::SendAlarm1:
  case TCommand::SendAlarm2:
  case TCommand::SendTag1:
  case TCommand::SendTag2:
  case TCommand::ChangePassword:
  case TCommand::AdjustZero:
  case TCommand::AdjustFullScale:
  case TCommand::ProgramFirmware:
  case TCommand::EraseFirmware:
  case TCommand::EraseFirmwareMemory:
    return true;
  default:
    return false;
  }
}

bool IsKnownCode(std::uint8_t Code) {
  switch (static_cast<TCommand>(Code)) {
  case TCommand::ReadState:
  case TCommand::ReadInfo:
  case TCommand::ReadWROP:
  case TCommand::SendFilter:
  case TCommand::SendAlarm1:
  case TCommand::SendAlarm2:
  case TCommand::SendTag1:
  case TCommand::SendTag2:
  case TCommand::Unlock:
  case TCommand::ChangePassword:
  case TCommand::AdjustZero:
  case TCommand::AdjustFullScale:
  case TCommand::Reset:
  case TCommand::ProgramFirmware:
  case TCommand::EraseFirmware:
  case TCommand::EraseFirmwareMemory:
  case TCommand::SetClock:
  case TCommand::Ping:
  case TCommand::ResetAll:
  case TCommand::ReadFilter:
  case TCommand::ReadAlarm1:
  case TCommand::ReadAlarm2:
  case TCommand::ReadTag:
  case TCommand::ReadTag2:
  case TCommand::ReadCryptedPassword:
    return true;
  default:
    return false;
  }
}

TSimAlarm AlarmFromBlock(const std::uint8_t *Block) {
  TSimAlarm a;
  a.SetPoint = GetInt16LE(Block + AlarmBlock::SetPoint);
  a.Hysteresis = GetInt16LE(Block + AlarmBlock::Hysteresis);
  a.Delay = Block[AlarmBlock::Delay];
  a.Flags = Block[AlarmBlock::Flags];
  return a;
}

void AlarmToBlock(const TSimAlarm &a, std::uint8_t *Block) {
  PutInt16LE(Block + AlarmBlock::SetPoint, a.SetPoint);
  PutInt16LE(Block + AlarmBlock::Hysteresis, a.Hysteresis);
  Block[AlarmBlock::Delay] = a.Delay;
  Block[AlarmBlock::Flags] = a.Flags;
}

/// The key the crypted password is XORed with: each serial character folded into the byte of
/// its position modulo 6, plus a per-byte constant so that an empty serial still scrambles.
std::array<std::uint8_t, 6> CryptKey(std::string_view Serial) {
  std::array<std::uint8_t, 6> key{};
  for (std::size_t i = 0; i < key.size(); ++i)
    key[i] = static_cast<std::uint8_t>(0x5A * (i + 1));
  for (std::size_t j = 0; j < Serial.size(); ++j)
    key[j % 6] = static_cast<std::uint8_t>(key[j % 6] + static_cast<std::uint8_t>(Serial[j]));
  return key;
}

bool AllPackable(std::string_view Text) {
  return std::all_of(Text.begin(), Text.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u >= 0x20 && u <= 0x5F;
  });
}

std::uint32_t Fnv1a(const std::uint8_t *Bytes, int n) {
  std::uint32_t h = 2166136261u;
  for (int i = 0; i < n; ++i) {
    h ^= Bytes[i];
    h *= 16777619u;
  }
  return h;
}

/// Pt100 resistance (Callendar-Van Dusen, IEC 60751).
double Pt100(double t) {
  constexpr double A = 3.9083e-3, B = -5.775e-7, C = -4.183e-12;
  double r = 100.0 * (1.0 + A * t + B * t * t);
  if (t < 0)
    r += 100.0 * C * (t - 100.0) * t * t * t;
  return r;
}

} // namespace

float TSimSettings::FilterSeconds() const {
  return BytesToSingle(Filter.data());
}

TSimSettings VirtualRW8::FactorySettings() {
  TSimSettings s;
  s.Tag = "RW8 SIMULE      ";
  s.Filter = SingleToBytes(1.0f);
  s.Alarm1 = {300, 10, 20, 0};
  s.Alarm2 = {100, 10, 20, AlarmFlag::LedBelow};
  s.UseDisplay = true;
  s.UseE2PROM = true;
  return s;
}

std::array<std::uint8_t, 6> VirtualRW8::CryptPassword(std::string_view Password,
                                                      std::string_view SerialNumber) {
  std::array<std::uint8_t, 6> bytes = PackEight(Password);
  const auto key = CryptKey(SerialNumber);
  for (std::size_t i = 0; i < bytes.size(); ++i)
    bytes[i] ^= key[i];
  return bytes;
}

std::string VirtualRW8::DecryptPassword(const std::array<std::uint8_t, 6> &Crypted,
                                        std::string_view SerialNumber) {
  std::array<std::uint8_t, 6> bytes = Crypted;
  const auto key = CryptKey(SerialNumber);
  for (std::size_t i = 0; i < bytes.size(); ++i)
    bytes[i] ^= key[i];
  return UnpackEight(bytes.data());
}

VirtualRW8::VirtualRW8(TVirtualRW8Options Options)
    : Opts(std::move(Options)), Store(FactorySettings()), Pass(kEightSpaces), Info(kInfoProgrammed),
      DropRandom(Opts.Seed), Random(Opts.Seed) {
  PeriodMs = std::clamp(Opts.ReportPeriodMs, 1, 1000);
  LoadMemory();
  PlugIn();
  if (Opts.Streaming)
    Start();
}

VirtualRW8::~VirtualRW8() {
  Stop();
}

void VirtualRW8::Start() {
  std::lock_guard lock(RunMutex);
  if (Thread.joinable())
    return;
  StopRequested = false;
  Thread = std::thread([this] { RunStreaming(); });
}

void VirtualRW8::Stop() {
  std::thread finished;
  {
    std::lock_guard lock(RunMutex);
    StopRequested = true;
    finished = std::move(Thread);
  }
  RunChanged.notify_all();
  if (finished.joinable())
    finished.join();
}

bool VirtualRW8::Running() const {
  std::lock_guard lock(RunMutex);
  return Thread.joinable();
}

void VirtualRW8::SetListener(TSimReportListener *NewListener, int Cookie) {
  std::lock_guard lock(ListenerMutex);
  Listener = NewListener;
  ListenerCookie = Cookie;
}

void VirtualRW8::RunStreaming() {
  using Clock = std::chrono::steady_clock;
  auto last = Clock::now();
  auto next = last + std::chrono::milliseconds(ReportPeriod());
  std::unique_lock lock(RunMutex);
  while (!StopRequested) {
    // Bounded by the report period (at most 1 s); Stop() and SetReportPeriod() wake it early.
    RunChanged.wait_until(lock, next, [this] { return StopRequested || PeriodChanged; });
    if (StopRequested)
      break;
    const bool periodChanged = PeriodChanged;
    PeriodChanged = false;
    lock.unlock();
    const auto now = Clock::now();
    const auto period = std::chrono::milliseconds(ReportPeriod());
    if (periodChanged && now < next) {
      next = now + period;
      lock.lock();
      continue;
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(now - last);
    last = now;
    Emit(elapsed);
    next += period;
    // After a stall (a debugger, a loaded machine) the instrument goes on at its pace rather
    // than sending a burst of reports to catch up.
    if (next < now)
      next = now + period;
    lock.lock();
  }
}

bool VirtualRW8::Emit(std::chrono::microseconds Elapsed) {
  std::uint8_t report[kSimInputReportLength];
  if (!Tick(Elapsed, report))
    return false;
  std::lock_guard listen(ListenerMutex);
  if (Listener)
    Listener->ReportProduced(ListenerCookie, report, kSimInputReportLength);
  return true;
}

// ---- Commands ---------------------------------------------------------------------------------

void VirtualRW8::ReceiveCommand(const std::uint8_t *Command) {
  {
    std::lock_guard lock(Mutex);
    if (!IsPresent)
      return;
    ++Received;
    if (Silent || ErrorAnswers)
      return;
    if (DropCount > 0) {
      --DropCount;
      ++Dropped;
      return;
    }
    if (DropShare > 0.0 &&
        std::uniform_real_distribution<double>(0.0, 1.0)(DropRandom) < DropShare) {
      ++Dropped;
      return;
    }
    if (!FrameChecksumValid(Command, kCommandLength)) {
      ++BadChecksum;
      return;
    }
    ++CarriedOut;
    ++PerCode[Command[CommandOffset::Code]];
    CarryOut(Command);
  }
  SaveMemory();
}

bool VirtualRW8::WriteAllowed(std::uint8_t Code) const {
  // Reset-all changes the settings too, so the lock guards it like the recorded writes.
  return !Locked || !(IsRecordedWrite(Code) || IsCode(Code, TCommand::ResetAll));
}

void VirtualRW8::Record(std::uint8_t Code) {
  std::move_backward(History.begin(), History.end() - 1, History.end());
  const std::int64_t ticks = ClockTicks();
  History[0] = TSimRecord{Code, static_cast<std::uint16_t>(ticks / kTicksPerDay),
                          static_cast<std::uint16_t>(ticks % kTicksPerDay)};
  HistorySize = std::min(HistorySize + 1, kSimHistorySize);
}

void VirtualRW8::CarryOut(const std::uint8_t *Command) {
  const std::uint8_t code = Command[CommandOffset::Code];
  const std::uint8_t *params = Command + CommandOffset::Params;
  std::copy(Command, Command + kCommandLength, Last.begin());
  if (!IsKnownCode(code) || !WriteAllowed(code))
    return;

  bool changed = true;
  switch (static_cast<TCommand>(code)) {
  case TCommand::SendFilter:
    std::copy(params, params + 4, Store.Filter.begin());
    break;
  case TCommand::SendAlarm1:
    Store.Alarm1 = AlarmFromBlock(params);
    Run1 = {};
    break;
  case TCommand::SendAlarm2:
    Store.Alarm2 = AlarmFromBlock(params);
    Run2 = {};
    break;
  case TCommand::SendTag1:
    Store.Tag.replace(0, 8, UnpackEight(params));
    break;
  case TCommand::SendTag2:
    Store.Tag.replace(8, 8, UnpackEight(params));
    break;
  case TCommand::Unlock:
    // A wrong password leaves the lock as it is; it does not lock an unlocked instrument.
    if (UnpackEight(params) == Pass)
      Locked = false;
    changed = false;
    break;
  case TCommand::ChangePassword:
    Pass = UnpackEight(params);
    break;
  case TCommand::ProgramFirmware:
    Info = kInfoProgrammed;
    break;
  case TCommand::EraseFirmware:
  case TCommand::EraseFirmwareMemory:
    Info = kInfoErased;
    break;
  case TCommand::SetClock:
    ClockBase = std::int64_t{GetUInt16LE(params + ClockParam::Date)} * kTicksPerDay +
                GetUInt16LE(params + ClockParam::Time);
    ClockSetAt = SimTimeUs;
    changed = false;
    break;
  case TCommand::Reset:
    // A restart: the lock comes back as at plug-in and the alarm timers start afresh.
    Locked = Pass != kEightSpaces;
    Run1 = {};
    Run2 = {};
    changed = false;
    break;
  case TCommand::ResetAll: {
    const TSimSettings factory = FactorySettings();
    Store = factory;
    Run1 = {};
    Run2 = {};
    break;
  }
  default:
    // Reads, ping, adjustments: nothing to store. The simulated instrument has no calibration
    // for the zero and full-scale adjustments to change; they are only recorded.
    changed = false;
    break;
  }
  if (IsRecordedWrite(code)) {
    Record(code);
    changed = true;
  }
  if (changed)
    MarkDirty();
}

// ---- Reports ----------------------------------------------------------------------------------

bool VirtualRW8::Tick(std::chrono::microseconds Elapsed, std::uint8_t *Report) {
  std::lock_guard lock(Mutex);
  StepModel(std::max<std::int64_t>(0, Elapsed.count()));
  if (!IsPresent || Silent)
    return false;
  Report[0] = 0; // report id
  std::uint8_t *answer = Report + 1;
  std::fill(answer, answer + kAnswerLength, 0);
  const std::uint8_t code = Last[CommandOffset::Code];
  answer[AnswerOffset::Code] =
      (ErrorAnswers || !IsKnownCode(code)) ? CodeOf(TCommand::Error) : code;
  answer[AnswerOffset::Status] = ComputeStatus();
  answer[AnswerOffset::Counter] = Counter++;
  PutInt16LE(answer + AnswerOffset::Measure,
             SensorFailure ? kFailedMeasure : MeasureTenthsLocked());
  if (answer[AnswerOffset::Code] != CodeOf(TCommand::Error))
    FillPayload(answer);
  answer[AnswerOffset::Checksum] = FrameChecksum(answer, kAnswerLength);
  if (CorruptShare > 0.0 && std::uniform_real_distribution<double>(0.0, 1.0)(Random) < CorruptShare)
    Corrupt(Report);
  ++Sent;
  return true;
}

void VirtualRW8::Corrupt(std::uint8_t *Report) {
  std::uint8_t *answer = Report + 1;
  if (std::uniform_int_distribution<int>(0, 1)(Random) == 0) {
    answer[AnswerOffset::Checksum] ^=
        static_cast<std::uint8_t>(std::uniform_int_distribution<int>(1, 255)(Random));
  } else {
    const int flips = std::uniform_int_distribution<int>(1, 3)(Random);
    for (int i = 0; i < flips; ++i) {
      const int bit = std::uniform_int_distribution<int>(0, kAnswerLength * 8 - 1)(Random);
      answer[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    }
  }
  // Some bit patterns keep the sum (two flipped top bits); the simulated link always makes a
  // corruption detectable, so that a test can count on the checksum.
  if (FrameChecksumValid(answer, kAnswerLength))
    answer[AnswerOffset::Checksum] ^= 0x01;
  ++Corrupted;
}

void VirtualRW8::FillPayload(std::uint8_t *Answer) const {
  std::uint8_t *payload = Answer + AnswerOffset::Payload;
  const std::uint8_t *params = Last.data() + CommandOffset::Params;
  const std::uint8_t code = Last[CommandOffset::Code];
  switch (static_cast<TCommand>(code)) {
  case TCommand::ReadState: {
    const double rt = Pt100(Temperature());
    const long raw = std::clamp(std::lround(rt * 100.0), -32768L, 32767L);
    payload[0] = static_cast<std::uint8_t>((raw >> 8) & 0xFF);
    payload[1] = static_cast<std::uint8_t>(raw & 0xFF);
    const auto bytes = SingleToBytes(static_cast<float>(rt));
    std::copy(bytes.begin(), bytes.end(), payload + StatePayload::Rt);
    break;
  }
  case TCommand::ReadInfo:
    std::copy(Info.begin(), Info.end(), payload);
    break;
  case TCommand::ReadWROP: {
    const int index = params[0];
    if (index < HistorySize) {
      const TSimRecord &r = History[index];
      WROPToBytes(TWROP{WROPSlotMask(index), r.OpCode, r.OpDate, r.OpTime}, payload);
    }
    // No such record: six zero bytes, a slot mask that names no slot.
    break;
  }
  case TCommand::Ping:
    std::copy(params, params + 6, payload);
    break;
  case TCommand::ReadFilter:
    std::copy(Store.Filter.begin(), Store.Filter.end(), payload);
    break;
  case TCommand::ReadAlarm1:
    AlarmToBlock(Store.Alarm1, payload);
    break;
  case TCommand::ReadAlarm2:
    AlarmToBlock(Store.Alarm2, payload);
    break;
  case TCommand::ReadTag:
  case TCommand::ReadTag2: {
    const auto half =
        std::string_view(Store.Tag).substr(code == CodeOf(TCommand::ReadTag) ? 0 : 8, 8);
    const auto packed = PackEight(half);
    std::copy(packed.begin(), packed.end(), payload);
    break;
  }
  case TCommand::ReadCryptedPassword: {
    const auto crypted = CryptPassword(Pass, Opts.SerialNumber);
    std::copy(crypted.begin(), crypted.end(), payload);
    break;
  }
  default:
    break;
  }
}

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

// ---- Model ------------------------------------------------------------------------------------

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
  return (ClockBase + elapsed) % kClockWrap;
}

void VirtualRW8::PlugIn() {
  Locked = Pass != kEightSpaces;
  Last.fill(0);
  Last[CommandOffset::Checksum] = 0xFF;
  Run1 = {};
  Run2 = {};
}

// ---- Faults and accessors ---------------------------------------------------------------------

void VirtualRW8::SetPresent(bool Present) {
  {
    std::lock_guard lock(Mutex);
    if (IsPresent == Present)
      return;
    IsPresent = Present;
    if (Present)
      PlugIn();
    else
      ++Generation;
  }
  std::lock_guard listen(ListenerMutex);
  if (Listener)
    Listener->PresenceChanged(ListenerCookie);
}

bool VirtualRW8::Present() const {
  std::lock_guard lock(Mutex);
  return IsPresent;
}

std::uint32_t VirtualRW8::PlugGeneration() const {
  std::lock_guard lock(Mutex);
  return Generation;
}

void VirtualRW8::SetSilent(bool NewSilent) {
  std::lock_guard lock(Mutex);
  Silent = NewSilent;
}

void VirtualRW8::DropNextCommands(int Count) {
  std::lock_guard lock(Mutex);
  DropCount = std::max(0, Count);
}

void VirtualRW8::SetDropShare(double Share, std::uint32_t Seed) {
  std::lock_guard lock(Mutex);
  DropShare = std::isfinite(Share) ? std::clamp(Share, 0.0, 1.0) : 0.0;
  DropRandom.seed(Seed);
}

void VirtualRW8::SetCorruptShare(double Share, std::uint32_t Seed) {
  std::lock_guard lock(Mutex);
  CorruptShare = std::isfinite(Share) ? std::clamp(Share, 0.0, 1.0) : 0.0;
  Random.seed(Seed);
}

void VirtualRW8::SetSensorFailure(bool Failure) {
  std::lock_guard lock(Mutex);
  SensorFailure = Failure;
}

void VirtualRW8::SetErrorAnswers(bool Error) {
  std::lock_guard lock(Mutex);
  ErrorAnswers = Error;
}

void VirtualRW8::SetOversizedReports(bool NewOversized) {
  std::lock_guard lock(Mutex);
  Oversized = NewOversized;
}

bool VirtualRW8::OversizedReports() const {
  std::lock_guard lock(Mutex);
  return Oversized;
}

void VirtualRW8::SetPermissionDenied(bool NewDenied) {
  std::lock_guard lock(Mutex);
  Denied = NewDenied;
}

bool VirtualRW8::PermissionDenied() const {
  std::lock_guard lock(Mutex);
  return Denied;
}

void VirtualRW8::SetReportPeriod(int Milliseconds) {
  {
    std::lock_guard lock(Mutex);
    PeriodMs = std::clamp(Milliseconds, 1, 1000);
  }
  {
    std::lock_guard lock(RunMutex);
    PeriodChanged = true;
  }
  RunChanged.notify_all();
}

int VirtualRW8::ReportPeriod() const {
  std::lock_guard lock(Mutex);
  return PeriodMs;
}

void VirtualRW8::SetTemperature(std::optional<float> Celsius) {
  std::lock_guard lock(Mutex);
  Pinned = Celsius;
  if (Pinned)
    Filtered = *Pinned;
}

void VirtualRW8::SetOptionFlags(bool UseDisplay, bool UseE2PROM) {
  {
    std::lock_guard lock(Mutex);
    Store.UseDisplay = UseDisplay;
    Store.UseE2PROM = UseE2PROM;
    MarkDirty();
  }
  SaveMemory();
}

TSimSettings VirtualRW8::Settings() const {
  std::lock_guard lock(Mutex);
  return Store;
}

std::string VirtualRW8::Password() const {
  std::lock_guard lock(Mutex);
  return Pass;
}

bool VirtualRW8::WriteLocked() const {
  std::lock_guard lock(Mutex);
  return Locked;
}

std::optional<TSimRecord> VirtualRW8::HistoryRecord(int Slot) const {
  std::lock_guard lock(Mutex);
  if (Slot < 0 || Slot >= HistorySize)
    return std::nullopt;
  return History[Slot];
}

int VirtualRW8::HistoryCount() const {
  std::lock_guard lock(Mutex);
  return HistorySize;
}

std::array<std::uint8_t, 6> VirtualRW8::InfoBlock() const {
  std::lock_guard lock(Mutex);
  return Info;
}

std::uint16_t VirtualRW8::ClockDate() const {
  std::lock_guard lock(Mutex);
  return static_cast<std::uint16_t>(ClockTicks() / kTicksPerDay);
}

std::uint16_t VirtualRW8::ClockTime() const {
  std::lock_guard lock(Mutex);
  return static_cast<std::uint16_t>(ClockTicks() % kTicksPerDay);
}

std::int16_t VirtualRW8::MeasureTenths() const {
  std::lock_guard lock(Mutex);
  return MeasureTenthsLocked();
}

std::uint8_t VirtualRW8::StatusByte() const {
  std::lock_guard lock(Mutex);
  return ComputeStatus();
}

std::uint8_t VirtualRW8::LastCode() const {
  std::lock_guard lock(Mutex);
  return Last[CommandOffset::Code];
}

std::uint64_t VirtualRW8::CommandsReceived() const {
  std::lock_guard lock(Mutex);
  return Received;
}

std::uint64_t VirtualRW8::CommandsCarriedOut() const {
  std::lock_guard lock(Mutex);
  return CarriedOut;
}

std::uint64_t VirtualRW8::CommandsWithBadChecksum() const {
  std::lock_guard lock(Mutex);
  return BadChecksum;
}

std::uint64_t VirtualRW8::CommandsDropped() const {
  std::lock_guard lock(Mutex);
  return Dropped;
}

std::uint64_t VirtualRW8::ReportsSent() const {
  std::lock_guard lock(Mutex);
  return Sent;
}

std::uint64_t VirtualRW8::ReportsCorrupted() const {
  std::lock_guard lock(Mutex);
  return Corrupted;
}

std::uint64_t VirtualRW8::CommandCount(std::uint8_t Code) const {
  std::lock_guard lock(Mutex);
  return PerCode[Code];
}

TSimMemoryState VirtualRW8::MemoryState() const {
  std::lock_guard lock(Mutex);
  return Memory;
}

// ---- Memory file ------------------------------------------------------------------------------

VirtualRW8::Image VirtualRW8::BuildImage() const {
  Image b{};
  std::copy(kMagic.begin(), kMagic.end(), b.begin() + MemoryOffset::Magic);
  std::copy(Store.Tag.begin(), Store.Tag.end(), b.begin() + MemoryOffset::Tag);
  std::copy(Store.Filter.begin(), Store.Filter.end(), b.begin() + MemoryOffset::Filter);
  AlarmToBlock(Store.Alarm1, b.data() + MemoryOffset::Alarm1);
  AlarmToBlock(Store.Alarm2, b.data() + MemoryOffset::Alarm2);
  b[MemoryOffset::Options] =
      static_cast<std::uint8_t>((Store.UseDisplay ? StatusBit::UseDisplay : 0) |
                                (Store.UseE2PROM ? StatusBit::UseE2PROM : 0));
  std::copy(Pass.begin(), Pass.end(), b.begin() + MemoryOffset::Password);
  b[MemoryOffset::HistoryCount] = static_cast<std::uint8_t>(HistorySize);
  for (int i = 0; i < kSimHistorySize; ++i) {
    std::uint8_t *r = b.data() + MemoryOffset::History + i * MemoryOffset::RecordLength;
    r[0] = History[i].OpCode;
    PutUInt16LE(r + 1, History[i].OpDate);
    PutUInt16LE(r + 3, History[i].OpTime);
  }
  std::copy(Info.begin(), Info.end(), b.begin() + MemoryOffset::Info);
  const std::uint32_t sum = Fnv1a(b.data(), MemoryOffset::Sum);
  for (int i = 0; i < 4; ++i)
    b[MemoryOffset::Sum + i] = static_cast<std::uint8_t>(sum >> (8 * i));
  return b;
}

bool VirtualRW8::ApplyImage(const Image &b) {
  if (!std::equal(kMagic.begin(), kMagic.end(), b.begin() + MemoryOffset::Magic))
    return false;
  std::uint32_t sum = 0;
  for (int i = 0; i < 4; ++i)
    sum |= std::uint32_t{b[MemoryOffset::Sum + i]} << (8 * i);
  if (sum != Fnv1a(b.data(), MemoryOffset::Sum))
    return false;
  const std::string tag(b.begin() + MemoryOffset::Tag, b.begin() + MemoryOffset::Tag + 16);
  const std::string pass(b.begin() + MemoryOffset::Password,
                         b.begin() + MemoryOffset::Password + 8);
  const int count = b[MemoryOffset::HistoryCount];
  // A sound checksum over nonsense (a file written by hand) is still refused.
  if (!AllPackable(tag) || !AllPackable(pass) || count > kSimHistorySize)
    return false;
  Store.Tag = tag;
  std::copy(b.begin() + MemoryOffset::Filter, b.begin() + MemoryOffset::Filter + 4,
            Store.Filter.begin());
  Store.Alarm1 = AlarmFromBlock(b.data() + MemoryOffset::Alarm1);
  Store.Alarm2 = AlarmFromBlock(b.data() + MemoryOffset::Alarm2);
  Store.UseDisplay = (b[MemoryOffset::Options] & StatusBit::UseDisplay) != 0;
  Store.UseE2PROM = (b[MemoryOffset::Options] & StatusBit::UseE2PROM) != 0;
  Pass = pass;
  HistorySize = count;
  for (int i = 0; i < kSimHistorySize; ++i) {
    const std::uint8_t *r = b.data() + MemoryOffset::History + i * MemoryOffset::RecordLength;
    History[i] = TSimRecord{r[0], GetUInt16LE(r + 1), GetUInt16LE(r + 3)};
  }
  std::copy(b.begin() + MemoryOffset::Info, b.begin() + MemoryOffset::Info + 6, Info.begin());
  return true;
}

void VirtualRW8::LoadMemory() {
  if (Opts.MemoryFile.empty()) {
    Memory = TSimMemoryState::NoFile;
    return;
  }
  std::ifstream in(Opts.MemoryFile, std::ios::binary);
  if (!in) {
    Memory = TSimMemoryState::Missing;
    return;
  }
  Image b{};
  in.read(reinterpret_cast<char *>(b.data()), b.size());
  const bool whole = in.gcount() == static_cast<std::streamsize>(b.size());
  // One byte more means a file of another size: not ours.
  const bool exact = whole && in.peek() == std::ifstream::traits_type::eof();
  // ApplyImage checks everything before it changes anything: a corrupt file leaves the
  // factory state.
  Memory = (exact && ApplyImage(b)) ? TSimMemoryState::Loaded : TSimMemoryState::Corrupt;
}

void VirtualRW8::MarkDirty() {
  if (Opts.MemoryFile.empty())
    return;
  DirtyImage = BuildImage();
  ++DirtyGeneration;
}

void VirtualRW8::SaveMemory() {
  if (Opts.MemoryFile.empty())
    return;
  Image image;
  std::uint64_t generation;
  {
    std::lock_guard lock(Mutex);
    image = DirtyImage;
    generation = DirtyGeneration;
  }
  std::lock_guard file(FileMutex);
  // Another thread may have written a newer image meanwhile; an older one must not replace it.
  if (generation <= WrittenGeneration)
    return;
  // Written whole or not at all, through a temporary file created new under a unique name (a
  // link planted there cannot redirect it); a node that is not a regular file is left alone. A
  // failure leaves the generation unwritten, so the next change tries again.
  if (ReplaceFileContent(Opts.MemoryFile, image.data(), image.size()).Ok)
    WrittenGeneration = generation;
}

} // namespace zol
