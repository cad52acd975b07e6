#pragma once

// A device component on a simulated instrument, with counters on its events, for benchmarks.

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "link/ForwardingHidPlatform.h"
#include "protocol/ZOL.h"
#include "sim/SimPlatform.h"

namespace zol::bench {

using Clock = std::chrono::steady_clock;

/// A HID platform that passes everything to another and notes when each report was written:
/// when a user's command went out, and so how long it waited for the worker (w).
class TimedPlatform final : public ForwardingHidPlatform {
public:
  explicit TimedPlatform(HidPlatform &Wrapped) : ForwardingHidPlatform(Wrapped) {}

  /// When the first report written at or after Since went out (Since itself if none was).
  Clock::time_point FirstWriteAfter(Clock::time_point Since) {
    std::lock_guard Lock(Mutex);
    Clock::time_point First = Clock::time_point::max();
    for (const Clock::time_point &t : Writes)
      if (t >= Since && t < First)
        First = t;
    return First == Clock::time_point::max() ? Since : First;
  }

  int Write(HidHandle Handle, const std::uint8_t *Report, int Length) override {
    const Clock::time_point Now = Clock::now();
    {
      std::lock_guard Lock(Mutex);
      Writes[Next++ % Writes.size()] = Now;
    }
    return Inner.Write(Handle, Report, Length);
  }

private:
  std::mutex Mutex;                           //!< Protects Writes and Next.
  std::array<Clock::time_point, 64> Writes{}; // the last writes, a ring
  std::size_t Next = 0;
};

class Harness {
public:
  explicit Harness(int PeriodMs, int Instruments = 1)
      : Platform(Instruments, Options(PeriodMs)), Timed(Platform), ZOL(Timed) {
    auto Count = [this](const char *Name) {
      return [this, Name](TObject *) {
        const Clock::time_point Now = Clock::now();
        std::lock_guard Lock(Mutex);
        int &n = Counts[Name];
        Times[Name][static_cast<std::size_t>(n) % kTimes] = Now;
        ++n;
        Changed.notify_all();
      };
    };
    ZOL.OnConnect = Count("connect");
    ZOL.OnDisconnect = Count("disconnect");
    ZOL.OnUpdateState = Count("state");
    ZOL.OnUpdateTag = Count("tag");
    ZOL.OnUpdateFilter = Count("filter");
    ZOL.OnUpdateAlarm1 = Count("alarm1");
    ZOL.OnUpdateAlarm2 = Count("alarm2");
    ZOL.OnReadAll = Count("readall");
    ZOL.OnWriteAll = Count("writeall");
    ZOL.OnUpdateWROP = [this](TPtrWROP Record) {
      std::lock_guard Lock(Mutex);
      ++Counts["wrop"];
      LastMask = Record->SlotMask;
      Masks.push_back(Record->SlotMask);
      RecordTimes.push_back(Clock::now());
      Changed.notify_all();
    };
    ZOL.OnChainError = [this](TObject *, const TError &Error) {
      std::lock_guard Lock(Mutex);
      ++Counts["chainerror"];
      LastError = ErrorCodeName(Error.Code);
      Changed.notify_all();
    };
  }
  ~Harness() { ZOL.Close(); }

  int Count(const std::string &Name) {
    std::lock_guard Lock(Mutex);
    return Counts[Name];
  }
  /// Waits until event name has fired more than Before times; throws after Timeout. Returns
  /// when the event numbered Before + 1 was raised (taken in the handler, on the worker).
  Clock::time_point Await(const std::string &Name, int Before,
                          std::chrono::milliseconds Timeout = std::chrono::seconds(10)) {
    std::unique_lock Lock(Mutex);
    if (!Changed.wait_for(Lock, Timeout, [&] { return Counts[Name] > Before; }))
      throw std::runtime_error("no " + Name + " in time");
    return Times[Name][static_cast<std::size_t>(Before) % kTimes];
  }

  /// Forgets the last history record; call before asking for the next one.
  void ForgetRecord() {
    std::lock_guard Lock(Mutex);
    LastMask = -1;
  }
  /// Forgets the slot masks of the records passed on so far.
  void ForgetRecords() {
    std::lock_guard Lock(Mutex);
    Masks.clear();
    RecordTimes.clear();
    Masks.reserve(16);
    RecordTimes.reserve(16);
  }
  /// When each record since ForgetRecords was passed on (taken in the event, on the worker).
  std::vector<Clock::time_point> RecordArrivals() {
    std::lock_guard Lock(Mutex);
    return RecordTimes;
  }
  /// Waits until Count records have been passed on since ForgetRecords; returns their slot
  /// masks. Throws after Timeout, or at once when a chain stops with a message.
  std::vector<std::uint8_t>
  AwaitRecords(std::size_t Count, std::chrono::milliseconds Timeout = std::chrono::seconds(10)) {
    std::unique_lock Lock(Mutex);
    const int Errors = Counts["chainerror"];
    if (!Changed.wait_for(Lock, Timeout,
                          [&] { return Masks.size() >= Count || Counts["chainerror"] > Errors; }))
      throw std::runtime_error("history records did not come in time");
    if (Masks.size() < Count)
      throw std::runtime_error("history read stopped: " + LastError);
    return Masks;
  }
  /// Waits for a history record with this slot mask (the instrument repeats the previous one
  /// until it takes the next request).
  void AwaitRecord(std::uint8_t Mask,
                   std::chrono::milliseconds Timeout = std::chrono::seconds(10)) {
    std::unique_lock Lock(Mutex);
    if (!Changed.wait_for(Lock, Timeout, [&] { return LastMask == Mask; }))
      throw std::runtime_error("no history record " + std::to_string(Mask) + " in time, last " +
                               std::to_string(LastMask));
  }

  static TVirtualRW8Options Options(int PeriodMs) {
    TVirtualRW8Options o;
    o.ReportPeriodMs = PeriodMs;
    return o;
  }

  SimPlatform Platform;
  TimedPlatform Timed; // the component's platform: Platform, with the time of each write
  TCustomZOL ZOL;

private:
  std::mutex Mutex; //!< Protects Counts, Times, LastMask, Masks, RecordTimes, LastError.
  std::condition_variable Changed;
  std::map<std::string, int> Counts;
  static constexpr std::size_t kTimes = 64;
  std::map<std::string, std::array<Clock::time_point, kTimes>>
      Times; // of the last events, by count
  int LastMask = -1;
  std::vector<std::uint8_t> Masks; // slot masks of the records passed on since ForgetRecords
  std::vector<Clock::time_point> RecordTimes; // and when each was passed on
  std::string LastError;
};

} // namespace zol::bench
