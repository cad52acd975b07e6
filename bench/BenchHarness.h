#pragma once

// A device component on a simulated instrument, with counters on its events, for benchmarks.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>

#include "protocol/ZOL.h"
#include "sim/SimPlatform.h"

namespace zol::bench {

using Clock = std::chrono::steady_clock;

class Harness {
public:
  explicit Harness(int PeriodMs, int Instruments = 1) : Platform(Instruments, Options(PeriodMs)), ZOL(Platform) {
    auto count = [this](const char *name) {
      return [this, name](TObject *) {
        std::lock_guard lock(Mutex);
        ++Counts[name];
        Changed.notify_all();
      };
    };
    ZOL.OnConnect = count("connect");
    ZOL.OnDisconnect = count("disconnect");
    ZOL.OnUpdateState = count("state");
    ZOL.OnUpdateTag = count("tag");
    ZOL.OnUpdateFilter = count("filter");
    ZOL.OnUpdateAlarm1 = count("alarm1");
    ZOL.OnUpdateAlarm2 = count("alarm2");
    ZOL.OnReadAll = count("readall");
    ZOL.OnWriteAll = count("writeall");
    ZOL.OnUpdateWROP = [this](TPtrWROP Record) {
      std::lock_guard lock(Mutex);
      ++Counts["wrop"];
      LastMask = Record->SlotMask;
      Changed.notify_all();
    };
  }
  ~Harness() { ZOL.Close(); }

  int Count(const std::string &name) {
    std::lock_guard lock(Mutex);
    return Counts[name];
  }
  /// Waits until event name has fired more than Before times; throws after Timeout.
  void Await(const std::string &name, int Before, std::chrono::milliseconds Timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(Mutex);
    if (!Changed.wait_for(lock, Timeout, [&] { return Counts[name] > Before; }))
      throw std::runtime_error("no " + name + " in time");
  }

  /// Forgets the last history record; call before asking for the next one.
  void ForgetRecord() {
    std::lock_guard lock(Mutex);
    LastMask = -1;
  }
  /// Waits for a history record with this slot mask (the instrument repeats the previous one
  /// until it takes the next request).
  void AwaitRecord(std::uint8_t Mask, std::chrono::milliseconds Timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(Mutex);
    if (!Changed.wait_for(lock, Timeout, [&] { return LastMask == Mask; }))
      throw std::runtime_error("no history record " + std::to_string(Mask) + " in time, last " + std::to_string(LastMask));
  }

  static TVirtualRW8Options Options(int PeriodMs) {
    TVirtualRW8Options o;
    o.ReportPeriodMs = PeriodMs;
    return o;
  }

  SimPlatform Platform;
  TCustomZOL ZOL;

private:
  std::mutex Mutex; //!< Protects Counts.
  std::condition_variable Changed;
  std::map<std::string, int> Counts;
  int LastMask = -1;
};

} // namespace zol::bench
