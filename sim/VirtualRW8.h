#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>

#include "protocol/Codec.h"
#include "sim/MemoryFile.h"

namespace zol {

/// Input report of the instrument: report id byte 0, then the 12-byte answer.
inline constexpr int kSimInputReportLength = kAnswerReportLength;
/// Output report of the instrument: report id byte 0, then the 8-byte command.
inline constexpr int kSimOutputReportLength = kCommandReportLength;
/// Report lengths declared by an instrument with the "oversized reports" fault: beyond what the
/// channel's buffers (256 in, 257 out) hold.
inline constexpr int kSimOversizedInputLength = 300;
inline constexpr int kSimOversizedOutputLength = 300;
/// Identity and start-up choices of one instrument.
struct TVirtualRW8Options {
  std::string Manufacturer = "KOVA";
  std::string Product = "RW8";
  std::string SerialNumber = "SIMRW80000000001"; ///< 16 characters
  /// Keeps settings, password and history between runs; empty: none.
  std::string MemoryFile;
  int ReportPeriodMs = 10;
  /// Starts the streaming thread in the constructor; false for tests that drive Tick() themselves.
  bool Streaming = true;
  /// Seed of the report corruption.
  std::uint32_t Seed = 1;
};

/// What the platform serving the instrument looks at on every read and write, taken at one
/// moment; allocates nothing.
struct TSimLinkState {
  bool Present = true;
  /// How many times the instrument was unplugged: a handle opened before an unplug is dead.
  std::uint32_t PlugGeneration = 0;
  bool OversizedReports = false;
  bool PermissionDenied = false;
  int ReportPeriod = 10; ///< ms
};

/// The instrument's state and counters at one moment, taken under its lock.
struct TSimSnapshot {
  TSimSettings Settings;
  std::string Password;
  bool WriteLocked = false;
  std::array<TSimRecord, kSimHistorySize> History{}; ///< slot 0 newest
  int HistoryCount = 0;
  std::array<std::uint8_t, 6> InfoBlock{};
  /// The clock, as device date and time.
  std::uint16_t ClockDate = 0;
  std::uint16_t ClockTime = 0;
  /// Measurement in tenths of °C as the next report carries it.
  std::int16_t MeasureTenths = 0;
  std::uint8_t StatusByte = 0;
  std::uint8_t LastCode = 0;
  /// Commands handed to the instrument while present (dropped and bad ones included).
  std::uint64_t CommandsReceived = 0;
  /// Commands carried out (valid checksum, not dropped).
  std::uint64_t CommandsCarriedOut = 0;
  std::uint64_t CommandsWithBadChecksum = 0;
  /// Commands ignored by the drop faults.
  std::uint64_t CommandsDropped = 0;
  std::uint64_t ReportsSent = 0;
  std::uint64_t ReportsCorrupted = 0;
  /// Commands carried out, per code.
  std::array<std::uint64_t, 256> PerCode{};
  TSimMemoryState MemoryState = TSimMemoryState::NoFile;

  /// Record of slot i (0 newest); nullopt when there is none.
  std::optional<TSimRecord> HistoryRecord(int Slot) const {
    if (Slot < 0 || Slot >= HistoryCount)
      return std::nullopt;
    return History[static_cast<std::size_t>(Slot)];
  }
  /// How many commands with this code were carried out.
  std::uint64_t CommandCount(std::uint8_t Code) const { return PerCode[Code]; }
};

/// Receives what an instrument produces: the platform that serves it as a HID device.
class TSimReportListener {
public:
  virtual ~TSimReportListener() = default;
  /// One input report (report id byte first); called on the instrument's streaming thread.
  virtual void ReportProduced(int Cookie, const std::uint8_t *Report, int Length) = 0;
  /// The instrument was unplugged or plugged in.
  virtual void PresenceChanged(int Cookie) = 0;
};

/// A simulated RW8: carries out the commands it receives, streams one answer per report period,
/// simulates a Pt100 measurement and two alarm relays, and injects faults on demand.
/// Every member is safe to call from any thread.
///
/// Shutdown order: Stop() (or the destructor) ends and joins the streaming thread; after it no
/// listener call is running or will start.
class VirtualRW8 {
public:
  explicit VirtualRW8(TVirtualRW8Options Options = {});
  ~VirtualRW8();
  VirtualRW8(const VirtualRW8 &) = delete;
  VirtualRW8 &operator=(const VirtualRW8 &) = delete;

  /// Starts the streaming thread (no-op when running).
  void Start();
  /// Stops and joins the streaming thread (no-op when not running).
  void Stop();
  bool Running() const;

  /// Sets where reports go; nullptr detaches. Waits for a listener call in progress to end.
  void SetListener(TSimReportListener *Listener, int Cookie);

  /// Hands one 8-byte command to the instrument, as the USB interface would.
  void ReceiveCommand(const std::uint8_t *Command);
  /// Advances the instrument by Elapsed and builds the next report into Report (13 bytes).
  /// False (and nothing built) while unplugged or silent. The streaming thread calls it once per
  /// report period; tests without streaming call it themselves.
  bool Tick(std::chrono::microseconds Elapsed, std::uint8_t *Report);
  /// Tick, then hands the report to the listener: one turn of the streaming thread.
  bool Emit(std::chrono::microseconds Elapsed);

  // ---- Identity ----
  const std::string &Manufacturer() const { return Opts.Manufacturer; }
  const std::string &Product() const { return Opts.Product; }
  const std::string &SerialNumber() const { return Opts.SerialNumber; }

  // ---- Faults, each settable at run time ----
  /// Plugs the instrument in (true) or unplugs it (false). Plugging in locks writes again while
  /// the password is not eight spaces.
  void SetPresent(bool Present);
  /// Stops streaming while present; commands are then lost too (the firmware hangs).
  void SetSilent(bool Silent);
  /// Ignores the next Count commands that arrive.
  void DropNextCommands(int Count);
  /// Ignores about Share (0..1) of the commands, drawn from the seeded generator.
  void SetDropShare(double Share, std::uint32_t Seed);
  /// Corrupts about Share (0..1) of the reports; each corrupted report has a bad checksum.
  void SetCorruptShare(double Share, std::uint32_t Seed);
  void SetSensorFailure(bool Failure);
  /// Answers 0xFF to everything and carries nothing out.
  void SetErrorAnswers(bool Error);
  /// Declares report lengths beyond the channel's buffers.
  void SetOversizedReports(bool Oversized);
  /// Refuses to be opened ("permission denied").
  void SetPermissionDenied(bool Denied);
  /// Report period, 1 to 1000 ms.
  void SetReportPeriod(int Milliseconds);

  // ---- Measurement ----
  /// Pins the temperature (°C) instead of the slow drift; nullopt returns to the drift.
  void SetTemperature(std::optional<float> Celsius);
  void SetOptionFlags(bool UseDisplay, bool UseE2PROM);

  // ---- What tests and the control panels look at ----
  /// State and counters, all taken at one moment.
  TSimSnapshot Snapshot() const;
  /// Presence and the link faults, taken at one moment without allocating.
  TSimLinkState LinkState() const;
  /// Why the memory file is not being kept: refused at the start, or the last save failed
  /// (empty while every change has been written, or without a memory file).
  std::string MemoryProblem() const;

  /// The 6 bytes the instrument answers to 0xC1: the packed password XOR a key made from the
  /// serial number (see sim/README.md). The maker reverses it with DecryptPassword.
  static std::array<std::uint8_t, 6> CryptPassword(std::string_view Password,
                                                   std::string_view SerialNumber);
  static std::string DecryptPassword(const std::array<std::uint8_t, 6> &Crypted,
                                     std::string_view SerialNumber);
  /// The factory settings.
  static TSimSettings FactorySettings();

private:
  static constexpr std::int64_t kTicksPerDay = kDeviceTicksPerDay;

  struct AlarmRun {
    bool Tripped = false;
    std::int64_t PendingUs = 0; // how long the condition for a change has held
  };

  void RunStreaming();
  void CarryOut(const TDecodedCommand &Command);
  bool WriteAllowed(std::uint8_t Code) const;
  void Record(std::uint8_t Code);
  void PlugIn();
  void StepModel(std::int64_t ElapsedUs);
  void StepAlarm(const TSimAlarm &Alarm, AlarmRun &Run, std::int64_t ElapsedUs);
  /// The payload of the answer to the last command carried out.
  TBlockBytes Payload() const;
  std::uint8_t ComputeStatus() const;
  std::int64_t ClockTicks() const;
  float Temperature() const;
  std::int16_t MeasureTenthsLocked() const;
  void Corrupt(std::uint8_t *Report);

  TSimMemory MemoryLocked() const;
  void LoadMemory();
  /// Takes an image of the memory under Mutex; SaveMemory writes it after Mutex is released.
  void MarkDirty();
  void SaveMemory();

  const TVirtualRW8Options Opts;

  mutable std::mutex Mutex; //!< Protects every field from here to the next mutex.
  TSimSettings Store;
  std::string Pass;
  bool Locked = false;
  std::array<TSimRecord, kSimHistorySize> History{};
  int HistorySize = 0;
  std::array<std::uint8_t, 6> Info{};
  std::int64_t ClockBase = 0;         // device clock ticks (1/65536 day) when last set
  std::int64_t ClockSetAt = 0;        // SimTimeUs when last set
  std::int64_t SimTimeUs = 0;         // time the instrument has run
  std::array<std::uint8_t, 8> Last{}; // the command answered, as received
  std::uint8_t Counter = 0;
  double Filtered = 21.0; // the measurement after the damping filter, °C
  std::optional<float> Pinned;
  AlarmRun Run1, Run2;
  bool IsPresent = true;
  std::uint32_t Generation = 0;
  bool Silent = false;
  int DropCount = 0;
  double DropShare = 0.0;
  std::mt19937 DropRandom;
  double CorruptShare = 0.0;
  std::mt19937 Random;
  bool SensorFailure = false;
  bool ErrorAnswers = false;
  bool Oversized = false;
  bool Denied = false;
  int PeriodMs = 10;
  std::uint64_t Received = 0, CarriedOut = 0, BadChecksum = 0, Dropped = 0, Sent = 0, Corrupted = 0;
  std::array<std::uint64_t, 256> PerCode{};
  TSimMemoryState Memory = TSimMemoryState::NoFile;
  TSimMemoryImage DirtyImage{};
  std::uint64_t DirtyGeneration = 0;

  // Protects WrittenGeneration, FileProblem and the memory file itself.
  mutable std::mutex FileMutex;
  std::uint64_t WrittenGeneration = 0;
  std::string FileProblem;

  mutable std::mutex ListenerMutex; //!< Protects Listener and ListenerCookie; held during a call.
  TSimReportListener *Listener = nullptr;
  int ListenerCookie = 0;

  mutable std::mutex RunMutex; //!< Protects Thread start/stop, StopRequested and PeriodChanged.
  std::condition_variable RunChanged;
  std::thread Thread;
  bool StopRequested = false;
  bool PeriodChanged = false;
};

} // namespace zol
