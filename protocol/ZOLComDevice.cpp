#include "protocol/ZOLComDevice.h"

#include <algorithm>
#include <cstring>

#include "protocol/Utils.h"

namespace zol {

namespace {

constexpr std::uint8_t kResendExempt[] = {
    CodeOf(TCommand::Reset), CodeOf(TCommand::ProgramFirmware), CodeOf(TCommand::EraseFirmware),
    CodeOf(TCommand::EraseFirmwareMemory)};

/// Counter steps beyond which two reads are not taken as a measure of the period: a corrupted
/// counter, or a pause of the stream.
constexpr std::uint8_t kPeriodStepsMax = 32;
/// Weight of one measure in the running mean of the period: 1 / kPeriodSmoothing.
constexpr int kPeriodSmoothing = 8;

} // namespace

std::chrono::microseconds ResendAfter(std::chrono::microseconds Period) {
  return std::max<std::chrono::microseconds>(kResendFloor, Period * kResendPeriods);
}

bool ResendDue(std::uint8_t AnswerCode, std::uint8_t LastCommand, std::uint8_t SentCounter,
               std::uint8_t RxCounter, std::chrono::microseconds Waited,
               std::chrono::microseconds Period) {
  if (AnswerCode == LastCommand) {
    return false;
  }
  if (std::find(std::begin(kResendExempt), std::end(kResendExempt), LastCommand) !=
      std::end(kResendExempt)) {
    return false;
  }
  // The distance the counter moved, modulo 256: a plain comparison with SentCounter + 3 would
  // resend at once just before the wrap and not for some 250 reports just after it.
  return static_cast<std::uint8_t>(RxCounter - SentCounter) > kResendReports &&
         Waited > ResendAfter(Period);
}

TZOLComDevice::TZOLComDevice(HidPlatform &Platform) : THIDDevice(Platform) {}

TZOLComDevice::~TZOLComDevice() {
  CloseDevice();
}

int TZOLComDevice::WriteFrame(const std::uint8_t *Frame, int Count) {
  return SendFrame(Frame, Count, -1);
}

int TZOLComDevice::WriteReply(const std::uint8_t *Frame, int Count, std::uint8_t AnsweredCode) {
  return SendFrame(Frame, Count, AnsweredCode);
}

int TZOLComDevice::SendFrame(const std::uint8_t *Frame, int Count, int AnsweredCode) {
  std::uint8_t Copy[kCommandLength]{};
  std::memcpy(Copy, Frame, static_cast<std::size_t>(std::clamp(Count, 0, kCommandLength)));
  std::int64_t Ticket = -1;
  {
    // One step under the framing lock, so that a decoder reply and a user's operation cannot
    // interleave their counter, checksum, LastFrame and queueing.
    std::lock_guard<std::mutex> Lock(FrameMutex);
    if (AnsweredCode >= 0 && AnyFrameSent && LastFrame[CommandOffset::Code] != AnsweredCode) {
      return 0;
    }
    SentCounter = RxCounter;
    SentAt = Now();
    Copy[CommandOffset::Checksum] = FrameChecksum(Copy, kCommandLength);
    std::memcpy(LastFrame, Copy, kCommandLength);
    AnyFrameSent = true;
    Ticket = QueueFrame(Copy, kCommandLength);
    LastTicket = Ticket;
    if (OnFrameQueued) {
      OnFrameQueued(Copy[CommandOffset::Code], AnsweredCode >= 0);
    }
  }
  // Waiting happens outside the lock: the worker's own replies must never wait for a user's
  // send, and from the worker this returns at once.
  return WaitFrame(Ticket);
}

int TZOLComDevice::ResendLastFrame(std::uint8_t AnswerCode) {
  std::int64_t Ticket = -1;
  {
    std::lock_guard<std::mutex> Lock(FrameMutex);
    if (!AnyFrameSent) {
      return 0;
    }
    const TClock::time_point At = Now();
    if (!ResendDue(AnswerCode, LastFrame[CommandOffset::Code], SentCounter, RxCounter,
                   std::chrono::duration_cast<std::chrono::microseconds>(At - SentAt), Period)) {
      return 0;
    }
    Ticket = QueueFrame(LastFrame, kCommandLength);
    SentCounter = RxCounter;
    SentAt = At;
    LastTicket = Ticket;
  }
  return WaitFrame(Ticket);
}

void TZOLComDevice::ForgetAnsweredSecret(std::uint8_t AnswerCode) {
  std::lock_guard<std::mutex> Lock(FrameMutex);
  // Once a password command is answered it will not be resent: forget the password. Only a
  // valid answer counts; a corrupted report that happens to read 0x40 must not leave a frame
  // of zeros to be resent for ever.
  // An answer read before the frame went out is a repeat of an earlier one, not its answer.
  const std::uint8_t Last = LastFrame[CommandOffset::Code];
  if (AnswerCode == Last &&
      (Last == CodeOf(TCommand::Unlock) || Last == CodeOf(TCommand::ChangePassword)) &&
      FrameTaken(LastTicket)) {
    WipeBytes(LastFrame + CommandOffset::Checksum, kCommandLength - CommandOffset::Checksum);
  }
}

bool TZOLComDevice::LastFrameOut() const {
  std::lock_guard<std::mutex> Lock(FrameMutex);
  return FrameTaken(LastTicket);
}

void TZOLComDevice::SetRxCounter(std::uint8_t Counter) {
  std::lock_guard<std::mutex> Lock(FrameMutex);
  if (!RxCounterKnown) {
    // The clock sent by the connection handler went out against a counter from before: its
    // distance starts here, or it would go out twice.
    SentCounter = Counter;
    RxCounterKnown = true;
  }
  RxCounter = Counter;

  // The period is the time per counter step between two reads: reads come in bursts when the
  // host drains what it holds, and the mean of the steps is still the instrument's period.
  const TClock::time_point At = Now();
  const auto Steps = static_cast<std::uint8_t>(Counter - PeriodFromCounter);
  if (PeriodFromKnown && Steps > 0 && Steps <= kPeriodStepsMax) {
    const auto Measured =
        std::chrono::duration_cast<std::chrono::microseconds>(At - PeriodFromTime) / Steps;
    Period += (Measured - Period) / kPeriodSmoothing;
  }
  if (Steps > 0 || !PeriodFromKnown) {
    PeriodFromKnown = true;
    PeriodFromTime = At;
    PeriodFromCounter = Counter;
  }
}

std::chrono::microseconds TZOLComDevice::ReportPeriod() const {
  std::lock_guard<std::mutex> Lock(FrameMutex);
  return Period;
}

void TZOLComDevice::ForgetRxCounter() {
  std::lock_guard<std::mutex> Lock(FrameMutex);
  RxCounterKnown = false;
  PeriodFromKnown = false; // the time since the last read is not the instrument's period
}

TZOLComDevice::TFrameState TZOLComDevice::FrameState() const {
  std::lock_guard<std::mutex> Lock(FrameMutex);
  TFrameState State;
  std::copy(std::begin(LastFrame), std::end(LastFrame), State.LastFrame.begin());
  State.SentCounter = SentCounter;
  State.RxCounter = RxCounter;
  State.AnyFrameSent = AnyFrameSent;
  return State;
}

} // namespace zol
