#include "sim/VirtualRW8.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>

#include "protocol/Codec.h"

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
constexpr std::int16_t kFailedMeasure = 0x7FFF;

bool IsCode(std::uint8_t Code, TCommand Command) {
  return Code == CodeOf(Command);
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

/// Pt100 resistance (Callendar-Van Dusen, IEC 60751).
double Pt100(double t) {
  constexpr double kA = 3.9083e-3, kB = -5.775e-7, kC = -4.183e-12;
  double r = 100.0 * (1.0 + kA * t + kB * t * t);
  if (t < 0)
    r += 100.0 * kC * (t - 100.0) * t * t * t;
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
  auto next = last + std::chrono::milliseconds(LinkState().ReportPeriod);
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
    const auto period = std::chrono::milliseconds(LinkState().ReportPeriod);
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
    const TDecodedCommand Decoded = DecodeCommand(Command);
    if (!Decoded.ChecksumValid) {
      ++BadChecksum;
      return;
    }
    ++CarriedOut;
    ++PerCode[Decoded.Code];
    std::copy(Command, Command + kCommandLength, Last.begin());
    CarryOut(Decoded);
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

void VirtualRW8::CarryOut(const TDecodedCommand &Command) {
  const std::uint8_t code = Command.Code;
  if (!IsKnownCode(code) || !WriteAllowed(code))
    return;

  bool changed = true;
  switch (static_cast<TCommand>(code)) {
  case TCommand::SendFilter:
    Store.Filter = Command.Filter;
    break;
  case TCommand::SendAlarm1:
    Store.Alarm1 = Command.Alarm;
    Run1 = {};
    break;
  case TCommand::SendAlarm2:
    Store.Alarm2 = Command.Alarm;
    Run2 = {};
    break;
  case TCommand::SendTag1:
    Store.Tag.replace(0, kTagHalfLength, Command.Text);
    break;
  case TCommand::SendTag2:
    Store.Tag.replace(kTagHalfLength, kTagHalfLength, Command.Text);
    break;
  case TCommand::Unlock:
    // A wrong password leaves the lock as it is; it does not lock an unlocked instrument.
    if (Command.Text == Pass)
      Locked = false;
    changed = false;
    break;
  case TCommand::ChangePassword:
    Pass = Command.Text;
    break;
  case TCommand::ProgramFirmware:
    Info = kInfoProgrammed;
    break;
  case TCommand::EraseFirmware:
  case TCommand::EraseFirmwareMemory:
    Info = kInfoErased;
    break;
  case TCommand::SetClock:
    ClockBase = std::int64_t{Command.Clock.Date} * kTicksPerDay + Command.Clock.Time;
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
  const std::uint8_t code = Last[CommandOffset::Code];
  TAnswerFields fields;
  fields.Code = (ErrorAnswers || !IsKnownCode(code)) ? CodeOf(TCommand::Error) : code;
  fields.Status = ComputeStatus();
  fields.Counter = Counter++;
  fields.MeasureTenths = SensorFailure ? kFailedMeasure : MeasureTenthsLocked();
  if (fields.Code != CodeOf(TCommand::Error))
    fields.Payload = Payload();
  const TAnswerBytes answer = EncodeAnswer(fields);
  Report[0] = 0; // report id
  std::copy(answer.begin(), answer.end(), Report + kReportIdLength);
  if (CorruptShare > 0.0 && std::uniform_real_distribution<double>(0.0, 1.0)(Random) < CorruptShare)
    Corrupt(Report);
  ++Sent;
  return true;
}

void VirtualRW8::Corrupt(std::uint8_t *Report) {
  std::uint8_t *answer = Report + kReportIdLength;
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

TBlockBytes VirtualRW8::Payload() const {
  const TDecodedCommand asked = DecodeCommand(Last.data());
  switch (static_cast<TCommand>(asked.Code)) {
  case TCommand::ReadState: {
    const double rt = Pt100(Temperature());
    const long raw = std::clamp(std::lround(rt * 100.0), -32768L, 32767L);
    return EncodeStatePayload(static_cast<std::int16_t>(raw), static_cast<float>(rt));
  }
  case TCommand::ReadInfo:
    return Info;
  case TCommand::ReadWROP: {
    TBlockBytes payload{};
    if (asked.HistoryIndex < HistorySize) {
      const TSimRecord &r = History[static_cast<std::size_t>(asked.HistoryIndex)];
      WROPToBytes(TWROP{WROPSlotMask(asked.HistoryIndex), r.OpCode, r.OpDate, r.OpTime},
                  payload.data());
    }
    // No such record: six zero bytes, a slot mask that names no slot.
    return payload;
  }
  case TCommand::Ping:
    return asked.Params;
  case TCommand::ReadFilter:
    return EncodeFilterPayload(Store.Filter);
  case TCommand::ReadAlarm1:
    return EncodeAlarmPayload(Store.Alarm1);
  case TCommand::ReadAlarm2:
    return EncodeAlarmPayload(Store.Alarm2);
  case TCommand::ReadTag:
  case TCommand::ReadTag2:
    return EncodeTagHalfPayload(std::string_view(Store.Tag).substr(
        asked.Code == CodeOf(TCommand::ReadTag) ? 0 : kTagHalfLength, kTagHalfLength));
  case TCommand::ReadCryptedPassword:
    return CryptPassword(Pass, Opts.SerialNumber);
  default:
    return {};
  }
}

void VirtualRW8::PlugIn() {
  Locked = Pass != kEightSpaces;
  Last.fill(0);
  Last[CommandOffset::Checksum] = 0xFF;
  Run1 = {};
  Run2 = {};
}

} // namespace zol
