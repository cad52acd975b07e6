#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>

#include "link/USB.h"
#include "protocol/Utils.h"

namespace zol {

// ---- Framing ----------------------------------------------------------------------------------

/// Reports after a command beyond which its answer is overdue: the instrument's counter has
/// moved by more than this since the command went out.
inline constexpr std::uint8_t kResendReports = 3;
/// An answer is overdue in time after this many report periods, and never before
/// kResendFloor: a host may see the answers late, in time (a USB stack at a short period)
/// or in reports (reports read from a buffer that held older ones).
inline constexpr int kResendPeriods = 4;
inline constexpr std::chrono::milliseconds kResendFloor{100};

/// The time after which an answer is overdue when the instrument reports every Period.
std::chrono::microseconds ResendAfter(std::chrono::microseconds Period);

/// True when the last command (code LastCommand, sent at SentCounter, Waited ago) is to go out
/// again on an answer of AnswerCode at RxCounter: no answer to it, the instrument's counter has
/// moved by more than kResendReports since, counted modulo 256, and Waited is past
/// ResendAfter(Period). A command the instrument took but whose answer the host sees late is
/// not sent twice (a write would be recorded twice). Reset and the firmware commands are never
/// resent.
bool ResendDue(std::uint8_t AnswerCode, std::uint8_t LastCommand, std::uint8_t SentCounter,
               std::uint8_t RxCounter, std::chrono::microseconds Waited,
               std::chrono::microseconds Period);

/// The HID device that frames commands: checksum, the last frame kept for resending, and the
/// counters of the resend rule.
class TZOLComDevice : public THIDDevice {
public:
  explicit TZOLComDevice(HidPlatform &Platform);
  /// Stops the worker before the framing state goes away.
  ~TZOLComDevice() override;

  /// Sends an 8-byte command (Count bytes of Frame, the rest 0) with its checksum. The caller's
  /// array is not changed. Returns OutputLength - 1 when taken, -2 when not taken in time. From
  /// the worker it returns at once and the report goes out in the same turn.
  int WriteFrame(const std::uint8_t *Frame, int Count) override;
  /// A decoder's reply to an answer of AnsweredCode: sent like WriteFrame only while that code is
  /// still the last command sent. When another command has gone out since (a user's operation),
  /// the reply would overtake it; nothing is sent and the result is 0.
  int WriteReply(const std::uint8_t *Frame, int Count, std::uint8_t AnsweredCode);
  /// Applies the resend rule for an answer of AnswerCode: 0 when nothing was sent, else the
  /// result of the send.
  int ResendLastFrame(std::uint8_t AnswerCode);
  /// Stores the running counter of the answer just received, and measures the report period
  /// from it. The first one after a connection is where the distance of a frame sent before it
  /// starts.
  void SetRxCounter(std::uint8_t Counter);
  /// The report period as measured from the counters read (the instrument's default until
  /// measured).
  std::chrono::microseconds ReportPeriod() const;
  /// At a connection: the counter last read is the instrument's from before (or nobody's), so
  /// a frame sent now is counted from the first answer read after it, not resent at once.
  void ForgetRxCounter();

  struct TFrameState {
    std::array<std::uint8_t, kCommandLength> LastFrame{};
    std::uint8_t SentCounter = 0;
    std::uint8_t RxCounter = 0;
    bool AnyFrameSent = false;
  };
  /// A consistent copy of the framing state.
  TFrameState FrameState() const;
  /// For an answer of AnswerCode whose checksum is valid, read after the last frame went out:
  /// when it answers the unlock or the password change kept for resending, that frame's
  /// password bytes are wiped. A corrupted report never wipes them, so a lost password frame is
  /// resent whole.
  void ForgetAnsweredSecret(std::uint8_t AnswerCode);
  /// True once the last frame queued (sent or resent) has gone out to the instrument: an answer
  /// read from now on was read after it.
  bool LastFrameOut() const;

  using TClock = std::chrono::steady_clock;
  /// Where the resend rule takes the time; the steady clock unless a test sets another. Set
  /// before the device is opened; called under the framing lock.
  std::function<TClock::time_point()> Now = [] { return TClock::now(); };

  /// Called with the command code each time a frame is handed to the channel, under the framing
  /// lock, so that the owner's record of the last command follows the order of the frames.
  /// Reply: the frame is a decoder's reply (WriteReply), not a command of its own.
  std::function<void(std::uint8_t Code, bool Reply)> OnFrameQueued;

private:
  int SendFrame(const std::uint8_t *Frame, int Count, int AnsweredCode);

  // Protects every field below, and makes "counter, checksum, LastFrame, queue" one step, so
  // that two senders never interleave and each chain's frames reach the channel in order. Never
  // held while waiting for the worker.
  mutable std::mutex FrameMutex;
  std::uint8_t LastFrame[kCommandLength]{};
  std::uint8_t SentCounter = 0;
  std::uint8_t RxCounter = 0;
  bool AnyFrameSent = false;    // nothing to resend before the first frame
  bool RxCounterKnown = false;  // an answer was read on this connection
  std::int64_t LastTicket = -1; // channel ticket of the last frame queued (sent or resent)
  TClock::time_point SentAt{};  // when the last frame was queued (sent or resent)
  // The report period: a running mean of the time per counter step, from the report read at
  // PeriodFrom on.
  std::chrono::microseconds Period{10000};
  bool PeriodFromKnown = false;
  TClock::time_point PeriodFromTime{};
  std::uint8_t PeriodFromCounter = 0;
};

} // namespace zol
