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
  std::array<std::uint8_t, 6> Key{};
  for (std::size_t i = 0; i < Key.size(); ++i)
    Key[i] = static_cast<std::uint8_t>(0x5A * (i + 1));
  for (std::size_t j = 0; j < Serial.size(); ++j)
    Key[j % 6] = static_cast<std::uint8_t>(Key[j % 6] + static_cast<std::uint8_t>(Serial[j]));
  return Key;
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
  std::array<std::uint8_t, 6> Bytes = PackEight(Password);
  const auto Key = CryptKey(SerialNumber);
  for (std::size_t i = 0; i < Bytes.size(); ++i)
    Bytes[i] ^= Key[i];
  return Bytes;
}

std::string VirtualRW8::DecryptPassword(const std::array<std::uint8_t, 6> &Crypted,
                                        std::string_view SerialNumber) {
  std::array<std::uint8_t, 6> Bytes = Crypted;
  const auto Key = CryptKey(SerialNumber);
  for (std::size_t i = 0; i < Bytes.size(); ++i)
    Bytes[i] ^= Key[i];
  return UnpackEight(Bytes.data());
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
  std::lock_guard Lock(RunMutex);
  if (Thread.joinable())
    return;
  StopRequested = false;
  Thread = std::thread([this] { RunStreaming(); });
}

void VirtualRW8::Stop() {
  std::thread Finished;
  {
    std::lock_guard Lock(RunMutex);
    StopRequested = true;
    Finished = std::move(Thread);
  }
  RunChanged.notify_all();
  if (Finished.joinable())
    Finished.join();
}

bool VirtualRW8::Running() const {
  std::lock_guard Lock(RunMutex);
  return Thread.joinable();
}

void VirtualRW8::SetListener(TSimReportListener *NewListener, int Cookie) {
  std::lock_guard Lock(ListenerMutex);
  Listener = NewListener;
  ListenerCookie = Cookie;
}

void VirtualRW8::RunStreaming() {
  using Clock = std::chrono::steady_clock;
  auto Previous = Clock::now();
  auto Next = Previous + std::chrono::milliseconds(LinkState().ReportPeriod);
  std::unique_lock Lock(RunMutex);
  while (!StopRequested) {
    // Bounded by the report period (at most 1 s); Stop() and SetReportPeriod() wake it early.
    RunChanged.wait_until(Lock, Next, [this] { return StopRequested || PeriodChanged; });
    if (StopRequested)
      break;
    const bool Rescheduled = PeriodChanged;
    PeriodChanged = false;
    Lock.unlock();
    const auto Now = Clock::now();
    const auto Period = std::chrono::milliseconds(LinkState().ReportPeriod);
    if (Rescheduled && Now < Next) {
      Next = Now + Period;
      Lock.lock();
      continue;
    }
    const auto Elapsed = std::chrono::duration_cast<std::chrono::microseconds>(Now - Previous);
    Previous = Now;
    Emit(Elapsed);
    Next += Period;
    // After a stall (a debugger, a loaded machine) the instrument goes on at its pace rather
    // than sending a burst of reports to catch up.
    if (Next < Now)
      Next = Now + Period;
    Lock.lock();
  }
}

bool VirtualRW8::Emit(std::chrono::microseconds Elapsed) {
  std::uint8_t Report[kSimInputReportLength];
  if (!Tick(Elapsed, Report))
    return false;
  std::lock_guard Listen(ListenerMutex);
  if (Listener)
    Listener->ReportProduced(ListenerCookie, Report, kSimInputReportLength);
  return true;
}

// ---- Commands ---------------------------------------------------------------------------------

void VirtualRW8::ReceiveCommand(const std::uint8_t *Command) {
  {
    std::lock_guard Lock(Mutex);
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
  const std::int64_t Ticks = ClockTicks();
  History[0] = TSimRecord{Code, static_cast<std::uint16_t>(Ticks / kTicksPerDay),
                          static_cast<std::uint16_t>(Ticks % kTicksPerDay)};
  HistorySize = std::min(HistorySize + 1, kSimHistorySize);
}

void VirtualRW8::CarryOut(const TDecodedCommand &Command) {
  const std::uint8_t Code = Command.Code;
  if (!IsKnownCode(Code) || !WriteAllowed(Code))
    return;

  bool Changed = true;
  switch (static_cast<TCommand>(Code)) {
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
    Changed = false;
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
    Changed = false;
    break;
  case TCommand::Reset:
    // A restart: the lock comes back as at plug-in and the alarm timers start afresh.
    Locked = Pass != kEightSpaces;
    Run1 = {};
    Run2 = {};
    Changed = false;
    break;
  case TCommand::ResetAll: {
    const TSimSettings Factory = FactorySettings();
    Store = Factory;
    Run1 = {};
    Run2 = {};
    break;
  }
  default:
    // Reads, ping, adjustments: nothing to store. The simulated instrument has no calibration
    // for the zero and full-scale adjustments to change; they are only recorded.
    Changed = false;
    break;
  }
  if (IsRecordedWrite(Code)) {
    Record(Code);
    Changed = true;
  }
  if (Changed)
    MarkDirty();
}

// ---- Reports ----------------------------------------------------------------------------------

bool VirtualRW8::Tick(std::chrono::microseconds Elapsed, std::uint8_t *Report) {
  std::lock_guard Lock(Mutex);
  StepModel(std::max<std::int64_t>(0, Elapsed.count()));
  if (!IsPresent || Silent)
    return false;
  const std::uint8_t Code = Last[CommandOffset::Code];
  TAnswerFields Fields;
  Fields.Code = (ErrorAnswers || !IsKnownCode(Code)) ? CodeOf(TCommand::Error) : Code;
  Fields.Status = ComputeStatus();
  Fields.Counter = Counter++;
  Fields.MeasureTenths = SensorFailure ? kFailedMeasure : MeasureTenthsLocked();
  if (Fields.Code != CodeOf(TCommand::Error))
    Fields.Payload = Payload();
  const TAnswerBytes Answer = EncodeAnswer(Fields);
  Report[0] = 0; // report id
  std::copy(Answer.begin(), Answer.end(), Report + kReportIdLength);
  if (CorruptShare > 0.0 && std::uniform_real_distribution<double>(0.0, 1.0)(Random) < CorruptShare)
    Corrupt(Report);
  ++Sent;
  return true;
}

void VirtualRW8::Corrupt(std::uint8_t *Report) {
  std::uint8_t *Answer = Report + kReportIdLength;
  if (std::uniform_int_distribution<int>(0, 1)(Random) == 0) {
    Answer[AnswerOffset::Checksum] ^=
        static_cast<std::uint8_t>(std::uniform_int_distribution<int>(1, 255)(Random));
  } else {
    const int Flips = std::uniform_int_distribution<int>(1, 3)(Random);
    for (int i = 0; i < Flips; ++i) {
      const int Bit = std::uniform_int_distribution<int>(0, kAnswerLength * 8 - 1)(Random);
      Answer[Bit / 8] ^= static_cast<std::uint8_t>(1u << (Bit % 8));
    }
  }
  // Some bit patterns keep the sum (two flipped top bits); the simulated link always makes a
  // corruption detectable, so that a test can count on the checksum.
  if (FrameChecksumValid(Answer, kAnswerLength))
    Answer[AnswerOffset::Checksum] ^= 0x01;
  ++Corrupted;
}

TBlockBytes VirtualRW8::Payload() const {
  const TDecodedCommand Asked = DecodeCommand(Last.data());
  switch (static_cast<TCommand>(Asked.Code)) {
  case TCommand::ReadState: {
    const double Rt = Pt100(Temperature());
    const long Raw = std::clamp(std::lround(Rt * 100.0), -32768L, 32767L);
    return EncodeStatePayload(static_cast<std::int16_t>(Raw), static_cast<float>(Rt));
  }
  case TCommand::ReadInfo:
    return Info;
  case TCommand::ReadWROP: {
    TBlockBytes Payload{};
    if (Asked.HistoryIndex < HistorySize) {
      const TSimRecord &r = History[static_cast<std::size_t>(Asked.HistoryIndex)];
      WROPToBytes(TWROP{WROPSlotMask(Asked.HistoryIndex), r.OpCode, r.OpDate, r.OpTime},
                  Payload.data());
    }
    // No such record: six zero bytes, a slot mask that names no slot.
    return Payload;
  }
  case TCommand::Ping:
    return Asked.Params;
  case TCommand::ReadFilter:
    return EncodeFilterPayload(Store.Filter);
  case TCommand::ReadAlarm1:
    return EncodeAlarmPayload(Store.Alarm1);
  case TCommand::ReadAlarm2:
    return EncodeAlarmPayload(Store.Alarm2);
  case TCommand::ReadTag:
  case TCommand::ReadTag2:
    return EncodeTagHalfPayload(std::string_view(Store.Tag).substr(
        Asked.Code == CodeOf(TCommand::ReadTag) ? 0 : kTagHalfLength, kTagHalfLength));
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
