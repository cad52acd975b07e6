#pragma once

// The rig of the device component's tests: a scripted instrument, the component and a log of
// its events.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "protocol/ParamFile.h"
#include "protocol/ZOL.h"
#include "tests/protocol/ScriptedInstrument.h"

namespace zol {

using test::TCommandFrame;
using test::TScriptedAnswer;
using test::TScriptedInstrument;
using Codes = std::vector<std::uint8_t>;
using Names = std::vector<std::string>;

inline constexpr auto kWait = std::chrono::seconds(5);
/// The rig's time runs with the reports, whatever the speed of the machine: one report is
/// 10 ms, the instrument's default period.
inline constexpr auto kRigReportPeriod = std::chrono::milliseconds(10);

/// Polls Condition until it holds or the bound runs out; never a fixed wait for correctness.
inline bool Eventually(const std::function<bool()> &Condition) {
  const auto Deadline = std::chrono::steady_clock::now() + kWait;
  while (!Condition()) {
    if (std::chrono::steady_clock::now() > Deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

inline std::array<std::uint8_t, 6> PackedText(const std::string &Eight) {
  std::array<std::uint8_t, 6> Payload{};
  const auto Low = PackChars(Eight.substr(0, 4));
  const auto High = PackChars(Eight.substr(4, 4));
  std::copy(Low.begin(), Low.end(), Payload.begin());
  std::copy(High.begin(), High.end(), Payload.begin() + 3);
  return Payload;
}

/// One instrument, one component, and a log of what the component raised.
class TRig {
public:
  TRig() : ZOL(std::make_unique<TCustomZOL>(Instrument)) {
    ZOL->Clock = [] { return TCivilDateTime{2026, 12, 7, 12, 0, 0, 0}; };
    ZOL->Device->Now = [this] {
      return TZOLComDevice::TClock::time_point{} +
             kRigReportPeriod * static_cast<long>(Instrument.Reads());
    };
    Instrument.SetPayload(0xB0, PackedText("ABCDEFGH"));
    Instrument.SetPayload(0xB1, PackedText("12345678"));
    Instrument.SetPayload(0xA0, {0x3F, 0xC0, 0x00, 0x00, 0x00, 0x00});
    Instrument.SetPayload(0xA1, {0x83, 0xFF, 0x0A, 0x00, 0x19, 0x11});
    Instrument.SetPayload(0xA2, {0xFA, 0x00, 0x05, 0x00, 0xFF, 0xE2});
    Instrument.SetPayload(0x01, {0xC1, 0xFF, 0xFF, 0x0A, 0x0B, 0x0C});
    Instrument.SetPayload(0xC1, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66});
    Instrument.SetPayload(0x02, {0xFC, 0x31, 0x6D, 0x26, 0x00, 0x80});
    Instrument.SetPayload(0x00, {0x12, 0x34, 0x42, 0xDD, 0x00, 0x00});

    struct Named {
      TNotifyEvent TCustomZOL::*Event;
      const char *Name;
    };
    const Named Events[] = {
        {&TCustomZOL::OnConnect, "Connect"},
        {&TCustomZOL::OnDisconnect, "Disconnect"},
        {&TCustomZOL::OnUpdateState, "UpdateState"},
        {&TCustomZOL::OnError, "Error"},
        {&TCustomZOL::OnUnlockDevice, "UnlockDevice"},
        {&TCustomZOL::OnUpdateAlarm1, "UpdateAlarm1"},
        {&TCustomZOL::OnUpdateAlarm2, "UpdateAlarm2"},
        {&TCustomZOL::OnUpdateFilter, "UpdateFilter"},
        {&TCustomZOL::OnUpdateTag, "UpdateTag"},
        {&TCustomZOL::OnUpdateInfo, "UpdateInfo"},
        {&TCustomZOL::OnReadAll, "ReadAll"},
        {&TCustomZOL::OnWriteAll, "WriteAll"},
        {&TCustomZOL::OnGetCryptedPassword, "GetCryptedPassword"},
    };
    for (const Named &e : Events) {
      std::string Name = e.Name;
      (*ZOL).*e.Event = [this, Name](TObject *Sender) {
        EXPECT_EQ(Sender, ZOL.get());
        // Handlers take snapshots: events are raised with the model unlocked.
        const TZOLModel Model = ZOL->Snapshot();
        std::lock_guard<std::mutex> Lock(LogMutex);
        Log.push_back(Name);
        LastSeen = Model;
      };
    }
    ZOL->OnUpdateWROP = [this](TPtrWROP Record) {
      std::lock_guard<std::mutex> Lock(LogMutex);
      Log.push_back("UpdateWROP");
      Records.push_back(*Record);
    };
    ZOL->OnChainError = [this](TObject *, const TError &Error) {
      std::lock_guard<std::mutex> Lock(LogMutex);
      ChainErrors.push_back(Error);
    };
  }

  ~TRig() { ZOL->Close(); }

  /// Scans, opens and waits for the end of the connection chain (tag read, state requested).
  void Connect() {
    ASSERT_EQ(ZOL->Scan(), 1);
    ASSERT_TRUE(ZOL->Open(0));
    ASSERT_TRUE(Eventually([&] {
      return Instrument.Codes() == Codes{0x69, 0xB0, 0xB1, 0x00};
    })) << ::testing::PrintToString(Instrument.Codes());
    // Every state update from here on comes from an answer read after the state request.
    Mark();
    ASSERT_TRUE(Eventually([&] { return Count("UpdateState") >= 1; }));
    Mark();
  }

  /// Forgets what happened so far: codes and events are counted from here.
  void Mark() {
    FramesMark = Instrument.Frames().size();
    std::lock_guard<std::mutex> Lock(LogMutex);
    Log.clear();
    Records.clear();
    ChainErrors.clear();
  }

  Codes CodesSinceMark() const {
    const Codes All = Instrument.Codes();
    return Codes(All.begin() + static_cast<long>(std::min(FramesMark, All.size())), All.end());
  }

  std::vector<TCommandFrame> FramesSinceMark() const {
    const auto All = Instrument.Frames();
    return std::vector<TCommandFrame>(
        All.begin() + static_cast<long>(std::min(FramesMark, All.size())), All.end());
  }

  /// Events since the mark, state updates left out (the instrument repeats state answers).
  Names EventsWithoutState() {
    std::lock_guard<std::mutex> Lock(LogMutex);
    Names Result;
    for (const std::string &Name : Log) {
      if (Name != "UpdateState") {
        Result.push_back(Name);
      }
    }
    return Result;
  }

  int Count(const std::string &Name) {
    std::lock_guard<std::mutex> Lock(LogMutex);
    return static_cast<int>(std::count(Log.begin(), Log.end(), Name));
  }

  std::vector<TError> Errors() {
    std::lock_guard<std::mutex> Lock(LogMutex);
    return ChainErrors;
  }

  std::vector<TWROP> WROPs() {
    std::lock_guard<std::mutex> Lock(LogMutex);
    return Records;
  }

  /// Waits until the codes since the mark are Expected, then lets 20 more reports pass and
  /// checks that nothing else was sent.
  void ExpectCodes(const Codes &Expected) {
    EXPECT_TRUE(Eventually([&] { return CodesSinceMark().size() >= Expected.size(); }))
        << ::testing::PrintToString(CodesSinceMark());
    ASSERT_TRUE(Instrument.WaitReads(20));
    EXPECT_EQ(CodesSinceMark(), Expected);
  }

  TScriptedInstrument Instrument;
  std::unique_ptr<TCustomZOL> ZOL;
  TZOLModel LastSeen;

private:
  std::mutex LogMutex; // protects Log, Records, ChainErrors, LastSeen
  Names Log;
  std::vector<TWROP> Records;
  std::vector<TError> ChainErrors;
  std::size_t FramesMark = 0;
};

inline TZOLAlarm GoldenAlarm() {
  TZOLAlarm Alarm;
  Alarm.SetPoint = 25.0f;
  Alarm.Hysteresis = 1.0f;
  Alarm.Delay = 2.5f;
  Alarm.ContactNC = 1;
  Alarm.LedBelow = 1;
  return Alarm;
}

// ---- The history read as a chain ----------------------------------------------------------------

/// Answers history requests like an instrument holding Held records (slot i for index i, the
/// others six zero bytes); LoseRequest(n) tells whether the n-th history request (from 0) is lost.
inline test::TScriptedInstrument::TResponder
HistoryResponder(int Held, std::function<bool(int)> LoseRequest) {
  auto Seen = std::make_shared<int>(0);
  return [=](const TCommandFrame &Frame) -> std::optional<TScriptedAnswer> {
    TScriptedAnswer Answer;
    Answer.Code = Frame[0];
    if (Frame[0] == 0x02) {
      if (LoseRequest((*Seen)++)) {
        return std::nullopt;
      }
      if (Frame[2] < Held) {
        Answer.Payload = {
            static_cast<std::uint8_t>(0xFF << Frame[2]), Frame[2], 0x6D, 0x26, 0x00, 0x80};
      }
    }
    return Answer;
  };
}

} // namespace zol
